#!/usr/bin/env bash
# The benchmark report: builds, runs every benchmark under Wine (in a private mount namespace with
# the simulated power supply, a virtual display and one throwaway prefix), then prints one table.
#   scripts/bench.sh [idleSeconds=60 [benchmark...]]    benchmarks: pipe hibernate watch system netups
# The details of each benchmark are printed as it runs; the table at the end collects its figures.
# MIREL_BUILD chooses the build folder (default build/).
set -u
. "$(dirname "$0")/lib.sh"
# The network UPS benchmark runs against a real UPS server (upsd with its dummy driver).
MIREL_PACKAGES="$MIREL_PACKAGES nut-server nut-client"

mirel_run_inside "$0" "$@"
shift
idle=${1:-60}
shift $(( $# > 0 ? 1 : 0 ))
benches=${*:-pipe hibernate watch system netups}

mirel_power_supply_mount || exit 1
mirel_prefix_start
rows=$(mktemp)
trap 'mirel_prefix_stop; rm -f "$rows"' EXIT

run() {
  log "$*"
  wine "$MIREL_BUILD/bin/$1" "${@:2}" </dev/null | tr -d '\r' | tee -a /dev/stderr | grep '^ROW|' >>"$rows"
}
for b in $benches; do
  case $b in
    pipe) run pipe_bench.exe ;;
    hibernate) run hibernate_bench.exe 20 ;;
    watch) run watch_bench.exe 20 60 ;;
    system) run system_bench.exe "$idle" ;;
    # Its UPS server's own packages; without them the figures read "n/a".
    netups) mirel_nut_start || log "no UPS server: the network UPS figures read n/a"
            run netups_bench.exe 30; mirel_nut_stop ;;
    *) log "unknown benchmark $b"; exit 2 ;;
  esac
done

printf '\n| figure | value | goal |\n|---|---|---|\n'
awk -F'|' '{ printf "| %s | %s | %s |\n", $2, $3, $4 }' "$rows"
