#!/usr/bin/env bash
# Runs the README's recipes as a new user would: every block after a marker
# comment that names this file, in the README's order, from the top of a
# fresh clone of the source tree with nothing built in it, so that a recipe
# cannot lean on something the README has not made. The clone holds the
# tree's committed state and any changes to its tracked files; only the
# compiler cache is shared.
#   readme-recipe.sh SOURCE_DIR
set -euo pipefail
src=$(cd "$1" && pwd)
git -C "$src" rev-parse --git-dir >/dev/null 2>&1 || { echo "readme-recipe.sh: $src is not a git checkout" >&2; exit 1; }

work=$(mktemp -d)
clone=$work/clone
cleanup() {
  # The clone's own Wine server, if a block started one.
  [ -d "$clone/build/windows/wineprefix" ] && WINEPREFIX=$clone/build/windows/wineprefix wineserver -k 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT

# The working tree as a commit (nothing when it is clean), without touching it.
state=$(git -C "$src" stash create)
git clone --quiet "$src" "$clone"
git -C "$clone" -c advice.detachedHead=false checkout --quiet "${state:-HEAD}"

# The blocks, each ended by a line of its own.
blocks=$(awk '/readme-recipe.sh runs the next block/ { armed = 1; next }
              armed && /^```sh/ { inside = 1; next }
              inside && /^```/ { print "#--- end of block"; inside = 0; armed = 0; next }
              inside { print }' "$clone/README.md")
[ -n "$blocks" ] || { echo "readme-recipe.sh: no recipe block in README.md" >&2; exit 1; }

# The clone's path is left out of the compiler cache's keys, as
# scripts/test.sh does for its own, so the clone builds from the cache.
export CCACHE_BASEDIR=$clone CCACHE_NOHASHDIR=1
out=$(cd "$clone" && bash -euo pipefail -c "$blocks" 2>&1) || {
  echo "$out" >&2
  echo "readme-recipe.sh: a recipe failed, on a fresh clone in $clone" >&2
  exit 1
}
echo "$out"
grep -q '^status: 192' <<<"$out" || { echo "readme-recipe.sh: no status from the simulator" >&2; exit 1; }
