#!/usr/bin/env bash
# Applies the repository's .clang-format to every C++ file under version control, or with
# --check only reports the files that differ from it (and fails when any does).
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh format
mapfile -t files < <(git ls-files '*.cpp' '*.h' '*.hpp' '*.cc')
if [ "${1:-}" = --check ]; then
  clang-format --dry-run -Werror "${files[@]}"
else
  clang-format -i "${files[@]}"
fi
