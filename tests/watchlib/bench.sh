#!/usr/bin/env bash
# Timing accuracy and CPU cost of the power-watch library under Wine:
#   tests/watchlib/bench.sh [runs=20] [pollSeconds=60]
# Builds, then runs watch_bench.exe in a throwaway Wine prefix inside a private mount namespace
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
log "running watch_bench"
wine "$MIREL_BUILD/bin/watch_bench.exe" "$@" </dev/null
