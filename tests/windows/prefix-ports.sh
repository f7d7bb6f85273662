#!/usr/bin/env bash
# Checks, without starting Wine or opening anything, that no port of a test
# prefix can reach a device of this machine:
#  - every dosdevice named com* or lpt* is a link into the port folder, or
#    the empty folder that keeps Wine from linking that name (wine-prefix.sh);
#  - no other dosdevice leads to a device file (/dev/...);
#  - the registry's Ports key maps COM1..COM50 into the port folder and
#    nothing else anywhere but to "" (no device).
#   prefix-ports.sh PREFIX PORT_FOLDER
# Prints what is wrong and fails (status 1), or prints nothing.
set -uo pipefail
prefix=$1 ports=$2
bad=0
complain() { echo "prefix-ports.sh: $*" >&2; bad=1; }

[ -d "$prefix/dosdevices" ] || { complain "$prefix has no dosdevices"; exit 1; }
for entry in "$prefix"/dosdevices/*; do
  name=${entry##*/}
  if [ -L "$entry" ]; then
    target=$(readlink "$entry")
  elif [ -d "$entry" ]; then
    # A blocker must stay empty: anything in it could be opened.
    case "$name" in
      com[0-9]* | lpt[0-9]*) [ -z "$(ls -A "$entry")" ] || complain "$name is a folder with something in it" ;;
      *) ;;
    esac
    continue
  else
    complain "$name is neither a link nor a folder"
    continue
  fi
  case "$name" in
    com[0-9]* | lpt[0-9]*)
      case "$target" in
        "$ports"/*) ;;
        *) complain "$name points at '$target', not into $ports" ;;
      esac
      ;;
    *)
      case "$target" in
        /dev/*) complain "$name points at the device '$target'" ;;
        *) ;;
      esac
      ;;
  esac
done

# The Ports key as Wine keeps it (system.reg): "COMn"="path" lines under
# [Software\\Wine\\Ports]. Wine doubles each backslash of a value.
reg=$prefix/system.reg
if [ ! -f "$reg" ]; then
  complain "$prefix has no system.reg"
else
  mapped=0
  while IFS= read -r line; do
    [[ $line =~ ^\"([A-Za-z]+)([0-9]+)\"=\"(.*)\"$ ]] || { complain "Ports has '$line'"; continue; }
    kind=${BASH_REMATCH[1]^^} n=${BASH_REMATCH[2]} value=${BASH_REMATCH[3]}
    if [ "$kind" = COM ] && [ "$n" -ge 1 ] && [ "$n" -le 50 ]; then
      if [ "$value" = "$ports/COM$n" ]; then
        mapped=$((mapped + 1))
      else
        complain "Ports maps COM$n to '$value', not $ports/COM$n"
      fi
    elif [ -n "$value" ]; then
      complain "Ports maps $kind$n to '$value'"
    fi
  done < <(awk '/^\[/ { inside = ($0 ~ /^\[Software\\\\Wine\\\\Ports\]/); next }
                inside && /^"/ { print }' "$reg")
  [ "$mapped" -eq 50 ] || complain "Ports maps $mapped of COM1..COM50 into $ports"
fi
exit "$bad"
