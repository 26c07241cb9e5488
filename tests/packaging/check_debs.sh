#!/usr/bin/env bash
# Builds the .deb files of the build tree, checks their control fields and
# contents, and unpacks them into $QOLVEN_WORK/root for the example checks.
set -euo pipefail

work=$QOLVEN_WORK
root=$work/root
rm -rf "$work"
mkdir -p "$work/debs" "$root"

"$QOLVEN_CPACK" -G DEB --config "$QOLVEN_BUILD_DIR/CPackConfig.cmake" -B "$work/debs" > "$work/cpack.log" 2>&1 ||
  { cat "$work/cpack.log"; exit 1; }

failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

release="$QOLVEN_VERSION-1"
deb_of() { ls "$work/debs/$1_${release}_"*.deb 2>/dev/null || true; }

# package, then the Depends entries it must carry
expect_package() {
  local package=$1 deb
  shift
  deb=$(deb_of "$package")
  if [ -z "$deb" ]; then
    fail "no package $package $release"
    return
  fi
  local arch depends maintainer
  arch=$(dpkg-deb -f "$deb" Architecture)
  depends=$(dpkg-deb -f "$deb" Depends)
  maintainer=$(dpkg-deb -f "$deb" Maintainer)
  [ "$arch" = "$QOLVEN_ARCH" ] || fail "$package: Architecture '$arch', expected $QOLVEN_ARCH"
  [[ "$maintainer" =~ ^.+\ \<.+@.+\>$ ]] || fail "$package: Maintainer '$maintainer' is not 'name <address>'"
  local dependency
  for dependency in "$@"; do
    [[ ", $depends," == *", $dependency,"* ]] || fail "$package: Depends '$depends' lacks '$dependency'"
  done
  dpkg -x "$deb" "$root"
}

# The open provider on libftdi1 comes with the library and its udev rules: a
# user on real hardware needs Debian's libftdi1 and libusb besides, nothing more.
ftdi1=no
if ls "$QOLVEN_BUILD_DIR"/lib/libqolven_ftdi1.so.1* >/dev/null 2>&1; then
  ftdi1=yes
  expect_package libqolven-usb1 libgcc-s1 "libftdi1-2 (>= 1.5)" "libusb-1.0-0 (>= 2:1.0.21)"
else
  expect_package libqolven-usb1 libgcc-s1
fi
expect_package libqolven-usb-dev "libqolven-usb1 (= $release)"
expect_package libqolven-d2xx-sim libgcc-s1
if [ -e "$QOLVEN_BUILD_DIR/bin/qolven" ]; then
  expect_package qolven-tools "libqolven-usb1 (= $release)"
  [ -x "$root/usr/bin/qolven" ] || fail "qolven-tools does not hold usr/bin/qolven"
  # The libraries of serve and publish come from Debian packages the tool must name.
  tool_depends=$(dpkg-deb -f "$(deb_of qolven-tools)" Depends)
  for pair in "libcpp-httplib.so:libcpp-httplib" "libpaho-mqtt3as.so:libpaho-mqtt"; do
    if readelf -d "$QOLVEN_BUILD_DIR/bin/qolven" | grep -q "NEEDED.*\[${pair%%:*}"; then
      [[ "$tool_depends" == *"${pair#*:}"* ]] || fail "qolven-tools links ${pair%%:*} but Depends '$tool_depends' lacks its package"
    fi
  done
fi

# The Python package is architecture-independent, and imports and runs from the
# unpacked root where the interpreter can load the library (a 64-bit build).
python_deb=$(deb_of python3-qolven)
if [ -z "$python_deb" ]; then
  fail "no package python3-qolven $release"
