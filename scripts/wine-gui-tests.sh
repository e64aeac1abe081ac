#!/usr/bin/env bash
# Runs the Windows program's dialog tests under Wine and Xvfb:
#   scripts/wine-gui-tests.sh [windows-build-dir] [native-build-dir]
# (defaults build/windows and build/default). The Windows build provides ZambrioQUORVEL.exe,
# its test build with scaled timing, hex55.exe and the test programs; the native build
# provides the simulated instrument (tools/quorvel-sim), which is mapped to COM3 or COM10,
# and make-sample-image.
# QUORVEL_SIM_ARGS passes further options to the simulator (-v logs the line to
# <windows-build-dir>/gui-tests/sim-N.err).
# Screenshots are written as PNG to <windows-build-dir>/gui-tests/screenshots; with
# QUORVEL_UPDATE_SCREENSHOTS=1 they are also copied to docs/screenshots.
# Exits with 0 only when every stage passed.
set -uo pipefail

repo="$(cd "$(dirname "$0")/.." && pwd)"
win_build="$(cd "${1:-$repo/build/windows}" && pwd)" || exit 2
native_build="$(cd "${2:-$repo/build/default}" && pwd)" || exit 2
work="$win_build/gui-tests"
screen="-screen 0 1024x768x24"
unmapped_port=com42  # the driver's "port that cannot be opened"
sim_timeout_s=180
sim_go_wait_s=10

find_one() {  # find_one DIR NAME: the first file NAME below DIR
  local found
  found="$(find "$1" -name "$2" -type f -not -path '*/gui-tests/*' 2>/dev/null | head -n 1)"
  [ -n "$found" ] || { echo "wine-gui-tests: $2 not found under $1" >&2; exit 2; }
  echo "$found"
}

app="$(find_one "$win_build" ZambrioQUORVEL.exe)"
app_fast="$(find_one "$win_build" ZambrioQUORVEL-fast.exe)"
hex55="$(find_one "$win_build" hex55.exe)"
driver="$(find_one "$win_build" zambrio_gui_driver.exe)"
dialog_test="$(find_one "$win_build" win32_dialog_test.exe)"
fake_hex55="$(find_one "$win_build" fake_hex55_one_file.exe)"
cli="$(find_one "$win_build" quorvel-upgrade.exe)"
cli_fast="$(find_one "$win_build" quorvel-upgrade-fast.exe)"
sim="$(find_one "$native_build" quorvel-sim)"
make_sample="$(find_one "$native_build" make-sample-image)"

rm -rf "$work"
mkdir -p "$work/screenshots"
"$make_sample" --compat 0x0103 -o "$work/quorvel.out" >/dev/null || exit 2

# The prefix is created headless; its wineserver must be gone before the X runs.
# shellcheck source=scripts/wine-env.sh
. "$repo/scripts/wine-env.sh" "$win_build/wineprefix"
wine_stop
rm -f "$WINEPREFIX/dosdevices/$unmapped_port"
# Wine's own fonts (package fonts-wine) in the prefix, so the dialogs get "MS Sans Serif"
# and the caption buttons their Marlett glyphs rather than a fallback font.
fonts_dir="$WINEPREFIX/drive_c/windows/Fonts"
mkdir -p "$fonts_dir"
for font in marlett.ttf tahoma.ttf tahomabd.ttf sserife.fon; do
  if [ ! -e "$fonts_dir/$font" ] && [ -e "/usr/share/wine/fonts/$font" ]; then
    cp "/usr/share/wine/fonts/$font" "$fonts_dir/"
  fi
done
[ -e "$fonts_dir/marlett.ttf" ] ||
  echo "wine-gui-tests: WARNING: Wine's fonts are missing (install fonts-wine)" >&2

export QUORVEL_APP="$app" QUORVEL_APP_FAST="$app_fast" QUORVEL_HEX55="$hex55"
export QUORVEL_IMAGE="$work/quorvel.out"
export QUORVEL_IMAGE_COMPAT=1.3 QUORVEL_FAKE_HEX55="$fake_hex55" QUORVEL_CLI="$cli"
export QUORVEL_SCREENSHOT_DIR="$work/screenshots"

status=0
passed_stages=0
failed_stages=()

# run_stage NAME COMMAND...: runs a Windows program under Xvfb, then stops the wineserver.
run_stage() {
  local name="$1"
  shift
  echo "=== $name"
  # The server and its services start with their output discarded (see wine_start).
  xvfb-run -a -s "$screen" bash -c \
    'wineserver -p >/dev/null 2>&1; wine cmd /c exit </dev/null >/dev/null 2>&1
     "$@"; rc=$?; wineserver -k 2>/dev/null; exit $rc' \
    stage "$@"
  local rc=$?
  wine_stop
  if [ $rc -eq 0 ]; then
    passed_stages=$((passed_stages + 1))
  else
    status=1
    failed_stages+=("${name// /-}")
  fi
  return $rc
}

sim_pid=
sim_runs=0
sim_com=
start_sim() {  # start_sim N ARGS...: the instrument on a pty linked as COMn
  local link="$work/com$1-link"
  sim_com=$1
  shift
  sim_runs=$((sim_runs + 1))
  # shellcheck disable=SC2086
  "$sim" --link "$link" --timeout "$sim_timeout_s" ${QUORVEL_SIM_ARGS:-} "$@" \
    >"$work/sim-$sim_runs.out" 2>"$work/sim-$sim_runs.err" &
  sim_pid=$!
  for _ in $(seq 100); do
    [ -e "$link" ] && break
    sleep 0.1
  done
  [ -e "$link" ] || { echo "wine-gui-tests: the simulator did not start" >&2; return 1; }
  wine_map_com "$sim_com" "$link"
  export QUORVEL_SIM_PORT="COM$sim_com"
}
stop_sim() {
  if [ -n "$sim_pid" ] && kill -0 "$sim_pid" 2>/dev/null; then
    kill "$sim_pid" 2>/dev/null
    wait "$sim_pid" 2>/dev/null
  fi
  sim_pid=
  [ -n "$sim_com" ] && rm -f "$WINEPREFIX/dosdevices/com$sim_com"
  sim_com=
  unset QUORVEL_SIM_PORT
}
trap stop_sim EXIT

