#!/usr/bin/env bash
# Configures and builds everything (product, tools, tests) for one machine type into BUILD.
# usage: [NV_ARCH=x86|x64] tools/build.sh [BUILD]
#   NV_ARCH  x86 (the product, a 32-bit executable) or x64 (the same program for 64-bit Windows);
#            default: x86 where the host runs 32-bit code, else x64 (tools/lib/nvarch.sh)
#   BUILD    default: build for x86, build-x64 for x64
set -euo pipefail
NV_ROOT=$(cd "$(dirname "$0")/.." && pwd)
. "$NV_ROOT/tools/lib/nvarch.sh"
build=${1:-$NV_ROOT/$NV_BUILD_NAME}
toolchain=$NV_ROOT/cmake/toolchain-mingw-${NV_TRIPLE%%-*}.cmake
cache=$build/CMakeCache.txt
if [ -f "$cache" ] && ! grep -qx "CMAKE_TOOLCHAIN_FILE:[A-Z]*=$toolchain" "$cache"; then
  echo "build: $build was configured for another machine type; use another folder or remove it" >&2
  exit 2
fi
# A compiler cache, where the machine has one (NV_CCACHE=0: none). Paths are taken relative to the
# clone: a fresh clone compiles its tests from the cache, and everything when it is in the same place
# (objects with debug information record their folder).
launcher=()
if [ "${NV_CCACHE:-1}" != 0 ] && command -v ccache >/dev/null; then
  export CCACHE_BASEDIR=$NV_ROOT
  launcher=(-DCMAKE_C_COMPILER_LAUNCHER=ccache -DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
else
  launcher=(-UCMAKE_C_COMPILER_LAUNCHER -UCMAKE_CXX_COMPILER_LAUNCHER)
fi
echo "build: $NV_ARCH ($NV_ARCH_WHY) into $build${CCACHE_BASEDIR:+, with ccache}"
cmake -S "$NV_ROOT" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_TOOLCHAIN_FILE="$toolchain" \
  "${launcher[@]+"${launcher[@]}"}" >/dev/null
cmake --build "$build" -j "$(nproc)"
