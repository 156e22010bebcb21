// Helpers of the test pages: the query's settings, polling the control, and the report that
// the test's own server waits for.
export const params = Object.fromEntries(new URL(window.location.href).searchParams);

export async function report(name, result) {
  await fetch(`/result/${name}`, { method: "POST", body: JSON.stringify(result) });
}

// The control is polled, as pages poll it; a frame's worth of wait between two rounds.
export const nextRound = () => new Promise((resolve) => setTimeout(resolve, 50));

export function status(line) {
  const m = /\|Status=(\d+)/.exec(line);
  return m ? Number(m[1]) : -1;
}

export function field(line, name) {
  const m = new RegExp(`\\|${name}=(-?\\d+)`).exec(line);
  return m ? Number(m[1]) : -1;
}

// Polls GetTaskInfo for ids until done(lines) holds; returns the lines.
export async function pollTasks(obj, ids, done) {
  for (;;) {
    const lines = [];
    for (const id of ids) lines.push(await obj.GetTaskInfo(id));
    if (done(lines)) return lines;
    await nextRound();
  }
}

export const ended = (lines) => lines.every((l) => status(l) === 9 || status(l) === 7);

// The reference server's task parameter for a file of the list.
export function taskParam(path, size) {
  const name = path.slice(path.lastIndexOf("/") + 1).replace(/[\x00-\x20\x7f&=?#%+]/g, "_");
  return `sha1={sha1}&size=${size}&name=${name}&pick_code={pick_code}`;
}

export function describe(error) {
  return `${error?.code ?? error?.name}: ${error?.message}`;
}
