// ferrant.js: the upload control for pages of the service domain, through the Ferrant browser
// extension and its native host. A plain ES module:
//
//   import Ferrant from "./ferrant.js";
//   const obj = await Ferrant.connect();          // was: new ActiveXObject("Ferrant.UpLoadObj")
//   await obj.InitService(user, cookie, dispatchUrl, 3, 5);
//   const line = await obj.GetTaskInfo(1);
//
// connect() gives an object with the control's eleven methods under their names, each returning
// a Promise of the value the control returns (integers, strings, or null). Arguments are
// converted as the control's scripting interface converts them: integers for the numbers,
// text for the strings. One connection is one control (one host process); close() ends it, as
// leaving the page does, which stops the running tasks and keeps their task files.
//
// For the status line:
//   Ferrant.parseStatus(line)  the line's fields by name (null for "NULL"); ferrant.d.ts lists them
//   Ferrant.Status             the states by name: Status.Uploading === 6
//   obj.watch(ids, onChange)   calls onChange(id, state) with the parsed state (null: the task is
//                              gone) at once and whenever a task's line changes: a new state at
//                              once (the host tells), progress figures every `interval` ms
//                              (default 250) while a task hashes, uploads or waits to retry.
//                              Returns unwatch(); close() ends every watch. The page needs no
//                              poll loop: watch reads GetTaskInfo itself, which also starts a
//                              queued task when a slot frees, as a page's poll does.
//
// Failures reject with a FerrantError whose code is one of:
//   "no-extension"  the extension is not installed or not enabled for this page
//   "no-host"       the extension is there but the native host is not installed
//   "refused"       the host refused this page (its origin is outside the service domain)
//   "timeout"       no answer in time
//   "closed"        the connection ended (the host exited, close() was called)
//   "rpc"           the control refused the call's arguments (error.rpcCode holds the code)
//   "argument"      an argument cannot be converted

const PAGE = "ferrant:page";
const EXTENSION = "ferrant:extension";

// The methods and their parameters: "i" a 32-bit integer, "s" a string.
const SIGNATURES = {
  InitService: "sssii",
  AddUpTask: "iss",
  DeleteUpTask: "i",
  ContinueUpTask: "i",
  StopUpTask: "i",
  GetTaskInfo: "i",
  GetTaskCount: "",
  GetVersionInfo: "",
  SelectFileList: "s",
  GetFileList: "",
  DeleteFileList: "",
};

export const METHODS = Object.freeze(Object.keys(SIGNATURES));

// The task states of the status line.
export const Status = Object.freeze({
  Created: 1,
  Starting: 2,
  Hashing: 3,
  Dispatch: 4,
  Check: 5,
  Uploading: 6,
  Stopped: 7,
  Finishing: 8,
  Completed: 9,
  RetryWait: 70,
});

// The fields each state adds after ServerErrMsg, in the line's order.
const TAILS = {
  3: [["Total", "hashPercent"]],
  6: [["Total", "transferred"], ["Offset", "offset"], ["Elapsed", "elapsed"],
      ["TotalElapsed", "totalElapsed"]],
  70: [["Retry", "retry"], ["Wait", "wait"]],
};
const INT = "(-?\\d+)";
// The fixed fields. A file name or a server message may hold '|': the name ends at the first
// place where the fixed keys follow, the message where the state's numeric tail begins.
const FIXED = new RegExp(
  `^FileName=([\\s\\S]*?)\\|FileSize=${INT}\\|PickCode=([^|]*)\\|Status=${INT}` +
    `\\|ErrCode=${INT}\\|ServerErrCode=${INT}\\|ServerErrMsg=([\\s\\S]*)$`,
);
const TAIL_PATTERNS = Object.fromEntries(
  Object.entries(TAILS).map(([status, fields]) => [
    status,
    new RegExp(fields.map(([key]) => `\\|${key}=${INT}`).join("") + "$"),
  ]),
);

// The fields of a status line by name; null for "NULL" or a text that is no status line.
export function parseStatus(line) {
  const m = typeof line === "string" ? FIXED.exec(line) : null;
  if (!m) return null;
  const state = {
    fileName: m[1],
    fileSize: Number(m[2]),
    pickCode: m[3],
    status: Number(m[4]),
    errCode: Number(m[5]),
    serverErrCode: Number(m[6]),
    serverErrMsg: m[7],
  };
  const tail = TAIL_PATTERNS[state.status];
  if (tail) {
    const t = tail.exec(state.serverErrMsg);
    if (!t) return null;
    state.serverErrMsg = state.serverErrMsg.slice(0, t.index);
    TAILS[state.status].forEach(([, name], i) => {
      state[name] = Number(t[i + 1]);
    });
  }
  return state;
}

