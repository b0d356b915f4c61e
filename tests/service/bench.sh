#!/usr/bin/env bash
# Timing of the hibernation path through the installed service under Wine:
#   tests/service/bench.sh [drills=20]
# Builds, then runs hibernate_bench.exe in a throwaway Wine prefix inside a private mount namespace
# with the simulated power supply (as scripts/test.sh does). MIREL_BUILD chooses the build folder.
set -u
. "$(dirname "$0")/../../scripts/lib.sh"

if [ "${1:-}" != "--inside" ]; then
  mirel_install_packages || exit 1
  mirel_build || exit 1
  exec unshare -m --propagation private -- "$0" --inside "$@"
fi
shift

mirel_power_supply_mount || exit 1
mirel_prefix_start
trap mirel_prefix_stop EXIT
log "running hibernate_bench"
wine "$MIREL_BUILD/bin/hibernate_bench.exe" "$@" </dev/null
