#!/usr/bin/env bash
# The soak: SESSIONS sessions against the service under the SCM, in RUNS runs with a service restart
# between two runs, mixing accepted and refused packages, silent clients (dropped at the service's
# 10 s limit) and client processes killed after the go-ahead (nvsoak.exe). Each run begins with
# WARMUP sessions, after which the service's figures are taken, and its figures are taken again
# after its last session. At the end, with the service still running: no advertisement and no
# script left, the package not held; then the log's lines counted against the sessions of each
# kind. Prints one table (also build/soak/table.md). Its own prefix in build/soak, like the
# benchmark's (tools/lib/nvprefix.sh, tools/bench/bench-lib.sh).
#
# usage: tools/soak/run-soak.sh [SESSIONS] [BUILD_DIR]    (defaults: 2000, build)
#   environment: NV_SOAK_RUNS (4), NV_SOAK_WARMUP (20 per run), NV_SOAK_KILL_EVERY (7),
#                NV_SOAK_SILENT_EVERY (200), NV_SOAK_WORK (BUILD_DIR/soak)
set -euo pipefail
sessions=${1:-2000}
runs=${NV_SOAK_RUNS:-4}
warmup=${NV_SOAK_WARMUP:-20}
kill_every=${NV_SOAK_KILL_EVERY:-7}
silent_every=${NV_SOAK_SILENT_EVERY:-200}
NV_ROOT=$(cd "$(dirname "$0")/../.." && pwd)
NV_BUILD=$(cd "$NV_ROOT" && mkdir -p "${2:-build}" && cd "${2:-build}" && pwd)
NV_WORK=${NV_SOAK_WORK:-$NV_BUILD/soak}
. "$NV_ROOT/tools/lib/nvprefix.sh"
. "$NV_ROOT/tools/bench/bench-lib.sh"
trap 'nv_server_stop' EXIT
fail() { echo "soak: $*"; [ -f "$NV_WORK/last.out" ] && cat "$NV_WORK/last.out"; exit 1; }
per_run=$((sessions / runs))
[ "$per_run" -gt "$warmup" ] || fail "$sessions sessions in $runs runs leave nothing after $warmup warm-up sessions"

"$NV_ROOT/tools/build.sh" "$NV_BUILD" >"$NV_BUILD/soak-build.log" 2>&1 || fail "build failed (soak-build.log)"
nv_prefix_make
nv_service_install || fail "sc create"
"$NV_ROOT/tools/msidouble/install.sh" --dll "$NV_BUILD/tools/msidouble/msi.dll" "$(nv_prefix)" nvupdaterservice.exe \
  >"$NV_WORK/msidouble.log" 2>&1 || fail "msi.dll test double"
nv_kit_make >"$NV_WORK/kit.log" 2>&1 || fail "test kit (kit.log)"
nv_wine 180 msiexec /i 'C:\demo\sample-1.0.0.msi' /qn || fail "installing version 1.0.0"
mkdir -p "$(nv_prefix)/drive_c/soak"
cp -f "$NV_BUILD/tools/soak/nvsoak.exe" "$(nv_prefix)/drive_c/soak/"
accepted='C:\demo\sample-2.0.0.msi'
refused='C:\demo\sample-2.0.0-unsigned.msi'
rm -f "$NV_WORK/linux.csv" "$NV_WORK/soak.out" "$NV_WORK/figures.csv"

# nvsoak with this soak's packages and mix; its output is appended to soak.out.
soak() {
  timeout -k 5 3600 wine 'C:\soak\nvsoak.exe' --accepted "$accepted" --refused "$refused" --sessions "$1" \
    --kill-every "$kill_every" --silent-every "$silent_every" >"$NV_WORK/nvsoak.out" 2>&1 || return 1
  tr -d "\r" <"$NV_WORK/nvsoak.out" >>"$NV_WORK/soak.out"
}

echo "Soak under $(wine --version) on $(nproc) cores, load average $(cut -d' ' -f1-3 /proc/loadavg): $sessions sessions in $runs runs."
start=$(date +%s)
for ((run = 1; run <= runs; run++)); do
  [ "$run" = 1 ] || echo "restart" >>"$NV_WORK/soak.out"
  nv_service_start || fail "the service did not start (run $run)"
  count=$per_run
  [ "$run" = "$runs" ] && count=$((sessions - per_run * (runs - 1)))
  soak "$warmup" || fail "warm-up of run $run: $(cat "$NV_WORK/nvsoak.out")"
  bench_linux_row "run$run" after-warm-up || fail "no service process (run $run)"
  soak $((count - warmup)) || fail "run $run: $(cat "$NV_WORK/nvsoak.out")"
  grep "^figures," "$NV_WORK/nvsoak.out" | tr -d "\r" | sed "s/^figures,/run$run,/" >>"$NV_WORK/figures.csv"
  bench_linux_row "run$run" end || fail "no service process (run $run)"
  echo "run $run: $count sessions, $(( $(date +%s) - start )) s since the start"
  if [ "$run" = "$runs" ]; then
    timeout -k 5 60 wine 'C:\soak\nvsoak.exe' --free "$accepted" >"$NV_WORK/free.out" 2>&1 || true
  fi
  nv_service_stop || fail "the service did not stop (run $run)"
