#!/usr/bin/env bash
# The window's Readout under Wine: tarnell-console.exe of build/windows in
# Xvfb against tarnell-sim, which times every character on the line at
# 9600 8E1 (11 bits each). Each Readout is timed from the simulator's log:
# from its first frame (RCL;0;1) arriving to the last byte of the eighth
# reply going out, beside the wire time of the frames and replies. That is
# the whole Readout but for the click before the first frame and the grid
# filled after the last reply (the in-process window_bench includes those).
#   bench/window/wine-readout.sh [READOUTS]      (default 10)
# WINDOWS_BUILD names another build folder of the windows-console preset.
# With LINUX_CONSOLE=path/to/tarnell-console the Linux window is timed the
# same way in the same run, on the same X server.
set -euo pipefail
cd "$(dirname "$0")/../.."
count=${1:-10}
build=${WINDOWS_BUILD:-$PWD/build/windows-console}
here=$PWD/tests/windows
sim=$build/tests/windows/tarnell-sim
console=$build/console/tarnell-console.exe
for f in "$sim" "$console"; do
  [ -e "$f" ] || { echo "wine-readout.sh: $f is missing; build the windows preset" >&2; exit 1; }
done
. "$here/wine-x.sh"
start_x "$build" wine-readout

# last_place_asked LINES LOG: RCL;0;8 arrived after the first LINES lines.
last_place_asked() { tail -n +"$(($1 + 1))" "$2" | grep -qF 'RCL;0;8\n\r'; }

# readouts LABEL N: the Readouts of the window on COMn; one line of figures.
readouts() {
  local label=$1 n=$2 log=$work/sim$2.log win lines before
  win=$(await_window "Tarnell by Voskarwerk")
  xdotool windowmove "$win" 0 0
  press_until "$win" F1 window_named "Select Port"
  focus_window "$(window_named "Select Port")"
  xdotool key Return
  await_true grep -qF 'STA;0\n\r' "$log"
  for _ in $(seq "$count"); do
    lines=$(wc -l <"$log")
    xdotool mousemove --window "$win" 940 236 click 1
    await_true last_place_asked "$lines" "$log"
    # F1 is refused until the Readout is over: a new STA;0 marks its end.
    before=$(frames_in "$log" 'STA;0')
    press_until "$win" F1 more_frames_than "$before" "$log" 'STA;0'
    tail -n +"$((lines + 1))" "$log" | awk '
      $2 == "rx" && index($0, "RCL;0;1\\n") && !t0 { t0 = $1 }
      $2 == "rx" && index($0, "RCL;0;8\\n") { last = 1 }
      $2 == "tx" && last { t1 = $1 }
      $2 == "rx" && index($0, "STA;0") && last { exit }
      END { printf "%.1f\n", (t1 - t0) * 1000 }'
  done | sort -n | awk -v label="$label" '
    { ms[NR] = $1 }
    END { wire = 197 * 11 * 1000 / 9600
          med = (NR % 2) ? ms[(NR + 1) / 2] : (ms[NR / 2] + ms[NR / 2 + 1]) / 2
          printf "%-36s median %7.1f ms  min %7.1f  max %7.1f  (%d Readouts; wire time %.1f ms, %.3fx)\n",
                 label, med, ms[1], ms[NR], NR, wire, med / wire }'
}

start_sim 41 --log "$work/sim41.log"
cd "$work"
run_windows "$console" 2>"$work/console.err" &
pids+=($!)
readouts "tarnell-console.exe under Wine" 41
wineserver -k 2>/dev/null || true

if [ -n "${LINUX_CONSOLE:-}" ]; then
  mkdir -p "$work/linux-ports"
  ports=$work/linux-ports
  start_sim 1 --log "$work/sim1.log"
  SIO_PORT_DIR=$ports QT_QPA_PLATFORM=xcb "$LINUX_CONSOLE" 2>>"$work/console.err" &
  pids+=($!)
  readouts "tarnell-console on Linux" 1
fi
echo "load average: $(cut -d' ' -f1-3 /proc/loadavg)"
