#!/usr/bin/env bash
# The Windows installer under Wine, as a new user would meet it: installed
# silently (/S), the console started from its Start-menu entry works in
# Documents\Tarnell Console (its installation folder is not the user's), sends
# to the simulator and writes its dispatch log there when its window is
# closed; then the uninstaller takes away what was installed and leaves the
# user's own files and set-up. The portable zip, unpacked and started from its
# folder, keeps its set-up and its log beside itself and nothing in AppData.
#   installer-e2e.sh SIM BUILD_DIR CPACK_CONFIG [SHOT_DIR]
set -euo pipefail
sim=$(realpath "$1") build=$(cd "$2" && pwd) cpack_config=$(realpath "$3") shots=${4:-}
here=$(cd "$(dirname "$0")" && pwd)
. "$here/wine-x.sh"
start_x "$build" installer-e2e

# The installer, made as `--target package` makes it.
(cd "$work" && cpack -G NSIS --config "$cpack_config" -B "$work/pkg" >"$work/cpack.log" 2>&1) \
  || { tail -n 30 "$work/cpack.log" >&2; fail "cpack -G NSIS failed"; }
installer=$(find "$work/pkg" -maxdepth 1 -name 'tarnell-console-*-win64.exe' | head -1)
[ -n "$installer" ] || fail "no installer in $work/pkg"

program_files=$(winepath -u 'C:\Program Files' 2>/dev/null)
inst="$program_files/Tarnell Console"
uninstall_key='HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall\Tarnell Console'
# A folder deleted by hand leaves its entry in the list of installed programs
# behind: the installer installs anew over it (a hidden "Uninstall failed."
# box would keep a silent run waiting for ever).
rm -rf "$inst"
wine reg add "$uninstall_key" /v UninstallString /d "\"$(winpath "$inst")\\Uninstall.exe\"" /f >/dev/null 2>&1 \
  || fail "could not write the stale entry"
timeout 300 "$here/wine-run.sh" "$installer" /S || fail "the silent installer did not end (status $?)"
# NSIS ends its silent run before the files may all be there on a busy machine.
await_true test -f "$inst/Uninstall.exe"
for f in bin/tarnell-console.exe bin/tarnell-cli.exe LICENSE.txt; do
  [ -f "$inst/$f" ] || fail "the installer left out $f"
done
# Only the zip is portable: the installed console keeps its set-up per user.
[ ! -e "$inst/bin/portable.txt" ] || fail "the installer installed the portable marker"
menu=$(winepath -u 'C:\ProgramData\Microsoft\Windows\Start Menu\Programs' 2>/dev/null)
link=$(find "$menu" -name 'Tarnell Console.lnk' | head -1)
[ -n "$link" ] || fail "no Start-menu entry under $menu: $(find "$menu" | head)"
listed() { wine reg query "$uninstall_key" /v UninstallString 2>/dev/null | grep -qF 'Uninstall.exe'; }
listed || fail "no entry in the list of installed programs"

# Started from the Start-menu entry, as a user would.
start_sim 31 --no-wire-timing --log "$work/sim31.log"
docs=$(winepath -u "$(wine cmd /c 'echo %USERPROFILE%\Documents' 2>/dev/null | tr -d '\r')" 2>/dev/null)
own="$docs/Tarnell Console"
rm -rf "$own"
run_windows start /unix "$link" 2>"$work/console.err"
win=$(await_window "Tarnell by Voskarwerk")
press_until "$win" F1 window_named "Select Port"
focus_window "$(window_named "Select Port")"
xdotool key Return
await_true grep -qF 'STA;0\n\r' "$work/sim31.log"
# The picture shows the window, not the port dialog on its way out.
port_dialog_gone() { ! window_named "Select Port"; }
await_true port_dialog_gone
shot "$work/installed.png"
[ -n "$shots" ] && cp "$work/installed.png" "$shots/"
# Closed with Alt+F4: the port closes and SIO.LOG goes to the user's folder.
press_until "$win" alt+F4 test -s "$own/SIO.LOG"
grep -q 'STA;0' "$own/SIO.LOG" || fail "SIO.LOG: $(head -5 "$own/SIO.LOG")"
[ ! -e "$inst/SIO.LOG" ] && [ ! -e "$inst/bin/SIO.LOG" ] || fail "SIO.LOG went to the installation folder"

