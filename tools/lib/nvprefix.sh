# Sourced by the demo and the benchmark runner: a Wine prefix of their own with the updater service
# installed (by its package, or directly under the service control manager), a sample product family
# and a trusted test publisher.
# Every Wine command is bounded by `timeout`; Wine's output always goes to files, never to a pipe.
#
# The caller sets NV_ROOT (source tree), NV_BUILD (build folder) and NV_WORK (a folder of its own).

. "$NV_ROOT/tests/harness/wine-env.sh"

NV_SERVICE=nvupdaterservice
# Where the service is installed: the direct install's folder, or the package's (the Program Files of
# the build's type: the 32-bit one for x86), which nv_service_install_package sets.
NV_SERVICE_DIR_WIN='C:\Program Files\Norvo\Updater Service'
NV_SAMPLE_UC='{5A3D0000-2222-4222-8222-000000000001}'
NV_SAMPLE_PC1='{5A3D0001-2222-4222-8222-000000000001}'
NV_SAMPLE_PC2='{5A3D0002-2222-4222-8222-000000000002}'
NV_UNINSTALL_KEY='HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall'

nv_prefix() { printf '%s/prefix' "$NV_WORK"; }
nv_service_dir() { local rel=${NV_SERVICE_DIR_WIN#C:\\}; printf '%s/drive_c/%s' "$(nv_prefix)" "${rel//\\//}"; }
nv_service_log() { printf '%s/logs/service.log' "$(nv_service_dir)"; }
nv_packages() { printf '%s/drive_c/demo' "$(nv_prefix)"; }

# Runs a Wine command with a time limit; its output goes to $NV_WORK/last.out.
nv_wine() {
  local limit=$1; shift
  timeout -k 5 "$limit" "$NV_WINE" "$@" >"$NV_WORK/last.out" 2>&1
}

# A fresh 64-bit prefix and a persistent server whose first command's stderr (that of every service
# it starts) goes to $NV_WORK/session.err.
nv_prefix_make() {
  export WINEPREFIX
  WINEPREFIX=$(nv_prefix)
  stop_server "$WINEPREFIX"
  rm -rf "$NV_WORK"
  mkdir -p "$NV_WORK"
  timeout 180 "$NV_WINE" boot >"$NV_WORK/boot.log" 2>&1
  nv_wine 60 reg add 'HKCU\Software\Wine\WineDbg' /v ShowCrashDialog /t REG_DWORD /d 0 /f
  stop_server "$WINEPREFIX"
  start_server_session "$NV_WORK"
}

nv_server_stop() {
  [ -n "${WINEPREFIX:-}" ] && stop_server "$WINEPREFIX"
}

# Copies the service executable into the prefix's Program Files and registers it with the SCM.
nv_service_install() {
  mkdir -p "$(nv_service_dir)"
  cp -f "$NV_BUILD/src/nvupdaterservice/nvupdaterservice.exe" "$(nv_service_dir)/"
  nv_wine 60 sc create "$NV_SERVICE" binPath= "\"$NV_SERVICE_DIR_WIN\\nvupdaterservice.exe\"" \
    DisplayName= "Norvo Updater Service" start= demand
}

# The service's installer package of this build (named after the project's version and, for x64,
# the machine type).
nv_package() {
  local version suffix=""
  version=$(sed -n 's/^project([^)]*VERSION \([0-9.]*\).*/\1/p' "$NV_ROOT/CMakeLists.txt")
  [ "$NV_ARCH" = x86 ] || suffix=-$NV_ARCH
  printf '%s/resources/installer/nvupdaterservice-%s%s.msi' "$NV_BUILD" "$version" "$suffix"
}

# Signs the package as the test publisher and installs it with msiexec, which registers the service
# (automatic start) and starts it. The installer's log: C:\demo\install.log in the prefix.
nv_service_install_package() {
  local name
  name=$(basename "$(nv_package)")
  NV_SERVICE_DIR_WIN="$NV_PROGRAM_FILES_WIN\\Norvo\\Updater Service"
  mkdir -p "$(nv_packages)"
  "$NV_ROOT/tools/testkit/sign-package.sh" "$NV_WORK/pki" norvo "$(nv_package)" "$(nv_packages)/$name" || return 1
  nv_wine 180 msiexec /i "C:\\demo\\$name" /qn /l*v 'C:\demo\install.log'
}

# Under Wine: the msi.dll test double that implements advertising, for the service only.
nv_msidouble_install() {
  "$NV_ROOT/tools/msidouble/install.sh" --dll "$NV_BUILD/tools/msidouble/msi.dll" "$(nv_prefix)" nvupdaterservice.exe \
    >"$NV_WORK/msidouble.log" 2>&1
}

# The service's state as `sc query` names it (RUNNING, STOPPED, ...).
nv_service_state() {
  nv_wine 30 sc query "$NV_SERVICE" || true
  sed -n 's/.*STATE *: *[0-9]* *\([A-Z_]*\).*/\1/p' "$NV_WORK/last.out" | head -n 1
}

# Waits (at most $2 seconds) until the service is in state $1.
nv_service_wait() {
  local want=$1 limit=$2 i
  for ((i = 0; i < limit * 4; i++)); do
    [ "$(nv_service_state)" = "$want" ] && return 0
    sleep 0.25
  done
  return 1
}

nv_service_start() {
  nv_wine 30 sc start "$NV_SERVICE" || true
  nv_service_wait RUNNING 30
}

nv_service_stop() {
  nv_wine 30 sc stop "$NV_SERVICE" || true
  nv_service_wait STOPPED 30
}

# The test PKI (once) with its root trusted machine-wide.
nv_pki_make() {
  [ -f "$NV_WORK/pki/root.crt" ] || "$NV_ROOT/tools/testkit/mkpki.sh" "$NV_WORK/pki" >"$NV_WORK/pki.log" 2>&1
  "$NV_ROOT/tools/testkit/trust-root.sh" add "$NV_WORK/pki/root.crt"
}

# A test PKI with a trusted root; the sample product 1.0.0 and 2.0.0 (the latter signed by the
# accepted publisher, with its NVUpdate row, and once more unsigned).
nv_kit_make() {
  local kit=$NV_ROOT/tools/testkit pkgs
  pkgs=$(nv_packages)
  mkdir -p "$pkgs"
  nv_pki_make
  # Version 2 may upgrade any installed version of the family; bit 0: not when that is already new.
  "$kit/build-package.sh" --out "$pkgs/sample-1.0.0.msi" --product-code "$NV_SAMPLE_PC1" \
    --upgrade-code "$NV_SAMPLE_UC" --version 1.0.0 --name "Norvo Sample Product" --no-table
  "$kit/build-package.sh" --out "$pkgs/sample-2.0.0-unsigned.msi" --product-code "$NV_SAMPLE_PC2" \
    --upgrade-code "$NV_SAMPLE_UC" --version 2.0.0 --name "Norvo Sample Product" --row "$NV_SAMPLE_UC|0|0|1"
  "$kit/sign-package.sh" "$NV_WORK/pki" norvo "$pkgs/sample-2.0.0-unsigned.msi" "$pkgs/sample-2.0.0.msi"
}

# The DisplayVersion of an installed product, or nothing: the sample is a 32-bit package, whose
# entry a 32-bit installer writes into the 32-bit view; the 64-bit view is looked at too.
nv_installed_version() {
  local view version
  for view in 32 64; do
    nv_wine 30 reg query "$NV_UNINSTALL_KEY\\$1" /v DisplayVersion /reg:$view || true
    version=$(sed -n 's/.*DisplayVersion *REG_SZ *\([^ \r]*\).*/\1/p' "$NV_WORK/last.out" | head -n 1)
    [ -z "$version" ] || { printf '%s' "$version"; return 0; }
  done
}

# Runs the reference client with the given arguments; its output goes to $NV_WORK/client.out and
# its exit code is returned.
nv_client() {
  local rc=0
  timeout -k 5 300 "$NV_WINE" "$NV_BUILD/tools/nswclient/nswclient.exe" "$@" >"$NV_WORK/client.out" 2>&1 || rc=$?
  return $rc
}

# For the suite's short runs (benchmark, soak): the prefix as a copy of the test run's template
# RUN/template with its server session, the service under the SCM, the msi.dll test double for the
# service and the given executables, the kit's root trusted and family F 9.0.0 installed; the kit's
# F 9.0.0, unsigned and signed-norvo packages in C:\demo. Returns non-zero at the first failure.
# usage: nv_prefix_from_run RUN [EXE_NAME...]
nv_prefix_from_run() {
  local run=$1 kit=$1/testkit
  shift
  cp -a "$run/template" "$WINEPREFIX" &&
    start_server_session "$NV_WORK" &&
    nv_service_install &&
    "$NV_ROOT/tools/msidouble/install.sh" --dll "$NV_BUILD/tools/msidouble/msi.dll" "$WINEPREFIX" nvupdaterservice.exe \
      "$@" >"$NV_WORK/msidouble.log" 2>&1 &&
    "$NV_ROOT/tools/testkit/trust-root.sh" add "$kit/pki/root.crt" &&
    mkdir -p "$(nv_packages)" &&
    cp "$kit/packages/f-9.0.0.msi" "$kit/packages/unsigned.msi" "$kit/packages/signed-norvo.msi" "$(nv_packages)/" &&
    nv_wine 120 msiexec /i 'C:\demo\f-9.0.0.msi' /qn
}
