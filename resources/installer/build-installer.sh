#!/usr/bin/env bash
# Builds the service's installer package from nvupdaterservice.wxs with wixl (and msibuild).
# usage: build-installer.sh --version MAJOR.MINOR.BUILD.REVISION --exe SERVICE.EXE --icon ICON.ico
#                           --facts FACTS.SH --out FILE.msi [--strip STRIP_TOOL] [--arch x86|x64]
# The build calls it with the project's version (a CMake target); a test may call it with another
# version to make an older or newer build of the same package. With --strip the package ships the
# executable without its debug information (the executable in the build folder keeps it).
# The service's names, its UpgradeCode and the data folders' descriptor come from the build's
# generated facts.sh (--facts).
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
version="" exe="" icon="" facts="" out="" strip="" arch=x86
while [ $# -gt 0 ]; do
  case $1 in
    --version) version=$2; shift 2;;
    --exe) exe=$2; shift 2;;
    --icon) icon=$2; shift 2;;
    --facts) facts=$2; shift 2;;
    --out) out=$2; shift 2;;
    --strip) strip=$2; shift 2;;
    --arch) arch=$2; shift 2;;
    *) echo "build-installer: unknown option $1" >&2; exit 2;;
  esac
done
[ -n "$version" ] && [ -f "$exe" ] && [ -f "$icon" ] && [ -f "$facts" ] && [ -n "$out" ] ||
  { sed -n 2,4p "$0" >&2; exit 2; }
[[ $version =~ ^[0-9]+\.[0-9]+\.[0-9]+(\.[0-9]+)?$ ]] || { echo "build-installer: bad version $version" >&2; exit 2; }
[[ $arch =~ ^(x86|x64)$ ]] || { echo "build-installer: --arch x86 or x64, not $arch" >&2; exit 2; }
# shellcheck source=/dev/null
. "$facts"
service_name=$NV_SERVICE_NAME display_name=$NV_SERVICE_DISPLAY_NAME upgrade_code=$NV_UPGRADE_CODE

# The installer compares only the first three fields of a version, so the product code follows
# them: a rebuild of one release keeps its product code, and a release that changes only the
# fourth field is refused as "another version of this product" instead of being installed beside
# the old one. The x64 package is another package of the same product family: its own product code.
release=$(printf '%s' "$version" | cut -d. -f1-3)
name="nvupdaterservice $release"
[ "$arch" = x86 ] || name="nvupdaterservice $arch $release"
product_code=$(python3 -c 'import sys, uuid
print("{%s}" % str(uuid.uuid5(uuid.UUID(sys.argv[1]), sys.argv[2])).upper())' "$upgrade_code" "$name")

# wixl takes sources relative to its working folder: stage them.
stage=$(mktemp -d)
trap 'rm -rf "$stage"' EXIT
if [ -n "$strip" ]; then
  "$strip" --strip-debug -o "$stage/nvupdaterservice.exe" "$exe"
else
  cp "$exe" "$stage/nvupdaterservice.exe"
fi
cp "$icon" "$stage/service.ico"
mkdir -p "$(dirname "$out")"
out=$(cd "$(dirname "$out")" && pwd)/$(basename "$out")
( cd "$stage" && wixl -a "$arch" -D Arch="$arch" -D Version="$version" -D ProductCode="$product_code" -D UpgradeCode="$upgrade_code" \
    -D ServiceName="$service_name" -D DisplayName="$display_name" \
    -D ServiceExe=nvupdaterservice.exe -D IconFile=service.ico -o package.msi "$here/nvupdaterservice.wxs" )
# wixl leaves out the vital flag of the service's registration (msidbServiceInstallErrorControlVital,
# 0x8000): with it, a service that cannot be registered fails the installation instead of being
# skipped. Error control stays "normal" (1).
msibuild "$stage/package.msi" -q "UPDATE \`ServiceInstall\` SET \`ErrorControl\` = 32769 WHERE \`ServiceInstall\` = 'ServiceInstall'"
# The service's failure actions, which wixl cannot express: restart 60 s after each of the first
# two failures, then nothing; the count starts again after a day without failure. Applied by the
# standard action MsiConfigureServices (Windows Installer 5) at install and reinstall (Event 1 + 4),
# between registering the service and starting it.
printf '%s\n' \
  $'MsiServiceConfigFailureActions\tName\tEvent\tResetPeriod\tRebootMessage\tCommand\tActions\tDelayActions\tComponent_' \
  $'s72\ts255\ti2\tI4\tL255\tS255\tS255\tS255\ts72' \
  $'MsiServiceConfigFailureActions\tMsiServiceConfigFailureActions' \
  $'RestartAfterFailure\t'"$service_name"$'\t5\t86400\t\t\t1[~]1[~]0\t60000[~]60000[~]0\tService' \
  >"$stage/MsiServiceConfigFailureActions.idt"
msibuild "$stage/package.msi" -i "$stage/MsiServiceConfigFailureActions.idt"
msibuild "$stage/package.msi" -q "INSERT INTO \`InstallExecuteSequence\` (\`Action\`, \`Condition\`, \`Sequence\`) VALUES ('MsiConfigureServices', 'VersionNT >= 600', 5850)"
# wixl has no permissions: the service's folders get the service's own descriptors
# (NV_DATA_FOLDER_SECURITY, NV_PRIVATE_FOLDER_SECURITY) through the MsiLockPermissionsEx table,
# applied as they are created.
data_security=$NV_DATA_FOLDER_SECURITY private_security=$NV_PRIVATE_FOLDER_SECURITY
[ -n "$data_security" ] && [ -n "$private_security" ] ||
  { echo "build-installer: no folder descriptors in $facts" >&2; exit 2; }
{
  printf 'MsiLockPermissionsEx\tLockObject\tTable\tSDDL\tCondition\r\n'
  printf 's72\ts72\ts32\ts0\tS255\r\n'
  printf 'MsiLockPermissionsEx\tMsiLockPermissionsEx\r\n'
  for folder in DATANORVODIR DATADIR; do
    printf 'Lock%s\t%s\tCreateFolder\t%s\t\r\n' "$folder" "$folder" "$data_security"
  done
  for folder in SCRIPTSDIR LOGSDIR; do
    printf 'Lock%s\t%s\tCreateFolder\t%s\t\r\n' "$folder" "$folder" "$private_security"
  done
} >"$stage/MsiLockPermissionsEx.idt"
msibuild "$stage/package.msi" -i "$stage/MsiLockPermissionsEx.idt"
mv -f "$stage/package.msi" "$out"
