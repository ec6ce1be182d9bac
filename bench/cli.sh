#!/usr/bin/env bash
# tolvane-cli timed against lu-sim, beside the loopback UDP round trip measured in the same run:
#   start   - the process start without a display: tolvane-cli --help, start to end;
#   read    - tolvane-cli read of one unit, the whole process, start to end: once printing the
#             parameters (to /dev/null), once saving the image with -o as a list does for each
#             unit (the save waits for the disk twice: the file, then its folder);
#   fleet   - 20 units (one lu-sim serving 20) read with -j 20, each image saved, the whole process;
#             beside it the processor time of tolvane-cli and of lu-sim per run, and what that
#             allows on this machine's processors at best (their sum shared out evenly); and the
#             same fleet saving its images into memory (/dev/shm), which shows the disk's share;
#   scale   - 200 units (one lu-sim serving 200) read with -j 50: every unit read, and the most threads the
#             process had at any time (sampled from /proc every few milliseconds);
#   rtt     - the median loopback UDP round trip of 40-byte datagrams (bench/udp_rtt).
# Targets: read within 2 x 34 round trips plus the process start; the start under 10 ms; the
# fleet of 20 within twice the single read that saves its image; the 200 units without a failure
# and without more than one thread per unit beyond the pool (a direct unit has no link threads:
# the fleet's thread serves them all).
#
#   bash bench/cli.sh [runs]      (default 10 runs of start, read and fleet)
#
# Exit status: 0 when every run completed (targets met or not), 1 when a run failed.
set -euo pipefail
cd "$(dirname "$0")/.."
# shellcheck source=scripts/session.sh
. scripts/session.sh
tv_own_children
# The fleet's images saved into memory go with the children, on every way out.
memory=
trap 'tv_cleanup; [ -z "$memory" ] || rm -rf "$memory"' EXIT

runs=${1:-10}
# The time keyword prints user and system seconds, nothing else.
TIMEFORMAT="%3U %3S"
tv_positive "$runs" runs
round_trips=34
start_target_ms=10
# Each unit's own link threads in direct mode: none, the fleet's thread receives, sends and ticks
# for every direct unit.
link_threads=0

tv_say "Checking the Debian packages (scripts/deps.sh)"
bash scripts/deps.sh bench
tv_build tolvane-cli lu-sim udp_rtt
cli=$bdir/src/cli/tolvane-cli
sim=$bdir/tools/lu-sim/lu-sim
rtt=$bdir/bench/udp_rtt
for exe in "$cli" "$sim" "$rtt"; do [ -x "$exe" ] || tv_fail "the build produced no $exe"; done

out=$bdir/bench-cli
rm -rf "$out"
mkdir -p "$out/home"
# The runs' logs stay out of the user's own.
export HOME=$out/home

