#!/usr/bin/env bash
# Installs the Debian packages that the build, the tests and the demo need,
# when any of them is missing. Runs apt-get through sudo unless root.
set -euo pipefail
. "$(dirname "$0")/apt_missing.sh"
install_missing -- cmake make g++ clang libclang-rt-14-dev libgtest-dev python3 srecord socat ser2net lrzsz binutils binutils-arm-none-eabi time \
  dpkg-dev lintian groff-base mandoc man-db gzip unzip file
