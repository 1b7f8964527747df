#!/usr/bin/env bash
# Writes the export definitions of the msi.dll test double from the export table of Wine's builtin
# msi.dll: every export keeps its name and ordinal; ordinals 6, 94 and 177 are the double's own, every
# other one forwards by name to the real installer copied beside the double as wmsi.dll (the copy
# has the same names at the same ordinals, so each forward reaches the same entry point).
# The double's own entry points carry their stdcall decoration on x86 only (x64 has one convention).
# usage: gen-exports.sh BUILTIN_MSI_DLL OUT.def [OBJDUMP [x86|x64]]
set -euo pipefail
dll=$1 out=$2 objdump=${3:-i686-w64-mingw32-objdump} arch=${4:-x86}
case $arch in
  x86) at8=@8 at16=@16;;
  x64) at8="" at16="";;
  *) echo "gen-exports: x86 or x64, not $arch" >&2; exit 2;;
esac
table=$(mktemp)
trap 'rm -f "$table"' EXIT
"$objdump" -p "$dll" > "$table"
base=$(awk '/^Ordinal Base/{print $3; exit}' "$table")
{
  echo "; generated from $dll by gen-exports.sh"
  echo "LIBRARY msi.dll"
  echo "EXPORTS"
  sed -n '/\[Ordinal\/Name Pointer\] Table/,/^$/p' "$table" \
    | sed -n 's/^[[:space:]]*\[ *\([0-9]*\)\] \(.*\)$/\1 \2/p' \
    | awk -v base="$base" -v at8="$at8" -v at16="$at16" '{
        ordinal = $1 + base
        if (ordinal == 6) print "  " $2 "=DoubleAdvertiseProductW" at16 " @6"
        else if (ordinal == 177) print "  " $2 "=DoubleAdvertiseScriptW" at16 " @177"
        else if (ordinal == 94) print "  " $2 "=DoubleOpenPackageW" at8 " @94"
        else print "  " $2 "=wmsi." $2 " @" ordinal
      }'
} > "$out.tmp"
count=$(grep -c ' @' "$out.tmp")
[ "$count" -gt 200 ] || { echo "gen-exports: only $count exports read from $dll" >&2; exit 1; }
grep -q "=DoubleAdvertiseProductW$at16 @6\$" "$out.tmp" && grep -q "=DoubleAdvertiseScriptW$at16 @177\$" "$out.tmp" \
  || { echo "gen-exports: ordinals 6 and 177 not found in $dll" >&2; exit 1; }
mv "$out.tmp" "$out"
