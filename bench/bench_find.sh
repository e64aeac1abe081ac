#!/usr/bin/env bash
# Wall time of `quorvel-upgrade --find` over 8 ports of which one has an instrument behind it
# and 7 stay silent, with the real protocol timing (a silent port costs one 2 s read time-out;
# the ports are probed at once, so the whole should stay under 2.5 s):
#   bench/bench_find.sh [BUILD_DIR] [ROUNDS]     (defaults build/release, 5)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "${1:-$root/build/release}" && pwd)
rounds=${2:-5}
limit_ms=2500
silent_ports=7

work=$(mktemp -d)
pids=()
trap 'kill "${pids[@]}" 2>/dev/null || true; rm -rf "$work"' EXIT
sim="$build/tools/quorvel-sim/quorvel-sim"

start_sim() {  # start_sim NAME ARGS...: a simulated line linked as $work/NAME
  local name=$1
  shift
  "$sim" --link "$work/$name" --timeout 600 "$@" >"$work/$name.out" 2>"$work/$name.err" &
  pids+=($!)
}
start_sim answering
ports=(--port "$work/answering")
for i in $(seq "$silent_ports"); do
  start_sim "silent$i" --silent-modbus
  ports+=(--port "$work/silent$i")
done
for name in answering $(seq -f 'silent%g' "$silent_ports"); do
  until [ -s "$work/$name.out" ]; do sleep 0.05; done
done

worst=0
total=0
for _ in $(seq "$rounds"); do
  begin=$(date +%s%N)
  "$build/app/cli/quorvel-upgrade" --find "${ports[@]}" >"$work/found" 2>"$work/messages"
  elapsed=$((($(date +%s%N) - begin) / 1000000))
  grep -qx "$work/answering"$'\t'"register 0x0100" "$work/found" ||
    { echo "bench_find: the instrument was not found" >&2; exit 1; }
  total=$((total + elapsed))
  [ "$elapsed" -gt "$worst" ] && worst=$elapsed
done
echo "quorvel-upgrade --find over $((silent_ports + 1)) ports ($silent_ports silent):" \
  "mean $((total / rounds)) ms, worst $worst ms over $rounds rounds (limit $limit_ms ms)"
[ "$worst" -le "$limit_ms" ]
