#!/usr/bin/env bash
# Makes a throw-away code-signing PKI in DIR (nothing here is ever committed):
#   root.crt/.key        "Norvo Test Root CA" (trust it in a prefix with trust-root.sh)
#   stray-root.crt/.key  "Stray Test Root CA" (never trusted: its signatures fail the chain check)
#   <who>.crt/.key       code-signing certificates issued by root:
#        norvo        "Norvo Technologies, Inc."
#        varda        "Varda Software Development Ltd."
#        other        "Someone Else Ltd."
#        norvo-case   "norvo technologies, inc."   (differs from norvo only in letter case)
#   norvo-stray.crt/.key "Norvo Technologies, Inc." issued by stray-root
# Certificates are SHA-1-signed: only then does Wine's trust policy check the chain at all.
# usage: mkpki.sh DIR
set -euo pipefail
dir=${1:?usage: mkpki.sh DIR}
mkdir -p "$dir"
cd "$dir"
cat > ext.cnf <<'X'
[ca_ext]
basicConstraints = critical, CA:TRUE
keyUsage = critical, keyCertSign, cRLSign
subjectKeyIdentifier = hash
[cs_ext]
basicConstraints = critical, CA:FALSE
keyUsage = critical, digitalSignature
extendedKeyUsage = codeSigning
subjectKeyIdentifier = hash
authorityKeyIdentifier = keyid
X

root() {   # root NAME CN SERIAL
  openssl req -x509 -newkey rsa:2048 -nodes -keyout "$1.key" -out "$1.crt" -days 3650 -sha1 \
    -subj "/CN=$2" -config ext.cnf -extensions ca_ext -set_serial "$3" 2>/dev/null
}
leaf() {   # leaf NAME CN ISSUER SERIAL
  openssl req -new -newkey rsa:2048 -nodes -keyout "$1.key" -out "$1.csr" -subj "/O=$2/CN=$2" 2>/dev/null
  openssl x509 -req -in "$1.csr" -CA "$3.crt" -CAkey "$3.key" -set_serial "$4" -days 1000 -sha1 \
    -extfile ext.cnf -extensions cs_ext -out "$1.crt" 2>/dev/null
  rm -f "$1.csr"
}

root root "Norvo Test Root CA" 1
root stray-root "Stray Test Root CA" 2
leaf norvo "Norvo Technologies, Inc." root 11
leaf varda "Varda Software Development Ltd." root 12
leaf other "Someone Else Ltd." root 13
leaf norvo-case "norvo technologies, inc." root 14
leaf norvo-stray "Norvo Technologies, Inc." stray-root 15
echo "pki ready in $dir"
