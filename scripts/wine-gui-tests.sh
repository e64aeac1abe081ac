#!/usr/bin/env bash
# Runs the Windows program's dialog tests under Wine and Xvfb:
#   scripts/wine-gui-tests.sh [windows-build-dir] [native-build-dir]
# (defaults build/windows and build/default). The Windows build provides ZambrioQUORVEL.exe,
# hex55.exe and the test programs; the native build provides the simulated instrument
# (tools/quorvel-sim), which is mapped to COM3, and make-sample-image.
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
sim_port=COM3
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
hex55="$(find_one "$win_build" hex55.exe)"
driver="$(find_one "$win_build" zambrio_gui_driver.exe)"
dialog_test="$(find_one "$win_build" win32_dialog_test.exe)"
fake_hex55="$(find_one "$win_build" fake_hex55_one_file.exe)"
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

export QUORVEL_APP="$app" QUORVEL_HEX55="$hex55" QUORVEL_IMAGE="$work/quorvel.out"
export QUORVEL_IMAGE_COMPAT=1.3 QUORVEL_FAKE_HEX55="$fake_hex55"
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
start_sim() {  # start_sim ARGS...: the instrument on a pty linked as COM3
  local link="$work/com3-link"
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
  wine_map_com 3 "$link"
}
stop_sim() {
  if [ -n "$sim_pid" ] && kill -0 "$sim_pid" 2>/dev/null; then
    kill "$sim_pid" 2>/dev/null
    wait "$sim_pid" 2>/dev/null
  fi
  sim_pid=
}
trap stop_sim EXIT

run_stage "dialogs in process" wine "$dialog_test"

run_stage "start-up and failed downloads" \
  wine "$driver" --gtest_filter='StartUp.*:Confirmation/*:Upgrade.*'

export QUORVEL_SIM_PORT=$sim_port
# A download that succeeds after one unanswered frame, with the About box opened on the way.
if start_sim --silent-sector 2; then
  if run_stage "download over the simulator" \
    wine "$driver" --gtest_filter='OverSimulator.TypedPort*'; then
    # The simulator ends with 0 once it has taken the closing order "GO".
    for _ in $(seq $((sim_go_wait_s * 10))); do
      kill -0 "$sim_pid" 2>/dev/null || break
      sleep 0.1
    done
    if kill -0 "$sim_pid" 2>/dev/null; then
      echo "wine-gui-tests: the simulator did not take the closing order \"GO\"" >&2
      status=1
      failed_stages+=("simulator-took-GO")
    else
      wait "$sim_pid"
      sim_rc=$?
      sim_pid=
      if [ $sim_rc -ne 0 ]; then
        echo "wine-gui-tests: the simulator ended with $sim_rc (0: \"GO\" taken)" >&2
        status=1
        failed_stages+=("simulator-took-GO")
      fi
    fi
  fi
  stop_sim
else
  status=1
  failed_stages+=("simulator-start")
fi

# Cancel while the instrument keeps silent about the second sector.
if start_sim --silent-sector 2:3; then
  run_stage "cancel over the simulator" wine "$driver" --gtest_filter='OverSimulator.Cancel*'
  stop_sim
else
  status=1
  failed_stages+=("simulator-start")
fi
unset QUORVEL_SIM_PORT
rm -f "$WINEPREFIX/dosdevices/com3"

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
