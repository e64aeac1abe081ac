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

# shellcheck source=bench/bench_common.sh
. "$root/bench/bench_common.sh"

upgrade() {  # upgrade N: line1 .. lineN at once; prints "<milliseconds> <peak KiB>"
  start_sims "$1"
  local ports=() i
  for i in $(seq "$1"); do ports+=("$work/line$i"); done
  timed_upgrade "${ports[@]}"
}

read -r one_ms one_kib < <(upgrade 1)
read -r all_ms all_kib < <(upgrade "$count")
ratio=$(awk -v a="$all_ms" -v b="$one_ms" 'BEGIN { printf "%.3f", a / b }')
echo "quorvel-upgrade, $words words, paced instruments: 1 in $one_ms ms (peak ${one_kib} KiB)," \
  "$count at once in $all_ms ms (peak ${all_kib} KiB): ratio $ratio (limit $ratio_limit)," \
  "peak limit $memory_limit_kib KiB"
awk -v r="$ratio" -v l="$ratio_limit" 'BEGIN { exit !(r <= l) }' && [ "$all_kib" -le "$memory_limit_kib" ]
