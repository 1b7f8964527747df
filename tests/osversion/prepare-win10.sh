#!/usr/bin/env bash
# Makes the suite's prefix report Windows 10 (what `winecfg /v win10` writes).
set -eu
timeout 60 "$NV_WINE" reg add 'HKCU\Software\Wine' /v Version /t REG_SZ /d win10 /f >/dev/null 2>&1
