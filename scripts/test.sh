#!/usr/bin/env bash
# Installs what the tests need, builds, and runs every test under Wine in a throwaway prefix,
# inside a private mount namespace (for the simulated power supply) and a virtual X display
# (for the tray). Exits with ctest's status. Extra arguments go to ctest (e.g. -R Pipe).
# MIREL_BUILD chooses the build folder (default build/).
set -u
. "$(dirname "$0")/lib.sh"

if [ "${1:-}" != "--inside" ]; then
  mirel_install_packages || exit 1
  mirel_build || exit 1
  exec unshare -m --propagation private -- xvfb-run -a -s "-screen 0 1024x768x24" "$0" --inside "$@"
fi
shift

mirel_power_supply_mount || exit 1
mirel_prefix_start
trap mirel_prefix_stop EXIT
log "running tests"
ctest --test-dir "$MIREL_BUILD" --output-on-failure --timeout 300 "$@" </dev/null
status=$?
exit $status
