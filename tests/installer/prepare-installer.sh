#!/usr/bin/env bash
# Prepare step of the installer suite: the test kit's root trusted, and in SUITE/packages the build's
# installer package and an older build of it, both signed by the accepted publisher. The older build
# is the same package made one major version lower around a copy of the executable whose version
# record says so (the installer compares the package versions, the test the installed file).
# usage: prepare-installer.sh SUITE PACKAGE VERSION OLDER_VERSION SERVICE_EXE ICON STRIP_TOOL NAMES
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
suite=$1 package=$2 version=$3 older=$4 exe=$5 icon=$6 strip=$7 facts=$8
run=$(cd "$suite/../.." && pwd)
kit=$run/testkit

"$root/tests/kit/trust-root.sh" add "$kit/pki/root.crt"
mkdir -p "$suite/packages" "$suite/older"
"$root/tests/kit/sign-package.sh" "$kit/pki" norvo "$package" "$suite/packages/nvupdaterservice-$version.msi"

python3 "$here/set-file-version.py" "$exe" "$suite/older/nvupdaterservice.exe" "$older"
"$root/resources/installer/build-installer.sh" --version "$older" --exe "$suite/older/nvupdaterservice.exe" \
  --icon "$icon" --facts "$facts" --strip "$strip" --out "$suite/older/nvupdaterservice-$older.msi" --arch "$NV_ARCH"
"$root/tests/kit/sign-package.sh" "$kit/pki" norvo "$suite/older/nvupdaterservice-$older.msi" \
  "$suite/packages/nvupdaterservice-$older.msi"
ls -l "$suite/packages"
