#!/usr/bin/env bash
# Several instruments upgraded at once against one alone: simulators paced at the real line
# speed, the shipped quorvel-upgrade with the real protocol timing.
#   bench/bench_parallel.sh [BUILD_DIR] [INSTRUMENTS] [WORDS]   (defaults build/release, 8, 60000)
# Reports the time ratio (aim: at most 1.05) and the program's peak resident memory during
# the parallel run (aim: at most 4 MiB + 1 MiB per instrument).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "${1:-$root/build/release}" && pwd)
count=${2:-8}
words=${3:-60000}
ratio_limit=1.05
memory_limit_kib=$((4096 + 1024 * count))

work=$(mktemp -d)
sims=()
trap 'kill "${sims[@]}" 2>/dev/null || true; rm -rf "$work"' EXIT
cd "$work"
cp "$build/tools/hex55/hex55" .
"$build/tools/make-sample-image/make-sample-image" --words "$words" -o quorvel.out >/dev/null

start_sims() {  # start_sims N: N paced simulators, linked as line1 .. lineN
  sims=()
  local i
  for i in $(seq "$1"); do
    rm -f "line$i.out"
    "$build/tools/quorvel-sim/quorvel-sim" --link "$work/line$i" --pace --timeout 600 \
      >"line$i.out" 2>"line$i.err" &
    sims+=($!)
  done
  for i in $(seq "$1"); do until [ -s "line$i.out" ]; do sleep 0.05; done; done
}

upgrade() {  # upgrade N: line1 .. lineN at once; prints "<milliseconds> <peak KiB>"
  start_sims "$1"
  local ports=() i pid hwm peak=0 status=0 begin elapsed
  for i in $(seq "$1"); do ports+=(--port "$work/line$i"); done
  begin=$(date +%s%N)
  "$build/app/cli/quorvel-upgrade" "${ports[@]}" --yes >trace.log 2>messages.log &
  pid=$!
  # VmHWM is the process's own high-water mark; sampling it until the end keeps the last value.
  while kill -0 "$pid" 2>/dev/null; do
    hwm=$(awk '/^VmHWM/ {print $2}' "/proc/$pid/status" 2>/dev/null || true)
    [ -n "$hwm" ] && [ "$hwm" -gt "$peak" ] && peak=$hwm
    sleep 0.05
  done
  wait "$pid" || status=$?
  elapsed=$((($(date +%s%N) - begin) / 1000000))
  if [ "$status" -ne 0 ]; then
    echo "bench_parallel: the upgrade of $1 instrument(s) ended with $status" >&2
    tail -n 5 messages.log >&2
    exit 1
  fi
  wait "${sims[@]}"  # each has taken its "GO"
  echo "$elapsed $peak"
}

read -r one_ms one_kib < <(upgrade 1)
read -r all_ms all_kib < <(upgrade "$count")
ratio=$(awk -v a="$all_ms" -v b="$one_ms" 'BEGIN { printf "%.3f", a / b }')
echo "quorvel-upgrade, $words words, paced instruments: 1 in $one_ms ms (peak ${one_kib} KiB)," \
  "$count at once in $all_ms ms (peak ${all_kib} KiB): ratio $ratio (limit $ratio_limit)," \
  "peak limit $memory_limit_kib KiB"
awk -v r="$ratio" -v l="$ratio_limit" 'BEGIN { exit !(r <= l) }' && [ "$all_kib" -le "$memory_limit_kib" ]
