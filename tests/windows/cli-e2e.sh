#!/usr/bin/env bash
# tarnell-cli.exe end to end under Wine, against tarnell-sim on pseudo-
# terminals: status, readout to a file, store with read-back, verify, watch, scan, a silent
# gripper, the simulator killed in the middle of a readout, a port that is
# not there. Each case gets a simulator of its own on a COM port of its own.
#   cli-e2e.sh SIM BUILD_DIR CLI_EXE
set -uo pipefail
sim=$1 build=$(cd "$2" && pwd) cli=$3
here=$(cd "$(dirname "$0")" && pwd)
export TARNELL_WIN_BUILD=$build
ports=$build/winports
work=$(mktemp -d "$build/cli-e2e.XXXXXX")
pids=()
trap 'for p in "${pids[@]}"; do kill "$p" 2>/dev/null; done; rm -rf "$work"' EXIT

passed=0 failed=0
check() {  # check NAME CONDITION-RESULT DETAIL
  if [ "$2" = 0 ]; then passed=$((passed + 1)); echo "ok   $1"
  else failed=$((failed + 1)); echo "FAIL $1: $3"; fi
}

# start_sim N [options]: a simulator linked as COMn; its pid in sim_pid.
start_sim() {
  local n=$1; shift
  rm -f "$ports/COM$n"
  "$sim" --dir "$ports" --com "$n" "$@" >"$work/sim$n.out" 2>&1 &
  sim_pid=$!
  pids+=("$sim_pid")
  for _ in $(seq 1 200); do [ -L "$ports/COM$n" ] && return 0; sleep 0.05; done
  echo "no link for COM$n" >&2; cat "$work/sim$n.out" >&2; return 1
}
stop_sim() { kill "$1" 2>/dev/null; wait "$1" 2>/dev/null; }
cli() { "$here/wine-run.sh" "$cli" "$@"; }
winpath() { WINEPREFIX=$build/wineprefix winepath -w "$1" 2>/dev/null; }

# Status.
start_sim 11 --no-wire-timing
out=$(cli --port COM11 status 2>&1); rc=$?
check "status exits 0" "$([ $rc = 0 ]; echo $?)" "exit $rc: $out"
check "status shows the status byte" "$(grep -q 'status: 192' <<<"$out"; echo $?)" "$out"
stop_sim "$sim_pid"

# Readout to a file, written as the console writes it (23 lines, CR LF).
start_sim 12 --no-wire-timing
gri=$work/read.gri
out=$(cli --port COM12 readout "$(winpath "$gri")" 2>&1); rc=$?
check "readout exits 0" "$([ $rc = 0 ]; echo $?)" "exit $rc: $out"
check "readout writes 23 CR LF lines" "$([ -f "$gri" ] && [ "$(grep -c $'\r$' "$gri")" = 23 ]; echo $?)" \
  "$(od -c "$gri" 2>&1 | head -3)"
check "readout file holds place 1" "$([ "$(head -1 "$gri" | tr -d '\r')" = 100 ]; echo $?)" "$(head -3 "$gri")"
stop_sim "$sim_pid"

# Store with read-back: place 1's grip position changed, sent, read back.
start_sim 13 --no-wire-timing
sed '1s/^100/120/' "$gri" >"$work/store.gri"
out=$(cli --port COM13 --json store "$(winpath "$work/store.gri")" 2>&1); rc=$?
check "store exits 0" "$([ $rc = 0 ]; echo $?)" "exit $rc: $out"
check "store reads back what it sent" "$(grep -q '"STO;0;1;120;' <<<"$out"; echo $?)" "$out"
stop_sim "$sim_pid"

# Verify: the file just stored is held (exit 0); the readout's file, whose
# place 1 the store changed, differs there (exit 4). Nothing is written.
start_sim 17 --no-wire-timing --log "$work/sim17.log"
cli --port COM17 store "$(winpath "$work/store.gri")" >/dev/null 2>&1
out=$(cli --port COM17 verify "$(winpath "$work/store.gri")" 2>&1); rc=$?
check "verify of the stored file exits 0" "$([ $rc = 0 ]; echo $?)" "exit $rc: $out"
: >"$work/sim17.log"
out=$(cli --port COM17 --json verify "$(winpath "$gri")" 2>&1); rc=$?
check "verify of another file exits 4" "$([ $rc = 4 ]; echo $?)" "exit $rc: $out"
check "verify names the field" "$(grep -q '"field":"grip","file":100,"gripper":120' <<<"$out"; echo $?)" "$out"
check "verify writes nothing" "$(! grep -q 'STO;' "$work/sim17.log"; echo $?)" "$(cat "$work/sim17.log")"
stop_sim "$sim_pid"

# Watch: a line per change of a status that changes with every answer.
start_sim 18 --no-wire-timing --address 0 --status 0:192,192,64
out=$(cli --port COM18 watch --interval 20 --count 4 2>&1); rc=$?
check "watch exits 0" "$([ $rc = 0 ]; echo $?)" "exit $rc: $out"
check "watch prints the three changes" "$([ "$(grep -c 'Z  status' <<<"$out")" = 3 ]; echo $?)" "$out"
stop_sim "$sim_pid"

# Scan: the one gripper at address 0 is found, 1 and 2 are silent.
start_sim 14 --no-wire-timing
out=$(cli --port COM14 --json scan --from 0 --to 2 --ticks 3 2>&1); rc=$?
check "scan exits 0" "$([ $rc = 0 ]; echo $?)" "exit $rc: $out"
check "scan finds address 0 only" \
  "$(python3 -c 'import json,sys; d=json.loads(sys.stdin.read().splitlines()[-1]); f=[e["address"] for e in d["grippers"] if e.get("status") is not None]; sys.exit(0 if f==[0] else 1)' <<<"$out" 2>/dev/null; echo $?)" "$out"
stop_sim "$sim_pid"

# A silent gripper: no answer, exit 3.
start_sim 15 --no-wire-timing --silent
out=$(cli --port COM15 status 2>&1); rc=$?
check "silent gripper exits 3" "$([ $rc = 3 ]; echo $?)" "exit $rc: $out"
stop_sim "$sim_pid"

# The simulator killed in the middle of a readout: the port is lost, exit 2.
log=$work/sim16.log
start_sim 16 --no-wire-timing --delay 300 --log "$log"
cli --port COM16 readout >"$work/killed.out" 2>&1 &
cli_pid=$!
for _ in $(seq 1 400); do grep -q 'RCL;0;2' "$log" 2>/dev/null && break; sleep 0.05; done
check "readout reached place 2" "$(grep -q 'RCL;0;2' "$log"; echo $?)" "$(cat "$log" 2>/dev/null)"
stop_sim "$sim_pid"
wait "$cli_pid"; rc=$?
check "readout with the simulator killed exits 2" "$([ $rc = 2 ]; echo $?)" "exit $rc: $(cat "$work/killed.out")"

# A port whose mapping points nowhere: exit 2, nothing else reached.
out=$(cli --port COM17 status 2>&1); rc=$?
check "missing port exits 2" "$([ $rc = 2 ]; echo $?)" "exit $rc: $out"
# It names the port and says why in the system's words (Wine: "Invalid
# function (system error 1)"), not the layer's bare "Sio exception".
check "missing port is named with a reason" \
  "$(grep -q 'COM17 (.*COM17): the port could not be opened: ' <<<"$out" &&
     ! grep -q 'Sio exception' <<<"$out"; echo $?)" "$out"

echo "$passed passed, $failed failed"
[ "$failed" = 0 ]
