# Sourced by run-soak.sh and the soak's smoke run, after tools/lib/nvprefix.sh and
# tools/bench/bench-lib.sh: the runs of nvsoak.exe against the service in $WINEPREFIX, and the table.
# The caller has installed the service (stopped), the msi.dll test double for nvupdaterservice.exe,
# a product the accepted package upgrades, and sets:
#   SOAK_ACCEPTED, SOAK_REFUSED   the packages (Windows paths)
#   SOAK_PRODUCT_CODE             the accepted package's product code (its advertisement's key)
#   SOAK_KILL_EVERY, SOAK_SILENT_EVERY, SOAK_UNREMOVED_EVERY   the mix (one session in K of that
#                                 kind; a failed removal is followed by a refused session of its own)
# Raw figures go to $NV_WORK: soak.out (nvsoak), figures.csv, linux.csv, and service.log: the whole
# log of the soak, gathered after every batch, since the service keeps only one rotated file; the
# run with several clients at once (soak_at_once) writes at-once.out and at-once.log.

# nvsoak.exe into the prefix.
soak_install() {
  mkdir -p "$(nv_prefix)/drive_c/soak"
  cp -f "$NV_BUILD/tools/soak/nvsoak.exe" "$(nv_prefix)/drive_c/soak/"
  rm -f "$NV_WORK/linux.csv" "$NV_WORK/soak.out" "$NV_WORK/figures.csv" "$NV_WORK/service.log" \
    "$NV_WORK/at-once.out" "$NV_WORK/at-once.log"
  SOAK_LOG_OFFSET=0 SOAK_LOG_ROTATED=none SOAK_NEXT=0
}

# Appends what the service logged since the last call to service.log (or to the file given). A
# batch writes far less than the size at which the service rotates its log, so at most one rotation
# lies between two calls: the rotated file (a new file identity) is then the rest of what was read
# from before.
soak_gather_log() {
  local log rotated size into=${1:-$NV_WORK/service.log}
  log=$(nv_service_log)
  rotated=$(stat -c %i "$log.previous" 2>/dev/null || echo none)
  if [ "$rotated" != "$SOAK_LOG_ROTATED" ]; then
    [ "$rotated" = none ] || tail -c +$((SOAK_LOG_OFFSET + 1)) "$log.previous" >>"$into"
    SOAK_LOG_OFFSET=0 SOAK_LOG_ROTATED=$rotated
  fi
  size=$(stat -c %s "$log")
  tail -c +$((SOAK_LOG_OFFSET + 1)) "$log" | head -c $((size - SOAK_LOG_OFFSET)) >>"$into"
  SOAK_LOG_OFFSET=$size
}

# nvsoak with the soak's packages and mix, the mix going on from the last batch; its output is
# appended to soak.out, and the log gathered.
soak_nvsoak() {
  timeout -k 5 3600 "$NV_WINE" 'C:\soak\nvsoak.exe' --accepted "$SOAK_ACCEPTED" --refused "$SOAK_REFUSED" --sessions "$1" \
    --first "$SOAK_NEXT" --kill-every "$SOAK_KILL_EVERY" --silent-every "$SOAK_SILENT_EVERY" \
    --unremoved-every "${SOAK_UNREMOVED_EVERY:-0}" >"$NV_WORK/nvsoak.out" 2>&1 || return 1
  SOAK_NEXT=$((SOAK_NEXT + $1))
  tr -d "\r" <"$NV_WORK/nvsoak.out" >>"$NV_WORK/soak.out"
  soak_gather_log
}

# SESSIONS sessions in batches of at most 100; the service's figures from before the first and after
# the last, for run RUN.
soak_batches() {
  local left=$1 run=$2 batch first=1
  while [ "$left" -gt 0 ]; do
    batch=$((left < 100 ? left : 100))
    soak_nvsoak "$batch" || return 1
    if [ "$first" = 1 ]; then
      grep "^figures,start," "$NV_WORK/nvsoak.out" | tr -d "\r" | sed "s/^figures,/run$run,/" >>"$NV_WORK/figures.csv"
      first=0
    fi
    left=$((left - batch))
  done
  grep "^figures,end," "$NV_WORK/nvsoak.out" | tr -d "\r" | sed "s/^figures,/run$run,/" >>"$NV_WORK/figures.csv"
}