// States whose figures move without a new state: watch reads them at its interval.
const MOVING = new Set([Status.Hashing, Status.Uploading, Status.RetryWait]);
const IDLE_WAIT_MS = 20000;

function deliver(onChange, id, state) {
  try {
    onChange(id, state);
  } catch (error) {
    if (typeof reportError === "function") reportError(error);
    else setTimeout(() => { throw error; });
  }
}

export class FerrantError extends Error {
  constructor(code, message, rpcCode) {
    super(message);
    this.name = "FerrantError";
    this.code = code;
    if (rpcCode !== undefined) this.rpcCode = rpcCode;
  }
}

const listeners = new Set();
let listening = false;

function listen(handler) {
  if (!listening) {
    listening = true;
    window.addEventListener("message", (event) => {
      if (event.source !== window) return;
      const data = event.data;
      if (data === null || typeof data !== "object" || data.channel !== EXTENSION) return;
      for (const h of [...listeners]) h(data);
    });
  }
  listeners.add(handler);
  return () => listeners.delete(handler);
}

function post(message) {
  window.postMessage({ channel: PAGE, ...message }, window.location.origin);
}

function randomId() {
  const bytes = new Uint8Array(12);
  crypto.getRandomValues(bytes);
  return Array.from(bytes, (b) => b.toString(16).padStart(2, "0")).join("");
}

// Waits for the first message that settle() accepts (returns a value other than undefined).
function waitFor(settle, timeoutMs, onTimeout) {
  return new Promise((resolve, reject) => {
    let stop = null;
    const timer = setTimeout(() => {
      stop();
      reject(onTimeout());
    }, timeoutMs);
    stop = listen((data) => {
      let outcome;
      try {
        outcome = settle(data);
      } catch (error) {
        clearTimeout(timer);
        stop();
        reject(error);
        return;
      }
      if (outcome === undefined) return;
      clearTimeout(timer);
      stop();
      resolve(outcome);
    });
  });
}

function convert(method, args) {
  const signature = SIGNATURES[method];
  if (args.length < signature.length) {
    throw new FerrantError("argument", `${method} takes ${signature.length} argument(s)`);
  }
  return Array.from(signature, (kind, i) => {
    const value = args[i];
    if (kind === "s") return value === null || value === undefined ? "" : String(value);
    const n = Math.round(Number(value));
    if (!Number.isFinite(n)) {
      throw new FerrantError("argument", `${method}: argument ${i + 1} is not a number`);
    }
    return n;
  });
}

class Connection {
  #conn;
  #nextId = 1;
  #pending = new Map();
  #closed = null;
  #callTimeout;
  #stop;
  #watchers = new Set();
  #watching = false;
  #added = false;  // a watch was added since the loop's last round

  constructor(conn, callTimeout) {
    this.#conn = conn;
    this.#callTimeout = callTimeout;
    this.#stop = listen((data) => this.#onMessage(data));
    for (const method of METHODS) {
      Object.defineProperty(this, method, {
        value: (...args) => this.#call(method, args),
        enumerable: true,
      });
    }
  }

  get closed() {
    return this.#closed !== null;
  }

