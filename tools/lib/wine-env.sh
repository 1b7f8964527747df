# Sourced by the harness scripts and the tools: the pinned environment every Wine command runs in,
# the machine type under test (tools/lib/nvarch.sh) and the one Wine launcher (tools/lib/nvwine).
NV_ROOT=${NV_ROOT:-$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)}
. "$NV_ROOT/tools/lib/nvarch.sh"
export WINEDEBUG="${NV_WINEDEBUG:--all,err+eventlog,trace+eventlog}"
export WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d;winedbg.exe=d"
export LANG=C.UTF-8 LC_ALL=C.UTF-8
export TZ="${NV_TZ:-UTC}"   # a suite may run in another time zone (NV_TZ)
unset WINEARCH

# Unix path -> the Windows path Wine shows for it (drive Z: is the Unix root).
winpath() { printf 'Z:%s' "$(printf '%s' "$1" | sed 's|/|\\|g')"; }

# Bounded wait for every process of a prefix's server session to end.
stop_server() {
  WINEPREFIX="$1" timeout 20 "$NV_WINE" server -k >/dev/null 2>&1 || true
  WINEPREFIX="$1" timeout 20 "$NV_WINE" server -w >/dev/null 2>&1 || true
}

# Starts the persistent server session of $WINEPREFIX. Its first command's stderr, DIR/session.err,
# becomes that of services.exe and of every service it starts (and takes Wine's event-log lines).
# usage: start_server_session DIR
start_server_session() {
  "$NV_WINE" server -p
  timeout 60 "$NV_WINE" cmd /c exit >"$1/session.out" 2>"$1/session.err"
}

# Seconds since a start taken with `date +%s%N`, to one decimal.
elapsed() { local ms=$(( ($(date +%s%N) - $1) / 1000000 )); printf '%d.%d' $((ms / 1000)) $((ms % 1000 / 100)); }
