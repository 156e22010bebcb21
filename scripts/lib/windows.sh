#!/usr/bin/env bash
# The Windows part of the tests: Ferrant.dll for i686 (the product, built and inspected: these
# machines cannot run 32-bit code) and for x86_64 (registered, scripted and hosted under Wine).
# Every run gets a fresh Wine prefix, removed at the end with its wineserver.
set -euo pipefail
ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)"
cd "$ROOT"
source scripts/lib/common.sh
ensure_packages "${LINUX_PACKAGES[@]}" g++-mingw-w64-i686 g++-mingw-w64-x86-64 mingw-w64-tools \
  libwine-dev wine64 \
  dpkg-dev xvfb python3

for arch in i686 x86_64; do
  dir=build-win32
  [ $arch = x86_64 ] && dir=build-win64
  log=$(configure_build $dir -DCMAKE_TOOLCHAIN_FILE="$ROOT/cmake/mingw-w64-$arch.cmake" \
    -DCMAKE_BUILD_TYPE=Release -DFERRANT_WERROR=ON 2>&1) || { echo "$log"; exit 1; }
  if grep -qE 'warning:' <<<"$log"; then
    echo "$log" | grep -E -B2 'warning:'
    echo "the $arch build has warnings"
    exit 1
  fi
done

# The upload road under Wine needs the reference server of the Linux tree (configured as the
# unit part configures it, so the two parts share one build).
cmake -S "$ROOT" -B "$ROOT/build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DFERRANT_WERROR=ON >/dev/null
cmake --build "$ROOT/build" -j2 --target ferrant-server >/dev/null

# spawn_reading LOG CMD...: runs CMD in the background (its pid in $spawned_pid), waits until it
# has written its first line (in $first_line: a port, once it listens) and drains the rest of
# its output into LOG. Blocking on the line replaces polling a log file for it.
spawn_reading() {
  local log="$1" fifo fd
  shift
  fifo="$(mktemp -u "${TMPDIR:-/tmp}/ferrant-out-XXXXXX")"
  mkfifo "$fifo"
  "$@" >"$fifo" 2>&1 &
  spawned_pid=$!
  exec {fd}<"$fifo"
  rm -f "$fifo"
  IFS= read -r first_line <&"$fd" || first_line=""
  { printf '%s\n' "$first_line"; cat; } <&"$fd" >"$log" &
  exec {fd}<&-
}

fail=0
check() { if eval "$2"; then echo "ok   $1"; else echo "FAIL $1"; fail=$((fail + 1)); fi; }

# The 32-bit product: PE32, the five exports undecorated, only system DLLs imported, the 32-bit
# type library (SYSKIND 1 in its MSFT header) embedded with its help texts in code page 936, and
# the version resource and manifest.
dll32=build-win32/control/com/Ferrant.dll
check "i686 DLL is PE32" "i686-w64-mingw32-objdump -f $dll32 | grep -q 'file format pei-i386'"
exports=$(i686-w64-mingw32-objdump -p $dll32 | sed -n '/\[Ordinal\/Name Pointer\] Table/,/^$/p')
for f in DllCanUnloadNow DllGetClassObject DllInstall DllRegisterServer DllUnregisterServer; do
  check "i686 export $f" "grep -qE '\] $f\$' <<<\"\$exports\""
done
check "i686 DLL imports only system DLLs" \
  "! i686-w64-mingw32-objdump -p $dll32 | grep 'DLL Name' | grep -qiE 'libstdc|libgcc|pthread'"
check "i686 DLL embeds its 32-bit type library, version and manifest" \
  "python3 - $dll32 build-win32/control/com/Ferrant.tlb <<'PY'
import sys
dll, tlb = (open(p, 'rb').read() for p in sys.argv[1:3])
assert tlb[:4] == b'MSFT' and tlb[0x14] & 0xF == 1, 'not a 32-bit type library'
assert 'IUpLoadObj 接口'.encode('gbk') in tlb and 'Ferrant 1.0 类型库'.encode('gbk') in tlb
assert '方法GetTaskInfo'.encode('gbk') in tlb
assert tlb in dll, 'type library not embedded'
for text in ('Ferrant.dll', '1.5.6.6', 'Ferrant'):
    assert text.encode('utf-16-le') in dll, text
