#!/usr/bin/env bash
# The main job on the bundled examples: marigold dumps the Intel HEX and
# S-record files, checks one of them with -i and the image's checksum word,
# and kestrel runs its loop-back benchmark over a pair of pseudo-terminals.
# A package that apt cannot install stops it, with exit 1, before the build.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install_deps.sh
bash scripts/build.sh >/dev/null
m=build/marigold/marigold
for f in examples/firmware.hex examples/firmware.s19 examples/firmware.s37; do
  echo "== marigold $f"
  "$m" "$f"
done
echo "== marigold -i examples/firmware.s37"
"$m" -i examples/firmware.s37
echo "== marigold -c examples/image.bin"
"$m" -c examples/image.bin
if [ -x scripts/kestrel_loopback.sh ]; then
  echo "== kestrel -t against kestrel -e over a pseudo-terminal pair"
  bash scripts/kestrel_loopback.sh build/tests/kestrel/kestrel_testdev
fi
