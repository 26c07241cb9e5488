#!/usr/bin/env bash
# Installs the package from the source tree the way docs/python.md says, with
# nothing from the network: a venv with --system-site-packages (for Debian's
# setuptools and numpy), pip with --no-build-isolation --no-index.  Then the
# installed copy, not the source tree, must be the one that runs.
set -euo pipefail
work=$QOLVEN_WORK
rm -rf "$work"
"$QOLVEN_PYTHON3" -m venv --system-site-packages "$work/env"
cp -r "$QOLVEN_SOURCE_DIR/python" "$work/source"   # pip builds in place; keep the tree clean
"$work/env/bin/pip" install --no-build-isolation --no-index --quiet "$work/source" > "$work/pip.log" 2>&1 ||
  { cat "$work/pip.log"; exit 1; }
cd "$work"
shown=$(PYTHONPATH= "$work/env/bin/python" -c 'import qolven
with qolven.open(simulate=True) as d:
    d.unit_code = 12
    print(qolven.__file__.startswith("'"$work/env"'"), d.unit_code)')
[ "$shown" = "True 12" ] || { echo "installed package: $shown"; exit 1; }
echo "installed and ran from $work/env"
