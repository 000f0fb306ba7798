#!/usr/bin/env bash
# Reads the export and import tables of the built driver and fails on
# anything but: exports exactly VpiMain; imports only KERNEL32.dll,
# msvcrt.dll and KESTRA.dll (err alone from KESTRA.dll); a version resource
# whose FileDescription is the driver name and whose version is the one
# host/version.h gives.
#   check_pe.sh DLL [32|64]
# 32 (the product, the default): a PE32 i386 file; 64: the twin, PE32+ x86-64.
# Reads the file only: runs on every machine.
set -u
dll=$1 width=${2:-32}
case "$width" in
  32) objdump=i686-w64-mingw32-objdump want="file format pei-i386" ;;
  64) objdump=x86_64-w64-mingw32-objdump want="file format pei-x86-64" ;;
  *) echo "check_pe.sh: width is 32 or 64, not $width"; exit 2 ;;
esac
dump=$($objdump -p "$dll") || { echo "objdump failed on $dll"; exit 1; }
fail=0

format=$($objdump -f "$dll" | grep -o 'file format [a-z0-9-]*')
[ "$format" = "$want" ] || { echo "FAIL: $dll: '$format', not '$want'"; fail=1; }

exports=$(printf '%s\n' "$dump" | awk '/\[Ordinal\/Name Pointer\] Table/{on=1; next} on && /^[ \t]*\[/{print $NF; next} on && !/^[ \t]*\[/{on=0}')
if [ "$exports" != "VpiMain" ]; then
  echo "FAIL: exports are not exactly VpiMain:"; printf '  %s\n' $exports; fail=1
fi

dlls=$(printf '%s\n' "$dump" | awk '/DLL Name:/{print $3}' | sort -u | tr '\n' ' ')
for d in $dlls; do
  case "$d" in
    KERNEL32.dll|msvcrt.dll|KESTRA.dll) ;;
    *) echo "FAIL: unexpected import library $d"; fail=1 ;;
  esac
done
printf '%s\n' "$dlls" | grep -q KESTRA.dll || { echo "FAIL: KESTRA.dll is not imported"; fail=1; }
kestra=$(printf '%s\n' "$dump" | awk '/DLL Name: KESTRA.dll/{on=1; next} on && /DLL Name:/{on=0} on && /^[ \t]+[0-9a-f]+[ \t]+[0-9]+[ \t]+[A-Za-z_][^ \t]*$/{print $3}')
if [ "$kestra" != "err" ]; then echo "FAIL: KESTRA.dll imports are not exactly err: $kestra"; fail=1; fi

# The version resource: strings are UTF-16 in the file.
strings -el "$dll" | grep -qx '5820 IntelliKnight fire system' || { echo "FAIL: no FileDescription"; fail=1; }
version=$(sed -n 's/^#define SK_VERSION_TEXT "\(.*\)"/\1/p' "$(dirname "$0")/../../../host/version.h")
[ -n "$version" ] || { echo "FAIL: no SK_VERSION_TEXT in host/version.h"; fail=1; }
strings -el "$dll" | grep -qxF "$version" || { echo "FAIL: no FileVersion $version"; fail=1; }

if [ $fail -eq 0 ]; then
  echo "PE tables ok: $format, exports [$exports], imports [$dlls], KESTRA.dll: $kestra"
fi
exit $fail