# SESSIONS in RUNS runs, each begun by WARMUP sessions, with a service restart between two runs;
# the package's hold is looked at after the last session, while the service still runs.
# usage: soak_runs SESSIONS RUNS WARMUP
soak_runs() {
  local sessions=$1 runs=$2 warmup=$3 per_run count run start
  per_run=$((sessions / runs))
  [ "$per_run" -gt "$warmup" ] || { echo "$sessions sessions in $runs runs leave nothing after $warmup warm-up sessions"; return 1; }
  start=$(date +%s)
  for ((run = 1; run <= runs; run++)); do
    [ "$run" = 1 ] || echo "restart" >>"$NV_WORK/soak.out"
    nv_service_start || { echo "the service did not start (run $run)"; return 1; }
    count=$per_run
    [ "$run" = "$runs" ] && count=$((sessions - per_run * (runs - 1)))
    soak_nvsoak "$warmup" || { echo "warm-up of run $run: $(cat "$NV_WORK/nvsoak.out")"; return 1; }
    bench_linux_row "run$run" after-warm-up || { echo "no service process (run $run)"; return 1; }
    soak_batches $((count - warmup)) "$run" || { echo "run $run: $(cat "$NV_WORK/nvsoak.out")"; return 1; }
    bench_linux_row "run$run" end || { echo "no service process (run $run)"; return 1; }
    echo "run $run: $count sessions, $(( $(date +%s) - start )) s since the start"
    if [ "$run" = "$runs" ]; then
      timeout -k 5 60 "$NV_WINE" 'C:\soak\nvsoak.exe' --free "$SOAK_ACCEPTED" >"$NV_WORK/free.out" 2>&1 || true
    fi
    nv_service_stop || { echo "the service did not stop (run $run)"; return 1; }
    soak_gather_log
  done
  echo "$(( $(date +%s) - start ))" >"$NV_WORK/seconds"
}

# SESSIONS sessions by CLIENTS clients at once, each waiting for the pipe as the reference client
# does, against the service started for them; their log goes to at-once.log.
# usage: soak_at_once CLIENTS SESSIONS
soak_at_once() {
  nv_service_start || { echo "the service did not start (at once)"; return 1; }
  soak_gather_log
  timeout -k 5 3600 "$NV_WINE" 'C:\soak\nvsoak.exe' --accepted "$SOAK_ACCEPTED" --refused "$SOAK_REFUSED" \
    --sessions "$2" --clients "$1" >"$NV_WORK/nvsoak.out" 2>&1 || { cat "$NV_WORK/nvsoak.out"; return 1; }
  tr -d "\r" <"$NV_WORK/nvsoak.out" >"$NV_WORK/at-once.out"
  nv_service_stop || { echo "the service did not stop (at once)"; return 1; }
  soak_gather_log "$NV_WORK/at-once.log"
}

