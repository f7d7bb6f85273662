#!/usr/bin/env bash
# Makes the Wine prefix of a Windows build folder and maps its COM ports
# before any program can open one. Wine points com1.. at the machine's real
# /dev/ttyS* by default: here COM1..COM50 all point at entries of the build's
# own port folder (links to pseudo-terminals that tarnell-sim makes, or
# nothing), so that no test, probe or manual run reaches a real device.
#   wine-prefix.sh BUILD_DIR
# Prints nothing on success; refuses (status 1) if a mapping did not take.
set -euo pipefail
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

if [ ! -f "$marker" ] || [ "$(cat "$marker")" != "$ports" ]; then
  rm -f "$marker"
  wineboot -i >/dev/null 2>&1 || true
  reg=$build/winports.reg
  {
    printf 'REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\Software\\Wine\\Ports]\r\n'
    for n in $(seq 1 50); do printf '"COM%d"="%s/COM%d"\r\n' "$n" "$ports" "$n"; done
  } >"$reg"
  wine regedit /S "$(winepath -w "$reg" 2>/dev/null)" >/dev/null 2>&1
  wineserver -w
  # Wine makes the dosdevices links at its next start.
  wine cmd /c exit >/dev/null 2>&1 || true
  wineserver -w
fi

# Every COM link of the prefix within the probed range must point into the
# port folder; anything else (a real /dev/ttyS*) stops all Windows tests.
for n in $(seq 1 50); do
  link=$WINEPREFIX/dosdevices/com$n
  target=$(readlink "$link" 2>/dev/null || true)
  if [ "$target" != "$ports/COM$n" ]; then
    echo "wine-prefix.sh: com$n points at '${target:-nothing}', not $ports/COM$n: refusing" >&2
    rm -f "$marker"
    exit 1
  fi
done
echo "$ports" >"$marker"