assert b'asInvoker' in dll
PY"

# Under Wine: registration, scripting and hosting of the x86_64 build. One Xvfb display of our
# own serves the whole prefix (Wine's desktop process is started with the first program).
WINE=/usr/lib/wine/wine64
export WINEPREFIX="$(mktemp -d /tmp/ferrant-wine-XXXXXX)" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
# Xvfb picks a free display itself and writes its number to the pipe once it accepts
# connections, so nothing starts before the display is ready, however slow a first start is.
displayfd="$WINEPREFIX.display"
mkfifo "$displayfd"
Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp 3>"$displayfd" >/dev/null 2>&1 &
xvfb_pid=$!
trap '/usr/lib/wine/wineserver -k >/dev/null 2>&1 || true; kill $xvfb_pid 2>/dev/null || true
  rm -rf "$WINEPREFIX" "$displayfd"' EXIT
read -r display <"$displayfd" || { echo "Xvfb did not start"; exit 1; }
export DISPLAY=":$display"
# A new prefix goes on setting itself up after wineboot returns (its services, its desktop).
# Waiting for that wineserver to end lets the first boot finish and its registry reach the disk
# before any check reads it. Then one persistent wineserver serves the whole run: otherwise,
# whenever no Wine program runs for two seconds (a slow start between two checks on a loaded
# machine), the server begins shutting the prefix's services and desktop down, and the next
# program (a `reg query` of a check) can meet them half gone and read nothing.
$WINE wineboot -i >/dev/null 2>&1
/usr/lib/wine/wineserver -w
/usr/lib/wine/wineserver -p
mkdir -p "$WINEPREFIX/drive_c/ferrant"
cp build-win64/control/com/Ferrant.dll build-win64/control/com/ferrant_com_client.exe \
  tests/windows/scripting.js "$WINEPREFIX/drive_c/ferrant/"
dll='C:\ferrant\Ferrant.dll'
clsid='{CC98CADB-E94C-4240-9723-3E0707271E17}'

