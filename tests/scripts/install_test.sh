#!/usr/bin/env bash
# The install scripts and the test command on a machine whose mirror is in
# mid-sync: apt-get update fails on one index and apt refuses wine32:i386.
# apt-get (fake-apt-get), dpkg-query, dpkg, id and sudo on PATH are fakes
# that change nothing; for the test command, so are the build and test tools
# (cmake, ctest, MinGW, Wine), in a copy of scripts/ inside SCRATCH.
# usage: install_test.sh SOURCE SCRATCH
set -euo pipefail
src=$(cd "$1" && pwd) scratch=$2
fail() { echo "FAILED: $*" >&2; exit 1; }
rm -rf "$scratch"
mkdir -p "$scratch/bin"
scratch=$(cd "$scratch" && pwd)
trap 'rm -rf "$scratch"' EXIT
bin=$scratch/bin
index=http://deb.debian.org/debian-security/dists/bookworm-security/main/binary-i386/Packages.xz
held="Unable to correct problems, you have held broken packages."

# fake NAME BODY: a program of that name on the test's PATH.
fake() { printf '#!/usr/bin/env bash\n%s\n' "$2" >"$bin/$1" && chmod +x "$bin/$1"; }
cp "$src/tests/scripts/fake-apt-get" "$bin/apt-get"
# (every package is installed but those of FAKE_MISSING)
fake dpkg-query 'for p; do :; done; [[ " $FAKE_MISSING " != *" $p "* ]] || exit 1; echo -n "install ok installed"'
fake dpkg 'echo "dpkg $*" >>"$FAKE_LOG"'
fake id 'echo "${FAKE_UID:-0}"'
fake sudo 'echo -n "sudo " >>"$FAKE_LOG"; exec "$@"'
export PATH=$bin:$PATH FAKE_LOG=$scratch/log FAKE_MISSING="" FAKE_REFUSE="" FAKE_UPDATE_FAILS=0
export WINE32_LOADER=$scratch/no-wine32
# (the test command that runs this test sets these for its own scripts)
unset APT_SKIPPED SUITE_RESULTS ASSUME_NO_32BIT

# run SCRIPT: runs it with its output in $scratch/out and err, the log
# emptied first; sets $rc.
run() {
  : >"$FAKE_LOG"
  rc=0
  bash "$@" >"$scratch/out" 2>"$scratch/err" || rc=$?
}
# same FILE TEXT WHAT: the file holds exactly the text (and a newline).
same() { diff -u <(printf '%s\n' "$2") "$1" || fail "$3"; }

echo "== the index fails twice and apt refuses wine32:i386: a warning for each, exit 0"
FAKE_MISSING=wine32:i386 FAKE_REFUSE=wine32:i386 FAKE_UPDATE_FAILS=2 APT_SKIPPED=$scratch/skipped \
  run "$src/scripts/install_windows_tools.sh"
[ $rc -eq 0 ] || fail "install_windows_tools.sh exited with $rc: $(cat "$scratch/err")"
same "$scratch/err" "WARNING: apt-get update failed twice to fetch $index (File has unexpected size (374820 != 376004). Mirror sync in progress?); installing from the package lists there are
WARNING: apt-get could not install wine32:i386, going on without it: $held" "the warnings"
same "$FAKE_LOG" "dpkg --print-foreign-architectures
dpkg --add-architecture i386
apt-get update -qq
apt-get update -qq
apt-get install -y -qq --no-install-recommends wine32:i386" "apt-get's calls"
same "$scratch/skipped" "wine32:i386: $held" "the note of the skipped package"

echo "== the index fails once: no warning; not root: through sudo"
FAKE_UID=1000 FAKE_MISSING="cmake srecord" FAKE_UPDATE_FAILS=1 run "$src/scripts/install_deps.sh"
[ $rc -eq 0 ] && [ ! -s "$scratch/err" ] || fail "install_deps.sh: exit $rc, $(cat "$scratch/err")"
same "$FAKE_LOG" "sudo apt-get update -qq
sudo apt-get update -qq
sudo apt-get install -y -qq cmake srecord" "apt-get's calls through sudo"

