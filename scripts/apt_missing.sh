# Sourced by the install scripts: install_missing [APT-OPTION...] -- PACKAGE...
# installs those of the Debian packages that are not installed yet, through
# sudo unless root, and never asks a question. PRE_INSTALL, when set, is run
# (with $sudo) before apt-get update, and only when something is missing.
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
  $sudo apt-get update -qq
  $sudo apt-get install -y -qq "${options[@]}" "${missing[@]}"
}
