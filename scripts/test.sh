#!/usr/bin/env bash
# Builds everything and runs every test suite: the native build's unit and
# end-to-end tests, then the Windows build under Wine when its tools exist.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install_deps.sh
bash scripts/build.sh
ctest --test-dir build --output-on-failure -j2
if [ -x scripts/test_windows.sh ]; then
  if command -v i686-w64-mingw32-g++ >/dev/null && command -v wine >/dev/null; then
    bash scripts/test_windows.sh
  else
    echo "SKIPPED: the Windows suite (needs g++-mingw-w64-i686 and wine; see README)"
  fi
fi
