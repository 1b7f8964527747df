# Sourced by run-bench.sh and the benchmark's smoke run, after tools/lib/nvprefix.sh: the three
# measurements of one package path against the running service in $WINEPREFIX, and the report.
# Raw figures go to $NV_WORK: samples.csv and figures.csv (nvbench), linux.csv (here).
#
# The caller has installed the service, the msi.dll test double for nvupdaterservice.exe and
# nvbench.exe (the floor advertises through it as the service does), and bench_install.

NV_BENCH_DIR_WIN='C:\bench'

# nvbench.exe into the prefix: the floor creates the service's folders beside the executable, as the
# service would, and they stay inside the prefix.
bench_install() {
  mkdir -p "$(nv_prefix)/drive_c/bench"
  cp -f "$NV_BUILD/tools/bench/nvbench.exe" "$(nv_prefix)/drive_c/bench/"
  rm -f "$NV_WORK/samples.csv" "$NV_WORK/figures.csv" "$NV_WORK/linux.csv"
}

# The Linux process of this prefix's service.
bench_service_pid() {
  local p
  for p in $(pgrep -f 'nvupdaterservice.exe' || true); do
    if tr '\0' '\n' <"/proc/$p/environ" 2>/dev/null | grep -qxF "WINEPREFIX=$WINEPREFIX"; then echo "$p"; return; fi
  done
}

# What Linux sees of the service (resident and anonymous memory, open descriptors), as one line of
# linux.csv: PATH MOMENT. Taken once the service is idle again: the ended session's thread gone (its
# stack and descriptors with it) and the next one waiting for a client.
bench_linux_row() {
  local p
  sleep 1
  p=$(bench_service_pid)
  [ -n "$p" ] || return 1
  [ -f "$NV_WORK/linux.csv" ] || echo "path,moment,vmrss_kb,rssanon_kb,fds" >"$NV_WORK/linux.csv"
  printf '%s,%s,%s,%s,%s\n' "$1" "$2" "$(awk '/^VmRSS/ {print $2}' "/proc/$p/status")" \
    "$(awk '/^RssAnon/ {print $2}' "/proc/$p/status")" "$(ls "/proc/$p/fd" | wc -l)" >>"$NV_WORK/linux.csv"
}

# nvbench with its CSV files; its output is appended to $NV_WORK/bench.out and shown.
bench_nvbench() {
  local rc=0
  timeout -k 5 1800 "$NV_WINE" "$NV_BENCH_DIR_WIN\\nvbench.exe" --samples "$(winpath "$NV_WORK/samples.csv")" \
    --figures "$(winpath "$NV_WORK/figures.csv")" "$@" >"$NV_WORK/nvbench.out" 2>&1 || rc=$?
  cat "$NV_WORK/nvbench.out" | tee -a "$NV_WORK/bench.out"
  return $rc
}

# One path: warm-up sessions, then idle sessions each followed by a floor pass (both taken under the
# same load of the machine), then back-to-back sessions; the service's Linux view after the warm-up
# and after the last session.
# usage: bench_path refused|accepted PACKAGE SESSIONS WARMUP IDLE_MS
bench_path() {
  local path=$1 package=$2 sessions=$3 warmup=$4 idle=$5 flag
  [ "$path" = accepted ] && flag=--accept || flag=--refuse
  # Warm-up sessions of their own, so that the Linux view is taken after them.
  timeout -k 5 600 "$NV_WINE" "$NV_BENCH_DIR_WIN\\nvbench.exe" "$flag" --package "$package" --sessions "$warmup" \
    --warmup 0 >"$NV_WORK/warmup.out" 2>&1 || { cat "$NV_WORK/warmup.out"; return 1; }
  bench_linux_row "$path" after-warm-up || return 1
  bench_nvbench "$flag" --package "$package" --sessions "$sessions" --warmup 5 --idle-ms "$idle" --paired-floor || return 1
  bench_nvbench "$flag" --package "$package" --sessions "$sessions" --warmup 0 || return 1
  bench_linux_row "$path" after-run
}

# The table (printed, table.md, table.csv) and the picture (latency.png) in $NV_WORK.
bench_report() {
  # matplotlib from the distribution's packages, which belong to its own interpreter.
  /usr/bin/python3 "$NV_ROOT/tools/bench/report.py" "$NV_WORK"
}
