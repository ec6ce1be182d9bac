# shellcheck shell=bash
# Shell helpers shared by scripts/run.sh and the bench scripts: a private X server, the
# simulators as background children, waiting for and closing the program's window, and
# tearing every child down again. Sourced, not run; every name starts with tv_.
#
# Children are kept in TV_PIDS and stopped newest first by tv_cleanup, which the sourcing
# script installs as its EXIT trap, so no path out of a script leaves a process behind.

TV_PIDS=()

tv_say() { printf '==> %s\n' "$*"; }
tv_fail() { printf 'error: %s\n' "$*" >&2; exit 1; }

# Installs tv_cleanup as the EXIT trap; Ctrl-C and SIGTERM end the script through it.
tv_own_children() {
  trap tv_cleanup EXIT
  trap 'exit 130' INT
  trap 'exit 143' TERM
}

# Fails unless VALUE is a positive whole number. Usage: tv_positive VALUE WHAT
tv_positive() {
  [[ "$1" =~ ^[1-9][0-9]*$ ]] || tv_fail "$2 must be a positive number, not '$1'"
}

# Milliseconds on a monotonic-enough clock for intervals of a few seconds.
# Configures the shared build directory (TOLVANE_BUILD_DIR, default build) with the preset
# scripts/test.sh uses, so the commands share one build, and builds the given targets.
# Sets build (as given) and bdir (absolute).
tv_build() {
  build=${TOLVANE_BUILD_DIR:-build}
  tv_say "Configuring and building in $build/"
  mkdir -p "$build"
  # shellcheck disable=SC2034 # read by the scripts that source this file
  bdir=$(cd "$build" && pwd)
  cmake --preset default -B "$build" >"$build/configure.log" 2>&1 || { cat "$build/configure.log" >&2; tv_fail "cmake could not configure the build"; }
  cmake --build "$build" --target "$@" -j2
}

tv_now_ms() { echo $(( $(date +%s%N) / 1000000 )); }

# Ends one child: SIGTERM, then SIGKILL when it is still there after `grace` seconds.
tv_stop() {
  local pid=$1 grace=${2:-5} i
  kill -0 "$pid" 2>/dev/null || { wait "$pid" 2>/dev/null || true; return 0; }
  kill -TERM "$pid" 2>/dev/null || true
  for ((i = 0; i < grace * 20; i++)); do
    kill -0 "$pid" 2>/dev/null || break
    sleep 0.05
  done
  if kill -0 "$pid" 2>/dev/null; then
    printf 'warning: process %s ignored SIGTERM, killing it\n' "$pid" >&2
    kill -KILL "$pid" 2>/dev/null || true
  fi
  wait "$pid" 2>/dev/null || true
}

