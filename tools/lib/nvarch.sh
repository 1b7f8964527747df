# Sourced by the build, test, demo and benchmark scripts and by the harness: the machine type of the
# build (NV_ARCH) and what follows from it in a Wine prefix. The one place in the scripts for these.
#
#   NV_ARCH=x86   the product: a 32-bit executable, run on WoW64 (needs a host that runs 32-bit code)
#   NV_ARCH=x64   the same program for 64-bit Windows
# Default: x86 where the host runs 32-bit code, else x64. NV_ARCH_WHY says why.
# Needs NV_ROOT (the source tree).

# The Wine launcher; the harness's self-test puts a stand-in in its place.
NV_WINE=${NV_WINE:-$NV_ROOT/tools/lib/nvwine}
export NV_WINE
nvwine() { "$NV_WINE" "$@"; }

# True when this host's Wine runs 32-bit programs (see nvwine: NV_WINE_LOADERS=64 says no).
nv_host_runs_x86() { case $("$NV_WINE" loaders) in 32+64:*) return 0;; *) return 1;; esac; }

if [ -z "${NV_ARCH:-}" ]; then
  if nv_host_runs_x86; then
    NV_ARCH=x86 NV_ARCH_WHY="default: this host runs 32-bit code"
  else
    NV_ARCH=x64 NV_ARCH_WHY="default: $("$NV_WINE" loaders | cut -d' ' -f2-)"
  fi
elif [ -z "${NV_ARCH_WHY:-}" ]; then
  NV_ARCH_WHY="NV_ARCH set"
fi

# nv_arch_facts TYPE: sets the facts of one machine type.
nv_arch_facts() {
  case $1 in
    x86)
      NV_TRIPLE=i686-w64-mingw32
      NV_BUILD_NAME=build
      # A 32-bit program's system folder in a 64-bit prefix.
      NV_SYSTEM_FOLDER=syswow64
      NV_PROGRAM_FILES_WIN='C:\Program Files (x86)'
      NV_REG_VIEW=32;;
    x64)
      NV_TRIPLE=x86_64-w64-mingw32
      NV_BUILD_NAME=build-x64
      NV_SYSTEM_FOLDER=system32
      NV_PROGRAM_FILES_WIN='C:\Program Files'
      NV_REG_VIEW=64;;
    *) echo "NV_ARCH must be x86 or x64, not '$1'" >&2; return 2;;
  esac
}
nv_arch_facts "$NV_ARCH" || exit 2
export NV_ARCH NV_ARCH_WHY NV_TRIPLE NV_SYSTEM_FOLDER NV_PROGRAM_FILES_WIN NV_REG_VIEW
