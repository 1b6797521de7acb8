#!/usr/bin/env bash
# Installs every Debian package the project needs to build, test and run.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
if [ "$(id -u)" -ne 0 ]; then
  echo "install-deps.sh: run as root (apt-get needs it)" >&2
  exit 1
fi
mapfile -t packages < <(grep -v '^\s*#' "$here/apt-packages.txt" | sed 's/\s*$//' | grep -v '^$')
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -eq 0 ]; then
  echo "install-deps: all ${#packages[@]} packages present"
  exit 0
fi
echo "install-deps: installing ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
apt-get update -q
apt-get install -y -q --no-install-recommends "${missing[@]}"
