#!/usr/bin/env bash
# Writes the not-implemented slots of the engine double from the SDK header, so that every slot of
# IDebugClient and IDebugControl has a function of the header's exact signature:
#   STUBS   one definition per method (the UNUSED* macros of dbgengdouble.c)
#   TABLES  one assignment per slot into clientTable / controlTable
# usage: gen-stubs.sh DBGENG_H STUBS TABLES
set -euo pipefail
header=$1 stubs=$2 tables=$3
: >"$stubs.tmp"; : >"$tables.tmp"
for pair in IDebugClient:clientTable IDebugControl:controlTable; do
  iface=${pair%%:*} table=${pair#*:}
  awk -v iface="$iface" -v table="$table" -v stubs="$stubs.tmp" -v tables="$tables.tmp" '
    $0 ~ "DECLARE_INTERFACE_\\(" iface "," { inside = 1; next }
    inside && /^  };/ { inside = 0 }
    !inside { next }
    /STDMETHOD_\(/ { next }                       # AddRef and Release: implemented by hand
    match($0, /STDMETHODV?\(([A-Za-z0-9_]+)\)\((.*)\) PURE;/) {
      line = $0
      variadic = (line ~ /STDMETHODV\(/)
      sub(/^ *STDMETHODV?\(/, "", line)
      name = line; sub(/\).*/, "", name)
      if (name == "QueryInterface") next
      args = line; sub(/^[A-Za-z0-9_]+\)\(/, "", args); sub(/\) PURE;.*$/, "", args)
      if (args == "THIS") macro = "UNUSED0(" iface ", " name ")"
      else {
        sub(/^THIS_ */, "", args)
        macro = (variadic ? "UNUSEDV(" : "UNUSED(") iface ", " name ", " args ")"
      }
      print macro >> stubs
      print "    " table "." name " = Stub_" iface "_" name ";" >> tables
    }' "$header"
done
mv "$stubs.tmp" "$stubs"; mv "$tables.tmp" "$tables"