# A second run, as a newer version's would be: the installed one's own
# uninstaller goes first (it takes the list entry, with a mark put there, as
# a whole), and what was installed is there again afterwards.
wine reg add "$uninstall_key" /v OlderVersionMark /d 1 /f >/dev/null 2>&1 || fail "could not mark the entry"
timeout 300 "$here/wine-run.sh" "$installer" /S || fail "the installer over an installed one did not end (status $?)"
await_true test -f "$inst/bin/tarnell-console.exe"
! wine reg query "$uninstall_key" /v OlderVersionMark >/dev/null 2>&1 || fail "the installed version's uninstaller did not run first"
for f in Uninstall.exe bin/tarnell-console.exe bin/tarnell-cli.exe; do
  [ -f "$inst/$f" ] || fail "after the second installation $f is missing"
done
[ -n "$(find "$menu" -name 'Tarnell Console.lnk')" ] || fail "after the second installation the Start-menu entry is missing"
listed || fail "after the second installation the list entry is missing"

# The uninstaller: silent, and it runs on from a copy of itself, so the
# result is waited for. It takes away the list entry, then the folder, and
# the Start-menu entry last: once that has gone, the rest has too.
run_windows "$inst/Uninstall.exe" /S
menu_entry_gone() { [ -z "$(find "$menu" -name 'Tarnell Console*')" ]; }
await_true menu_entry_gone
[ ! -e "$inst" ] || fail "the installation folder stayed: $(find "$inst" | head)"
! listed || fail "the entry in the list of installed programs stayed"
[ -s "$own/SIO.LOG" ] || fail "the uninstaller took the user's files"
appdata=$(winepath -u "$(wine cmd /c 'echo %APPDATA%' 2>/dev/null | tr -d '\r')" 2>/dev/null)
[ -s "$appdata/tarnell/console.ini" ] || fail "the uninstaller took the user's set-up (or it was never written)"

# The portable zip: the marker is in it (and was not installed above).
(cd "$work" && cpack -G ZIP --config "$cpack_config" -B "$work/zip" >"$work/cpack-zip.log" 2>&1) \
  || { tail -n 30 "$work/cpack-zip.log" >&2; fail "cpack -G ZIP failed"; }
zip=$(find "$work/zip" -maxdepth 1 -name 'tarnell-console-*-win64.zip' | head -1)
[ -n "$zip" ] || fail "no zip in $work/zip"
mkdir -p "$work/unpacked"
(cd "$work/unpacked" && unzip -q "$zip")
bin=$(find "$work/unpacked" -path '*/bin/tarnell-console.exe' -printf '%h\n' | head -1)
[ -f "$bin/portable.txt" ] || fail "the zip has no bin/portable.txt"
rm -rf "$appdata/tarnell"
(cd "$bin" && run_windows ./tarnell-console.exe 2>>"$work/console.err") &
pids+=($!)
win=$(await_window "Tarnell by Voskarwerk")
press_until "$win" F1 window_named "Select Port"
focus_window "$(window_named "Select Port")"
xdotool key Return
await_true more_frames_than 1 "$work/sim31.log" 'STA;0'
press_until "$win" alt+F4 test -s "$bin/SIO.LOG"
await_true test -s "$bin/tarnell-console.ini"
[ ! -e "$appdata/tarnell" ] || fail "the portable console wrote to AppData: $(find "$appdata/tarnell")"
echo "installer under Wine: installed silently with Start-menu entry, started there, log in Documents\\Tarnell Console, uninstalled leaving the user's files and set-up; the portable zip keeps its set-up and log beside itself"
