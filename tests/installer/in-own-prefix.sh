#!/usr/bin/env bash
# Runs a test program in a Wine prefix of its own, whose system processes (the service manager and
# the services it starts) trace the event-log calls into the prefix's boot log; the program finds
# that file through MIREL_SYSTEM_LOG. Installing and removing packages stays out of the shared prefix.
set -u
. "$(dirname "$0")/../../scripts/lib.sh"
MIREL_SYSTEM_WINEDEBUG="-all,fixme+advapi,+eventlog" mirel_prefix_start
trap mirel_prefix_stop EXIT
MIREL_SYSTEM_LOG=$(winepath -w "$WINEPREFIX.boot.log") wine "$@"
