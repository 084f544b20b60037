#!/usr/bin/env bash
# Builds the release twice from clean, from copies of the sources in two
# folders of different names and depths, and compares the bytes: nothing
# of the time, the machine's paths or the build folder may reach the exe.
#
#   reproducible.sh SOURCE_DIR
set -euo pipefail
source_dir=$1
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

build_in() {
  mkdir -p "$1"
  tar -C "$source_dir" --exclude=./build --exclude=./.git -cf - . |
    tar -C "$1" -xf -
  (cd "$1" && cmake --preset win32 >/dev/null &&
    cmake --build --preset win32 --target updater >/dev/null)
  sha256sum "$1/build/win32/bin/updater.exe" | cut -d' ' -f1
}

first=$(build_in "$work/a")
second=$(build_in "$work/somewhere/much/deeper/updater-source-copy")
echo "first build:  $first"
echo "second build: $second"
if [ "$first" != "$second" ]; then
  echo "FAIL: two clean builds differ"
  exit 1
fi
echo "ok   two clean builds in different folders are the same bytes"
