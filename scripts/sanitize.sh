#!/usr/bin/env bash
# Runs the core tests under AddressSanitizer + UndefinedBehaviorSanitizer, and the threaded
# tests under ThreadSanitizer. The application and the benchmarks are not built here.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh build
common=(-G Ninja -DCMAKE_BUILD_TYPE=Debug -DTOLVANE_BUILD_APP=OFF -DTOLVANE_BUILD_BENCH=OFF)
which=${1:-all}
if [ "$which" = all ] || [ "$which" = asan ]; then
  cmake -S . -B build-asan "${common[@]}" -DTOLVANE_ASAN=ON
  cmake --build build-asan
  ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
    ctest --test-dir build-asan --output-on-failure -j2
fi
if [ "$which" = all ] || [ "$which" = tsan ]; then
  cmake -S . -B build-tsan "${common[@]}" -DTOLVANE_TSAN=ON
  cmake --build build-tsan
  TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 \
    ctest --test-dir build-tsan --output-on-failure -j2 -L threaded
fi
