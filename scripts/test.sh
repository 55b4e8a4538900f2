#!/usr/bin/env bash
# Builds everything and runs every test suite: the native build's unit and
# end-to-end tests, the same under AddressSanitizer and UBSan, the fuzz
# targets, then the Windows builds under Wine when their tools exist.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install_deps.sh
bash scripts/build.sh
ctest --test-dir build --output-on-failure -j2

echo "== sanitizer build"
cmake -S . -B build-asan -DSANITIZE=ON -DCMAKE_BUILD_TYPE=Debug >/dev/null
cmake --build build-asan -j2
ASAN_OPTIONS=detect_leaks=1 ctest --test-dir build-asan --output-on-failure -j2

echo "== fuzzing"
bash scripts/fuzz.sh

# With a MinGW-w64 cross compiler installed, the Windows suite runs, and
# fails when the rest of its tools are missing rather than pass untested.
if command -v x86_64-w64-mingw32-g++ >/dev/null || command -v i686-w64-mingw32-g++ >/dev/null; then
  echo "== Windows builds under Wine"
  bash scripts/test_windows.sh
else
  echo "SKIPPED: the Windows suite (no MinGW-w64 cross compiler: bash scripts/install_windows_tools.sh; see README)"
fi
