#!/usr/bin/env bash
# What a screen reader reads of the real tarnell-console's results, over the
# AT-SPI bus of a D-Bus session of its own, in a real X server: after a scan
# the Bus window's result line names what was found, and the Monitor's state
# line names the gripper's status, each in its accessible name.
#   ScreenReaderUnderX.sh CONSOLE SIM
set -euo pipefail
# The accessibility bus's socket goes into the runtime folder: a folder of
# the test's own, so that no other session's bus is met.
if [ -z "${TARNELL_OWN_BUS:-}" ]; then
  runtime=$(mktemp -d)
  status=0
  TARNELL_OWN_BUS=1 XDG_RUNTIME_DIR="$runtime" dbus-run-session -- "$0" "$@" || status=$?
  rm -rf "$runtime"
  exit "$status"
fi
console=$1
sim=$2
reader="$(cd "$(dirname "$0")" && pwd)/screen_reader.py"
work=$(mktemp -d)
pids=()
cleanup() {
  status=$?
  if [ "$status" -ne 0 ]; then
    [ -s "$work/console.err" ] && { echo "--- console's standard error:" >&2; cat "$work/console.err" >&2; }
    [ -s "$work/read.txt" ] && { echo "--- what was read last:" >&2; grep -v '^[^|]*||' "$work/read.txt" >&2; }
  fi
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
  wait 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

await_tries=300
# The waits and the X server (await, start_x).
. "$(dirname "$0")/x-session.sh"
app=$(basename "$console")
# Some object reads as role|name|..., name matching the pattern $2.
reads() { "$reader" "$app" list >"$work/read.txt" && grep -q "^$1|$2|" "$work/read.txt"; }
press() { await "$reader" "$app" press "$1" || { "$reader" "$app" press "$1"; return 1; }; }

start_x 1280x1024
export XDG_CONFIG_HOME="$work/config" SIO_PORT_DIR="$work/ports"
"$sim" --dir "$SIO_PORT_DIR" --com 1 --no-wire-timing --log "$work/sim.log" >/dev/null &
pids+=($!)
await test -L "$SIO_PORT_DIR/COM1"

cd "$work"
QT_LINUX_ACCESSIBILITY_ALWAYS_ON=1 QT_ACCESSIBILITY=1 "$console" 2>"$work/console.err" &
pids+=($!)
await xdotool search --onlyvisible --name "^Tarnell by Voskarwerk\$"
win=$(xdotool search --onlyvisible --name "^Tarnell by Voskarwerk\$" | head -1)
# The operator's first command chooses the port.
xdotool mousemove --window "$win" 500 600 key F1
await xdotool search --onlyvisible --name "^Select Port\$"
xdotool key Return
await grep -qF 'STA;0\n\r' "$work/sim.log"

press "Bus…"
await reads label "Scan result: Not scanned yet\."
press "Scan"
# What the scan finds is not the point here, and a gripper slower than the
# short limit on a loaded machine is missed: the result is read, whatever it is.
await reads label "Scan result: Asked 33 address(es) from 0 in [0-9.]* s: [0-9]* gripper(s) found\."

press "Monitor"
await reads label "Monitor state: Address 0: status [0-9]*\."
echo "screen reader: the scan's result and the monitor's state are read"
