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
NV_ROOT=${NV_ROOT:-$(cd "$(dirname "$0")/../../.." && pwd)}
. "$NV_ROOT/tools/lib/nvdouble.sh"
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
system=$(nv_double_system_folder "$prefix")
cp -f "$dll" "$system/dbgeng.dll"
nv_double_select "$prefix" dbgeng "" "$@"
