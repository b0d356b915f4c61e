# Shared steps of the build, test and demonstration scripts. Source it; it changes nothing by itself.

MIREL_ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
MIREL_BUILD="${MIREL_BUILD:-$MIREL_ROOT/build}"
export MIREL_BUILD
MIREL_PACKAGES="g++-mingw-w64-x86-64-posix wine64 wine cmake ninja-build googletest xvfb xauth wixl msitools libxml2-utils"

log() { printf '== %s\n' "$*" >&2; }

# Installs whatever of the toolchain, Wine and Xvfb is missing (Debian 12, as root).
mirel_install_packages() {
  local missing=""
  for p in $MIREL_PACKAGES; do
    dpkg -s "$p" >/dev/null 2>&1 || missing="$missing $p"
  done
  [ -z "$missing" ] && return 0
  log "installing$missing"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq && apt-get install -y -qq --no-install-recommends $missing >/dev/null
}

# Configures and builds everything (deliverables and tests) with the cross toolchain;
# MIREL_TARGETS (space-separated) limits the build to those targets.
mirel_build() {
  log "building"
  cmake --preset mingw -S "$MIREL_ROOT" -B "$MIREL_BUILD" >/dev/null || return 1
  if [ -n "${MIREL_TARGETS:-}" ]; then
    cmake --build "$MIREL_BUILD" --target $MIREL_TARGETS || return 1
  else
    cmake --build "$MIREL_BUILD" || return 1
  fi
}

# Creates a throwaway Wine prefix and starts its server and system processes.
# The first wine process must not inherit our stdout: Wine's system processes would keep it open.
# MIREL_SYSTEM_WINEDEBUG: the debug channels of the system processes and the services they start,
# whose trace goes to $WINEPREFIX.boot.log. MIREL_PREFIX_SETUP: a command run in the new prefix
# before its system processes start (they read e.g. the font settings only when they start).
mirel_prefix_start() {
  export WINEPREFIX
  WINEPREFIX=$(mktemp -d /tmp/mirel-wine.XXXXXX)
  export WINEDEBUG=${MIREL_SYSTEM_WINEDEBUG:--all}
  export WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d"
  export WINEARCH=win64
  log "creating Wine prefix $WINEPREFIX"
  wineboot -i </dev/null >"$WINEPREFIX.boot.log" 2>&1
  wineserver -w
  if [ -n "${MIREL_PREFIX_SETUP:-}" ]; then
    $MIREL_PREFIX_SETUP </dev/null >>"$WINEPREFIX.boot.log" 2>&1
    wineserver -w
  fi
  wineserver -p </dev/null >/dev/null 2>&1
  wineboot </dev/null >>"$WINEPREFIX.boot.log" 2>&1
  export WINEDEBUG=-all
}

# Stops this prefix's server (and with it every process of the prefix) and removes the prefix.
mirel_prefix_stop() {
  [ -n "${WINEPREFIX:-}" ] || return 0
  wineserver -k >/dev/null 2>&1
  wineserver -w >/dev/null 2>&1
  [ -n "${MIREL_KEEP_PREFIX:-}" ] && { log "prefix kept: $WINEPREFIX"; return 0; }
  rm -rf "$WINEPREFIX" "$WINEPREFIX.boot.log"
}

# One CPU-bound loop per core beside the tests, at the tests' own priority; their ids in
# MIREL_BUSY_PIDS. mirel_busy_stop ends exactly those.
mirel_busy_start() {
  local n
  n=$(nproc)
  MIREL_BUSY_PIDS=""
  for _ in $(seq "$n"); do
    ( while :; do :; done ) </dev/null >/dev/null 2>&1 &
    MIREL_BUSY_PIDS="$MIREL_BUSY_PIDS $!"
  done
  log "busy: $n CPU-bound loops beside the tests (pids$MIREL_BUSY_PIDS)"
}
mirel_busy_stop() {
  [ -n "${MIREL_BUSY_PIDS:-}" ] || return 0
  kill $MIREL_BUSY_PIDS 2>/dev/null
  wait $MIREL_BUSY_PIDS 2>/dev/null
  MIREL_BUSY_PIDS=""
}

# A writable /sys/class/power_supply for this mount namespace: Wine's GetSystemPowerStatus reads it.
# Starts with the AC line online and no battery.
mirel_power_supply_mount() {
  local dir=/sys/class/power_supply
  mount -t tmpfs -o size=1m mirel-power "$dir" || return 1
  mkdir -p "$dir/AC"
  echo Mains >"$dir/AC/type"
  echo 1 >"$dir/AC/online"
}

# Outside: installs what is missing, builds, and runs the script again, with "--inside" first,
# in a private mount namespace (for the simulated power supply) and a virtual X display (for the
# tray). Inside: returns at once.   mirel_run_inside "$0" "$@"; shift
mirel_run_inside() {
  local script=$1
  shift
  [ "${1:-}" = "--inside" ] && return 0
  mirel_install_packages || exit 1
  mirel_build || exit 1
  exec unshare -m --propagation private -- xvfb-run -a -s "-screen 0 1024x768x24" "$script" --inside "$@"
}

# The body of a benchmark script: builds, re-runs the script inside a private mount namespace,
# and there runs the benchmark program with the simulated power supply in a throwaway prefix.
#   mirel_bench <program.exe> "$0" "$@"
mirel_bench() {
  local exe=$1 script=$2
  shift 2
  if [ "${1:-}" != "--inside" ]; then
    mirel_install_packages || exit 1
    mirel_build || exit 1
    exec unshare -m --propagation private -- "$script" --inside "$@"
  fi
  shift
  mirel_power_supply_mount || exit 1
  mirel_prefix_start
  trap mirel_prefix_stop EXIT
  log "running $exe"
  wine "$MIREL_BUILD/bin/$exe" "$@" </dev/null
}
