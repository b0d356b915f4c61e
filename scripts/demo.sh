#!/usr/bin/env bash
# Builds the deliverables and shows the system at work in a throwaway Wine prefix.
# Each act is a function; the acts run in order and print what they do.
set -u
. "$(dirname "$0")/lib.sh"

# The screenshots need ImageMagick and a Japanese font; reading them back, an OCR engine and its
# Japanese data.
MIREL_PACKAGES="$MIREL_PACKAGES imagemagick fonts-ipafont-gothic tesseract-ocr tesseract-ocr-jpn" \
  mirel_run_inside "$0" "$@"
shift

BIN="$MIREL_BUILD/bin"
DBGLOG='HKLM\Software\Orvane\OrvaneMirel\DbgLog'

say() { printf '\n### %s\n' "$*"; }
run() { printf '$ %s\n' "$*"; "$@" </dev/null; }

# Switches the debug log on (long lines, every level) into <file>: C:\ProgramData\MirelLog for the
# service, C:\ProgramData for the tray application.
enable_log() {
  wine reg add "$DBGLOG" /v filename /t REG_SZ /d "$1" /f >/dev/null 2>&1
  wine reg add "$DBGLOG" /v logform /t REG_DWORD /d 2 /f >/dev/null 2>&1
  wine reg add "$DBGLOG" /v loglevel /t REG_DWORD /d 2 /f >/dev/null 2>&1
}

# Prints a log file of the prefix, converted from UTF-16LE: the service's own folder first (the
# service and its library write there), then the shared folder of the tray applications.
# show_log <file> service|shared: the service (and its library) write to their own folder, the
# tray applications to the shared one, under the same file name.
show_log() {
  local file="$WINEPREFIX/drive_c/ProgramData/$1"
  [ "$2" = service ] && file="$WINEPREFIX/drive_c/ProgramData/MirelLog/$1"
  [ -f "$file" ] || { echo "(no log written)"; return; }
  iconv -f UTF-16LE -t UTF-8 "$file" | sed '1s/^\xEF\xBB\xBF//' | tr -d '\r'
}

SETTINGS='HKLM\Software\Orvane\OrvaneMirel'
AC_ONLINE=/sys/class/power_supply/AC/online

# Notification codes as the tray application reads them.
name_codes() {
  sed -e 's/^00000031$/NO_BATTERY/;s/^00000032$/BATTERY_PRESENT/;s/^00000008$/S4_ENABLED/' \
      -e 's/^00000003$/S4_DISABLED/;s/^00000005$/AC_RESTORED/;s/^00000006$/HIBERNATING/' \
      -e 's/^00000001$/AC_LOST/;s/^00000002$/RESUMED/;s/^00000021$/SERVICE_STOPPED/' \
      -e 's/^00000004 \(.*\)$/S4_FAILED (error \1)/;s/^00000011$/BATTERY_LOW/;s/^00000012$/BATTERY_OK/'
}

# What one observer (standing in for a tray application) has received so far.
show_observer() {
  echo "--- received by observer '$1':"
  tr -d '\r' <"$WINEPREFIX/drive_c/ProgramData/observer_$1.txt" | name_codes | sed 's/^/    /'
}

# A registration restarts the service's AC-line watch, as the system's power event would
# (Wine sends none to services).
register() {
  wine "$BIN/observer.exe" "$1" </dev/null >/dev/null 2>&1 &
  sleep 1.5
}

# The package as an administrator deploys it: a silent install, what it put in place, and a
# silent removal that takes it all away again.
act_package() {
  local msi
  msi=$(winepath -w "$BIN/Mirel.msi")
  say "Mirel.msi: silent install"
  run wine msiexec /i "$msi" /qn && echo "installed"
  run wine sc query MIRELSVC | grep -E '^\$|SERVICE_NAME|STATE'
  run wine reg query 'HKLM\Software\Microsoft\Windows\CurrentVersion\Run' /v MIRELAPP | grep MIRELAPP
  run ls "$WINEPREFIX/drive_c/Program Files/Mirel"
  say "Mirel.msi: silent removal"
  run wine msiexec /x "$msi" /qn && echo "removed"
  wine sc query MIRELSVC >/dev/null 2>&1 || echo "service MIRELSVC: not installed"
  [ -d "$WINEPREFIX/drive_c/Program Files/Mirel" ] || echo "folder Program Files\\Mirel: gone"
}

