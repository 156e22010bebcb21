#!/usr/bin/env python3
"""ferrant.exe, the browsers' native host, uploading under Wine as a page drives it through the
bridge: Open, InitService, AddUpTask, ContinueUpTask, then GetTaskInfo after each change that
WaitForChange reports, until the task ends. The host is started with FERRANT_CA_FILE and
whatever else the environment holds.

    native_upload.py WINE 'C:\\ferrant\\ferrant.exe' EXTENSION_ID DISPATCH_URL FILE SIZE NAME [ERRCODE]
With ERRCODE the upload must stop at that error code instead of completing (a refused server).
Prints "N passed, N failed"; exits with the failure count.
"""
import json
import re
import struct
import subprocess
import sys
import time

wine, exe, ext_id, dispatch, path, size, name = sys.argv[1:8]
refused_with = sys.argv[8] if len(sys.argv) > 8 else None
host = subprocess.Popen([wine, exe, f"chrome-extension://{ext_id}/"], stdin=subprocess.PIPE,
                        stdout=subprocess.PIPE)
next_id = 0


def call(method, *params):
    global next_id
    next_id += 1
    body = json.dumps({"jsonrpc": "2.0", "id": next_id, "method": method, "params": list(params)})
    host.stdin.write(struct.pack("<I", len(body)) + body.encode())
    host.stdin.flush()
    n = struct.unpack("<I", host.stdout.read(4))[0]
    return json.loads(host.stdout.read(n))["result"]


def field(line, key):
    m = re.search(r"\|" + key + r"=([^|]*)", line or "")
    return m.group(1) if m else None


checks = []
call("Open", "https://www.corvel.example")
call("InitService", "wineuser", "winecookie", dispatch, 2, 1)
checks.append(("the task is added", call("AddUpTask", 7, path, f"sha1={{sha1}}&size={size}&name={name}") == 1))
checks.append(("the task is started", call("ContinueUpTask", 7) == 1))
# The bridge's change events, as ferrant.js watches them: the line is read after each change.
deadline = time.monotonic() + 60
seen = call("WaitForChange", 0, 0)
line = ""
while time.monotonic() < deadline:
    line = call("GetTaskInfo", 7)
    if field(line, "Status") in ("9", "7"):
        break
    if refused_with and (field(line, "ErrCode") == refused_with or field(line, "Status") == "70"):
        break
    seen = call("WaitForChange", seen, 5000)
print("     " + line)
if refused_with:
    checks.append((f"the upload fails with error {refused_with}", field(line, "ErrCode") == refused_with))
else:
    checks.append(("the upload completes (Status 9)", field(line, "Status") == "9"))
host.stdin.close()
host.wait(timeout=60)
failed = [what for what, ok in checks if not ok]
for what in failed:
    print("FAIL " + what)
print(f"{len(checks) - len(failed)} passed, {len(failed)} failed")
sys.exit(len(failed))
