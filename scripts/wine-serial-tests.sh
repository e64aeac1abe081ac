#!/usr/bin/env bash
# Runs the Windows serial-port tests under Wine, with COM5 and COM6 joined like a null-modem
# cable by a socat pair of pseudo-terminals and registered as present ports (the port listing
# finds them). Then quorvel-upgrade.exe end to end against the native build's simulated
# instruments: two on COM7 and COM8 at once, and one behind ser2net (rfc2217://). Builds
# nothing: give it a `windows` build and a native one.
#   scripts/wine-serial-tests.sh [WINDOWS_BUILD_DIR] [NATIVE_BUILD_DIR]
#                                          (default build/windows, build/default)
# Exits with 0 when every test passed.
set -u

root="$(cd "$(dirname "$0")/.." && pwd)"
build_dir="${1:-build/windows}"
if [ ! -d "$build_dir/tests/serial" ]; then
  echo "no Windows serial tests under $build_dir (build the windows preset first)" >&2
  exit 2
fi
build_dir="$(cd "$build_dir" && pwd)"
tests_dir="$build_dir/tests/serial"
native_dir="$(cd "${2:-build/default}" 2>/dev/null && pwd)"
sim="$native_dir/tools/quorvel-sim/quorvel-sim"
if [ ! -x "$sim" ]; then
  echo "no simulator under ${2:-build/default} (build the default preset first)" >&2
  exit 2
fi

# An explicit argument: sourced without one, wine-env.sh would take our $1 as its prefix.
. "$root/scripts/wine-env.sh" "${WINEPREFIX:-$build_dir/wineprefix}"

com_a=5
com_b=6
com_units=(7 8)
link_dir="$(mktemp -d /tmp/quorvel-com.XXXXXX)"
socat_pid=""
helper_pids=()

cleanup() {
  exec 7>&- 8>&- 2>/dev/null
  local pid
  for pid in $socat_pid "${helper_pids[@]}"; do
    kill "$pid" 2>/dev/null
    wait "$pid" 2>/dev/null
  done
  wine_stop
  wine_unregister_com "$com_a"
  wine_unregister_com "$com_b"
  for pid in "${com_units[@]}"; do wine_unregister_com "$pid"; done
  wine_stop
  rm -rf "$link_dir"
}
trap cleanup EXIT

socat -d -d "pty,raw,echo=0,link=$link_dir/a" "pty,raw,echo=0,link=$link_dir/b" \
  2>"$link_dir/socat.log" &
socat_pid=$!
for _ in $(seq 50); do
  [ -e "$link_dir/a" ] && [ -e "$link_dir/b" ] && break
  sleep 0.1
done
if [ ! -e "$link_dir/a" ] || [ ! -e "$link_dir/b" ]; then
  echo "socat did not create the pseudo-terminal pair" >&2
  cat "$link_dir/socat.log" >&2
  exit 2
fi
# Held open here so that socat does not see a hang-up, and end, whenever a test closes a port.
exec 7<>"$link_dir/a" 8<>"$link_dir/b"

wine_register_com "$com_a" "$link_dir/a"
wine_register_com "$com_b" "$link_dir/b"
for n in "${com_units[@]}"; do wine_register_com "$n" "$link_dir/unit$n"; done
wine_stop  # the next start reads the registered ports

# Started here so that its object dump, written when it is stopped, stays out of the log.
wineserver -p >/dev/null 2>&1

status=0
for test_exe in port_name_test.exe serial_port_win32_test.exe port_discovery_win32_test.exe; do
  echo "=== $test_exe"
  QUORVEL_TEST_COM_A="COM$com_a" QUORVEL_TEST_COM_B="COM$com_b" wine "$tests_dir/$test_exe"
  rc=$?
  [ "$rc" -ne 0 ] && status=$rc
done

# --- quorvel-upgrade.exe end to end --------------------------------------------------------
e2e="$link_dir/e2e"
mkdir -p "$e2e"
declare -A sim_pids

e2e_fail() {
  echo "FAILED: $*"
  status=1
}

