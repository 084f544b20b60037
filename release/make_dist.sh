#!/usr/bin/env bash
# Lays out the release from a finished build of the win32 preset: what a
# shipper takes, and what anyone needs to rebuild it and compare.
#
#   make_dist.sh BUILD_DIR DIST_DIR
#
# DIST_DIR/updater.exe        the program, unsigned
# DIST_DIR/include/updater_caller/
#                             the kit, for the application that starts it
# DIST_DIR/lib/cmake/updater_caller/
#                             its CMake package (find_package(updater_caller))
# DIST_DIR/SHA256SUMS         of those
# DIST_DIR/BUILDINFO          the commit, the toolchain's exact Debian
#                             packages, and the compile and link flags
set -euo pipefail
build=$(cd "$1" && pwd)
dist=$2
top=$(cd "$(dirname "$0")/.." && pwd)

rm -rf "$dist"
mkdir -p "$dist"
cp "$build/bin/updater.exe" "$dist/updater.exe"
# The kit as its install rules lay it out, so that dist/ is a prefix an
# application's build finds it in.
cmake --install "$build" --prefix "$dist" >/dev/null
(cd "$dist" && sha256sum updater.exe $(find include lib -type f |
  LC_ALL=C sort) > SHA256SUMS)

commit=$(git -C "$top" rev-parse HEAD 2>/dev/null || echo unknown)
# As release/sign.sh judges a checkout: git status hides files that git is
# told not to look at.
if [ "$commit" != unknown ] && [ -n "$("$top/release/uncommitted.sh" "$top")" ]
then
  commit="$commit, with changes not committed"
fi
# The flags as the build ran them, with this machine's folders left out.
flags=$(/usr/bin/python3 - "$build" "$top" <<'PY'
import json, sys
build, top = sys.argv[1], sys.argv[2]
def local(text):
    return text.replace(build, "<build>").replace(top, "<source>")
for entry in json.load(open(f"{build}/compile_commands.json")):
    if entry["file"] == f"{top}/updater/updater.cpp" and \
            "/updater.dir/" in entry["command"]:
        print("compile: " + local(entry["command"]))
rule = f"{build}/updater/CMakeFiles/updater.dir"
link = open(f"{rule}/link.txt").read().splitlines()[-1]
libraries = open(f"{rule}/linkLibs.rsp").read().strip()
print("link:    " + local(link.replace("@CMakeFiles/updater.dir/linkLibs.rsp",
                                       libraries)))
PY
)
{
  echo "updater.exe $(sha256sum "$dist/updater.exe" | cut -d' ' -f1)"
  echo "commit: $commit"
  echo "built on: Debian $(cat /etc/debian_version)"
  echo "toolchain (Debian packages):"
  dpkg-query -W -f='  ${Package} ${Version}\n' g++-mingw-w64-i686 \
    g++-mingw-w64-i686-win32 binutils-mingw-w64-i686 mingw-w64-i686-dev cmake
  echo "flags:"
  echo "$flags" | sed 's/^/  /'
  echo "  strip:   SOURCE_DATE_EPOCH=0 i686-w64-mingw32-objcopy --strip-all" \
    "--long-section-names=disable updater-unstripped.exe updater.exe"
  echo "rebuild: on Debian 12, in a checkout of the commit, as root:"
  echo "  ./run release && (cd dist && sha256sum -c SHA256SUMS)"
} > "$dist/BUILDINFO"
echo "release in $dist:"
ls -l "$dist"
