# Shared by the window tests (sourced, not run): a work folder, a virtual
# display of the test's own, pressing keys in the window "Result" until the
# program ends, and clean-up of everything on exit. Defines $work, fail(),
# start_display, press_keys_until_exit PID and position_lines FILE, and
# counts failures in $failures.

work=$(mktemp -d)
xvfb_pid=
app_pid=
failures=0
cleanup() {
  [ -n "$app_pid" ] && kill -9 "$app_pid" 2>/dev/null
  [ -n "$xvfb_pid" ] && kill "$xvfb_pid" 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT

fail() {
  echo "FAIL $*"
  failures=$((failures + 1))
}

# Starts Xvfb on a free display number and sets DISPLAY.
start_display() {
  Xvfb -displayfd 5 -screen 0 1024x768x24 -nolisten tcp 5>"$work/display" 2>"$work/xvfb.log" &
  xvfb_pid=$!
  for _ in $(seq 100); do
    [ -s "$work/display" ] && break
    sleep 0.1
  done
  [ -s "$work/display" ] || { echo "FAIL Xvfb did not start"; cat "$work/xvfb.log"; exit 1; }
  export DISPLAY=":$(head -n 1 "$work/display")"
}

# The number of position lines in FILE, 0 while FILE is not there yet (the
# program's output file is made by the shell that starts it, which may not
# have run yet).
position_lines() {
  local n
  n=$(grep -c '^==> film current position: ' "$1" 2>/dev/null)
  echo "${n:-0}"
}

# Presses a key in the window "Result" every 0.3 s until process PID ends (at
# most 30 s), then waits for it and sets $status.
press_keys_until_exit() {
  local pid=$1 deadline=$((SECONDS + 30)) window
  while kill -0 "$pid" 2>/dev/null && [ $SECONDS -lt $deadline ]; do
    window=$(xdotool search --name '^Result$' 2>/dev/null | head -n 1)
    if [ -n "$window" ]; then
      xdotool windowfocus --sync "$window" key --window "$window" space 2>/dev/null
    fi
    sleep 0.3
  done
  wait "$pid"
  status=$?
}
