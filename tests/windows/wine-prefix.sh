#!/usr/bin/env bash
# Makes the Wine prefix of a Windows build folder and maps its COM ports
# before any program can open one. Wine points com1.. at the machine's real
# /dev/ttyS* by default, and at every start of its server links each real
# device it finds to the next free number (com51 and up, once COM1..COM50
# are taken). Here COM1..COM50 all point at entries of the build's own port
# folder (links to pseudo-terminals that tarnell-sim makes, or nothing),
# every other number is taken by "" (no device), and the one number Wine
# hands out beyond them (COM256) is kept by an empty folder, where its link
# would go, so that no test, probe or manual run reaches a real device.
#   wine-prefix.sh BUILD_DIR
# Prints nothing on success; refuses (status 1) if a mapping did not take
# (tests/windows/prefix-ports.sh says which).
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
build=$(cd "$1" && pwd)
export WINEPREFIX=$build/wineprefix
export WINEDLLOVERRIDES="mscoree,mshtml="
export WINEDEBUG=-all
ports=$build/winports
mkdir -p "$ports"
marker=$WINEPREFIX/.tarnell-ports-mapped

# A server of its own, apart from the caller's output (it writes its object
# list there when it ends), that outlives one program by a while.
wineserver -p30 </dev/null >/dev/null 2>&1 || true

if [ ! -f "$marker" ] || [ "$(cat "$marker")" != "$ports" ] \
   || ! "$here/prefix-ports.sh" "$WINEPREFIX" "$ports" 2>/dev/null; then
  rm -f "$marker"
  wineboot -i >/dev/null 2>&1 || true
  reg=$build/winports.reg
  {
    printf 'REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\Software\\Wine\\Ports]\r\n'
    for n in $(seq 1 50); do printf '"COM%d"="%s/COM%d"\r\n' "$n" "$ports" "$n"; done
    for n in $(seq 51 255); do printf '"COM%d"=""\r\n' "$n"; done
    for n in $(seq 1 255); do printf '"LPT%d"=""\r\n' "$n"; done
  } >"$reg"
  wine regedit /S "$(winepath -w "$reg" 2>/dev/null)" >/dev/null 2>&1
  wineserver -w
  # Links a server start made before the key was there; Wine cannot put a
  # link where a folder is.
  for name in com256 lpt256; do
    rm -f "$WINEPREFIX/dosdevices/$name"
    mkdir -p "$WINEPREFIX/dosdevices/$name"
  done
  for n in $(seq 51 255); do rm -f "$WINEPREFIX/dosdevices/com$n"; done
  for n in $(seq 1 255); do rm -f "$WINEPREFIX/dosdevices/lpt$n"; done
  # Wine makes the dosdevices links at its next start.
  wine cmd /c exit >/dev/null 2>&1 || true
  wineserver -w
fi

# Every port link of the prefix must point into the port folder; anything
# else (a real /dev/ttyS*) stops all Windows tests.
if ! "$here/prefix-ports.sh" "$WINEPREFIX" "$ports"; then
  echo "wine-prefix.sh: $WINEPREFIX could reach a device of this machine: refusing" >&2
  rm -f "$marker"
  exit 1
fi
echo "$ports" >"$marker"
