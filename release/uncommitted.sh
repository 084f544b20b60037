#!/usr/bin/env bash
# Prints, one a line, what in a git checkout is not its HEAD commit, and
# nothing for a clean checkout: changed, staged, deleted and untracked
# files; ignored ones too, but for the build/ and dist/ folders that
# .gitignore names, the build's own output; and files that git is told not
# to look at (skip-worktree, assume-unchanged), which `git status` leaves
# out. make_dist.sh writes the answer into BUILDINFO, and sign.sh refuses
# to sign unless it is empty.
#
#   uncommitted.sh CHECKOUT
set -euo pipefail
checkout=$1
git -C "$checkout" status --porcelain --ignored |
  grep -vxE '!! (build|dist)/' || true
git -C "$checkout" ls-files -v | grep -v '^H ' |
  sed 's/^[^ ]* /hidden from git status (skip-worktree, assume-unchanged): /' ||
  true
