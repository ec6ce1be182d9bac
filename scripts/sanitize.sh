#!/usr/bin/env bash
# Runs the core tests under AddressSanitizer + UndefinedBehaviorSanitizer, and the threaded
# tests under ThreadSanitizer. The application and the benchmarks are not built here.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh build
# The presets (CMakePresets.json) hold the build directories, the options and the sanitizers'
# run-time settings; the tsan test preset picks the threaded tests.
which=${1:-all}
for preset in asan tsan; do
  if [ "$which" = all ] || [ "$which" = "$preset" ]; then
    cmake --preset "$preset"
    cmake --build --preset "$preset"
    ctest --preset "$preset"
  fi
done
