#!/usr/bin/env bash
# Sets up a fresh Debian 12 machine, builds everything and runs every test:
# the whole suite and the Debian package's checks, then the Windows build
# (mingw-w64) and its tests under Wine, then the serial layer's tests again
# under ThreadSanitizer (Qt itself is not instrumented for it), then the
# whole suite again under AddressSanitizer with UndefinedBehaviorSanitizer,
# and last the Windows console and its installer under Wine.
#
# The console for Windows needs a Qt for Windows that scripts/qt-windows.sh
# builds once per machine (11 minutes of two quiet cores). When it is not
# there yet it is built beside the Linux suites, so that its time overlaps
# theirs instead of following it.
set -euo pipefail
cd "$(dirname "$0")/.."
# Each step's end says how long the whole run has taken so far.
stamp() { echo "test.sh: $* after $((SECONDS / 60)) min $((SECONDS % 60)) s"; }
scripts/install-deps.sh --tests
stamp "the Debian packages are in"

jobs=$(nproc)
# A compiler cache makes a second run on the same machine cheap; the clone's
# own path is left out of its keys, so every fresh clone shares it.
if command -v ccache >/dev/null; then
  export CMAKE_CXX_COMPILER_LAUNCHER=${CMAKE_CXX_COMPILER_LAUNCHER-ccache}
  export CMAKE_C_COMPILER_LAUNCHER=${CMAKE_C_COMPILER_LAUNCHER-ccache}
  export CCACHE_BASEDIR=${CCACHE_BASEDIR:-$PWD} CCACHE_NOHASHDIR=${CCACHE_NOHASHDIR:-1}
fi

run_suite() {
  local preset=$1
  cmake --preset "$preset" >/dev/null
  cmake --build "build/$preset" -j "$jobs"
  ctest --test-dir "build/$preset" --output-on-failure -j "$jobs"
  stamp "the $preset suite passed"
}

qt_log=$PWD/build/qt-windows.log
qt_pid=
if [ "${TARNELL_QUICK:-}" != "1" ] \
   && [ ! -f "$(scripts/qt-windows.sh --prefix)/lib/cmake/Qt6/Qt6Config.cmake" ]; then
  mkdir -p build
  echo "Building Qt for Windows beside the Linux suites (progress: $qt_log)"
  # In a process group of its own, so that a failure here stops all of it;
  # Qt's objects would only crowd the compiler cache.
  setsid env -u CMAKE_CXX_COMPILER_LAUNCHER -u CMAKE_C_COMPILER_LAUNCHER \
    scripts/qt-windows.sh >"$qt_log" 2>&1 </dev/null &
  qt_pid=$!
fi
stop_qt() { if [ -n "$qt_pid" ]; then kill -- "-$qt_pid" 2>/dev/null; wait 2>/dev/null; fi; true; }
trap stop_qt EXIT

run_suite default
scripts/check-package.sh build/default
# The Windows build's tests map every COM port of their own Wine prefix
# before anything opens one (tests/windows/wine-prefix.sh).
run_suite windows
if [ "${TARNELL_QUICK:-}" != "1" ]; then
  TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1" run_suite tsan
  ASAN_OPTIONS="detect_leaks=1" LSAN_OPTIONS="suppressions=$PWD/tests/lsan.supp" \
    UBSAN_OPTIONS="print_stacktrace=1" run_suite asan

  if [ -n "$qt_pid" ]; then
    echo "Waiting for Qt for Windows: $(tail -n 1 "$qt_log")"
    if ! wait "$qt_pid"; then
      qt_pid=
      tail -n 80 "$qt_log" >&2
      echo "Qt for Windows could not be built" >&2
      exit 1
    fi
    qt_pid=
    tail -n 1 "$qt_log"
    stamp "Qt for Windows was built"
  fi
  # The rest of the Windows tests ran above; here only the console's own.
  cmake --preset windows-console >/dev/null
  cmake --build build/windows-console -j "$jobs" --target tarnell-console tarnell-cli tarnell_host_sim
  ctest --test-dir build/windows-console --output-on-failure -R '^win_(console|installer)_e2e$'
  stamp "the Windows console's tests passed"
fi
echo "All tests passed."
