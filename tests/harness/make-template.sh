#!/usr/bin/env bash
# Makes the Wine prefix template that every suite of one test run copies: a 64-bit prefix (with
# WoW64 where the host runs 32-bit code), booted once, with its server stopped so the copy is
# consistent.
# usage: make-template.sh RUNDIR
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
. "$here/../../tools/lib/wine-env.sh"
run=$1
template=$run/template
mkdir -p "$run"
rm -rf "$template" "$template.tmp"
export WINEPREFIX=$template.tmp
start=$(date +%s%N)
echo "template prefix: $NV_ARCH build ($NV_ARCH_WHY), Wine's loaders: $("$NV_WINE" loaders)"
timeout 180 "$NV_WINE" boot >"$run/template-boot.log" 2>&1
# No crash dialogs, no desktop integration.
timeout 60 "$NV_WINE" reg add 'HKCU\Software\Wine\WineDbg' /v ShowCrashDialog /t REG_DWORD /d 0 /f >>"$run/template-boot.log" 2>&1
stop_server "$WINEPREFIX"
mv "$template.tmp" "$template"
printf 'template prefix ready in %s s\n' "$(elapsed "$start")"
