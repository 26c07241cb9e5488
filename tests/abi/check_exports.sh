#!/usr/bin/env bash
# The driver library's dynamic symbols are exactly its public API: every
# method of the two public classes (read from the public headers) and every
# qolven_* function of the C interface is exported, and nothing else is.
#   check_exports.sh LIBRARY INCLUDE_DIR
set -euo pipefail
library=$1
include=$2

failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

mangled=$(nm -D --defined-only "$library" | awk '{ print $NF }')
[ -n "$mangled" ] || { echo "FAIL: $library exports nothing"; exit 1; }
# One line per symbol: C names as they are, C++ names demangled.
exported=$(c++filt <<<"$mangled")

classes='_QOLVEN_USB_DLL::(QOLVEN_USB_DLL|QOLVEN_FTD2XX)'
allowed="^($classes::|(typeinfo|typeinfo name) for $classes\$|qolven_[A-Za-z0-9_]+\$)"
stray=$(grep -vE "$allowed" <<<"$exported" || true)
if [ -n "$stray" ]; then
  fail "exported but not public API:"
  sed 's/^/  /' <<<"$stray" | head -40
fi

# A header without its comments, so that a name mentioned there counts for nothing.
code() { perl -0pe 's{/\*.*?\*/}{}gs; s{//[^\n]*}{}g' "$@"; }

# Declarations of a class body: one name per declaration that opens a
# parameter list; deleted members have no symbol.
members() {  # header, class
  code "$1" |
    awk -v start="class QOLVEN_API $2 {" 'index($0, start) { inside = 1; next } inside && /^};/ { exit } inside' |
    grep -v '= *delete' |
    grep -oE '~?[A-Za-z_][A-Za-z0-9_]*[[:space:]]*\(' | tr -d ' \t(' |
    grep -vxE 'operator|sizeof|decltype' | sort -u
}

expect_members() {  # header, class
  local names name missing=0
  names=$(members "$include/$1" "$2")
  [ -n "$names" ] || { fail "no member functions of $2 found in $1"; return; }
  while IFS= read -r name; do
    # Functions returning std::string carry an ABI tag after the name.
    if ! grep -qE "^_QOLVEN_USB_DLL::$2::$name(\[abi:[a-z0-9]+\])*\(" <<<"$exported"; then
      fail "$2::$name is declared in $1 but not exported"
      missing=$((missing + 1))
    fi
  done <<<"$names"
  echo "$2: $(wc -l <<<"$names") member functions declared, $missing of them not exported"
}
expect_members QOLVEN_USB_DLL.h QOLVEN_USB_DLL
expect_members QOLVEN_FTD2XX.h QOLVEN_FTD2XX

# The C interface: every qolven_* function the driver library's headers
# declare (qolven_bridge.h and qolven_record.h belong to the bridge and the
# recorder libraries).
c_functions=$(code $(ls "$include"/*.h | grep -vE '/qolven_(bridge|record)\.h$') | grep -oE '\bqolven_[A-Za-z0-9_]+[[:space:]]*\(' |
              tr -d ' \t(' | sort -u || true)
for name in $c_functions; do
  grep -qx "$name" <<<"$exported" || fail "C function $name is declared but not exported"
done
# ... and no qolven_* symbol that no public header declares.
for name in $(grep -E '^qolven_' <<<"$exported" || true); do
  grep -qx "$name" <<<"$c_functions" || fail "C symbol $name is exported but no public header declares it"
done
echo "C interface: $(wc -w <<<"$c_functions") qolven_* functions declared"

if [ $failures -ne 0 ]; then
  echo "$failures check(s) failed for $library"
  exit 1
fi
echo "$library exports its public API and nothing else ($(wc -l <<<"$exported") symbols)"
