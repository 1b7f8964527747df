#!/usr/bin/env bash
# Installs the debugger engine test double into a Wine prefix and selects it for the named
# executables only:
#   - the double becomes dbgeng.dll in the system folder of the build's type (NV_SYSTEM_FOLDER:
#     syswow64 for x86, system32 for x64), where a program's system-folder load of the engine
#     looks; Wine's own engine is not kept, the prefix is a test prefix;
#   - HKCU\Software\Wine\AppDefaults\<exe>\DllOverrides dbgeng=native,builtin for each EXE_NAME.
# The double reads its transcript and call log from the calling process's environment.
# usage: install.sh --dll BUILT_DBGENG_DLL PREFIX EXE_NAME...
set -euo pipefail
NV_ROOT=${NV_ROOT:-$(cd "$(dirname "$0")/../.." && pwd)}
. "$NV_ROOT/tools/lib/nvarch.sh"
dll=""
while [ $# -gt 0 ]; do
  case $1 in
    --dll) dll=$2; shift 2;;
    --) shift; break;;
    -*) echo "install.sh: unknown option $1" >&2; exit 2;;
    *) break;;
  esac
done
[ -n "$dll" ] && [ $# -ge 2 ] || { sed -n 2,9p "$0" >&2; exit 2; }
prefix=$1; shift
system=$prefix/drive_c/windows/$NV_SYSTEM_FOLDER
[ -d "$system" ] || { echo "install.sh: $system missing (a prefix without the system folder of the $NV_ARCH build)" >&2; exit 1; }
cp -f "$dll" "$system/dbgeng.dll"

export WINEPREFIX=$prefix
regs=$(mktemp --suffix=.reg)
trap 'rm -f "$regs"' EXIT
{
  printf 'REGEDIT4\n\n'
  for exe in "$@"; do
    printf '[HKEY_CURRENT_USER\\Software\\Wine\\AppDefaults\\%s\\DllOverrides]\n"dbgeng"="native,builtin"\n\n' "$exe"
  done
} > "$regs"
timeout 60 "$NV_WINE" reg import "Z:$(printf '%s' "$regs" | sed 's|/|\\|g')" /reg:$NV_REG_VIEW >/dev/null 2>&1
