# Pieces the scripts share, in one place. Sourced from the project folder:
#   . scripts/lib.sh
#   sk_wine_ctest WIDTH CTEST-ARGS…  ctest with the Windows tests of the
#                    win<WIDTH> Wine prefix (build/wineprefix-win<WIDTH>): one
#                    Wine server for the whole run, detached from every
#                    test's output, ended afterwards; a filter that selects
#                    no test is a failure (--no-tests=error)
#   sk_machine_line  the machine in one line: cores, processor, memory,
#                    kernel, Wine, system, load average
# Needs scripts/capability.sh sourced first (for the Wine version).

sk_root=${sk_root:-$PWD}

sk_wine_ctest() {
  local width=$1
  shift
  (
    . "$sk_root/tests/wine/wine_env.sh" "$sk_root/build/wineprefix-win$width" "win$width" || exit 1
    trap 'wineserver -k >/dev/null 2>&1 || true' EXIT
    sk_wine_up
    ctest --no-tests=error "$@"
  )
}

sk_machine_line() {
  local wine=echo
  [ -z "${SK_WINE32:-}" ] || wine=$SK_WINE32
  [ -n "${SK_WINE32:-}" ] || [ -z "${SK_WINE64:-}" ] || wine=$SK_WINE64
  echo "$(nproc) cores ($(lscpu | sed -n 's/^Model name: *//p')), $(free -g | awk '/^Mem:/ {print $2}') GB RAM, Linux $(uname -r), $("$wine" --version), $(. /etc/os-release && echo "$PRETTY_NAME"), load average $(cut -d' ' -f1-3 /proc/loadavg)"
}
