#!/usr/bin/env bash
# Benchmarks of the driver library against the simulated bridge: its own CPU
# time and instructions per exchange, throughput against the wire, memory per
# device (x86-64 and i386), the cost growth of fast data, and many devices
# streaming from one process.  What the figures mean and the latest results:
# bench/README.md.
#
# Usage: scripts/bench.sh [--quick] [--build DIR]
#   --quick      short runs (a smoke test of the benchmarks, figures rough)
#   --build DIR  build directory (default build/bench; the 32-bit build goes
#                to DIR/i386); results are written to DIR/results
#
# Needs Google Benchmark and valgrind (scripts/install-deps.sh installs them).
# Timing figures are CPU time, medians of 5 runs; instruction counts come from
# callgrind and repeat exactly, so they are the ones to compare across runs on
# a shared machine.
set -euo pipefail
cd "$(dirname "$0")/.."

quick=0
build=build/bench
while [ $# -gt 0 ]; do
  case "$1" in
    --quick) quick=1 ;;
    --build) build=$2; shift ;;
    *) echo "usage: $0 [--quick] [--build DIR]" >&2; exit 2 ;;
  esac
  shift
done
results=$build/results
mkdir -p "$results"

scripts/install-deps.sh
jobs=2
configure=(-DCMAKE_BUILD_TYPE=Release -DQOLVEN_BUILD_BENCH=ON)
echo "=== build: x86-64 in $build, i386 in $build/i386"
cmake -S . -B "$build" "${configure[@]}" >/dev/null
targets=(exchange_bench memory_bench bench_support_test devices_bench)
[ -f bench/stream_bench.cpp ] && targets+=(stream_bench)
cmake --build "$build" -j"$jobs" --target "${targets[@]}"
cmake -S . -B "$build/i386" --toolchain cmake/i386-linux.cmake "${configure[@]}" >/dev/null
cmake --build "$build/i386" -j"$jobs" --target memory_bench

# The replay, the packets and the pause switch the figures rest on.
"$build/bin/bench_support_test" --gtest_brief=1

bench=$build/bin/exchange_bench
if [ $quick -eq 1 ]; then
  timing=(--benchmark_min_time=0.05)
  calls=200
else
  timing=(--benchmark_repetitions=5 --benchmark_report_aggregates_only=true)
  calls=2000
fi
cases=(identification register_read parameter_get parameter_set normal_data fast_data/0 fast_data/64)

echo
echo "=== Exchanges and cost growth: CPU time, library/ minus bridge/"
"$bench" --benchmark_filter='^(library|bridge)/' --benchmark_color=false "${timing[@]}" | tee "$results/exchanges.txt"

# Instructions of N warm calls.  Collection is on inside the measured call
# and off inside the bridge (FT_*), so what is left is the library's own,
# the C and C++ runtime it calls included.
count() {  # output file, then the callgrind options and the command
  local out=$1
  shift
  valgrind --tool=callgrind --callgrind-out-file="$out" --collect-atstart=no \
    --toggle-collect=qbench_measured "$@" >/dev/null 2>&1
}
instructions() {  # callgrind file, calls
  awk -v n="$2" '/^totals:/ { printf "%.0f", $2 / n }' "$1"
}

echo
echo "=== Instructions per call ($calls warm calls under callgrind)"
printf "%-16s %10s %14s %14s %16s\n" case exchanges "library/call" "library/exch." "bridge/exchange"
for c in "${cases[@]}"; do
  base=$results/callgrind.$(echo "$c" | tr / _)
  count "$base" --toggle-collect='FT_*' "$bench" --calls "$c" "$calls"
  count "$base.bridge" "$bench" --calls "$c" "$calls" --bridge
  exchanges=$("$bench" --calls "$c" 1 | sed -n 's/.*exchanges=\([0-9]*\).*/\1/p')
  l=$(instructions "$base" "$calls")
  b=$(instructions "$base.bridge" "$calls")
  printf "%-16s %10s %14s %14s %16s\n" "$c" "$exchanges" "$l" $((l / exchanges)) $((b / exchanges))
done | tee "$results/instructions.txt"

# Where the library's instructions go: own cost per function, per call.
hotspots() {  # case
  local file=$results/callgrind.$(echo "$1" | tr / _)
  echo "--- $1: instructions per call by function (the function's own)"
  callgrind_annotate --threshold=100 "$file" 2>/dev/null \
    | grep -E '^ *[0-9,]+ \(' | grep -vE 'PROGRAM TOTALS|below main|libc_start|ld-linux|qbench' \
    | sed -E 's/std::__cxx11::basic_string<char, std::char_traits<char>, std::allocator<char> >/std::string/g;
              s/\[abi:cxx11\]//g; s/_QOLVEN_USB_DLL::(detail::)?//g; s/ \[[^]]*\]$//;
              s/^ *([0-9,]+) \([ 0-9.]+%\) +(\?\?\?|\.\/[^:]*):/\1 /' \
    | awk -v n="$calls" 'NR <= 12 { v = $1; gsub(",", "", v); $1 = ""; printf "%10.0f %s\n", v / n, substr($0, 2) }'
}
echo
echo "=== Hot spots"
for c in parameter_get fast_data/64; do hotspots "$c"; done | tee "$results/hotspots.txt"

echo
echo "=== Throughput against the wire (answer delay 1500 us)"
"$bench" --benchmark_filter='^throughput/' --benchmark_color=false | tee "$results/throughput.txt"

if [ -x "$build/bin/stream_bench" ]; then
  echo
  echo "=== Fast-data streaming, lost samples (stream_bench; bench/README.md, Fast data streaming)"
  "$build/bin/stream_bench" $([ $quick -eq 1 ] && echo 2 || echo 10) | tee "$results/stream.txt"
fi

echo
echo "=== Many devices, one thread and object each, streaming fast data (devices_bench; bench/README.md, Many devices)"
"$build/bin/devices_bench" $([ $quick -eq 1 ] && echo "1 1 4 16" || echo 10) | tee "$results/devices.txt"

echo
echo "=== Memory"
{
  "$build/bin/memory_bench"
  echo
  "$build/i386/bin/memory_bench"
  echo
  echo "library code and data (size, berkeley format):"
  size "$build"/lib/libqolven_usb.so.*.*.* "$build"/i386/lib/libqolven_usb.so.*.*.*
} | tee "$results/memory.txt"

echo
echo "=== results in $results"
