#!/usr/bin/env bash
# The real tarnell-console in a real X server, used as a person would: F1
# pressed with xdotool, the port dialog accepted with Return. The simulator's
# log must show STA;0 with LF CR, and once the window has been closed the
# dispatch log SIO.LOG must be there with its header.
#   ConsoleUnderX.sh CONSOLE SIM
set -euo pipefail
console=$1
sim=$2
work=$(mktemp -d)
pids=()
cleanup() {
  status=$?
  if [ "$status" -ne 0 ] && [ -s "$work/console.err" ]; then
    echo "--- console's standard error:" >&2
    cat "$work/console.err" >&2
  fi
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
  wait 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

# The waits and the X server (await, start_x).
. "$(dirname "$0")/x-session.sh"

start_x 1280x900

export SIO_PORT_DIR="$work/ports"
# The console keeps its set-up in the configuration folder: the test's own.
export XDG_CONFIG_HOME="$work/config"
"$sim" --dir "$SIO_PORT_DIR" --com 1 --no-wire-timing --log "$work/sim.log" >/dev/null &
pids+=($!)
await test -L "$SIO_PORT_DIR/COM1"

cd "$work"
"$console" 2>"$work/console.err" &
console_pid=$!
pids+=($console_pid)
await xdotool search --onlyvisible --name "^Tarnell by Voskarwerk$"
win=$(xdotool search --onlyvisible --name "^Tarnell by Voskarwerk$" | head -1)
# No window manager: the keyboard follows the pointer.
xdotool mousemove --window "$win" 500 600
xdotool key F1
await xdotool search --onlyvisible --name "^Select Port$"
xdotool key Return
await grep -qF 'STA;0\n\r' "$work/sim.log"

kill -TERM "$console_pid"
wait "$console_pid"
test "$(head -1 SIO.LOG | tr -d "\r")" = "SIO v4.07"
grep -q "WriteCom.*STA;0\[0A\]\[0D\]" SIO.LOG
echo "console under X: F1 sent STA;0 LF CR, dispatch log written"
