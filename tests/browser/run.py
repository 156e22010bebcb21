#!/usr/bin/env python3
"""The browser bridge end to end, in real headless browsers on loopback.

Starts the reference server (its upload port behind a relay the test can hold), a small HTTP
server of its own for the test pages and their reports, and the browsers with the built
extension and the host manifest in temporary profiles. Pages post their results to the test's
server, which the test waits for. Prints one "ok"/"FAIL" line per check, the measurements, and
"N passed, N failed"; exits with the failure count.

    tests/browser/run.py BUILD_DIR [chromium] [firefox] [--screenshot PNG]
"""
import argparse
import base64
import hashlib
import http.server
import json
import os
import re
import select
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import threading
import time
import zipfile

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
CHROMIUM = "/usr/lib/chromium/chromium"
FIREFOX = "firefox-esr"
GECKO_ID = "ferrant@corvel.example"
WAIT_S = 60  # the longest any one step may take before the test gives up on it

failures = 0
passes = 0


def check(name, ok, detail=""):
    global failures, passes
    if ok:
        passes += 1
        print(f"ok   {name}", flush=True)
    else:
        failures += 1
        print(f"FAIL {name}{': ' + str(detail) if detail else ''}", flush=True)


def sha1_hex(path):
    with open(path, "rb") as f:
        return hashlib.sha1(f.read()).hexdigest().upper()


def write_random(path, size):
    with open(path, "wb") as f:
        f.write(os.urandom(size))


def extension_id(manifest_path):
    """The Chromium id that follows from the manifest's key."""
    with open(manifest_path) as f:
        key = base64.b64decode(json.load(f)["key"])
    return "".join(chr(ord("a") + int(c, 16)) for c in hashlib.sha256(key).hexdigest()[:32])


class Reports(http.server.ThreadingHTTPServer):
    """The test pages, ferrant.js, and the results the pages post."""

    daemon_threads = True

    def __init__(self, library=os.path.join(ROOT, "browser/page/ferrant.js")):
        super().__init__(("127.0.0.1", 0), ReportHandler)
        self.library = library
        self.results = {}
        self.cond = threading.Condition()

    def wait(self, name, timeout=WAIT_S):
        with self.cond:
            self.cond.wait_for(lambda: name in self.results, timeout)
            return self.results.pop(name, None)


class ReportHandler(http.server.BaseHTTPRequestHandler):
    def log_message(self, *args):
        pass

    def do_GET(self):
        path = self.path.split("?")[0]
        if path == "/ferrant.js":
            file = self.server.library
        elif re.fullmatch(r"/pages/[a-z]+\.(html|js)", path):
            file = os.path.join(ROOT, "tests/browser", path[1:])
        else:
            self.send_error(404)
            return
        with open(file, "rb") as f:
            body = f.read()
        self.send_response(200)
        kind = "text/javascript" if file.endswith(".js") else "text/html"
        self.send_header("Content-Type", kind + "; charset=utf-8")
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        self.wfile.write(body)

    def do_POST(self):
        m = re.fullmatch(r"/result/([a-z]+)", self.path)
        body = self.rfile.read(int(self.headers.get("Content-Length", 0)))
        self.send_response(204 if m else 404)
        self.end_headers()
        if m:
            with self.server.cond:
                self.server.results[m.group(1)] = json.loads(body)
                self.server.cond.notify_all()


