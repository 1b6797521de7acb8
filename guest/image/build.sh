#!/usr/bin/env bash
# Builds the guest image into the asset directory:
#   vmlinux          uncompressed ELF kernel (guest/image/build-kernel.sh)
#   rootfs.cpio.gz   initramfs with the agent as /init (guest/image/build-rootfs.py)
#
#   guest/image/build.sh [--cloud-kernel]
#
# The asset directory is $VM_ASSETS_DIR, else $HOME/.quorrel/assets, else
# /var/lib/quorrel/vm. Every step is cached under $QUORREL_CACHE_DIR
# (default ${XDG_CACHE_HOME:-$HOME/.cache}/quorrel), so running it again
# with unchanged inputs only checks and copies. --cloud-kernel takes the
# kernel from Debian's linux-image-cloud-amd64 instead of building one.
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
start=$SECONDS

kernel_source=build
for arg in "$@"; do
  case "$arg" in
    --cloud-kernel) kernel_source=cloud ;;
    *) echo "usage: guest/image/build.sh [--cloud-kernel]" >&2; exit 2 ;;
  esac
done

if [ -n "${VM_ASSETS_DIR+set}" ]; then
  assets=$VM_ASSETS_DIR
elif [ -n "${HOME+set}" ]; then
  assets=$HOME/.quorrel/assets
else
  assets=/var/lib/quorrel/vm
fi
if [ -z "$assets" ]; then
  echo "guest image: VM_ASSETS_DIR is set but empty" >&2
  exit 2
fi
cache=${QUORREL_CACHE_DIR:-${XDG_CACHE_HOME:-$HOME/.cache}/quorrel}
export QUORREL_CACHE_DIR=$cache
mkdir -p "$assets" "$cache"

# 1. Kernel.
step=$SECONDS
if [ "$kernel_source" = cloud ]; then
  "$here/fetch-cloud-kernel.sh" "$assets/vmlinux"
else
  "$here/build-kernel.sh" "$assets/vmlinux"
fi
kernel_secs=$((SECONDS - step))

# 2. Agent: a static binary compiled from guest/agent alone, so the image
# does not depend on the state of the rest of the tree.
step=$SECONDS
cxx=${CXX:-g++}
agent_flags=(-std=c++23 -O2 -Wall -Wextra -Werror -static -s -I"$root/guest/agent")
agent_key=$( { "$cxx" --version | head -n1; echo "${agent_flags[*]}"; cat "$root"/guest/agent/*.h "$root"/guest/agent/*.cpp; } |
  sha256sum | cut -c1-16)
agent="$cache/agent/$agent_key/quorrel-agent"
if [ ! -f "$agent" ]; then
  mkdir -p "$(dirname "$agent")"
  "$cxx" "${agent_flags[@]}" "$root"/guest/agent/*.cpp -o "$agent.tmp"
  mv "$agent.tmp" "$agent"
  echo "guest image: agent built"
fi
agent_secs=$((SECONDS - step))

# 3. Initramfs, keyed by the agent, the builder and every host file it copies.
step=$SECONDS
inputs=(/bin/busybox /bin/bash /usr/bin/python3.11 /usr/bin/node /usr/lib/python3.11 /usr/lib/x86_64-linux-gnu)
rootfs_key=$( {
  sha256sum "$agent" "$here/build-rootfs.py" "$here/python/quorrel_http.py"
  find -L "${inputs[@]}" -maxdepth 3 -printf '%p %s %T@\n' 2>/dev/null | LC_ALL=C sort
} | sha256sum | cut -c1-16)
rootfs="$cache/rootfs/$rootfs_key/rootfs.cpio.gz"
if [ ! -f "$rootfs" ]; then
  mkdir -p "$(dirname "$rootfs")"
  /usr/bin/python3 "$here/build-rootfs.py" --agent "$agent" --output "$rootfs.tmp" --strip-cache "$cache/stripped"
  mv "$rootfs.tmp" "$rootfs"
else
  echo "guest image: cached initramfs $rootfs_key"
fi
if ! cmp -s "$rootfs" "$assets/rootfs.cpio.gz" 2>/dev/null; then
  install -m 0644 "$rootfs" "$assets/rootfs.cpio.gz.tmp"
  mv "$assets/rootfs.cpio.gz.tmp" "$assets/rootfs.cpio.gz"
fi
rootfs_secs=$((SECONDS - step))

kernel_bytes=$(stat -c %s "$assets/vmlinux")
rootfs_bytes=$(stat -c %s "$assets/rootfs.cpio.gz")
rootfs_raw=$(gzip -dc "$assets/rootfs.cpio.gz" | wc -c)
echo "guest image: $assets"
echo "  vmlinux         $kernel_bytes bytes ($((kernel_bytes / 1048576)) MiB)"
echo "  rootfs.cpio.gz  $rootfs_bytes bytes ($((rootfs_bytes / 1048576)) MiB; $((rootfs_raw / 1048576)) MiB unpacked)"
echo "  sha256 rootfs   $(sha256sum "$assets/rootfs.cpio.gz" | cut -c1-64)"
echo "guest image: done in $((SECONDS - start)) s (kernel $kernel_secs s, agent $agent_secs s, initramfs $rootfs_secs s)"
