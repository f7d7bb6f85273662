# Sourced by the tests that drive a Windows program's window under Wine: an
# X server and a Wine prefix of their own (every COM port mapped, as
# wine-prefix.sh does), simulators on COM ports, and waits that each wait for
# the event they need, with a deadline.
# shellcheck shell=bash

pids=()
fail() { echo "FAIL: $*" >&2; exit 1; }

# start_x BUILD_DIR NAME: $work, an Xvfb on $DISPLAY, and the prefix of
# BUILD_DIR/winx (apart from the other Windows tests, which run at the same
# time: its Wine server must belong to this display).
start_x() {
  local build=$1
  winx=$build/winx
  mkdir -p "$winx"
  work=$(mktemp -d "$winx/$2.XXXXXX")
  trap cleanup_x EXIT
  # A home of its own: Wine links the user's Documents to the home's, and
  # the console writes there.
  export HOME=$winx/home
  mkdir -p "$HOME"
  "$here/wine-prefix.sh" "$winx"
  export TARNELL_WIN_BUILD=$winx WINEPREFIX=$winx/wineprefix WINEDEBUG=-all
  export WINEDLLOVERRIDES="mscoree,mshtml=,winemenubuilder.exe=d"
  ports=$winx/winports
  wineserver -k 2>/dev/null || true
  # The console keeps the operator's set-up (the last port first in the
  # list): every test starts as a first run.
  rm -rf "$WINEPREFIX"/drive_c/users/*/AppData/Roaming/tarnell
  # -noreset: a server that resets once its last client has gone closes a
  # connection that is being set up meanwhile ("could not connect to display").
  Xvfb -displayfd 3 -noreset -screen 0 1280x1024x24 -nolisten tcp 3>"$work/display" 2>/dev/null &
  pids+=($!)
  await_true test -s "$work/display"
  export DISPLAY=":$(head -1 "$work/display")"
}

cleanup_x() {
  local status=$?
  if [ "$status" -ne 0 ]; then
    [ -s "$work/console.err" ] && { echo "--- the program's standard error:" >&2; tail -n 40 "$work/console.err" >&2; }
    # What the screen showed when it failed.
    import -window root "$work/failed.png" 2>/dev/null && echo "screen at failure: $work/failed.png" >&2
    for w in $(visible_windows); do echo "window $w: $(xdotool getwindowname "$w" 2>/dev/null)" >&2; done
  fi
  wineserver -k 2>/dev/null || true
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
  wait 2>/dev/null || true
  [ "$status" -eq 0 ] && rm -rf "$work"
  exit "$status"
}

# await_true CMD...: until CMD succeeds, at most 60 s.
await_true() {
  local deadline=$((SECONDS + 60))
  until "$@" >/dev/null 2>&1; do
    [ $SECONDS -lt $deadline ] || fail "gave up waiting for: $*"
    sleep 0.1
  done
}

# start_sim N [options]: tarnell-sim linked as COMn; stop_sim N ends it.
declare -A sim_pids
start_sim() {
  local n=$1; shift
  rm -f "$ports/COM$n"
  "$sim" --dir "$ports" --com "$n" "$@" >"$work/sim$n.out" 2>&1 &
  sim_pids[$n]=$!
  pids+=($!)
  await_true test -L "$ports/COM$n"
}
stop_sim() {
  kill "${sim_pids[$1]}" 2>/dev/null || true
  wait "${sim_pids[$1]}" 2>/dev/null || true
  rm -f "$ports/COM$1"
}

run_windows() { "$here/wine-run.sh" "$@"; }
run_windows_tool() { wine "$@" >/dev/null 2>&1; }
winpath() { winepath -w "$1" 2>/dev/null; }

# The one visible window whose name is exactly $1, if there is one.
window_named() { xdotool search --onlyvisible --name "^$1\$" 2>/dev/null | head -1 | grep .; }
# Waits for it (at most 60 s) and prints its id.
await_window() {
  local id
  id=$(timeout 60 xdotool search --sync --onlyvisible --name "^$1\$" 2>/dev/null | head -1) \
    || fail "no window \"$1\""
  echo "$id"
}
window_size() { xdotool getwindowgeometry "$1" | sed -n 's/.*Geometry: //p'; }
window_size_is() { [ "$(window_size "$1")" = "$2" ]; }
# frames_in LOG TEXT: how often the simulator received TEXT LF CR;
# more_frames_than N LOG TEXT: more often than N.
frames_in() { grep -cF "$2\\n\\r" "$1" || true; }
more_frames_than() { [ "$(frames_in "$2" "$3")" -gt "$1" ]; }
# No window manager here: the pointer goes into the window, which takes the
# keyboard, and Wine makes it the foreground window.
focus_window() {
  xdotool mousemove --window "$1" 20 20 || return 1
  xdotool windowfocus --sync "$1" 2>/dev/null || true
}
shot() { import -window root "$1"; }

# press_until WIN KEY CMD...: presses KEY in WIN until CMD succeeds; each
# press gets 3 s to have its effect (a key that arrives while the window
# refuses it has none), all of them 60 s. Once the key has closed WIN, what
# it was pressed for may still be on its way: it is waited for, unpressed.
press_until() {
  local win=$1 key=$2 deadline=$((SECONDS + 60)) wait_until
  shift 2
  while :; do
    if focus_window "$win" 2>/dev/null; then
      xdotool key "$key"
    fi
    wait_until=$((SECONDS + 3))
    while [ $SECONDS -lt $wait_until ]; do
      "$@" >/dev/null 2>&1 && return 0
      sleep 0.1
    done
    [ $SECONDS -lt $deadline ] || fail "pressing $key did not bring: $*"
  done
}

clipboard() { xclip -o -selection clipboard 2>/dev/null; }

# await_clipboard_after WIN KEYS TEXT: presses KEYS in WIN until the
# clipboard holds TEXT.
await_clipboard_after() {
  local win=$1 keys=$2 text=$3
  press_until "$win" "$keys" clipboard_has "$text"
}
clipboard_has() { clipboard | grep -qF -- "$1"; }

# await_output_line TEXT: the output window's top line becomes TEXT (copied
# with Ctrl+A, Ctrl+C from the output window of $win).
await_output_line() {
  local text=$1 deadline=$((SECONDS + 60))
  until [ "$(clipboard | head -1 | tr -d '\r')" = "$text" ]; do
    [ $SECONDS -lt $deadline ] || fail "the output's top line is \"$(clipboard | head -1)\", not \"$text\""
    xdotool mousemove --window "$win" 300 450 click 1
    xdotool key ctrl+a ctrl+c
    sleep 0.2
  done
}

visible_windows() { xdotool search --onlyvisible --name '' 2>/dev/null | sort; }
# await_new_window BEFORE: a visible window that is not in the list BEFORE
# (from visible_windows); prints its id.
await_new_window() {
  local before=$1 deadline=$((SECONDS + 60)) id
  while :; do
    id=$(comm -13 <(echo "$before") <(visible_windows) | head -1)
    [ -n "$id" ] && { echo "$id"; return 0; }
    [ $SECONDS -lt $deadline ] || fail "no new window appeared"
    sleep 0.1
  done
}

# save_as DIALOG WINDOWS_PATH CMD...: the file dialog DIALOG gets the name
# until CMD succeeds (its name field may take the first keys before it has
# the focus).
save_as() {
  local dialog=$1 name=$2 deadline=$((SECONDS + 60))
  shift 2
  until "$@" >/dev/null 2>&1; do
    [ $SECONDS -lt $deadline ] || fail "the file dialog did not write: $*"
    focus_window "$dialog"
    xdotool key ctrl+a
    xdotool type --delay 10 "$name"
    xdotool key Return
    local wait_until=$((SECONDS + 5))
    while [ $SECONDS -lt $wait_until ] && ! "$@" >/dev/null 2>&1; do sleep 0.1; done
  done
}
