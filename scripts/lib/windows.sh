#!/usr/bin/env bash
# The Windows part of the tests: Ferrant.dll for i686 (the product, built and inspected: these
# machines cannot run 32-bit code) and for x86_64 (registered, scripted and hosted under Wine).
# Every run gets a fresh Wine prefix, removed at the end with its wineserver.
set -euo pipefail
ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)"
cd "$ROOT"
source scripts/lib/common.sh
source scripts/lib/wine.sh
ensure_packages "${LINUX_PACKAGES[@]}" "${WINDOWS_PACKAGES[@]}"
build_windows

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
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' build-win32/CMakeCache.txt)
check "i686 DLL embeds its 32-bit type library, version and manifest" \
  "python3 - $dll32 build-win32/control/com/Ferrant.tlb $version <<'PY'
import sys
dll, tlb = (open(p, 'rb').read() for p in sys.argv[1:3])
assert tlb[:4] == b'MSFT' and tlb[0x14] & 0xF == 1, 'not a 32-bit type library'
assert 'IUpLoadObj 接口'.encode('gbk') in tlb and 'Ferrant 1.0 类型库'.encode('gbk') in tlb
assert '方法GetTaskInfo'.encode('gbk') in tlb
assert tlb in dll, 'type library not embedded'
for text in ('Ferrant.dll', sys.argv[3], 'Ferrant'):
    assert text.encode('utf-16-le') in dll, text
assert b'asInvoker' in dll
PY"

# Under Wine: registration, scripting and hosting of the x86_64 build.
start_wine
cp build-win64/control/com/Ferrant.dll build-win64/control/com/ferrant_com_client.exe \
  tests/windows/scripting.js "$WINEPREFIX/drive_c/ferrant/"
dll='C:\ferrant\Ferrant.dll'

check "regsvr32 registers" "$WINE regsvr32 /s '$dll' >/dev/null 2>&1"
check_registered HKCR machine "$dll"
check "type library registered" \
  "key_exists 'HKCR\\TypeLib\\$libid\\1.0'"

run_suite "scripting from JScript" $WINE cscript //nologo 'C:\ferrant\scripting.js'
run_suite "COM client: dispatch, vtable, interfaces, safety, aggregation, persistence, page" \
  $WINE 'C:\ferrant\ferrant_com_client.exe'
run_suite "COM client: window, drawing, AtlAxWin hosting, file dialog (Xvfb)" \
  $WINE 'C:\ferrant\ferrant_com_client.exe' --windows
if [ -f "$WINEPREFIX/drive_c/ferrant/hosted.bmp" ]; then
  cp "$WINEPREFIX/drive_c/ferrant/hosted.bmp" build-win64/hosted.bmp
  echo "     screenshot of the hosted control: build-win64/hosted.bmp"
fi

# The whole upload road: the reference server on loopback, the dispatch name mapped to it for
# Wine (with_hosts).
{
  store="$WINEPREFIX/server-store"
  start_server "$store"
  head -c 3000000 /dev/urandom >"$WINEPREFIX/drive_c/ferrant/upload.bin"
  cp tests/windows/upload.js "$WINEPREFIX/drive_c/ferrant/"
  run_suite "the upload road under Wine against the reference server" \
    with_hosts $WINE cscript //nologo 'C:\ferrant\upload.js' "http://dispatch.corvel.example:$port/index.php" \
    'C:\ferrant\upload.bin' 3000000 upload.bin
  sha=$(sha1sum "$WINEPREFIX/drive_c/ferrant/upload.bin" | cut -c1-40 | tr a-f A-F)
  check "the server holds the very bytes" \
    "cmp -s '$WINEPREFIX/drive_c/ferrant/upload.bin' '$store/complete/$sha'"

  # The same road through the user's proxy setting (the browser's connection settings in the
  # registry, read through WinHTTP): an HTTP CONNECT proxy of our own on loopback.
  spawn_reading "$WINEPREFIX/proxy.out" python3 tests/windows/connect_proxy.py \
    "$WINEPREFIX/proxy.log" dispatch.corvel.example=127.0.0.1
  proxy_pid=$spawned_pid
  [[ "$first_line" =~ ^[0-9]+$ ]] || { echo "the proxy did not start: $first_line"; exit 1; }
  proxy="127.0.0.1:$first_line"
  # Version 0x46, a counter, flags 3 (direct and proxy), the proxy text, empty bypass and script.
  blob="460000000000000003000000$(printf '%08x' ${#proxy} |
    sed 's/\(..\)\(..\)\(..\)\(..\)/\4\3\2\1/')$(printf '%s' "$proxy" | od -An -tx1 | tr -d ' \n')0000000000000000"
  $WINE reg add 'HKCU\Software\Microsoft\Windows\CurrentVersion\Internet Settings\Connections' \
    /v DefaultConnectionSettings /t REG_BINARY /d "$blob" /f >/dev/null 2>&1
  head -c 1000000 /dev/urandom >"$WINEPREFIX/drive_c/ferrant/proxied.bin"
  run_suite "the upload road through the user's HTTP proxy" \
    with_hosts $WINE cscript //nologo 'C:\ferrant\upload.js' "http://dispatch.corvel.example:$port/index.php" \
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
ext_id=$(cat build-win64/extension-id)
run_suite "native host: frames in binary mode, origin handshake, caller check" \
  python3 tests/windows/native_host.py $WINE 'C:\ferrant\ferrant.exe' "$ext_id"

