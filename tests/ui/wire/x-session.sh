# Sourced by the tests that run the real console in an X server of their
# own: the waits and the server's start, in one place so that every such
# test starts its server the same way. Needs $work (a folder of the test's)
# and the array pids (what its cleanup kills).

# Waits up to await_tries tenths of a second (20 s by default) for a command
# to succeed.
await_tries=${await_tries:-200}
await() {
  for _ in $(seq "$await_tries"); do
    if "$@" >/dev/null 2>&1; then return 0; fi
    sleep 0.1
  done
  echo "gave up waiting for: $*" >&2
  return 1
}

# start_x WIDTHxHEIGHT: an Xvfb on DISPLAY, for Qt's X11 platform.
start_x() {
  # Xvfb writes its display number once it takes clients; an Xvfb that dies
  # first closes the pipe unwritten.
  mkfifo "$work/display"
  # -noreset: a server that resets once its last client has gone closes a
  # connection that is being set up meanwhile ("could not connect to display").
  Xvfb -displayfd 3 -noreset -screen 0 "$1x24" -nolisten tcp 3>"$work/display" 2>/dev/null &
  pids+=($!)
  local display
  if ! read -r -t 20 display <"$work/display"; then
    echo "Xvfb did not start" >&2
    exit 1
  fi
  export DISPLAY=":$display"
  unset QT_QPA_PLATFORM
  # The console speaks the desktop's language: these tests read its English
  # texts, whatever the machine's locale.
  export LC_ALL=C.UTF-8
  unset LANGUAGE
}
