#!/usr/bin/env bash
# The release zip as an integrator receives it: made from the built tree,
# unpacked, its checksums verified, and the driver loaded from it by the
# console under Wine (describe, a read on a channel without a line).
#   package_test.sh PREFIX BIN_DIR
set -u
prefix=$1 bin=$2
root=$(cd "$(dirname "$0")/../../.." && pwd)
here=$root/tests/wine
. "$here/pe_width.sh"
width=$(sk_pe_width "$bin/skconsole.exe") || { echo "FAIL no console in $bin"; exit 1; }
. "$here/wine_env.sh" "$prefix" || exit 1
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failed=0
check() {  # check NAME CONDITION-EXIT-CODE
  if [ "$2" -eq 0 ]; then echo "ok   $1"; else failed=$((failed + 1)); echo "FAIL $1"; fi
}
twin=""
[ "$width" = 64 ] && twin=--twin
zip=$(bash "$root/scripts/package.sh" $twin --bin "$bin" --out "$work") || { echo "FAIL package.sh"; exit 1; }
check "package.sh names its zip" $([ -f "$zip" ]; echo $?)
(cd "$work" && python3 -m zipfile -e "$zip" unpacked)
top=$(echo "$work"/unpacked/SK5820-*)
check "the zip holds one folder named by the version" $([ -d "$top" ] && [ "$(ls "$work/unpacked" | wc -l)" -eq 1 ]; echo $?)
check "every file matches SHA256SUMS" $(cd "$top" && sha256sum --quiet -c SHA256SUMS; echo $?)
check "the host's one file and the commissioning kit are there" \
  $([ "$(ls "$top/driver")" = "SK5820.dll" ] && [ -f "$top/commissioning/KESTRA.dll" ] && [ -f "$top/commissioning/models/panel.json" ] \
    && [ -f "$top/docs/troubleshooting.md" ] && [ -f "$top/CHANGELOG.md" ]; echo $?)
(cd "$top/commissioning" && wine skconsole.exe describe >"$work/describe" 2>&1)
rc=$?
check "the unpacked console loads the unpacked driver" $([ $rc -eq 0 ] && grep -q "5820 IntelliKnight fire system" "$work/describe"; echo $?)
(cd "$top/commissioning" && wine skconsole.exe --port NULLDEV read 01_ >"$work/read" 2>&1)
rc=$?
check "a read on a channel without a line answers" $([ $rc -eq 0 ] && grep -q "ColdStart() end OK" "$work/read"; echo $?)
[ "$failed" -eq 0 ] || { cat "$work/describe" "$work/read"; exit 1; }
