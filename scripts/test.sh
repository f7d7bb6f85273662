#!/usr/bin/env bash
# Sets up a fresh Debian 12 machine, builds everything and runs every test:
# the whole suite and the Debian package's checks, then the serial layer's
# tests again under ThreadSanitizer (Qt itself is not instrumented for it),
# then the whole suite again under AddressSanitizer with
# UndefinedBehaviorSanitizer, then the Windows build (mingw-w64: the console,
# tarnell-cli and the installer) and its tests under Wine and Xvfb.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh --tests

# Qt for Windows is built once per machine (scripts/qt-windows.sh), which is
# the longest step of a first run: it builds in the background, at a lower
# priority, while the Linux suites run, and the Windows suite comes last.
# If this run stops early, the build goes on and fills the cache all the same.
qt_pid=
qt_log=$(mktemp "${TMPDIR:-/tmp}/tarnell-qt-windows.XXXXXX.log")
if [ ! -f "$(scripts/qt-windows.sh --prefix)/lib/cmake/Qt6/Qt6Config.cmake" ]; then
  echo "Building Qt for Windows in the background (once per machine; log: $qt_log)"
  nice -n 10 scripts/qt-windows.sh </dev/null >"$qt_log" 2>&1 &
  qt_pid=$!
fi

jobs=$(nproc)
run_suite() {
  local preset=$1
  cmake --preset "$preset" >/dev/null
  cmake --build "build/$preset" -j "$jobs"
  ctest --test-dir "build/$preset" --output-on-failure -j "$jobs"
}

run_suite default
scripts/check-package.sh build/default
if [ "${TARNELL_QUICK:-}" != "1" ]; then
  TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1" run_suite tsan
  ASAN_OPTIONS="detect_leaks=1" LSAN_OPTIONS="suppressions=$PWD/tests/lsan.supp" \
    UBSAN_OPTIONS="print_stacktrace=1" run_suite asan
fi
if [ -n "$qt_pid" ]; then
  echo "Waiting for Qt for Windows: $(tail -n 1 "$qt_log")"
  wait "$qt_pid" || { tail -n 80 "$qt_log" >&2; echo "Qt for Windows did not build" >&2; exit 1; }
fi
# The Windows build's tests map every COM port of their own Wine prefix
# before anything opens one (tests/windows/wine-prefix.sh).
run_suite windows
echo "All tests passed."
