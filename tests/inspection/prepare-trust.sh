#!/usr/bin/env bash
# Prepare step of the trust suite: trust the kit's root certificate in the suite's prefix.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
run=$(cd "$1/../.." && pwd)
"$here/../../tests/kit/trust-root.sh" add "$run/testkit/pki/root.crt"
