#!/usr/bin/env bash
# marigold.exe under Wine where Windows differs from Linux: -x replaces an
# output file that exists (rename there refuses one), takes paths with
# backslashes and drive letters and names its S0 header without the folder;
# -w patches a record file in place through such a path.
#   marigold_wine.sh MARIGOLD_EXE GOLDEN_DIR WORK
# WINE and the prefix's settings come from the environment (see CMakeLists.txt).
set -euo pipefail
exe=$1 golden=$2 work=$3
rm -rf "$work" && mkdir -p "$work/sub" && cd "$work"
fail() { echo "FAILED: $*" >&2; exit 1; }
run() { "$WINE" "$exe" "$@" </dev/null 2>err.txt; }

cp "$golden/convert.hex" sub/
cp "$golden/image.bin" sub/out.bin # there already: replaced
run -x 'sub\convert.hex' 'sub\out.s37' >s37.txt || fail "-x to sub\\out.s37 exited with $?"
cmp -s sub/out.s37 "$golden/convert.s37" || fail "sub\\out.s37 differs from the Linux build's"
[ ! -s s37.txt ] && [ ! -s err.txt ] || fail "-x to .s37 printed: $(cat s37.txt err.txt)"
run -x 'sub\convert.hex' 'sub\out.bin' >bin.txt || fail "-x over sub\\out.bin exited with $?"
cmp -s sub/out.bin "$golden/convert.bin" || fail "sub\\out.bin was not replaced by the image"
sed 's/$/\r/' "$golden/convert_bin.out" | cmp -s - bin.txt || fail "-x to .bin printed: $(cat bin.txt)"

# The same folder by its drive letter: Wine's Z: is the Linux root.
here=$(pwd -P | tr / '\\')
run -w "Z:$here\\sub\\convert.hex" >fix.txt || fail "-w through Z: exited with $?"
cmp -s sub/convert.hex "$golden/convert_fixed.hex" || fail "-w patched sub\\convert.hex otherwise"
sed 's/$/\r/' "$golden/convert_fix.out" | cmp -s - fix.txt || fail "-w printed: $(cat fix.txt)"
leftover=$(ls sub | grep -v -x -e convert.hex -e out.s37 -e out.bin || true)
[ -z "$leftover" ] || fail "files left behind: $leftover"
echo "marigold.exe: -x over an existing file, backslash and drive-letter paths, -w in place"
