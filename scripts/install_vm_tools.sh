#!/usr/bin/env bash
# Installs what the real-driver suite (tests/vm) needs on Debian 12: QEMU for
# x86, the distribution's kernel with its modules (the guest boots it), a
# static busybox (the guest's shell and tools) and cpio (its initramfs).
# Does nothing when all of it is there already. Runs apt-get through sudo
# unless root; never asks a question.
set -euo pipefail
packages=(qemu-system-x86 linux-image-amd64 busybox-static cpio file python3)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "ok installed" || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"
if [ -n "$sudo" ] && ! command -v sudo >/dev/null; then
  echo "Missing packages: ${missing[*]}. There is no sudo here: run this as root" >&2
  echo "(su -c 'bash $0') or install sudo." >&2
  exit 1
fi
export DEBIAN_FRONTEND=noninteractive
$sudo apt-get update -qq
# Recommends would add firmware, a boot loader and QEMU's other front ends.
$sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
