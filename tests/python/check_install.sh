#!/usr/bin/env bash
# Installs the package from the source tree the way docs/python.md says, with
# nothing from the network (pip --no-index), into venvs of Debian's
# interpreter and of any other python3 first on PATH: without Debian's
# setuptools and wheel (a plain venv), and for Debian's interpreter also with
# them (--system-site-packages, which brings numpy).
# The libraries go into the venv's prefix with cmake --install.  The
# installed copy must then run and find the libraries without QOLVEN_LIBRARY,
# and the source tree must stay clean.
set -euo pipefail
work=$QOLVEN_WORK
rm -rf "$work"
mkdir -p "$work"
cp -r "$QOLVEN_SOURCE_DIR/python" "$work/source"   # a copy, to see that nothing is written into it
before=$(cd "$work/source" && find . | sort)

interpreters=("$QOLVEN_PYTHON3")
other=$(command -v python3 || true)
if [ -n "$other" ] && [ "$(readlink -f "$other")" != "$(readlink -f "$QOLVEN_PYTHON3")" ]; then
  interpreters+=("$other")
fi

n=0
for python in "${interpreters[@]}"; do
  sites=(plain)
  [ "$python" = "$QOLVEN_PYTHON3" ] && sites+=(system)
  for site in "${sites[@]}"; do
    n=$((n + 1))
    env="$work/env$n"
    options=()
    [ "$site" = system ] && options=(--system-site-packages)
    if ! "$python" -m venv "${options[@]}" "$env" > "$work/venv$n.log" 2>&1; then
      if [ "$python" = "$QOLVEN_PYTHON3" ]; then cat "$work/venv$n.log"; exit 1; fi
      echo "skipped $python: it makes no venv ($(tail -1 "$work/venv$n.log"))"
      continue
    fi
    "$env/bin/python" -m pip install --no-index --quiet "$work/source" > "$work/pip$n.log" 2>&1 ||
      { echo "pip install with $python ($site):"; cat "$work/pip$n.log"; exit 1; }
    for component in runtime sim; do
      "$QOLVEN_CMAKE" --install "$QOLVEN_BUILD_DIR" --prefix "$env" --component $component > /dev/null
    done
    shown=$(cd "$work" && env -u QOLVEN_LIBRARY -u QOLVEN_SIM_LIBRARY PYTHONPATH= "$env/bin/python" -c 'import qolven
with qolven.open(simulate=True) as d:
    d.unit_code = 12
    print(qolven.__file__.startswith("'"$env"'/"), qolven.bridge().driver_library.startswith("'"$env"'/"), d.unit_code)')
    [ "$shown" = "True True 12" ] || { echo "installed package ($python, $site): $shown"; exit 1; }
    echo "installed with $python ($site) and ran from $env"
  done
done

after=$(cd "$work/source" && find . | sort)
[ "$before" = "$after" ] || { echo "pip wrote into the source tree:"; diff <(echo "$before") <(echo "$after"); exit 1; }