  close() {
    if (this.#closed) return;
    post({ type: "close", conn: this.#conn });
    this.#end("the page closed the connection");
  }

  // Calls onChange(id, state) for each task of ids now and whenever its line changes; returns
  // the function that ends this watch.
  watch(ids, onChange, { interval = 250 } = {}) {
    const list = (Array.isArray(ids) ? ids : [ids]).map((id) => convert("GetTaskInfo", [id])[0]);
    if (typeof onChange !== "function") {
      throw new FerrantError("argument", "watch: onChange is not a function");
    }
    const watcher = { ids: list, onChange, interval: Math.max(20, Number(interval) || 250),
                      last: new Map() };
    if (this.#closed) return () => {};
    this.#watchers.add(watcher);
    this.#added = true;
    if (!this.#watching) {
      this.#watching = true;
      this.#watchLoop();
    } else {
      // A new wait ends the host's pending one at once, so the new tasks are read now.
      this.#send("WaitForChange", [0, 0]).catch(() => {});
    }
    return () => {
      this.#watchers.delete(watcher);
    };
  }

  async #watchLoop() {
    let seen = 0;
    let waits = true;  // false: a host without WaitForChange; watch reads at its interval
    try {
      seen = await this.#send("WaitForChange", [0, 0]);
    } catch (error) {
      if (error.code !== "rpc") return this.#endWatch();
      waits = false;
    }
    while (this.#watchers.size > 0 && !this.#closed) {
      let pace = IDLE_WAIT_MS;
      try {
        this.#added = false;
        const lines = new Map();
        for (const w of this.#watchers) {
          for (const id of w.ids) if (!lines.has(id)) lines.set(id, await this.GetTaskInfo(id));
        }
        for (const w of [...this.#watchers]) {
          for (const id of w.ids) {
            const line = lines.get(id);
            const state = parseStatus(line);
            if (state && MOVING.has(state.status)) pace = Math.min(pace, w.interval);
            if (w.last.get(id) === line || !this.#watchers.has(w)) continue;
            w.last.set(id, line);
            deliver(w.onChange, id, state);
          }
        }
        if (this.#watchers.size === 0 || this.#closed) break;
        if (this.#added) continue;  // read the new watch's tasks before waiting
        const timeout = Math.min(pace, Math.floor(this.#callTimeout / 2));
        if (waits) seen = await this.#send("WaitForChange", [seen, timeout]);
        else await new Promise((resolve) => setTimeout(resolve, Math.min(pace, 1000)));
      } catch (error) {
        if (this.#closed || error.code === "closed") break;
        if (typeof reportError === "function") reportError(error);
        await new Promise((resolve) => setTimeout(resolve, 1000));
      }
    }
    this.#endWatch();
  }

  #endWatch() {
    this.#watching = false;
    // A watch added after the loop's last look starts a loop of its own.
    if (this.#watchers.size > 0 && !this.#closed) {
      this.#watching = true;
      this.#watchLoop();
    }
  }

  #end(reason) {
    this.#closed = reason;
    this.#watchers.clear();
    this.#stop();
    for (const { reject, timer } of this.#pending.values()) {
      clearTimeout(timer);
      reject(new FerrantError("closed", reason));
    }
    this.#pending.clear();
  }

  #onMessage(data) {
    if (data.conn !== this.#conn) return;
    if (data.type === "closed") {
      this.#end(data.reason || "the connection ended");
      return;
    }
    const call = this.#pending.get(data.id);
    if (!call) return;
    this.#pending.delete(data.id);
    clearTimeout(call.timer);
    if (data.type === "result") call.resolve(data.result);
    else call.reject(new FerrantError("rpc", data.error?.message ?? "refused", data.error?.code));
  }

  #call(method, args) {
    let params;
    try {
      params = convert(method, args);
    } catch (error) {
      return Promise.reject(error);
    }
    return this.#send(method, params);
  }

  #send(method, params) {
    if (this.#closed) return Promise.reject(new FerrantError("closed", this.#closed));
    const id = this.#nextId++;
    return new Promise((resolve, reject) => {
      const timer = setTimeout(() => {
        this.#pending.delete(id);
        reject(new FerrantError("timeout", `${method}: no answer in ${this.#callTimeout} ms`));
      }, this.#callTimeout);
      this.#pending.set(id, { resolve, reject, timer });
      post({ type: "call", conn: this.#conn, id, method, params });
    });
  }
}

// True when the extension serves this page. Resolves false after timeout ms without an answer.
export function isAvailable({ timeout = 1000 } = {}) {
  post({ type: "ping" });
  return waitFor((data) => (data.type === "pong" ? true : undefined), timeout, () => null).catch(
    () => false,
  );
}

// Opens a connection: one control in a host process of its own.
export async function connect({ timeout = 10000, callTimeout = 30000 } = {}) {
  if (!(await isAvailable({ timeout: Math.min(timeout, 2000) }))) {
    throw new FerrantError(
      "no-extension",
      "The Ferrant extension is not installed, or not enabled for this site.",
    );
  }
  const conn = randomId();
  // Listening starts before the open goes out, so that no answer can be missed.
  const connection = new Connection(conn, callTimeout);
  const ready = waitFor(
    (data) => {
      if (data.conn !== conn) return undefined;
      if (data.type === "ready") return true;
      if (data.type !== "closed") return undefined;
      const reason = String(data.reason ?? "");
      if (/not found|no such native application|not installed/i.test(reason)) {
        throw new FerrantError(
          "no-host",
          `The Ferrant program is not installed for this browser (run: ferrant install-browser-host): ${reason}`,
        );
      }
      if (/refused/i.test(reason)) throw new FerrantError("refused", reason);
      throw new FerrantError("closed", reason);
    },
    timeout,
    () => new FerrantError("timeout", `no answer from the Ferrant host in ${timeout} ms`),
  );
  post({ type: "open", conn });
  try {
    await ready;
  } catch (error) {
    connection.close();
    throw error;
  }
  return connection;
}

const Ferrant = Object.freeze({ connect, isAvailable, parseStatus, Status, METHODS, FerrantError });
export { Ferrant };
export default Ferrant;
