// One upload through the control, as a page drives it: InitService with the dispatch address,
// AddUpTask, ContinueUpTask, then GetTaskInfo polled until the task ends. Arguments: the dispatch
// URL, the file's path, its size and its name, and optionally the error code the upload must
// stop at instead (a refused server: "401" for the dispatch request). Prints every new status
// line, then "N passed, N failed", and exits with the number of failures.
var args = WScript.Arguments;
var dispatchUrl = args(0), path = args(1), size = args(2), name = args(3);
var refusedWith = args.length > 4 ? args(4) : null;
var passed = 0, failed = 0;
function check(what, cond) {
  if (cond) { passed++; } else { failed++; WScript.Echo("FAIL " + what); }
}
// (Wine's script host has no WScript.Sleep: the wait spins on the clock.)
function pause(ms) {
  var until = new Date().getTime() + ms;
  while (new Date().getTime() < until) {}
}
function field(line, key) {
  var m = new RegExp("\\|" + key + "=([^|]*)").exec(line);
  return m ? m[1] : null;
}
try {
  var o = new ActiveXObject("Ferrant.UpLoadObj");
  o.InitService("wineuser", "winecookie", dispatchUrl, 2, 1);
  check("the task is added",
        o.AddUpTask(7, path, "sha1={sha1}&size=" + size + "&name=" + name +
                    "&pick_code={pick_code}") == 1);
  check("the task is started", o.ContinueUpTask(7) == 1);
  var line = "", last = "";
  for (var i = 0; i < 600; i++) {
    line = o.GetTaskInfo(7);
    var status = field(line, "Status");
    if (status != field(last, "Status")) WScript.Echo(line);
    last = line;
    if (status == "9" || status == "7") break;
    if (refusedWith && (field(line, "ErrCode") == refusedWith || status == "70")) break;
    pause(100);
  }
  if (refusedWith) {
    check("the upload fails with error " + refusedWith, field(line, "ErrCode") == refusedWith);
    check("nothing completes", field(line, "Status") != "9");
  } else {
    check("the upload completes (Status 9)", field(line, "Status") == "9");
    check("the service names the file (a pick code)", field(line, "PickCode") != "");
  }
  check("the task count", o.GetTaskCount() == 1);
} catch (e) {
  failed++;
  WScript.Echo("exception: " + e.message + " (" + (e.number >>> 0).toString(16) + ")");
}
WScript.Echo(passed + " passed, " + failed + " failed");
WScript.Quit(failed);
