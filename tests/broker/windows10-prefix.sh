#!/usr/bin/env bash
# Prepares a suite's prefix: the system it reports is Windows 10.
set -euo pipefail
timeout 60 "$NV_WINE" winecfg /v win10 >"$1/winecfg.out" 2>&1
