#!/usr/bin/env bash
# Sets up a fresh Debian 12 machine, builds the console and the simulated
# gripper bus, and starts the console with the simulator attached as COM1.
# (For real ports, start build/default/console/tarnell-console directly.)
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
cmake --preset default >/dev/null
cmake --build build/default -j "$(nproc)" --target tarnell-console tarnell-sim tarnell-cli

export SIO_PORT_DIR="${SIO_PORT_DIR:-${TMPDIR:-/tmp}/tarnell-ports-$(id -u)}"
mkdir -p "$SIO_PORT_DIR"
# Two grippers, so that "Bus…" has something to find beside the first.
build/default/tools/tarnell-sim/tarnell-sim --dir "$SIO_PORT_DIR" --com 1 --address 0:KV0050 --address 5:KV0150 &
sim=$!
trap 'kill "$sim" 2>/dev/null; wait "$sim" 2>/dev/null || true' EXIT
build/default/console/tarnell-console "$@"
