#!/usr/bin/env bash
# Builds the Debian package and checks it as a user meets it: lintian,
# desktop-file-validate and appstreamcli judge it; it is unpacked into a
# throwaway root, where the programs, the man pages and the bash completion
# are run, and the console is started under Xvfb with its installed icon and
# desktop entry. Usage: scripts/check-package.sh [BUILD_DIR], a configured
# build folder (default build/default).
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build/default}
app_id=com.tarnell.Console

fail() {
  echo "check-package: $*" >&2
  exit 1
}

cmake --build "$build" --target package
version=$(sed -n 's/^set(CPACK_PACKAGE_VERSION "\(.*\)")$/\1/p' "$build/CPackConfig.cmake")
deb=$build/tarnell-console_${version}_amd64.deb
[ -f "$deb" ] || fail "no $deb"

lintian --fail-on error "$deb" || fail "lintian found errors in $deb"

# Debian places nothing of ours outside /usr.
outside=$(dpkg-deb --fsys-tarfile "$deb" | tar -t | grep -v -e '^\./$' -e '^\./usr/' || true)
[ -z "$outside" ] || fail "installed outside /usr: $outside"

root=$(mktemp -d)
xvfb=
console=
cleanup() {
  [ -n "$console" ] && kill "$console" 2>/dev/null
  [ -n "$xvfb" ] && kill "$xvfb" 2>/dev/null
  wait 2>/dev/null
  rm -rf "$root"
}
trap cleanup EXIT
dpkg-deb -x "$deb" "$root"
usr=$root/usr

desktop=$usr/share/applications/$app_id.desktop
desktop-file-validate "$desktop" || fail "desktop-file-validate: $desktop"
grep -qx 'Name=Tarnell Console' "$desktop" || fail "no 'Name=Tarnell Console' in $desktop"
# The menu's start works in a folder of its own (--own-folder), not in the home folder.
grep -qx 'Exec=tarnell-console --own-folder' "$desktop" && [ -x "$usr/bin/tarnell-console" ] || fail "the desktop entry does not start the console in its own folder"
appstreamcli validate --no-net "$usr/share/metainfo/$app_id.metainfo.xml" || fail "appstreamcli validate"

icon=$(sed -n 's/^Icon=//p' "$desktop")
[ -f "$usr/share/icons/hicolor/scalable/apps/$icon.svg" ] || fail "no scalable icon $icon"
png=$usr/share/icons/hicolor/128x128/apps/$icon.png
# A PNG's width and height are the big-endian words at bytes 16 and 20.
[ "$(od -An -tu1 -j16 -N8 "$png" | tr -s ' ')" = " 0 0 0 128 0 0 0 128" ] || fail "$png is not 128 x 128"

# The programs run from the root they were unpacked into, and carry the
# package's version.
"$usr/bin/tarnell-cli" --help >/dev/null || fail "tarnell-cli --help"
"$usr/bin/tarnell-sim" --help >/dev/null || fail "tarnell-sim --help"
[ "$("$usr/bin/tarnell-cli" --version)" = "tarnell-cli $version" ] || fail "tarnell-cli --version is not $version"
[ "$(env -u DISPLAY -u WAYLAND_DISPLAY "$usr/bin/tarnell-console" --version)" = "tarnell-console $version" ] ||
  fail "tarnell-console --version is not $version"

# Man pages: formatted without a warning, with the sections users look for.
for program in tarnell-console tarnell-cli tarnell-sim; do
  page=$usr/share/man/man1/$program.1.gz
  warnings=$(LC_ALL=C.UTF-8 MANWIDTH=80 MAN_DISABLE_SECCOMP=1 man --warnings -l "$page" 2>&1 >/dev/null) || fail "man -l $page"
  [ -z "$warnings" ] || fail "man -l $page: $warnings"
  text=$(LC_ALL=C.UTF-8 MANWIDTH=80 MAN_DISABLE_SECCOMP=1 man -l "$page" | col -b)
  wanted=(SYNOPSIS OPTIONS ENVIRONMENT SIO_PORT_DIR EXAMPLES "SEE ALSO" "$version")
  [ "$program" != tarnell-sim ] && wanted+=(SIO.LOG .gri)
  for word in "${wanted[@]}"; do
    grep -qF -- "$word" <<<"$text" || fail "man $program: no '$word'"
  done
  grep -qE 'EXIT STATUS|Exit codes' <<<"$text" || fail "man $program: no exit status"
  # Written for a reader: nothing of the option parser's own notation.
  leftover=$(grep -E 'Excludes:|INT:|TEXT:|:\{' <<<"$text" || true)
  [ -z "$leftover" ] || fail "man $program: option parser leftovers: $leftover"
