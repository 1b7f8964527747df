#!/usr/bin/env bash
# Installs the msi.dll test double into a Wine prefix and selects it for the named executables only.
#   - the double becomes msi.dll in the system folder of the build's type (NV_SYSTEM_FOLDER: syswow64
#     for x86, system32 for x64), where a program's system-folder load of msi.dll looks; Wine's
#     builtin msi.dll of the same type is copied beside it as wmsi.dll (the real installer the
#     double forwards to);
#   - HKCU\Software\Wine\AppDefaults\<exe>\DllOverrides msi=native,builtin for each EXE_NAME, so
#     every other program (msiexec included) keeps Wine's builtin;
#   - HKLM\SOFTWARE\NorvoTest\MsiDouble (the build's view, NV_REG_VIEW) CallLog = LOG (a Windows
#     path), when given.
# usage: install.sh --dll BUILT_MSI_DLL [--log WINDOWS_PATH] PREFIX EXE_NAME...
set -euo pipefail
NV_ROOT=${NV_ROOT:-$(cd "$(dirname "$0")/../../.." && pwd)}
. "$NV_ROOT/tools/lib/nvdouble.sh"
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
system=$(nv_double_system_folder "$prefix")
builtins=$(nv_double_builtins "$dll")
cp -f "$builtins/msi.dll" "$system/wmsi.dll"
cp -f "$dll" "$system/msi.dll"

settings=""
if [ -n "$log" ]; then
  settings=$(printf '[HKEY_LOCAL_MACHINE\\SOFTWARE\\NorvoTest\\MsiDouble]\n"CallLog"="%s"\n\n' "$(printf '%s' "$log" | sed 's/\\/\\\\/g')")
fi
nv_double_select "$prefix" msi "$settings" "$@"
