#!/usr/bin/env bash
# Runs one test suite (a Windows test executable) under Wine in its own copy of the template prefix.
#
# usage: run-suite.sh --run RUNDIR --name SUITE [--timeout SECONDS] [--display] [--prepare SCRIPT] -- EXE [ARGS...]
#
# Per suite: a fresh prefix, one persistent wineserver, and a first command whose stderr becomes the
# stderr of the whole server session (services started by the SCM write there, and so do Wine's
# event-log lines). The test sees these Windows paths in its environment:
#   NV_SUITE_DIR        a folder of its own for artifacts (screenshots, logs)
#   NV_SESSION_STDERR   the server session's stderr file
#   NV_BUILD_DIR        the build folder (executables, test doubles)
#   NV_SOURCE_DIR       the source tree
#   NV_RUN_DIR          the run folder (shared test material made by fixtures, such as packages)
# Every wait is bounded: the test executable is killed after --timeout seconds (default 300), and the
# server session is always torn down. When Wine dies by a signal after the test program reported
# that every test passed, the suite runs once more from a fresh prefix, and says so; its second
# result is the suite's result. A failed test is never run again.
set -uo pipefail
here=$(cd "$(dirname "$0")" && pwd)
. "$here/../../tools/lib/wine-env.sh"

run="" name="" limit=300 display=0 prepare=""
while [ $# -gt 0 ]; do
  case $1 in
    --run) run=$2; shift 2;;
    --name) name=$2; shift 2;;
    --timeout) limit=$2; shift 2;;
    --display) display=1; shift;;
    --prepare) prepare=$2; shift 2;;
    --) shift; break;;
    *) echo "run-suite: unknown option $1" >&2; exit 2;;
  esac
done
[ -n "$run" ] && [ -n "$name" ] && [ $# -ge 1 ] || { echo "run-suite: usage error" >&2; exit 2; }
[ -d "$run/template" ] || { echo "run-suite: no template prefix in $run (run the wine_template fixture)" >&2; exit 2; }

if [ "$display" = 1 ] && [ -z "${NV_IN_XVFB:-}" ]; then
  export NV_IN_XVFB=1
  exec xvfb-run -a -s "-screen 0 1024x768x24" "$0" --display --run "$run" --name "$name" --timeout "$limit" \
       ${prepare:+--prepare "$prepare"} -- "$@"
fi
[ "$display" = 1 ] || unset DISPLAY

suite=$run/suites/$name
export WINEPREFIX=$suite/prefix
rm -rf "$suite"
mkdir -p "$suite"

cleanup() { stop_server "$WINEPREFIX"; rm -rf "$WINEPREFIX"; }
trap cleanup EXIT

export NV_SUITE_DIR=$(winpath "$suite")
export NV_SESSION_STDERR=$(winpath "$suite/session.err")
export NV_BUILD_DIR=$(winpath "$(dirname "$(readlink -f "$1")")")
export NV_SOURCE_DIR=$(winpath "$(cd "$here/../.." && pwd)")
export NV_RUN_DIR=$(winpath "$run")

# One run of the suite in a fresh copy of the template prefix: sets rc.
run_once() {
  cp -a "$run/template" "$WINEPREFIX"
  start_server_session "$suite"

  if [ -n "$prepare" ]; then
    if ! timeout 120 "$prepare" "$suite" >"$suite/prepare.log" 2>&1; then
      echo "run-suite: prepare step failed:"; cat "$suite/prepare.log"; exit 1
    fi
  fi

  start=$(date +%s%N)
  # Output goes to a file, never to a pipe: Wine's helper processes would keep a pipe open.
  timeout -k 10 "$limit" "$NV_WINE" "$@" >"$suite/test.out" 2>"$suite/test.err"
  rc=$?
  cat "$suite/test.out"
  if [ $rc -ne 0 ]; then
    [ $rc -eq 124 ] && echo "run-suite: $name timed out after $limit s"
    echo "---- test stderr (last 40 lines)"; tail -n 40 "$suite/test.err"
    echo "---- session stderr (last 40 lines)"; tail -n 40 "$suite/session.err"
  fi
  printf 'run-suite: %s finished with %d in %s s\n' "$name" "$rc" "$(elapsed "$start")"
}

# True when Wine died by a signal (other than the time limit's KILL) after the test program had
# reported that every test passed: Wine 8.0 can crash in its own process exit under load.
died_after_success() {
  [ "$rc" -gt 128 ] && [ "$rc" -lt 160 ] && [ "$rc" -ne 137 ] || return 1
  grep -q '^\[  PASSED  \]' "$suite/test.out" && ! grep -q '^\[  FAILED  \]' "$suite/test.out"
}

run_once "$@"
if died_after_success; then
  echo "run-suite: $name: every test passed, then Wine died by signal $((rc - 128)); running the suite once more (the first run is kept in attempt-1/)"
  stop_server "$WINEPREFIX"
  rm -rf "$WINEPREFIX"
  mkdir "$suite/attempt-1"
  find "$suite" -mindepth 1 -maxdepth 1 ! -name attempt-1 -exec mv {} "$suite/attempt-1/" \;
  run_once "$@"
fi
exit $rc
