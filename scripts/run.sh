#!/usr/bin/env bash
# The main job: installs what is missing, builds Tolvane and the simulators, and runs the tool
# against a simulated lift unit on this machine; then tolvane-cli reads the same unit as JSON.
#
#   bash scripts/run.sh            direct mode: Tolvane talks V7 to lu-sim
#   bash scripts/run.sh console    console mode: Tolvane talks Disp to console-sim, which
#                                  relays to its own simulated lift unit (lift code 17)
#
# With a usable DISPLAY the window opens on it and the run ends when you close the window.
# Without one the tool runs on a private Xvfb server: once the main window is on screen it is
# photographed to build/screenshot.png and closed again.
set -euo pipefail
cd "$(dirname "$0")/.."
# shellcheck source=scripts/session.sh
. scripts/session.sh
tv_own_children

mode=${1:-direct}
case "$mode" in
  direct | console) ;;
  -h | --help)
    sed -n '2,11p' "$0" | sed 's/^# \{0,1\}//'
    exit 0
    ;;
  *) tv_fail "unknown mode '$mode' (use: direct or console)" ;;
esac

# The lift unit the direct run talks to: its V7 node (an LU node, below ten million) and the
# link key both ends share, given as 32 upper-case hex digits so it is taken as the key itself.
node=104233
key=3A5F0C1B92D4E76A08B1C3D5E7F90213
# The lift code under which the simulated console answers in console mode.
lift=17

tv_say "Checking the Debian packages (scripts/deps.sh)"
bash scripts/deps.sh app bench

# Same configuration as scripts/test.sh, so both commands share one build directory.
# TOLVANE_BUILD_DIR points both at another build directory, for trying changes side by side.
tv_build tolvane tolvane-cli lu-sim console-sim
app=$bdir/src/app/tolvane
cli=$bdir/src/cli/tolvane-cli
for exe in "$app" "$cli"; do [ -x "$exe" ] || tv_fail "the build produced no $exe"; done

runlog=$bdir/run
mkdir -p "$runlog"

if [ "$mode" = direct ]; then
  sim=$bdir/tools/lu-sim/lu-sim
  tv_say "Starting the lift-unit simulator (node $node) on a free loopback port"
  tv_start_sim "$runlog/lu-sim.log" "$sim" --bind ::1 --port 0 --node "$node" --key "$key"
  tv_say "lu-sim listens on [$TV_SIM_ADDR]:$TV_SIM_PORT (its log: $build/run/lu-sim.log)"
  link=("-g$node" "-e$TV_SIM_ADDR" "-h$TV_SIM_PORT" "-k$key")
  args=("${link[@]}" enu)
  title="^Tolvane ID:$node"
else
  sim=$bdir/tools/console-sim/console-sim
  tv_say "Starting the console simulator (answering as lift code $lift) on a free loopback port"
  tv_start_sim "$runlog/console-sim.log" "$sim" --bind ::1 --port 0 --lift "$lift" --source lift
  tv_say "console-sim listens on [$TV_SIM_ADDR]:$TV_SIM_PORT (its log: $build/run/console-sim.log)"
  # Without -q the tool's Disp peer is the loopback address, where console-sim listens.
  link=("-v$TV_SIM_PORT" "-I$lift")
  args=("${link[@]}" enu)
  title="^Tolvane CodLift:$lift"
fi
sim_pid=$TV_SIM_PID
sim_log=$runlog/$(basename "$sim").log