# The table of what the soak did and found (printed, and as table.md); non-zero when anything found
# differs from what is expected. usage: soak_table SESSIONS RUNS
soak_table() {
  local sessions=$1 runs=$2 packed advertised scripts held log acc ref sil kil unr total restarts wrong run status=0
  local kept released once clients at_once at_once_wrong at_once_late longest
  packed=$(python3 -c 'import sys; g = sys.argv[1].strip("{}").replace("-", "")
parts = [g[0:8], g[8:12], g[12:16]] + [g[16 + 2 * i:18 + 2 * i] for i in range(8)]
print("".join(p[::-1] for p in parts))' "$SOAK_PRODUCT_CODE")
  nv_wine 30 reg query "HKLM\\SOFTWARE\\Classes\\Installer\\Products\\$packed" /reg:64 && advertised=yes || advertised=no
  scripts=$(find "$(nv_prefix)/drive_c/users/Public/Norvo/Updater Service/scripts" -name '*.aas' 2>/dev/null | wc -l)
  held=$(sed -n 's/^free,//p' "$NV_WORK/free.out" | tr -d '\r')
  log=$NV_WORK/service.log
  kind_total() { grep "^kind,$1," "$NV_WORK/soak.out" | awk -F, '{ s += $3 } END { print s + 0 }'; }
  acc=$(kind_total accepted) ref=$(kind_total refused) sil=$(kind_total silent) kil=$(kind_total 'killed after the go-ahead')
  unr=$(kind_total 'failed removal')
  total=$((acc + ref + sil + kil + unr))
  kept=$(awk -F, '/^holds,/ { s += $2 } END { print s + 0 }' "$NV_WORK/soak.out")
  released=$(awk -F, '/^holds,/ { s += $3 } END { print s + 0 }' "$NV_WORK/soak.out")
  wrong=$(awk -F, '/^kind,/ { s += $4 } END { print s + 0 }' "$NV_WORK/soak.out")
  restarts=$(grep -c '^restart' "$NV_WORK/soak.out" || true)
  # One row: what, expected, found; a difference is counted.
  row() {
    echo "| $1 | $2 | $3 |"
    [ "$2" = "$3" ] || status=1
  }
  lines() { grep -c -- "$1" "$log" || true; }
  figure() { awk -F, -v r="run$1" -v m="$2" -v c="$3" '$1 == r && $2 == m { print $c }' "$4"; }
  {
    echo "| What | Expected | Found |"
    echo "|---|---|---|"
    row "sessions" "$sessions" "$total"
    echo "| of them accepted / refused / silent / killed after the go-ahead / failed removal | | $acc / $ref / $sil / $kil / $unr in $(cat "$NV_WORK/seconds") s |"
    row "sessions that did not get their answer" 0 "$wrong"
    row "service restarts between runs" $((runs - 1)) "$restarts"
    # A failed removal is two sessions: the accepted one, then a refused one whose clean-up removes it.
    row "log: \"Pipe connected.\" / \"Pipe closed.\"" "$((total + unr)) / $((total + unr))" "$(lines 'Comm - Pipe connected.') / $(lines 'Comm - Pipe closed.')"
    row "log: \"Communication with setup wrapper finished.\" (accepted)" "$acc" "$(lines 'Comm - Communication with setup wrapper finished.')"
    row "log: \"Sign check result\" (refused, and after a failed removal)" "$((ref + unr))" "$(lines 'Debug - Sign check result: ')"
    row "log: \"Recieving init command fails.\" (silent)" "$sil" "$(lines 'Comm - Recieving init command fails.')"
    row "log: \"Recieving result fails.\" (killed)" "$kil" "$(lines 'Comm - Recieving result fails.')"
    row "log: \"Product was unadvertised.\" (accepted and killed)" $((acc + kil)) "$(lines 'Debug - Product was unadvertised.')"
    row "log: \"Unadvertising failed\" (failed removal)" "$unr" "$(lines 'Unadvertising failed')"
    row "log: \"Checking old advertising script returns error\" (the clean-up after it)" "$unr" "$(lines 'Error - Checking old advertising script')"
    row "holds kept after a failed removal / released after the clean-up" "$unr / $unr" "$kept / $released"
    row "advertisement left" no "$advertised"
    row "scripts left (*.aas)" 0 "$scripts"
    row "package held after the last session (error opening it for writing)" 0 "${held:-not measured}"
    if [ -f "$NV_WORK/at-once.out" ]; then
      # clients,N,sessions,wrong,late,longest wait (ms)
      once=$(grep '^clients,' "$NV_WORK/at-once.out" | tail -1)
      IFS=, read -r _ clients at_once at_once_wrong at_once_late longest <<<"$once"
      row "$clients clients at once: sessions answered" "$at_once" "$((at_once - at_once_wrong))"
      row "$clients clients at once: sessions past their connect limit (10 s)" 0 "$at_once_late"
      row "$clients clients at once: log \"Pipe connected.\" / \"Pipe closed.\"" "$at_once / $at_once" \
        "$(grep -c -- 'Comm - Pipe connected.' "$NV_WORK/at-once.log") / $(grep -c -- 'Comm - Pipe closed.' "$NV_WORK/at-once.log")"
      echo "| $clients clients at once: longest wait for the pipe | | $longest ms |"
    fi
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
  return $status
}
