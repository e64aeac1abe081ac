#!/usr/bin/env bash
# How long, during one upgrade with the real protocol timing, another run could have taken the
# upgrade's port: from the upgrade's first open at 9600 baud to its end, an observer looks
# every millisecond whether the port is free both of the upgrade's reservation and of the
# lock that an open descriptor of the upgrade holds, as another upgrade or probe would find
# it, without opening the port itself. Prints the total and the longest free stretch;
# expected none (before the reservation: about the 1 s pause between the two speeds).
#   bench/bench_port_window.sh [BUILD_DIR] [PROGRAM]   (defaults build/release, its quorvel-upgrade)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "${1:-$root/build/release}" && pwd)
program=$(realpath "${2:-$build/app/cli/quorvel-upgrade}")

work=$(mktemp -d)
pids=()
trap 'kill "${pids[@]}" 2>/dev/null || true; rm -rf "$work"' EXIT
cd "$work"
"$build/tools/make-sample-image/make-sample-image" --words 9000 -o quorvel.out
cp "$build/tools/hex55/hex55" .
"$build/tools/quorvel-sim/quorvel-sim" --link "$work/line" --timeout 600 >sim.out 2>sim.err &
pids+=($!)
until [ -s sim.out ]; do sleep 0.05; done

TMPDIR=$work "$program" --port "$work/line" --yes >upgrade.out 2>upgrade.err &
upgrade=$!
pids+=($upgrade)
until grep -q "Trying to read Modbus" upgrade.out 2>/dev/null; do
  kill -0 "$upgrade" 2>/dev/null || { cat upgrade.err >&2; exit 1; }
  sleep 0.001
done

# The observer: free = the reservation's name can be bound (the key of the reservation of a
# character device, see serial/port_reservation_posix.cpp) and no lock of the device node is
# in /proc/locks.
python3 - "$work/line" "$upgrade" <<'PY'
import errno, os, socket, sys, time
device, upgrade = sys.argv[1], int(sys.argv[2])
node = os.stat(device)
key = b"\0quorvel-upgrade/port/%d:%d" % (os.major(node.st_rdev), os.minor(node.st_rdev))
lock_id = "%02x:%02x:%d" % (os.major(node.st_dev), os.minor(node.st_dev), node.st_ino)

def reservation_free():
    s = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
    try:
        s.bind(key)
        return True
    except OSError as e:
        if e.errno != errno.EADDRINUSE: raise
        return False
    finally:
        s.close()

def device_free():
    with open("/proc/locks") as locks:
        return not any(line.split()[5] == lock_id for line in locks if "FLOCK" in line)

# Until the upgrade has closed its transfer port and says how it ended, or has ended.
def running():
    try:
        with open("/proc/%d/stat" % upgrade) as f:
            if f.read().rsplit(")", 1)[1].split()[0] == "Z": return False
    except OSError:
        return False
    with open("upgrade.err") as messages:
        return "Download successful." not in messages.read()

total = longest = 0.0
since = None
while running():
    now = time.monotonic()
    if reservation_free() and device_free():
        since = now if since is None else since
    elif since is not None:
        longest = max(longest, now - since); total += now - since; since = None
    time.sleep(0.001)
if since is not None:
    longest = max(longest, time.monotonic() - since); total += time.monotonic() - since
print("port free during the upgrade: %.0f ms in total, longest %.0f ms" % (total * 1000, longest * 1000))
PY
status=0
wait "$upgrade" || status=$?
echo "upgrade exit status $status"
