#!/usr/bin/env bash
# The main job. The application window and the lift-unit simulator are not built yet, so for
# now this builds the library and its tools and shows what the program will say: the texts of
# its start-up and link messages in both languages.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh build
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build build --target tolvane-texts
./build/tools/texts/tolvane-texts 1104 1105 1106 1107 1110 1111
