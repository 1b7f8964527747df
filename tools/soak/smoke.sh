#!/usr/bin/env bash
# A short soak for the test suite: a copy of the test run's template prefix, the service under the
# SCM, the test kit's family F 9.0.0 installed, then 24 sessions of every kind in two runs with one
# restart between them (no silent client: each costs the service's 10 s limit), 8 sessions by four
# clients at once, and the table, which must show what is expected.
# usage: smoke.sh RUN_DIR BUILD_DIR
set -euo pipefail
NV_ROOT=$(cd "$(dirname "$0")/../.." && pwd)
run=$(cd "$1" && pwd)
NV_BUILD=$(cd "$2" && pwd)
NV_WORK=$run/suites/soak_smoke
. "$NV_ROOT/tools/lib/nvprefix.sh"
. "$NV_ROOT/tools/bench/bench-lib.sh"
. "$NV_ROOT/tools/soak/soak-lib.sh"
SOAK_ACCEPTED='C:\demo\signed-norvo.msi'
SOAK_REFUSED='C:\demo\unsigned.msi'
SOAK_PRODUCT_CODE='{7A000000-0000-4000-8000-000000000020}'
SOAK_KILL_EVERY=4
SOAK_SILENT_EVERY=0
SOAK_UNREMOVED_EVERY=6

export WINEPREFIX
WINEPREFIX=$(nv_prefix)
stop_server "$WINEPREFIX"
rm -rf "$NV_WORK"
mkdir -p "$NV_WORK"
trap 'stop_server "$WINEPREFIX"; rm -rf "$WINEPREFIX"' EXIT
fail() { echo "soak smoke: $*"; [ -f "$NV_WORK/last.out" ] && cat "$NV_WORK/last.out"; exit 1; }

nv_prefix_from_run "$run" || fail "preparing the prefix"
soak_install

soak_runs 24 2 4 || fail "the runs did not end"
soak_at_once 4 8 || fail "the clients at once did not end"
soak_table 24 2 || fail "the table shows a difference"
echo "soak smoke: passed"
