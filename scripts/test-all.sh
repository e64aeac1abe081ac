#!/usr/bin/env bash
# Runs every test of the project: format check, the native suite (default preset), the
# sanitizer suites (ASan+UBSan; TSan on the threaded tests), the Windows build with its
# tests under Wine (console, serial over mapped COM ports, dialogs under Xvfb), the release
# packages and a short fuzzing run. Installs missing packages first. Exit status 0 only
# when everything passed.
set -uo pipefail
cd "$(dirname "$0")/.."
root=$PWD
scripts/bootstrap.sh || { echo "bootstrap failed" >&2; exit 1; }

jobs=$(nproc)
passed=0
failed=0
failed_stages=()
logdir=$root/build/test-logs
mkdir -p "$logdir"

count_ctest() {  # adds the counts of a ctest summary line to the totals
  local line total bad
  line=$(grep -E "tests passed, [0-9]+ tests? failed out of [0-9]+" "$1" | tail -n 1)
  if [ -z "$line" ]; then  # test programs run directly: their GoogleTest summaries
    local n
    for n in $(sed -nE 's/^\[  PASSED  \] ([0-9]+) tests?.*/\1/p' "$1"); do passed=$((passed + n)); done
    for n in $(sed -nE 's/^\[  FAILED  \] ([0-9]+) tests?, listed below.*/\1/p' "$1"); do failed=$((failed + n)); done
    return 0
  fi
  bad=$(sed -E 's/.* ([0-9]+) tests? failed out of ([0-9]+).*/\1/' <<<"$line")
  total=$(sed -E 's/.* failed out of ([0-9]+).*/\1/' <<<"$line")
  passed=$((passed + total - bad))
  failed=$((failed + bad))
}

stage() {  # stage NAME COMMAND...: runs a stage, shows its output, records the outcome
  local name=$1
  shift
  echo "=== $name"
  local log=$logdir/$name.log
  "$@" 2>&1 | tee "$log"
  local rc=${PIPESTATUS[0]}
  count_ctest "$log"
  if [ "$rc" -ne 0 ]; then
    failed_stages+=("$name")
    echo "=== $name FAILED (exit $rc)"
  fi
}

build_preset() {
  cmake --preset "$1" >/dev/null && cmake --build --preset "$1" -j "$jobs"
}

format_check() {
  git ls-files '*.cpp' '*.h' | xargs clang-format --dry-run --Werror
}

native() { build_preset default && ctest --preset default -j "$jobs"; }
asan() { build_preset asan && ctest --preset asan -j "$jobs"; }
tsan() {
  build_preset tsan && TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1" \
    ctest --preset tsan -j "$jobs"
}
windows() {
  build_preset windows || return 1
  (
    . scripts/wine-env.sh "$root/build/wineprefix"
    wine_stop
    wine_start
    ctest --preset windows
    rc=$?
    wine_stop
    exit $rc
  )
}
wine_serial() { scripts/wine-serial-tests.sh build/windows build/default; }
wine_gui() { scripts/wine-gui-tests.sh build/windows build/default; }
fuzz() { fuzz/run.sh "${QUORVEL_FUZZ_SECONDS:-20}"; }
packages() { tests/packaging/package_test.sh build/windows build/default; }

stage format format_check
stage native native
stage asan asan
stage tsan tsan
stage windows windows
[ -x scripts/wine-serial-tests.sh ] && stage wine-serial wine_serial
[ -x scripts/wine-gui-tests.sh ] && stage wine-gui wine_gui
[ -x tests/packaging/package_test.sh ] && stage package packages
[ -x fuzz/run.sh ] && stage fuzz fuzz

echo
if [ ${#failed_stages[@]} -gt 0 ]; then
  echo "Failed stages: ${failed_stages[*]}"
  [ "$failed" -gt 0 ] || failed=${#failed_stages[@]}
fi
echo "Summary: $passed passed, $failed failed"
[ ${#failed_stages[@]} -eq 0 ]
