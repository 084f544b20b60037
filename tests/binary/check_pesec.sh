#!/usr/bin/env bash
# The hardening flags as pesec (Debian's pev), a PE reader independent of
# check_exe.py's pefile, reads them: a base that can move, data that cannot
# run, and no exception handler that may be called in the image.
#
#   check_pesec.sh UPDATER_EXE
set -euo pipefail
report=$(pesec "$1")
echo "$report"
failed=0
expect() {
  if grep -Eq "^$1:[[:space:]]+$2\$" <<<"$report"; then
    echo "ok   pesec: $1 $2"
  else
    echo "FAIL pesec: $1 is not $2"
    failed=1
  fi
}
expect 'ASLR' yes
expect 'DEP/NX' yes
# pesec says "yes" when the image may use SEH, "no" when NO_SEH is set.
expect 'SEH' no
exit $failed
