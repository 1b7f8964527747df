#!/usr/bin/env bash
# Makes the suite's prefix claim Windows 10, so that version queries show whether the program's
# manifest declares the newer releases.
set -euo pipefail
timeout 60 "$NV_WINE" reg add 'HKCU\Software\Wine' /v Version /t REG_SZ /d win10 /f >"$1/prepare-win10.out" 2>&1
