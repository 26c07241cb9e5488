#!/usr/bin/env bash
# Installs the Debian packages the build, the tests and the tools need
# (only those missing).  Needs root or sudo.
set -euo pipefail
packages=(cmake make g++ gcc g++-multilib gcc-multilib qemu-user libgtest-dev googletest
          libbenchmark-dev libcli11-dev nlohmann-json3-dev clang libclang-rt-dev valgrind pkg-config dpkg-dev file binutils
          python3 python3-pytest python3-numpy python3-setuptools python3-wheel python3-pip python3-venv)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0
sudo=""
[ "$(id -u)" -ne 0 ] && sudo="sudo"
echo "installing: ${missing[*]}"
$sudo apt-get update -qq
DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq "${missing[@]}" >/dev/null
