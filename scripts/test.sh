#!/usr/bin/env bash
# Installs what the tests need, builds everything and runs every test suite:
# the native build's unit and end-to-end tests with the real-driver suite
# under QEMU, the same (less QEMU) under AddressSanitizer and UBSan, the fuzz
# targets, then the Windows builds under Wine.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install_deps.sh
bash scripts/install_windows_tools.sh
bash scripts/install_vm_tools.sh
bash scripts/build.sh
ctest --test-dir build --output-on-failure -j2

echo "== sanitizer build"
cmake -S . -B build-asan -DSANITIZE=ON -DCMAKE_BUILD_TYPE=Debug >/dev/null
cmake --build build-asan -j2
ASAN_OPTIONS=detect_leaks=1 ctest --test-dir build-asan --output-on-failure -j2

echo "== fuzzing"
bash scripts/fuzz.sh

echo "== Windows builds under Wine"
bash scripts/test_windows.sh
