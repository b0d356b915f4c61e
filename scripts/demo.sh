#!/usr/bin/env bash
# Builds the deliverables and shows the system at work in a throwaway Wine prefix.
# Each act is a function; the acts run in order and print what they do.
set -u
. "$(dirname "$0")/lib.sh"

if [ "${1:-}" != "--inside" ]; then
  mirel_install_packages || exit 1
  mirel_build || exit 1
  exec unshare -m --propagation private -- xvfb-run -a -s "-screen 0 1024x768x24" "$0" --inside
fi

BIN="$MIREL_BUILD/bin"
DBGLOG='HKLM\Software\Orvane\OrvaneMirel\DbgLog'

say() { printf '\n### %s\n' "$*"; }
run() { printf '$ %s\n' "$*"; "$@" </dev/null; }

# Switches the shared debug log on (long lines, every level) into C:\ProgramData\<file>.
enable_log() {
  wine reg add "$DBGLOG" /v filename /t REG_SZ /d "$1" /f >/dev/null 2>&1
  wine reg add "$DBGLOG" /v logform /t REG_DWORD /d 2 /f >/dev/null 2>&1
  wine reg add "$DBGLOG" /v loglevel /t REG_DWORD /d 2 /f >/dev/null 2>&1
}

# Prints a log file of the prefix, converted from UTF-16LE.
show_log() {
  local file="$WINEPREFIX/drive_c/ProgramData/$1"
  [ -f "$file" ] || { echo "(no log written)"; return; }
  iconv -f UTF-16LE -t UTF-8 "$file" | sed '1s/^\xEF\xBB\xBF//' | tr -d '\r'
}

# The service framework: install, start, query, stop and remove a small sample service.
act_sample_service() {
  say "Service framework: the life of a sample service"
  enable_log sample.log
  local exe="$BIN/SampleService.exe"
  run wine "$exe" /INSTALL "$(winepath -w "$exe" 2>/dev/null)"; echo "result: $?"
  run wine "$exe" /START; echo "result: $?"
  run wine sc query MIRELSAMPLE
  run wine "$exe" /STOP; echo "result: $?"
  run wine sc query MIRELSAMPLE
  run wine "$exe" /UNINSTALL; echo "result: $?"
  run wine sc query MIRELSAMPLE
  say "Debug log written by the sample service and its commands"
  show_log sample.log
}

mirel_power_supply_mount || exit 1
mirel_prefix_start
trap mirel_prefix_stop EXIT

act_sample_service