# reg_value KEY [VALUE]: sets $reg_got to the data of a value (the default value without
# VALUE), or nothing, and $reg_said to what reg printed and its exit status.
reg_value() {
  local args=("$1") out rc=0
  if [ $# -gt 1 ]; then args+=(/v "$2"); else args+=(/ve); fi
  out=$($WINE reg query "${args[@]}" 2>&1) || rc=$?
  out=$(tr -d '\r' <<<"$out")
  reg_said="reg exit $rc: $(grep -v '^$' <<<"$out" | tr '\n' '|')"
  reg_got=$(sed -n 's/^ *[^ ].*REG_[A-Z_]*[ ]*\(.*\)$/\1/p' <<<"$out" | head -n 1)
}
# is EXPECTED KEY [VALUE]: the value equals EXPECTED; a mismatch prints what was read.
is() {
  reg_value "${@:2}"
  [ "$reg_got" = "$1" ] && return 0
  echo "     read '$reg_got' from ${*:2}; expected '$1' ($reg_said)"
  return 1
}
# key_exists KEY / key_absent KEY: each prints what it found when it fails.
key_exists() {
  $WINE reg query "$1" >/dev/null 2>&1 && return 0
  echo "     no key $1; expected one"
  return 1
}
key_absent() {
  $WINE reg query "$1" >/dev/null 2>&1 || return 0
  echo "     key $1 is still there"
  return 1
}

# The registry entries of both scripts under ROOT (HKCR or HKCU\Software\Classes).
check_registered() {
  local root="$1" where="$2" c="$1\\CLSID\\$clsid"
  check "$where: class name" "is 'UpLoadObj Class' '$c'"
  check "$where: ProgIDs" "is 'Ferrant.UpLoadObj.1' '$c\\ProgID' &&
    is 'Ferrant.UpLoadObj' '$c\\VersionIndependentProgID' &&
    is '$clsid' '$root\\Ferrant.UpLoadObj.1\\CLSID' && is '$clsid' '$root\\Ferrant.UpLoadObj\\CLSID' &&
    is 'Ferrant.UpLoadObj.1' '$root\\Ferrant.UpLoadObj\\CurVer' &&
    is 'UpLoadObj Class' '$root\\Ferrant.UpLoadObj'"
  check "$where: in-process server, apartment-threaded" \
    "is '$dll' '$c\\InprocServer32' && is Apartment '$c\\InprocServer32' ThreadingModel"
  check "$where: MiscStatus 0 and MiscStatus\\1 131473" \
    "is 0 '$c\\MiscStatus' && is 131473 '$c\\MiscStatus\\1'"
  check "$where: toolbox bitmap, type library, version, AppID" \
    "is '$dll, 102' '$c\\ToolboxBitmap32' && is '{BDA91015-BF2E-4954-8C83-447A32F3F2F3}' '$c\\TypeLib' &&
    is 1.0 '$c\\Version' && is '{FDB55F31-BC77-467D-AE46-23257A7832F1}' '$c' AppID &&
    key_exists '$c\\Programmable' && key_exists '$c\\Control'"
  check "$where: module AppID" "is Ferrant '$root\\AppID\\{FDB55F31-BC77-467D-AE46-23257A7832F1}' &&
    is '{FDB55F31-BC77-467D-AE46-23257A7832F1}' '$root\\AppID\\Ferrant.DLL' AppID"
}

check "regsvr32 registers" "$WINE regsvr32 /s '$dll' >/dev/null 2>&1"
check_registered HKCR machine
check "type library registered" \
  "key_exists 'HKCR\\TypeLib\\{BDA91015-BF2E-4954-8C83-447A32F3F2F3}\\1.0'"

# The programs print "N passed, N failed" and exit with the failure count. The control's own
# console lines (such as "DeleteTask Failed") share their standard output.
run_suite() {
  local name="$1" rc=0 out
  shift
  out=$("$@" 2>&1 | tr -d '\r'; exit "${PIPESTATUS[0]}") || rc=$?
  grep -oE 'FAIL .*|exception: .*|[0-9]+ passed, [0-9]+ failed' <<<"$out" | sed 's/^/     /'
  check "$name" "[ $rc -eq 0 ] && grep -qE '[0-9]+ passed, 0 failed' <<<\"\$out\""
}
run_suite "scripting from JScript" $WINE cscript //nologo 'C:\ferrant\scripting.js'
run_suite "COM client: dispatch, vtable, interfaces, safety, aggregation, persistence, page" \
  $WINE 'C:\ferrant\ferrant_com_client.exe'
run_suite "COM client: window, drawing, AtlAxWin hosting, file dialog (Xvfb)" \
  $WINE 'C:\ferrant\ferrant_com_client.exe' --windows
if [ -f "$WINEPREFIX/drive_c/ferrant/hosted.bmp" ]; then
  cp "$WINEPREFIX/drive_c/ferrant/hosted.bmp" build-win64/hosted.bmp
  echo "     screenshot of the hosted control: build-win64/hosted.bmp"
fi

# The whole upload road: the reference server on loopback, the dispatch name mapped to it by a
# hosts file bind-mounted in a mount namespace of Wine's own (the machine's file is untouched).
server=build/server/ferrant-server
{
  store="$WINEPREFIX/server-store"
  mkdir -p "$store"
  spawn_reading "$WINEPREFIX/server.log" "$server" --store "$store" --port 0
  server_pid=$spawned_pid
  trap '/usr/lib/wine/wineserver -k >/dev/null 2>&1 || true; kill $xvfb_pid $server_pid 2>/dev/null || true
    rm -rf "$WINEPREFIX" "$displayfd"' EXIT
  port=$(sed -n 's/.*listening on 127\.0\.0\.1:\([0-9]*\).*/\1/p' <<<"$first_line")
  [ -n "$port" ] || { echo "the reference server did not start: $first_line"; exit 1; }
  head -c 3000000 /dev/urandom >"$WINEPREFIX/drive_c/ferrant/upload.bin"
  cp tests/windows/upload.js "$WINEPREFIX/drive_c/ferrant/"
  { cat /etc/hosts; echo "127.0.0.1 dispatch.corvel.example"; } >"$WINEPREFIX/hosts"
  run_suite "the upload road under Wine against the reference server" \
    unshare -m sh -c 'mount --bind "$1" /etc/hosts && shift && exec "$@"' sh "$WINEPREFIX/hosts" \
    $WINE cscript //nologo 'C:\ferrant\upload.js' "http://dispatch.corvel.example:$port/index.php" \
    'C:\ferrant\upload.bin' 3000000 upload.bin
  sha=$(sha1sum "$WINEPREFIX/drive_c/ferrant/upload.bin" | cut -c1-40 | tr a-f A-F)
  check "the server holds the very bytes" \
    "cmp -s '$WINEPREFIX/drive_c/ferrant/upload.bin' '$store/complete/$sha'"

  # The same road through the user's proxy setting (the browser's connection settings in the
  # registry, read through WinHTTP): an HTTP CONNECT proxy of our own on loopback.
  spawn_reading "$WINEPREFIX/proxy.out" python3 tests/windows/connect_proxy.py \
    "$WINEPREFIX/proxy.log" dispatch.corvel.example=127.0.0.1
  proxy_pid=$spawned_pid
  trap '/usr/lib/wine/wineserver -k >/dev/null 2>&1 || true
    kill $xvfb_pid $server_pid $proxy_pid 2>/dev/null || true; rm -rf "$WINEPREFIX" "$displayfd"' EXIT
  [[ "$first_line" =~ ^[0-9]+$ ]] || { echo "the proxy did not start: $first_line"; exit 1; }
  proxy="127.0.0.1:$first_line"
  # Version 0x46, a counter, flags 3 (direct and proxy), the proxy text, empty bypass and script.
  blob="460000000000000003000000$(printf '%08x' ${#proxy} |
    sed 's/\(..\)\(..\)\(..\)\(..\)/\4\3\2\1/')$(printf '%s' "$proxy" | od -An -tx1 | tr -d ' \n')0000000000000000"
  $WINE reg add 'HKCU\Software\Microsoft\Windows\CurrentVersion\Internet Settings\Connections' \
    /v DefaultConnectionSettings /t REG_BINARY /d "$blob" /f >/dev/null 2>&1
  head -c 1000000 /dev/urandom >"$WINEPREFIX/drive_c/ferrant/proxied.bin"
  run_suite "the upload road through the user's HTTP proxy" \
    unshare -m sh -c 'mount --bind "$1" /etc/hosts && shift && exec "$@"' sh "$WINEPREFIX/hosts" \
    $WINE cscript //nologo 'C:\ferrant\upload.js' "http://dispatch.corvel.example:$port/index.php" \
    'C:\ferrant\proxied.bin' 1000000 proxied.bin
  check "the requests went through the proxy" \
    "grep -q 'CONNECT dispatch.corvel.example:$port' '$WINEPREFIX/proxy.log'"
  sha=$(sha1sum "$WINEPREFIX/drive_c/ferrant/proxied.bin" | cut -c1-40 | tr a-f A-F)
  check "the server holds the proxied bytes" \
    "cmp -s '$WINEPREFIX/drive_c/ferrant/proxied.bin' '$store/complete/$sha'"
  $WINE reg delete 'HKCU\Software\Microsoft\Windows\CurrentVersion\Internet Settings\Connections' \
    /v DefaultConnectionSettings /f >/dev/null 2>&1 || true
  kill $server_pid $proxy_pid 2>/dev/null || true
}

