// ferrant.js's parseStatus over status lines of every state, with '|' in names and messages,
// and texts that are no status line. Prints "ok"/"FAIL" per line and "N passed, N failed".
import { parseStatus, Status } from "../../browser/page/ferrant.js";

const fixed = (name, status, msg = "", errCode = 100) =>
  `FileName=${name}|FileSize=1500000|PickCode=pc7|Status=${status}|ErrCode=${errCode}` +
  `|ServerErrCode=0|ServerErrMsg=${msg}`;
const base = (fileName, status, serverErrMsg = "", errCode = 100) => ({
  fileName, fileSize: 1500000, pickCode: "pc7", status, errCode, serverErrCode: 0, serverErrMsg,
});

const cases = [
  ["NULL", "NULL", null],
  ["not a line", "Status=9", null],
  ["a tail missing", fixed("/a", 6), null],
  ...[1, 2, 4, 5, 7, 8, 9].map((s) => [`state ${s}`, fixed("/d/a.bin", s), base("/d/a.bin", s)]),
  ["hashing", fixed("/a", 3) + "|Total=42", { ...base("/a", 3), hashPercent: 42 }],
  ["uploading", fixed("/a", 6) + "|Total=1048576|Offset=524288|Elapsed=3|TotalElapsed=9",
   { ...base("/a", 6), transferred: 1048576, offset: 524288, elapsed: 3, totalElapsed: 9 }],
  ["waiting to retry", fixed("/a", 70, "", 401) + "|Retry=2|Wait=1",
   { ...base("/a", 70, "", 401), retry: 2, wait: 1 }],
  ["'|' and keys in the name", fixed("/d/x|FileSize=1|y.bin", 9),
   base("/d/x|FileSize=1|y.bin", 9)],
  ["'|' and a tail in the message", fixed("/a", 70, "busy|Retry=9|Wait=9", 401) + "|Retry=1|Wait=0",
   { ...base("/a", 70, "busy|Retry=9|Wait=9", 401), retry: 1, wait: 0 }],
  ["an empty name, a stopped task's message", fixed("", 7, "quota|full", 603),
   base("", 7, "quota|full", 603)],
];

let passed = 0;
let failed = 0;
for (const [name, line, want] of cases) {
  const got = parseStatus(line);
  const ok = JSON.stringify(got) === JSON.stringify(want);
  ok ? passed++ : failed++;
  console.log(`${ok ? "ok  " : "FAIL"} parseStatus: ${name}${ok ? "" : `: ${JSON.stringify(got)}`}`);
}
const states = { Created: 1, Starting: 2, Hashing: 3, Dispatch: 4, Check: 5, Uploading: 6,
                 Stopped: 7, Finishing: 8, Completed: 9, RetryWait: 70 };
const statusOk = JSON.stringify(Status) === JSON.stringify(states) && Object.isFrozen(Status);
statusOk ? passed++ : failed++;
console.log(`${statusOk ? "ok  " : "FAIL"} Status names the ten states`);
console.log(`${passed} passed, ${failed} failed`);
process.exit(failed ? 1 : 0);
