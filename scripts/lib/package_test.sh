#!/usr/bin/env bash
# The package part of the tests: builds dist/ with scripts/package, then
#   the deb: dpkg -i on this machine, the installed commands upload a file to the installed
#     server, the Chromium host manifest where Chromium reads system-wide ones, the extension
#     where Chromium, Chrome and Firefox ESR install it from, fresh browser profiles that find it
#     and upload through the installed ferrant.js and host (tests/browser/installed.py), lintian
#     without errors, and dpkg -r / dpkg -P leave no file of ours and no extension behind;
#   the msi under wine64: msiexec /i registers the class through the MSI's tables and carries
#     the extension, JScript uploads a file to Status 9 against the reference server, msiexec /x
#     leaves no key or file.
set -euo pipefail
ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)"
cd "$ROOT"
source scripts/lib/common.sh
source scripts/lib/wine.sh
ensure_packages lintian chromium firefox-esr python3
scripts/package >/dev/null
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' build-package/CMakeCache.txt)
deb="dist/ferrant_${version}_amd64.deb"
check "SHA256SUMS matches the packages" "(cd dist && sha256sum --quiet -c SHA256SUMS)"

# ---- the deb ----
work="$(mktemp -d /tmp/ferrant-package-XXXXXX)"
cleanup_pids=()
trap 'kill "${cleanup_pids[@]}" 2>/dev/null || true; rm -rf "$work"; dpkg -P ferrant >/dev/null 2>&1 || true' EXIT
dpkg -P ferrant >/dev/null 2>&1 || true
# Every file the package holds (directories that other packages share are not ours).
ours=$(dpkg-deb -c "$deb" | awk '$1 !~ /^d/ {print substr($6, 2)}')
check "dpkg -i installs the package" "dpkg -i '$deb' >'$work/dpkg.log' 2>&1 || { cat '$work/dpkg.log'; false; }"
check "ferrant --version and ferrant-server --version name $version" \
  "[ \"\$(/usr/bin/ferrant --version)\" = 'ferrant $version' ] &&
   [ \"\$(/usr/bin/ferrant-server --version)\" = 'ferrant-server $version' ]"
spawn_server "$work/server.log" /usr/bin/ferrant-server "$work/store"
head -c 2000000 /dev/urandom >"$work/photo.jpg"
sha=$(sha1sum "$work/photo.jpg" | cut -c1-40 | tr a-f A-F)
check "the installed ferrant uploads to the installed ferrant-server" \
  "HOME='$work/home' XDG_DATA_HOME= APPDATA= /usr/bin/ferrant upload --status-lines \
     --dispatch http://dispatch.corvel.example:$port/index.php \
     --resolve dispatch.corvel.example:$port:127.0.0.1 -- '$work/photo.jpg' >'$work/upload.log' 2>&1 &&
   cmp -s '$work/photo.jpg' '$work/store/complete/$sha' || { tail -5 '$work/upload.log'; false; }"
ext_id=$(cat build-package/extension-id)
check "the Chromium host manifest is where Chromium reads system-wide ones" \
  "python3 - /etc/chromium/native-messaging-hosts/com.corvel.ferrant.json '$ext_id' <<'PY'
import json, sys
m = json.load(open(sys.argv[1]))
assert m['name'] == 'com.corvel.ferrant' and m['path'] == '/usr/bin/ferrant', m
assert m['allowed_origins'] == ['chrome-extension://%s/' % sys.argv[2]], m
PY"
firefox_ext='/usr/share/mozilla/extensions/{ec8030f7-c20a-464f-9b0e-13a3a9e97384}/ferrant@corvel.example'
check "the packed extension and where the browsers install it from" \
  "[ \"\$(stat -c %a /usr/share/ferrant/extension/ferrant.crx)\" = 644 ] &&
   head -c 4 /usr/share/ferrant/extension/ferrant.crx | grep -q Cr24 &&
   [ -f '$firefox_ext/manifest.json' ] &&
   python3 - '$ext_id' '$version' <<'PY'
import json, sys
for folder in ('/usr/lib/chromium/extensions', '/usr/share/google-chrome/extensions'):
    m = json.load(open('%s/%s.json' % (folder, sys.argv[1])))
    assert m == {'external_crx': '/usr/share/ferrant/extension/ferrant.crx',
                 'external_version': sys.argv[2]}, m
PY"
check "no browser policy is installed" \
  "! grep -E '/policies/|policies.json' <<<\"\$ours\""
run_suite "fresh browser profiles find the installed extension and upload through it" \
  python3 tests/browser/installed.py present "$work/browsers"
check "the extension is installed and the man pages are in the package" \
  "[ -f /usr/share/ferrant/extension/chromium/manifest.json ] &&
   [ -f /usr/share/ferrant/extension/firefox/manifest.json ] &&
   grep -qx /usr/share/man/man1/ferrant.1.gz <<<\"\$ours\" &&
   grep -qx /usr/share/man/man1/ferrant-server.1.gz <<<\"\$ours\""
lintian_out=$(lintian --tag-display-limit 0 "$deb" 2>&1 | grep -v 'running with root privileges' || true)
[ -n "$lintian_out" ] && sed 's/^/     /' <<<"$lintian_out"
check "lintian finds no error" "! grep -q '^E:' <<<\"\$lintian_out\""
left() { for f in $ours; do [ -e "$f" ] && echo "$f"; done; }
check "dpkg -r leaves only the conffiles" "dpkg -r ferrant >/dev/null 2>&1 &&
  [ \"\$(left | sort)\" = \"\$(printf '%s\n' /etc/chromium/native-messaging-hosts/com.corvel.ferrant.json /etc/opt/chrome/native-messaging-hosts/com.corvel.ferrant.json | sort)\" ] || { left; false; }"
check "dpkg -P leaves no file of ours" "dpkg -P ferrant >/dev/null 2>&1 && [ -z \"\$(left)\" ] &&
  [ ! -e /usr/share/ferrant ] && [ ! -e /usr/share/doc/ferrant ] && [ ! -e '$firefox_ext' ] ||
  { left; false; }"
run_suite "the same profiles, started again, have no extension" \
  python3 tests/browser/installed.py absent "$work/browsers"

# ---- the msi ----
start_wine
trap 'stop_wine; rm -rf "$work"' EXIT
cp dist/Ferrant.msi tests/windows/upload.js "$WINEPREFIX/drive_c/ferrant/"
dir='C:\Program Files\Ferrant'
dll="$dir\\Ferrant.dll"
check "msiexec /i installs per machine" "$WINE msiexec /i 'C:\\ferrant\\Ferrant.msi' /qn >/dev/null 2>&1"
check_registered HKCR "msi" "$dll"
check "msi: type library and interface" \
  "is '$dll' 'HKCR\\TypeLib\\$libid\\1.0\\804\\win64' &&
   is '$libid' 'HKCR\\Interface\\$iid\\TypeLib'"
check "msi: the unpacked Chromium extension and the Firefox .xpi under the install folder" \
  "same=yes
   for f in manifest.json config.js background.js content.js; do
     cmp -s \"\$WINEPREFIX/drive_c/Program Files/Ferrant/extension/chromium/\$f\" build-package/browser/chromium/\$f || same=no
   done
   [ \$same = yes ] && cmp -s \"\$WINEPREFIX/drive_c/Program Files/Ferrant/extension/ferrant@corvel.example.xpi\" \
     build-package/browser/ferrant@corvel.example.xpi"
check "msi: the 32-bit DLL for 32-bit hosts, in the 32-bit view" \
  "$WINE reg query 'HKCR\\CLSID\\$clsid\\InprocServer32' /reg:32 2>/dev/null | tr -d '\r' |
   grep -qF 'C:\\Program Files (x86)\\Ferrant\\Ferrant.dll'"
for key in 'Google\Chrome' 'Microsoft\Edge' 'Mozilla'; do
  family=chromium
  [ "$key" = Mozilla ] && family=firefox
  check "msi: $key finds the native host's manifest" \
    "is '$dir\\com.corvel.ferrant.$family.json' 'HKLM\\Software\\$key\\NativeMessagingHosts\\com.corvel.ferrant' &&
     [ -f \"\$WINEPREFIX/drive_c/Program Files/Ferrant/ferrant.exe\" ]"
done
start_server "$WINEPREFIX/server-store"
head -c 1500000 /dev/urandom >"$WINEPREFIX/drive_c/ferrant/upload.bin"
run_suite "msi: JScript uploads through the installed control to Status 9" \
  with_hosts $WINE cscript //nologo 'C:\ferrant\upload.js' \
  "http://dispatch.corvel.example:$port/index.php" 'C:\ferrant\upload.bin' 1500000 upload.bin
check "msiexec /x removes every key and file of ours" \
  "$WINE msiexec /x 'C:\\ferrant\\Ferrant.msi' /qn >/dev/null 2>&1 &&
   key_absent 'HKCR\\CLSID\\$clsid' && key_absent 'HKCR\\Ferrant.UpLoadObj' &&
   key_absent 'HKCR\\Ferrant.UpLoadObj.1' && key_absent 'HKCR\\AppID\\Ferrant.DLL' &&
   key_absent 'HKCR\\AppID\\$appid' &&
   key_absent 'HKCR\\TypeLib\\$libid' &&
   key_absent 'HKCR\\Interface\\$iid' &&
   key_absent 'HKLM\\Software\\Google\\Chrome\\NativeMessagingHosts\\com.corvel.ferrant' &&
   key_absent 'HKLM\\Software\\Mozilla\\NativeMessagingHosts\\com.corvel.ferrant' &&
   [ ! -e \"\$WINEPREFIX/drive_c/Program Files/Ferrant\" ] &&
   [ ! -e \"\$WINEPREFIX/drive_c/Program Files (x86)/Ferrant\" ]"

echo "package: $fail failed"
exit $fail
