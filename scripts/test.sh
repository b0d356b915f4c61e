#!/usr/bin/env bash
# Installs what the tests need, builds, and runs every test under Wine in a throwaway prefix,
# inside a private mount namespace (for the simulated power supply) and a virtual X display
# (for the tray). Exits with ctest's status. Extra arguments go to ctest (e.g. -R Pipe).
# MIREL_BUILD chooses the build folder (default build/).
# --busy (first): runs the tests beside one CPU-bound loop per core, as on a shared CI machine.
set -u
. "$(dirname "$0")/lib.sh"
# The network UPS tests talk to a real UPS server (upsd with its dummy driver).
MIREL_PACKAGES="$MIREL_PACKAGES nut-server nut-client"

mirel_run_inside "$0" "$@"
shift

busy=""
if [ "${1:-}" = "--busy" ]; then
  busy=1
  shift
fi

mirel_power_supply_mount || exit 1
mirel_prefix_start
trap 'mirel_busy_stop; mirel_nut_stop; mirel_prefix_stop' EXIT
mirel_nut_start || { mirel_nut_stop; log "no UPS server: the tests that need one skip"; }
trap 'exit 143' INT TERM HUP
[ -n "$busy" ] && mirel_busy_start
log "running tests"
ctest --test-dir "$MIREL_BUILD" --output-on-failure --timeout 300 "$@" </dev/null
status=$?
exit $status
