#!/usr/bin/env bash
# The whole test suite on a fresh machine: install what is missing, build, run every suite under Wine.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${NV_BUILD:-$root/build}
"$root/tools/setup.sh"
"$root/tools/build.sh" "$build"
cd "$build"
ctest --output-on-failure -j "$(nproc)" "$@"
