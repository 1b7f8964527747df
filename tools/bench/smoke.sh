#!/usr/bin/env bash
# A short run of the benchmark for the test suite: a copy of the test run's template prefix, the
# service installed under the SCM, the test kit's family F 9.0.0 installed, then a few sessions of
# each measurement for a refused and an accepted package, and the report. It asserts no figures,
# only that every measurement ran and the table, its CSV and the picture were written.
# usage: smoke.sh RUN_DIR BUILD_DIR
set -euo pipefail
NV_ROOT=$(cd "$(dirname "$0")/../.." && pwd)
run=$(cd "$1" && pwd)
NV_BUILD=$(cd "$2" && pwd)
NV_WORK=$run/suites/bench_smoke
. "$NV_ROOT/tools/lib/nvprefix.sh"
. "$NV_ROOT/tools/bench/bench-lib.sh"

export WINEPREFIX
WINEPREFIX=$(nv_prefix)
stop_server "$WINEPREFIX"
rm -rf "$NV_WORK"
mkdir -p "$NV_WORK"
trap 'stop_server "$WINEPREFIX"; rm -rf "$WINEPREFIX"' EXIT
fail() { echo "bench smoke: $*"; [ -f "$NV_WORK/last.out" ] && cat "$NV_WORK/last.out"; exit 1; }

nv_prefix_from_run "$run" nvbench.exe || fail "preparing the prefix"
bench_install
nv_service_start || fail "the service did not start"

bench_path refused 'C:\demo\unsigned.msi' 3 1 300 >"$NV_WORK/refused.out" || fail "refused path: $(cat "$NV_WORK/refused.out")"
bench_path accepted 'C:\demo\signed-norvo.msi' 3 1 300 >"$NV_WORK/accepted.out" || fail "accepted path: $(cat "$NV_WORK/accepted.out")"
bench_report >"$NV_WORK/report.out" 2>&1 || fail "report: $(cat "$NV_WORK/report.out")"
cat "$NV_WORK/report.out"

# Every path has its three measurements of three sessions each, and the files are there.
for path in refused accepted; do
  for measurement in floor-per-step floor idle back-to-back; do
    n=$(grep -c "^$path,$measurement," "$NV_WORK/samples.csv" || true)
    [ "$n" = 3 ] || fail "$path $measurement: $n samples instead of 3"
  done
  grep -q "^$path,ratio idle/floor," "$NV_WORK/table.csv" || fail "no ratio for the $path path"
  grep -q "^$path,ratio idle greeting/floor per step," "$NV_WORK/table.csv" || fail "no per-step ratio for the $path path"
  grep -q "^$path,RssAnon after run," "$NV_WORK/table.csv" || fail "no Linux view for the $path path"
done
[ -s "$NV_WORK/latency.png" ] || fail "no picture"
echo "bench smoke: passed"
