#!/usr/bin/env bash
# Benchmarks the service against its floor, for a refused package (unsigned) and an accepted one
# (the client reports "220 RESULT 0" and "230 BYE" without installing). For each path, after warm-up
# sessions:
#   floor         the session's checks on the same package in the benchmark's own process, through
#                 the service's inspection library (the msi.dll test double advertises), one pass
#                 after each idle session, so that both are taken under the same load;
#   floor-per-step  the same steps with each property read and table query opening the
#                 package again, the sequence the service first ran, one pass beside each floor pass;
#   idle          sessions that each begin once the service listens again (IDLE_MS after the last
#                 floor pass): connect to decision is the session's own work plus the pipe;
#   back-to-back  sessions without a pause: the start of the next session thread counts too.
# Then one table (printed, and as table.md and table.csv), the latency distributions as latency.png,
# and the service's handles, private bytes and Linux view after the warm-up and after the run. All
# in build/bench (its own prefix, like the demo's).
#
# usage: [NV_ARCH=x86|x64] tools/bench/run-bench.sh [SESSIONS] [BUILD_DIR]
#   defaults: 500 sessions; build for x86, build-x64 for x64 (NV_ARCH: x86 where the host runs
#   32-bit code, else x64)
#   environment: NV_BENCH_IDLE_MS (300), NV_BENCH_WARMUP (20 sessions per path), NV_BENCH_CPUS
#   (unset: all; else a CPU list as taskset takes it, e.g. 0: the prefix's wineserver, the service
#   and the benchmark all run on those CPUs only)
set -euo pipefail
sessions=${1:-500}
idle=${NV_BENCH_IDLE_MS:-300}
warmup=${NV_BENCH_WARMUP:-20}
NV_ROOT=$(cd "$(dirname "$0")/../.." && pwd)
. "$NV_ROOT/tools/lib/nvarch.sh"
NV_BUILD=$(cd "$NV_ROOT" && mkdir -p "${2:-$NV_BUILD_NAME}" && cd "${2:-$NV_BUILD_NAME}" && pwd)
NV_WORK=$NV_BUILD/bench
. "$NV_ROOT/tools/lib/nvprefix.sh"
. "$NV_ROOT/tools/bench/bench-lib.sh"
trap 'nv_server_stop' EXIT
fail() { echo "bench: $*"; [ -f "$NV_WORK/last.out" ] && cat "$NV_WORK/last.out"; exit 1; }

"$NV_ROOT/tools/build.sh" "$NV_BUILD" >"$NV_BUILD/bench-build.log" 2>&1 || fail "build failed (bench-build.log)"
nv_load_facts || fail "the build's facts"
# Everything started from here on inherits this shell's CPUs, the prefix's wineserver included.
cpus=all
if [ -n "${NV_BENCH_CPUS:-}" ]; then
  taskset -cp "$NV_BENCH_CPUS" $$ >/dev/null || fail "NV_BENCH_CPUS=$NV_BENCH_CPUS is no CPU list of this machine"
  cpus=$NV_BENCH_CPUS
fi
nv_prefix_make
nv_service_install || fail "sc create"
"$NV_ROOT/tests/doubles/msi/install.sh" --dll "$NV_BUILD/tests/doubles/msi/msi.dll" "$(nv_prefix)" nvupdaterservice.exe \
  nvbench.exe >"$NV_WORK/msidouble.log" 2>&1 || fail "msi.dll test double"
nv_kit_make >"$NV_WORK/kit.log" 2>&1 || fail "test kit (kit.log)"
nv_wine 180 msiexec /i 'C:\demo\sample-1.0.0.msi' /qn || fail "installing version 1.0.0"
bench_install
nv_service_start || fail "the service did not start"

echo "Benchmark under $("$NV_WINE" version) ($NV_ARCH build; loaders $("$NV_WINE" loaders)) on $(nproc --all) cores (CPUs used: $cpus), load average $(cut -d' ' -f1-3 /proc/loadavg); the service starts the next session when the last one ends."
bench_path refused 'C:\demo\sample-2.0.0-unsigned.msi' "$sessions" "$warmup" "$idle" || fail "refused path"
bench_path accepted 'C:\demo\sample-2.0.0.msi' "$sessions" "$warmup" "$idle" || fail "accepted path"
nv_service_stop || fail "the service did not stop"
echo "load average at the end: $(cut -d' ' -f1-3 /proc/loadavg)"
echo "service log: $(wc -l <"$(nv_service_log)") lines ($(nv_service_log))"
echo
bench_report || fail "report"