# Tolvane writes its error and traffic logs under $HOME; a failed start shows little or nothing
# on screen and only the error log tells why, so its last lines are shown on failure.
logdir=${HOME:-~}/ZARN/logs/Tolvane
show_error_log() {
  local last
  # shellcheck disable=SC2012  # the newest file by time, whatever its number
  last=$(ls -t "$logdir"/bad/*.log 2>/dev/null | head -n1 || true)
  [ -n "$last" ] || return 0
  tv_say "Last lines of Tolvane's error log ($last):"
  tail -n 5 "$last" | sed 's/^/    /'
}

interactive=0
if tv_display_usable; then
  interactive=1
elif [ -n "${DISPLAY:-}" ]; then
  tv_say "DISPLAY=$DISPLAY does not answer; using a private X server instead"
fi

if [ "$interactive" = 1 ]; then
  tv_say "Starting: tolvane ${args[*]}   (on $DISPLAY; close its window to finish)"
  "$app" "${args[@]}" &
  app_pid=$!
  TV_PIDS+=("$app_pid")
  rc=0
  wait "$app_pid" || rc=$?
  tv_forget "$app_pid"
  tv_say "Tolvane ended (exit status $rc)"
  [ "$rc" = 0 ] || show_error_log
else
  tv_say "No display: starting a private Xvfb server"
  tv_start_xvfb "$runlog"
  tv_say "Starting: tolvane ${args[*]}   (on Xvfb $DISPLAY)"
  "$app" "${args[@]}" >"$runlog/tolvane.out" 2>&1 &
  app_pid=$!
  TV_PIDS+=("$app_pid")
  tv_say "Waiting for the main window (title beginning \"${title#^}\")"
  wrc=0
  tv_wait_window "$app_pid" "$title" 30 || wrc=$?
  wid=$TV_WID
  if [ "$wrc" != 0 ]; then
    if [ "$wrc" = 2 ]; then
      arc=0
      wait "$app_pid" || arc=$?
      tv_forget "$app_pid"
      show_error_log
      tv_fail "Tolvane ended (exit status $arc) before its main window opened; see also $build/run/tolvane.out"
    fi
    # Whatever is on screen instead (an error box of the loading dialog, say) tells the most.
    import -window root "$runlog/no-window.png" 2>/dev/null && tv_say "The screen at that moment: $build/run/no-window.png"
    show_error_log
    tv_fail "no main window within 30 s; see also $build/run/tolvane.out"
  fi
  # The window is mapped before GTK has drawn every page; give it a moment to paint.
  sleep 1
  shot=$bdir/screenshot.png
  rm -f "$shot"
  if ! import -window "$wid" "$shot" 2>"$runlog/import.log"; then
    tv_say "Could not photograph the window alone; taking the whole screen"
    import -window root "$shot" 2>>"$runlog/import.log" || tv_fail "screenshot failed (see $build/run/import.log)"
  fi
  tv_say "Closing Tolvane"
  rc=0
  tv_close_and_wait "$app_pid" "$wid" 10 || rc=$?
  tv_say "Tolvane ended (exit status $rc)"
fi

# The same unit without a window: every parameter with its value and default, as JSON.
json=$runlog/cli-read.json
tv_say "Reading the same unit with: tolvane-cli read --json ${link[*]}"
crc=0
"$cli" read --json --lang en "${link[@]}" >"$json" 2>"$runlog/cli-read.err" || crc=$?
if [ "$crc" = 0 ]; then
  tv_say "tolvane-cli read the unit; the first parameters (all of them in $build/run/cli-read.json):"
  awk -F'"' '/"type_name":/ { print "    unit: " $4 }
    /"key":/ { k = $4 } /"label":/ { l = $4 }
    /"value":/ { print "    " k " (" l "): " $4; if (++n == 5) exit }' "$json"
else
  tv_say "tolvane-cli ended with exit status $crc: $(cat "$runlog/cli-read.err")"
  [ "$rc" != 0 ] || rc=$crc
fi

tv_say "Stopping $(basename "$sim")"
tv_stop "$sim_pid" 5
tv_forget "$sim_pid"
# The simulated unit's own account of the loading phase, printed as it ends.
report=$(grep 'first request to answer of word 32' "$sim_log" | tail -n 1 || true)
[ -z "$report" ] || tv_say "${report}"
[ "$interactive" = 1 ] || tv_say "Screenshot of the main window: $shot"
tv_say "Logs of this run: $build/run/ and $logdir"
exit "$rc"
