#!/usr/bin/env bash
# Prepare step of the protocol suite: the system the prefix reports is Windows 10, and a symbolic
# link made on the Unix side (Wine's own call for links creates nothing), for the path rules.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
suite=$1
"$here/windows10-prefix.sh" "$suite"
printf 'not a package\r\n' >"$suite/link-target.txt"
ln -sf "$suite/link-target.txt" "$suite/symlinked.txt"
