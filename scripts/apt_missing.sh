# Sourced by the install scripts: install_missing [APT-OPTION...] -- PACKAGE...
# installs those of the Debian packages that are not installed yet, through
# sudo unless root, and never asks a question. PRE_INSTALL, when set, is run
# (with $sudo) before apt-get update, and only when something is missing.
# - apt-get update that fails (a mirror in mid-sync fails one index) is tried
#   once more; if it fails again, one warning names the indexes it could not
#   fetch and the install goes on with the package lists there are.
# - A package that apt cannot install ends the install with 1, naming it and
#   apt's reason, unless OPTIONAL_PACKAGES names it: then a warning says so,
#   the rest is installed, and "PACKAGE: REASON" is added to the file that
#   APT_SKIPPED names (when set), for the test scripts to report.
install_missing() {
  local options=()
  while [ $# -gt 0 ] && [ "$1" != "--" ]; do options+=("$1"); shift; done
  shift
  local missing=() p
  for p in "$@"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "ok installed" || missing+=("$p")
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  sudo=""
  [ "$(id -u)" -eq 0 ] || sudo="sudo"
  if [ -n "$sudo" ] && ! command -v sudo >/dev/null; then
    echo "Missing packages: ${missing[*]}. There is no sudo here: run this as root" >&2
    echo "(su -c 'bash $0') or install sudo." >&2
    return 1
  fi
  export DEBIAN_FRONTEND=noninteractive
  if [ -n "${PRE_INSTALL:-}" ]; then "$PRE_INSTALL"; fi
  apt_update
  local required=() optional=()
  for p in "${missing[@]}"; do
    if [[ " ${OPTIONAL_PACKAGES:-} " == *" $p "* ]]; then optional+=("$p"); else required+=("$p"); fi
  done
  if [ ${#required[@]} -gt 0 ] && ! run_apt install -y -qq "${options[@]}" "${required[@]}"; then
    name_refused "${options[@]}" -- "${required[@]}"
    return 1
  fi
  # Each on its own, so that one refused leaves the others in.
  for p in "${optional[@]}"; do
    run_apt install -y -qq "${options[@]}" "$p" && continue
    echo "WARNING: apt-get could not install $p, going on without it: $(apt_reason)" >&2
    [ -z "${APT_SKIPPED:-}" ] || echo "$p: $(apt_reason)" >>"$APT_SKIPPED"
  done
}

# Runs apt-get through $sudo. Its standard output is shown; its error output
# is kept in $apt_err, and shown as well when apt-get succeeds (warnings).
run_apt() {
  local rc=0
  { apt_err=$($sudo apt-get "$@" 2>&1 1>&3 3>&-); } 3>&1 || rc=$?
  [ $rc -ne 0 ] || [ -z "$apt_err" ] || printf '%s\n' "$apt_err" >&2
  return $rc
}

# Lines on standard input as one line, joined with "; ".
one_line() { paste -sd '\t' | sed 's/\t/; /g'; }

# apt's own reason for the last failure: its error lines.
apt_reason() {
  local why
  why=$(sed -n 's/^E: //p' <<<"$apt_err" | one_line)
  echo "${why:-apt-get gave no reason}"
}

# apt-get update, tried once more when it fails; then the one warning.
apt_update() {
  run_apt update -qq && return 0
  run_apt update -qq && return 0
  local why
  why=$(sed -n 's/^[EW]: Failed to fetch \([^ ]*\) *\(.*\)/\1 (\2)/p' <<<"$apt_err" | one_line)
  why=${why:+to fetch $why}
  echo "WARNING: apt-get update failed twice ${why:-($(apt_reason))}; installing from the package lists there are" >&2
}

# After a failed install of PACKAGE...: names each one that apt-get refuses
# on its own (tried with -s, which changes nothing) with apt's reason; when
# none is refused alone, names them all with the reason of the whole.
name_refused() { # APT-OPTION... -- PACKAGE...
  local whole options=() p named=0
  whole=$(apt_reason)
  while [ "$1" != "--" ]; do options+=("$1"); shift; done
  shift
  for p in "$@"; do
    run_apt -s install -qq "${options[@]}" "$p" >/dev/null && continue
    echo "FAILED: apt-get could not install $p: $(apt_reason)" >&2
    named=1
  done
  [ $named -eq 1 ] || echo "FAILED: apt-get could not install $*: $whole" >&2
}