else
  [ "$(dpkg-deb -f "$python_deb" Architecture)" = all ] || fail "python3-qolven is not Architecture: all"
  [[ "$(dpkg-deb -f "$python_deb" Depends)" == *"libqolven-usb1 (>= $QOLVEN_VERSION)"* ]] ||
    fail "python3-qolven does not depend on libqolven-usb1"
  dpkg -x "$python_deb" "$root"
  [ -f "$root/usr/lib/python3/dist-packages/qolven/__init__.py" ] || fail "python3-qolven lacks the package"
  if [ "$QOLVEN_ARCH" = amd64 ] && [ -x /usr/bin/python3 ]; then
    shown=$(cd / && PYTHONPATH=$root/usr/lib/python3/dist-packages LD_LIBRARY_PATH=$root/usr/$QOLVEN_LIBDIR \
      /usr/bin/python3 -c 'import qolven
with qolven.open(simulate=True) as d:
    d.decimal_point = 4
    print(qolven.__file__, d.decimal_point)' 2>&1) || true
    [[ "$shown" == "$root/usr/lib/python3/dist-packages/qolven/__init__.py 4" ]] ||
      fail "the packaged Python package does not run from the unpacked root: $shown"
  fi
fi

# Which package holds which file: a namelink in the runtime package would make
# two versions of the -dev package clash, a missing one breaks -lqolven_usb.
lib=$root/usr/$QOLVEN_LIBDIR
contents() { dpkg-deb -c "$(deb_of "$1")"; }
in_package() { grep -q " \./usr/$2\( ->.*\)\?$" <<<"$(contents "$1")" || fail "$1 does not hold usr/$2"; }
in_package libqolven-usb1 "$QOLVEN_LIBDIR/libqolven_usb.so.1"
in_package libqolven-usb1 "lib/udev/rules.d/70-qolven-usb.rules"
in_package libqolven-usb-dev "$QOLVEN_LIBDIR/libqolven_usb.so"
in_package libqolven-usb-dev "include/QOLVEN_USB_DLL.h"
in_package libqolven-usb-dev "include/qolven.h"
in_package libqolven-usb-dev "$QOLVEN_LIBDIR/pkgconfig/qolven_usb.pc"
in_package libqolven-usb-dev "$QOLVEN_LIBDIR/cmake/QolvenUsb/QolvenUsbConfig.cmake"
in_package libqolven-d2xx-sim "$QOLVEN_LIBDIR/libqolven_d2xx_sim.so"
in_package libqolven-d2xx-sim "include/qolven_sim.h"
in_package libqolven-d2xx-sim "include/qolven_sim_c.h"
in_package libqolven-d2xx-sim "$QOLVEN_LIBDIR/pkgconfig/qolven_d2xx_sim.pc"
in_package libqolven-d2xx-sim "$QOLVEN_LIBDIR/cmake/QolvenUsb/QolvenUsbSimTargets.cmake"
in_package libqolven-d2xx-sim "bin/qolven-sim-board"
if [ $ftdi1 = yes ]; then
  in_package libqolven-usb1 "$QOLVEN_LIBDIR/libqolven_ftdi1.so.1"
  in_package libqolven-usb-dev "$QOLVEN_LIBDIR/libqolven_ftdi1.so"
  in_package libqolven-usb-dev "$QOLVEN_LIBDIR/pkgconfig/qolven_ftdi1.pc"
  in_package libqolven-usb-dev "$QOLVEN_LIBDIR/cmake/QolvenUsb/QolvenUsbFtdi1Targets.cmake"
  needed=$(readelf -d "$root/usr/$QOLVEN_LIBDIR/libqolven_ftdi1.so.1" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p')
  for dependency in libftdi1.so.2 libusb-1.0.so.0; do
    grep -qx "$dependency" <<<"$needed" || fail "libqolven_ftdi1.so.1 does not record $dependency"
  done
fi
if grep -q 'libqolven_usb\.so -> ' <<<"$(contents libqolven-usb1)"; then
  fail "the namelink libqolven_usb.so belongs to the -dev package only"
fi

# The opt-in unbind rule must name one bridge: a rule on the id alone would take
# ftdi_sio away from every FTDI serial adapter of the machine.
unbind=$root/usr/share/doc/libqolven-usb1/99-qolven-usb-unbind.rules.example
rules=$(grep -v '^[[:space:]]*#' "$unbind" | grep 'unbind' || true)
[ -n "$rules" ] || fail "no unbind rule in $unbind"
while IFS= read -r rule; do
  [[ "$rule" =~ ATTRS\{(serial|product)\}==\"[^\"]+\" ]] || fail "unbind rule matches no single bridge: $rule"
done <<<"$rules"

# The docs go with the runtime package, beside the unbind rule example.
docdir=usr/share/doc/libqolven-usb1
for doc in "$QOLVEN_SOURCE_DIR"/docs/*.md; do
  in_package libqolven-usb1 "share/doc/libqolven-usb1/$(basename "$doc")"
done

# Every installed path real-hardware.md names is there: in the packages for
# /usr/..., in a cmake install to the default prefix for /usr/local/....
if DESTDIR=$work/local "$QOLVEN_CMAKE" --install "$QOLVEN_BUILD_DIR" --prefix /usr/local > "$work/install.log" 2>&1; then
  named=$(grep -oE '/usr/(local/)?(lib|share)/[A-Za-z0-9._/-]*[A-Za-z0-9_/-]' "$root/$docdir/real-hardware.md" | sort -u || true)
  [ -n "$named" ] || fail "real-hardware.md names no installed path"
  for path in $named; do
    case $path in
      /usr/local/*) [ -e "$work/local$path" ] || fail "real-hardware.md names $path, which cmake --install does not create" ;;
      *) [ -e "$root$path" ] || fail "real-hardware.md names $path, which the packages do not hold" ;;
    esac
  done
else
  cat "$work/install.log"
  fail "cmake --install into a staging directory failed"
fi

# The library must leave the bridge to the host: FT_* undefined, no D2XX or
# simulator library recorded as needed.
library=$lib/libqolven_usb.so.1
case $QOLVEN_ARCH in
  i386) class=ELF32 machine='Intel 80386' ;;
  *) class=ELF64 machine='X86-64' ;;
esac
header=$(readelf -h "$library")
grep -q "Class: *$class" <<<"$header" || fail "libqolven_usb.so.1 is not $class"
grep -q "Machine: *.*$machine" <<<"$header" || fail "libqolven_usb.so.1 is not built for $machine"
needed=$(readelf -d "$library" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p')
if grep -qiE 'ftd2xx|d2xx_sim' <<<"$needed"; then
  fail "libqolven_usb.so.1 records a bridge library: $(tr '\n' ' ' <<<"$needed")"
fi
readelf -d "$library" | grep -q 'SONAME.*\[libqolven_usb\.so\.1\]' || fail "soname is not libqolven_usb.so.1"
undefined=$(nm -D --undefined-only "$library" | awk '{print $NF}')
for function in FT_OpenEx FT_Read FT_Write FT_Close; do
  grep -qx "$function" <<<"$undefined" || fail "$function is not left undefined in libqolven_usb.so.1"
done

if [ $failures -ne 0 ]; then
  echo "$failures check(s) failed; packages in $work/debs"
  exit 1
fi
echo "packages for $QOLVEN_ARCH built and unpacked into $root"
