#!/usr/bin/env bash
# Trusts (add) or distrusts (del) a root certificate machine-wide in the Wine prefix $WINEPREFIX by
# writing (or deleting) its blob under HKLM\Software\Microsoft\SystemCertificates\Root\Certificates
# (the view 32-bit programs read).
# usage: trust-root.sh add|del ROOT.crt
set -euo pipefail
op=$1 crt=$2
: "${WINEPREFIX:?trust-root: set WINEPREFIX}"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
openssl x509 -in "$crt" -outform DER -out "$work/root.der"
sha1=$(openssl dgst -sha1 -binary "$work/root.der" | od -An -tx1 | tr -d ' \n' | tr a-f A-F)
key="HKEY_LOCAL_MACHINE\\Software\\Microsoft\\SystemCertificates\\Root\\Certificates\\$sha1"
if [ "$op" = del ]; then
  timeout 60 wine reg delete "$key" /f /reg:32 >"$work/reg.out" 2>&1 || true
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
timeout 60 wine regedit /S "Z:$(printf '%s' "$work/root.reg" | sed 's|/|\\|g')" >"$work/regedit.out" 2>&1
