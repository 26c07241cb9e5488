#!/usr/bin/env bash
# Installs the Debian packages the build, the tests and the tools need
# (only those missing).  Needs root or sudo.
set -euo pipefail
packages=(cmake make g++ gcc g++-multilib gcc-multilib qemu-user libgtest-dev googletest
          libbenchmark-dev clang libclang-rt-dev valgrind pkg-config dpkg-dev file binutils
          libcpp-httplib-dev libcli11-dev nlohmann-json3-dev chromium chromium-driver python3-selenium python3-pytest)
# The 32-bit build of `qolven serve` links the i386 cpp-httplib (a Multi-Arch: same package).
packages_i386=(libcpp-httplib-dev:i386)
sudo=""
[ "$(id -u)" -ne 0 ] && sudo="sudo"
installed() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q "install ok installed"; }
missing=()
for p in "${packages[@]}"; do installed "$p" || missing+=("$p"); done
missing_i386=()
for p in "${packages_i386[@]}"; do installed "$p" || missing_i386+=("$p"); done
[ ${#missing[@]} -eq 0 ] && [ ${#missing_i386[@]} -eq 0 ] && exit 0
if [ ${#missing_i386[@]} -gt 0 ] && ! dpkg --print-foreign-architectures | grep -qx i386; then
  $sudo dpkg --add-architecture i386
fi
echo "installing: ${missing[*]} ${missing_i386[*]}"
$sudo apt-get update -qq
DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq "${missing[@]}" >/dev/null
if [ ${#missing_i386[@]} -gt 0 ]; then
  # Without it the 32-bit tool is built without `serve` (it says so); nothing else depends on it.
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq "${missing_i386[@]}" >/dev/null ||
    echo "install-deps: ${missing_i386[*]} could not be installed; the i386 qolven will lack serve" >&2
fi
