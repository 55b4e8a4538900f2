# Sourced by the test scripts. Each suite's result is one line of the file
# that SUITE_RESULTS names (nothing is noted when it is unset):
#   suite_result passed|skipped|failed NAME [WHY]
suite_result() {
  [ -n "${SUITE_RESULTS:-}" ] || return 0
  printf '%-8s %s%s\n' "$1" "$2" "${3:+: $3}" >>"$SUITE_RESULTS"
}

# run_suite NAME COMMAND...: runs the command and notes whether it passed.
run_suite() {
  local name=$1 rc=0
  shift
  "$@" || rc=$?
  if [ $rc -eq 0 ]; then
    suite_result passed "$name"
  else
    suite_result failed "$name" "exit $rc (see above)"
  fi
}

# Prints every suite's result; fails when one failed.
suite_summary() {
  echo "== summary"
  cat "$SUITE_RESULTS"
  ! grep -q '^failed' "$SUITE_RESULTS"
}
