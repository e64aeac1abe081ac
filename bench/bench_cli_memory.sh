#!/usr/bin/env bash
# Peak resident memory of quorvel-upgrade itself (not of the converter it runs) during a
# whole upgrade of a generated image against the simulated instrument:
#   bench/bench_cli_memory.sh [BUILD_DIR] [WORDS]     (defaults build/release, 8000000)
# The test build of the program shortens the protocol pauses (QUORVEL_TIME_DIVISOR), so that
# the run is about the data; it is the same program otherwise.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "${1:-$root/build/release}" && pwd)
words=${2:-8000000}
limit_kib=8192

work=$(mktemp -d)
trap 'kill "$sim_pid" 2>/dev/null || true; rm -rf "$work"' EXIT
cd "$work"
cp "$build/tools/hex55/hex55" .
"$build/tools/make-sample-image/make-sample-image" --words "$words" -o quorvel.out >/dev/null
"$build/tools/quorvel-sim/quorvel-sim" --link "$work/line" --timeout 900 >sim.out 2>sim.err &
sim_pid=$!
until [ -s sim.out ]; do sleep 0.1; done

QUORVEL_TIME_DIVISOR=10 "$build/tests/app/quorvel-upgrade-fast" --port "$work/line" --yes \
  >trace.log 2>messages.log &
pid=$!
peak=0
# VmHWM is the process's own high-water mark; sampling it until the end keeps the last value.
while kill -0 "$pid" 2>/dev/null; do
  hwm=$(awk '/^VmHWM/ {print $2}' "/proc/$pid/status" 2>/dev/null || true)
  [ -n "$hwm" ] && [ "$hwm" -gt "$peak" ] && peak=$hwm
  sleep 0.05
done
status=0
wait "$pid" || status=$?
image_bytes=$(stat -c %s quorvel.out)
echo "quorvel-upgrade: $words words (image $image_bytes bytes), exit $status," \
  "peak resident ${peak} KiB (limit $limit_kib KiB)"
[ "$status" -eq 0 ] && [ "$peak" -le "$limit_kib" ]