check_failed() {  # check_failed NAME MESSAGE: a check after a stage did not hold
  echo "wine-gui-tests: $2" >&2
  status=1
  failed_stages+=("$1")
}

# The simulator ends with 0 once it has taken the closing order "GO".
expect_go_taken() {
  for _ in $(seq $((sim_go_wait_s * 10))); do
    kill -0 "$sim_pid" 2>/dev/null || break
    sleep 0.1
  done
  if kill -0 "$sim_pid" 2>/dev/null; then
    check_failed simulator-took-GO 'the simulator did not take the closing order "GO"'
    return
  fi
  wait "$sim_pid"
  local sim_rc=$?
  sim_pid=
  [ $sim_rc -eq 0 ] || check_failed simulator-took-GO "the simulator ended with $sim_rc (0: \"GO\" taken)"
}

# over_simulator NAME FILTER CHECK SIM-ARGS...: one driver stage against a fresh simulator
# on COM3, then CHECK (a function, or "true") while the simulator is still there.
over_simulator() {
  local name=$1 filter=$2 check=$3
  shift 3
  if ! start_sim 3 "$@"; then
    check_failed simulator-start "no simulator for: $name"
    return
  fi
  run_stage "$name" wine "$driver" --gtest_filter="$filter" && "$check"
  stop_sim
}

no_frame_received() {  # the verbose log of the last simulator shows no sector frame
  if grep -q "frame end" "$work/sim-$sim_runs.err"; then
    check_failed no-frame-after-cancel "a sector frame reached the simulator after the cancel"
  fi
}

# The command-line program over the simulator, headless: the event stream on standard
# output and the check that the instrument restarts, both valid against their schemas.
command_line_events() {
  local dir="$work/command-line" rc
  mkdir -p "$dir"
  cp "$work/quorvel.out" "$hex55" "$dir/"
  echo "=== command line: --json --verify"
  if ! start_sim 5 --restart-ms 300; then
    check_failed simulator-start "no simulator for the command line"
    return
  fi
  # A present port, as the program checks before the erase warning.
  wine_register_com 5 "$work/com5-link"
  wine_stop
  wine_start
  # Timing divided by 5 only: the quiet after "GO" stays well above the simulator's frame gap.
  (cd "$dir" && QUORVEL_TIME_DIVISOR=5 wine "$cli_fast" --port COM5 --yes --verify --json \
    --record units.jsonl >events.jsonl 2>messages.log)
  rc=$?
  wine_stop
  expect_go_taken
  stop_sim
  wine_unregister_com 5
  wine_stop
  if [ $rc -ne 0 ]; then
    check_failed command-line-events "quorvel-upgrade.exe ended with $rc: $(tail -n 3 "$dir/messages.log")"
    return
  fi
  local validate="$repo/tests/app/validate_json_lines.py" schemas="$repo/docs/schema"
  local python=/usr/bin/python3  # Debian's, with python3-jsonschema
  [ -x "$python" ] || python=python3
  "$python" "$validate" "$schemas" quorvel-events.schema.json "$dir/events.jsonl" &&
    "$python" "$validate" "$schemas" quorvel-record.schema.json "$dir/units.jsonl" &&
    grep -q '"event":"verify","port":"COM5","answered":true' "$dir/events.jsonl" ||
    { check_failed command-line-events "the events or the record are not as expected"; return; }
  passed_stages=$((passed_stages + 1))
}
command_line_events

run_stage "dialogs in process" wine "$dialog_test"

run_stage "start-up and failed downloads" \
  wine "$driver" --gtest_filter='StartUp.*:Confirmation/*:Upgrade.*'

# A download that succeeds after one unanswered frame, with the About box opened on the way,
# on a port whose name has five characters.
if start_sim 10 --silent-sector 2; then
  run_stage "download over the simulator" wine "$driver" --gtest_filter='OverSimulator.TypedPort*' &&
    expect_go_taken
  stop_sim
else
  check_failed simulator-start "no simulator for the download"
fi

# Cancels while the instrument keeps silent about the second sector, each way as the first.
for how in Button Esc CloseBox; do
  over_simulator "first cancel by $how" "OverSimulator/FirstCancel.*/$how" true --silent-sector 2:3
done
over_simulator "cancel in the loader entry" 'OverSimulator.CancelDuringTheLoaderEntry*' \
  no_frame_received -v
over_simulator "cancel after the last sector" 'OverSimulator.CancelAfterTheLastSector*' \
  expect_go_taken
# The instrument silent on Modbus: the loader entry lasts long enough for a search meanwhile.
over_simulator "search during a download" 'OverSimulator.SearchFromTheCommandLine*' \
  expect_go_taken --silent-modbus

for bmp in "$work"/screenshots/*.bmp; do
  [ -e "$bmp" ] || continue
  convert "$bmp" "${bmp%.bmp}.png" && rm -f "$bmp"
done
if [ "${QUORVEL_UPDATE_SCREENSHOTS:-0}" = 1 ]; then
  mkdir -p "$repo/docs/screenshots"
  cp "$work"/screenshots/*.png "$repo/docs/screenshots/" 2>/dev/null
fi

echo "=== $passed_stages stage(s) passed, ${#failed_stages[@]} failed${failed_stages[*]:+: ${failed_stages[*]}}"
exit $status
