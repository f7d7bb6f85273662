#!/usr/bin/env bash
# Runs window_bench under Xvfb twice: with no accessibility bus, and with a
# screen reader's accessibility bus on (a private D-Bus session, the AT-SPI
# bus and registry, Qt's bridge switched on, a listener registered).
#   run-window-bench.sh path/to/window_bench [window_bench options]
set -euo pipefail
bench=$1
shift
work=$(mktemp -d)
pids=()
cleanup() {
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
  wait 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

# -noreset: a server that resets once its last client has gone closes a
# connection that is being set up meanwhile ("could not connect to display").
Xvfb -displayfd 3 -noreset -screen 0 1280x1024x24 -nolisten tcp 3>"$work/display" 2>/dev/null &
pids+=($!)
for _ in $(seq 100); do [ -s "$work/display" ] && break; sleep 0.1; done
export DISPLAY=":$(head -1 "$work/display")"
export QT_QPA_PLATFORM=xcb
export TMPDIR="$work"
export XDG_CONFIG_HOME="$work/config"  # never the user's kept set-up

echo "== accessibility off"
env -u DBUS_SESSION_BUS_ADDRESS -u QT_LINUX_ACCESSIBILITY_ALWAYS_ON QT_ACCESSIBILITY=0 "$bench" "$@"

echo "== accessibility on (AT-SPI bus, a listener registered)"
dbus-run-session -- env QT_LINUX_ACCESSIBILITY_ALWAYS_ON=1 QT_ACCESSIBILITY=1 "$bench" --screen-reader "$@"
