#!/usr/bin/env bash
# The browser part of the tests: the extension and the native host in real headless Chromium
# and Firefox ESR on loopback (tests/browser/run.py), after the Linux build; the page library's
# parseStatus under node and its types under tsc (TypeScript from npm, pinned in browser/). Extra arguments
# (chromium, firefox, --screenshot PNG, --keep) go to the driver.
set -euo pipefail
ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)"
cd "$ROOT"
source scripts/lib/common.sh
ensure_packages "${LINUX_PACKAGES[@]}" chromium firefox-esr python3 fonts-dejavu-core
ensure_npm_packages browser
configure_build build -DCMAKE_BUILD_TYPE=RelWithDebInfo -DFERRANT_WERROR=ON
[ -x /usr/lib/chromium/chromium ] || { echo "browser: /usr/lib/chromium/chromium is missing"; exit 1; }
command -v firefox-esr >/dev/null || { echo "browser: firefox-esr is missing"; exit 1; }
exec python3 tests/browser/run.py build "$@"
