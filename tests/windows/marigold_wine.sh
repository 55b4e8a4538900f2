#!/usr/bin/env bash
# marigold.exe under Wine where Windows differs from Linux: -x replaces an
# output file that exists (rename there refuses one), takes paths with
# backslashes and drive letters and names its S0 header without the folder;
# -w patches a record file in place through such a path; several inputs,
# a .bin placed by @ADDR, -F, -R and -d through such paths, and a name with
# an '@' that is no place.
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
# Several inputs: a record file and a raw image placed after it.
cp "$golden/convert.hex" "$golden/image.bin" sub/
run -x 'sub\convert.hex' "Z:$here\\sub\\image.bin@08000100" 'sub\merged.hex' >merge.txt ||
  fail "-x of two inputs exited with $?"
[ ! -s merge.txt ] && [ ! -s err.txt ] || fail "-x of two inputs printed: $(cat merge.txt err.txt)"
if command -v srec_cmp >/dev/null; then
  srec_cat sub/convert.hex -intel sub/image.bin -binary -offset 0x08000100 -o expected.hex -intel
  srec_cmp sub/merged.hex -intel expected.hex -intel || fail "sub\merged.hex differs from srec_cat's merge"
fi
run -d 'sub\merged.hex' 'sub\convert.hex' >diff.txt && fail "-d of different images exited with 0"
tail -n 1 diff.txt | cmp -s - <(printf 'differ: 0 bytes, only in sub\\merged.hex: 72 bytes, only in sub\\convert.hex: 0 bytes\r\n') ||
  fail "-d printed: $(cat diff.txt)"
run -x -Fff -R08000000-0800ffff 'sub\merged.hex' 'sub\flash.bin' >flash.txt || fail "-x -F -R exited with $?"
[ "$(stat -c %s sub/flash.bin)" = 65536 ] || fail "sub\flash.bin is not 64 KiB"
run -d 'sub\flash.bin@08000000' 'sub\merged.hex' >diff.txt && fail "-d of the filled image exited with 0"
cp sub/convert.hex 'sub/fw@v2.hex'
run -d 'sub\fw@v2.hex' 'sub\convert.hex' >diff.txt || fail "-d of a name with @: $(cat diff.txt err.txt)"
run -x 'sub\convert.hex' 'sub\fw@v2.hex' 'sub\overlap.hex' >diff.txt && fail "an overlap was not refused"
grep -q 'overlap at 08000000-08000027' err.txt || fail "the overlap's message: $(cat err.txt)"
rm sub/flash.bin sub/merged.hex sub/image.bin 'sub/fw@v2.hex'

leftover=$(ls -A sub | grep -v -x -e convert.hex -e out.s37 -e out.bin || true)
[ -z "$leftover" ] || fail "files left behind: $leftover"
echo "marigold.exe: -x over an existing file, backslash and drive-letter paths, -w in place, several inputs, -F, -R, -d"
