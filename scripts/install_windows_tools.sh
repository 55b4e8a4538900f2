#!/usr/bin/env bash
# Installs what the Windows build and its tests need on Debian 12: the
# MinGW-w64 cross compiler for 32-bit Windows and Wine with its 32-bit part
# (which needs the i386 architecture), plus socat for the serial-port tests.
# Does nothing when all of it is there already. Runs apt-get through sudo
# unless root; never asks a question.
set -euo pipefail
packages=(g++-mingw-w64-i686 wine wine32:i386 socat cmake make)
sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"
export DEBIAN_FRONTEND=noninteractive

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "ok installed" || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

if ! dpkg --print-foreign-architectures | grep -qx i386; then
  $sudo dpkg --add-architecture i386
fi
$sudo apt-get update -qq
# Recommends would add fonts, sound and desktop parts that console programs
# under Wine never use.
$sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