done
console_page=$(LC_ALL=C.UTF-8 MANWIDTH=80 MAN_DISABLE_SECCOMP=1 man -l "$usr/share/man/man1/tarnell-console.1.gz" | col -b)
for word in rfc2217:// tcp:// Ctrl+P "context menu" append; do
  grep -qF -- "$word" <<<"$console_page" || fail "man tarnell-console: no '$word'"
done

# Bash completion, through bash-completion's own framework.
completion=$usr/share/bash-completion/completions/tarnell-cli
mkdir "$root/ports"
ln -s /dev/null "$root/ports/COM3"
ln -s tcp://127.0.0.1:4001 "$root/ports/COM12"
words=$(bash -c '
  source /usr/share/bash-completion/bash_completion
  source "$1"
  complete_line() { COMP_WORDS=("$@"); COMP_CWORD=$(($# - 1)); COMP_LINE="$*"; COMP_POINT=${#COMP_LINE}
    COMPREPLY=(); _tarnell_cli tarnell-cli "${COMP_WORDS[-1]}" "${COMP_WORDS[-2]}"; echo "${COMPREPLY[*]}"; }
  complete_line tarnell-cli --parity ""
  complete_line tarnell-cli --port COM1 st
  complete_line tarnell-cli scan --t
  complete_line tarnell-cli --port COM1 w
  complete_line tarnell-cli watch --i
  complete_line tarnell-cli --device r
  complete_line tarnell-cli --device ""
  SIO_PORT_DIR=$2 complete_line tarnell-cli --port ""' _ "$completion" "$root/ports")
expected=$'even none\nstatus store\n--to --ticks\nwatch\n--interval\nrfc2217://'
[ "$(head -6 <<<"$words")" = "$expected" ] || fail "bash completion gave: $words"
# --device: the network schemes and serial adapters, never a virtual console;
# --port: the entries of $SIO_PORT_DIR.
devices=$(sed -n 7p <<<"$words")
[[ " $devices " == *" rfc2217:// tcp:// "* && ! " $devices " =~ \ /dev/tty[0-9] ]] ||
  fail "bash completion of --device gave: $devices"
[ "$(sed -n 8p <<<"$words")" = "COM12 COM3" ] || fail "bash completion of --port in \$SIO_PORT_DIR gave: $(sed -n 8p <<<"$words")"

# The installed console under Xvfb: its window comes up, named for the
# desktop entry's StartupWMClass and with the installed icon, and a SIGTERM
# closes it as the operator would.
# -noreset: a server that resets once its last client has gone closes a
# connection that is being set up meanwhile ("could not connect to display").
Xvfb -displayfd 3 -noreset -screen 0 1280x1024x24 -nolisten tcp 3>"$root/display" 2>/dev/null &
xvfb=$!
for _ in $(seq 100); do
  [ -s "$root/display" ] && break
  sleep 0.1
done
[ -s "$root/display" ] || fail "Xvfb did not start"
mkdir "$root/run"
(
  cd "$root/run"
  # The console keeps its set-up in the configuration folder: a throwaway one.
  export DISPLAY=:$(cat "$root/display") QT_QPA_PLATFORM=xcb XDG_DATA_DIRS=$usr/share:/usr/share \
    XDG_CONFIG_HOME=$root/config
  unset SIO_PORT_DIR
  exec "$usr/bin/tarnell-console"
) &
console=$!
window=$(DISPLAY=:$(cat "$root/display") timeout 30 xdotool search --sync --onlyvisible --pid "$console" 2>/dev/null | head -1) ||
  true
[ -n "$window" ] || fail "the installed console showed no window"
export DISPLAY=:$(cat "$root/display")
wm_class=$(sed -n 's/^StartupWMClass=//p' "$desktop")
xprop -id "$window" WM_CLASS | grep -qF "\"$wm_class\"" || fail "the window's class is not $wm_class"
xprop -id "$window" -notype -f _NET_WM_ICON 32c '=$0,$1\n' _NET_WM_ICON | grep -q '^_NET_WM_ICON=[1-9][0-9]*,[1-9]' ||
  fail "the window has not the installed icon"
kill -TERM "$console"
status=0
wait "$console" || status=$?
console=
[ "$status" -eq 0 ] || fail "the console ended with $status after SIGTERM"
echo "Package $deb checked."
