#!/usr/bin/env bash
# tarnell-console.exe under Wine, in an X server of its own, used as an
# operator would: keys and clicks from xdotool, and what came of them read
# from the simulator's wire log, the files written, the clipboard (Wine hands
# it to X) and screenshots (AT-SPI does not reach Wine's windows).
#   - the window shows with its caption at its designed size;
#   - F1 asks for the port; the dialog lists the simulator's COM port; OK
#     puts STA;0 LF CR on the wire, and the reply and the status bits show;
#   - Readout fills both grids; Store File writes the .gri that the Linux
#     window writes for the same gripper (EXPECTED_GRI), byte for byte;
#   - a port that went away between the dialog and the opening is reported
#     in an error box, and the next command asks for a port again;
#   - F5's command changed in the function-key table just before the end of
#     the session: the session's end closes the window and the dispatch log
#     is written; the console started again sends the changed command with
#     F5, on the port kept from the run before.
#   console-e2e.sh SIM BUILD_DIR CONSOLE_EXE EXPECTED_GRI [SHOT_DIR]
set -euo pipefail
sim=$(realpath "$1") build=$(cd "$2" && pwd) console=$(realpath "$3") expected=$(realpath "$4") shots=${5:-}
here=$(cd "$(dirname "$0")" && pwd)
. "$here/wine-x.sh"
start_x "$build" console-e2e

# COM21: the gripper. COM22 is started only to be taken away again.
start_sim 21 --no-wire-timing --log "$work/sim21.log"
cd "$work"
run_windows "$console" 2>"$work/console.err" &
console_pid=$!
pids+=("$console_pid")

# The window, with its caption, at the designed size (client 1016 x 741 and
# the port line below it).
win=$(await_window "Tarnell by Voskarwerk")
xdotool windowmove "$win" 0 0
await_true window_size_is "$win" 1016x765
# Something was drawn: a blank or one-colour window has a handful of colours
# (on a busy machine Wine maps the window a while before it paints it).
drawn() {
  shot "$work/start.png"
  [ "$(convert "$work/start.png" -crop 1016x765+0+0 -format '%k' info:)" -gt 8 ]
}
await_true drawn
[ -n "$shots" ] && cp "$work/start.png" "$shots/"

# F1: the port dialog lists COM21 first (the only port present), OK sends.
focus_window "$win"
xdotool key F1
dialog=$(await_window "Select Port")
focus_window "$dialog"
xdotool key Return
await_true grep -qF 'STA;0\n\r' "$work/sim21.log"
# The reply and the status bits show: the reply heads the output window, and
# the status boxes (bits 6 and 7 set by 192) look different from before.
await_output_line '->Rx: STA;0:192;'
shot "$work/after-sta.png"
region="130x261+720+339"   # cgStatus: 720, 50 within Panel3, which starts at 289
if [ "$(compare -metric AE -crop "$region" "$work/start.png" "$work/after-sta.png" null: 2>&1 || true)" = 0 ]; then
  fail "the status boxes did not change"
fi

# Readout, then Store File once the sequence is over: F1 is refused while a
# sequence owns the line, so a new STA;0 on the wire marks its end.
xdotool mousemove --window "$win" 940 236 click 1
await_true grep -qF 'RCL;0;8\n\r' "$work/sim21.log"
before=$(frames_in "$work/sim21.log" 'STA;0')
press_until "$win" F1 more_frames_than "$before" "$work/sim21.log" 'STA;0'
shot "$work/after-readout.png"
[ -n "$shots" ] && cp "$work/after-readout.png" "$shots/"
windows=$(visible_windows)
xdotool mousemove --window "$win" 940 52 click 1
save_as "$(await_new_window "$windows")" "$(winpath "$work/read.gri")" test -s "$work/read.gri"
cmp "$expected" "$work/read.gri" || fail "read.gri differs from the Linux window's: $(od -c "$work/read.gri" | head -5)"

# A port that goes away while the dialog is open: opening it fails with an
# error box (its text copied with Ctrl+C, as a Windows message box allows),
# and the next command asks again. Ctrl+P lets COM21 go first.
start_sim 22 --no-wire-timing
focus_window "$win"
xdotool key ctrl+p
press_until "$win" F1 window_named "Select Port"
dialog=$(window_named "Select Port")
stop_sim 22
focus_window "$dialog"
# From OK (the first in the tab order) past Cancel to the list: COM22 is
# its second entry; Return is OK, the default button.
xdotool key Tab Tab Down Return
message=$(await_window "Tarnell Console")
await_clipboard_after "$message" ctrl+c "Tarnell Console"
text=$(clipboard | tr -d '\r' | grep -v -e '^---' -e '^Tarnell Console$' -e '^OK$' | tr '\n' ' ')
echo "the missing port's message: $text"
# The port and its device come first, then the system's reason.
case "$text" in
    'COM22 (\\.\COM22): '*'Sio exception'*) fail "the missing port's message gives no reason: $text" ;;
    'COM22 (\\.\COM22): '?*': '?*) ;;
    *) fail "the missing port's message does not name the port and its device: $text" ;;
esac
focus_window "$message"
xdotool key Return
before=$(frames_in "$work/sim21.log" 'STA;0')
press_until "$win" F1 window_named "Select Port"
focus_window "$(window_named "Select Port")"
xdotool key Return
await_true more_frames_than "$before" "$work/sim21.log" 'STA;0'

# F5's command typed into its cell of the function-key table (the fifth of
# twelve rows from y 347, the command column from x 890); copied back, so the
# cell is known to hold it before the session ends.
focus_window "$win"
xdotool mousemove --window "$win" 950 459 click 1
xdotool key ctrl+a
xdotool type --delay 20 'RCL;0;5'
xdotool key ctrl+a
await_clipboard_after "$win" ctrl+c 'RCL;0;5'

# The session ends at once: the window closes and SIO.LOG is written.
rm -f SIO.LOG
run_windows_tool wineboot --end-session
await_true test -s SIO.LOG
[ "$(head -1 SIO.LOG | tr -d '\r')" = "SIO v4.07" ] || fail "SIO.LOG: $(head -3 SIO.LOG)"
grep -q 'STA;0' SIO.LOG || fail "SIO.LOG lacks the last command"
console_gone() { ! kill -0 "$console_pid" 2>/dev/null; }
await_true console_gone

# Started again: F5 sends the changed command to the port kept.
run_windows "$console" 2>>"$work/console.err" &
console_pid=$!
pids+=("$console_pid")
win=$(await_window "Tarnell by Voskarwerk")
press_until "$win" F5 grep -qF 'RCL;0;5\n\r' "$work/sim21.log"
echo "console under Wine: designed size, port chosen, STA;0 LF CR sent, reply and status shown, readout stored as on Linux, missing port reported and asked again, log written at session end, F-key change kept across it"
