#!/usr/bin/env bash
# The main job timed: Tolvane in direct mode against lu-sim on a private Xvfb server, several
# runs in a row. Each run measures
#   first   - from starting the program to its first window (the loading dialog) on screen,
#   window  - from starting the program to its main window on screen (both polled every ~10 ms),
#   loading - lu-sim's own figure: from the first request it gets to its answer of word 32,
#   rtt     - the median loopback UDP round trip of 40-byte datagrams (bench/udp_rtt),
# and the medians are held against the targets: the loading phase within 2 x 34 round trips
# (the link's opening, the device parameters and the 32 words: 34 exchanges, each allowed a
# second round trip for the acknowledgements), and the window within 1 s.
#
#   bash bench/main-job.sh [runs]      (default 5 runs)
#
# Exit status: 0 when every run completed (targets missed or not), 1 when a run failed.
set -euo pipefail
cd "$(dirname "$0")/.."
# shellcheck source=scripts/session.sh
. scripts/session.sh
tv_own_children

runs=${1:-5}
tv_positive "$runs" runs
node=104233
key=3A5F0C1B92D4E76A08B1C3D5E7F90213
round_trips=34
window_target_ms=1000

tv_say "Checking the Debian packages (scripts/deps.sh)"
bash scripts/deps.sh app bench
# The build of scripts/run.sh and scripts/test.sh; TOLVANE_BUILD_DIR points at another one.
tv_build tolvane lu-sim udp_rtt
app=$bdir/src/app/tolvane
sim=$bdir/tools/lu-sim/lu-sim
rtt=$bdir/bench/udp_rtt
for exe in "$app" "$sim" "$rtt"; do [ -x "$exe" ] || tv_fail "the build produced no $exe"; done

out=$bdir/bench-main-job
mkdir -p "$out"
tv_start_xvfb "$out"
tv_say "Xvfb on $DISPLAY; $runs runs"

# Reads lu-sim's exit report "... word 32: <number> <unit>" and prints milliseconds, or nothing.
loading_ms() {
  grep -m1 -E 'word 32: [0-9.]+ ?(ns|us|µs|ms|s)\b' "$1" |
    sed -E 's/.*word 32: ([0-9.]+) ?(ns|us|µs|ms|s).*/\1 \2/' |
    awk '{ f = ($2 == "ns") ? 1e-6 : ($2 == "us" || $2 == "µs") ? 1e-3 : ($2 == "s") ? 1000 : 1; printf "%.3f\n", $1 * f }'
}

median() { sort -g | awk '{ v[NR] = $1 } END { if (NR == 0) exit 1; if (NR % 2) print v[(NR + 1) / 2]; else printf "%.3f\n", (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }

firsts=() windows=() loadings=() rtts=()
failed=0
for ((run = 1; run <= runs; run++)); do
  simlog=$out/lu-sim.$run.log
  tv_start_sim "$simlog" "$sim" --bind ::1 --port 0 --node "$node" --key "$key"
  sim_pid=$TV_SIM_PID

  start=$(tv_now_ms)
  "$app" "-g$node" "-e$TV_SIM_ADDR" "-h$TV_SIM_PORT" "-k$key" enu >"$out/tolvane.$run.out" 2>&1 &
  app_pid=$!
  TV_PIDS+=("$app_pid")
  wrc=0
  tv_wait_window "$app_pid" "^Tolvane ID:$node" 30 || wrc=$?
  wid=$TV_WID
  shown=$(tv_now_ms)
  if [ "$wrc" != 0 ]; then
    printf 'run %d: FAILED - %s\n' "$run" "$([ "$wrc" = 2 ] && echo 'Tolvane ended without a window' || echo 'no window within 30 s')"
    tv_stop "$app_pid" 3
    tv_forget "$app_pid"
    tv_stop "$sim_pid" 5
    tv_forget "$sim_pid"
    failed=$((failed + 1))
    continue
  fi
  window=$((shown - start))
  first=$((TV_FIRST_MS - start))
  tv_close_and_wait "$app_pid" "$wid" 10 || true
  tv_stop "$sim_pid" 5
  tv_forget "$sim_pid"
  loading=$(loading_ms "$simlog" || true)

  # Measured with the program gone and lu-sim stopped, so the yardstick has the machine to itself
  # as the link had.
  r=$("$rtt" -n 1000 -s 40 -a ::1 | sed -E 's/.*median ([0-9.]+) us.*/\1/')

  windows+=("$window")
  firsts+=("$first")
  rtts+=("$r")
  if [ -n "$loading" ]; then
    loadings+=("$loading")
    per=$(awk -v l="$loading" -v r="$r" 'BEGIN { printf "%.1f", l * 1000 / r }')
    printf 'run %d: first window %5d ms, main window %5d ms   loading %8.3f ms (%s round trips)   udp rtt %6.1f us\n' \
      "$run" "$first" "$window" "$loading" "$per" "$r"
  else
    printf 'run %d: first window %5d ms, main window %5d ms   loading: no report from lu-sim (see %s)   udp rtt %6.1f us\n' \
      "$run" "$first" "$window" "$simlog" "$r"
  fi
done

[ "${#windows[@]}" -gt 0 ] || tv_fail "no run completed"
mw=$(printf '%s\n' "${windows[@]}" | median)
mf=$(printf '%s\n' "${firsts[@]}" | median)
mr=$(printf '%s\n' "${rtts[@]}" | median)
echo "---"
printf 'median of %d runs: first window %s ms, main window %s ms, udp rtt %s us' "${#windows[@]}" "$mf" "$mw" "$mr"
if [ "${#loadings[@]}" -gt 0 ]; then
  ml=$(printf '%s\n' "${loadings[@]}" | median)
  printf ', loading %s ms\n' "$ml"
else
  ml=
  printf ', loading: no figure\n'
fi

budget=$(awk -v r="$mr" -v n="$round_trips" 'BEGIN { printf "%.3f", 2 * n * r / 1000 }')
verdict() { if awk -v a="$1" -v b="$2" 'BEGIN { exit !(a <= b) }'; then echo met; else echo "NOT met"; fi; }
if [ -n "$ml" ]; then
  printf 'target: loading <= 2 x %d round trips = %s ms: %s (%s ms, %.1f round trips)\n' \
    "$round_trips" "$budget" "$(verdict "$ml" "$budget")" "$ml" "$(awk -v l="$ml" -v r="$mr" 'BEGIN { print l * 1000 / r }')"
else
  printf 'target: loading <= 2 x %d round trips = %s ms: no figure\n' "$round_trips" "$budget"
fi
printf 'target: main window within %d ms: %s (%s ms)\n' "$window_target_ms" "$(verdict "$mw" "$window_target_ms")" "$mw"
[ "$failed" = 0 ] || { printf '%d of %d runs failed\n' "$failed" "$runs"; exit 1; }
