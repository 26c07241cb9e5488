#!/usr/bin/env bash
# Builds the libFuzzer targets (clang, build-fuzz/) and runs each of them.
#   scripts/fuzz.sh          long run: FUZZ_SECONDS (default 900) per target
#   scripts/fuzz.sh --ci     bounded run: 60 s per target
#   scripts/fuzz.sh --ci response fast   only the targets named
# New inputs go to build-fuzz/corpus/<target>/ (the seeds in
# fuzz/corpus/<target>/ are only read); a crash leaves its input in
# build-fuzz/artifacts/ and fails the script.
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=${FUZZ_SECONDS:-900}
if [ "${1:-}" = "--ci" ]; then
  seconds=60
  shift
fi
targets=("$@")
[ ${#targets[@]} -eq 0 ] && targets=(response additional fast parameters)

build=build-fuzz
echo "=== fuzz: configure and build ($build)"
CC=clang CXX=clang++ cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQOLVEN_FUZZ=ON \
  -DQOLVEN_BUILD_TESTS=OFF -DQOLVEN_BUILD_TOOLS=OFF >/dev/null
cmake --build "$build" --target fuzz -j"$(nproc)" >/dev/null

mkdir -p "$build/artifacts"
total=0
for target in "${targets[@]}"; do
  work="$build/corpus/$target"
  mkdir -p "$work"
  log="$build/fuzz_$target.log"
  echo "=== fuzz_$target: ${seconds}s"
  status=0
  "$build/bin/fuzz_$target" "$work" "fuzz/corpus/$target" -max_total_time="$seconds" -timeout=10 \
    -rss_limit_mb=2048 -print_final_stats=1 -artifact_prefix="$build/artifacts/${target}-" >"$log" 2>&1 || status=$?
  runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
  total=$((total + ${runs:-0}))
  grep -E '^#[0-9]+[[:space:]]+DONE' "$log" | tail -1 || true
  if [ $status -ne 0 ]; then
    echo "fuzz_$target failed (exit $status):"
    grep -E -A30 'ERROR|breach|==[0-9]+==|^[A-Z][A-Za-z_]+: ' "$log" | head -60
    exit 1
  fi
done
echo "=== fuzz: ${total} executions, no failure"
