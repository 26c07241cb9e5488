#!/usr/bin/env bash
# Builds the library and the qolven tool and shows them on the simulated
# bridge: a virtual board is identified, read, and streamed into a CSV file.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
# The same configuration as scripts/test.sh: only the tool is built here.
cmake --preset default -DQOLVEN_BUILD_TESTS=ON -DQOLVEN_BUILD_TOOLS=ON >/dev/null
cmake --build --preset default -j"$(nproc)" --target qolven
q=build/default/bin/qolven
set -x
$q --simulate --reset-state list
$q --simulate info
$q --simulate read --count 3
$q --simulate get all
$q --simulate set decimal-point 3
$q --simulate get decimal-point
$q --simulate set sampling-rate 13
$q --simulate stream --seconds 2 --output build/default/stream.csv
head -5 build/default/stream.csv
wc -l build/default/stream.csv
