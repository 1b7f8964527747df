#!/usr/bin/env bash
# Prepare step of the package suite: the test kit's root trusted, the msi.dll test double selected
# for the service's executable and the suite's own (its in-process session advertises too; Wine's
# installer cannot advertise), and the suite's own
# package: an upgrade of the kit's family F to 9.0.1 that only upgrades older versions, signed by
# the accepted publisher.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
suite=$1
run=$(cd "$suite/../.." && pwd)
build=$(cd "$run/.." && pwd)
kit=$run/testkit
. "$kit/kit.env"

"$root/tests/kit/trust-root.sh" add "$kit/pki/root.crt"
"$root/tests/doubles/msi/install.sh" --dll "$build/tests/doubles/msi/msi.dll" "$WINEPREFIX" nvupdaterservice.exe \
  broker_package_tests.exe

mkdir -p "$suite/packages"
"$root/tests/kit/build-package.sh" --out "$suite/packages/newer.msi" \
  --product-code '{7B000000-0000-4000-8000-000000000901}' --upgrade-code "$UC_F" --version 9.0.1 \
  --name "Norvo Test F" --row "$UC_F|0|0|1"
"$root/tests/kit/sign-package.sh" "$kit/pki" norvo "$suite/packages/newer.msi" "$suite/packages/newer-norvo.msi"

# Transform files: one unsigned, one signed by the accepted publisher (a transform is a storage file
# like a package, and is signed the same way).
cp "$kit/packages/unsigned.msi" "$suite/packages/unsigned.mst"
"$root/tests/kit/sign-package.sh" "$kit/pki" norvo "$suite/packages/unsigned.mst" "$suite/packages/signed-norvo.mst"
