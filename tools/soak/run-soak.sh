#!/usr/bin/env bash
# The soak: SESSIONS sessions against the service under the SCM, in RUNS runs with a service restart
# between two runs, mixing accepted and refused packages, silent clients (dropped at the service's
# 10 s limit), client processes killed after the go-ahead and removals made to fail (the msi.dll test
# double's script result; the package must stay held until the next session's clean-up removed the
# advertisement) (nvsoak.exe). Each run begins with
# WARMUP sessions, after which the service's figures are taken, and its figures are taken again
# after its last session. At the end: no advertisement and no script left, the package not held
# (looked at while the service still runs), and the log's lines counted against the sessions of
# each kind. Then AT_ONCE sessions by four clients at once, each waiting for the pipe as the reference
# client does. Prints one table (also build/soak/table.md); exits non-zero when anything differs.
# Its own prefix in build/soak, made as the benchmark's (tools/lib/nvprefix.sh).
#
# usage: [NV_ARCH=x86|x64] tools/soak/run-soak.sh [SESSIONS] [BUILD_DIR]
#   defaults: 2000 sessions; build for x86, build-x64 for x64 (tools/lib/nvarch.sh)
#   environment: NV_SOAK_RUNS (4), NV_SOAK_WARMUP (20 per run), NV_SOAK_KILL_EVERY (7),
#                NV_SOAK_SILENT_EVERY (200), NV_SOAK_UNREMOVED_EVERY (50), NV_SOAK_AT_ONCE (200),
#                NV_SOAK_WORK (BUILD_DIR/soak)
set -euo pipefail
sessions=${1:-2000}
runs=${NV_SOAK_RUNS:-4}
warmup=${NV_SOAK_WARMUP:-20}
NV_ROOT=$(cd "$(dirname "$0")/../.." && pwd)
. "$NV_ROOT/tools/lib/nvarch.sh"
NV_BUILD=$(cd "$NV_ROOT" && mkdir -p "${2:-$NV_BUILD_NAME}" && cd "${2:-$NV_BUILD_NAME}" && pwd)
NV_WORK=${NV_SOAK_WORK:-$NV_BUILD/soak}
. "$NV_ROOT/tools/lib/nvprefix.sh"
. "$NV_ROOT/tools/bench/bench-lib.sh"
. "$NV_ROOT/tools/soak/soak-lib.sh"
trap 'nv_server_stop' EXIT
fail() { echo "soak: $*"; [ -f "$NV_WORK/last.out" ] && cat "$NV_WORK/last.out"; exit 1; }
SOAK_ACCEPTED='C:\demo\sample-2.0.0.msi'
SOAK_REFUSED='C:\demo\sample-2.0.0-unsigned.msi'
SOAK_KILL_EVERY=${NV_SOAK_KILL_EVERY:-7}
SOAK_SILENT_EVERY=${NV_SOAK_SILENT_EVERY:-200}
SOAK_UNREMOVED_EVERY=${NV_SOAK_UNREMOVED_EVERY:-50}

"$NV_ROOT/tools/build.sh" "$NV_BUILD" >"$NV_BUILD/soak-build.log" 2>&1 || fail "build failed (soak-build.log)"
nv_load_facts || fail "the build's facts"
nv_prefix_make
SOAK_PRODUCT_CODE=$NV_SAMPLE_PC2
nv_service_install || fail "sc create"
nv_msidouble_install || fail "msi.dll test double"
nv_kit_make >"$NV_WORK/kit.log" 2>&1 || fail "test kit (kit.log)"
nv_wine 180 msiexec /i 'C:\demo\sample-1.0.0.msi' /qn || fail "installing version 1.0.0"
soak_install

echo "Soak under $("$NV_WINE" version) ($NV_ARCH build; loaders $("$NV_WINE" loaders)) on $(nproc) cores, load average $(cut -d' ' -f1-3 /proc/loadavg): $sessions sessions in $runs runs."
soak_runs "$sessions" "$runs" "$warmup" || fail "the runs did not end"
soak_at_once 4 "${NV_SOAK_AT_ONCE:-200}" || fail "the clients at once did not end"
echo "load average at the end: $(cut -d' ' -f1-3 /proc/loadavg)"
echo
soak_table "$sessions" "$runs"
