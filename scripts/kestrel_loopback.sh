#!/bin/sh
# Loop-back trial: two pseudo-terminals joined by socat, `kestrel -e` on one
# end, `kestrel -t` on the other. Usage: kestrel_loopback.sh [KESTREL]
# KESTREL must be a build whose device folder is $DEV (default: the test
# build, build/tests/kestrel/kestrel_testdev with build/testdev).
set -eu
KESTREL=${1:-build/tests/kestrel/kestrel_testdev}
DEV=${DEV:-$(dirname "$KESTREL")/../../testdev}
mkdir -p "$DEV"
rm -f "$DEV/ttyUSB0" "$DEV/ttyUSB1"
# The test build's own relay keeps up with a full pty buffer; socat, waiting
# for the pty to become writable, can pause for 100 ms and more on some kernels.
PAIR=$(dirname "$KESTREL")/kestrel_ptypair
if [ -x "$PAIR" ] && [ -z "${USE_SOCAT:-}" ]; then
    "$PAIR" "$DEV/ttyUSB0" "$DEV/ttyUSB1" 30 >/dev/null &
else
    socat pty,raw,echo=0,link="$DEV/ttyUSB0" pty,raw,echo=0,link="$DEV/ttyUSB1" &
fi
SOCAT=$!
OUT=$DEV/loopback.$$.out
trap 'kill $SOCAT 2>/dev/null; rm -f "$DEV/ttyUSB0" "$DEV/ttyUSB1" "$OUT"' EXIT
for i in 1 2 3 4 5 6 7 8 9 10; do [ -e "$DEV/ttyUSB1" ] && break; sleep 0.1; done
# the echo server on COM33 (ttyUSB0) ends when its keyboard pipe gives Ctrl-A
(sleep 15; printf '\001') | "$KESTREL" -e -c33 >/dev/null &
ECHO=$!
sleep 0.2
"$KESTREL" -t -c34 </dev/null >"$OUT"
cat "$OUT"
kill $ECHO 2>/dev/null || true
grep -q '^Benchmark end\. 32000 bytes/' "$OUT" &&
    ! grep -q -e TIMEOUT -e 'Recv Errors' "$OUT"
