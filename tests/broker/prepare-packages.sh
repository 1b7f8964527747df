#!/usr/bin/env bash
# Prepare step of the package suite: the test kit's root trusted, the msi.dll test double selected
# for the service's executable and the suite's own (its in-process session advertises too; Wine's
# installer cannot advertise), and the suite's own
# package: an upgrade of the kit's family F to 9.0.1 that only upgrades older versions, signed by
# the accepted publisher; that package with transforms stored in it; transform files; and packages
# whose files lie beside them.
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
"$root/tests/doubles/msi/install.sh" --dll "$build/tests/doubles/msi/msi.dll" "$WINEPREFIX" nvupdaterservice.exe \
  broker_package_tests.exe

mkdir -p "$suite/packages"
"$root/tests/kit/build-package.sh" --out "$suite/packages/newer.msi" \
  --product-code '{7B000000-0000-4000-8000-000000000901}' --upgrade-code "$UC_F" --version 9.0.1 \
  --name "Norvo Test F" --row "$UC_F|0|0|1"
"$root/tests/kit/sign-package.sh" "$kit/pki" norvo "$suite/packages/newer.msi" "$suite/packages/newer-norvo.msi"

pkgs=$suite/packages
sign() { "$root/tests/kit/sign-package.sh" "$kit/pki" norvo "$1" "$2"; }
mktransform() { timeout 60 "$NV_WINE" "$build/tests/kit/mktransform/mktransform.exe" "$@"; }

# Transforms (written by hand: Wine's installer cannot make them): one that changes nothing the
# checks read, one that makes the package the installed 9.0.0, one that points its NVUpdate row at
# family H, which is never installed.
mktransform set "$(winpath "$pkgs/lang.mst")" Property ProductName 1 "Norvo Test F (translated)"
mktransform set "$(winpath "$pkgs/to-900.mst")" Property ProductVersion 1 9.0.0
mktransform set "$(winpath "$pkgs/to-h.mst")" NVUpdate r1 1 "$UC_H"
# Stored in the package, which is then signed; and as files beside it, signed like packages.
cp "$pkgs/newer.msi" "$pkgs/newer-transforms.msi"
for t in lang to-900 to-h; do
  mktransform embed "$(winpath "$pkgs/newer-transforms.msi")" "$t.mst" "$(winpath "$pkgs/$t.mst")"
done
sign "$pkgs/newer-transforms.msi" "$pkgs/newer-transforms-norvo.msi"
sign "$pkgs/lang.mst" "$pkgs/signed-norvo.mst"
sign "$pkgs/to-900.mst" "$pkgs/to-900-norvo.mst"
sign "$pkgs/to-h.mst" "$pkgs/to-h-norvo.mst"
# A transform file unsigned, and a signed file that is no transform (a package).
cp "$pkgs/lang.mst" "$pkgs/unsigned.mst"
sign "$kit/packages/unsigned.msi" "$pkgs/not-a-transform.mst"

# The kit's eligible package with its cabinet beside it, and with its file stored uncompressed.
cp "$kit/packages/unsigned.msi" "$pkgs/external-cabinet.msi"
msibuild "$pkgs/external-cabinet.msi" -q "UPDATE Media SET Cabinet='payload.cab' WHERE DiskId=1"
sign "$pkgs/external-cabinet.msi" "$pkgs/external-cabinet-norvo.msi"
cp "$kit/packages/unsigned.msi" "$pkgs/uncompressed.msi"
msibuild "$pkgs/uncompressed.msi" -q "UPDATE File SET Attributes=8192 WHERE File='payload.txt'"
sign "$pkgs/uncompressed.msi" "$pkgs/uncompressed-norvo.msi"
