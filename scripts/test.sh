#!/usr/bin/env bash
# Builds and runs every test: the 32-bit target, x86-64, and the x86-64 suite
# under AddressSanitizer and UndefinedBehaviorSanitizer, the threading tests
# (label threads) under ThreadSanitizer, then the fuzz targets for a bounded
# time.  Usage: scripts/test.sh [--quick]
#   --quick  skips the sanitizer builds and the fuzzing.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
jobs=$(nproc)
quick=0
[ "${1:-}" = "--quick" ] && quick=1

run_preset() {
  local preset=$1
  echo "=== $preset: configure, build, test"
  # Explicit, so that a build directory configured by the demo (or by hand)
  # cannot leave the tests or the tool out.
  cmake --preset "$preset" -DQOLVEN_BUILD_TESTS=ON -DQOLVEN_BUILD_TOOLS=ON >/dev/null
  cmake --build --preset "$preset" -j"$jobs"
  ctest --preset "$preset" -j"$jobs"
}

run_preset i386
file build/i386/lib/libqolven_usb.so.1* | grep -q "ELF 32-bit" || { echo "i386 library is not ELF 32-bit"; exit 1; }
run_preset default
if [ $quick -eq 0 ]; then
  run_preset sanitize
  # Only the threading tests: the preset builds their executable alone.
  echo "=== tsan: configure, build, test (label threads)"
  cmake --preset tsan >/dev/null
  cmake --build --preset tsan -j"$jobs"
  ctest --preset tsan -j"$jobs"
  if [ -x scripts/fuzz.sh ]; then scripts/fuzz.sh --ci; fi
fi
echo "=== all tests passed"
