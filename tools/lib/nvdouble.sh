# Sourced by the test doubles' install scripts (tests/doubles/msi, tests/doubles/dbgeng): a double goes
# into the system folder of the build's type and is selected per executable by Wine's DLL override.
# Needs NV_ROOT.
. "$NV_ROOT/tools/lib/nvarch.sh"

# The prefix's system folder for programs of the build's type (syswow64 for x86, system32 for x64).
nv_double_system_folder() {
  local system=$1/drive_c/windows/$NV_SYSTEM_FOLDER
  [ -d "$system" ] || { echo "install.sh: $system missing (a prefix without the system folder of the $NV_ARCH build)" >&2; return 1; }
  printf '%s' "$system"
}

# Where Wine's builtin DLLs of the build's type are, as the configuration of the build that made
# the double DLL (a file in that build) wrote them in its generated facts.sh.
nv_double_builtins() {
  local dir
  dir=$(cd "$(dirname "$1")" && pwd) || return 1
  while [ "$dir" != / ] && [ ! -f "$dir/generated/facts.sh" ]; do dir=$(dirname "$dir"); done
  [ -f "$dir/generated/facts.sh" ] || { echo "install.sh: no build (generated/facts.sh) above $1" >&2; return 1; }
  (. "$dir/generated/facts.sh" && printf '%s' "$NV_BUILTIN_DLLS")
}

# Selects the double named DLL (msi, dbgeng) for each EXE: HKCU\Software\Wine\AppDefaults\<exe>\
# DllOverrides DLL=native,builtin, so every other program keeps Wine's builtin. EXTRA is more .reg
# text (the double's own settings), written in the build's registry view, where the double reads it.
# usage: nv_double_select PREFIX DLL EXTRA EXE...
nv_double_select() {
  local prefix=$1 dll=$2 extra=$3 exe regs
  shift 3
  regs=$(mktemp --suffix=.reg)
  {
    printf 'REGEDIT4\n\n'
    for exe in "$@"; do
      printf '[HKEY_CURRENT_USER\\Software\\Wine\\AppDefaults\\%s\\DllOverrides]\n"%s"="native,builtin"\n\n' "$exe" "$dll"
    done
    printf '%s\n' "$extra"
  } >"$regs"
  WINEPREFIX=$prefix timeout 60 "$NV_WINE" reg import "Z:$(printf '%s' "$regs" | sed 's|/|\\|g')" /reg:$NV_REG_VIEW \
    >/dev/null 2>&1
  local rc=$?
  rm -f "$regs"
  return $rc
}
