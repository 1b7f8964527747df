#!/usr/bin/env bash
# Builds one commit twice, in two fresh clones in different temporary folders, and compares every
# executable, DLL and installer package of the two builds; exit 0 only when they all match.
# usage: tools/check-reproducible.sh [x86|x64] [COMMIT]
#   x86 (default, the product) or x64; COMMIT default HEAD of this clone (committed work only).
# The builds are the product's alone (no tests), without a compiler cache, with SOURCE_DATE_EPOCH
# the commit's time. An installer package differs by design in two values only: the summary's
# creation and last-saved times, which wixl takes from the clock. Packages are compared byte for
# byte, and where that fails, table by table and stream by stream with those two times left out.
# Takes a few minutes on 2 cores; not part of the CI run.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
arch=${1:-x86}
case $arch in
  x86) triple=i686;;
  x64) triple=x86_64;;
  *) sed -n 4,5p "$0" >&2; exit 2;;
esac
commit=$(git -C "$root" rev-parse --verify "${2:-HEAD}^{commit}")
SOURCE_DATE_EPOCH=$(git -C "$root" log -1 --format=%ct "$commit")
export SOURCE_DATE_EPOCH
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
# Folders of different names and depths: a path left in a binary changes its bytes and its length.
places=("$work/one/nvupdaterservice" "$work/second/place/further/down/src")

build() {
  local src=$1
  git clone -q --no-checkout "$root" "$src" && git -C "$src" checkout -q --detach "$commit" ||
    { echo "check-reproducible: cannot check $commit out into $src" >&2; exit 2; }
  echo "check-reproducible: building $arch at ${commit:0:12} in $src"
  cmake -S "$src" -B "$src/build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DNORVO_TESTS=OFF \
    -DCMAKE_TOOLCHAIN_FILE="$src/cmake/toolchain-mingw-$triple.cmake" \
    -UCMAKE_C_COMPILER_LAUNCHER -UCMAKE_CXX_COMPILER_LAUNCHER >"$src.configure.log" 2>&1 ||
    { tail -20 "$src.configure.log" >&2; echo "check-reproducible: configuring $src failed" >&2; exit 2; }
  cmake --build "$src/build" -j "$(nproc)" >"$src.build.log" 2>&1 ||
    { tail -20 "$src.build.log" >&2; echo "check-reproducible: the build in $src failed" >&2; exit 2; }
}
for place in "${places[@]}"; do
  mkdir -p "$(dirname "$place")"
  CCACHE_DISABLE=1 build "$place"
done

# A package's tables and streams as text, without the summary's times (PIDs 12 and 13).
msi_contents() {
  local dump=$1.dump
  mkdir -p "$dump"
  (cd "$dump" && msidump -t -s "$1" >/dev/null)
  rm -f "$dump"/_Streams/*SummaryInformation   # the summary in its binary form; its text is compared
  sed -i -E '/^1[23]\t/d' "$dump/_SummaryInformation.idt"
  echo "$dump"
}

first=${places[0]}/build second=${places[1]}/build
mapfile -t files < <(cd "$first" && find . \( -name '*.exe' -o -name '*.dll' -o -name '*.msi' \) -type f |
  grep -v '/CMakeFiles/' | sort)
[ ${#files[@]} -gt 0 ] || { echo "check-reproducible: the build made nothing to compare" >&2; exit 2; }
failed=0
for file in "${files[@]}"; do
  name=${file#./}
  if [ ! -f "$second/$name" ]; then
    echo "MISSING  $name (only in the first build)"; failed=1; continue
  fi
  one=$(sha256sum <"$first/$name" | cut -d' ' -f1) two=$(sha256sum <"$second/$name" | cut -d' ' -f1)
  if [ "$one" = "$two" ]; then
    echo "same     $one  $name"
  elif [[ $name == *.msi ]] &&
       diff -r "$(msi_contents "$first/$name")" "$(msi_contents "$second/$name")" >/dev/null; then
    bytes=$(cmp -l "$first/$name" "$second/$name" | wc -l || true)
    echo "same*    $one  $name"
    echo "         $two  (the summary's two times alone differ: $bytes bytes)"
  else
    echo "DIFFERS  $one  $name"
    echo "         $two"
    failed=1
  fi
done
extra=$(cd "$second" && find . \( -name '*.exe' -o -name '*.dll' -o -name '*.msi' \) -type f |
  grep -v '/CMakeFiles/' | sort | comm -13 <(printf '%s\n' "${files[@]}") -)
[ -z "$extra" ] || { echo "MISSING  $extra (only in the second build)"; failed=1; }
if [ $failed = 0 ]; then
  echo "check-reproducible: ${#files[@]} files of $arch at ${commit:0:12} are the same in both builds"
else
  echo "check-reproducible: the two builds differ" >&2
fi
exit $failed
