#!/usr/bin/env bash
# Makes the standard test kit in DIR: a PKI (mkpki.sh) and the packages the suites use. Nothing of it
# is committed; the `testkit` CTest fixture runs this once per test run into build/testrun/testkit.
# The product families and codes are listed in README.md and in DIR/kit.env.
# usage: make-kit.sh DIR
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
dir=${1:?usage: make-kit.sh DIR}
rm -rf "$dir"
mkdir -p "$dir/packages"
pkgs=$dir/packages

# Families (upgrade codes): F and G are installed by the suites; H never is.
UC_F='{6F1A0000-1111-4111-8111-00000000000F}'
UC_G='{6F1A0000-1111-4111-8111-00000000000A}'
UC_H='{6F1A0000-1111-4111-8111-00000000000B}'
cat > "$dir/kit.env" <<X
UC_F='$UC_F'
UC_G='$UC_G'
UC_H='$UC_H'
X

"$here/mkpki.sh" "$dir/pki" >/dev/null

pkg() { "$here/build-package.sh" "$@"; }
code() { printf '{7A000000-0000-4000-8000-%012d}' "$1"; }   # product code number N

# Installable products: family F at 9.0.0, 9.0.1, 10.0.0 (each a major upgrade of the one before),
# family G at 9.10.0. They carry an NVUpdate row allowing any installed F.
pkg --out "$pkgs/f-9.0.0.msi"  --product-code "$(code 90000)"  --upgrade-code "$UC_F" --version 9.0.0  --name "Norvo Test F" --row "$UC_F|0|0|0"
pkg --out "$pkgs/f-9.0.1.msi"  --product-code "$(code 90001)"  --upgrade-code "$UC_F" --version 9.0.1  --name "Norvo Test F" --row "$UC_F|0|0|0"
pkg --out "$pkgs/f-10.0.0.msi" --product-code "$(code 100000)" --upgrade-code "$UC_F" --version 10.0.0 --name "Norvo Test F" --row "$UC_F|0|0|0"
pkg --out "$pkgs/g-9.10.0.msi" --product-code "$(code 91000)"  --upgrade-code "$UC_G" --version 9.10.0 --name "Norvo Test G"

# Eligibility packages of family F (never installed themselves): name, version, rows.
elig() {
  local name=$1 version=$2 n=$3; shift 3
  local rows=()
  for r in "$@"; do rows+=(--row "$r"); done
  pkg --out "$pkgs/elig-$name.msi" --product-code "$(code "$n")" --upgrade-code "$UC_F" --version "$version" \
      --name "Norvo Test E $name" "${rows[@]+"${rows[@]}"}"
}
elig any          11.0.0 1 "$UC_F|0|0|0"
elig min-900      11.0.0 2 "$UC_F|9.0.0|0|0"
elig max-1000     11.0.0 3 "$UC_F|0|10.0.0|0"
elig newer-only   9.0.1  4 "$UC_F|0|0|1"
elig downgrade    8.0.0  5 "$UC_F|0|0|0"
elig two-own      9.0.1  6 "$UC_F|0|0|1" "$UC_F|8.0.0|0|0"
elig other        11.0.0 7 "$UC_G|9.9.0|0|0"
elig not-needed-stops-other 9.0.1 8 "$UC_F|0|0|1" "$UC_G|0|0|0"
elig empty-max    11.0.0 9 "$UC_F|0||0"
elig empty-min    11.0.0 10 "$UC_F||0|0"
elig null-attr    9.0.1  11 "$UC_F|0|0|"
elig missing-family 11.0.0 12 "$UC_H|0|0|0"
elig own-out-of-range-other 11.0.0 13 "$UC_F|0|1.0.0|1" "$UC_G|0|0|0"
elig empty-table  11.0.0 14
pkg --out "$pkgs/elig-no-table.msi" --product-code "$(code 15)" --upgrade-code "$UC_F" --version 11.0.0 --no-table
# A package whose ProductCode is a path, not a GUID: the advertise step must not build a file name of it.
cp "$pkgs/elig-any.msi" "$pkgs/bad-product-code.msi"
msibuild "$pkgs/bad-product-code.msi" -q "UPDATE Property SET Value='..\\..\\planted' WHERE Property='ProductCode'"

# Signed packages: one eligible package (any installed F) signed by each publisher.
start=$(date +%s%N)
pkg --out "$pkgs/unsigned.msi" --product-code "$(code 20)" --upgrade-code "$UC_F" --version 11.0.0 \
    --name "Norvo Test Signed" --row "$UC_F|0|0|0"
"$here/sign-package.sh" "$dir/pki" norvo "$pkgs/unsigned.msi" "$pkgs/signed-norvo.msi"
end=$(date +%s%N)
for who in varda other norvo-case norvo-stray; do
  "$here/sign-package.sh" "$dir/pki" "$who" "$pkgs/unsigned.msi" "$pkgs/signed-$who.msi"
done
echo "one package built and signed in $(( (end - start) / 1000000 )) ms" | tee "$dir/timing.txt"
echo "kit ready in $dir: $(ls "$pkgs" | wc -l) packages"
