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
#     by its name;
#   - the end of the session closes the window and the dispatch log is written.
#   console-e2e.sh SIM BUILD_DIR CONSOLE_EXE EXPECTED_GRI [SHOT_DIR]
set -euo pipefail
sim=$1 build=$(cd "$2" && pwd) console=$3 expected=$4 shots=${5:-}
here=$(cd "$(dirname "$0")" && pwd)
. "$here/wine-x.sh"
start_x "$build" console-e2e
ports=$build/winports

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
await_true test "$(window_size "$win")" = "1016x765"
shot "$work/start.png"
[ -n "$shots" ] && cp "$work/start.png" "$shots/"
# Something was drawn: a blank or one-colour window has a handful of colours.
colours=$(convert "$work/start.png" -crop 1016x765+0+0 -format '%k' info:)
[ "$colours" -gt 8 ] || fail "the window shows $colours colours only"

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
before=$(grep -cF 'STA;0\n\r' "$work/sim21.log")
press_until "$win" F1 test "$(grep -cF 'STA;0\n\r' "$work/sim21.log")" -gt "$before"
shot "$work/after-readout.png"
[ -n "$shots" ] && cp "$work/after-readout.png" "$shots/"
xdotool mousemove --window "$win" 940 52 click 1
save_as "$(winpath "$work/read.gri")" test -s "$work/read.gri"
cmp "$expected" "$work/read.gri" || fail "read.gri differs from the Linux window's: $(od -c "$work/read.gri" | head -5)"

# A port that goes away while the dialog is open: opening it fails, and the
# message names it. Ctrl+P lets COM21 go, so the next command asks again.
start_sim 22 --no-wire-timing
focus_window "$win"
xdotool key ctrl+p
press_until "$win" F1 window_named "Select Port"
dialog=$(window_named "Select Port")
stop_sim 22
focus_window "$dialog"
xdotool key Down Return          # COM22, the second entry
message=$(await_window "Tarnell Console")
focus_window "$message"
await_clipboard_after "$message" ctrl+c "COM22"
xdotool key Return

# The session ends: the window closes and SIO.LOG is written.
rm -f SIO.LOG
run_windows_tool wineboot --end-session
await_true test -s SIO.LOG
[ "$(head -1 SIO.LOG | tr -d '\r')" = "SIO v4.07" ] || fail "SIO.LOG: $(head -3 SIO.LOG)"
grep -q 'RCL;0;8' SIO.LOG || fail "SIO.LOG lacks the Readout"
echo "console under Wine: designed size, port chosen, STA;0 LF CR sent, reply and status shown, readout stored as on Linux, missing COM22 named, log written at session end"
