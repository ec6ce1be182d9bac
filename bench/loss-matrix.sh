#!/usr/bin/env bash
# The loss matrix at the units' own pace: the command line's session loads a simulated unit,
# writes all 32 words changed and reads them back, over V7 (lu-sim) and over the console
# (console-sim), under each fault of tools/loss-matrix, with seeds 1..N of the simulators' draws.
# Every run of every cell goes at once, so the whole takes about as long as the slowest run
# (a minute or two). Prints per cell and link the load time (min, median, max over the seeds)
# and how the runs ended; the suite runs the same matrix at a tenth of the pace (LossMatrix.*).
#
#   bash bench/loss-matrix.sh [seeds]      (default 10)
#
# Exit status: 0 when every run ended as the matrix allows, 1 otherwise.
set -euo pipefail
cd "$(dirname "$0")/.."
# shellcheck source=scripts/session.sh
. scripts/session.sh

seeds=${1:-10}
tv_positive "$seeds" seeds
tv_build loss-matrix lu-sim console-sim
# The tool's logs go under HOME: a scratch one, gone afterwards.
home=$(mktemp -d)
trap 'rm -rf "$home"' EXIT
tv_say "Loss matrix at the units' own pace, seeds 1..$seeds"
start=$(tv_now_ms)
rc=0
HOME=$home "$bdir/tools/loss-matrix/loss-matrix" --pace 1 --seeds "$seeds" || rc=$?
tv_say "Done in $(( ($(tv_now_ms) - start) / 1000 )) s"
exit $rc
