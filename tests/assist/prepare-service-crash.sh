#!/usr/bin/env bash
# Prepare step of the service crash suite:
#   - a crash that no filter ends goes to the debugger named under AeDebug, and a service ignores
#     the harness's WINEDLLOVERRIDES, so the debugger is a command that exits at once (both
#     registry views): the process then ends instead of waiting for a debugger forever;
#   - the msi.dll test double for the service's executable only, told to fault when an installer
#     session is made (ordinal 94), which the service does over the package's database inside every
#     session that names a readable package.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
suite=$1
run=$(cd "$suite/../.." && pwd)
build=$(cd "$run/.." && pwd)

key='HKLM\Software\Microsoft\Windows NT\CurrentVersion\AeDebug'
for view in 32 64; do
  timeout 60 "$NV_WINE" reg add "$key" /v Debugger /t REG_SZ /d 'C:\windows\system32\cmd.exe /c exit' /f /reg:$view
  timeout 60 "$NV_WINE" reg add "$key" /v Auto /t REG_SZ /d 1 /f /reg:$view
done
"$root/tests/doubles/msi/install.sh" --dll "$build/tests/doubles/msi/msi.dll" \
  --log "$(printf 'Z:%s' "$suite/msidouble-calls.txt" | sed 's|/|\\|g')" "$WINEPREFIX" nvupdaterservice.exe
# In the registry view of the build under test, where the double (of the service's type) reads it.
timeout 60 "$NV_WINE" reg add 'HKLM\SOFTWARE\NorvoTest\MsiDouble' /v FaultInCall /t REG_DWORD /d 94 /f /reg:$NV_REG_VIEW
