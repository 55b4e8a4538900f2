#!/usr/bin/env bash
# The script matcher's rate (bench/script_bench.cpp), built as the release
# build builds it.   Usage: bench/script_bench.sh [BUILD_DIR]  (default build-bench)
set -euo pipefail
cd "$(dirname "$0")/.."
out=${1:-build-bench}
mkdir -p "$out"
g++ -std=c++17 -O3 -DNDEBUG -Wall -Wextra -Ikestrel bench/script_bench.cpp kestrel/codec/script.cpp \
  -o "$out/script_bench"
"$out/script_bench"