echo "== apt refuses another package: exit 1, naming it alone with apt's reason"
FAKE_MISSING="socat wine32:i386" FAKE_REFUSE="socat wine32:i386" run "$src/scripts/install_windows_tools.sh"
[ $rc -eq 1 ] || fail "install_windows_tools.sh exited with $rc"
same "$scratch/err" "FAILED: apt-get could not install socat: Unable to locate package socat" "the failure"
grep -q "install.*wine32" "$FAKE_LOG" && fail "wine32:i386 was installed after the failure"

# The test command in a copy of the scripts, on fake build and test tools:
# every suite passes but fuzzing, and Wine tests 23 programs.
repo=$scratch/repo
mkdir -p "$repo"
cp -r "$src/scripts" "$repo/"
printf 'echo "fuzz_records: a crash"\nexit 1\n' >"$repo/scripts/fuzz.sh"
fake cmake 'echo "cmake $*" >>"$FAKE_LOG"
if [ "$1" = --build ]; then
  mkdir -p "$2/marigold" "$2/kestrel" && touch "$2/marigold/marigold.exe" "$2/kestrel/kestrel.exe"
  exit
fi
while [ $# -gt 0 ]; do [ "$1" != -B ] || dir=$2; shift; done
mkdir -p "$dir" && printf "WINE_PROGRAM:FILEPATH=%s/wine\nWINESERVER_PROGRAM:FILEPATH=%s/wineserver\n" "${0%/*}" "${0%/*}" >"$dir/CMakeCache.txt"'
fake ctest 'if [[ -n ${FAKE_WIN64_FAILS:-} && $* == *win64* ]]; then
  printf "5/23 Test #5: marigold_peer_files ...***Failed  6.32 sec\n96%% tests passed, 1 tests failed out of 23\n"
  exit 8
fi
echo "100% tests passed, 0 tests failed out of 23"'
fake wine '[ "$1" != wineboot ] || { mkdir -p "$WINEPREFIX" && touch "$WINEPREFIX/system.reg"; }'
for f in wine64 wineserver i686-w64-mingw32-g++ x86_64-w64-mingw32-g++; do fake $f :; done
for f in i686-w64-mingw32-objdump x86_64-w64-mingw32-objdump; do fake $f 'echo "DLL Name: KERNEL32.dll"'; done

echo "== the test command: apt refuses srecord: exit 1 before building"
FAKE_MISSING="srecord" FAKE_REFUSE="srecord" run "$repo/scripts/test.sh"
[ $rc -eq 1 ] || fail "test.sh exited with $rc"
same "$scratch/err" "FAILED: apt-get could not install srecord: Unable to locate package srecord" "the failure"
grep -q "^cmake" "$FAKE_LOG" && fail "test.sh built after the failure"

echo "== the test command: wine32:i386 refused, fuzzing fails: the summary, then exit 1"
FAKE_MISSING=wine32:i386 FAKE_REFUSE=wine32:i386 FAKE_UPDATE_FAILS=2 run "$repo/scripts/test.sh"
[ $rc -eq 1 ] || fail "test.sh exited with $rc"
grep -c "^WARNING: apt-get update failed twice to fetch $index " "$scratch/err" | grep -qx 1 ||
  fail "not one warning about the index: $(cat "$scratch/err")"
why="32-bit build built and its DLL imports checked, not run: wine32 is not installed (apt-get install wine32:i386: $held)"
grep -qxF "Windows suite: 64-bit build tested (23 Wine tests passed); $why" "$scratch/out" ||
  fail "the Windows suite's line"
tail -n 7 "$scratch/out" >"$scratch/summary"
same "$scratch/summary" "== summary
passed   native suite (build/)
passed   real-driver suite under QEMU (kestrel.vm)
passed   sanitizer suite (build-asan/)
failed   fuzzing: exit 1 (see above)
passed   Windows 64-bit: 64-bit build tested (23 Wine tests passed)
skipped  Windows 32-bit: $why" "the summary"

echo "== the test command: a 64-bit Wine test fails: each build keeps its own result"
FAKE_MISSING=wine32:i386 FAKE_REFUSE=wine32:i386 FAKE_WIN64_FAILS=1 run "$repo/scripts/test.sh"
[ $rc -eq 1 ] || fail "test.sh exited with $rc"
tail -n 2 "$scratch/out" >"$scratch/summary"
same "$scratch/summary" "failed   Windows 64-bit: 1 of 23 Wine tests failed (see above)
skipped  Windows 32-bit: $why" "the summary after a failed Wine test"
echo "OK"
