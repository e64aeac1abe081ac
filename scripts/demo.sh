#!/usr/bin/env bash
# The README's main job, in one command: builds the programs, generates a sample firmware
# image, upgrades the simulated instrument with `quorvel-upgrade --yes` at the real protocol
# timing, and shows that the image the instrument received equals the image sent.
#
#   scripts/demo.sh                       against the simulated instrument
#   scripts/demo.sh --port /dev/ttyUSB0   against a real instrument (no comparison then)
#
# Everything happens in a fresh temporary working directory holding hex55 and quorvel.out,
# as the upgrade expects. Exit status: 0 and a PASS line when the upgrade succeeded (and,
# with the simulator, the images are equal); otherwise non-zero and a FAIL line.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
build=$root/build/default
sample_words=20000        # a handful of sectors: a few seconds on the line
sample_compat=0x0103      # shown as "firmware compatibility 1.3"
sim_ready_seconds=10
sim_finish_seconds=30
sim_timeout_seconds=300   # a forgotten simulator ends by itself

usage() {
  sed -n '2,10p' "$0" | sed 's/^# \{0,1\}//'
}

port=""
while [ $# -gt 0 ]; do
  case "$1" in
    --port) [ $# -ge 2 ] || { usage >&2; exit 2; }; port=$2; shift 2 ;;
    --port=*) port=${1#--port=}; shift ;;
    -h | --help) usage; exit 0 ;;
    *) echo "demo.sh: unknown argument $1" >&2; usage >&2; exit 2 ;;
  esac
done

step() { printf '\n== %s\n' "$*"; }
fail() { printf '\nFAIL: %s\n' "$*"; exit 1; }

# --- Build ------------------------------------------------------------------------------
step "Preparing the build"
if [ -x "$root/scripts/bootstrap.sh" ]; then
  QUORVEL_MINIMAL=1 "$root/scripts/bootstrap.sh"
fi
(
  cd "$root"
  cmake --preset default >/dev/null
  cmake --build --preset default --target quorvel-upgrade hex55 quorvel-sim make-sample-image
) || fail "the build failed"

# --- Working directory ------------------------------------------------------------------
work=$(mktemp -d "${TMPDIR:-/tmp}/quorvel-demo-XXXXXX")
sim_pid=""
cleanup() {
  if [ -n "$sim_pid" ] && kill -0 "$sim_pid" 2>/dev/null; then
    kill -TERM "$sim_pid" 2>/dev/null || true
    wait "$sim_pid" 2>/dev/null || true
  fi
  if [ "${keep_work:-0}" = 1 ]; then
    echo "Logs kept in $work"
  else
    rm -rf "$work"
  fi
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM
keep_work=1  # until the end is reached, the logs stay for inspection

step "Working directory $work"
cp "$build/tools/hex55/hex55" "$work/hex55"
"$build/tools/make-sample-image/make-sample-image" --words "$sample_words" \
  --compat "$sample_compat" -o "$work/quorvel.out"

# --- The instrument ---------------------------------------------------------------------
if [ -z "$port" ]; then
  step "Starting the simulated instrument (paced at the real line speed)"
  "$build/tools/quorvel-sim/quorvel-sim" --link "$work/sim" --dump "$work/received.hex" \
    --pace --timeout "$sim_timeout_seconds" >"$work/sim.out" 2>"$work/sim.log" &
  sim_pid=$!
  # The simulator prints its pseudo-terminal once it is ready.
  for _ in $(seq $((sim_ready_seconds * 10))); do
    [ -s "$work/sim.out" ] && break
    kill -0 "$sim_pid" 2>/dev/null || break
    sleep 0.1
  done
  [ -s "$work/sim.out" ] || fail "the simulator did not start (see $work/sim.log)"
  echo "Simulated instrument on $(head -n 1 "$work/sim.out"), linked as $work/sim"
  port_arg=sim
else
  step "Using the instrument on $port"
  case "$port" in
    /*) [ -e "$port" ] || fail "$port does not exist" ;;
  esac
  port_arg=$port
fi

# --- The upgrade ------------------------------------------------------------------------
step "Upgrading: quorvel-upgrade --port $port_arg --yes (traces in trace.log)"
status=0
(cd "$work" && "$build/app/cli/quorvel-upgrade" --port "$port_arg" --yes >trace.log) || status=$?

step "Traces (first and last lines of trace.log)"
head -n 8 "$work/trace.log"
echo "..."
tail -n 4 "$work/trace.log"

[ "$status" -eq 0 ] || fail "quorvel-upgrade ended with status $status"
if [ -e "$work/LSB.tmp" ] || [ -e "$work/MSB.tmp" ]; then
  fail "temporary files were left in the working directory"
fi

if [ -n "$port" ]; then
  keep_work=0
  printf '\nPASS: the instrument on %s was upgraded\n' "$port"
  exit 0
fi

# --- Comparison -------------------------------------------------------------------------
step "Comparing the image sent with the image the simulator received"
sim_status=""
for _ in $(seq $((sim_finish_seconds * 10))); do
  kill -0 "$sim_pid" 2>/dev/null || break
  sleep 0.1
done
wait "$sim_pid" && sim_status=0 || sim_status=$?
sim_pid=""
[ "$sim_status" -eq 0 ] || fail "the simulator ended with status $sim_status (see $work/sim.log)"
[ -s "$work/received.hex" ] || fail "the simulator wrote no dump"

# Both images through the converter: the same content gives byte-identical ASCII-hex files,
# whatever the layout of the Intel HEX records.
(
  cd "$work"
  ./hex55 -a quorvel.out -o sent.lsb -o sent.msb
  ./hex55 -a received.hex -o received.lsb -o received.msb
) || fail "the converter could not read one of the images"
if cmp -s "$work/sent.lsb" "$work/received.lsb" && cmp -s "$work/sent.msb" "$work/received.msb"; then
  keep_work=0
  printf '\nPASS: the simulated instrument received exactly the image sent (%s words, %s bytes of ASCII hex per half)\n' \
    "$sample_words" "$(wc -c <"$work/sent.lsb" | tr -d ' ')"
else
  fail "the received image differs from the image sent (see $work)"
fi
