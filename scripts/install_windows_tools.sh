#!/usr/bin/env bash
# Installs what the Windows builds and their tests need on Debian 12: the
# MinGW-w64 cross compilers for 64-bit and 32-bit Windows, Wine's 64-bit
# loader (wine64) and its 32-bit one (wine32, which needs the i386
# architecture; machines that cannot run 32-bit programs install it too but
# test only the 64-bit build), plus socat for the serial-port tests.
# Does nothing when all of it is there already. Runs apt-get through sudo
# unless root; never asks a question. When apt cannot install wine32 (its
# i386 dependencies must match the amd64 packages, which a mirror in mid-sync
# can prevent), it says why and installs the rest: the 32-bit build is then
# built but not run.
set -euo pipefail
. "$(dirname "$0")/apt_missing.sh"

add_i386() {
  if ! dpkg --print-foreign-architectures | grep -qx i386; then
    $sudo dpkg --add-architecture i386
  fi
}
# Recommends would add fonts, sound and desktop parts that console programs
# under Wine never use.
PRE_INSTALL=add_i386 OPTIONAL_PACKAGES=wine32:i386 install_missing --no-install-recommends -- \
  g++-mingw-w64-x86-64 g++-mingw-w64-i686 wine wine64 wine32:i386 socat cmake make python3
