#!/usr/bin/env bash
# Both soaks in their long forms, each in one process against the simulated unit:
#   session - load-and-close cycles of the command line's session (SessionSoak.*, in-process unit);
#   window  - starts and closes of the window under Xvfb (WindowSoak.*, lu-sim as a process).
# Each prints its threads, file descriptors and resident memory after its first cycles and at
# the end, and fails when they grew beyond a small bound or a cycle's "Stop" is missing from the
# error log.
#
#   bash bench/soak.sh [session cycles] [window cycles]      (default 500 and 100)
#
# Exit status: 0 when both soaks passed, 1 otherwise.
set -euo pipefail
cd "$(dirname "$0")/.."
# shellcheck source=scripts/session.sh
. scripts/session.sh

session_cycles=${1:-500}
window_cycles=${2:-100}
for n in "$session_cycles" "$window_cycles"; do
  [[ "$n" =~ ^[1-9][0-9]*$ ]] || tv_fail "cycles must be a positive number, not '$n'"
done
tv_build tolvane_cli_threaded_tests tolvane_app_tests lu-sim console-sim
export NO_AT_BRIDGE=1 GTK_A11Y=none
rc=0
out=$(mktemp)
trap 'rm -f "$out"' EXIT
run() {
  local what=$1 start
  shift
  tv_say "$what"
  start=$(tv_now_ms)
  "$@" >"$out" 2>&1 || rc=1
  grep -E 'soak, [0-9]+ cycles|OK \]|FAILED|Failure|Expected|actual' "$out" || true
  tv_say "$what: $(( $(tv_now_ms) - start )) ms"
}
run "Session soak, $session_cycles cycles" \
  env TOLVANE_SOAK_CYCLES="$session_cycles" "$bdir/tests/tolvane_cli_threaded_tests" --gtest_filter='SessionSoak.*'
if command -v xvfb-run >/dev/null; then
  run "Window soak, $window_cycles cycles" \
    env TOLVANE_SOAK_CYCLES="$window_cycles" xvfb-run -a -s "-screen 0 1280x1024x24" \
    "$bdir/tests/app/tolvane_app_tests" --gtest_filter='WindowSoak.*'
else
  tv_say "Window soak skipped: no xvfb-run"; rc=1
fi
exit $rc
