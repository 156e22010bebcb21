#!/usr/bin/env bash
# Unpacks TinyXML-2's Debian source once into build-deps/tinyxml2 and prints that folder.
# Used by the Windows cross builds and the instrumented fuzz build, which compile it themselves.
# The machine's apt configuration is not touched: a private deb-src list, derived from the
# machine's own deb entries, is handed to apt-get through its options.
set -euo pipefail
ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)"
DEST="$ROOT/build-deps/tinyxml2"
if [ -f "$DEST/tinyxml2.cpp" ]; then echo "$DEST"; exit 0; fi
work="$ROOT/build-deps/apt"
mkdir -p "$work/lists/partial" "$work/src"
# deb entries of the machine -> deb-src entries of our own.
: >"$work/sources.list"
for f in /etc/apt/sources.list /etc/apt/sources.list.d/*.list; do
  [ -f "$f" ] || continue
  sed -n 's/^deb \(.*\)$/deb-src \1/p' "$f" >>"$work/sources.list"
done
for f in /etc/apt/sources.list.d/*.sources; do
  [ -f "$f" ] || continue
  sed 's/^Types:.*/Types: deb-src/' "$f" >>"$work/sources.list.d.sources"
done
mkdir -p "$work/parts"
[ -f "$work/sources.list.d.sources" ] && cp "$work/sources.list.d.sources" "$work/parts/src.sources"
opts=(-o "Dir::Etc::SourceList=$work/sources.list" -o "Dir::Etc::SourceParts=$work/parts"
      -o "Dir::State::Lists=$work/lists" -o "Dir::Cache::archives=$work/src"
      -o "Debug::NoLocking=1")
apt-get "${opts[@]}" update -qq >/dev/null 2>&1 || apt-get "${opts[@]}" update -qq >&2
command -v dpkg-source >/dev/null || apt-get install -y -qq dpkg-dev >/dev/null
(cd "$work/src" && apt-get "${opts[@]}" source -qq tinyxml2 >/dev/null 2>&1)
dir="$(find "$work/src" -maxdepth 1 -type d -name 'tinyxml2-*' | head -n 1)"
[ -n "$dir" ] && [ -f "$dir/tinyxml2.cpp" ] || { echo "tinyxml2 source not found" >&2; exit 1; }
mkdir -p "$DEST"
cp "$dir/tinyxml2.cpp" "$dir/tinyxml2.h" "$DEST/"
echo "$DEST"
