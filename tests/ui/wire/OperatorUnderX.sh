#!/usr/bin/env bash
# The real tarnell-console in a real X server, used as an operator would, for
# what goes beyond the designed form: the window refuses to shrink below its
# minimum (it tells the window manager) and grows to the whole screen; Enter in the command line sends
# (seen in the simulator's log); with COM1 held by another program the first
# command fails "already in use" and the next asks again, so COM2 can be
# chosen; a simulator killed and restarted is served again; Ctrl+P lets the
# port go (its dispatch log is written) and the next command asks again,
# offering the port used last first; the
# output's "Save as…" writes its lines to a file.
#   OperatorUnderX.sh CONSOLE SIM [SHOT_DIR]
# With SHOT_DIR, screenshots of each stage are left there.
set -euo pipefail
console=$1
sim=$2
shots=${3:-}
work=$(mktemp -d)
pids=()
cleanup() {
  status=$?
  if [ "$status" -ne 0 ] && [ -s "$work/console.err" ]; then
    echo "--- console's standard error:" >&2
    cat "$work/console.err" >&2
  fi
  # flock's child first: left over, it would keep the test's output open,
  # and ctest waiting for it, long after a failure.
  if [ -n "${holder:-}" ] && [ -e "/proc/$holder" ]; then
    kill $(cat "/proc/$holder/task/$holder/children" 2>/dev/null) 2>/dev/null || true
  fi
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
  wait 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT
# The waits and the X server (await, start_x).
. "$(dirname "$0")/x-session.sh"

# Waits up to $1 tenths of a second (about: every look takes its time too)
# for a command to succeed; await gives it 20 s.
within() {
  local n=$1
  shift
  for _ in $(seq "$n"); do
    if "$@" >/dev/null 2>&1; then return 0; fi
    sleep 0.1
  done
  return 1
}
await() {
  within 200 "$@" && return 0
  echo "gave up waiting for: $*" >&2
  return 1
}
# A screenshot once the screen has settled: two looks in a row alike (or
# the last of twenty).
shot() {
  [ -n "$shots" ] || return 0
  local last="" now
  for _ in $(seq 20); do
    now=$(import -window root -depth 8 rgb:- | md5sum)
    [ "$now" = "$last" ] && break
    last=$now
    sleep 0.1
  done
  import -window root "$shots/$1.png"
}
size_of() { xdotool getwindowgeometry "$win" | sed -n 's/.*Geometry: //p'; }
# The one visible top-level window whose name is exactly $1; fails when there
# is none.
window_named() {
  local w
  w=$(xdotool search --onlyvisible --name "^$1\$" 2>/dev/null | head -1)
  [ -n "$w" ] && echo "$w"
}
# await runs its command anew each time, so what it looks at is asked inside
# these, not expanded once when await is called.
size_is() { [ "$(size_of)" = "$1" ]; }
gone() { [ -z "$(window_named "$1")" ]; }
shown_more_than() { [ "$(shown)" -gt "$1" ]; }
shown_just() { [ "$(shown)" -eq "$1" ]; }
# Clicks button $4 at point $2,$3 of window $1 until a list or a menu pops
# up. On a busy machine Qt may take the click's release, handled late, for a
# choice in the list it has just opened, which closes it again at once.
pop_up() {
  local before
  before=$(shown)
  for _ in $(seq 10); do
    xdotool mousemove --window "$1" "$2" "$3" click "$4"
    within 20 shown_more_than "$before" && return 0
  done
  echo "nothing popped up at $2,$3 of window $1" >&2
  return 1
}
# More than $3 lines of file $2 hold text $1.
count_above() { [ "$(grep -cF "$1" "$2")" -gt "$3" ]; }
# Waits until the window named $1 is shown and has the keyboard. There is no
# window manager: Qt gives a dialog the input focus itself once it shows it.
has_focus() {
  local w
  w=$(window_named "$1") && [ "$(xdotool getwindowfocus 2>/dev/null)" = "$w" ]
}
await_dialog() {
  await window_named "$1"
  await has_focus "$1"
}
# The console's visible windows but tooltips: a list or a menu that pops up
# adds one, and takes the keys while it is there.
shown() {
  local n=0 w
  for w in $(xdotool search --onlyvisible --pid "$console_pid" 2>/dev/null); do
    xprop -id "$w" _NET_WM_WINDOW_TYPE 2>/dev/null | grep -q TOOLTIP || n=$((n + 1))
  done
  echo "$n"
}

start_x 1280x1024

export SIO_PORT_DIR="$work/ports"
# The console keeps its set-up in the configuration folder: the test's own.
export XDG_CONFIG_HOME="$work/config"
"$sim" --dir "$SIO_PORT_DIR" --com 1 --no-wire-timing --log "$work/sim1.log" >/dev/null &
sim1=$!
pids+=($sim1)
"$sim" --dir "$SIO_PORT_DIR" --com 2 --no-wire-timing --log "$work/sim2.log" >/dev/null &
pids+=($!)
await test -L "$SIO_PORT_DIR/COM1"
await test -L "$SIO_PORT_DIR/COM2"
# Another program holds COM1, as the serial layer's own lock would.
flock "$SIO_PORT_DIR/COM1" sleep 600 &
holder=$!
pids+=($holder)

cd "$work"
"$console" 2>"$work/console.err" &
console_pid=$!
pids+=($console_pid)
await window_named "Tarnell by Voskarwerk"
win=$(window_named "Tarnell by Voskarwerk")
xdotool windowmove "$win" 0 0
await size_is 1016x765
shot default

# The window manager is told the minimum (Xvfb has none to hold to it).
xprop -id "$win" WM_NORMAL_HINTS | grep -q "program specified minimum size: 1016 by 765"
shot minimum

# The keyboard follows the pointer (no window manager).
xdotool mousemove --window "$win" 500 600
# COM1 is in use: the error, then the next command asks again; COM2 this time.
xdotool key F1
await_dialog "Select Port"
xdotool key Return
await_dialog "Tarnell Console"
shot already-in-use
xdotool key Return
await gone "Tarnell Console"
xdotool key F1
await_dialog "Select Port"
# The dialog's list: opened with a click, the next entry, then OK once the
# list has closed again.
before=$(shown)
pop_up "$(window_named 'Select Port')" 100 73 1
xdotool key Down Return
await shown_just "$before"
xdotool key Return
await grep -qF 'STA;0\n\r' "$work/sim2.log"
grep -qF 'STA;0' "$work/sim1.log" && { echo "COM1 got a frame" >&2; exit 1; }

# Enter in the command line sends the line with #ADR replaced.
xdotool mousemove --window "$win" 300 308 click 1
xdotool type --delay 20 'RCL;#ADR;2'
xdotool key Return
await grep -qF 'RCL;0;2\n\r' "$work/sim2.log"
shot enter-sent

# Ctrl+P: the port goes (dispatch log written), the next command asks; COM1 is free now.
# The lock goes with the last process that holds it: flock's child too.
kill $(cat "/proc/$holder/task/$holder/children") "$holder"
rm -f SIO.LOG
xdotool mousemove --window "$win" 500 600 key ctrl+p
await test -s SIO.LOG
grep -q "RCL;0;2" SIO.LOG
shot another-port
# The dialog says a port is to be chosen and offers COM2, used last: Return
# takes it. Then once more, and COM1 from the list.
sta2=$(grep -cF 'STA;0\n\r' "$work/sim2.log")
xdotool key F1
await_dialog "Select Port"
shot choose-port
xdotool key Return
await count_above 'STA;0\n\r' "$work/sim2.log" "$sta2"
# A click makes the window active again after the dialog: the shortcut is the window's.
xdotool mousemove --window "$win" 500 600 click 1 key ctrl+p
xdotool key F1
await_dialog "Select Port"
# From OK by Tab to the list, one up to COM1, and Return for OK.
xdotool mousemove --window "$(window_named 'Select Port')" 100 20 key Tab Tab Up Return
await grep -qF 'STA;0\n\r' "$work/sim1.log"

# Loss and recovery: the simulator killed, then started again at the same link.
kill -KILL "$sim1"
await_dialog "Tarnell Console"
shot lost
xdotool key Return
"$sim" --dir "$SIO_PORT_DIR" --com 1 --no-wire-timing --log "$work/sim1b.log" >/dev/null &
pids+=($!)
await test -L "$SIO_PORT_DIR/COM1"
await gone "Tarnell Console"
xdotool mousemove --window "$win" 500 600 key F1
await grep -qF 'STA;0\n\r' "$work/sim1b.log"
shot recovered

# "Save as…" from the output window's menu writes what it shows.
pop_up "$win" 300 500 3
xdotool key s
await_dialog "Save As"
# The name is typed again, whole, for as long as the dialog stays open and
# nothing was written: on a busy machine the first keys may come before the
# name field has the focus, and its completer may take a Return.
for _ in 1 2 3 4 5; do
  dialog=$(window_named 'Save As' || true)
  [ -n "$dialog" ] || break
  xdotool windowfocus --sync "$dialog" 2>/dev/null || true
  xdotool key ctrl+a
  xdotool type --delay 10 "$work/output.txt"
  xdotool key Return
  for _ in $(seq 40); do
    [ -s "$work/output.txt" ] && break 2
    [ -z "$(window_named 'Save As')" ] && break
    sleep 0.1
  done
done
await test -s "$work/output.txt"
head -1 "$work/output.txt" | grep -qx -- '->Rx: STA;0:192;'
grep -qx 'Tx: RCL;0;2' "$work/output.txt"

# Grown to the whole screen, as maximised.
xdotool windowsize "$win" 1280 1024
await size_is 1280x1024
shot maximised
echo "operator under X: minimum kept, in-use port asked again, Enter sent, Ctrl+P let go with the log, loss recovered, output saved, grown"
