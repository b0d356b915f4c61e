#!/usr/bin/env bash
# Timing of the hibernation path through the installed service under Wine:
#   bench/service/bench.sh [drills=20]
# Builds, then runs hibernate_bench.exe in a throwaway Wine prefix inside a private mount namespace
# with the simulated power supply (as scripts/test.sh does). MIREL_BUILD chooses the build folder.
set -u
. "$(dirname "$0")/../../scripts/lib.sh"
mirel_bench hibernate_bench.exe "$0" "$@"
