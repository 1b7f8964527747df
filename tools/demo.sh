#!/usr/bin/env bash
# The updater service's main job, end to end, on this machine: an unprivileged installer front end
# asks the service to upgrade an installed product from a signed package.
#
# It installs what is missing, builds, makes a Wine prefix of its own (build/demo), installs the
# service from its signed installer package with msiexec, installs version 1.0.0 of a sample product,
# makes and trusts a test publisher, builds and signs version 2.0.0, starts the service and runs the
# reference client against it. Then it shows the service log and the installed version, and what
# happens to an unsigned package and to a second request for the same upgrade. Last, the service
# crashes inside a session (tools/demo-crash.sh) and the demo shows the dump, the report tool's
# command line and the crash-reporting library's error log.
#
# usage: [NV_ARCH=x86|x64] tools/demo.sh [BUILD_DIR]     (default: build for x86, build-x64 for x64;
#        NV_ARCH defaults to x86 where the host runs 32-bit code, else x64)
set -euo pipefail
NV_ROOT=$(cd "$(dirname "$0")/.." && pwd)
. "$NV_ROOT/tools/lib/nvarch.sh"
NV_BUILD=$(cd "$NV_ROOT" && mkdir -p "${1:-$NV_BUILD_NAME}" && cd "${1:-$NV_BUILD_NAME}" && pwd)
NV_WORK=$NV_BUILD/demo
. "$NV_ROOT/tools/lib/nvprefix.sh"

bold="" plain=""
if [ -t 1 ]; then bold=$(tput bold 2>/dev/null || true) plain=$(tput sgr0 2>/dev/null || true); fi
step() { printf '\n%s== %s%s\n' "$bold" "$*" "$plain"; }
note() { printf '   %s\n' "$*"; }
fail() { printf '\n%sdemo failed: %s%s\n' "$bold" "$*" "$plain"; [ -f "$NV_WORK/last.out" ] && sed 's/^/   | /' "$NV_WORK/last.out"; exit 1; }
show() { sed 's/^/   | /' "$1"; }
trap 'nv_server_stop' EXIT

step "1. Packages and build"
"$NV_ROOT/tools/setup.sh" | sed 's/^/   /'
"$NV_ROOT/tools/build.sh" "$NV_BUILD" >"$NV_BUILD/demo-build.log" 2>&1 || { tail -n 30 "$NV_BUILD/demo-build.log"; fail "build"; }
nv_load_facts || fail "the build's facts"
note "built the $NV_ARCH program ($NV_ARCH_WHY) into $NV_BUILD (log: demo-build.log)"

step "2. A fresh Windows machine: a 64-bit Wine prefix in $NV_WORK/prefix"
nv_prefix_make
note "Wine reports itself as $("$NV_WINE" version); loaders: $("$NV_WINE" loaders)"

step "3. Install the service from its signed package with msiexec"
note "NOTE: Wine's Windows Installer cannot advertise packages (it returns 120 and writes nothing)."
note "      The service is therefore given our msi.dll test double, which implements the two"
note "      advertise calls and passes every other call to Wine's own msi.dll. Nothing else changes."
nv_msidouble_install || fail "installing the msi.dll test double"
nv_pki_make || fail "making the test PKI"
note "$(basename "$(nv_package)") signed by the test publisher \"Norvo Technologies, Inc.\""
nv_service_install_package || fail "msiexec /i"
note "msiexec /i $(basename "$(nv_package)") /qn: installed into $NV_SERVICE_DIR_WIN"
nv_service_wait RUNNING 30 || fail "the service is not RUNNING after the install"
note "sc query $NV_SERVICE (started by the installer; automatic start):"
show "$NV_WORK/last.out"

step "4. A test publisher and the sample product"
nv_kit_make >"$NV_WORK/kit.log" 2>&1 || { show "$NV_WORK/kit.log"; fail "making the test kit"; }
note "test root \"Norvo Test Root CA\" made and trusted machine-wide"
note "sample-1.0.0.msi                built"
note "sample-2.0.0.msi                built with its NVUpdate row, signed by \"Norvo Technologies, Inc.\""
note "sample-2.0.0-unsigned.msi       the same package without a signature"
nv_wine 180 msiexec /i 'C:\demo\sample-1.0.0.msi' /qn || fail "installing version 1.0.0"
note "msiexec /i sample-1.0.0.msi /qn: installed version $(nv_installed_version "$NV_SAMPLE_PC1")"

step "5. Start the service"
nv_service_start || fail "the service did not reach RUNNING within 30 s"
note "sc query $NV_SERVICE: RUNNING; it listens on \\\\.\\pipe\\NVUpdatePipe"

step "6. The Setup Wrapper asks for the upgrade to 2.0.0 ('>' sent, '<' received)"
rc=0; nv_client 'C:\demo\sample-2.0.0.msi' || rc=$?
show "$NV_WORK/client.out"
[ "$rc" -eq 0 ] || fail "the client ended with exit code $rc (see tools/nswclient/README.md)"
note "client exit code 0: accepted, installed, reported, goodbye"

step "7. The installed version, from the registry (Uninstall\\{product code}\\DisplayVersion)"
v2=$(nv_installed_version "$NV_SAMPLE_PC2")
v1=$(nv_installed_version "$NV_SAMPLE_PC1")
note "Norvo Sample Product: ${v2:-not installed} (version 1.0.0 ${v1:+still installed: $v1}${v1:-removed by the upgrade})"
[ "$v2" = "2.0.0" ] || fail "version 2.0.0 is not installed"

step "8. Refusals: an unsigned package, and the same upgrade asked for again"
rc=0; nv_client 'C:\demo\sample-2.0.0-unsigned.msi' || rc=$?
show "$NV_WORK/client.out"
note "client exit code $rc (10: refused with 28401)"
[ "$rc" -eq 10 ] || fail "expected the refusal 28401 (client exit code 10)"
rc=0; nv_client 'C:\demo\sample-2.0.0.msi' || rc=$?
show "$NV_WORK/client.out"
note "client exit code $rc (13: refused with 28406, version 2.0.0 is already installed)"
[ "$rc" -eq 13 ] || fail "expected the refusal 28406 (client exit code 13)"

step "9. Stop the service"
nv_service_stop || fail "the service did not stop within 30 s"
note "sc stop $NV_SERVICE: STOPPED"

step "10. The service log ($NV_SERVICE_DIR_WIN\\logs\\service.log)"
show "$(nv_service_log)"

. "$NV_ROOT/tools/demo-crash.sh"

step "Done"
note "Everything stays in $NV_WORK (prefix, packages, PKI, logs); run the demo again to start afresh."
