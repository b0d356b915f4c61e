#!/usr/bin/env bash
# Measures the pipe messaging under Wine in a throwaway prefix: the raw cost of one exchange on a
# bare named pipe (connect, 8-byte write, 4-byte acknowledgement, close) and the cost per client of
# CPipeSv::SendAll of a 4-byte notification to 1, 10 and 100 registered clients, with the ratio
# to the raw figure. MIREL_BUILD chooses the build folder (default build/).
set -u
. "$(dirname "$0")/../../scripts/lib.sh"

mirel_install_packages || exit 1
mirel_build || exit 1
mirel_prefix_start
trap mirel_prefix_stop EXIT
log "measuring"
wine "$MIREL_BUILD/bin/pipe_bench.exe" </dev/null
