#!/usr/bin/env bash
# Every Wine command of the project's scripts goes through tools/lib/nvwine, so that each runs with
# the loader the host can run: lists any script line that starts wine, wine64, wineboot, winecfg or
# wineserver itself, and fails when there is one.
# usage: launcher-check.sh SOURCE_DIR
set -uo pipefail
cd "$1" || exit 2
started='(^|[0-9]:|[;&|({ ]|timeout( -k [0-9]+)? [0-9]+ )(wine|wine64|wineboot|winecfg|wineserver)( |$)'
scripts=$(git ls-files -co --exclude-standard -- '*.sh' 'tools/lib/*' '.ci/*' 2>/dev/null |
  grep -vx 'tools/lib/nvwine' | grep -vx 'tools/setup.sh')
[ "$(printf '%s\n' "$scripts" | grep -c .)" -gt 20 ] || { echo "launcher-check: the scripts were not found in $1"; exit 2; }
hits=$(printf '%s\n' "$scripts" |
  xargs grep -nE "$started" 2>/dev/null | grep -vE ':[0-9]+:[[:space:]]*#' |
  sed -E 's/("\$NV_WINE"|nvwine) (wine|wine64|wineboot|winecfg|wineserver)//g' | grep -E "$started")
if [ -n "$hits" ]; then
  echo "Wine started without tools/lib/nvwine:"
  echo "$hits"
  exit 1
fi
echo "every Wine command goes through tools/lib/nvwine"
