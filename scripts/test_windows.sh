#!/usr/bin/env bash
# Cross-builds the tools for 32-bit Windows with MinGW-w64 and runs their
# end-to-end tests under Wine, in a Wine prefix of their own inside the build
# folder. Usage: scripts/test_windows.sh [build folder, default build-win32]
# Needs g++-mingw-w64-i686 and wine32 (scripts/install_windows_tools.sh).
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build-win32}

build_abs=$(mkdir -p "$build" && cd "$build" && pwd)

# kestrel joins the Windows build once its CMakeLists picks the Win32 layer.
# Its benchmark test needs the Linux kestrel as the far end's echo peer,
# built for a device folder of the test's own.
targets=(marigold)
tests='^marigold_'
peer_args=()
if grep -q platform_win32 kestrel/CMakeLists.txt; then
  targets+=(kestrel)
  tests='.'
  cmake -S . -B "$build_abs/native-peer" -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING_UNITS=OFF \
    -DKESTREL_DEV_DIR="$build_abs/native-dev" >/dev/null
  cmake --build "$build_abs/native-peer" -j2 --target kestrel
  peer_args=(-DKESTREL_NATIVE_PEER="$build_abs/native-peer/kestrel/kestrel"
             -DKESTREL_NATIVE_DEV_DIR="$build_abs/native-dev")
else
  echo "NOTE: kestrel has no Win32 platform layer in its build yet: only marigold is tested under Wine"
fi

cmake -S . -B "$build" -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-i686.cmake \
  -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING_UNITS=OFF "${peer_args[@]}" >/dev/null
cmake --build "$build" -j2 --target "${targets[@]}"
for exe in "${targets[@]}"; do
  file=$(find "$build" -name "$exe.exe" -print -quit)
  if i686-w64-mingw32-objdump -p "$file" | grep "DLL Name" |
      grep -viqE 'kernel32|advapi32|msvcrt|user32'; then
    echo "FAILED: $file needs a DLL that Windows does not ship:" >&2
    i686-w64-mingw32-objdump -p "$file" | grep "DLL Name" >&2
    exit 1
  fi
done

# The same settings that the build gives ctest's emulator (cmake/mingw-i686.cmake).
export WINEPREFIX=$build_abs/wineprefix
export WINEARCH=win32 WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
unset DISPLAY
if [ ! -f "$WINEPREFIX/system.reg" ]; then
  echo "Creating the Wine prefix $WINEPREFIX"
  wineboot -i >"$build/wineboot.log" 2>&1
fi
# One server for the whole run, ended with it: the tests' Wine runs then
# start up fast and the ports they register stay put.
wineserver -p </dev/null >/dev/null 2>&1 || true
trap 'wineserver -k >/dev/null 2>&1 || true' EXIT
# The first program run starts Wine's background processes, which inherit
# its output handles: start them here, so that no test waits on them.
wine "$build_abs/marigold/marigold.exe" </dev/null >/dev/null 2>&1 || true

ctest --test-dir "$build" --output-on-failure -j2 -R "$tests"
