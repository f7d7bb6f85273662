#!/usr/bin/env bash
# Runs a Windows test program under Wine with tarnell-sim serving a COM port:
#   with-sim.sh SIM BUILD_DIR N [sim options...] -- PROGRAM [args...]
# PROGRAM may be with-sim.sh again, for a second port.
# The simulator links its pseudo-terminal as BUILD_DIR/winports/COMn, which
# the prefix maps to COMn (wine-prefix.sh). The program may end the simulator
# (a device that goes away) by creating the file named by $TARNELL_SIM_KILL
# (given to it as a Windows path).
set -euo pipefail
sim=$1 build=$(cd "$2" && pwd) n=$3
shift 3
sim_args=()
while [ $# -gt 0 ] && [ "$1" != "--" ]; do sim_args+=("$1"); shift; done
shift
ports=$build/winports
link=$ports/COM$n
kill_file=$ports/kill-$n  # not COMn.kill: a device name on Windows
wire_log=$ports/COM$n.wire.log
rm -f "$link" "$kill_file" "$wire_log"
# Every chunk it hears and sends is logged: a test that fails shows it.
"$sim" --dir "$ports" --com "$n" --log "$wire_log" "${sim_args[@]}" >"$ports/COM$n.sim.log" 2>&1 &
sim_pid=$!
watch_pid=
cleanup() {
  [ -n "$watch_pid" ] && kill "$watch_pid" 2>/dev/null || true
  kill "$sim_pid" 2>/dev/null || true
  wait "$sim_pid" 2>/dev/null || true
  rm -f "$kill_file"
}
trap cleanup EXIT
for _ in $(seq 1 200); do [ -L "$link" ] && break; sleep 0.05; done
[ -L "$link" ] || { echo "with-sim.sh: tarnell-sim made no $link" >&2; cat "$ports/COM$n.sim.log" >&2; exit 1; }
# Ends the simulator when the program asks for it.
( while [ ! -e "$kill_file" ]; do sleep 0.05; done; kill "$sim_pid" ) &
watch_pid=$!
export TARNELL_WIN_BUILD=$build
TARNELL_SIM_KILL=$(WINEPREFIX=$build/wineprefix winepath -w "$kill_file" 2>/dev/null)
export TARNELL_SIM_KILL
# A Windows program runs under Wine; anything else (another with-sim.sh, for
# a second port) as it is.
status=0
case "$1" in
  *.exe) "$(dirname "$0")/wine-run.sh" "$@" || status=$? ;;
  *) "$@" || status=$? ;;
esac
if [ "$status" -ne 0 ] && [ -s "$wire_log" ]; then
  echo "--- the simulator on COM$n, last of what it heard (rx) and sent (tx):" >&2
  tail -n 12 "$wire_log" >&2
fi
exit "$status"
