#!/usr/bin/env bash
# Checks the packages that scripts/package.sh left in dist/:
# - the Debian package: lintian (no errors), its fields, and, as root, a
#   dpkg -i, the installed programs, man page and completion, then a dpkg -r
#   that leaves nothing behind;
# - the Windows zip: both .exe files and the documents, and both programs run
#   under Wine (in a prefix inside build-zip/) when Wine can run them; when
#   not, it says why (as scripts/test_windows.sh does) and passes.
set -euo pipefail
cd "$(dirname "$0")/.."
fail() { echo "FAILED: $*" >&2; exit 1; }
deb=$(ls dist/*.deb)
zip=$(ls dist/*-win32.zip)
package=$(dpkg-deb -f "$deb" Package)
golden=tests/marigold/golden

echo "== lintian $deb"
# lintian leaves its caches in TMPDIR: a folder of its own, removed after.
lintian_tmp=$(mktemp -d)
rc=0
TMPDIR=$lintian_tmp lintian --fail-on error "$deb" || rc=$?
rm -rf "$lintian_tmp"
[ "$rc" -eq 0 ] || fail "lintian found errors in $deb"
[ "$(dpkg-deb -f "$deb" Architecture)" = "$(dpkg --print-architecture)" ] || fail "wrong architecture"
dpkg-deb -f "$deb" Depends | grep -q '^libc6' || fail "no shared-library dependencies"
[ -n "$(dpkg-deb -f "$deb" Section)" ] || fail "no section"
# The README's guides, beside it as its links expect.
deb_files=$(dpkg-deb -c "$deb")
for f in docs/*.md; do
  grep -q "/usr/share/doc/$package/$f\$" <<<"$deb_files" || fail "$f is not in $deb"
done

if [ "$(id -u)" -eq 0 ]; then
  echo "== dpkg -i $deb"
  if dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "ok installed"; then
    fail "$package is installed already: remove it first"
  fi
  trap 'dpkg -r "$package" >/dev/null 2>&1 || true' EXIT
  # (slim images leave out man pages and docs unless told otherwise)
  dpkg -i --path-include="/usr/share/man/*" --path-include="/usr/share/doc/$package/*" "$deb" >/dev/null
  [ "$(command -v marigold)" = /usr/bin/marigold ] || fail "marigold is not /usr/bin/marigold"
  marigold examples/firmware.hex >/dev/null || fail "marigold examples/firmware.hex exited with $?"
  marigold "$golden/worked.hex" | cmp - "$golden/worked.out" || fail "the installed marigold's dump differs"
  # (the usage bytes in the C locale; a UTF-8 locale gets the text in UTF-8)
  LC_ALL=C kestrel -h </dev/null | cmp - tests/kestrel/golden/usage.out || fail "kestrel -h: not the usage bytes"
  [ "$(man -w kestrel)" = /usr/share/man/man1/kestrel.1.gz ] || fail "man -w kestrel: $(man -w kestrel 2>&1)"
  [ "$(man -w marigold)" = /usr/share/man/man1/marigold.1.gz ] || fail "man -w marigold"
  for c in kestrel marigold; do
    f=/usr/share/bash-completion/completions/$c
    bash --norc -c "source $f && complete -p $c" >/dev/null || fail "$f does not load"
  done
  files=$(dpkg -L "$package" | while read -r f; do [ -d "$f" ] || echo "$f"; done)
  dpkg -r "$package" >/dev/null
  trap - EXIT
  for f in $files; do
    [ ! -e "$f" ] || fail "$f is left after dpkg -r"
  done
  [ ! -e "/usr/share/doc/$package" ] || fail "/usr/share/doc/$package is left after dpkg -r"
  status=$(dpkg-query -W -f='${Status}' "$package" 2>/dev/null || true)
  [ -z "$status" ] || [[ $status == *not-installed ]] || fail "dpkg still lists $package: $status"
  echo "installed, used and removed: $(echo "$files" | wc -l) files, none left"
else
  echo "SKIPPED: dpkg -i and -r of $deb (needs root)"
fi

echo "== $zip"
listing=$(unzip -l "$zip")
echo "$listing"
guides=$(cd docs && ls *.md | sed 's|^|docs/|')
for f in kestrel.exe marigold.exe README.md kestrel.txt marigold.txt $guides; do
  grep -q "/$f\$" <<<"$listing" || fail "$f is not in the zip"
done
work=build-zip/zipcheck
rm -rf "$work"
mkdir -p "$work"
unzip -q "$zip" -d "$work"
dir=$(cd "$work"/*/ && pwd)
for exe in kestrel marigold; do
  file "$dir/$exe.exe" | grep -q 'PE32 executable (console) Intel 80386' ||
    fail "$exe.exe: $(file -b "$dir/$exe.exe")"
done
# The zip's programs are 32-bit: they run where Wine's 32-bit loader starts
# (some 64-bit kernels run no 32-bit program at all; apt may have been unable
# to install wine32).
. scripts/wine32.sh
no32=$(why_no_32bit)
command -v wine >/dev/null || no32="wine is not installed (bash scripts/install_windows_tools.sh)"
if [ -n "$no32" ]; then
  echo "SKIPPED: running the 32-bit .exe files: $no32"
  echo "OK: both packages"
  exit 0
fi
export WINEPREFIX=$PWD/build-zip/wineprefix WINEARCH=win32 WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
unset DISPLAY
if [ ! -f "$WINEPREFIX/system.reg" ]; then
  if ! wineboot -i >build-zip/wineboot.log 2>&1 || ! wineserver -w; then
    tail -n 15 build-zip/wineboot.log >&2
    fail "wineboot could not create $WINEPREFIX"
  fi
fi
# The server's socket folder in /tmp is removed with the server.
end_server() {
  wineserver -k >/dev/null 2>&1 || true
  wineserver -w >/dev/null 2>&1 || true
  local dir
  dir=$(cat "$WINEPREFIX/wineserver" 2>/dev/null || true)
  if [[ $dir =~ ^wine-[A-Za-z0-9]+$ ]]; then rm -rf "/tmp/$dir"; fi
}
trap end_server EXIT
# Console text comes with CR LF line ends.
(cd "$dir" && wine marigold.exe examples/firmware.hex </dev/null) >"$work/firmware.out"
marigold_native=build-deb/marigold/marigold
"$marigold_native" examples/firmware.hex | sed 's/$/\r/' | cmp - "$work/firmware.out" ||
  fail "marigold.exe dumps the example differently"
(cd "$dir" && wine kestrel.exe -h </dev/null) >"$work/usage.out"
sed 's/$/\r/' tests/kestrel/golden/usage.out | cmp - "$work/usage.out" || fail "kestrel.exe -h: not the usage bytes"
rm -rf "$work"
echo "OK: both packages"
