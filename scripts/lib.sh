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

# A throwaway UPS server for the network UPS tests: upsd and its dummy driver on 127.0.0.1, with
# configuration and state in a folder of their own, never /etc/nut. The UPS "dummy" starts "OL";
# the user "admin" (password "adminpw") may SET variables, "mon" ("monpw") logs in as a secondary.
# Exports MIREL_NUT_PORT and MIREL_NUT_CTL: a folder where a test drops "<name>.cmd" holding
# "stop" or "start" (upsd) and waits for "<name>.done". mirel_nut_stop ends exactly the pids
# started here.
mirel_nut_start() {
  [ -x /lib/nut/upsd ] && [ -x /lib/nut/dummy-ups ] || return 1
  MIREL_NUT_DIR=$(mktemp -d /tmp/mirel-nut.XXXXXX)
  local conf=$MIREL_NUT_DIR/conf state=$MIREL_NUT_DIR/state ctl=$MIREL_NUT_DIR/ctl
  mkdir -p "$conf" "$state" "$ctl"
  chmod 755 "$MIREL_NUT_DIR"  # the daemons drop to the user nut, which must reach its files
  printf '[dummy]\n  driver = dummy-ups\n  port = dummy.dev\n  mode = dummy-once\n' >"$conf/ups.conf"
  printf 'ups.status: OL\nbattery.charge: 100\nbattery.runtime: 1800\n' >"$conf/dummy.dev"
  printf '[admin]\n  password = adminpw\n  actions = SET\n  instcmds = ALL\n[mon]\n  password = monpw\n  upsmon secondary\n' >"$conf/upsd.users"
  chgrp -R nut "$conf" && chmod -R g+rX "$conf" && chown nut "$state" && chmod 770 "$state"
  export NUT_CONFPATH=$conf NUT_STATEPATH=$state MIREL_NUT_PORT MIREL_NUT_CTL=$ctl
  # A random port; another if that one is taken (upsd then ends at once).
  for attempt in 1 2 3; do
    MIREL_NUT_PORT=$((20000 + RANDOM % 20000))
    printf 'LISTEN 127.0.0.1 %s\n' "$MIREL_NUT_PORT" >"$conf/upsd.conf"
    chgrp nut "$conf/upsd.conf" && chmod g+r "$conf/upsd.conf"
    mirel_nut_upsd && break
    [ "$attempt" = 3 ] && return 1
  done
  mirel_nut_serve_commands &
  MIREL_NUT_LOOP=$!
  log "UPS server on 127.0.0.1:$MIREL_NUT_PORT (folder $MIREL_NUT_DIR)"
}

# Starts the driver afresh and upsd, and waits (up to 30 s) until upsd serves the UPS: until the
# driver has answered it, the UPS reads "WAIT" and refuses SET. The driver is started again with
# upsd because a driver that outlived an upsd drops the next upsd at its first SET (nut 2.8.0).
mirel_nut_upsd() {
  local status
  mirel_nut_kill_pidfile "$NUT_STATEPATH/dummy-ups-dummy.pid" || return 1
  /lib/nut/dummy-ups -a dummy -u nut >>"$MIREL_NUT_DIR/driver.log" 2>&1 || return 1
  rm -f "$NUT_STATEPATH/upsd.pid"
  /lib/nut/upsd -u nut >>"$MIREL_NUT_DIR/upsd.log" 2>&1 || return 1
  for _ in $(seq 300); do
    status=$(upsc "dummy@127.0.0.1:$MIREL_NUT_PORT" ups.status 2>/dev/null)
    [ -s "$NUT_STATEPATH/upsd.pid" ] && [ -n "$status" ] && [ "$status" != WAIT ] && return 0
    sleep 0.1
  done
  return 1
}

# Ends the process whose pid the file holds, and waits (up to 30 s) until it is gone.
mirel_nut_kill_pidfile() {
  local pid
  pid=$(cat "$1" 2>/dev/null) || return 0
  [ -n "$pid" ] || return 0
  kill "$pid" 2>/dev/null
  for _ in $(seq 300); do
    kill -0 "$pid" 2>/dev/null || { rm -f "$1"; return 0; }
    sleep 0.1
  done
  return 1
}

# Serves the tests' commands until the folder goes.
mirel_nut_serve_commands() {
  local cmd name
  while [ -d "$MIREL_NUT_CTL" ]; do
    for cmd in "$MIREL_NUT_CTL"/*.cmd; do
      [ -e "$cmd" ] || continue
      name=${cmd%.cmd}
      case $(tr -d '\r\n' <"$cmd") in
        stop) mirel_nut_kill_pidfile "$NUT_STATEPATH/upsd.pid" ;;
        start) [ -s "$NUT_STATEPATH/upsd.pid" ] || mirel_nut_upsd ;;
      esac
      rm -f "$cmd"
      : >"$name.done"
    done
    sleep 0.1
  done
}

mirel_nut_stop() {
  [ -n "${MIREL_NUT_DIR:-}" ] || return 0
  rm -rf "$MIREL_NUT_CTL"
  [ -n "${MIREL_NUT_LOOP:-}" ] && wait "$MIREL_NUT_LOOP" 2>/dev/null
  mirel_nut_kill_pidfile "$NUT_STATEPATH/upsd.pid"
  mirel_nut_kill_pidfile "$NUT_STATEPATH/dummy-ups-dummy.pid"
  rm -rf "$MIREL_NUT_DIR"
  MIREL_NUT_DIR=""
  unset MIREL_NUT_PORT MIREL_NUT_CTL
}
