// A page written against ferrant.d.ts: `tsc --noEmit` checks that the declarations describe the
// library as pages use it, and that misuse fails to compile.
import Ferrant, { FerrantError, Status, parseStatus, type TaskState } from "../../../browser/page/ferrant.js";

export async function upload(path: string): Promise<TaskState> {
  if (!(await Ferrant.isAvailable())) throw new Error("no bridge");
  const obj = await Ferrant.connect({ callTimeout: 5000 });
  await obj.InitService("u1", "cookie", "https://dispatch.corvel.example/index.php", 3, 5);
  const added: 0 | 1 = await obj.AddUpTask(1, path, "sha1={sha1}&pick_code={pick_code}");
  if (added !== 1) throw new FerrantError("argument", "refused");
  await obj.ContinueUpTask(1);
  const first = parseStatus(await obj.GetTaskInfo(1));
  if (first?.status === Status.Hashing) console.log(first.hashPercent ?? 0);
  return new Promise((resolve) => {
    const unwatch = obj.watch([1], (id: number, state: TaskState | null) => {
      if (state === null || state.status !== Status.Completed) return;
      unwatch();
      obj.close();
      resolve(state);
    }, { interval: 500 });
  });
}

export function misuse(obj: Awaited<ReturnType<typeof Ferrant.connect>>): void {
  // @ts-expect-error: a task number, not a name
  void obj.ContinueUpTask("one");
  // @ts-expect-error: parseStatus may give null
  void parseStatus("NULL").status;
  // @ts-expect-error: the states are fixed
  Status.Completed = 10;
  // @ts-expect-error: no such method on the bridge
  void obj.WaitForChange(0, 0);
}
