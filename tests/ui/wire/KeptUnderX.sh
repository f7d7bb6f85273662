#!/usr/bin/env bash
# Where the real tarnell-console keeps things, in a real X server:
# - started as the desktop entry starts it, it works in
#   ~/Documents/Tarnell Console (its SIO.LOG lands there), not in the home
#   folder; from a terminal it stays in the folder it was started in;
# - the set-up is on disk as soon as it changes: an F-key changed, the
#   console killed with SIGKILL, started again, and the key sends the changed
#   command through the port kept from the first run;
# - a copy with portable.txt beside it keeps its set-up beside itself and
#   nothing in the user's configuration folder.
#   KeptUnderX.sh CONSOLE SIM DESKTOP_ENTRY
set -euo pipefail
console=$1
sim=$2
entry=$3
work=$(mktemp -d)
pids=()
cleanup() {
  status=$?
  if [ "$status" -ne 0 ]; then
    for f in "$work"/console*.err; do
      [ -s "$f" ] && { echo "--- $f:" >&2; cat "$f" >&2; }
    done
  fi
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
  wait 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

# The waits and the X server (await, start_x).
. "$(dirname "$0")/x-session.sh"
window_of() { xdotool search --onlyvisible --pid "$1" --name "^Tarnell by Voskarwerk\$" 2>/dev/null | head -1; }
has_window() { [ -n "$(window_of "$1")" ]; }
works_in() { [ "$(readlink "/proc/$1/cwd")" = "$2" ]; }
# Starts the console as the desktop entry's Exec line says, in the home
# folder as a desktop's menu does; sets pid and win.
start_from_menu() {
  local exec_line
  exec_line=$(sed -n 's/^Exec=tarnell-console//p' "$entry")
  # shellcheck disable=SC2086 # the entry's options, split as a desktop splits them
  (cd "$HOME" && exec "$console" $exec_line 2>>"$work/console-menu.err") &
  pid=$!
  pids+=($pid)
  await has_window "$pid"
  win=$(window_of "$pid")
  xdotool windowmove "$win" 0 0
  # No window manager: the keyboard follows the pointer.
  xdotool mousemove --window "$win" 500 600
}

start_x 1280x1024
unset XDG_DOCUMENTS_DIR
export HOME="$work/home" XDG_CONFIG_HOME="$work/home/.config"
mkdir -p "$HOME"
export SIO_PORT_DIR="$work/ports"
"$sim" --dir "$SIO_PORT_DIR" --com 1 --no-wire-timing --log "$work/sim.log" >/dev/null &
pids+=($!)
await test -L "$SIO_PORT_DIR/COM1"
own="$HOME/Documents/Tarnell Console"
ini="$XDG_CONFIG_HOME/tarnell/console.ini"

start_from_menu
await works_in "$pid" "$own"
# The first command asks for the port: COM1, the only one.
xdotool key F1
await xdotool search --onlyvisible --name "^Select Port\$"
xdotool key Return
await grep -qF 'STA;0\n\r' "$work/sim.log"
# F5's command, typed into its cell of the function-key table (the fifth of
# twelve rows from y 347, the command column from x 890).
xdotool mousemove --window "$win" 950 459 click 1
xdotool key ctrl+a
xdotool type --delay 20 'RCL;0;5'
await grep -q 'RCL;0;5' "$ini"
kill -KILL "$pid"
wait "$pid" 2>/dev/null || true

# Again from the menu: F5 sends the kept command, on the kept port, without
# asking; Ctrl+P lets the port go and its log is written in the own folder.
start_from_menu
await works_in "$pid" "$own"
xdotool key F5
await grep -qF 'RCL;0;5\n\r' "$work/sim.log"
# A click makes the window active: the shortcut is the window's.
xdotool click 1 key ctrl+p
await test -s "$own/SIO.LOG"
grep -q "RCL;0;5" "$own/SIO.LOG"
test ! -e "$HOME/SIO.LOG"
kill -TERM "$pid"
wait "$pid"

# From a terminal the folder it was started in is meant.
mkdir -p "$work/elsewhere"
(cd "$work/elsewhere" && exec "$console" 2>>"$work/console-terminal.err") &
pid=$!
pids+=($pid)
await has_window "$pid"
works_in "$pid" "$work/elsewhere"
kill -TERM "$pid"
wait "$pid"

# A portable copy: its set-up beside it from the first change on (here the
# window moved), none in the configuration folder.
mkdir -p "$work/portable/bin"
cp "$console" "$work/portable/bin/"
echo "keeps the set-up here" >"$work/portable/bin/portable.txt"
rm -rf "$XDG_CONFIG_HOME/tarnell"
(cd "$work/portable/bin" && exec ./"$(basename "$console")" 2>>"$work/console-portable.err") &
pid=$!
pids+=($pid)
await has_window "$pid"
win=$(window_of "$pid")
xdotool windowmove "$win" 40 30
await test -s "$work/portable/bin/tarnell-console.ini"
grep -q '^format=1' "$work/portable/bin/tarnell-console.ini"
kill -TERM "$pid"
wait "$pid"
test ! -e "$XDG_CONFIG_HOME/tarnell"
echo "kept: menu start works in its own folder, set-up survives SIGKILL, portable copy keeps it beside itself"
