#!/bin/sh
# Usage: check_exports.sh MODULE.so SYMBOL
# Fails unless SYMBOL is the only dynamic symbol MODULE.so defines.
set -eu
symbols=$(nm -D --defined-only "$1" | awk '{print $NF}' | sort -u)
if [ "$symbols" != "$2" ]; then
  echo "unexpected dynamic symbols in $1:" >&2
  echo "$symbols" >&2
  exit 1
fi
echo "$1 exports only $2"
