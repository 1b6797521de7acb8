#!/usr/bin/env bash
# Runs the whole test suite: C++ unit tests (plain and sanitized builds),
# the Python tests, the guest image validation under QEMU and a short fuzz run.
# Expects the dependencies of scripts/install-deps.sh.
set -uo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
failed=()
step() {
  local name=$1
  shift
  echo
  echo "== $name =="
  local start=$SECONDS
  if "$@"; then
    echo "== $name: ok ($((SECONDS - start)) s) =="
  else
    echo "== $name: FAILED ($((SECONDS - start)) s) =="
    failed+=("$name")
  fi
}

ctest_in() {
  ctest --test-dir "$1" --output-on-failure -j "${QUORREL_TEST_JOBS:-2}" --timeout 900
}

ctest_sanitized() {
  ASAN_OPTIONS=detect_leaks=1:abort_on_error=0 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 ctest_in build-asan
}

pytest_run() {
  local rc=0
  QUORREL_BUILD_DIR="$root/build" /usr/bin/python3 -m pytest -q tests/python || rc=$?
  # 5 means no test was collected: that is a failure of the suite here too.
  return $rc
}

step "build" scripts/build.sh
step "C++ unit tests" ctest_in build
step "build (ASan+UBSan)" scripts/build.sh asan
step "C++ unit tests (ASan+UBSan)" ctest_sanitized
step "Python tests" pytest_run
if [ -x tests/qemu/run.sh ]; then
  if [ -x guest/image/build.sh ]; then
    step "guest image" guest/image/build.sh
  fi
  step "guest image under QEMU" tests/qemu/run.sh
fi
if [ -x fuzz/run.sh ]; then
  step "fuzz (short)" fuzz/run.sh "${QUORREL_FUZZ_SECONDS:-20}"
fi

echo
if [ ${#failed[@]} -gt 0 ]; then
  echo "FAILED steps: ${failed[*]}"
  exit 1
fi
echo "all test steps passed"
