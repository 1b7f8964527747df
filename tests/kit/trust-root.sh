#!/usr/bin/env bash
# Trusts (add) or distrusts (del) a root certificate machine-wide in the Wine prefix $WINEPREFIX by
# writing (or deleting) its blob under HKLM\Software\Microsoft\SystemCertificates\Root\Certificates
# (the view that programs of the build under test read, NV_REG_VIEW: 32 or 64).
# usage: trust-root.sh add|del ROOT.crt
set -euo pipefail
op=$1 crt=$2
: "${WINEPREFIX:?trust-root: set WINEPREFIX}"
NV_ROOT=${NV_ROOT:-$(cd "$(dirname "$0")/../.." && pwd)}
. "$NV_ROOT/tools/lib/nvarch.sh"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
openssl x509 -in "$crt" -outform DER -out "$work/root.der"
sha1=$(openssl dgst -sha1 -binary "$work/root.der" | od -An -tx1 | tr -d ' \n' | tr a-f A-F)
key="HKEY_LOCAL_MACHINE\\Software\\Microsoft\\SystemCertificates\\Root\\Certificates\\$sha1"
if [ "$op" = del ]; then
  timeout 60 "$NV_WINE" reg delete "$key" /f /reg:$NV_REG_VIEW >"$work/reg.out" 2>&1 || true
  exit 0
fi
[ "$op" = add ] || { echo "trust-root: add or del" >&2; exit 2; }
# The store's blob: property 3 (SHA-1 hash) then property 32 (the encoded certificate).
python3 - "$work/root.der" "$sha1" "$key" > "$work/root.reg" <<'PY'
import sys, struct
der = open(sys.argv[1], 'rb').read(); sha1 = bytes.fromhex(sys.argv[2])
blob = struct.pack('<III', 3, 1, len(sha1)) + sha1 + struct.pack('<III', 32, 1, len(der)) + der
print('REGEDIT4\n\n[%s]\n"Blob"=hex:%s\n' % (sys.argv[3], ','.join('%02x' % b for b in blob)))
PY
timeout 60 "$NV_WINE" reg import "Z:$(printf '%s' "$work/root.reg" | sed 's|/|\\|g')" /reg:$NV_REG_VIEW >"$work/regedit.out" 2>&1
