#!/usr/bin/env bash
# Builds the libFuzzer targets in build-fuzz/ and runs each for N seconds
# (default 60). Usage: fuzz/run.sh [seconds] [target...]
# Corpora grow in fuzz/corpus-<target>/ (not versioned), seeded from
# fuzz/seeds/<target>/; crashes land in build-fuzz/artifacts/.
set -euo pipefail

seconds="${1:-60}"
shift || true
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="${QUORREL_FUZZ_BUILD_DIR:-$root/build-fuzz}"
jobs="${QUORREL_FUZZ_JOBS:-2}"

cmake -S "$root" -B "$build" -G Ninja \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_CXX_COMPILER=g++ -DCMAKE_C_COMPILER=gcc \
  -DQUORREL_BUILD_FUZZ=ON -DQUORREL_SANITIZE=ON \
  -DQUORREL_BUILD_TESTS=OFF -DQUORREL_BUILD_BENCH=OFF \
  -DQUORREL_BUILD_PYTHON=OFF -DQUORREL_BUILD_GUEST=OFF >/dev/null
ninja -C "$build" -j "$jobs" quorrel_fuzz_all

if [ "$#" -gt 0 ]; then
  targets=("$@")
else
  targets=()
  for src in "$root"/fuzz/*_fuzz.cpp; do
    targets+=("$(basename "$src" .cpp)")
  done
fi

mkdir -p "$build/artifacts"
status=0
for target in "${targets[@]}"; do
  corpus="$root/fuzz/corpus-$target"
  mkdir -p "$corpus"
  args=(-max_total_time="$seconds" -print_final_stats=1 -artifact_prefix="$build/artifacts/$target-")
  if [ -f "$root/fuzz/$target.dict" ]; then
    args+=(-dict="$root/fuzz/$target.dict")
  fi
  dirs=("$corpus")
  if [ -d "$root/fuzz/seeds/$target" ]; then
    dirs+=("$root/fuzz/seeds/$target")
  fi
  echo "== $target for ${seconds}s"
  if ! ASAN_OPTIONS="${ASAN_OPTIONS:-detect_leaks=1}" UBSAN_OPTIONS="${UBSAN_OPTIONS:-halt_on_error=1:print_stacktrace=1}" \
      "$build/fuzz/$target" "${args[@]}" "${dirs[@]}" 2>"$build/$target.log"; then
    echo "!! $target failed; see $build/$target.log and $build/artifacts/"
    tail -n 40 "$build/$target.log"
    status=1
  else
    grep -E "^(#[0-9]+[[:space:]]+DONE|Done|stat::)" "$build/$target.log" | tail -n 6 || true
  fi
done
exit "$status"
