#!/usr/bin/env python3
"""The bridge as the deb installs it, in fresh headless Chromium and Firefox ESR profiles that
are given nothing by hand: no --load-extension, no host manifest, no extension preference.

    tests/browser/installed.py present WORK   after dpkg -i: each browser finds the extension,
                                              and a service page that imports the installed
                                              ferrant.js uploads a file to Status 9 through the
                                              installed host and server
    tests/browser/installed.py absent WORK    after dpkg -P: the same profiles, started again,
                                              have no extension

The profiles live in WORK between the two runs. Prints "ok"/"FAIL" per check and
"N passed, N failed"; exits with the failure count.
"""
import os
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import run  # noqa: E402  the browser test's servers and browsers

LIBRARY = "/usr/share/ferrant/page/ferrant.js"


def profile_holds_extension(browser, profile):
    """What the profile itself records: Chromium's unpacked copy, Firefox's add-on list."""
    if browser == "chromium":
        with open(os.path.join(run.ROOT, "build-package/extension-id")) as f:
            return os.path.isdir(os.path.join(profile, "Default/Extensions", f.read().strip()))
    try:
        with open(os.path.join(profile, "extensions.json")) as f:
            return run.GECKO_ID in f.read()
    except OSError:
        return False


def main():
    want, work = sys.argv[1], os.path.abspath(sys.argv[2])
    # After dpkg -P the page takes the tree's library, and the server is the package build's.
    server = "/usr/bin/ferrant-server"
    if want == "absent":
        server = os.path.join(run.ROOT, "build-package/server/ferrant-server")
    setup = run.Setup("/usr", os.path.join(work, want), server_bin=server,
                      library=LIBRARY if want == "present" else None)
    upload = os.path.join(work, "installed.bin")
    if want == "present":
        run.write_random(upload, 900_000)
    query = dict(want=want, user="installed", dispatch=setup.dispatch)
    if want == "present":
        query.update(file=upload, size=os.path.getsize(upload))
    env = setup.env([])
    try:
        for browser in ("chromium", "firefox"):
            profile = os.path.join(work, f"{browser}-profile")
            url = setup.page("installed", report=browser, **query)
            if browser == "chromium":
                proc = run.Chromium(setup, profile, env, f"{browser}-{want}.log",
                                    load_extension=False)
                proc.go(url)
                stop = proc.stop
            else:
                os.makedirs(profile, exist_ok=True)
                run.write_firefox_prefs(profile)
                fenv = dict(env, HOME=os.path.join(work, "firefox-home"))
                p = run.start_firefox(setup, profile, url, fenv, f"{browser}-{want}.log")
                stop = lambda p=p: run.stop(p)  # noqa: E731
            try:
                r = setup.reports.wait(browser, timeout=90)
            finally:
                stop()
            if want == "present":
                ok = (r is not None and r.get("available") is True
                      and (r.get("state") or {}).get("status") == 9 and setup.stored(upload))
                run.check(f"{browser}: the installed extension, host and ferrant.js upload a file "
                          "to Status 9", ok and profile_holds_extension(browser, profile), r)
            else:
                run.check(f"{browser}: after dpkg -P the next start has no extension",
                          r is not None and r.get("available") is False
                          and not profile_holds_extension(browser, profile), r)
    finally:
        setup.close()
    print(f"installed ({want}): {run.passes} passed, {run.failures} failed")
    return 1 if run.failures else 0


if __name__ == "__main__":
    sys.exit(main())
