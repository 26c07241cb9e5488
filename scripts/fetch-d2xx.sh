#!/usr/bin/env bash
# Fetches FTDI's D2XX header and x86-64 static library (npm package ftdi-d2xx)
# for the conformance test in tests/abi, into a cache outside the source tree:
#   ${QOLVEN_CACHE_DIR:-${XDG_CACHE_HOME:-~/.cache}/qolven}/ftdi-d2xx-<version>/
# with inc/ftd2xx.h, inc/WinTypes.h, lib/Linux/libftd2xx.a and LICENSE.
# Nothing of it is committed or installed, and the library never includes it.
# Prints the directory.  Exit 1 when the package cannot be had (the test then
# reports itself skipped).
set -euo pipefail

version=1.3.1
# sha1 of the package as the registry publishes it: a different file is not
# the one the declarations were checked against.
sha1=1fa6188466cd12b7d756a4f263367715733b4faf

cache=${QOLVEN_CACHE_DIR:-${XDG_CACHE_HOME:-$HOME/.cache}/qolven}
target=$cache/ftdi-d2xx-$version
files=(inc/ftd2xx.h inc/WinTypes.h lib/Linux/libftd2xx.a LICENSE)

complete() {
  local f
  for f in "${files[@]}"; do [ -s "$target/$f" ] || return 1; done
}
if complete; then
  echo "$target"
  exit 0
fi

if ! command -v npm >/dev/null; then
  echo "fetch-d2xx: npm not found; FTDI's D2XX package is not fetched" >&2
  exit 1
fi
mkdir -p "$cache"
work=$(mktemp -d "$cache/.fetch.XXXXXX")
trap 'rm -rf "$work"' EXIT
# npm pack only downloads the tarball: no install scripts run.
if ! (cd "$work" && npm pack --silent "ftdi-d2xx@$version" >pack.log 2>&1); then
  echo "fetch-d2xx: npm pack ftdi-d2xx@$version failed:" >&2
  cat "$work/pack.log" >&2
  exit 1
fi
tarball=$work/ftdi-d2xx-$version.tgz
got=$(sha1sum "$tarball" | cut -d' ' -f1)
if [ "$got" != "$sha1" ]; then
  echo "fetch-d2xx: ftdi-d2xx-$version.tgz has sha1 $got, expected $sha1" >&2
  exit 1
fi
tar -xzf "$tarball" -C "$work" "${files[@]/#/package/}"
rm -rf "$target"
mv "$work/package" "$target"
complete || { echo "fetch-d2xx: the package lacks one of ${files[*]}" >&2; exit 1; }
echo "$target"
