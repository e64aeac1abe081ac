#!/usr/bin/env bash
# Runs the Windows serial-port tests under Wine, with COM5 and COM6 joined like a null-modem
# cable by a socat pair of pseudo-terminals and registered as present ports (the port listing
# finds them). Builds nothing: give it a `windows` build.
#   scripts/wine-serial-tests.sh [WINDOWS_BUILD_DIR]      (default build/windows)
# Exits with 0 when every test program passed.
set -u

root="$(cd "$(dirname "$0")/.." && pwd)"
build_dir="${1:-build/windows}"
if [ ! -d "$build_dir/tests/serial" ]; then
  echo "no Windows serial tests under $build_dir (build the windows preset first)" >&2
  exit 2
fi
build_dir="$(cd "$build_dir" && pwd)"
tests_dir="$build_dir/tests/serial"

# An explicit argument: sourced without one, wine-env.sh would take our $1 as its prefix.
. "$root/scripts/wine-env.sh" "${WINEPREFIX:-$build_dir/wineprefix}"

com_a=5
com_b=6
link_dir="$(mktemp -d /tmp/quorvel-com.XXXXXX)"
socat_pid=""

cleanup() {
  exec 7>&- 8>&- 2>/dev/null
  if [ -n "$socat_pid" ]; then
    kill "$socat_pid" 2>/dev/null
    wait "$socat_pid" 2>/dev/null
  fi
  wine_stop
  wine_unregister_com "$com_a"
  wine_unregister_com "$com_b"
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
exit "$status"
