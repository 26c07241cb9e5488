#!/usr/bin/env bash
# Builds both examples against the unpacked packages in $QOLVEN_WORK/root and
# runs them on the simulated bridge.
#   check_examples.sh find_package   through the CMake package
#   check_examples.sh pkg-config     through the Makefile line in each example's CMakeLists.txt
set -euo pipefail

mode=$1
root=$QOLVEN_WORK/root
lib=$root/usr/$QOLVEN_LIBDIR
out=$QOLVEN_WORK/$mode
examples=$QOLVEN_SOURCE_DIR/examples
rm -rf "$out"
mkdir -p "$out"

case $mode in
  find_package)
    toolchain=()
    [ -n "$QOLVEN_TOOLCHAIN" ] && toolchain=(-DCMAKE_TOOLCHAIN_FILE="$QOLVEN_TOOLCHAIN")
    "$QOLVEN_CMAKE" -S "$examples" -B "$out" "${toolchain[@]}" -DCMAKE_BUILD_TYPE=Release \
      -DCMAKE_PREFIX_PATH="$root/usr" -DCMAKE_FIND_USE_PACKAGE_REGISTRY=OFF -DQOLVEN_USE_SIM=ON > "$out/configure.log" 2>&1 ||
      { cat "$out/configure.log"; exit 1; }
    "$QOLVEN_CMAKE" --build "$out" > "$out/build.log" 2>&1 || { cat "$out/build.log"; exit 1; }
    minimal=$out/minimal/qolven_minimal
    stream=$out/streaming/qolven_stream
    ;;
  pkg-config)
    # Only the unpacked .pc files, with their /usr paths moved under the root.
    export PKG_CONFIG_LIBDIR=$lib/pkgconfig PKG_CONFIG_PATH= PKG_CONFIG_SYSROOT_DIR=$root
    for example in minimal streaming; do
      rule=$(sed -n 's/^#   \(qolven_[a-z]*: main\.cpp ;.*qolven_d2xx_sim.*\)$/\1/p' "$examples/$example/CMakeLists.txt")
      [ -n "$rule" ] || { echo "no pkg-config Makefile line for the simulated bridge in $example/CMakeLists.txt"; exit 1; }
      echo "$rule" > "$out/$example.mk"
      make -C "$out" -f "$out/$example.mk" VPATH="$examples/$example" CXX="$QOLVEN_CXX $QOLVEN_CXXFLAGS" \
        > "$out/$example.log" 2>&1 || { cat "$out/$example.mk" "$out/$example.log"; exit 1; }
    done
    minimal=$out/qolven_minimal
    stream=$out/qolven_stream
    export LD_LIBRARY_PATH=$lib
    ;;
  *)
    echo "unknown mode $mode"
    exit 2
    ;;
esac

# The simulated bridge's default device: board type 2, serial SIM0001.
unset QOLVEN_SIM_CONFIG QOLVEN_SIM_STATE
run() { $QOLVEN_EMULATOR "$@"; }

failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

if ! run "$minimal" > "$out/minimal.out" 2>&1; then
  cat "$out/minimal.out"
  fail "qolven_minimal failed"
fi
grep -qx 'serial SIM0001' "$out/minimal.out" || fail "qolven_minimal did not open SIM0001"
grep -q '^board type 2,' "$out/minimal.out" || fail "qolven_minimal did not identify board type 2"
counts=$(grep -cE '^count ([1-9]|10): -?[0-9]+$' "$out/minimal.out" || true)
[ "$counts" -eq 10 ] || fail "qolven_minimal printed $counts counts instead of 10"

# About one second of streaming: the default board samples a few times a second.
if ! run "$stream" 50 20 > "$out/stream.csv" 2> "$out/stream.err"; then
  cat "$out/stream.err"
  fail "qolven_stream failed"
fi
head -1 "$out/stream.csv" | grep -qx 'sample,channel,count,packet_samples,date,time' || fail "CSV header missing"
# Sample numbers run from 0 without gaps; every line has its six fields.
awk -F, 'NR > 1 {
    if ($0 !~ /^[0-9]+,0,-?[0-9]+,[1-9][0-9]*,"[^"]+",[^,]+$/) { print "bad CSV line: " $0; bad = 1 }
    else if ($1 != NR - 2) { print "sample " $1 " where " NR - 2 " was due"; bad = 1 }
  }
  END { if (NR < 2) { print "no samples streamed"; bad = 1 } exit bad }' "$out/stream.csv" || fail "qolven_stream CSV"

if [ $failures -ne 0 ]; then
  echo "$failures check(s) failed; output in $out"
  exit 1
fi
echo "examples built through $mode and ran on the simulated bridge"
