#!/usr/bin/env bash
# Builds examples/, the application that adopts the kit, out of this tree
# with a MinGW-w64 toolchain, taking the kit one of the two ways an
# application can:
#
#   build_example.sh find_package     BUILD TOOLCHAIN WORK
#       installs the kit from BUILD (cmake --install, as ./run release
#       does) into WORK/prefix and finds it there: the installed headers,
#       updater_callerConfig.cmake and its version file, which must turn
#       away a request for the next major version
#   build_example.sh add_subdirectory BUILD TOOLCHAIN WORK
#       adds the kit's caller/ folder from this checkout
#
# Any warning of the strict set the example turns on fails the build.
set -euo pipefail
way=$1 build=$2 toolchain=$3 work=$4
top=$(cd "$(dirname "$0")/../.." && pwd)

rm -rf "$work"
mkdir -p "$work"
configure=(cmake -S "$top/examples" -B "$work/app" -G "Unix Makefiles"
  -DCMAKE_TOOLCHAIN_FILE="$toolchain" -DCMAKE_BUILD_TYPE=MinSizeRel
  -DCMAKE_FIND_PACKAGE_NO_PACKAGE_REGISTRY=ON)
case $way in
  find_package)
    cmake --install "$build" --prefix "$work/prefix" >/dev/null
    configure+=(-DCMAKE_PREFIX_PATH="$work/prefix")
    ;;
  add_subdirectory)
    configure+=(-DUPDATER_CALLER_SOURCE_DIR="$top/caller")
    ;;
  *) echo "unknown way: $way" >&2; exit 2 ;;
esac
"${configure[@]}" >"$work/configure.log" || { cat "$work/configure.log"; exit 1; }
cmake --build "$work/app" -- VERBOSE=1 >"$work/build.log" 2>&1 ||
  { cat "$work/build.log"; exit 1; }
# The headers came from where the kit was taken, not from another copy:
# the compiler's list of what app.cpp read says which.
case $way in
  find_package) kit=$work/prefix/include ;;
  add_subdirectory) kit=$top/caller/include ;;
esac
grep -q "$kit/updater_caller/updater_caller.h" \
  "$work/app/CMakeFiles/app.dir/app.cpp.obj.d" || {
  echo "app.cpp did not read the kit from $kit" >&2
  exit 1
}
test -f "$work/app/app.exe"
# The version file admits the same major version only: a build asking for
# the next one must not take this kit.
if [ "$way" = find_package ]; then
  mkdir "$work/next"
  printf '%s\n' 'cmake_minimum_required(VERSION 3.14)' 'project(next NONE)' \
    'find_package(updater_caller 2 REQUIRED)' >"$work/next/CMakeLists.txt"
  if cmake -S "$work/next" -B "$work/next/build" \
      -DCMAKE_PREFIX_PATH="$work/prefix" >"$work/next.log" 2>&1; then
    echo "find_package(updater_caller 2) took kit version 1" >&2
    exit 1
  fi
  grep -q 'updater_callerConfig.cmake, version: 1\.' "$work/next.log" || {
    cat "$work/next.log"
    exit 1
  }
fi
echo "built $work/app/app.exe, the kit by $way"
