#!/usr/bin/env bash
# Cross-builds the tools for 64-bit and 32-bit Windows with MinGW-w64 and runs
# every test of each cross build (ctest) under Wine, each build in a Wine
# prefix of its own inside its build folder.
#   scripts/test_windows.sh [STEM]    builds STEM64 and STEM32 (default build-win)
# The 64-bit build is tested on every machine: Wine's 64-bit loader needs no
# 32-bit program. The 32-bit build is always compiled and its DLL imports
# checked; its tests run where a 32-bit program starts, which is found out by
# starting Wine's 32-bit loader (scripts/wine32.sh). Needs the packages of
# scripts/install_windows_tools.sh. Each build's result is noted for the
# test command's summary (scripts/suites.sh).
set -euo pipefail
cd "$(dirname "$0")/.."
stem=${1:-build-win}
. scripts/wine32.sh
. scripts/suites.sh

fail() { echo "FAILED: $*" >&2; exit 1; }

missing=()
for tool in i686-w64-mingw32-g++ x86_64-w64-mingw32-g++ wineserver python3; do
  command -v "$tool" >/dev/null || missing+=("$tool")
done
command -v wine64 >/dev/null || [ -x /usr/lib/wine/wine64 ] || missing+=(wine64)
[ ${#missing[@]} -eq 0 ] ||
  fail "the Windows suite needs ${missing[*]} (bash scripts/install_windows_tools.sh)"

# kestrel's benchmark test needs the Linux kestrel as the far end's echo
# peer, built for a device folder of the test's own.
peer=$(mkdir -p "$stem-peer" && cd "$stem-peer" && pwd)
cmake -S . -B "$peer" -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING_UNITS=OFF \
  -DKESTREL_DEV_DIR="$peer/dev" >/dev/null
cmake --build "$peer" -j2 --target kestrel
peer_args=(-DKESTREL_NATIVE_PEER="$peer/kestrel/kestrel" -DKESTREL_NATIVE_DEV_DIR="$peer/dev")

# Builds everything of one cross build and checks that its programs import
# only DLLs that every Windows ships (ws2_32: Winsock 2, for network ports).
cross_build() { # folder toolchain triplet
  cmake --no-warn-unused-cli -S . -B "$1" -DCMAKE_TOOLCHAIN_FILE="cmake/$2.cmake" \
    -DCMAKE_BUILD_TYPE=Release "${peer_args[@]}" >/dev/null
  cmake --build "$1" -j2
  for exe in "$1/marigold/marigold.exe" "$1/kestrel/kestrel.exe"; do
    [ -f "$exe" ] || fail "$exe was not built"
    if "$3-objdump" -p "$exe" | grep "DLL Name" | grep -viqE 'kernel32|advapi32|msvcrt|user32|ws2_32'; then
      "$3-objdump" -p "$exe" | grep "DLL Name" >&2
      fail "$exe needs a DLL that Windows does not ship"
    fi
  done
}

# Ends the prefix's Wine server. Debian's Wine keeps the server's socket in a
# folder of /tmp that the prefix names; with the server gone nothing needs it,
# and the next server makes it again.
end_server() {
  "$WINESERVER" -k >/dev/null 2>&1 || true
  "$WINESERVER" -w >/dev/null 2>&1 || true
  local dir
  dir=$(cat "$WINEPREFIX/wineserver" 2>/dev/null || true)
  if [[ $dir =~ ^wine-[A-Za-z0-9]+$ ]]; then rm -rf "/tmp/$dir"; fi
}

# Creates the build's Wine prefix when it has none, starts one Wine server
# for the whole run and runs every test of the build. Sets $ran to the count.
wine_suite() { # folder win32|win64 label
  local build log rc=0
  build=$(cd "$1" && pwd)
  WINE=$(sed -n 's/^WINE_PROGRAM:FILEPATH=//p' "$build/CMakeCache.txt")
  WINESERVER=$(sed -n 's/^WINESERVER_PROGRAM:FILEPATH=//p' "$build/CMakeCache.txt")
  [ -x "$WINE" ] && [ -x "$WINESERVER" ] || fail "$1 found no Wine loader or server (see its CMakeCache.txt)"
  # The same settings that the build gives ctest's emulator (cmake/mingw-common.cmake).
  export WINE WINESERVER WINEPREFIX=$build/wineprefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
  export WINEARCH=$2
  unset DISPLAY
  echo "== the $3 build under Wine: $1/marigold/marigold.exe and $1/kestrel/kestrel.exe through $WINE"
  if [ ! -f "$WINEPREFIX/system.reg" ]; then
    echo "Creating the Wine prefix $WINEPREFIX"
    "$WINE" wineboot -i >"$build/wineboot.log" 2>&1 </dev/null || rc=$?
    if [ $rc -ne 0 ]; then
      echo "wineboot exited with $rc; the end of $build/wineboot.log:" >&2
      tail -n 15 "$build/wineboot.log" >&2
      end_server
      rm -rf "$WINEPREFIX" # half made: the next run starts afresh
      fail "could not create the Wine prefix of $1"
    fi
    # The server writes the new registry (system.reg) when it ends.
    "$WINESERVER" -w
  fi
  # One server for the whole run, ended with it: the tests' Wine runs then
  # start up fast and the ports they register stay put.
  "$WINESERVER" -p </dev/null >/dev/null 2>&1 || true
  trap end_server EXIT
  # The first program run starts Wine's background processes, which inherit
  # its output handles: start them here, so that no test waits on them.
  "$WINE" "$build/marigold/marigold.exe" </dev/null >/dev/null 2>&1 || true

  log=$build/ctest-wine.log
  ctest --test-dir "$build" --output-on-failure -j2 --no-tests=error 2>&1 | tee "$log" || rc=$?
  end_server
  trap - EXIT
  ran=$(sed -n 's/.*tests failed out of \([0-9]*\).*/\1/p' "$log" | tail -n 1)
  if [ $rc -ne 0 ]; then
    echo "FAILED: the Wine suite of $1 (see above)" >&2
    local failed_tests
    failed_tests=$(sed -n 's/.* \([0-9]*\) tests failed out of.*/\1/p' "$log" | tail -n 1)
    suite_result failed "Windows $3" "${failed_tests:-?} of ${ran:-?} Wine tests failed (see above)"
    return 1
  fi
  [ "${ran:-0}" -gt 0 ] || fail "no Wine test ran for $1"
}

echo "== 64-bit Windows build (${stem}64)"
cross_build "${stem}64" mingw-x86_64 x86_64-w64-mingw32
echo "== 32-bit Windows build (${stem}32)"
cross_build "${stem}32" mingw-i686 i686-w64-mingw32

no32=$(why_no_32bit)
# A failed build's suite does not stop the other's: each gets its result.
failed=0
if wine_suite "${stem}64" win64 64-bit; then
  summary="64-bit build tested ($ran Wine tests passed)"
  suite_result passed "Windows 64-bit" "$summary"
else
  summary="64-bit build failed its Wine tests" failed=1
fi
if [ -z "$no32" ]; then
  if wine_suite "${stem}32" win32 32-bit; then
    summary32="32-bit build tested ($ran Wine tests passed)"
    suite_result passed "Windows 32-bit" "$summary32"
  else
    summary32="32-bit build failed its Wine tests" failed=1
  fi
else
  summary32="32-bit build built and its DLL imports checked, not run: $no32"
  suite_result skipped "Windows 32-bit" "$summary32"
fi
echo "Windows suite: $summary; $summary32"
exit $failed
