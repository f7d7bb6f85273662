#!/usr/bin/env bash
# Runs .ci/run as the first run on a new machine would: on a fresh clone,
# with no compiler cache, no Qt for Windows (so it is built beside the
# suites), no Wine prefix or Wine downloads, and cold font caches.
#
#   scripts/fresh-machine.sh [--busy N] [--keep] [--warm] [REV]
#
# REV (default HEAD) is cloned from this checkout. --busy N runs N busy
# loops beside it, as a loaded CI machine has. --warm keeps the machine's
# own caches (compiler cache, Qt for Windows) and only clones afresh: the
# run that every later CI run on the same machine is. --keep leaves the
# run's folder behind. The last line says how it went and how long it took.
#
# What it cannot clear: the Debian packages already installed (a new
# machine installs them first: `apt-get install` of the list in
# scripts/install-deps.sh took about 2 minutes here), apt's package lists,
# the deb-src lines that the first Qt build adds to apt's sources, and the
# kernel's page cache (files read before are read from memory).
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)

busy=0 keep=0 warm=0 rev=HEAD
while [ $# -gt 0 ]; do
  case "$1" in
    --busy) busy=$2; shift 2 ;;
    --keep) keep=1; shift ;;
    --warm) warm=1; shift ;;
    -h|--help) sed -n '2,18p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
    *) rev=$1; shift ;;
  esac
done

root=$(mktemp -d "${TMPDIR:-/tmp}/tarnell-fresh.XXXXXX")
pids=()
finish() {
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
  # The run's own Wine servers go with their prefixes; nobody else's.
  for prefix in "$root"/clone/build/*/wineprefix "$root"/clone/build/*/*/wineprefix; do
    [ -d "$prefix" ] && WINEPREFIX=$prefix wineserver -k 2>/dev/null || true
  done
  if [ "$keep" = 1 ]; then echo "kept: $root"; else rm -rf "$root"; fi
}
trap finish EXIT

git clone -q "$here" "$root/clone"
git -C "$root/clone" checkout -q "$(git -C "$here" rev-parse "$rev")"

env_args=(CI=true)
if [ "$warm" = 0 ]; then
  mkdir -p "$root/home" "$root/cache" "$root/ccache" "$root/fontcache"
  # Fontconfig's system cache would survive a new user: point the
  # configuration at a copy whose only cache folder is empty.
  sed "s#<cachedir[^>]*>[^<]*</cachedir>##g; s#</fontconfig>#<cachedir>$root/fontcache</cachedir></fontconfig>#" \
    /etc/fonts/fonts.conf >"$root/fonts.conf"
  env_args+=(HOME="$root/home" XDG_CACHE_HOME="$root/cache" CCACHE_DIR="$root/ccache"
             XDG_CONFIG_HOME="$root/home/.config" XDG_DATA_HOME="$root/home/.local/share"
             FONTCONFIG_FILE="$root/fonts.conf")
fi

for ((i = 0; i < busy; i++)); do yes >/dev/null & pids+=($!); done

log=$root/ci.log
start=$(date +%s)
status=0
(cd "$root/clone" && env "${env_args[@]}" bash .ci/run </dev/null >"$log" 2>&1) || status=$?
took=$(( $(date +%s) - start ))
tail -n 30 "$log"
cp "$log" "${TMPDIR:-/tmp}/tarnell-fresh-last.log"
kind=$([ "$warm" = 1 ] && echo warm || echo fresh)
echo "fresh-machine: $kind run of $(git -C "$root/clone" rev-parse --short HEAD) with $busy busy loop(s):" \
     "exit $status after $((took / 60)) min $((took % 60)) s (log: ${TMPDIR:-/tmp}/tarnell-fresh-last.log)"
exit "$status"
