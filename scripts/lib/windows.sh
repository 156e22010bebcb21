#!/usr/bin/env bash
# The Windows part of the tests: Ferrant.dll for i686 (the product, built and inspected: these
# machines cannot run 32-bit code) and for x86_64 (registered and scripted under Wine).
set -euo pipefail
ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)"
cd "$ROOT"
source scripts/lib/common.sh
ensure_packages g++-mingw-w64-i686 g++-mingw-w64-x86-64 mingw-w64-tools libwine-dev wine64 \
  dpkg-dev xvfb

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

fail=0
check() { if eval "$2"; then echo "ok   $1"; else echo "FAIL $1"; fail=$((fail + 1)); fi; }

# The 32-bit product: PE32, the five exports undecorated, the type library embedded.
dll32=build-win32/control/com/Ferrant.dll
check "i686 DLL is PE32" "i686-w64-mingw32-objdump -f $dll32 | grep -q 'file format pei-i386'"
exports=$(i686-w64-mingw32-objdump -p $dll32 | sed -n '/\[Ordinal\/Name Pointer\] Table/,/^$/p')
for f in DllCanUnloadNow DllGetClassObject DllInstall DllRegisterServer DllUnregisterServer; do
  check "i686 export $f" "grep -qw '$f' <<<\"\$exports\""
done
check "i686 DLL embeds its type library" \
  "strings -a -el $dll32 | grep -qx TYPELIB && grep -aq MSFT $dll32"
check "i686 DLL imports only system DLLs" \
  "! i686-w64-mingw32-objdump -p $dll32 | grep 'DLL Name' | grep -qiE 'libstdc|libgcc|pthread'"

# Under Wine: registration and scripting of the x86_64 build.
WINE=/usr/lib/wine/wine64
export WINEPREFIX="$(mktemp -d /tmp/ferrant-wine-XXXXXX)" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
trap '/usr/lib/wine/wineserver -k >/dev/null 2>&1 || true; rm -rf "$WINEPREFIX"' EXIT
$WINE wineboot -i >/dev/null 2>&1
mkdir -p "$WINEPREFIX/drive_c/ferrant"
cp build-win64/control/com/Ferrant.dll tests/windows/scripting.js "$WINEPREFIX/drive_c/ferrant/"
key='HKCR\CLSID\{CC98CADB-E94C-4240-9723-3E0707271E17}'
check "regsvr32 registers" "$WINE regsvr32 /s 'C:\\ferrant\\Ferrant.dll' >/dev/null 2>&1"
check "MiscStatus\\1 is 131473" \
  "$WINE reg query '$key\\MiscStatus\\1' 2>/dev/null | tr -d '\r' | grep -q '131473'"
check "InprocServer32 is apartment-threaded" \
  "$WINE reg query '$key\\InprocServer32' /v ThreadingModel 2>/dev/null | grep -q Apartment"
check "ProgID names the class" \
  "$WINE reg query 'HKCR\\Ferrant.UpLoadObj\\CurVer' 2>/dev/null | grep -q 'Ferrant.UpLoadObj.1'"
out=$($WINE cscript //nologo 'C:\ferrant\scripting.js' 2>&1 | tr -d '\r') || true
echo "$out" | sed 's/^/     /'
# (the control's console lines, such as "DeleteTask Failed", share standard output)
check "scripting from JScript" "grep -qE '(^|[^0-9])[1-9][0-9]* passed, 0 failed' <<<\"\$out\""
check "regsvr32 /u removes the class" "$WINE regsvr32 /s /u 'C:\\ferrant\\Ferrant.dll' >/dev/null 2>&1 && ! $WINE reg query '$key' >/dev/null 2>&1"
check "AppID stays after unregistration" \
  "$WINE reg query 'HKCR\\AppID\\{FDB55F31-BC77-467D-AE46-23257A7832F1}' >/dev/null 2>&1"
check "DllInstall user registers per user" \
  "$WINE regsvr32 /s /n /i:user 'C:\\ferrant\\Ferrant.dll' >/dev/null 2>&1 && $WINE reg query 'HKCU\\Software\\Classes\\CLSID\\{CC98CADB-E94C-4240-9723-3E0707271E17}\\MiscStatus\\1' >/dev/null 2>&1"

echo "windows: $fail failed"
exit $fail