# ferrant.exe, the browsers' native host: its frames through Wine's pipes, and the registry keys
# through which Chrome, Edge and Firefox find its manifests.
cp build-win64/host/ferrant.exe "$WINEPREFIX/drive_c/ferrant/"
ext_id=$(sed -n 's/^set(FERRANT_EXTENSION_ID "\([a-p]*\)")/\1/p' browser/ExtensionIds.cmake)
run_suite "native host: frames in binary mode, origin handshake, caller check" \
  python3 tests/windows/native_host.py $WINE 'C:\ferrant\ferrant.exe' "$ext_id"
manifests='C:\users\'"$(id -un)"'\AppData\Local\Corvel\Ferrant\NativeMessagingHosts'
manifest_dir="$WINEPREFIX/drive_c/users/$(id -un)/AppData/Local/Corvel/Ferrant/NativeMessagingHosts"
path_is() { python3 -c 'import json, sys; assert json.load(open(sys.argv[1]))["path"] == sys.argv[2]' "$@"; }
check "install-browser-host writes the browsers' keys and manifests" \
  "$WINE 'C:\ferrant\ferrant.exe' install-browser-host --browser all >/dev/null 2>&1 &&
  is '$manifests\com.corvel.ferrant.chromium.json' 'HKCU\Software\Google\Chrome\NativeMessagingHosts\com.corvel.ferrant' &&
  is '$manifests\com.corvel.ferrant.chromium.json' 'HKCU\Software\Microsoft\Edge\NativeMessagingHosts\com.corvel.ferrant' &&
  is '$manifests\com.corvel.ferrant.firefox.json' 'HKCU\Software\Mozilla\NativeMessagingHosts\com.corvel.ferrant' &&
  path_is '$manifest_dir/com.corvel.ferrant.firefox.json' 'C:\ferrant\ferrant.exe'"
