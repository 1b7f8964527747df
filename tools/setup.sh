#!/usr/bin/env bash
# Installs everything the build, the tests and the demo need on a fresh Debian 12 machine.
# Idempotent: when every package is present it only checks and returns (about a second).
# Holds on a bad day: the package lists are fetched up to three times and an index that still fails
# is reported, not fatal; an install that fails on versions that do not match is tried again against
# the release's own lists. If only the 32-bit Wine cannot be had, set-up says so and succeeds: the
# tests then run for x64 alone (tools/lib/nvwine reports no 32-bit loader).
set -uo pipefail

packages=(
  mingw-w64 cmake ninja-build googletest libboost1.81-dev
  wine wine64 xvfb xauth x11-apps procps
  msitools wixl osslsigncode openssl python3
  python3-matplotlib   # the benchmark's latency picture
)
wine32=wine32:i386   # wanted, but a host without it still runs the x64 suites
release=bookworm

installed() { dpkg-query -W -f='${Status}\n' "$1" 2>/dev/null | grep -q '^install ok installed$'; }

missing=()
for p in "${packages[@]}" "$wine32"; do
  installed "$p" || missing+=("$p")
done
if [ ${#missing[@]} -eq 0 ]; then
  echo "setup: all $(( ${#packages[@]} + 1 )) packages present"
  exit 0
fi

echo "setup: installing ${missing[*]}"
sudo=""
[ "$(id -u)" -eq 0 ] || sudo=sudo
export DEBIAN_FRONTEND=noninteractive
if ! dpkg --print-foreign-architectures | grep -qx i386; then
  $sudo dpkg --add-architecture i386 || exit 1
fi

# The lists: up to three tries; what still fails is named and the install goes on with what it has.
log=$(mktemp)
trap 'rm -f "$log"' EXIT
for try in 1 2 3; do
  if $sudo apt-get update -qq >"$log" 2>&1 && ! grep -q '^[EW]: Failed to fetch' "$log"; then
    break
  fi
  if [ "$try" -eq 3 ]; then
    echo "setup: package lists still incomplete after 3 tries; going on with the lists at hand:"
    grep -E '^[EW]: ' "$log" | sed -n '1,5s/^/setup:   /p'
  else
    sleep $(( try * 5 ))
  fi
done

# install PACKAGE...: quietly; on failure the reason is in $log.
install() { $sudo apt-get install -y -qq --no-install-recommends "$@" >"$log" 2>&1; }
# install_or_release PACKAGE...: the default lists first, then the release's own when the versions
# on hand do not fit together (a mirror mid-sync serves newer amd64 than i386 packages).
install_or_release() { install "$@" || install -t "$release" "$@"; }

needed=()
for p in "${missing[@]}"; do [ "$p" = "$wine32" ] || needed+=("$p"); done
if [ ${#needed[@]} -gt 0 ] && ! install_or_release "${needed[@]}"; then
  echo "setup: could not install ${needed[*]}:" >&2
  grep -E '^E: ' "$log" | head -5 >&2
  exit 1
fi
if ! installed "$wine32" && ! install_or_release "$wine32"; then
  echo "setup: $wine32 could not be installed ($(grep -m1 -E '^E: ' "$log" | cut -c4-)); the tests will run for x64 alone"
fi
echo "setup: done"
