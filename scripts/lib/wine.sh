# Shared by the Windows checks (scripts/lib/windows.sh) and the MSI checks
# (scripts/lib/package_test.sh); sourced after common.sh, from the tree's root.
#   build_windows            Ferrant.dll (i686 and x86_64) and ferrant.exe, warnings refused
#   start_wine               a fresh prefix on a display of its own; everything started later and
#                            named in cleanup_pids is stopped, and the prefix removed, at exit
#   check NAME TEST          prints ok/FAIL NAME and counts failures in $fail
#   run_suite NAME CMD...    a test program printing "N passed, N failed"
#   spawn_reading LOG CMD... a background command, its first output line in $first_line
#   spawn_server LOG BIN STORE   a reference server binary on a free port ($port, $server_pid)
#   start_server STORE       the reference server of the Linux tree on a free port ($port)
#   with_hosts CMD...        CMD with dispatch.corvel.example mapped to loopback for Wine
#   is / key_exists / key_absent   registry checks that say what they read when they fail
WINDOWS_PACKAGES=(g++-mingw-w64-i686 g++-mingw-w64-x86-64 mingw-w64-tools libwine-dev wine64
  dpkg-dev xvfb python3)
WINE=/usr/lib/wine/wine64
fail=0
cleanup_pids=()
# The control's class, type library, interface and module AppID.
clsid='{CC98CADB-E94C-4240-9723-3E0707271E17}'
libid='{BDA91015-BF2E-4954-8C83-447A32F3F2F3}'
iid='{5D1BA784-4FD5-4D19-8770-444A7EDDDAD6}'
appid='{FDB55F31-BC77-467D-AE46-23257A7832F1}'

check() { if eval "$2"; then echo "ok   $1"; else echo "FAIL $1"; fail=$((fail + 1)); fi; }

build_windows() {
  local arch dir log
  for arch in i686 x86_64; do
    dir=build-win32
    [ $arch = x86_64 ] && dir=build-win64
    log=$(configure_build $dir -DCMAKE_TOOLCHAIN_FILE="$ROOT/cmake/mingw-w64-$arch.cmake" \
      -DCMAKE_BUILD_TYPE=Release -DFERRANT_WERROR=ON \
      -DFERRANT_EXTENSION_KEY="${FERRANT_EXTENSION_KEY:-$ROOT/packaging/extension-dev-key.pem}" 2>&1) ||
      { echo "$log"; return 1; }
    if grep -qE 'warning:' <<<"$log"; then
      echo "$log" | grep -E -B2 'warning:'
      echo "the $arch build has warnings"
      return 1
    fi
  done
}

# spawn_reading LOG CMD...: runs CMD in the background (its pid in $spawned_pid, and in
# cleanup_pids), waits until it has written its first line (in $first_line: a port, once it
# listens) and drains the rest of its output into LOG. Blocking on the line replaces polling a
# log file for it.
spawn_reading() {
  local log="$1" fifo fd
  shift
  fifo="$(mktemp -u "${TMPDIR:-/tmp}/ferrant-out-XXXXXX")"
  mkfifo "$fifo"
  "$@" >"$fifo" 2>&1 &
  spawned_pid=$!
  cleanup_pids+=("$spawned_pid")
  exec {fd}<"$fifo"
  rm -f "$fifo"
  IFS= read -r first_line <&"$fd" || first_line=""
  { printf '%s\n' "$first_line"; cat; } <&"$fd" >"$log" &
  exec {fd}<&-
}

