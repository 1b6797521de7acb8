#!/usr/bin/env bash
# One-stop setup on a fresh Debian 12 machine (as root): installs the
# dependencies, builds the module and the guest image, runs the demo.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
scripts/install-deps.sh
scripts/build.sh
if [ -x guest/image/build.sh ]; then
  guest/image/build.sh
fi
echo
echo "== demo =="
PYTHONPATH="$root/build/src/python" /usr/bin/python3 examples/demo.py