tv_cleanup() {
  local i
  for ((i = ${#TV_PIDS[@]} - 1; i >= 0; i--)); do
    tv_stop "${TV_PIDS[i]}" 3
  done
  TV_PIDS=()
}

# Forgets a child that has already been stopped, so cleanup does not touch a reused pid.
tv_forget() {
  local pid=$1 keep=() p
  for p in "${TV_PIDS[@]}"; do [ "$p" = "$pid" ] || keep+=("$p"); done
  TV_PIDS=("${keep[@]}")
}

# A display that answers: the user's, when it does.
tv_display_usable() {
  [ -n "${DISPLAY:-}" ] && xdpyinfo >/dev/null 2>&1
}

# Starts Xvfb on the first free display number (the server picks it and reports it through
# -displayfd) and exports DISPLAY. Sets TV_XVFB_PID.
tv_start_xvfb() {
  local dir=$1 numfile i
  numfile=$dir/xvfb.display
  rm -f "$numfile"
  Xvfb -displayfd 3 -screen 0 1280x1024x24 -nolisten tcp -noreset 3>"$numfile" >"$dir/xvfb.log" 2>&1 &
  TV_XVFB_PID=$!
  TV_PIDS+=("$TV_XVFB_PID")
  for ((i = 0; i < 200; i++)); do
    [ -s "$numfile" ] && break
    kill -0 "$TV_XVFB_PID" 2>/dev/null || tv_fail "Xvfb did not start (see $dir/xvfb.log)"
    sleep 0.05
  done
  [ -s "$numfile" ] || tv_fail "Xvfb did not report its display within 10 s (see $dir/xvfb.log)"
  DISPLAY=":$(tr -dc '0-9' <"$numfile")"
  export DISPLAY
  for ((i = 0; i < 100; i++)); do
    xdpyinfo >/dev/null 2>&1 && return 0
    sleep 0.05
  done
  tv_fail "Xvfb on $DISPLAY does not answer"
}

# Starts a simulator that announces itself with "<name>: listening on [<addr>]:<port>" as
# its first line, and waits for that line. Usage: tv_start_sim LOG EXE ARGS...
# Sets TV_SIM_PID, TV_SIM_ADDR and TV_SIM_PORT. The line buffering keeps the announcement
# and the exit report from waiting in a pipe buffer.
tv_start_sim() {
  local log=$1 exe=$2 name line i
  shift 2
  name=$(basename "$exe")
  : >"$log"
  stdbuf -oL -eL "$exe" "$@" >"$log" 2>&1 &
  TV_SIM_PID=$!
  TV_PIDS+=("$TV_SIM_PID")
  for ((i = 0; i < 200; i++)); do
    line=$(grep -m1 "^$name: listening on \[" "$log" || true)
    [ -n "$line" ] && break
    kill -0 "$TV_SIM_PID" 2>/dev/null || { cat "$log" >&2; tv_fail "$name ended before it was listening"; }
    sleep 0.05
  done
  [ -n "$line" ] || { cat "$log" >&2; tv_fail "$name did not say where it listens within 10 s"; }
  # shellcheck disable=SC2034  # read by the sourcing script
  TV_SIM_ADDR=$(sed -E 's/^[^[]*\[([^]]*)\].*/\1/' <<<"$line")
  TV_SIM_PORT=$(sed -E 's/^.*\]:([0-9]+).*$/\1/' <<<"$line")
  if ! [[ "$TV_SIM_PORT" =~ ^[0-9]+$ ]] || [ "$TV_SIM_PORT" -eq 0 ]; then
    tv_fail "$name announced no usable port: $line"
  fi
}

# Waits until a visible window whose title matches the regular expression exists, while the
# process `pid` lives, and sets TV_WID to its id. Returns 1 after `timeout` seconds, 2 when the
# process ends first (a failed start of Tolvane ends it without any window). Runs in the
# calling shell, not in a command substitution, so a signal to the script is handled at once.
# TV_FIRST_MS is set to the moment the process showed its first window of any title (for
# Tolvane the loading dialog), which tells the toolkit's start-up apart from what follows.
tv_wait_window() {
  local pid=$1 pattern=$2 timeout=$3 deadline
  TV_WID=
  TV_FIRST_MS=
  deadline=$(( $(tv_now_ms) + timeout * 1000 ))
  while :; do
    if [ -z "$TV_FIRST_MS" ] && [ -n "$(xdotool search --onlyvisible --pid "$pid" 2>/dev/null || true)" ]; then
      TV_FIRST_MS=$(tv_now_ms)
    fi
    TV_WID=$(xdotool search --onlyvisible --name "$pattern" 2>/dev/null | head -n1 || true)
    if [ -n "$TV_WID" ]; then
      [ -n "$TV_FIRST_MS" ] || TV_FIRST_MS=$(tv_now_ms)
      return 0
    fi
    kill -0 "$pid" 2>/dev/null || return 2
    [ "$(tv_now_ms)" -lt "$deadline" ] || return 1
    sleep 0.01
  done
}

# Asks a window to close the way a window manager's close button does (WM_DELETE_WINDOW),
# so the program runs its normal shutdown: the link is closed and the logs are finished.
# There is no window manager on a private X server, and xdotool's windowclose would destroy
# the window under the program's feet.
tv_close_window() {
  local py
  py=$(command -v /usr/bin/python3 || command -v python3) || return 1
  "$py" - "$1" <<'EOF'
import ctypes, ctypes.util, sys
x = ctypes.cdll.LoadLibrary(ctypes.util.find_library("X11") or "libX11.so.6")
x.XOpenDisplay.restype = ctypes.c_void_p
x.XOpenDisplay.argtypes = [ctypes.c_char_p]
x.XInternAtom.restype = ctypes.c_ulong
x.XInternAtom.argtypes = [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_int]
x.XSendEvent.argtypes = [ctypes.c_void_p, ctypes.c_ulong, ctypes.c_int, ctypes.c_long, ctypes.c_void_p]
x.XFlush.argtypes = [ctypes.c_void_p]
x.XCloseDisplay.argtypes = [ctypes.c_void_p]

class ClientMessage(ctypes.Structure):
    _fields_ = [("type", ctypes.c_int), ("serial", ctypes.c_ulong), ("send_event", ctypes.c_int),
                ("display", ctypes.c_void_p), ("window", ctypes.c_ulong), ("message_type", ctypes.c_ulong),
                ("format", ctypes.c_int), ("l", ctypes.c_long * 5)]

class Event(ctypes.Union):  # XEvent is 24 longs whatever member is used
    _fields_ = [("xclient", ClientMessage), ("pad", ctypes.c_long * 24)]

d = x.XOpenDisplay(None)
if not d:
    sys.exit("cannot open the display")
window = int(sys.argv[1], 0)
e = Event()
e.xclient.type = 33  # ClientMessage
e.xclient.display = d
e.xclient.window = window
e.xclient.message_type = x.XInternAtom(d, b"WM_PROTOCOLS", 0)
e.xclient.format = 32
e.xclient.l[0] = x.XInternAtom(d, b"WM_DELETE_WINDOW", 0)
e.xclient.l[1] = 0  # CurrentTime
ok = x.XSendEvent(d, window, 0, 0, ctypes.byref(e))
x.XFlush(d)
x.XCloseDisplay(d)
sys.exit(0 if ok else "XSendEvent failed")
EOF
}

# Closes the window and waits up to `grace` seconds for the process to end by itself;
# SIGTERM and SIGKILL follow when it does not. Returns the process's exit status.
tv_close_and_wait() {
  local pid=$1 wid=$2 grace=${3:-10} i rc=0
  tv_close_window "$wid" || printf 'warning: could not ask window %s to close\n' "$wid" >&2
  for ((i = 0; i < grace * 20; i++)); do
    kill -0 "$pid" 2>/dev/null || break
    sleep 0.05
  done
  if kill -0 "$pid" 2>/dev/null; then
    printf 'warning: the program did not end within %s s of its window closing\n' "$grace" >&2
    tv_stop "$pid" 3
    tv_forget "$pid"
    return 143
  fi
  wait "$pid" 2>/dev/null || rc=$?
  tv_forget "$pid"
  return "$rc"
}