done
seconds=$(( $(date +%s) - start ))

# What the machine holds afterwards.
packed=$(python3 -c 'import sys; g = sys.argv[1].strip("{}").replace("-", "")
parts = [g[0:8], g[8:12], g[12:16]] + [g[16 + 2 * i:18 + 2 * i] for i in range(8)]
print("".join(p[::-1] if i < 3 else p[::-1] for i, p in enumerate(parts)))' "$NV_SAMPLE_PC2")
nv_wine 30 reg query "HKLM\\SOFTWARE\\Classes\\Installer\\Products\\$packed" /reg:64 && advertised=1 || advertised=0
scripts=$(find "$(nv_prefix)/drive_c/users/Public/Norvo/Updater Service/scripts" -name '*.aas' 2>/dev/null | wc -l)
held=$(sed -n 's/^free,//p' "$NV_WORK/free.out" | tr -d '\r')

log=$(nv_service_log)
count_lines() { grep -c -- "$1" "$log" || true; }
kind_total() { grep "^kind,$1," "$NV_WORK/soak.out" | awk -F, '{ s += $3 } END { print s + 0 }'; }
kind_wrong() { awk -F, '/^kind,/ { s += $4 } END { print s + 0 }' "$NV_WORK/soak.out"; }
acc=$(kind_total accepted) ref=$(kind_total refused) sil=$(kind_total silent) kil=$(kind_total 'killed after the go-ahead')
total=$((acc + ref + sil + kil))
restarts=$(grep -c '^restart' "$NV_WORK/soak.out" || true)

figure() { awk -F, -v r="run$1" -v m="$2" -v c="$3" '$1 == r && $2 == m { print $c }' "$4"; }
{
  echo "| What | Expected | Found |"
  echo "|---|---|---|"
  echo "| sessions (accepted / refused / silent / killed after the go-ahead) | $sessions | $total ($acc / $ref / $sil / $kil) in $seconds s |"
  echo "| sessions that did not get their answer | 0 | $(kind_wrong) |"
  echo "| service restarts between runs | $((runs - 1)) | $restarts |"
  echo "| log: \"Pipe connected.\" / \"Pipe closed.\" | $total / $total | $(count_lines 'Comm - Pipe connected.') / $(count_lines 'Comm - Pipe closed.') |"
  echo "| log: \"Communication with setup wrapper finished.\" (accepted) | $acc | $(count_lines 'Comm - Communication with setup wrapper finished.') |"
  echo "| log: \"Sign check result\" (refused) | $ref | $(count_lines 'Debug - Sign check result: ') |"
  echo "| log: \"Recieving init command fails.\" (silent) | $sil | $(count_lines 'Comm - Recieving init command fails.') |"
  echo "| log: \"Recieving result fails.\" (killed) | $kil | $(count_lines 'Comm - Recieving result fails.') |"
  echo "| log: \"Product was unadvertised.\" (accepted and killed) | $((acc + kil)) | $(count_lines 'Debug - Product was unadvertised.') |"
  echo "| log: \"Unadvertising failed\" | 0 | $(count_lines 'Unadvertising failed') |"
  echo "| advertisement left (HKLM Installer\\Products of 2.0.0) | no | $([ "$advertised" = 1 ] && echo yes || echo no) |"
  echo "| scripts left (*.aas) | 0 | $scripts |"
  echo "| package held after the last session (open for writing) | 0 (no error) | ${held:-not measured} |"
  echo
  echo "| Run | handles (process list) | private bytes (process list) | VmRSS kB | RssAnon kB | open descriptors |"
  echo "|---|---|---|---|---|---|"
  for ((run = 1; run <= runs; run++)); do
    printf '| %s | %s -> %s | %s -> %s | %s -> %s | %s -> %s | %s -> %s |\n' "$run" \
      "$(figure "$run" start 3 "$NV_WORK/figures.csv")" "$(figure "$run" end 3 "$NV_WORK/figures.csv")" \
      "$(figure "$run" start 4 "$NV_WORK/figures.csv")" "$(figure "$run" end 4 "$NV_WORK/figures.csv")" \
      "$(figure "$run" after-warm-up 3 "$NV_WORK/linux.csv")" "$(figure "$run" end 3 "$NV_WORK/linux.csv")" \
      "$(figure "$run" after-warm-up 4 "$NV_WORK/linux.csv")" "$(figure "$run" end 4 "$NV_WORK/linux.csv")" \
      "$(figure "$run" after-warm-up 5 "$NV_WORK/linux.csv")" "$(figure "$run" end 5 "$NV_WORK/linux.csv")"
  done
} >"$NV_WORK/table.md"
cat "$NV_WORK/table.md"
