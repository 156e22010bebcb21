// The demo page: files chosen in the desktop's dialog are uploaded by the Ferrant control, one
// progress bar per task drawn from its parsed status line (state, percent, speed), with Stop,
// Continue and Delete. Each task is watched (obj.watch): the page has no poll loop of its own.
// Settings come from the query: user (default "demo") and dispatch (default the dispatch name
// of this page's domain, on this page's port).
import Ferrant from "./ferrant.js";

const { Status } = Ferrant;

const DIALOG_POLL_MS = 250;  // the file list has no change event: it is read at this pace
const query = new URL(window.location.href).searchParams;
const domain = window.location.hostname.split(".").slice(1).join(".") || window.location.hostname;
const port = window.location.port ? `:${window.location.port}` : "";
const settings = {
  user: query.get("user") || "demo",
  dispatch: query.get("dispatch") || `http://dispatch.${domain}${port}/index.php`,
};

const ERRORS = {
  301: "the worker thread could not be created",
  302: "the file could not be hashed",
  401: "the dispatch request failed",
  490: "the task file could not be written",
  501: "the upload check failed",
  601: "sending the file failed",
  602: "the upload server's reply was not understood",
  603: "the upload server refused the data",
  801: "finishing the upload failed",
};

const $ = (selector) => document.querySelector(selector);
const tasks = new Map();  // task number -> {row, state, last: {bytes, at}, rate, unwatch}
let control = null;
let nextId = 1;
let waitingForDialog = false;

function bytes(n) {
  if (n < 1024) return `${n} B`;
  const units = ["KiB", "MiB", "GiB", "TiB"];
  let v = n;
  let u = -1;
  do {
    v /= 1024;
    u++;
  } while (v >= 1024 && u < units.length - 1);
  return `${v.toFixed(v < 10 ? 1 : 0)} ${units[u]}`;
}

// State words, bar percent, detail text and row class for a task's state.
function describe(v, task) {
  const size = Math.max(v.fileSize, 0);
  switch (v.status) {
    case Status.Created: return ["added", 0, "", ""];
    case Status.Starting: return ["queued", 0, "waiting for a free slot", ""];
    case Status.Hashing: return ["hashing", v.hashPercent, `${v.hashPercent}% of the SHA-1`, "hashing"];
    case Status.Dispatch: return ["asking the dispatch server", 0, "", ""];
    case Status.Check: return ["asking where to go on", 0, "", ""];
    case Status.Uploading: {
      const done = v.transferred;
      const pct = size > 0 ? Math.floor((done * 100) / size) : 100;
      let detail = `${bytes(done)} of ${bytes(size)}`;
      if (v.offset > 0) detail += `, resumed at ${bytes(v.offset)}`;
      if (task.rate > 0) detail += ` · ${bytes(task.rate)}/s`;
      return [`uploading ${pct}%`, pct, detail, "uploading"];
    }
    case Status.Stopped:
      if (v.errCode === 100 || v.errCode === 300) return ["stopped", 0, "Continue goes on from where the server stands", "stopped"];
      return ["failed", 100, `error ${v.errCode}: ${ERRORS[v.errCode] ?? "see the status line"} ${v.serverErrMsg}`, "failed"];
    case Status.Finishing: return ["finishing", 100, "", "uploading"];
    case Status.Completed: return ["done", 100, bytes(size), "done"];
    case Status.RetryWait: return [`retry ${v.retry}`, 0, `after error ${v.errCode}: ${ERRORS[v.errCode] ?? ""}`, "waiting"];
    default: return [`state ${v.status}`, 0, "", ""];
  }
}

function addRow(id) {
  const row = $("#task-row").content.firstElementChild.cloneNode(true);
  row.dataset.task = String(id);
  row.querySelector(".stop").onclick = () => control.StopUpTask(id);
  row.querySelector(".continue").onclick = () => control.ContinueUpTask(id);
  row.querySelector(".delete").onclick = async () => {
    await control.DeleteUpTask(id);
    forget(id);
  };
  $("#tasks").append(row);
  const task = { row, state: null, last: null, rate: 0, unwatch: null };
  tasks.set(id, task);
  refreshEmpty();
  task.unwatch = control.watch(id, (_, state) => (state ? draw(id, state) : forget(id)));
}

