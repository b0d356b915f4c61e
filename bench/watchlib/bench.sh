#!/usr/bin/env bash
# Timing accuracy and CPU cost of the power-watch library under Wine:
#   bench/watchlib/bench.sh [runs=20] [pollSeconds=60]
# Builds, then runs watch_bench.exe in a throwaway Wine prefix inside a private mount namespace
# with the simulated power supply (as scripts/test.sh does). MIREL_BUILD chooses the build folder.
set -u
. "$(dirname "$0")/../../scripts/lib.sh"
mirel_bench watch_bench.exe "$0" "$@"
