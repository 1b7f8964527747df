#!/usr/bin/env bash
# Builds a real MSI package with the standard properties and, unless --no-table, an NVUpdate table.
# usage: build-package.sh --out FILE --product-code GUID --upgrade-code GUID --version VERSION
#                         [--name NAME] [--row 'UPGRADECODE|MIN|MAX|ATTRIBUTES']... [--no-table]
# A row's fields may be empty (MIN or MAX empty: an empty text; ATTRIBUTES empty: null). Without any
# --row the table is created empty. GUIDs are braced, upper case.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
out="" pc="" uc="" ver="" name="Norvo Test Product" table=1 rows=()
while [ $# -gt 0 ]; do
  case $1 in
    --out) out=$2; shift 2;;
    --product-code) pc=$2; shift 2;;
    --upgrade-code) uc=$2; shift 2;;
    --version) ver=$2; shift 2;;
    --name) name=$2; shift 2;;
    --row) rows+=("$2"); shift 2;;
    --no-table) table=0; shift;;
    *) echo "build-package: unknown option $1" >&2; exit 2;;
  esac
done
[ -n "$out" ] && [ -n "$pc" ] && [ -n "$uc" ] && [ -n "$ver" ] || { sed -n 2,6p "$0" >&2; exit 2; }
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cp "$here/product.wxs" "$work/"
echo "payload of $name $ver" > "$work/payload.txt"
# Each product installs into its own folder with its own component, so products never share one.
folder="NorvoTest_$(printf '%s' "$pc" | tr -dc '0-9A-Fa-f' | cut -c1-12)"
component="{$(printf '%s' "$pc" | tr -d '{}' | cut -c1-8)-C0C0-4C0C-8C0C-$(printf '%s' "$pc" | tr -d '{}-' | cut -c21-32)}"
( cd "$work" && wixl -D ProductCode="$pc" -D UpgradeCode="$uc" -D Version="$ver" -D Name="$name" \
    -D Folder="$folder" -D ComponentCode="$component" -o package.msi product.wxs )
if [ "$table" = 1 ]; then
  # IDT: column names, column types (S = nullable text, I4 = nullable integer), table and key.
  {
    printf 'Id\tUpgradeCode\tVersionMin\tVersionMax\tAttributes\r\n'
    printf 's8\tS38\tS72\tS72\tI4\r\n'
    printf 'NVUpdate\tId\r\n'
    n=0
    for row in "${rows[@]+"${rows[@]}"}"; do
      n=$((n + 1))
      IFS='|' read -r rc rmin rmax rattr <<<"$row"
      printf 'r%d\t%s\t%s\t%s\t%s\r\n' "$n" "$rc" "$rmin" "$rmax" "$rattr"
    done
  } > "$work/NVUpdate.idt"
  msibuild "$work/package.msi" -i "$work/NVUpdate.idt"
fi
mkdir -p "$(dirname "$out")"
mv "$work/package.msi" "$out"
