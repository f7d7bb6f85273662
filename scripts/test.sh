#!/usr/bin/env bash
# Sets up a fresh Debian 12 machine, builds everything and runs every test:
# the whole suite and the Debian package's checks, then the Windows build
# (mingw-w64) and its tests under Wine, then the serial layer's tests again
# under ThreadSanitizer (Qt itself is not instrumented for it), then the
# whole suite again under AddressSanitizer with UndefinedBehaviorSanitizer.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh --tests

jobs=$(nproc)
run_suite() {
  local preset=$1
  cmake --preset "$preset" >/dev/null
  cmake --build "build/$preset" -j "$jobs"
  ctest --test-dir "build/$preset" --output-on-failure -j "$jobs"
}

run_suite default
scripts/check-package.sh build/default
# The Windows build's tests map every COM port of their own Wine prefix
# before anything opens one (tests/windows/wine-prefix.sh).
run_suite windows
if [ "${TARNELL_QUICK:-}" != "1" ]; then
  TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1" run_suite tsan
  ASAN_OPTIONS="detect_leaks=1" LSAN_OPTIONS="suppressions=$PWD/tests/lsan.supp" \
    UBSAN_OPTIONS="print_stacktrace=1" run_suite asan
fi
echo "All tests passed."
