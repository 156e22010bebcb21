// Ferrant.UpLoadObj from script, as a page drives it: prints "N passed, N failed" and exits
// with the number of failures.
var passed = 0, failed = 0;
function check(name, cond) {
  if (cond) { passed++; } else { failed++; WScript.Echo("FAIL " + name); }
}
try {
  var o = new ActiveXObject("Ferrant.UpLoadObj");
  check("version", o.GetVersionInfo() == "Tavik Upload Plug-in v1.5.6.6");
  check("no tasks before InitService", o.GetTaskCount() == 0);
  check("file list before InitService", o.GetFileList() == "NULL");
  o.InitService("u1", "c", "http://dispatch.other.org/index.php", 1, 1);
  check("a foreign dispatch address is refused", o.AddUpTask(1, "C:\\windows\\win.ini", "") == 0);
  o.InitService("u1", "cookie", "http://dispatch.corvel.example/index.php", 1, 1);
  check("add", o.AddUpTask(1, "C:\\windows\\win.ini", "x=1") == 1);
  check("same path refused", o.AddUpTask(2, "C:\\windows\\win.ini", "") == 0);
  check("taken number refused", o.AddUpTask(1, "C:\\windows\\system.ini", "") == 0);
  var line = o.GetTaskInfo(1);
  check("status line start", line.indexOf("FileName=C:\\windows\\win.ini|FileSize=") == 0);
  check("status line end",
        line.indexOf("|PickCode=|Status=1|ErrCode=100|ServerErrCode=0|ServerErrMsg=") > 0);
  check("unknown number", o.GetTaskInfo(9) == "NULL");
  check("count", o.GetTaskCount() == 1);
  check("stop", o.StopUpTask(1) == 1);
  check("stop unknown", o.StopUpTask(9) == 0);
  check("delete", o.DeleteUpTask(1) == 1);
  check("empty again", o.GetTaskCount() == 0);
  o.DeleteFileList();
  check("file list cleared", o.GetFileList() == "NULL");
} catch (e) {
  failed++;
  WScript.Echo("exception: " + e.message);
}
WScript.Echo(passed + " passed, " + failed + " failed");
WScript.Quit(failed);
