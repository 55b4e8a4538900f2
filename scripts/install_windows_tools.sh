#!/usr/bin/env bash
# Installs what the Windows builds and their tests need on Debian 12: the
# MinGW-w64 cross compilers for 64-bit and 32-bit Windows, Wine's 64-bit
# loader (wine64) and its 32-bit one (wine32, which needs the i386
# architecture; machines that cannot run 32-bit programs install it too but
# test only the 64-bit build), plus socat for the serial-port tests.
# Does nothing when all of it is there already. Runs apt-get through sudo
# unless root; never asks a question.
set -euo pipefail
packages=(g++-mingw-w64-x86-64 g++-mingw-w64-i686 wine wine64 wine32:i386 socat cmake make python3)
sudo=""
if [ "$(id -u)" -ne 0 ]; then
  sudo="sudo"
fi
export DEBIAN_FRONTEND=noninteractive

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "ok installed" || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

if [ -n "$sudo" ] && ! command -v sudo >/dev/null; then
  echo "Missing packages: ${missing[*]}. There is no sudo here: run this as root" >&2
  echo "(su -c 'bash $0') or install sudo." >&2
  exit 1
fi
if ! dpkg --print-foreign-architectures | grep -qx i386; then
  $sudo dpkg --add-architecture i386
fi
$sudo apt-get update -qq
# Recommends would add fonts, sound and desktop parts that console programs
# under Wine never use.
$sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
