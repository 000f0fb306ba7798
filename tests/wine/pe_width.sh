#!/usr/bin/env bash
# Sourced. sk_pe_width FILE prints 32 for a PE32 program or DLL, 64 for a
# PE32+ one, and fails for anything else: the width picks the Wine.
sk_pe_width() {
  local pe magic
  pe=$(od -An -tu4 -j60 -N4 "$1" 2>/dev/null | tr -d ' ')
  [ -n "$pe" ] || return 1
  magic=$(od -An -tu2 -j$((pe + 24)) -N2 "$1" 2>/dev/null | tr -d ' ')
  case "$magic" in
    267) echo 32 ;;  # 0x10b, PE32
    523) echo 64 ;;  # 0x20b, PE32+
    *) return 1 ;;
  esac
}
