# Sourced by the scripts that run 32-bit Windows programs under Wine:
# why_no_32bit prints nothing when Wine's 32-bit loader starts here, else
# why not. ASSUME_NO_32BIT=1 treats 32-bit programs as unable to run. When
# wine32 is missing because apt could not install it, apt's reason comes from
# the file that APT_SKIPPED names (see scripts/apt_missing.sh).
WINE32_LOADER=${WINE32_LOADER:-/usr/lib/wine/wine} # Debian's wine32

why_no_32bit() {
  local out apt_why
  if [ -n "${ASSUME_NO_32BIT:-}" ]; then
    echo "ASSUME_NO_32BIT is set"
  elif [ ! -e "$WINE32_LOADER" ]; then
    apt_why=$(sed -n 's/^wine32:i386: //p' "${APT_SKIPPED:-/dev/null}" 2>/dev/null | tail -n 1)
    if [ -n "$apt_why" ]; then
      echo "wine32 is not installed (apt-get install wine32:i386: $apt_why)"
    else
      echo "wine32 is not installed ($WINE32_LOADER)"
    fi
  elif ! out=$("$WINE32_LOADER" --version 2>&1 </dev/null); then
    echo "32-bit programs do not start here ($WINE32_LOADER --version: $(tail -n 1 <<<"$out" | sed 's/.*: //'))"
  fi
}
