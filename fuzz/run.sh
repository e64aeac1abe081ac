#!/bin/sh
# Builds the libFuzzer targets with the `fuzz` preset and runs each for N seconds.
#   fuzz/run.sh [SECONDS]        (default 30; build directory: $QUORVEL_FUZZ_BUILD_DIR,
#                                 default build/fuzz)
# New inputs are kept in <build>/corpus/<target>; the seeds in fuzz/corpus/<target> are only
# read. Every target runs, also after one has failed; exits non-zero when any target finds a
# fault (crash, time-out, memory limit) or when no target was built.
set -eu
seconds="${1:-30}"
root="$(cd "$(dirname "$0")/.." && pwd)"
build="${QUORVEL_FUZZ_BUILD_DIR:-$root/build/fuzz}"

cd "$root"
cmake --preset fuzz -B "$build" >/dev/null
cmake --build "$build" --target fuzzers

status=0
count=0
for exe in "$build"/fuzz/fuzz_*; do
  if [ ! -f "$exe" ] || [ ! -x "$exe" ]; then continue; fi
  count=$((count + 1))
  target="$(basename "$exe")"
  corpus="$build/corpus/$target"
  mkdir -p "$corpus"
  seeds=""
  [ -d "$root/fuzz/corpus/$target" ] && seeds="$root/fuzz/corpus/$target"
  echo "== $target: ${seconds}s"
  # shellcheck disable=SC2086
  if ! "$exe" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
      -artifact_prefix="$build/$target-" -print_final_stats=1 "$corpus" $seeds; then
    echo "== $target FAILED (artifacts in $build)"
    status=1
  fi
done
if [ "$count" -eq 0 ]; then
  echo "== no fuzz targets in $build/fuzz"
  status=1
fi
exit "$status"
