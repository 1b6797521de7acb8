#!/usr/bin/env bash
# Boots the guest image under QEMU (TCG) once and runs the guest image suite
# against it.
#
#   tests/qemu/run.sh [BUILD_DIR]      (default: build)
#
# The image comes from the asset directory ($VM_ASSETS_DIR, else
# $HOME/.quorrel/assets, else /var/lib/quorrel/vm); build it first with
# guest/image/build.sh. Prints one summary line: "qemu suite: ...".
set -uo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
build=${1:-$root/build}
case "$build" in /*) ;; *) build=$root/$build ;; esac

if [ -n "${VM_ASSETS_DIR+set}" ]; then
  assets=$VM_ASSETS_DIR
elif [ -n "${HOME+set}" ]; then
  assets=$HOME/.quorrel/assets
else
  assets=/var/lib/quorrel/vm
fi
for f in vmlinux rootfs.cpio.gz; do
  if [ ! -f "$assets/$f" ]; then
    echo "qemu suite: FAILED (missing $assets/$f; run guest/image/build.sh)"
    exit 1
  fi
done
if ! command -v qemu-system-x86_64 >/dev/null; then
  echo "qemu suite: FAILED (qemu-system-x86_64 not installed)"
  exit 1
fi

start=$SECONDS
if [ ! -f "$build/build.ninja" ]; then
  cmake -S "$root" -B "$build" -G Ninja -DPython3_EXECUTABLE=/usr/bin/python3 >/dev/null || exit 1
fi
if ! ninja -C "$build" -j "${QUORREL_JOBS:-$(nproc)}" guest_image_qemu_test >/dev/null; then
  ninja -C "$build" guest_image_qemu_test | tail -n 30
  echo "qemu suite: FAILED (build)"
  exit 1
fi
log=$(mktemp)
QUORREL_QEMU_ASSETS=$assets "$build/tests/qemu/guest_image_qemu_test" 2>&1 | tee "$log"
rc=${PIPESTATUS[0]}
passed=$(grep -c '^\[       OK \]' "$log")
failed=$(grep -c '^\[  FAILED  \] .*(' "$log")
rm -f "$log"
if [ "$rc" -eq 0 ]; then
  echo "qemu suite: $passed passed, $failed failed in $((SECONDS - start)) s"
else
  echo "qemu suite: FAILED ($passed passed, $failed failed, exit $rc) in $((SECONDS - start)) s"
fi
exit "$rc"
