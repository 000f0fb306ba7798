#!/usr/bin/env bash
# The release zip an integrator takes to site:
#   package.sh [--twin] [--bin DIR] [--out DIR]
# Builds the win32 tree (the product; --twin: the 64-bit test build) unless
# --bin names a folder of built programs, and writes
# build/package/SK5820-<version>-win32.zip (or -win64-twin.zip) holding
#   driver/SK5820.dll          the one file the host needs
#   commissioning/             the console with the driver and the stand-in
#                              host log KESTRA.dll (never for the host's
#                              folder), the simulator and its bundled model
#   docs/ (with docs/proof/: the figures and raw outputs proof.md links to),
#   README.md, CHANGELOG.md
#   SHA256SUMS                 of every file above
# and prints the zip's path.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
width=32 bin="" out=$root/build/package
while [ $# -gt 0 ]; do
  case "$1" in
    --twin) width=64; shift ;;
    --bin) bin=$2; shift 2 ;;
    --out) out=$2; shift 2 ;;
    *) echo "package.sh: unknown option $1" >&2; exit 2 ;;
  esac
done
version=$(sed -n 's/^#define SK_VERSION_TEXT "\(.*\)"/\1/p' host/version.h)
[ -n "$version" ] || { echo "package.sh: no version in host/version.h" >&2; exit 1; }
if [ -z "$bin" ]; then
  bash scripts/build.sh --target sk5820 --target kestra --target skconsole --target sksim "win$width" >/dev/null
  bin=$root/build/win$width/bin
fi
for f in SK5820.dll KESTRA.dll skconsole.exe sksim.exe; do
  [ -f "$bin/$f" ] || { echo "package.sh: $bin/$f is missing" >&2; exit 1; }
done

name=SK5820-$version-win$width
[ "$width" = 64 ] && name=$name-twin
stage=$(mktemp -d)
trap 'rm -rf "$stage"' EXIT
top=$stage/$name
mkdir -p "$top/driver" "$top/commissioning/models" "$top/docs"
cp "$bin/SK5820.dll" "$top/driver/"
cp "$bin/SK5820.dll" "$bin/KESTRA.dll" "$bin/skconsole.exe" "$bin/sksim.exe" "$top/commissioning/"
cp tools/sim/models/panel.json "$top/commissioning/models/"
cp docs/*.md "$top/docs/"
cp -r docs/proof "$top/docs/"  # the figures proof.md links to, with their raw outputs
cp README.md CHANGELOG.md "$top/"
(cd "$top" && find . -type f ! -name SHA256SUMS | sed 's|^\./||' | LC_ALL=C sort | xargs sha256sum >SHA256SUMS)
mkdir -p "$out"
rm -f "$out/$name.zip"
(cd "$stage" && python3 -m zipfile -c "$out/$name.zip" "$name")
echo "$out/$name.zip"
