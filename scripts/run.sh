#!/usr/bin/env bash
# Sets up a fresh Debian 12 machine, builds the console and starts it.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
cmake --preset default >/dev/null
cmake --build build/default -j "$(nproc)" --target tarnell-console
exec build/default/console/tarnell-console "$@"
