#!/usr/bin/env bash
# Prepare step of the check tool's suite: the test kit's root trusted, family F installed at 9.0.0
# and family G at 9.10.0 (real installs), the msi.dll test double selected for the service (Wine's
# installer cannot advertise) and for the tool (whose every advertise call it would record), and
# the suite's signed packages, one examination case each:
#   rows        F 9.0.0, own rows: at the lower bound, at the upper bound, not needed, eligible;
#               a row of family H after them that is never examined            -> 0
#   other       F 11.0.0, own row above its upper bound; other rows: H not installed, G eligible
#               (9.10.0 above 9.9.0 once normalised); signed by Varda          -> 0
#   not-needed  F 9.0.0, own row not needed; a matching G row never examined   -> 28406
#   none        F 11.0.0, own row at its lower bound, H not installed          -> 28402
#   no-table    F 11.0.0 without an NVUpdate table                             -> 28402
#   odd         F 9.0.0, a VersionMin with a double quote and a backslash      -> 28402
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
suite=$1
run=$(cd "$suite/../.." && pwd)
build=$(cd "$run/.." && pwd)
kit=$run/testkit
. "$kit/kit.env"
. "$root/tools/lib/wine-env.sh"

"$root/tests/kit/trust-root.sh" add "$kit/pki/root.crt"
"$root/tests/doubles/msi/install.sh" --dll "$build/tests/doubles/msi/msi.dll" --log 'C:\msidouble-calls.log' \
  "$WINEPREFIX" nvupdaterservice.exe nvcheck.exe

for product in f-9.0.0 g-9.10.0; do
  timeout 120 "$NV_WINE" msiexec /i "$(winpath "$kit/packages/$product.msi")" /qn >/dev/null 2>&1
done

pkgs=$suite/packages
mkdir -p "$pkgs"
code() { printf '{7C000000-0000-4000-8000-%012d}' "$1"; }
make() {
  local name=$1 who=$2 n=$3 version=$4; shift 4
  local args=()
  for r in "$@"; do
    if [ "$r" = --no-table ]; then args+=(--no-table); else args+=(--row "$r"); fi
  done
  "$root/tests/kit/build-package.sh" --out "$pkgs/$name-unsigned.msi" --product-code "$(code "$n")" \
    --upgrade-code "$UC_F" --version "$version" --name "Norvo Check $name" "${args[@]+"${args[@]}"}"
  "$root/tests/kit/sign-package.sh" "$kit/pki" "$who" "$pkgs/$name-unsigned.msi" "$pkgs/$name.msi"
  rm -f "$pkgs/$name-unsigned.msi"
}
make rows norvo 1 9.0.0 "$UC_F|9.0.0|0|0" "$UC_F|0|9.0.0|0" "$UC_F|0|0|1" "$UC_F|8.0.0|10.0.0|" "$UC_H|0|0|0"
make other varda 2 11.0.0 "$UC_F|0|1.0.0|0" "$UC_H|0|0|0" "$UC_G|9.9.0|0|0"
make not-needed norvo 3 9.0.0 "$UC_F|0|0|1" "$UC_G|0|0|0"
make none norvo 4 11.0.0 "$UC_F|9.0.0|0|0" "$UC_H|0|0|0"
make no-table norvo 5 11.0.0 --no-table
make odd norvo 6 9.0.0 "$UC_F|9\"\\.0|0|0"

# Transform files beside the packages: one unsigned, one signed by the accepted publisher.
cp "$kit/packages/unsigned.msi" "$pkgs/unsigned.mst"
"$root/tests/kit/sign-package.sh" "$kit/pki" norvo "$pkgs/unsigned.mst" "$pkgs/signed.mst"