# The upload road over HTTPS: the reference server serves TLS with a certificate of a private
# root. The DLL trusts it once it is in the user's Root store (as an administrator would put
# it there); ferrant.exe trusts the roots FERRANT_CA_FILE names, and only them. A root that did
# not issue the certificate, and a name the certificate does not hold, are refused at the
# dispatch request (error 401). Wine matches no address in a certificate: names only.
{
  pki="$WINEPREFIX/pki" other="$WINEPREFIX/other-pki" c='C:\ferrant'
  tests/support/test-pki root "$pki"
  tests/support/test-pki leaf "$pki" server --dns dispatch.corvel.example,upload.corvel.example
  tests/support/test-pki root "$other" Other
  cp "$pki/root.pem" "$WINEPREFIX/drive_c/ferrant/root.pem"
  cp "$other/root.pem" "$WINEPREFIX/drive_c/ferrant/other.pem"
  cp build-win64/control/com/ferrant_tls_client.exe build-win64/control/com/ferrant_schannel_engine.exe \
    "$WINEPREFIX/drive_c/ferrant/"
  store="$WINEPREFIX/tls-store"
  mkdir -p "$store"
  spawn_reading "$WINEPREFIX/tls-server.log" build/server/ferrant-server --store "$store" --port 0 \
    --tls-cert "$pki/server-chain.pem" --tls-key "$pki/server.key" --upload-host upload.corvel.example
  tls_pid=$spawned_pid
  port=$(sed -n 's/.*listening on 127\.0\.0\.1:\([0-9]*\).*/\1/p' <<<"$first_line")
  echo "127.0.0.1 upload.corvel.example wrong.corvel.example" >>"$WINEPREFIX/hosts"
  head -c 2000000 /dev/urandom >"$WINEPREFIX/drive_c/ferrant/secure.bin"
  head -c 1000000 /dev/urandom >"$WINEPREFIX/drive_c/ferrant/host.bin"
  url="https://dispatch.corvel.example:$port/index.php"

  run_suite "TLS engine, scripted: TLS 1.3, a ticket after the handshake, close_notify, every split" \
    $WINE "$c\ferrant_schannel_engine.exe"
  run_suite "TLS engine: the server's records in pieces of every size; wrong name and root refused" \
    $WINE "$c\ferrant_tls_client.exe" engine dispatch.corvel.example "$port" "$c\root.pem" "$c\other.pem"
  run_suite "https: the DLL refuses a root the system does not trust" \
    with_hosts $WINE cscript //nologo "$c\upload.js" "$url" "$c\secure.bin" 2000000 secure.bin 401
  run_suite "https: the private root goes into the user's Root store" \
    $WINE "$c\ferrant_tls_client.exe" trust "$c\root.pem"
  run_suite "https: the DLL uploads through JScript over verified TLS" \
    with_hosts $WINE cscript //nologo "$c\upload.js" "$url" "$c\secure.bin" 2000000 secure.bin
  sha=$(sha1sum "$WINEPREFIX/drive_c/ferrant/secure.bin" | cut -c1-40 | tr a-f A-F)
  check "https: the server holds the very bytes" \
    "cmp -s '$WINEPREFIX/drive_c/ferrant/secure.bin' '$store/complete/$sha'"
  run_suite "https: the DLL refuses a name the certificate does not hold" \
    with_hosts $WINE cscript //nologo "$c\upload.js" "https://wrong.corvel.example:$port/index.php" \
    "$c\host.bin" 1000000 host.bin 401
  export FERRANT_CA_FILE="$c\root.pem"
  run_suite "https: ferrant.exe uploads trusting the roots of FERRANT_CA_FILE" \
    with_hosts python3 tests/windows/native_upload.py $WINE "$c\ferrant.exe" "$ext_id" "$url" \
    "$c\host.bin" 1000000 host.bin
  sha=$(sha1sum "$WINEPREFIX/drive_c/ferrant/host.bin" | cut -c1-40 | tr a-f A-F)
  check "https: the server holds the bytes ferrant.exe sent" \
    "cmp -s '$WINEPREFIX/drive_c/ferrant/host.bin' '$store/complete/$sha'"
  export FERRANT_CA_FILE="$c\other.pem"
  run_suite "https: ferrant.exe trusts only FERRANT_CA_FILE's roots, not the store's" \
    with_hosts python3 tests/windows/native_upload.py $WINE "$c\ferrant.exe" "$ext_id" "$url" \
    "$c\secure.bin" 2000000 secure.bin 401
  unset FERRANT_CA_FILE
  kill "$tls_pid" 2>/dev/null || true
}
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
  "key_exists 'HKCR\\AppID\\$appid'"

# DllInstall: "user" in any case registers for the current user only; anything else machine-wide.
check "DllInstall USER registers per user" "$WINE regsvr32 /s /n /i:USER '$dll' >/dev/null 2>&1"
check_registered 'HKCU\Software\Classes' "per user" "$dll"
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
