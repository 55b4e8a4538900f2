#!/usr/bin/env bash
# Installs the build into a scratch DESTDIR and uses what was installed: both
# programs, the man pages and the bash completion.
# usage: check_install.sh BUILD SOURCE SCRATCH PACKAGE VERSION
set -euo pipefail
build=$1 src=$2 scratch=$3 package=$4 version=$5
fail() { echo "FAILED: $*" >&2; exit 1; }
rm -rf "$scratch"
mkdir -p "$scratch"
scratch=$(cd "$scratch" && pwd) build=$(cd "$build" && pwd) src=$(cd "$src" && pwd)
trap 'rm -rf "$scratch"' EXIT

DESTDIR=$scratch/root cmake --install "$build" --prefix /opt/fw >/dev/null
root=$scratch/root/opt/fw
doc=share/doc/$package
for f in bin/kestrel bin/marigold share/man/man1/kestrel.1.gz share/man/man1/marigold.1.gz \
         $doc/README.md $doc/examples/firmware.hex $doc/examples/image.bin \
         share/bash-completion/completions/kestrel share/bash-completion/completions/marigold; do
  [ -f "$root/$f" ] || fail "$f is not installed"
done
# The guides beside the README, and every link between them lands on an
# installed file (links into the source tree, ../man/, are left out).
for f in "$src"/docs/*.md; do
  [ -f "$root/$doc/docs/${f##*/}" ] || fail "docs/${f##*/} is not installed"
done
for page in "$root/$doc/README.md" "$root/$doc"/docs/*.md; do
  for link in $(grep -o '](\([a-z]*/\)\?[a-z_]*\.md\(#[a-z0-9-]*\)\?)' "$page" | sed 's/^](//; s/[#)].*//'); do
    [ -f "$(dirname "$page")/$link" ] || fail "${page#$root/} links to $link, which is not installed"
  done
done
# relative destinations: everything lands under the prefix
outside=$(cd "$scratch/root" && find . ! -type d ! -path './opt/fw/*')
[ -z "$outside" ] || fail "installed outside the prefix: $outside"

echo "== the installed programs"
"$root/bin/marigold" "$src/tests/marigold/golden/worked.hex" >"$scratch/worked.out"
cmp "$scratch/worked.out" "$src/tests/marigold/golden/worked.out" || fail "marigold's dump differs from the golden file"
cmp "$root/$doc/examples/firmware.hex" "$src/examples/firmware.hex" || fail "the installed example differs"
"$root/bin/marigold" "$root/$doc/examples/firmware.hex" >"$scratch/firmware.out"
"$build/marigold/marigold" "$src/examples/firmware.hex" | cmp - "$scratch/firmware.out" ||
  fail "the installed marigold dumps the example differently"
# (the usage bytes in the C locale; a UTF-8 locale gets the text in UTF-8)
LC_ALL=C "$root/bin/kestrel" -h </dev/null >"$scratch/usage.out" || fail "kestrel -h exited with $?"
cmp "$scratch/usage.out" "$src/tests/kestrel/golden/usage.out" || fail "kestrel -h: not the usage bytes"

echo "== the man pages"
for page in kestrel marigold; do
  gz=$root/share/man/man1/$page.1.gz
  gzip -t "$gz" || fail "$page.1.gz is no gzip file"
  if command -v man >/dev/null; then
    MANWIDTH=80 man -l "$gz" >"$scratch/$page.txt" 2>"$scratch/$page.err" </dev/null
  else
    gzip -dc "$gz" | groff -man -Tutf8 >"$scratch/$page.txt" 2>"$scratch/$page.err"
  fi
  [ ! -s "$scratch/$page.err" ] || fail "$page.1 renders with messages: $(cat "$scratch/$page.err")"
  upper=$(echo "$page" | tr a-z A-Z)
  for want in "$upper(1)" "SYNOPSIS" "OPTIONS" "EXIT STATUS" "EXAMPLES" "SEE ALSO" "$page $version"; do
    grep -qF "$want" "$scratch/$page.txt" || fail "$page.1 renders without \"$want\""
  done
done

# marigold's EXAMPLES, run with the installed program and example files
python3 "$src/tests/package/man_examples.py" "$root/share/man/man1/marigold.1.gz" "$root/bin" \
  "$root/$doc/examples" "$scratch/examples"

echo "== the bash completion"
# A device folder with COM33 and COM66 (links to a character device), a node
# that is no device, and a fake kestrel that must never run: completing must
# not open ports, and an older kestrel would take -L for a terminal.
dev=$scratch/dev bin=$scratch/bin
mkdir -p "$dev" "$bin" "$scratch/files/sub"
ln -s /dev/null "$dev/ttyUSB0"
ln -s /dev/null "$dev/ttyACM1"
: >"$dev/ttyUSB5"
printf '#!/bin/sh\ntouch "%s/ran"\n' "$scratch" >"$bin/kestrel"
chmod +x "$bin/kestrel"
: >"$scratch/files/a.hex"; : >"$scratch/files/b.S19"; : >"$scratch/files/c.txt"

complete_words() { # SCRIPT WORD... : prints the offers for the last word
  local script=$1; shift
  (cd "$scratch/files" && PATH=$bin:$PATH KESTREL_COMPLETION_DEV_DIR=$dev bash --norc --noprofile -c '
    source "$0" || exit 1
    COMP_WORDS=("$@"); COMP_CWORD=$((${#COMP_WORDS[@]} - 1)); COMPREPLY=()
    "$(complete -p "$1" | sed "s/.*-F \([^ ]*\) .*/\1/")"
    printf "%s\n" "${COMPREPLY[@]}" | sort' "$script" "$@" 2>&1)
}
expect() { # WHAT GOT WANT
  [ "$2" = "$3" ] || fail "completion of $1: got [$(echo $2)], want [$(echo $3)]"
}
comp=$root/share/bash-completion/completions
expect "kestrel -c" "$(complete_words "$comp/kestrel" kestrel -c)" $'-c33\n-c66'
expect "kestrel -c6" "$(complete_words "$comp/kestrel" kestrel -e -c6)" '-c66'
[ ! -e "$scratch/ran" ] || fail "completing -c ran kestrel"
expect "kestrel -cr" "$(complete_words "$comp/kestrel" kestrel -cr)" '-crfc2217://'
expect "kestrel -ctc" "$(complete_words "$comp/kestrel" kestrel -e -ctc)" '-ctcp://'
expect "kestrel -b115" "$(complete_words "$comp/kestrel" kestrel -b115)" '-b115200'
expect "kestrel -ua" "$(complete_words "$comp/kestrel" kestrel -ua)" '-ua.hex'
expect "kestrel -c3 x" "$(complete_words "$comp/kestrel" kestrel -c33 x '')" ''
expect "kestrel --" "$(complete_words "$comp/kestrel" kestrel -T --)" $'--help\n--version'
expect "kestrel -" "$(complete_words "$comp/kestrel" kestrel -)" "$(printf -- "%s\n" --help --version -E -F -L -S -T -U -b -c -d -e -f -h -k -l -m -p -r -s -t -u -w -x | sort)"
expect "kestrel -m7" "$(complete_words "$comp/kestrel" kestrel -m7)" "$(printf -- "%s\n" -m7E1 -m7E2 -m7N1 -m7N2 -m7O1 -m7O2 | sort)"
expect "kestrel -f" "$(complete_words "$comp/kestrel" kestrel -c33 -f)" $'-fh\n-fn\n-fs'
expect "kestrel -r x" "$(complete_words "$comp/kestrel" kestrel -r dtr=0 '')" "$(printf -- "%s\n" --help --version -E -F -L -S -T -U -b -c -d -e -f -h -k -l -m -p -r -s -t -u -w -x | sort)"
expect "marigold" "$(complete_words "$comp/marigold" marigold -b '')" $'a.hex\nb.S19\nsub'
expect "marigold -" "$(complete_words "$comp/marigold" marigold -)" "$(printf -- "%s\n" --help --version -F -K -R -b -c -d -f -i -w -x | sort)"
expect "marigold -x a b" "$(complete_words "$comp/marigold" marigold -x a.hex b.S19 '')" $'a.hex\nb.S19\nsub'

# A kestrel with the detailed list (-L): its COM column is used.
printf '#!/bin/sh\n# no serial ports\n[ "$1" = -L ] && printf "COM40  /dev/ttyUSB7  usb\\n-      /dev/ttyXRUSB0\\n"\n' >"$bin/kestrel"
expect "kestrel -c with -L" "$(complete_words "$comp/kestrel" kestrel -c)" '-c40'
echo "OK"