# The service itself: settings, install, a mains failure with hibernation, the resume report,
# the line coming back, and the stop.
act_power_failure() {
  say "MIRELSVC: install and start (flicker wait 2 s, alarm 0.2 s, balloon 0.3 s)"
  enable_log mirelsvc.log
  wine reg add "$DBGLOG" /v loglevel /t REG_DWORD /d 0 /f >/dev/null 2>&1
  for v in "PowerFlickerTime 2" "HibernateAfter 0" "BeepCount 1" "BeepDuration 100" \
           "BeepInterval 100" "ShowBalloonWait 300"; do
    set -- $v
    wine reg add "$SETTINGS" /v "$1" /t REG_DWORD /d "$2" /f >/dev/null 2>&1
  done
  # Wine cannot hibernate: the test stand-in of the power library records the call instead.
  wine reg add 'HKCU\Software\Wine\AppDefaults\MIRELSVC.exe\DllOverrides' /v powrprof /t REG_SZ \
    /d native /f >/dev/null 2>&1
  run wine "$BIN/MIRELSVC.exe" /Install
  echo "CheckKey.txt: $(cat "$WINEPREFIX"/drive_c/users/*/AppData/Local/CheckKey.txt)"
  run wine "$BIN/MIRELSVC.exe" /START
  run wine sc query MIRELSVC

  say "A tray application registers: it learns the battery and hibernation state"
  register desk
  show_observer desk

  say "Mains power fails and stays off"
  echo 0 >"$AC_ONLINE"; echo "\$ echo 0 > $AC_ONLINE"
  register probe
  sleep 3
  show_observer desk
  echo "--- hibernation calls (hibernate force wakeupEventsDisabled):"
  tr -d '\r' <"$WINEPREFIX/drive_c/ProgramData/powrprof_calls.txt" | sed 's/^/    /'

  say "After the resume the application asks whether the service had hibernated the PC"
  run wine "$BIN/observer.exe" desk signal resume
  sleep 1
  show_observer desk

  say "Mains power returns"
  echo 1 >"$AC_ONLINE"; echo "\$ echo 1 > $AC_ONLINE"
  register probe2
  show_observer desk

  say "The service stops; every application is told"
  run wine "$BIN/MIRELSVC.exe" /STOP
  sleep 0.5
  show_observer desk
  run wine "$BIN/MIRELSVC.exe" /UNINSTALL
  for tag in desk probe probe2; do wine "$BIN/observer.exe" $tag signal quit >/dev/null 2>&1; done

  say "The service's event trace (debug log, level 0)"
  show_log mirelsvc.log service | grep -v "\[CBattWatch\|\[CBattery"
}

# Screenshots of what the user sees, cropped to it, saved here and named at the end. Each is read
# back by OCR: text drawn as empty boxes (a face without Japanese glyphs) fails the demonstration.
SHOTS="${MIREL_SHOTS:-/tmp/mirel-demo-shots}"
DEMO_STATUS=0
# shot <name> <tray|box> <phrase>...: "tray" keeps the notification area and its balloon, "box"
# the message box alone. At least three of the phrases must be read back; the screen is taken again
# (up to three times, a second apart) while a window may still be drawing.
shot() {
  local name=$1 what=$2 text="" found try
  shift 2
  mkdir -p "$SHOTS"
  for try in 1 2 3 4 5 6; do
    [ "$try" = 1 ] || sleep 1
    crop_screen "$what" "$SHOTS/$name.png" || continue
    text=$(read_back "$SHOTS/$name.png")
    found=0
    for phrase in "$@"; do
      case "$text" in *"$phrase"*) found=$((found + 1)) ;; esac
    done
    [ "$found" -ge 3 ] && { echo "(screenshot: $SHOTS/$name.png, read back: $text)"; return 0; }
  done
  echo "FAILED: the text of $name is not readable (read back: $text)"
  DEMO_STATUS=1
}
# The screen without the black background; for a message box without the notification area
# (at the top left, where Wine's shell puts it when no panel offers one).
crop_screen() {
  local full="$SHOTS/.screen.png"
  import -window root "$full" 2>/dev/null || return 1
  if [ "$1" = box ]; then
    convert "$full" -fill black -draw 'rectangle 0,0 255,63' -trim +repage "$2"
  else
    convert "$full" -trim +repage "$2"
  fi
  rm -f "$full"
}
# The Japanese text of a picture, as one line without spaces (enlarged: the UI font is small).
read_back() {
  local big="$SHOTS/.ocr.png"
  convert "$1" -resize 300% -colorspace Gray "$big" &&
    tesseract "$big" stdout -l jpn --psm 6 2>/dev/null | tr -d ' \n'
  rm -f "$big"
}
POWRPROF='HKLM\Software\Orvane\MirelTest\PowrProf'

