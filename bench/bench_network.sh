#!/usr/bin/env bash
# Instruments behind a serial device server (ser2net, rfc2217://) against the same on local
# pseudo-terminals: simulators paced at the real line speed, the shipped quorvel-upgrade
# with the real protocol timing.
#   bench/bench_network.sh [BUILD_DIR] [INSTRUMENTS] [WORDS] [ROUNDS]
#                                              (defaults build/release, 16, 60000, 3)
# Reports one upgrade through ser2net against one on a local pseudo-terminal (median of
# ROUNDS alternating pairs; aim: at most 1.02), INSTRUMENTS through ser2net at once against
# one (aim: at most 1.05), and the program's peak resident memory during the run of
# INSTRUMENTS (aim: at most 4 MiB + 1 MiB per instrument).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "${1:-$root/build/release}" && pwd)
count=${2:-16}
words=${3:-60000}
rounds=${4:-3}
local_limit=1.02
ratio_limit=1.05
memory_limit_kib=$((4096 + 1024 * count))
ser2net=$(command -v ser2net || echo /usr/sbin/ser2net)

work=$(mktemp -d)
sims=()
server=
trap 'kill "${sims[@]}" $server 2>/dev/null || true; rm -rf "$work"' EXIT
cd "$work"
cp "$build/tools/hex55/hex55" .
"$build/tools/make-sample-image/make-sample-image" --words "$words" -o quorvel.out >/dev/null

# shellcheck source=bench/bench_common.sh
. "$root/bench/bench_common.sh"

# ser2net with one RFC 2217 connection per simulator, on ports the kernel chooses.
start_server() {  # start_server N
  local i
  : >ser2net.yaml
  for i in $(seq "$1"); do
    printf 'connection: &line%s\n  accepter: telnet(rfc2217),tcp,127.0.0.1,0\n  connector: serialdev,%s,9600n81,local\n' \
      "$i" "$(readlink -f "$work/line$i")" >>ser2net.yaml
  done
  "$ser2net" -n -u -c ser2net.yaml -P "$work/ser2net.pid" >ser2net.log 2>&1 &
  server=$!
}

# The port names of the server's N connections, once it listens on all of them.
server_ports() {  # server_ports N
  local inodes port ports=()
  while [ "${#ports[@]}" -lt "$1" ]; do
    sleep 0.05
    inodes=$(find "/proc/$server/fd" -lname 'socket:*' -printf '%l\n' 2>/dev/null | tr -dc '0-9\n')
    mapfile -t ports < <(awk -v inodes="$inodes" '
      BEGIN { n = split(inodes, list, "\n"); for (i = 1; i <= n; i++) mine[list[i]] = 1 }
      $4 == "0A" && ($10 in mine) { split($2, address, ":"); print address[2] }' \
      "/proc/$server/net/tcp")
  done
  for port in "${ports[@]}"; do echo "rfc2217://127.0.0.1:$((16#$port))"; done
}

stop_server() {
  kill "$server" 2>/dev/null || true
  wait "$server" 2>/dev/null || true
  server=
}

local_run() {  # local_run: one instrument on its pseudo-terminal
  start_sims 1
  timed_upgrade "$work/line1"
}

network_run() {  # network_run N: N instruments behind one ser2net (in a subshell of its own)
  local names
  trap stop_server EXIT
  start_sims "$1"
  start_server "$1"
  mapfile -t names < <(server_ports "$1")
  timed_upgrade "${names[@]}"
  stop_server
}

median() { sort -n | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }

local_times=()
network_times=()
for _ in $(seq "$rounds"); do
  read -r ms _ < <(local_run)
  local_times+=("$ms")
  read -r ms _ < <(network_run 1)
  network_times+=("$ms")
done
local_ms=$(printf '%s\n' "${local_times[@]}" | median)
one_ms=$(printf '%s\n' "${network_times[@]}" | median)
read -r all_ms all_kib < <(network_run "$count")
local_ratio=$(awk -v a="$one_ms" -v b="$local_ms" 'BEGIN { printf "%.3f", a / b }')
ratio=$(awk -v a="$all_ms" -v b="$one_ms" 'BEGIN { printf "%.3f", a / b }')
echo "quorvel-upgrade, $words words, paced instruments, medians of $rounds:" \
  "local pty $local_ms ms (${local_times[*]}), through ser2net $one_ms ms (${network_times[*]}):" \
  "ratio $local_ratio (limit $local_limit)"
echo "through ser2net: 1 in $one_ms ms, $count at once in $all_ms ms (peak ${all_kib} KiB):" \
  "ratio $ratio (limit $ratio_limit), peak limit $memory_limit_kib KiB"
awk -v r="$local_ratio" -v l="$local_limit" 'BEGIN { exit !(r <= l) }' &&
  awk -v r="$ratio" -v l="$ratio_limit" 'BEGIN { exit !(r <= l) }' &&
  [ "$all_kib" -le "$memory_limit_kib" ]
