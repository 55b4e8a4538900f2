#!/usr/bin/env bash
# Installs what the tests need, builds everything and runs every test suite:
# the native build's unit and end-to-end tests, the real-driver suite under
# QEMU, the same (less QEMU) under AddressSanitizer and UBSan, the fuzz
# targets, then the Windows builds under Wine. A package that apt cannot
# install stops it before anything is built, except wine32 (the 32-bit
# Windows build is then built but not run). Every suite runs even when one
# before it failed; the end is a summary of each suite (passed, skipped and
# why, or failed), and the exit status is 1 when one failed.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/suites.sh
mkdir -p build
# Packages that apt could not install, with its reason (scripts/apt_missing.sh).
export APT_SKIPPED=${APT_SKIPPED:-$PWD/build/apt-skipped}
export SUITE_RESULTS=$PWD/build/suite-results
: >"$APT_SKIPPED"
: >"$SUITE_RESULTS"
bash scripts/install_deps.sh
bash scripts/install_windows_tools.sh
bash scripts/install_vm_tools.sh

native() { bash scripts/build.sh && ctest --test-dir build --output-on-failure -j2 -E '^kestrel\.vm$'; }
sanitizer() {
  cmake -S . -B build-asan -DSANITIZE=ON -DCMAKE_BUILD_TYPE=Debug >/dev/null &&
    cmake --build build-asan -j2 &&
    ASAN_OPTIONS=detect_leaks=1 ctest --test-dir build-asan --output-on-failure -j2
}

echo "== native build and suite"
run_suite "native suite (build/)" native
echo "== real-driver suite under QEMU"
run_suite "real-driver suite under QEMU (kestrel.vm)" \
  ctest --test-dir build -R '^kestrel\.vm$' --output-on-failure --no-tests=error

echo "== sanitizer build"
run_suite "sanitizer suite (build-asan/)" sanitizer

echo "== fuzzing"
run_suite fuzzing bash scripts/fuzz.sh

echo "== Windows builds under Wine"
rc=0
bash scripts/test_windows.sh || rc=$?
# A build whose result the script did not note was not reached: the script
# stopped before it (a build or a Wine prefix that failed).
for bits in 64 32; do
  grep -q " Windows $bits-bit: " "$SUITE_RESULTS" ||
    suite_result failed "Windows $bits-bit" "not reached: scripts/test_windows.sh stopped with exit $rc (see above)"
done

suite_summary || exit 1
