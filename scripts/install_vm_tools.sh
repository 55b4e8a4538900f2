#!/usr/bin/env bash
# Installs what the real-driver suite (tests/vm) needs on Debian 12: QEMU for
# x86, the distribution's kernel with its modules (the guest boots it), a
# static busybox (the guest's shell and tools) and cpio (its initramfs).
# Does nothing when all of it is there already. Runs apt-get through sudo
# unless root; never asks a question.
set -euo pipefail
. "$(dirname "$0")/apt_missing.sh"
# Recommends would add firmware, a boot loader and QEMU's other front ends.
install_missing --no-install-recommends -- qemu-system-x86 linux-image-amd64 busybox-static cpio file python3