# The tray application beside the service, on a PC with a (simulated) battery device: the
# hibernation balloon, a failed hibernation's message, and the message after a resume.
act_tray_app() {
  say "MIRELAPP: the tray application beside the service"
  enable_log mirelapp.log
  wine reg add "$DBGLOG" /v loglevel /t REG_DWORD /d 0 /f >/dev/null 2>&1
  # Long enough to look at the balloon before the hibernation call.
  wine reg add "$SETTINGS" /v ShowBalloonWait /t REG_DWORD /d 4000 /f >/dev/null 2>&1
  run wine "$BIN/simbatt_ctl.exe" install 1
  run wine "$BIN/simbatt_ctl.exe" set 0 Remaining 40000
  run wine "$BIN/simbatt_ctl.exe" battery 80
  run wine "$BIN/MIRELSVC.exe" /Install
  run wine "$BIN/MIRELSVC.exe" /START
  echo '$ wine MIRELAPP.exe &'
  wine "$BIN/MIRELAPP.exe" </dev/null >/dev/null 2>&1 &
  sleep 3

  say "Mains power fails; this time the hibernation call fails (error 5)"
  wine reg add "$POWRPROF" /v SuspendError /t REG_DWORD /d 5 /f >/dev/null 2>&1
  echo 0 >"$AC_ONLINE"; echo "\$ echo 0 > $AC_ONLINE"
  register probe3
  sleep 3
  shot 1-hibernation-balloon tray 切断されました パソコンを 休止 します 電源 移行
  sleep 3
  shot 2-hibernation-failed box 移行に失敗しました エラーコード シャットダウン ください ただちに 休止

  say "Mains power returns, fails again, and this time the PC hibernates and resumes"
  echo 1 >"$AC_ONLINE"; echo "\$ echo 1 > $AC_ONLINE"
  register probe4
  wine reg delete "$POWRPROF" /v SuspendError /f >/dev/null 2>&1
  echo 0 >"$AC_ONLINE"; echo "\$ echo 0 > $AC_ONLINE"
  register probe5
  sleep 7
  echo "(after the resume an application asks whether the service had hibernated the PC)"
  wine "$BIN/observer.exe" probe5 signal resume >/dev/null 2>&1
  sleep 3
  shot 3-resumed box 断時に 移行し、 復 しまし
  echo 1 >"$AC_ONLINE"; echo "\$ echo 1 > $AC_ONLINE"

  say "The service restarts: the application is told, waits, and registers again"
  run wine "$BIN/MIRELSVC.exe" /STOP
  sleep 1
  run wine "$BIN/MIRELSVC.exe" /START
  sleep 3
  run wine "$BIN/MIRELSVC.exe" /UNINSTALL
  for tag in probe3 probe4 probe5; do wine "$BIN/observer.exe" $tag signal quit >/dev/null 2>&1; done

  say "What the application logged: its battery probe and each notification as its window took it"
  echo "(the battery level's BATTERY_OK, repeated twice a second, left out)"
  show_log mirelapp.log shared | grep "m_bIsMirelType\|\[CMainWnd::OnMirelNotify\]" | grep -v "WPARAM 12,"
  say "Screenshots of what the user saw: $SHOTS"
  ls "$SHOTS"
  [ "$DEMO_STATUS" = 0 ] || echo "FAILED: some screenshot's text is not readable"
}

# A desktop on a USB UPS: the battery in use is a short-term one, and the low-charge alert names
# the UPS. The application of the act before registers again once the service is back, and reads
# the kind of the battery in use when the service tells it of the battery's presence.
act_ups() {
  say "MIRELAPP on a desktop whose battery is a USB UPS, nearly empty"
  enable_log mirelups.log
  run wine "$BIN/simbatt_ctl.exe" install 1
  # A system battery, short-term, with a relative capacity: as Windows presents a USB UPS.
  run wine "$BIN/simbatt_ctl.exe" set 0 Capabilities 0xE0000000
  run wine "$BIN/simbatt_ctl.exe" set 0 Remaining 2000
  run wine "$BIN/simbatt_ctl.exe" battery 4
  run wine "$BIN/MIRELSVC.exe" /Install
  run wine "$BIN/MIRELSVC.exe" /START
  echo '$ wine MIRELAPP.exe &'
  wine "$BIN/MIRELAPP.exe" </dev/null >/dev/null 2>&1 &
  sleep 5
  shot 4-ups-low tray UPS バッテリ 残量 少ない 休止 充電
  run wine "$BIN/MIRELSVC.exe" /UNINSTALL
  say "Which battery the library chose, and why"
  show_log mirelups.log service | grep "Battery in use" | head -3
}

# The user-interface fonts in Japanese (a Japanese Windows brings its own), set before the
# prefix's system processes start: the shell that draws the tray balloons reads them only then.
demo_fonts() {
  for font in Tahoma "MS Shell Dlg" "MS Shell Dlg 2" "MS UI Gothic"; do
    wine reg add 'HKCU\Software\Wine\Fonts\Replacements' /v "$font" /t REG_SZ /d IPAGothic /f
  done
}

mirel_power_supply_mount || exit 1
MIREL_PREFIX_SETUP=demo_fonts mirel_prefix_start
trap mirel_prefix_stop EXIT

[ -f "$BIN/Mirel.msi" ] && act_package
act_power_failure
act_tray_app
act_ups
exit $DEMO_STATUS
