#!/usr/bin/env bash
# The exchange time of the Linux dispatcher (native) and of the Win32
# dispatcher (under Wine), in one run, against tarnell-sim --no-wire-timing:
#   bench/exchange/compare.sh [EXCHANGES]
# Needs build/bench (cmake --preset bench) and build/windows (cmake --preset
# windows, whose tests have made the Wine prefix with every COM port mapped).
set -euo pipefail
cd "$(dirname "$0")/../.."
count=${1:-2000}
win=$PWD/build/windows
linux_bench=build/bench/bench/exchange/sio_exchange_bench
win_bench=$win/bench/exchange/sio_exchange_bench.exe
sim=$win/tests/windows/tarnell-sim
for f in "$linux_bench" "$win_bench" "$sim"; do
  [ -e "$f" ] || { echo "compare.sh: $f is missing; build the bench and windows presets" >&2; exit 1; }
done
tests/windows/wine-prefix.sh "$win"
ports=$win/winports
n=31
run() {  # run LABEL COMMAND...: one row
  rm -f "$ports/COM$n"
  "$sim" --dir "$ports" --com "$n" --no-wire-timing >/dev/null 2>&1 &
  local pid=$!
  for _ in $(seq 1 200); do [ -L "$ports/COM$n" ] && break; sleep 0.05; done
  local row
  row=$("$@" "$n" "$count" 2>/dev/null | tail -1) || { kill "$pid"; echo "compare.sh: $1 failed" >&2; exit 1; }
  kill "$pid"; wait "$pid" 2>/dev/null || true
  echo "$row"
}
linux=$(SIO_PORT_DIR=$ports run "$linux_bench")
windows=$(TARNELL_WIN_BUILD=$win run tests/windows/wine-run.sh "$win_bench")
read -r ln lmed lp99 <<<"$linux"
read -r wn wmed wp99 <<<"$windows"
printf '%-34s %10s %10s %8s\n' "exchange (STA;0, no wire time)" "median us" "p99 us" "count"
printf '%-34s %10s %10s %8s\n' "Linux dispatcher (native)" "$lmed" "$lp99" "$ln"
printf '%-34s %10s %10s %8s\n' "Win32 dispatcher (Wine)" "$wmed" "$wp99" "$wn"
awk -v l="$lmed" -v w="$wmed" 'BEGIN { printf "%-34s %10.2f\n", "ratio Win32/Wine : Linux", w / l }'