start_sim() {  # start_sim NAME: a simulated instrument linked as $link_dir/NAME
  "$sim" --link "$link_dir/$1" --dump "$e2e/$1.hex" --timeout 120 >"$e2e/$1.out" 2>"$e2e/$1.err" &
  sim_pids[$1]=$!
  helper_pids+=($!)
  for _ in $(seq 100); do
    [ -s "$e2e/$1.out" ] && return 0
    sleep 0.1
  done
  e2e_fail "the simulator $1 did not start: $(cat "$e2e/$1.err")"
  return 1
}

# The simulator ended with 0 ("GO" taken) and holds exactly the image.
sim_took_image() {  # sim_took_image NAME
  wait "${sim_pids[$1]}" || { e2e_fail "the simulator $1 did not take \"GO\""; return 1; }
  local hex55="$native_dir/tools/hex55/hex55"
  "$hex55" -a "$e2e/quorvel.out" -o "$e2e/sent.lsb" -o "$e2e/sent.msb" &&
    "$hex55" -a "$e2e/$1.hex" -o "$e2e/got.lsb" -o "$e2e/got.msb" &&
    cmp -s "$e2e/sent.lsb" "$e2e/got.lsb" && cmp -s "$e2e/sent.msb" "$e2e/got.msb" ||
    e2e_fail "the simulator $1 received another image than the one sent"
}

upgrade() {  # upgrade LOG ARGS...: quorvel-upgrade.exe in $e2e; 0 expected
  local log=$1
  shift
  (cd "$e2e" && wine "$build_dir/app/cli/quorvel-upgrade.exe" --yes "$@" >"$log.out" 2>"$log.err")
  local rc=$?
  [ "$rc" -eq 0 ] || e2e_fail "quorvel-upgrade.exe $* ended with $rc: $(tail -n 5 "$e2e/$log.err")"
  return "$rc"
}

# The port that process $1 (ser2net) listens on, from its sockets in /proc.
listening_port() {
  local inodes hex
  inodes=$(find "/proc/$1/fd" -lname 'socket:*' -printf '%l\n' 2>/dev/null | tr -dc '0-9\n')
  hex=$(awk -v inodes="$inodes" '
    BEGIN { n = split(inodes, list, "\n"); for (i = 1; i <= n; i++) mine[list[i]] = 1 }
    $4 == "0A" && ($10 in mine) { split($2, address, ":"); print address[2]; exit }' \
    "/proc/$1/net/tcp")
  [ -n "$hex" ] && echo $((16#$hex))
}

"$native_dir/tools/make-sample-image/make-sample-image" --words 9000 --compat 0x0103 \
  -o "$e2e/quorvel.out" >/dev/null
cp "$build_dir/tools/hex55/hex55.exe" "$e2e/"

echo "=== quorvel-upgrade.exe: two instruments at once (COM${com_units[0]}, COM${com_units[1]})"
if start_sim "unit${com_units[0]}" && start_sim "unit${com_units[1]}" &&
  upgrade two --port "COM${com_units[0]}" --port "COM${com_units[1]}"; then
  sim_took_image "unit${com_units[0]}"
  sim_took_image "unit${com_units[1]}"
  grep -q "^COM${com_units[1]} *0 " "$e2e/two.err" || e2e_fail "no summary line for COM${com_units[1]}"
fi

echo "=== quorvel-upgrade.exe: an instrument behind ser2net"
if start_sim net; then
  printf 'connection: &net\n  accepter: telnet(rfc2217),tcp,127.0.0.1,0\n  connector: serialdev,%s,9600n81,local\n' \
    "$(readlink -f "$link_dir/net")" >"$e2e/ser2net.yaml"
  "$(command -v ser2net || echo /usr/sbin/ser2net)" -n -u -c "$e2e/ser2net.yaml" -P "$e2e/ser2net.pid" >"$e2e/ser2net.log" 2>&1 &
  ser2net_pid=$!
  helper_pids+=($!)
  port=
  for _ in $(seq 100); do
    port=$(listening_port "$ser2net_pid") && [ -n "$port" ] && break
    sleep 0.1
  done
  if [ -z "$port" ]; then
    e2e_fail "ser2net does not listen: $(cat "$e2e/ser2net.log")"
  elif upgrade net --port "rfc2217://127.0.0.1:$port"; then
    sim_took_image net
  fi
fi
[ "$status" -eq 0 ] && echo "quorvel-upgrade.exe end to end: passed"
exit "$status"
