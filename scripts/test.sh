#!/usr/bin/env bash
# Installs what the tests need, builds, and runs every test under Wine in a throwaway prefix,
# inside a private mount namespace (for the simulated power supply) and a virtual X display
# (for the tray). Exits with ctest's status. Extra arguments go to ctest (e.g. -R Pipe).
# MIREL_BUILD chooses the build folder (default build/).
set -u
. "$(dirname "$0")/lib.sh"

mirel_run_inside "$0" "$@"
shift

mirel_power_supply_mount || exit 1
mirel_prefix_start
trap mirel_prefix_stop EXIT
log "running tests"
ctest --test-dir "$MIREL_BUILD" --output-on-failure --timeout 300 "$@" </dev/null
status=$?
exit $status
