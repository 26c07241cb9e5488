#!/usr/bin/env bash
# Installs the Debian packages the build, the tests and the tools need
# (only those missing), then fetches FTDI's D2XX package for the conformance
# test (scripts/fetch-d2xx.sh; the test skips without it).  Needs root or sudo.
set -euo pipefail
cd "$(dirname "$0")/.."
packages=(cmake make g++ gcc g++-multilib gcc-multilib qemu-user libgtest-dev googletest
          libbenchmark-dev clang libclang-rt-dev valgrind pkg-config dpkg-dev file binutils)
# npm may come with a Node.js that is not Debian's; only ask for Debian's without one.
command -v npm >/dev/null || packages+=(npm)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -ne 0 ]; then
  sudo=""
  [ "$(id -u)" -ne 0 ] && sudo="sudo"
  echo "installing: ${missing[*]}"
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq "${missing[@]}" >/dev/null
fi
scripts/fetch-d2xx.sh >/dev/null ||
  echo "warning: FTDI's D2XX package not fetched; the real-D2XX conformance tests will be skipped" >&2
