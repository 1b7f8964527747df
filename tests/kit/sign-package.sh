#!/usr/bin/env bash
# Signs a package as one publisher of a PKI made by mkpki.sh. The issuing root is embedded in the
# signature (Wine checks the chain only then).
# usage: sign-package.sh PKIDIR WHO IN.msi OUT.msi      WHO: norvo varda other norvo-case norvo-stray
set -euo pipefail
pki=$1 who=$2 in=$3 out=$4
[ -f "$pki/$who.crt" ] || { echo "sign-package: no certificate $pki/$who.crt" >&2; exit 2; }
case $who in *-stray) issuer=stray-root;; *) issuer=root;; esac
chain=$(mktemp)
trap 'rm -f "$chain"' EXIT
cat "$pki/$who.crt" "$pki/$issuer.crt" > "$chain"
rm -f "$out"
osslsigncode sign -certs "$chain" -key "$pki/$who.key" -h sha256 -n "Norvo test package" \
  -in "$in" -out "$out" >/dev/null