stop_wine() {
  /usr/lib/wine/wineserver -k >/dev/null 2>&1 || true
  [ ${#cleanup_pids[@]} -gt 0 ] && kill "${cleanup_pids[@]}" 2>/dev/null
  rm -rf "$WINEPREFIX" "$WINEPREFIX.display"
}

start_wine() {
  export WINEPREFIX="$(mktemp -d /tmp/ferrant-wine-XXXXXX)" WINEDEBUG=-all
  export WINEDLLOVERRIDES="mscoree,mshtml="
  # Xvfb picks a free display itself and writes its number to the pipe once it accepts
  # connections, so nothing starts before the display is ready, however slow a first start is.
  local displayfd="$WINEPREFIX.display" display
  mkfifo "$displayfd"
  Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp 3>"$displayfd" >/dev/null 2>&1 &
  cleanup_pids+=($!)
  trap stop_wine EXIT
  read -r display <"$displayfd" || { echo "Xvfb did not start"; return 1; }
  export DISPLAY=":$display"
  # A new prefix goes on setting itself up after wineboot returns (its services, its desktop).
  # Waiting for that wineserver to end lets the first boot finish and its registry reach the
  # disk before any check reads it. Then one persistent wineserver serves the whole run:
  # otherwise, whenever no Wine program runs for two seconds (a slow start between two checks
  # on a loaded machine), the server begins shutting the prefix's services and desktop down, and
  # the next program (a `reg query` of a check) can meet them half gone and read nothing.
  $WINE wineboot -i >/dev/null 2>&1
  /usr/lib/wine/wineserver -w
  /usr/lib/wine/wineserver -p
  mkdir -p "$WINEPREFIX/drive_c/ferrant"
}

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

# The programs print "N passed, N failed" and exit with the failure count. The control's own
# console lines (such as "DeleteTask Failed") share their standard output.
run_suite() {
  local name="$1" rc=0 out
  shift
  out=$("$@" 2>&1 | tr -d '\r'; exit "${PIPESTATUS[0]}") || rc=$?
  # A suite that died before printing any of these still gets its FAIL line below.
  grep -oE 'FAIL .*|exception: .*|Error: .*|[0-9]+ passed, [0-9]+ failed' <<<"$out" |
    sed 's/^/     /' || true
  check "$name" "[ $rc -eq 0 ] && grep -qE '[0-9]+ passed, 0 failed' <<<\"\$out\""
}

# spawn_server LOG BIN STORE: the reference server BIN storing into STORE, its output in LOG, on
# a free port: $port, $server_pid.
spawn_server() {
  mkdir -p "$3"
  spawn_reading "$1" "$2" --store "$3" --port 0
  server_pid=$spawned_pid
  port=$(sed -n 's/.*listening on 127\.0\.0\.1:\([0-9]*\).*/\1/p' <<<"$first_line")
  [ -n "$port" ] || { echo "the reference server did not start: $first_line"; return 1; }
}

# The reference server of the Linux tree (configured as the unit part configures it, so that the
# parts share one build), storing into STORE, on a free port: $port, $server_pid.
start_server() {
  cmake -S "$ROOT" -B "$ROOT/build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DFERRANT_WERROR=ON >/dev/null
  cmake --build "$ROOT/build" -j2 --target ferrant-server >/dev/null
  spawn_server "$WINEPREFIX/server.log" build/server/ferrant-server "$1"
  { cat /etc/hosts; echo "127.0.0.1 dispatch.corvel.example"; } >"$WINEPREFIX/hosts"
}

# Wine resolves names through the system: the dispatch name is mapped by a hosts file
# bind-mounted in a mount namespace of the command's own (the machine's file is untouched).
with_hosts() {
  unshare -m sh -c 'mount --bind "$1" /etc/hosts && shift && exec "$@"' sh "$WINEPREFIX/hosts" "$@"
}

# check_registered ROOT WHERE DLL: the class's entries under ROOT (HKCR or HKCU\Software\Classes)
# for the server DLL, as its own registration and the MSI write them.
check_registered() {
  local root="$1" where="$2" dll="$3" c="$1\\CLSID\\$clsid"
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
    "is '$dll, 102' '$c\\ToolboxBitmap32' && is '$libid' '$c\\TypeLib' &&
    is 1.0 '$c\\Version' && is '$appid' '$c' AppID &&
    key_exists '$c\\Programmable' && key_exists '$c\\Control'"
  check "$where: module AppID" "is Ferrant '$root\\AppID\\$appid' &&
    is '$appid' '$root\\AppID\\Ferrant.DLL' AppID"
}
