#!/usr/bin/env bash
# Fallback kernel: Debian's linux-image-cloud-amd64, fetched with
# `apt-get download` (nothing is installed) and turned into an uncompressed
# vmlinux by extract-vmlinux.py. Cached per package version.
#
#   guest/image/fetch-cloud-kernel.sh DEST
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
dest=${1:?usage: fetch-cloud-kernel.sh DEST}
cache=${QUORREL_CACHE_DIR:-${XDG_CACHE_HOME:-$HOME/.cache}/quorrel}

# The meta package depends on the versioned image package.
package=$(apt-cache depends linux-image-cloud-amd64 | sed -n 's/^ *Depends: \(linux-image-[0-9].*-cloud-amd64\)$/\1/p' | head -n1)
if [ -z "$package" ]; then
  echo "fetch-cloud-kernel: cannot resolve linux-image-cloud-amd64 (run apt-get update?)" >&2
  exit 1
fi
version=$(apt-cache policy "$package" | sed -n 's/^ *Candidate: //p')
out="$cache/cloud-kernel/$package-$version"
if [ ! -f "$out/vmlinux" ]; then
  work=$(mktemp -d)
  trap 'rm -rf "$work"' EXIT
  (cd "$work" && apt-get download "$package" >/dev/null)
  dpkg-deb -x "$work"/*.deb "$work/root"
  mkdir -p "$out"
  /usr/bin/python3 "$here/extract-vmlinux.py" "$work"/root/boot/vmlinuz-* "$out/vmlinux.tmp"
  mv "$out/vmlinux.tmp" "$out/vmlinux"
fi
echo "fetch-cloud-kernel: $package $version"
install -m 0644 "$out/vmlinux" "$dest"
