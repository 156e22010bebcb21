#!/usr/bin/env bash
# libFuzzer targets (fuzz/*_fuzz.cpp), built with clang and AddressSanitizer into build-fuzz/.
#   scripts/lib/fuzz.sh smoke        a few seconds each, seeded from fuzz/corpus/<name>/ (CI)
#   scripts/lib/fuzz.sh long [SECS]  SECS seconds each (default 600), for a real search
# A crash fails the run and leaves its input as build-fuzz/crash-*; turn it into a test.
set -euo pipefail
ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)"
source "$ROOT/scripts/lib/common.sh"
mode="${1:-smoke}"
secs="${2:-600}"
[ "$mode" = smoke ] && secs="${FERRANT_FUZZ_SECONDS:-5}"

ensure_packages clang libclang-rt-14-dev
CC=clang CXX=clang++ configure_build build-fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DFERRANT_FUZZ=ON -DFERRANT_TESTS=OFF -DFERRANT_HOST=OFF -DFERRANT_SANITIZE=address >/dev/null

status=0
for source in "$ROOT"/fuzz/*_fuzz.cpp; do
  name="$(basename "$source" _fuzz.cpp)"
  target="$ROOT/build-fuzz/fuzz/${name}_fuzz"
  if [ ! -x "$target" ]; then
    echo "fuzz $name: the target was not built"; status=1; continue
  fi
  work="$(mktemp -d)"
  [ -d "$ROOT/fuzz/corpus/$name" ] && cp -r "$ROOT/fuzz/corpus/$name/." "$work/"
  echo "fuzz $name: ${secs}s"
  if ! (cd "$ROOT/build-fuzz" && "$target" -max_total_time="$secs" -rss_limit_mb=2048 \
          -print_final_stats=1 "$work" 2>"$work.log"); then
    echo "fuzz $name FAILED"; tail -40 "$work.log"; status=1
  else
    grep -E 'stat::number_of_executed_units' "$work.log" | sed "s/^/  $name /"
  fi
  rm -rf "$work" "$work.log"
done
exit $status
