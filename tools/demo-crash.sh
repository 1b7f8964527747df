# The demo's crash step, sourced by tools/demo.sh at its end (it uses the demo's prefix, helpers and
# output functions): the service is made to fault inside a session, and the demo shows what support
# staff get afterwards.
#
# Under Wine two things need help: a crash that the service's filter hands on reaches the debugger
# named under AeDebug (a service ignores WINEDLLOVERRIDES), so that debugger is a command that exits
# at once; and the fault itself comes from the msi.dll test double, told to fault when the session
# opens the package. The report tool is a stand-in that records its command line and exits.

# Unix process ids of the service in this prefix (none once it has ended).
nv_service_pids() {
  local pid
  for pid in $(pgrep -f 'nvupdaterservice\.exe' || true); do
    tr '\0' '\n' <"/proc/$pid/environ" 2>/dev/null | grep -qx "WINEPREFIX=$WINEPREFIX" && echo "$pid"
  done
  return 0
}

nv_demo_crash() {
  local windows=$WINEPREFIX/drive_c/windows dump i
  dump=$windows/nvupdaterservice.dmp
  step "11. A crash inside a session"
  for view in 32 64; do
    nv_wine 60 reg add 'HKLM\Software\Microsoft\Windows NT\CurrentVersion\AeDebug' /v Debugger /t REG_SZ \
      /d 'C:\windows\system32\cmd.exe /c exit' /f /reg:$view || fail "setting the AeDebug debugger"
    nv_wine 60 reg add 'HKLM\Software\Microsoft\Windows NT\CurrentVersion\AeDebug' /v Auto /t REG_SZ /d 1 /f \
      /reg:$view || fail "setting AeDebug Auto"
  done
  nv_wine 60 reg add 'HKLM\SOFTWARE\NorvoTest\MsiDouble' /v FaultInCall /t REG_DWORD /d 94 /f /reg:$NV_REG_VIEW \
    || fail "telling the msi.dll test double to fault"
  cp -f "$NV_BUILD/tools/nassist/nassist.exe" "$windows/nassist.exe"
  rm -f "$dump" "$windows/nassist-calls.txt"
  note "AeDebug debugger: a command that exits at once (Wine would otherwise wait for a debugger)"
  note "msi.dll test double: FaultInCall = 94, the service faults when its session opens the package"
  note "report tool: the stand-in nassist.exe in C:\\windows, the service's current directory"
  nv_service_start || fail "the service did not reach RUNNING within 30 s"
  note "sc start $NV_SERVICE: RUNNING"
  rc=0; nv_client 'C:\demo\sample-2.0.0.msi' || rc=$?
  show "$NV_WORK/client.out"
  note "client exit code $rc: the service went away in the middle of the session"
  note "writing a full-memory dump (Wine needs some 20 to 40 s for it) ..."
  for ((i = 0; i < 180 * 2; i++)); do
    [ -s "$windows/nassist-calls.txt" ] && [ -z "$(nv_service_pids)" ] && break
    sleep 0.5
  done
  [ -s "$windows/nassist-calls.txt" ] || fail "the report tool was not started within 180 s"

  step "12. What the crash left behind"
  note "the dump, C:\\windows\\nvupdaterservice.dmp, read with tools/dumpreader.py:"
  python3 "$NV_ROOT/tools/dumpreader.py" "$dump" >"$NV_WORK/dump-summary.txt" || fail "reading the dump"
  grep -v '^stream ' "$NV_WORK/dump-summary.txt" | sed 's/^/   | /'
  note "the report tool's command line, as it received it:"
  show "$windows/nassist-calls.txt"
  note "assist.err beside the service executable:"
  show "$(nv_service_dir)/assist.err"
  if [ -z "$(nv_service_pids)" ]; then
    note "the service process has ended; Wine's SCM does not notice and still says $(nv_service_state)"
  else
    fail "the service process is still running"
  fi
}
nv_demo_crash
