#!/usr/bin/env bash
# Lints man pages with groff (all warnings on) and, when installed, mandoc.
# Any message fails. usage: lint_man.sh PAGE...
set -uo pipefail
status=0
for page in "$@"; do
  out=$(groff -man -ww -z "$page" 2>&1)
  [ -z "$out" ] || { echo "groff on $page:"; echo "$out"; status=1; }
  if command -v mandoc >/dev/null; then
    out=$(mandoc -T lint -W warning "$page" 2>&1)
    [ -z "$out" ] || { echo "mandoc on $page:"; echo "$out"; status=1; }
  fi
  # every placeholder filled in by the build
  if grep -n '@[A-Za-z_]*@' "$page"; then echo "$page: placeholder left"; status=1; fi
done
exit $status
