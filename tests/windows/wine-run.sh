#!/usr/bin/env bash
# The emulator in front of every Windows test program: runs it under Wine in
# the build folder's prefix, and only once wine-prefix.sh has mapped every
# COM port there (TARNELL_WIN_BUILD names the build folder).
set -euo pipefail
build=${TARNELL_WIN_BUILD:?TARNELL_WIN_BUILD must name the Windows build folder}
export WINEPREFIX=$build/wineprefix
# No Mono or Gecko prompts, and no desktop entries for what a test installs.
export WINEDLLOVERRIDES="mscoree,mshtml=,winemenubuilder.exe=d"
export WINEDEBUG=${WINEDEBUG:--all}
# The console speaks the user's language: the tests read its English texts,
# whatever the machine's locale (TARNELL_WINE_LANG picks another on purpose).
export LC_ALL=${TARNELL_WINE_LANG:-C.UTF-8}
unset LANGUAGE
# Looked at again before every program: Wine links the devices it finds
# anew at each start of its server.
if [ "$(cat "$WINEPREFIX/.tarnell-ports-mapped" 2>/dev/null)" != "$build/winports" ] \
   || ! "$(dirname "$0")/prefix-ports.sh" "$WINEPREFIX" "$build/winports"; then
  echo "wine-run.sh: the COM ports of $WINEPREFIX are not mapped (run wine-prefix.sh $build)" >&2
  exit 1
fi
# A server of its own that outlives one program by a while, started apart
# from the caller's output (it writes its object list there when it ends).
wineserver -p30 </dev/null >/dev/null 2>&1 || true
# The modem-line fixture of the tests that ask for it (tests/windows/modemlines.c).
if [ -n "${TARNELL_MODEM_LINES:-}" ]; then
  LD_PRELOAD=$TARNELL_MODEM_LINES exec wine "$@"
fi
exec wine "$@"
