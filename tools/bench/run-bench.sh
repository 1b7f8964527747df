#!/usr/bin/env bash
# Benchmarks the running service: N complete sessions back to back for a refused package (unsigned)
# and for an accepted one (the client reports "220 RESULT 0" and "230 BYE" without installing), each
# with the latency from connect to decision, sessions per second, and the service's handle count
# and private bytes before and after. Sets up its own prefix in build/bench, like the demo.
#
# usage: tools/bench/run-bench.sh [SESSIONS] [BUILD_DIR]      (defaults: 500, build)
set -euo pipefail
sessions=${1:-500}
NV_ROOT=$(cd "$(dirname "$0")/../.." && pwd)
NV_BUILD=$(cd "$NV_ROOT" && mkdir -p "${2:-build}" && cd "${2:-build}" && pwd)
NV_WORK=$NV_BUILD/bench
. "$NV_ROOT/tools/lib/nvprefix.sh"
trap 'nv_server_stop' EXIT
fail() { echo "bench: $*"; [ -f "$NV_WORK/last.out" ] && cat "$NV_WORK/last.out"; exit 1; }

"$NV_ROOT/tools/build.sh" "$NV_BUILD" >"$NV_BUILD/bench-build.log" 2>&1 || fail "build failed (bench-build.log)"
nv_prefix_make
nv_service_install || fail "sc create"
nv_msidouble_install || fail "msi.dll test double"
nv_kit_make >"$NV_WORK/kit.log" 2>&1 || fail "test kit (kit.log)"
nv_wine 180 msiexec /i 'C:\demo\sample-1.0.0.msi' /qn || fail "installing version 1.0.0"
nv_service_start || fail "the service did not start"

echo "Benchmark under $(wine --version) on $(nproc) cores; the service polls for the next client every 250 ms."
bench() {
  local rc=0
  timeout -k 5 1800 wine "$NV_BUILD/tools/bench/nvbench.exe" --sessions "$sessions" "$@" \
    >"$NV_WORK/bench.out" 2>&1 || rc=$?
  cat "$NV_WORK/bench.out"
  [ "$rc" -eq 0 ] || fail "nvbench ended with $rc"
}
bench --refuse --package 'C:\demo\sample-2.0.0-unsigned.msi'
bench --accept --package 'C:\demo\sample-2.0.0.msi'
nv_service_stop || fail "the service did not stop"
echo "service log: $(wc -l <"$(nv_service_log)") lines ($(nv_service_log))"
