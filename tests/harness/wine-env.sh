# Sourced by the harness scripts: the pinned environment every Wine command of the tests runs in.
export WINEDEBUG="${NV_WINEDEBUG:--all,err+eventlog,trace+eventlog}"
export WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d;winedbg.exe=d"
export LANG=C.UTF-8 LC_ALL=C.UTF-8
export TZ="${NV_TZ:-UTC}"   # a suite may run in another time zone (NV_TZ)
unset WINEARCH

# Unix path -> the Windows path Wine shows for it (drive Z: is the Unix root).
winpath() { printf 'Z:%s' "$(printf '%s' "$1" | sed 's|/|\\|g')"; }

# Bounded wait for every process of a prefix's server session to end.
stop_server() {
  WINEPREFIX="$1" timeout 20 wineserver -k >/dev/null 2>&1 || true
  WINEPREFIX="$1" timeout 20 wineserver -w >/dev/null 2>&1 || true
}

# Seconds since a start taken with `date +%s%N`, to one decimal.
elapsed() { local ms=$(( ($(date +%s%N) - $1) / 1000000 )); printf '%d.%d' $((ms / 1000)) $((ms % 1000 / 100)); }
