#!/usr/bin/env bash
# libqolven_ftdi1 exports exactly the FT_* functions the driver library
# declares (src/transport/ftd2xx_api.h): a host or the tool finds every one it
# needs, and nothing else of the provider can be bound to.
#   check_ftdi1_exports.sh LIBRARY FTD2XX_API_H
set -euo pipefail
library=$1
header=$2

declared=$(grep -oE '^FT_STATUS (FT_[A-Za-z]+)\(' "$header" | sed -E 's/^FT_STATUS (FT_[A-Za-z]+)\(/\1/' | sort -u)
exported=$(nm -D --defined-only "$library" | awk '$2 ~ /^[TWi]$/ { print $NF }' | sort -u)
[ -n "$declared" ] || { echo "FAIL: no FT_* function declared in $header"; exit 1; }
if [ "$declared" != "$exported" ]; then
  echo "FAIL: $library exports other functions than the library declares"
  diff <(echo "$declared") <(echo "$exported") | sed -n 's/^</  declared, not exported:/p; s/^>/  exported, not declared:/p'
  exit 1
fi
other=$(nm -D --defined-only "$library" | awk '$2 !~ /^[TWi]$/ && $NF != "" { print $NF }' | grep -v '^$' || true)
if [ -n "$other" ]; then
  echo "FAIL: $library exports data: $other"
  exit 1
fi
echo "$library exports the $(wc -l <<<"$declared") FT_* functions the library declares, and nothing else"
