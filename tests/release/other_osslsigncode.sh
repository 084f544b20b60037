#!/usr/bin/env bash
# The release table again with each other osslsigncode that apt offers
# (Debian 12: 2.5 in bookworm, 2.9 in bookworm-backports), unpacked from
# its .deb beside the installed one, so that signing and verifying are
# shown to work with both; each run also verifies the release that the
# installed osslsigncode signed. Exits 77 (skipped) when apt offers no
# other version or cannot fetch it (no network, no package lists).
#
#   other_osslsigncode.sh DOWNLOADS WORK RELEASE_BUILD_DIR OTHER_BUILD_EXE \
#                         INSTALLED_WORK
set -uo pipefail
downloads=$1
work=$2
build=$3
other=$4
installed_work=$5
here=$(cd "$(dirname "$0")" && pwd)
installed=$(dpkg-query -W -f='${Version}' osslsigncode 2>/dev/null)
versions=$(apt-cache madison osslsigncode 2>/dev/null |
  awk -F'|' '{ gsub(/ /, "", $2); print $2 }' | sort -u |
  grep -vxF -- "$installed")

ran=0
failed=0
for version in $versions; do
  unpacked=$downloads/$version
  if [ ! -x "$unpacked/usr/bin/osslsigncode" ]; then
    rm -rf "$unpacked" "$downloads/deb"
    mkdir -p "$downloads/deb"
    # As root apt-get would hand the download to its own user, who cannot
    # write into a build folder.
    if ! (cd "$downloads/deb" && apt-get download -q \
      -o APT::Sandbox::User=root "osslsigncode=$version") \
      >"$downloads/log" 2>&1 ||
      ! dpkg -x "$downloads"/deb/osslsigncode_*.deb "$unpacked" \
        >>"$downloads/log" 2>&1; then
      echo "osslsigncode $version could not be fetched:"
      sed 's/^/  /' "$downloads/log"
      continue
    fi
  fi
  PATH=$unpacked/usr/bin:$PATH "$here/sign_verify.sh" "$work-$version" \
    "$build" "$other" "$installed_work" || failed=1
  ran=1
done
# ctest shows nothing of a skipped test's output: the reason is this one
# line on stdout, the last, beginning "skipped: ", for whoever reports it.
if [ $ran -eq 0 ]; then
  if [ -z "$versions" ]; then
    echo "skipped: apt offers no osslsigncode beside the installed" \
      "${installed:-(none)}"
  else
    echo "skipped: apt offers osslsigncode" $versions "beside the" \
      "installed ${installed:-(none)}, and none could be fetched"
  fi
  exit 77
fi
exit $failed
