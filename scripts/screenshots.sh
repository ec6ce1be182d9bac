#!/usr/bin/env bash
# Copies the pictures of both pages in both languages, which the window tests leave in
# build/screenshots, into docs/ for the README. Run after `bash scripts/test.sh`.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${TOLVANE_BUILD_DIR:-build}
for name in en-service en-grid ru-service ru-grid; do
  [ -s "$build/screenshots/$name.png" ] || { echo "no $build/screenshots/$name.png: run the tests first" >&2; exit 1; }
  cp "$build/screenshots/$name.png" "docs/$name.png"
done
echo "docs/: en-service.png en-grid.png ru-service.png ru-grid.png"