now_us() { echo "${EPOCHREALTIME/./}"; }
median() { sort -g | awk '{ v[NR] = $1 } END { if (NR == 0) exit 1; if (NR % 2) print v[(NR + 1) / 2]; else printf "%.3f\n", (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }
ms_since() { awk -v a="$1" -v b="$(now_us)" 'BEGIN { printf "%.3f", (b - a) / 1000 }'; }
verdict() { if awk -v a="$1" -v b="$2" 'BEGIN { exit !(a <= b) }'; then echo met; else echo "NOT met"; fi; }

# Starts n simulated units (nodes 2001...) in one lu-sim and writes a unit list naming each;
# waits until all listen. One process for the hall: units are machines of their own, and twenty
# simulator processes waking one another on this machine's processors would be timed in place
# of the tool. Quiet: a line per request is the simulator's cost, not the tool's.
# Usage: start_units N LIST
start_units() {
  local n=$1 list=$2 i port log=$out/sim.$1.log
  : >"$list"
  stdbuf -oL "$sim" --quiet --units "$n" --port 0 --node 2001 >"$log" 2>&1 &
  TV_PIDS+=("$!")
  for _ in $(seq 200); do
    [ "$(grep -c '^lu-sim: listening on \[' "$log" || true)" -ge "$n" ] && break
    sleep 0.05
  done
  [ "$(grep -c '^lu-sim: listening on \[' "$log" || true)" -ge "$n" ] ||
    tv_fail "lu-sim did not say where its $n units listen (see $log)"
  i=0
  while read -r port; do
    i=$((i + 1))
    echo "unit$i,-g$((2000 + i)),-e::1,-h$port" >>"$list"
  done < <(sed -nE 's/^lu-sim: listening on \[.*\]:([0-9]+).*$/\1/p' "$log")
}

# All at once: each takes its time to send close-link and report, and they may take it together.
stop_units() {
  local p
  for p in "${TV_PIDS[@]}"; do kill -TERM "$p" 2>/dev/null || true; done
  for p in "${TV_PIDS[@]}"; do wait "$p" 2>/dev/null || true; done
  TV_PIDS=()
}

failed=0

tv_say "Loopback round trip"
r=$("$rtt" -n 1000 -s 40 -a ::1 | sed -E 's/.*median ([0-9.]+) us.*/\1/')
printf 'udp rtt: median %s us\n' "$r"

tv_say "Process start: tolvane-cli --help, $runs runs"
starts=()
for ((run = 1; run <= runs; run++)); do
  t=$(now_us)
  "$cli" --help --lang en >/dev/null
  starts+=("$(ms_since "$t")")
done
ms=$(printf '%s\n' "${starts[@]}" | median)
printf 'start: median %s ms (runs: %s)\n' "$ms" "${starts[*]}"

tv_say "One unit: tolvane-cli read against lu-sim, $runs runs"
start_units 1 "$out/one.csv"
link=$(cut -d, -f2- "$out/one.csv" | tr ',' ' ')
reads=() saves=()
for ((run = 1; run <= runs; run++)); do
  for what in print save; do
    args=()
    [ "$what" = print ] || args=(-o "$out/one.046")
    t=$(now_us)
    # shellcheck disable=SC2086  # the link options are words
    if "$cli" read $link "${args[@]}" >/dev/null 2>"$out/read.err"; then
      if [ "$what" = print ]; then reads+=("$(ms_since "$t")"); else saves+=("$(ms_since "$t")"); fi
    else
      printf 'read run %d: FAILED: %s\n' "$run" "$(cat "$out/read.err")"
      failed=$((failed + 1))
    fi
  done
done
stop_units
if [ "${#reads[@]}" = 0 ] || [ "${#saves[@]}" = 0 ]; then tv_fail "no read completed"; fi
mread=$(printf '%s\n' "${reads[@]}" | median)
msave=$(printf '%s\n' "${saves[@]}" | median)
printf 'read: median %s ms (runs: %s)\n' "$mread" "${reads[*]}"
printf 'read -o: median %s ms (runs: %s)\n' "$msave" "${saves[*]}"

tv_say "20 units: tolvane-cli read --units (one lu-sim, 20 units) -j 20, $runs runs"
start_units 20 "$out/twenty.csv"
sim_pid=${TV_PIDS[-1]}
# Processor time in clock ticks, user and system, of a running process.
ticks() { awk '{ print $14 + $15 }' "/proc/$1/stat"; }
if [ -d /dev/shm ] && [ -w /dev/shm ]; then memory=$(mktemp -d /dev/shm/tolvane-bench.XXXXXX); fi
fleets=() fleets_cpu=() fleets_memory=()
sim_ticks=0
# Reads the list once, saving its images into DIR; adds the wall time to the array named by
# WALLS and prints the failing lines when it fails. bash's time leaves the program's user and
# system seconds in $out/twenty.time.
# Usage: read_fleet DIR WALLS
read_fleet() {
  local t
  local -n walls=$2
  t=$(now_us)
  if { time "$cli" read --units "$out/twenty.csv" -j 20 -o "$1" >"$out/twenty.out" 2>&1; } \
    2>"$out/twenty.time"; then
    walls+=("$(ms_since "$t")")
    return 0
  fi
  printf 'fleet run into %s: FAILED:\n%s\n' "$1" "$(grep -v $'\tok\t' "$out/twenty.out" || true)"
  failed=$((failed + 1))
  return 1
}
for ((run = 1; run <= runs; run++)); do
  before=$(ticks "$sim_pid")
  if read_fleet "$out/twenty" fleets; then
    read -r user sys <"$out/twenty.time"
    fleets_cpu+=("$(awk -v u="$user" -v s="$sys" 'BEGIN { printf "%.3f", (u + s) * 1000 }')")
  fi
  sim_ticks=$((sim_ticks + $(ticks "$sim_pid") - before))
  [ -z "$memory" ] || read_fleet "$memory" fleets_memory || true
done
stop_units
mfleet=
if [ "${#fleets[@]}" -gt 0 ]; then
  mfleet=$(printf '%s\n' "${fleets[@]}" | median)
  printf 'fleet of 20: median %s ms (runs: %s)\n' "$mfleet" "${fleets[*]}"
  cli_cpu=$(printf '%s\n' "${fleets_cpu[@]}" | median)
  sim_cpu=$(awk -v t="$sim_ticks" -v n="$runs" -v hz="$(getconf CLK_TCK)" 'BEGIN { printf "%.1f", t * 1000 / hz / n }')
  cpus=$(nproc)
  printf 'fleet of 20, processor time per run: tolvane-cli median %s ms, lu-sim %s ms; on %d processors at best %s ms\n' \
    "$cli_cpu" "$sim_cpu" "$cpus" "$(awk -v a="$cli_cpu" -v b="$sim_cpu" -v n="$cpus" 'BEGIN { printf "%.1f", (a + b) / n }')"
fi
if [ "${#fleets_memory[@]}" -gt 0 ]; then
  printf 'fleet of 20, images saved into memory: median %s ms (runs: %s)\n' \
    "$(printf '%s\n' "${fleets_memory[@]}" | median)" "${fleets_memory[*]}"
fi

tv_say "200 units: tolvane-cli read --units (one lu-sim, 200 units) -j 50, once, its threads sampled"
start_units 200 "$out/many.csv"
t=$(now_us)
"$cli" read --units "$out/many.csv" -j 50 -o "$out/many" >"$out/many.out" 2>&1 &
cli_pid=$!
max_threads=0
while kill -0 "$cli_pid" 2>/dev/null; do
  n=$(awk '/^Threads:/ { print $2 }' "/proc/$cli_pid/status" 2>/dev/null || echo 0)
  [ "${n:-0}" -le "$max_threads" ] || max_threads=$n
  sleep 0.002
done
scale_rc=0
wait "$cli_pid" || scale_rc=$?
mscale=$(ms_since "$t")
stop_units
ok=$(grep -c $'\tok\t' "$out/many.out" || true)
images=$(find "$out/many" -name '*.046' -size 64c | wc -l)
printf '200 units: %s ms, exit status %d, %d units ok, %d images, at most %d threads\n' \
  "$mscale" "$scale_rc" "$ok" "$images" "$max_threads"
if [ "$scale_rc" != 0 ] || [ "$ok" != 200 ]; then failed=$((failed + 1)); fi

echo "---"
budget=$(awk -v r="$r" -v n="$round_trips" -v s="$ms" 'BEGIN { printf "%.3f", 2 * n * r / 1000 + s }')
printf 'target: read <= 2 x %d round trips + start = %s ms: %s (%s ms, %.1f round trips after the start)\n' \
  "$round_trips" "$budget" "$(verdict "$mread" "$budget")" "$mread" \
  "$(awk -v l="$mread" -v s="$ms" -v r="$r" 'BEGIN { print (l - s) * 1000 / r }')"
printf 'target: start < %d ms: %s (%s ms)\n' "$start_target_ms" "$(verdict "$ms" "$start_target_ms")" "$ms"
if [ -n "$mfleet" ]; then
  twice=$(awk -v a="$msave" 'BEGIN { printf "%.3f", 2 * a }')
  printf 'target: fleet of 20 <= 2 x read -o = %s ms: %s (%s ms)\n' "$twice" "$(verdict "$mfleet" "$twice")" "$mfleet"
fi
# Beyond the 50 running units' link threads: the main thread, the log writers, and nothing per unit.
beyond=$((max_threads - 50 * link_threads))
printf 'target: 200 units, no failure, <= 1 thread per unit beyond its link threads (<= %d): %s (%d beyond %d x %d link threads)\n' \
  50 "$(verdict "$beyond" 50)" "$beyond" 50 "$link_threads"
[ "$failed" = 0 ] || { printf '%d runs failed\n' "$failed"; exit 1; }
