#!/usr/bin/env bash
# Proves run-suite.sh's one rerun without Wine: a stand-in for the Wine launcher (NV_WINE) plays a
# test program that reports success or failure and then exits normally or dies by a signal.
# usage: rerun-selftest.sh WORKDIR
set -uo pipefail
here=$(cd "$(dirname "$0")" && pwd)
work=$1
rm -rf "$work"
mkdir -p "$work/bin" "$work/run/template"

# nvwine EXE: the behaviour of attempt N is the Nth word of $FAKE_PLAN (pass, fail; "+segv" dies
# after). Its server and the session's first command do nothing.
cat >"$work/bin/nvwine" <<'FAKE'
#!/usr/bin/env bash
case $1 in
  server|cmd) exit 0;;
  loaders) echo "32+64: a stand-in"; exit 0;;
esac
count=$(( $(cat "$FAKE_COUNT" 2>/dev/null || echo 0) + 1 ))
echo "$count" >"$FAKE_COUNT"
set -- $FAKE_PLAN
shift $((count - 1))
case ${1:-pass} in
  pass*) echo "[  PASSED  ] 1 test.";;
  fail*) echo "[  FAILED  ] 1 test, listed below:"; echo "[  PASSED  ] 0 tests.";;
esac
case ${1:-pass} in
  *+segv) kill -SEGV $$;;
  fail*) exit 1;;
esac
exit 0
FAKE
chmod +x "$work/bin/nvwine"

failures=0
# check PLAN EXPECTED_RC EXPECTED_RUNS RERUN_NOTICE(yes|no)
check() {
  export FAKE_PLAN=$1 FAKE_COUNT=$work/count
  rm -f "$FAKE_COUNT"
  out=$(NV_WINE="$work/bin/nvwine" "$here/run-suite.sh" --run "$work/run" --name fake --timeout 20 -- /bin/true 2>&1)
  rc=$?
  runs=$(cat "$FAKE_COUNT")
  notice=no
  grep -q 'running the suite once more' <<<"$out" && notice=yes
  if [ "$rc" != "$2" ] || [ "$runs" != "$3" ] || [ "$notice" != "$4" ]; then
    echo "FAIL: plan '$1': rc $rc (want $2), runs $runs (want $3), notice $notice (want $4)"
    echo "$out" | sed 's/^/    /'
    failures=$((failures + 1))
  else
    echo "ok: plan '$1': rc $rc, runs $runs, notice $notice"
  fi
}

check "pass" 0 1 no
check "pass+segv pass" 0 2 yes            # Wine's crash after success: one rerun, and it says so
check "pass+segv pass+segv" 139 2 yes     # only once
check "fail+segv pass" 139 1 no           # a failing test is never run again
check "fail pass" 1 1 no
[ -d "$work/run/suites/fake" ] || { echo "FAIL: no suite folder"; failures=$((failures + 1)); }
exit $((failures > 0))