class Relay:
    """The upload server's port as the dispatch replies name it. While held, each connection
    forwards its first `hold_after` bytes and then waits (a client that leaves meanwhile is
    dropped with whatever it sent beyond them)."""

    def __init__(self, hold_after):
        self.hold_after = hold_after
        self.open = threading.Event()
        self.open.set()
        self.target = None
        self.rate = 0  # bytes per second upstream; 0: as fast as they come
        self.sock = socket.socket()
        self.sock.bind(("127.0.0.1", 0))
        self.sock.listen(16)
        self.port = self.sock.getsockname()[1]
        threading.Thread(target=self._accept, daemon=True).start()

    def _accept(self):
        while True:
            try:
                client, _ = self.sock.accept()
            except OSError:
                return
            server = socket.create_connection(("127.0.0.1", self.target))
            threading.Thread(target=self._pump, args=(client, server, True), daemon=True).start()
            threading.Thread(target=self._pump, args=(server, client, False), daemon=True).start()

    def _pump(self, src, dst, upstream):
        sent = 0
        try:
            while True:
                if upstream and sent >= self.hold_after and not self.open.is_set():
                    # Held: read nothing more, but notice the client leaving.
                    p = select.poll()
                    p.register(src, select.POLLRDHUP | select.POLLHUP | select.POLLERR)
                    if p.poll(50):
                        break
                    continue
                want = 65536 if not upstream or self.open.is_set() else self.hold_after - sent
                if upstream and self.rate:
                    want = min(want, self.rate // 20)
                data = src.recv(max(1, min(65536, want)))
                if not data:
                    break
                dst.sendall(data)
                sent += len(data)
                if upstream and self.rate:
                    time.sleep(len(data) / self.rate)  # traffic shaping, not a wait
        except OSError:
            pass
        for s in (src, dst):
            try:
                s.shutdown(socket.SHUT_RDWR)
            except OSError:
                pass


class Cdp:
    """Chromium's DevTools protocol over --remote-debugging-pipe (NUL-separated JSON)."""

    def __init__(self, write_fd, read_fd):
        self.w = os.fdopen(write_fd, "wb", buffering=0)
        self.r = os.fdopen(read_fd, "rb", buffering=0)
        self.next = 1
        self.replies = {}
        self.cond = threading.Condition()
        threading.Thread(target=self._read, daemon=True).start()

    def _read(self):
        buf = b""
        while True:
            chunk = self.r.read(65536)
            if not chunk:
                return
            buf += chunk
            while b"\0" in buf:
                text, buf = buf.split(b"\0", 1)
                msg = json.loads(text)
                if "id" in msg:
                    with self.cond:
                        self.replies[msg["id"]] = msg
                        self.cond.notify_all()

    def call(self, method, session=None, **params):
        with self.cond:
            n = self.next
            self.next += 1
        msg = {"id": n, "method": method, "params": params}
        if session:
            msg["sessionId"] = session
        self.w.write(json.dumps(msg).encode() + b"\0")
        with self.cond:
            self.cond.wait_for(lambda: n in self.replies, WAIT_S)
            reply = self.replies.pop(n, {"error": "no reply"})
        if "error" in reply:
            raise RuntimeError(f"{method}: {reply['error']}")
        return reply["result"]


def host_pids(browser_pid):
    """Native hosts started by the browser: processes below it running the ferrant program."""
    children = {}
    for pid in os.listdir("/proc"):
        if not pid.isdigit():
            continue
        try:
            with open(f"/proc/{pid}/stat") as f:
                stat = f.read()
            with open(f"/proc/{pid}/cmdline", "rb") as f:
                cmd = f.read().split(b"\0")
        except OSError:
            continue
        ppid = int(stat[stat.rindex(")") + 2:].split()[1])
        children.setdefault(ppid, []).append((int(pid), cmd))
    found, todo = [], [browser_pid]
    while todo:
        for pid, cmd in children.get(todo.pop(), []):
            todo.append(pid)
            if cmd and os.path.basename(cmd[0]) == b"ferrant":
                found.append(pid)
    return found


def wait_exit(pid, timeout):
    """Waits for a process that is not our child to end; the seconds it took, or None."""
    start = time.monotonic()
    try:
        fd = os.pidfd_open(pid)
    except ProcessLookupError:
        return 0.0
    try:
        ready, _, _ = select.select([fd], [], [], timeout)
        return time.monotonic() - start if ready else None
    finally:
        os.close(fd)


def wait_until(cond, timeout):
    """Polls a condition of the outside world (a process list) until it holds."""
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        value = cond()
        if value:
            return value
        time.sleep(0.05)
    return cond()


def stop(proc):
    """Stops a browser with SIGTERM to its own pid (its hosts share its process group)."""
    if proc.poll() is None:
        proc.send_signal(signal.SIGTERM)
        try:
            proc.wait(15)
        except subprocess.TimeoutExpired:
            proc.kill()
            proc.wait()


class Setup:
    """The servers of a run: the reference server of build (or server_bin), behind the relay,
    and the test's own for the pages, serving library as /ferrant.js."""

    def __init__(self, build, work, server_bin=None, library=None):
        self.build = build
        self.work = work
        self.ferrant = os.path.join(build, "host/ferrant")
        self.store = os.path.join(work, "store")
        self.appdata = os.path.join(work, "appdata")
        os.makedirs(self.appdata, exist_ok=True)
        self.reports = Reports(library) if library else Reports()
        threading.Thread(target=self.reports.serve_forever, daemon=True).start()
        self.relay = Relay(hold_after=1 << 20)
        self.server = subprocess.Popen(
            [server_bin or os.path.join(build, "server/ferrant-server"), "--store", self.store,
             "--port", "0",
             "--upload-port", str(self.relay.port)],
            stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
        line = self.server.stdout.readline()
        self.port = int(re.search(r"listening on 127\.0\.0\.1:(\d+)", line).group(1))
        self.relay.target = self.port
        self.dispatch = f"http://dispatch.corvel.example:{self.port}/index.php"

    def page(self, name, host="www.corvel.example", **query):
        q = "&".join(f"{k}={v}" for k, v in query.items())
        return f"http://{host}:{self.reports.server_address[1]}/pages/{name}.html?{q}"

    def env(self, selection):
        env = dict(os.environ)
        env.update(APPDATA=self.appdata, FERRANT_FILE_SELECTION="\n".join(selection),
                   FERRANT_RESOLVE=f"dispatch.corvel.example:{self.port}:127.0.0.1")
        return env

    def stored(self, path):
        copy = os.path.join(self.store, "complete", sha1_hex(path))
        return os.path.exists(copy) and open(copy, "rb").read() == open(path, "rb").read()

    def close(self):
        self.server.terminate()
        self.server.wait()
        self.reports.shutdown()


def check_road(setup, result, files, browser):
    if result is None or "error" in result:
        check(f"{browser}: the page uploads two chosen files", False, result)
        return
    check(f"{browser}: the bridge is there and the host answers",
          result.get("available") is True and result.get("version", "").startswith("Tavik"))
    check(f"{browser}: the file list names both files",
          result["list"] == "|".join(f"{f}*{os.path.getsize(f)}" for f in files), result["list"])
    check(f"{browser}: AddUpTask and ContinueUpTask give 1",
          result["added"] == [1, 1] and result["continued"] == [1, 1], result)
    check(f"{browser}: both tasks reach Status 9",
          all("|Status=9|" in line for line in result["lines"]), result["lines"])
    check(f"{browser}: the server holds identical copies", all(setup.stored(f) for f in files))
    check(f"{browser}: arguments are coerced, out-of-range numbers refused",
          result["coerced"].startswith("FileName=" + files[0])
          and result.get("outOfRange", "").startswith("rpc"), result)
    check(f"{browser}: the background refuses a method that is not the control's",
          result["openThroughBridge"].get("code") == -32601, result["openThroughBridge"])
    print(f"     {browser}: median round trip page -> host -> page over 50 GetTaskInfo: "
          f"{result['roundTripMs']:.2f} ms", flush=True)


class Chromium:
    """A headless Chromium with the extension, driven over DevTools, with one page attached."""

    def __init__(self, setup, profile, env, log, load_extension=True):
        ext = os.path.join(setup.build, "browser/chromium")
        to_browser_r, to_browser_w = os.pipe()
        from_browser_r, from_browser_w = os.pipe()
        load = [f"--load-extension={ext}"] if load_extension else []
        args = [CHROMIUM, "--headless=new", "--no-sandbox", "--no-first-run", "--disable-gpu",
                "--remote-debugging-pipe", *load, f"--user-data-dir={profile}",
                "--host-resolver-rules=MAP *.corvel.example 127.0.0.1, MAP evil.example 127.0.0.1",
                "--window-size=1000,640", "--hide-scrollbars", "about:blank"]
        # The pipe's ends become the browser's fds 3 and 4.
        self.proc = subprocess.Popen(
            ["bash", "-c", f'exec "$0" "$@" 3<&{to_browser_r} 4>&{from_browser_w}', *args],
            pass_fds=(to_browser_r, from_browser_w), env=env, stdout=subprocess.DEVNULL,
            stderr=open(os.path.join(setup.work, log), "w"))
        os.close(to_browser_r)
        os.close(from_browser_w)
        self.cdp = Cdp(to_browser_w, from_browser_r)
        try:
            target = next(t for t in self.cdp.call("Target.getTargets")["targetInfos"]
                          if t["type"] == "page")
            self.session = self.cdp.call("Target.attachToTarget", targetId=target["targetId"],
                                         flatten=True)["sessionId"]
        except Exception:
            stop(self.proc)
            raise

    def go(self, url):
        self.cdp.call("Page.navigate", self.session, url=url)

    def evaluate(self, expression):
        r = self.cdp.call("Runtime.evaluate", self.session, expression=expression,
                          returnByValue=True)
        return r["result"].get("value")

    def screenshot(self, path):
        data = self.cdp.call("Page.captureScreenshot", self.session, format="png")["data"]
        with open(path, "wb") as f:
            f.write(base64.b64decode(data))

    def stop(self):
        stop(self.proc)


def run_chromium(setup, files, big):
    profile = os.path.join(setup.work, "chromium-profile")
    out = subprocess.run([setup.ferrant, "install-browser-host", "--browser", "chromium",
                          "--profile", profile], capture_output=True, text=True)
    check("install-browser-host writes the manifest into the profile",
          out.returncode == 0 and "NativeMessagingHosts/com.corvel.ferrant.json" in out.stdout,
          out.stdout + out.stderr)
    ext_id = extension_id(os.path.join(setup.build, "browser/chromium/manifest.json"))
    manifest = json.load(open(os.path.join(profile, "NativeMessagingHosts/com.corvel.ferrant.json")))
    check("the pinned key gives the id the host serves",
          manifest["allowed_origins"] == [f"chrome-extension://{ext_id}/"], manifest["allowed_origins"])

    browser = Chromium(setup, profile, setup.env(files), "chromium.log")
    try:
        browser.go(setup.page("road", user="road", dispatch=setup.dispatch))
        check_road(setup, setup.reports.wait("road"), files, "chromium")

        browser.go(setup.page("foreign", host="evil.example"))
        r = setup.reports.wait("foreign")
        check("a page on a foreign origin has no bridge",
              r is not None and r["available"] is False and r["connect"].startswith("no-extension"), r)

        # Leaving mid-upload: the relay holds both uploads after their first MiB.
        setup.relay.open.clear()
        browser.go(setup.page("leave", user="leaver", dispatch=setup.dispatch, files=",".join(big),
                              sizes=",".join(str(os.path.getsize(f)) for f in big)))
        r = setup.reports.wait("leave")
        check("chromium: both uploads are under way", r is not None and "lines" in r, r)
        hosts = wait_until(lambda: host_pids(browser.proc.pid), 5)
        check("chromium: one host process serves the page", len(hosts) == 1, hosts)
        started = time.monotonic()
        browser.go("about:blank")
        gone = [wait_exit(pid, 10) for pid in hosts]
        check("chromium: navigating away ends the host", hosts and all(g is not None for g in gone), gone)
        if hosts and all(g is not None for g in gone):
            print(f"     chromium: navigating away -> host exit: "
                  f"{(time.monotonic() - started) * 1000:.0f} ms", flush=True)
        task_files = os.listdir(os.path.join(setup.appdata, "Corvel/Ferrant/leaver"))
        check("chromium: the stopped tasks keep their task files",
              len([t for t in task_files if t.endswith(".udu")]) == 2, task_files)
        check("chromium: nothing was finished", not any(setup.stored(f) for f in big))
        setup.relay.open.set()
        browser.go(setup.page("resume", user="leaver", dispatch=setup.dispatch))
        r = setup.reports.wait("resume")
        check("chromium: a new page resumes both saved tasks to Status 9",
              r is not None and r.get("count") == 2
              and all("|Status=9|" in line for line in r.get("lines", [])), r)
        check("chromium: the server holds identical copies of the resumed files",
              all(setup.stored(f) for f in big))
    finally:
        browser.stop()


def run_demo(setup, screenshot):
    """The demo page the reference server serves, mid-upload, with uploads slowed down."""
    samples = []
    for name, size in [("holiday-video.mp4", 40 << 20), ("photos-2024.zip", 12 << 20),
                       ("report.pdf", 300_000)]:
        samples.append(os.path.join(setup.work, "demo", name))
        os.makedirs(os.path.dirname(samples[-1]), exist_ok=True)
        write_random(samples[-1], size)
    profile = os.path.join(setup.work, "demo-profile")
    subprocess.run([setup.ferrant, "install-browser-host", "--browser", "chromium", "--profile",
                    profile], capture_output=True, check=True)
    setup.relay.rate = 3 << 20
    browser = Chromium(setup, profile, setup.env(samples), "demo.log")
    try:
        browser.go(f"http://www.corvel.example:{setup.port}/ferrant/")
        ready = wait_until(lambda: browser.evaluate("!document.querySelector('#choose').disabled"), 20)
        check("the demo page connects to the control", ready)
        browser.evaluate("document.querySelector('#choose').click()")
        # Two uploads with a speed and one finished: the picture people want to see.
        shown = wait_until(lambda: browser.evaluate(
            "(() => { const s = [...document.querySelectorAll('.task')];"
            " return s.length === 3 && s.filter(t => t.classList.contains('uploading') &&"
            " t.querySelector('.detail').textContent.includes('/s')).length === 2 &&"
            " s.some(t => t.classList.contains('done')); })()"), 30)
        check("the demo page draws a bar, percent and speed per task", shown)
        if shown and screenshot:
            browser.screenshot(screenshot)
            print(f"     screenshot of the demo mid-upload: {screenshot}", flush=True)
        # The rest at full speed: the page's watches alone bring every task to its end.
        setup.relay.rate = 0
        done = wait_until(lambda: browser.evaluate(
            "(() => { const s = [...document.querySelectorAll('.task')];"
            " return s.length === 3 && s.every(t => t.classList.contains('done')) &&"
            " document.querySelector('#summary').textContent === '3 of 3 done'; })()"), WAIT_S)
        with open(os.path.join(ROOT, "browser/demo/demo.js")) as f:
            polls = "GetTaskInfo" in f.read()
        check("watch brings the demo's uploads to Status 9, the page polling no task",
              done and not polls and all(setup.stored(f) for f in samples), (done, polls))
    finally:
        browser.stop()
        setup.relay.rate = 0


def write_firefox_prefs(profile, extra=()):
    """A profile's user.js: the test's names mapped to loopback, no first-run chores, extra."""
    with open(os.path.join(profile, "user.js"), "w") as f:
        for key, value in [*extra,
                           ("network.dns.localDomains", "www.corvel.example,dispatch.corvel.example"),
                           ("browser.shell.checkDefaultBrowser", False),
                           ("datareporting.policy.dataSubmissionEnabled", False),
                           ("toolkit.telemetry.reportingpolicy.firstRun", False)]:
            f.write(f"user_pref({json.dumps(key)}, {json.dumps(value)});\n")


def start_firefox(setup, profile, url, env, log):
    return subprocess.Popen(
        [FIREFOX, "--headless", "--no-remote", "--profile", profile, url], env=env,
        stdout=subprocess.DEVNULL, stderr=open(os.path.join(setup.work, log), "w"))


def run_firefox(setup, files):
    home = os.path.join(setup.work, "firefox-home")
    profile = os.path.join(home, "profile")
    os.makedirs(os.path.join(profile, "extensions"))
    env = setup.env(files)
    env["HOME"] = home
    out = subprocess.run([setup.ferrant, "install-browser-host", "--browser", "firefox"],
                         capture_output=True, text=True, env=env)
    check("install-browser-host writes Firefox's manifest under $HOME",
          out.returncode == 0 and ".mozilla/native-messaging-hosts/com.corvel.ferrant.json" in out.stdout,
          out.stdout + out.stderr)
    ext = os.path.join(setup.build, "browser/firefox")
    with zipfile.ZipFile(os.path.join(profile, "extensions", GECKO_ID + ".xpi"), "w") as z:
        for name in os.listdir(ext):
            z.write(os.path.join(ext, name), name)
    write_firefox_prefs(profile, [("xpinstall.signatures.required", False),
                                  ("extensions.autoDisableScopes", 0),
                                  ("extensions.enabledScopes", 15)])
    proc = start_firefox(setup, profile, setup.page("road", user="fox", dispatch=setup.dispatch),
                         env, "firefox.log")
    try:
        check_road(setup, setup.reports.wait("road", timeout=90), files, "firefox")
    finally:
        stop(proc)


def run_page_library():
    """parseStatus over a table of lines (node), and ferrant.d.ts against a typed page (tsc)."""
    out = subprocess.run(["node", os.path.join(ROOT, "tests/browser/parse_status.mjs")],
                         capture_output=True, text=True)
    check("parseStatus reads every state, '|' in names and messages, and NULL",
          out.returncode == 0, out.stdout + out.stderr)
    tsc = os.path.join(ROOT, "browser/node_modules/.bin/tsc")
    out = subprocess.run([tsc, "--noEmit", "-p", os.path.join(ROOT, "browser/tsconfig.json")],
                         capture_output=True, text=True)
    check("tsc --noEmit: ferrant.d.ts types the typed page and refuses its misuse",
          out.returncode == 0, out.stdout + out.stderr)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("build")
    parser.add_argument("browsers", nargs="*", default=["chromium", "firefox"])
    parser.add_argument("--screenshot")
    parser.add_argument("--keep", action="store_true")
    a = parser.parse_args()
    work = tempfile.mkdtemp(prefix="ferrant-browser-")
    setup = Setup(os.path.abspath(a.build), work)
    try:
        run_page_library()
        for browser in a.browsers:
            files = []
            for i, size in enumerate([1_500_000, 700_000]):
                files.append(os.path.join(work, f"{browser}-{i}.bin"))
                write_random(files[-1], size)
            if browser == "chromium":
                big = []
                for i in range(2):
                    big.append(os.path.join(work, f"leave-{i}.bin"))
                    write_random(big[-1], 6 << 20)
                run_chromium(setup, files, big)
                run_demo(setup, a.screenshot or os.path.join(setup.build, "browser-demo.png"))
            else:
                run_firefox(setup, files)
    finally:
        setup.close()
        if not a.keep:
            shutil.rmtree(work, ignore_errors=True)
        else:
            print(f"     kept {work}")
    print(f"browser: {passes} passed, {failures} failed")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
