# Shared by the benchmarks that run the shipped quorvel-upgrade against paced simulators.
# Source it with $build (a build directory) and $work (the working directory) set.

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

timed_upgrade() {  # timed_upgrade PORT...: the ports at once; prints "<milliseconds> <peak KiB>"
  local ports=() name pid hwm peak=0 status=0 begin elapsed
  for name in "$@"; do ports+=(--port "$name"); done
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
    echo "$(basename "$0"): the upgrade of $* ended with $status" >&2
    tail -n 5 messages.log >&2
    exit 1
  fi
  wait "${sims[@]}"  # each has taken its "GO"
  echo "$elapsed $peak"
}
