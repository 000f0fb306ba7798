#!/usr/bin/env bash
# What this machine can run. Every entry point (setup, demo, tests) sources
# this file and decides by it, never by hand:
#   . scripts/capability.sh      sets the variables below, prints nothing
#   sk_capability_line           the one plain line of what runs and why
#   bash scripts/capability.sh   prints that line
#
#   SK_RUN32      1 when the kernel runs 32-bit x86 programs itself (32-bit
#                 Wine and -m32 tests run here), else 0
#   SK_RUN32_WHY  why not, when SK_RUN32=0
#   SK_WINE32     the 32-bit Wine loader, when it is installed and starts
#   SK_WINE64     the 64-bit Wine loader, when it is installed and starts
#   SK_QEMU       qemu-system-x86_64, when installed (the test VM)
#
# Safe to source under set -e. SK_PRETEND_NO32=1 makes the check answer as a
# machine whose kernel refuses 32-bit programs would, so that path can be
# tried on any machine.

sk_probe_run32() {
  # A 96-byte i386 ELF program that exits with 42 through int 0x80.
  local probe rc
  probe=$(mktemp /tmp/sk-i386probe.XXXXXX) || return 1
  printf '\177ELF\001\001\001\000\000\000\000\000\000\000\000\000''\002\000\003\000\001\000\000\000\124\200\004\010\064\000\000\000''\000\000\000\000\000\000\000\000\064\000\040\000\001\000\000\000''\000\000\000\000''\001\000\000\000\000\000\000\000\000\200\004\010\000\200\004\010''\140\000\000\000\140\000\000\000\005\000\000\000\000\020\000\000''\270\001\000\000\000\273\052\000\000\000\315\200' >"$probe"
  chmod +x "$probe"
  rc=0
  "$probe" 2>/dev/null || rc=$?
  rm -f "$probe"
  [ "$rc" -eq 42 ] && return 0
  [ "$rc" -ne 0 ] || rc=1  # ran, but not as the probe does
  return "$rc"
}

sk_capability() {
  SK_RUN32=0 SK_RUN32_WHY="" SK_WINE32="" SK_WINE64="" SK_QEMU=""
  local f rc
  if [ "${SK_PRETEND_NO32:-}" = 1 ]; then
    SK_RUN32_WHY="SK_PRETEND_NO32=1 pretends this kernel cannot run 32-bit programs"
  else
    for f in /proc/sys/fs/binfmt_misc/*; do
      [ -f "$f" ] || continue
      if grep -q '^enabled' "$f" 2>/dev/null &&
         grep -q '^magic 7f454c4601010100000000000000000002000300' "$f" 2>/dev/null; then
        SK_RUN32_WHY="an i386 binfmt handler ($(basename "$f")) takes 32-bit programs, and 32-bit Wine and -m32 tests do not run under it"
      fi
    done
    if [ -z "$SK_RUN32_WHY" ]; then
      rc=0
      sk_probe_run32 || rc=$?
      if [ "$rc" -eq 0 ]; then
        SK_RUN32=1
      elif [ "$rc" -eq 126 ]; then
        SK_RUN32_WHY="this kernel cannot run 32-bit programs (Exec format error)"
      else
        SK_RUN32_WHY="a 32-bit test program did not run (exit $rc)"
      fi
    fi
  fi
  if [ -x /usr/lib/wine/wine64 ] && /usr/lib/wine/wine64 --version >/dev/null 2>&1; then
    SK_WINE64=/usr/lib/wine/wine64
  fi
  if [ "$SK_RUN32" = 1 ] && [ -x /usr/lib/wine/wine ] && /usr/lib/wine/wine --version >/dev/null 2>&1; then
    SK_WINE32=/usr/lib/wine/wine
  fi
  SK_QEMU=$(command -v qemu-system-x86_64 || true)
  export SK_RUN32 SK_RUN32_WHY SK_WINE32 SK_WINE64 SK_QEMU
}

sk_capability_line() {
  local line
  if [ "$SK_RUN32" = 1 ]; then
    if [ -n "$SK_WINE32" ]; then
      line="this machine runs 32-bit programs: the 32-bit product's tests run here under 32-bit Wine"
    elif [ -n "$SK_QEMU" ]; then
      line="this machine runs 32-bit programs, but 32-bit Wine is missing or does not start: the 32-bit product's Windows tests run in the test VM"
    else
      line="this machine runs 32-bit programs, but 32-bit Wine is missing or does not start (bash scripts/setup.sh installs wine32:i386): the 32-bit product's Windows tests cannot run"
    fi
  else
    if [ -n "$SK_QEMU" ]; then
      line="$SK_RUN32_WHY: the 32-bit tests run in the test VM"
    else
      line="$SK_RUN32_WHY, and qemu-system-x86_64 is missing (bash scripts/setup.sh installs it): the 32-bit product's tests cannot run"
    fi
  fi
  if [ -n "$SK_WINE64" ]; then
    line="$line; the 64-bit twin runs here under 64-bit Wine"
  else
    line="$line; 64-bit Wine is missing or does not start (bash scripts/setup.sh installs wine64): the twin's Windows tests cannot run"
  fi
  echo "capability: $line"
}

# The build a run on this machine's own Wine measures: the 32-bit product
# where 32-bit programs and 32-bit Wine run, else the 64-bit twin. Sets
# SK_WIDTH (32 or 64) and SK_BUILD (what to call it); returns 1 when no Wine
# runs either.
sk_pick_build() {
  if [ "$SK_RUN32" = 1 ] && [ -n "$SK_WINE32" ]; then
    SK_WIDTH=32 SK_BUILD="the 32-bit product, run directly"
  elif [ -n "$SK_WINE64" ]; then
    SK_WIDTH=64 SK_BUILD="the 64-bit twin under 64-bit Wine (${SK_RUN32_WHY:-32-bit Wine is missing})"
  else
    return 1
  fi
}

sk_capability
if [ "${BASH_SOURCE[0]}" = "$0" ]; then
  sk_capability_line
fi