function forget(id) {
  const task = tasks.get(id);
  if (!task) return;
  task.unwatch?.();
  task.row.remove();
  tasks.delete(id);
  refreshEmpty();
}

function refreshEmpty() {
  $("#empty").hidden = tasks.size > 0;
  const done = [...tasks.values()].filter((t) => t.state?.status === Status.Completed).length;
  $("#summary").textContent = tasks.size ? `${done} of ${tasks.size} done` : "";
}

function draw(id, v) {
  const task = tasks.get(id);
  if (!task) return;
  task.state = v;
  const now = performance.now();
  if (v.status === Status.Uploading) {
    if (task.last && now - task.last.at >= 500) {
      const rate = ((v.transferred - task.last.bytes) * 1000) / (now - task.last.at);
      task.rate = task.rate > 0 ? 0.6 * task.rate + 0.4 * rate : rate;
      task.last = { bytes: v.transferred, at: now };
    } else if (!task.last) {
      task.last = { bytes: v.transferred, at: now };
    }
  } else {
    task.last = null;
    task.rate = 0;
  }
  const [state, pct, detail, kind] = describe(v, task);
  const row = task.row;
  row.className = `task ${kind}`;
  row.querySelector(".name").textContent = v.fileName.slice(v.fileName.lastIndexOf("/") + 1);
  row.querySelector(".name").title = v.fileName;
  row.querySelector(".size").textContent = v.fileSize >= 0 ? bytes(v.fileSize) : "";
  row.querySelector(".state").textContent = state;
  row.querySelector(".detail").textContent = detail;
  row.querySelector(".fill").style.width = `${Math.min(100, Math.max(0, pct))}%`;
  const running = ![Status.Created, Status.Stopped, Status.Completed].includes(v.status);
  row.querySelector(".stop").disabled = !running;
  row.querySelector(".continue").disabled = running || v.status === Status.Completed;
  refreshEmpty();
}

function taskParam(path, size) {
  const name = path.slice(path.lastIndexOf("/") + 1).replace(/[\x00-\x20\x7f&=?#%+\\]/g, "_");
  return `sha1={sha1}&size=${size}&name=${name}&pick_code={pick_code}`;
}

async function choose() {
  if (waitingForDialog) return;
  waitingForDialog = true;
  $("#choosing").hidden = false;
  await control.DeleteFileList();
  await control.SelectFileList("All files|*.*");
  let list = "NULL";
  while (waitingForDialog && list === "NULL") {
    await new Promise((resolve) => setTimeout(resolve, DIALOG_POLL_MS));
    list = await control.GetFileList();
  }
  waitingForDialog = false;
  $("#choosing").hidden = true;
  if (list === "NULL") return;
  for (const entry of list.split("|")) {
    const star = entry.lastIndexOf("*");
    const path = entry.slice(0, star);
    const id = nextId++;
    if ((await control.AddUpTask(id, path, taskParam(path, entry.slice(star + 1)))) !== 1) continue;
    addRow(id);
    await control.ContinueUpTask(id);
  }
}

async function start() {
  const note = $("#connection");
  try {
    control = await Ferrant.connect();
  } catch (error) {
    note.textContent = error.message;
    note.classList.add("bad");
    return;
  }
  await control.InitService(settings.user, "demo-cookie", settings.dispatch, 3, 2);
  note.textContent = `${await control.GetVersionInfo()} · user ${settings.user} · ${settings.dispatch}`;
  // Uploads a closed page left behind come back numbered from 10000.
  const saved = await control.GetTaskCount();
  for (let id = 10000; id < 10000 + saved; id++) addRow(id);
  $("#choose").disabled = false;
  $("#choose").onclick = choose;
  $("#stop-waiting").onclick = (event) => {
    event.preventDefault();
    waitingForDialog = false;
  };
}

start();
