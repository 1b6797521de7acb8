#!/usr/bin/env bash
# Configures and builds one build tree.
#   scripts/build.sh            -> build/       (RelWithDebInfo)
#   scripts/build.sh asan       -> build-asan/  (AddressSanitizer + UBSan)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
flavour=${1:-default}
case "$flavour" in
  default) dir="$root/build"; extra=() ;;
  asan) dir="$root/build-asan"; extra=(-DQUORREL_SANITIZE=ON -DQUORREL_BUILD_BENCH=OFF) ;;
  *) echo "unknown build flavour: $flavour" >&2; exit 2 ;;
esac
jobs=${QUORREL_JOBS:-$(nproc)}
cmake -S "$root" -B "$dir" -G Ninja -DPython3_EXECUTABLE=/usr/bin/python3 -DQUORREL_BUILD_TESTS=ON "${extra[@]}" >/dev/null
ninja -C "$dir" -j "$jobs"
