#!/usr/bin/env bash
# The prefix check (prefix-ports.sh) on prefixes made here by hand, without
# Wine: it passes a prefix whose ports all lead into the port folder, and
# fails each way one could lead to a device of the machine. Nothing is
# opened: /dev/ttyS0 is only the text of a link.
set -euo pipefail
check=$(cd "$(dirname "$0")" && pwd)/prefix-ports.sh
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
ports=$tmp/winports
failures=0

make_prefix() {
  local p=$1
  rm -rf "$p"
  mkdir -p "$p/dosdevices/com256" "$p/dosdevices/lpt256" "$p/drive_c"
  ln -s ../drive_c "$p/dosdevices/c:"
  ln -s / "$p/dosdevices/z:"
  for n in $(seq 1 50); do ln -s "$ports/COM$n" "$p/dosdevices/com$n"; done
  {
    echo 'WINE REGISTRY Version 2'
    echo '[Software\\Wine\\Drivers] 1796715711'
    echo '"Graphics"="x11"'
    echo '[Software\\Wine\\Ports] 1796715711'
    echo '#time=1dd86e796d973a6'
    for n in $(seq 1 50); do echo "\"COM$n\"=\"$ports/COM$n\""; done
    for n in $(seq 51 255); do echo "\"COM$n\"=\"\""; done
    echo ''
    echo '[Software\\Wow6432Node\\Wine\\Ports] 1796715703'
    echo '#link'
  } >"$p/system.reg"
}

# expect WANT WHAT MESSAGE: the check on $tmp/p ends WANT (pass or fail),
# and a failure names MESSAGE.
expect() {
  local want=$1 what=$2 message=${3:-}
  local got=pass
  "$check" "$tmp/p" "$ports" 2>"$tmp/err" || got=fail
  if [ "$got" != "$want" ]; then
    echo "FAIL: $what: the check should $want, it did $got: $(cat "$tmp/err")" >&2
    failures=$((failures + 1))
  elif [ -n "$message" ] && ! grep -qF -- "$message" "$tmp/err"; then
    echo "FAIL: $what: the complaint does not name '$message': $(cat "$tmp/err")" >&2
    failures=$((failures + 1))
  fi
}

make_prefix "$tmp/p"
expect pass "every port in the port folder"

make_prefix "$tmp/p"
ln -s /dev/ttyS0 "$tmp/p/dosdevices/com51"
expect fail "com51 as Wine links a real device" "com51 points at '/dev/ttyS0'"

make_prefix "$tmp/p"
rm "$tmp/p/dosdevices/com7"
ln -s /dev/ttyUSB0 "$tmp/p/dosdevices/com7"
expect fail "a mapped port turned to a device" "com7 points at '/dev/ttyUSB0'"

make_prefix "$tmp/p"
ln -s /dev/lp0 "$tmp/p/dosdevices/lpt1"
expect fail "a printer port" "lpt1"

make_prefix "$tmp/p"
ln -s /dev/ttyS0 "$tmp/p/dosdevices/d:"
expect fail "a drive letter on a device" "d: points at the device"

make_prefix "$tmp/p"
rmdir "$tmp/p/dosdevices/com256"
ln -s /dev/ttyS0 "$tmp/p/dosdevices/com256"
expect fail "the folder that keeps com256 replaced by a link" "com256"

make_prefix "$tmp/p"
touch "$tmp/p/dosdevices/com256/x"
expect fail "the folder that keeps com256 not empty" "com256 is a folder with something in it"

make_prefix "$tmp/p"
sed -i 's|^"COM51"=""|"COM51"="/dev/ttyS0"|' "$tmp/p/system.reg"
expect fail "the registry maps COM51 to a device" "Ports maps COM51 to '/dev/ttyS0'"

make_prefix "$tmp/p"
sed -i "s|^\"COM3\"=.*|\"COM3\"=\"/dev/ttyS2\"|" "$tmp/p/system.reg"
expect fail "the registry maps COM3 elsewhere" "Ports maps COM3 to '/dev/ttyS2'"

make_prefix "$tmp/p"
sed -i '/^"COM9"=/d' "$tmp/p/system.reg"
expect fail "the registry lacks COM9" "Ports maps 49 of COM1..COM50"

[ "$failures" -eq 0 ] || exit 1
echo "prefix check: all cases as expected"
