#!/usr/bin/env bash
# Installs the Debian packages that the build, the tests and the demo need,
# when any of them is missing. Runs apt-get through sudo unless root.
set -euo pipefail
packages=(cmake make g++ clang libclang-rt-14-dev libgtest-dev python3 srecord socat binutils time
          dpkg-dev lintian groff-base mandoc man-db gzip unzip file)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "ok installed" || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0
sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"
if [ -n "$sudo" ] && ! command -v sudo >/dev/null; then
  echo "Missing packages: ${missing[*]}. There is no sudo here: run the command as root" >&2
  echo "(su -c 'bash scripts/demo.sh') or install sudo." >&2
  exit 1
fi
export DEBIAN_FRONTEND=noninteractive
$sudo apt-get update -qq
$sudo apt-get install -y -qq "${missing[@]}"
