#!/usr/bin/env bash
# Builds marigold's and kestrel's libFuzzer targets with clang into build-fuzz, replays
# their seeds and kept regressions, then fuzzes each target for a bounded
# time (FUZZ_SECONDS, default 60). A new failing input is copied into
# tests/fuzz/regressions/ so that it is replayed from then on.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${FUZZ_SECONDS:-60}
CXX=clang++ cmake -S . -B build-fuzz -DFUZZ=ON -DBUILD_TESTING_UNITS=OFF \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build-fuzz -j2 --target fuzz_records fuzz_filter fuzz_decode fuzz_info fuzz_convert fuzz_image \
  fuzz_telnet
ctest --test-dir build-fuzz -R '^fuzz_' --output-on-failure
status=0
for target in records filter decode info convert image telnet; do
  corpus=build-fuzz/corpus/$target
  mkdir -p "$corpus"
  echo "fuzzing $target for ${seconds}s"
  if ! (cd build-fuzz && ./tests/fuzz/fuzz_$target -max_total_time="$seconds" -close_fd_mask=3 \
        -artifact_prefix="$PWD/crash-$target-" "../$corpus" "../tests/fuzz/corpus/$target" \
        > "fuzz-$target.log" 2>&1); then
    tail -n 30 "build-fuzz/fuzz-$target.log"
    for crash in build-fuzz/crash-$target-*; do
      [ -e "$crash" ] && cp "$crash" "tests/fuzz/regressions/$target/" && echo "kept $crash"
    done
    status=1
  else
    tail -n 1 "build-fuzz/fuzz-$target.log"
  fi
done
exit $status
