#!/usr/bin/env bash
# Installs the msi.dll test double into a Wine prefix and selects it for the named executables only.
#   - the double becomes C:\windows\syswow64\msi.dll (where a 32-bit program's system-folder load
#     of msi.dll looks), Wine's builtin msi.dll is copied beside it as wmsi.dll (the real installer
#     the double forwards to);
#   - HKCU\Software\Wine\AppDefaults\<exe>\DllOverrides msi=native,builtin for each EXE_NAME, so
#     every other program (msiexec included) keeps Wine's builtin;
#   - HKLM\SOFTWARE\NorvoTest\MsiDouble (32-bit view) CallLog = LOG (a Windows path), when given.
# usage: install.sh --dll BUILT_MSI_DLL [--log WINDOWS_PATH] PREFIX EXE_NAME...
set -euo pipefail
builtin=${NORVO_BUILTIN_MSI:-/usr/lib/i386-linux-gnu/wine/i386-windows/msi.dll}
dll="" log=""
while [ $# -gt 0 ]; do
  case $1 in
    --dll) dll=$2; shift 2;;
    --log) log=$2; shift 2;;
    --) shift; break;;
    -*) echo "install.sh: unknown option $1" >&2; exit 2;;
    *) break;;
  esac
done
[ -n "$dll" ] && [ $# -ge 2 ] || { sed -n 2,10p "$0" >&2; exit 2; }
prefix=$1; shift
system=$prefix/drive_c/windows/syswow64
[ -d "$system" ] || { echo "install.sh: $system missing (not a 64-bit prefix?)" >&2; exit 1; }
cp -f "$builtin" "$system/wmsi.dll"
cp -f "$dll" "$system/msi.dll"

export WINEPREFIX=$prefix
regs=$(mktemp --suffix=.reg)
trap 'rm -f "$regs"' EXIT
{
  printf 'REGEDIT4\n\n'
  for exe in "$@"; do
    printf '[HKEY_CURRENT_USER\\Software\\Wine\\AppDefaults\\%s\\DllOverrides]\n"msi"="native,builtin"\n\n' "$exe"
  done
  if [ -n "$log" ]; then
    printf '[HKEY_LOCAL_MACHINE\\SOFTWARE\\NorvoTest\\MsiDouble]\n"CallLog"="%s"\n\n' "$(printf '%s' "$log" | sed 's/\\/\\\\/g')"
  fi
} > "$regs"
# 32-bit regedit: the settings land in the 32-bit view, where the double reads them.
timeout 60 wine regedit /S "Z:$(printf '%s' "$regs" | sed 's|/|\\|g')" >/dev/null 2>&1
