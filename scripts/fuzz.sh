#!/usr/bin/env bash
# The libFuzzer targets in fuzz/, built with clang in build-fuzz/.
#   scripts/fuzz.sh                 builds every target and replays every corpus once (CI)
#   scripts/fuzz.sh --replay        the same
#   scripts/fuzz.sh NAME SECONDS    builds one target and fuzzes it for that long; new inputs
#                                   go to build-fuzz/work/NAME, findings to build-fuzz/findings/NAME
#   scripts/fuzz.sh --seeds         writes the generated seeds into fuzz/corpus again
#   scripts/fuzz.sh --list          names the targets
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh build fuzz

build=build-fuzz
launcher=()
if command -v ccache >/dev/null; then launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache -DCMAKE_C_COMPILER_LAUNCHER=ccache); fi
configure() {
  cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ "${launcher[@]}" \
    -DTOLVANE_FUZZ=ON -DTOLVANE_BUILD_APP=OFF -DTOLVANE_BUILD_TESTS=OFF -DTOLVANE_BUILD_BENCH=OFF \
    -DTOLVANE_ASAN=OFF -DTOLVANE_TSAN=OFF >/dev/null
}
targets() {
  cat "$build/fuzz/targets.txt"
}
# Sanitizer findings end the run with a report; leaks count as findings too.
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1

case "${1:---replay}" in
  --list)
    configure
    targets
    ;;
  --replay)
    configure
    cmake --build "$build" --target tolvane_fuzz
    for t in $(targets); do
      echo "replay $t: $(find "fuzz/corpus/$t" -type f | wc -l) inputs"
      "$build/fuzz/fuzz_$t" -runs=0 "fuzz/corpus/$t" 2>"$build/replay-$t.log" ||
        { cat "$build/replay-$t.log"; echo "replay $t FAILED" >&2; exit 1; }
    done
    echo "every corpus replayed without a finding"
    ;;
  --seeds)
    configure
    cmake --build "$build" --target tolvane_fuzz_seeds
    "$build/fuzz/tolvane_fuzz_seeds" fuzz/corpus
    ;;
  *)
    name=$1
    seconds=${2:?usage: scripts/fuzz.sh NAME SECONDS}
    targets | grep -qx "$name" || { echo "fuzz.sh: no target '$name' (see --list)" >&2; exit 2; }
    configure
    cmake --build "$build" --target "fuzz_$name"
    mkdir -p "$build/work/$name" "$build/findings/$name"
    dict=()
    if [ -f "fuzz/$name.dict" ]; then dict=(-dict="fuzz/$name.dict"); fi
    # New inputs go to the work folder; fuzz/corpus stays as committed.
    "$build/fuzz/fuzz_$name" -max_total_time="$seconds" -print_final_stats=1 "${dict[@]}" \
      -artifact_prefix="$build/findings/$name/" "$build/work/$name" "fuzz/corpus/$name"
    ;;
esac