check "install-browser-host --uninstall removes them" \
  "$WINE 'C:\ferrant\ferrant.exe' install-browser-host --uninstall >/dev/null 2>&1 &&
  ! key_exists 'HKCU\Software\Google\Chrome\NativeMessagingHosts\com.corvel.ferrant' &&
  ! key_exists 'HKCU\Software\Mozilla\NativeMessagingHosts\com.corvel.ferrant' &&
  [ ! -e '$manifest_dir/com.corvel.ferrant.firefox.json' ]"

check "regsvr32 /u removes the class and the ProgIDs" "$WINE regsvr32 /s /u '$dll' >/dev/null 2>&1 &&
  key_absent 'HKCR\\CLSID\\$clsid' && key_absent 'HKCR\\Ferrant.UpLoadObj' &&
  key_absent 'HKCR\\Ferrant.UpLoadObj.1' && key_absent 'HKCR\\AppID\\Ferrant.DLL'"
check "the AppID key stays after unregistration" \
  "key_exists 'HKCR\\AppID\\{FDB55F31-BC77-467D-AE46-23257A7832F1}'"

# DllInstall: "user" in any case registers for the current user only; anything else machine-wide.
check "DllInstall USER registers per user" "$WINE regsvr32 /s /n /i:USER '$dll' >/dev/null 2>&1"
check_registered 'HKCU\Software\Classes' "per user"
check "DllInstall user leaves the machine's classes alone" \
  "key_absent 'HKLM\\Software\\Classes\\CLSID\\$clsid'"
check "DllInstall user uninstall" "$WINE regsvr32 /s /u /n /i:user '$dll' >/dev/null 2>&1 &&
  key_absent 'HKCU\\Software\\Classes\\CLSID\\$clsid'"
check "DllInstall users registers machine-wide" \
  "$WINE regsvr32 /s /n /i:users '$dll' >/dev/null 2>&1 &&
  key_exists 'HKLM\\Software\\Classes\\CLSID\\$clsid\\MiscStatus\\1' &&
  key_absent 'HKCU\\Software\\Classes\\CLSID\\$clsid'"

echo "windows: $fail failed"
exit $fail
