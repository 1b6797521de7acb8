#!/usr/bin/env bash
# Builds the guest kernel (uncompressed ELF vmlinux) from Debian's
# linux-source-6.1 tarball: `make tinyconfig`, then our option fragment.
#
#   guest/image/build-kernel.sh DEST
#
# The result is cached under $QUORREL_CACHE_DIR (default
# ${XDG_CACHE_HOME:-$HOME/.cache}/quorrel) keyed by the hash of the fragment,
# the source tarball and the compiler, so a second run only copies the file.
# QUORREL_KERNEL_JOBS sets the make parallelism (default: nproc).
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
dest=${1:?usage: build-kernel.sh DEST}
fragment="$here/kernel/guest.config"
tarball=${QUORREL_KERNEL_TARBALL:-/usr/src/linux-source-6.1.tar.xz}
cache=${QUORREL_CACHE_DIR:-${XDG_CACHE_HOME:-$HOME/.cache}/quorrel}
jobs=${QUORREL_KERNEL_JOBS:-$(nproc)}

if [ ! -f "$tarball" ]; then
  echo "build-kernel: $tarball not found (install the linux-source-6.1 package)" >&2
  exit 1
fi

# Recipe version: bump when this script changes how the kernel is built.
recipe=1
tar_id=$(stat -c '%n %s %Y' "$tarball")
cc_id=$(gcc --version | head -n1)
key=$( { echo "recipe $recipe"; echo "$tar_id"; echo "$cc_id"; echo "base tinyconfig"; cat "$fragment"; } | sha256sum | cut -c1-16)
out="$cache/kernel/$key"

if [ -f "$out/vmlinux" ]; then
  echo "build-kernel: cached kernel $key"
  install -m 0644 "$out/vmlinux" "$dest"
  exit 0
fi

# Unpack the source once per tarball.
srcroot="$cache/kernel-src"
src="$srcroot/linux-source-6.1"
if [ "$(cat "$src/.quorrel-unpacked" 2>/dev/null)" != "$tar_id" ]; then
  echo "build-kernel: unpacking $tarball"
  rm -rf "$src" "$srcroot/.unpack"
  mkdir -p "$srcroot/.unpack"
  tar -xJf "$tarball" -C "$srcroot/.unpack"
  mv "$srcroot/.unpack/linux-source-6.1" "$src"
  rmdir "$srcroot/.unpack"
  echo "$tar_id" >"$src/.quorrel-unpacked"
fi

build="$cache/kernel-build/$key"
mkdir -p "$build"
start=$SECONDS
make -s -C "$src" O="$build" tinyconfig >/dev/null
"$src/scripts/kconfig/merge_config.sh" -m -O "$build" "$build/.config" "$fragment" >/dev/null
make -s -C "$src" O="$build" olddefconfig >/dev/null

# Every option of the fragment must have survived dependency resolution;
# a silently dropped option would only show up as a broken guest.
missing=0
while IFS= read -r line; do
  case "$line" in
    CONFIG_*=*)
      if ! grep -qxF "$line" "$build/.config"; then
        echo "build-kernel: option not applied: $line" >&2
        missing=1
      fi
      ;;
    "# CONFIG_"*" is not set")
      opt=${line#"# "}
      opt=${opt%" is not set"}
      if grep -q "^$opt=" "$build/.config"; then
        echo "build-kernel: option should be off: $(grep "^$opt=" "$build/.config")" >&2
        missing=1
      fi
      ;;
  esac
done <"$fragment"
if [ "$missing" -ne 0 ]; then
  exit 1
fi

echo "build-kernel: building kernel $key with -j$jobs (log: $build/build.log)"
if ! make -C "$src" O="$build" -j"$jobs" vmlinux >"$build/build.log" 2>&1; then
  tail -n 40 "$build/build.log" >&2
  exit 1
fi
mkdir -p "$out"
cp "$build/vmlinux" "$out/vmlinux.tmp"
strip --strip-debug "$out/vmlinux.tmp"
cp "$build/.config" "$out/config"
mv "$out/vmlinux.tmp" "$out/vmlinux"
echo "build-kernel: built in $((SECONDS - start)) s"
install -m 0644 "$out/vmlinux" "$dest"
