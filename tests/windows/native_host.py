#!/usr/bin/env python3
"""ferrant.exe as the browsers start it, under Wine: its frames go through binary pipes
unchanged (length bytes 0x0A and 0x1A included, which a text-mode stream would turn into CR LF
or read as the end of the input), the page origin handshake, and a foreign caller refused.

    native_host.py WINE 'C:\\ferrant\\ferrant.exe' EXTENSION_ID
Prints one line per check and "N passed, N failed"; exits with the failure count.
"""
import json
import struct
import subprocess
import sys

wine, exe, ext_id = sys.argv[1:4]
failed = passed = 0


def check(name, ok, detail=""):
    global failed, passed
    passed += ok
    failed += not ok
    print(f"{'ok  ' if ok else 'FAIL'} {name}{'' if ok else ': ' + str(detail)}")


def frame(obj, length=None):
    body = json.dumps(obj, separators=(",", ":"))
    if length is not None:
        body = body[:-1] + " " * (length - len(body)) + "}"  # blanks inside the object
    data = body.encode()
    return struct.pack("<I", len(data)) + data


def frames(data):
    out = []
    while len(data) >= 4:
        n = struct.unpack("<I", data[:4])[0]
        out.append(data[4:4 + n])
        data = data[4 + n:]
    return out, data


def response(id_, result):
    return json.dumps({"id": id_, "jsonrpc": "2.0", "result": result}, separators=(",", ":")).encode()


def run(args, data):
    return subprocess.run([wine, exe] + args, input=data, capture_output=True, timeout=120)


# A response id long enough that the response's length is 0x10A: its length bytes hold an LF.
pad = "x" * (0x10A - len(response("", 0)))
requests = (
    frame({"jsonrpc": "2.0", "id": 0, "method": "Open", "params": ["https://www.corvel.example"]})
    + frame({"jsonrpc": "2.0", "id": 1, "method": "GetVersionInfo"}, length=0x11A)  # 1A: Ctrl-Z
    + frame({"jsonrpc": "2.0", "id": 2, "method": "GetTaskInfo", "params": [7]}, length=0x10A)
    + frame({"jsonrpc": "2.0", "id": pad, "method": "GetTaskCount"})
)
p = run([f"chrome-extension://{ext_id}/", "--parent-window=0"], requests)
got, rest = frames(p.stdout)
expected = [response(0, None), response(1, "Tavik Upload Plug-in v1.5.6.6"), response(2, "NULL"),
            response(pad, 0)]
check("the host answers every frame, byte for byte, and exits 0 at the end of its input",
      p.returncode == 0 and got == expected and rest == b"", (p.returncode, p.stdout[:200]))
check("standard output carries frames only", len(p.stdout) == sum(4 + len(e) for e in expected))

forged = (
    frame({"jsonrpc": "2.0", "id": 0, "method": "Open", "params": ["http://evil.test"]})
    + frame({"jsonrpc": "2.0", "id": 1, "method": "InitService",
             "params": ["u", "c", "http://dispatch.corvel.example/index.php", 0, 0]})
    + frame({"jsonrpc": "2.0", "id": 2, "method": "AddUpTask", "params": [1, "C:\\ferrant\\ferrant.exe", ""]})
)
p = run(["C:\\hosts\\com.corvel.ferrant.json", "ferrant@corvel.example"], forged)
got, _ = frames(p.stdout)
check("a page outside the service domain gets no manager (Firefox's caller form)",
      p.returncode == 0 and len(got) == 3 and json.loads(got[2])["result"] == 0, got)

p = run(["chrome-extension://aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa/"], requests)
check("another extension is refused without a byte of output", p.returncode == 3 and p.stdout == b"",
      p.returncode)
print(f"native host: {passed} passed, {failed} failed")
sys.exit(failed)
