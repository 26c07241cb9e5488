#!/usr/bin/env bash
# Installs the Debian packages the build, the tests and the tools need
# (only those missing), then fetches FTDI's D2XX package for the conformance
# test (scripts/fetch-d2xx.sh; the test skips without it) and Debian's kernel
# package for the USB bench's guest (downloaded into the cache, not installed
# on this machine).  Needs root or sudo.
set -euo pipefail
cd "$(dirname "$0")/.."
packages=(cmake make g++ gcc g++-multilib gcc-multilib qemu-user libgtest-dev googletest
          libbenchmark-dev clang libclang-rt-dev valgrind pkg-config dpkg-dev file binutils
          libcpp-httplib-dev libcli11-dev nlohmann-json3-dev chromium chromium-driver python3-selenium
          python3 python3-pytest python3-numpy python3-setuptools python3-wheel python3-pip python3-venv
          libftdi1-dev libusb-1.0-0-dev qemu-system-x86 busybox-static
          libhdf5-dev python3-h5py
          libpaho-mqtt-dev mosquitto mosquitto-clients openssl python3-paho-mqtt)
# The recorder writes HDF5 through Debian's libhdf5-dev (x86-64 only: its i386
# package cannot be installed beside the x86-64 one, so the i386 recorder writes
# CSV only); python3-h5py reads the files in the tests and from Python.
# npm may come with a Node.js that is not Debian's; only ask for Debian's without one.
command -v npm >/dev/null || packages+=(npm)
# The 32-bit build of `qolven serve` links the i386 cpp-httplib (a Multi-Arch: same package),
# libqolven_ftdi1 the i386 libftdi1 and libusb (libftdi1-dev is for one architecture only:
# the header of the x86-64 one serves both), `qolven publish` the i386 Paho MQTT client
# (Multi-Arch: same as well).
packages_i386=(libcpp-httplib-dev:i386 libftdi1-2:i386 libusb-1.0-0-dev:i386 libpaho-mqtt-dev:i386)
sudo=""
[ "$(id -u)" -ne 0 ] && sudo="sudo"
installed() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q "install ok installed"; }
missing=()
for p in "${packages[@]}"; do installed "$p" || missing+=("$p"); done
missing_i386=()
for p in "${packages_i386[@]}"; do installed "$p" || missing_i386+=("$p"); done
if [ ${#missing[@]} -ne 0 ] || [ ${#missing_i386[@]} -ne 0 ]; then
  if [ ${#missing_i386[@]} -gt 0 ] && ! dpkg --print-foreign-architectures | grep -qx i386; then
    $sudo dpkg --add-architecture i386
  fi
  echo "installing: ${missing[*]} ${missing_i386[*]}"
  $sudo apt-get update -qq
  if [ ${#missing[@]} -gt 0 ]; then
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq "${missing[@]}" >/dev/null
  fi
  if [ ${#missing_i386[@]} -gt 0 ]; then
    # Without them the 32-bit tool is built without `serve` and `publish` and no 32-bit libqolven_ftdi1 (it says so).
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq "${missing_i386[@]}" >/dev/null ||
      echo "install-deps: ${missing_i386[*]} could not be installed; the i386 qolven may lack serve," \
           "publish and libqolven_ftdi1" >&2
  fi
fi
scripts/fetch-d2xx.sh >/dev/null ||
  echo "warning: FTDI's D2XX package not fetched; the real-D2XX conformance tests will be skipped" >&2

# The USB bench boots Debian's own kernel (the version linux-image-amd64 names
# now); tests/usb/bench.py unpacks what it needs from the package.
bench_cache=${QOLVEN_CACHE_DIR:-${XDG_CACHE_HOME:-$HOME/.cache}/qolven}/usb-bench
kernel=$(apt-cache depends linux-image-amd64 2>/dev/null | awk '/Depends: linux-image-[0-9]/ { print $2; exit }')
if [ -n "$kernel" ] && ! ls "$bench_cache/${kernel}_"*.deb >/dev/null 2>&1; then
  mkdir -p "$bench_cache"
  (cd "$bench_cache" && apt-get download "$kernel" >/dev/null 2>&1) ||
    echo "warning: $kernel not downloaded; the USB bench will be skipped" >&2
fi
