#!/usr/bin/env bash
# The whole test suite on a fresh machine: install what is missing, build, run every suite under Wine.
# usage: [NV_ARCH=x86|x64] tools/test.sh [CTEST_ARGS...]
# Without NV_ARCH, both machine types: where the host runs 32-bit code, x86 first and then x64 with
# Wine's 64-bit loader alone (as on a host that cannot run 32-bit code); elsewhere x64 only, and the
# x86 build is built but not run. With NV_ARCH, that type only, in NV_BUILD if set (else build or
# build-x64). Fails when a suite of any type fails.
set -uo pipefail
NV_ROOT=$(cd "$(dirname "$0")/.." && pwd)
"$NV_ROOT/tools/setup.sh" || exit 1
explicit=${NV_ARCH:-}
. "$NV_ROOT/tools/lib/nvarch.sh"

# build_and_test TYPE WHY [ENV...]: builds TYPE and runs its suites with ENV; sets failed.
failed=0
build_and_test() {
  local type=$1; export NV_ARCH_WHY=$2; shift 2
  local build
  nv_arch_facts "$type"
  build=${build_dir:-$NV_ROOT/$NV_BUILD_NAME}
  NV_ARCH=$type "$NV_ROOT/tools/build.sh" "$build" || { failed=1; return; }
  echo "test: $type suites${*:+ ($*)}"
  (cd "$build" && env NV_ARCH="$type" "$@" ctest --output-on-failure -j "$(nproc)" "${ctest_args[@]+"${ctest_args[@]}"}") \
    || failed=1
}
ctest_args=("$@")
build_dir=""

if [ -n "$explicit" ]; then
  if [ "$NV_ARCH" = x86 ] && ! nv_host_runs_x86; then
    echo "test: the x86 build cannot run on this host ($("$NV_WINE" loaders | cut -d' ' -f2-))" >&2
    exit 1
  fi
  build_dir=${NV_BUILD:-}
  build_and_test "$NV_ARCH" "$NV_ARCH_WHY"
elif nv_host_runs_x86; then
  build_and_test x86 "the product; this host runs 32-bit code"
  build_and_test x64 "the 64-bit program, with Wine's 64-bit loader alone" NV_WINE_LOADERS=64
else
  NV_ARCH=x86 NV_ARCH_WHY="the product" "$NV_ROOT/tools/build.sh" "$NV_ROOT/build" || exit 1
  echo "test: the x86 build was built but could not be run on this host: $("$NV_WINE" loaders | cut -d' ' -f2-)"
  build_and_test x64 "the 64-bit program; this host cannot run 32-bit code"
fi
exit $failed
