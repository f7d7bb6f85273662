#!/usr/bin/env bash
# Runs the README's manual run under Wine exactly as a reader would type it,
# from the top of the source tree, so that the recipe cannot drift from the
# build: the block is the one after the marker comment that names this file.
#   readme-recipe.sh SOURCE_DIR BUILD_DIR
set -euo pipefail
src=$(cd "$1" && pwd) build=$(cd "$2" && pwd)
block=$(awk '/readme-recipe.sh runs the next block/ { armed = 1; next }
             armed && /^```sh/ { inside = 1; next }
             inside && /^```/ { exit }
             inside { print }' "$src/README.md")
[ -n "$block" ] || { echo "readme-recipe.sh: no recipe block in $src/README.md" >&2; exit 1; }
# The recipe names build/windows, where the preset builds: a build folder
# elsewhere stands in for it through a link.
work=$src
if [ "$build" != "$src/build/windows" ]; then
  work=$(mktemp -d)
  trap 'rm -rf "$work"' EXIT
  ln -s "$src/tests" "$work/tests"
  mkdir "$work/build"
  ln -s "$build" "$work/build/windows"
fi
out=$(cd "$work" && bash -euo pipefail -c "$block" 2>&1) || { echo "$out" >&2; echo "readme-recipe.sh: the recipe failed" >&2; exit 1; }
echo "$out"
grep -q '^status: 192' <<<"$out" || { echo "readme-recipe.sh: no status from the simulator" >&2; exit 1; }
