# Pieces the scripts share, in one place. Sourced from the project folder:
#   . scripts/lib.sh
#   sk_wine_ctest WIDTH CTEST-ARGS…  ctest with the Windows tests of the
#                    win<WIDTH> Wine prefix (build/wineprefix-win<WIDTH>): one
#                    Wine server for the whole run, detached from every
#                    test's output, ended afterwards; a filter that selects
#                    no test is a failure (--no-tests=error)
#   sk_machine_line  the machine in one line: cores, processor, memory,
#                    kernel, Wine, system, load average
#   sk_pick_run SCRIPT VM  SK_WIDTH and SK_BUILD for a run: the 32-bit
#                    product in the test VM when VM is 1, else as
#                    sk_pick_build decides; says why and fails when there
#                    is nothing to run it on
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

sk_pick_run() {
  local script=$1 vm=$2
  if [ "$vm" = 1 ]; then
    [ -n "$SK_QEMU" ] || { echo "$script: --vm needs qemu-system-x86_64 (bash scripts/setup.sh installs it)" >&2; return 1; }
    SK_WIDTH=32 SK_BUILD="the 32-bit product in the test VM (qemu TCG, 2 vCPUs, 3 GB)"
  else
    sk_pick_build || { echo "$script: no Wine to run on: $(sk_capability_line)" >&2; return 1; }
  fi
}
