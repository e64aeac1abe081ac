#!/usr/bin/env bash
# Tests of the release packages (stage "package" of scripts/test-all.sh):
#   tests/packaging/package_test.sh [windows-build-dir] [native-build-dir]
# Builds the packages twice with scripts/package.sh and expects the same bytes, then checks
# the .deb (names, contents, dependencies, lintian, manual pages, and an upgrade of the
# simulated instrument by the installed programs at real timing) and the Windows zip
# (contents, the programs' resources, a download through the dialogs from the unpacked
# folder under Wine and Xvfb). The Windows build (default build/windows) provides the
# resource test and the dialog driver, the native one (build/default) make-sample-image.
# Exit status 0 only when every check passed.
set -uo pipefail

repo=$(cd "$(dirname "$0")/../.." && pwd)
win_build=$(cd "${1:-$repo/build/windows}" && pwd) || exit 2
native_build=$(cd "${2:-$repo/build/default}" && pwd) || exit 2
work=$repo/build/package-tests
version=$(sed -nE 's/^project\(quorvel VERSION ([0-9.]+).*/\1/p' "$repo/CMakeLists.txt")
deb_name=quorvel-upgrade_${version}_amd64.deb
zip_name=quorvel-${version}-windows-x64.zip
sim_ready_s=10
sim_timeout_s=180
sim_go_wait_s=30

rm -rf "$work"
mkdir -p "$work"
make_sample=$(find "$native_build" -name make-sample-image -type f | head -n 1)
driver=$(find "$win_build" -name zambrio_gui_driver.exe -type f | head -n 1)
resources_test=$(find "$win_build" -name windows_resources_test.exe -type f | head -n 1)

passed=0
failures=()
check_failed=0
check() {  # check NAME COMMAND...: one check, recorded by name
  echo "--- $1"
  local name=$1
  shift
  check_failed=0
  if "$@" && [ "$check_failed" -eq 0 ]; then
    passed=$((passed + 1))
  else
    failures+=("$name")
    echo "--- FAILED: $name"
  fi
}
fail() {  # reports a failure; the check fails even if it goes on
  echo "$*" >&2
  check_failed=1
  return 1
}

# --- building -------------------------------------------------------------------------------

build_twice() {
  "$repo/scripts/package.sh" "$work/first" && "$repo/scripts/package.sh" "$work/second"
}

same_bytes_twice() {
  local file
  for file in "$deb_name" "$zip_name"; do
    cmp "$work/first/$file" "$work/second/$file" || fail "$file differs between two builds"
  done
}

# --- the Debian package ---------------------------------------------------------------------

deb=$work/first/$deb_name
root=$work/root

deb_holds_exactly_the_release() {
  local expected actual
  expected=$(printf '%s\n' ./usr/bin/hex55 ./usr/bin/quorvel-sim ./usr/bin/quorvel-upgrade \
    ./usr/share/doc/quorvel-upgrade/README.md ./usr/share/doc/quorvel-upgrade/changelog.gz \
    ./usr/share/doc/quorvel-upgrade/copyright \
    ./usr/share/doc/quorvel-upgrade/schema/quorvel-events.schema.json \
    ./usr/share/doc/quorvel-upgrade/schema/quorvel-record.schema.json \
    ./usr/share/man/man1/hex55.1.gz \
    ./usr/share/man/man1/quorvel-sim.1.gz ./usr/share/man/man1/quorvel-upgrade.1.gz)
  actual=$(dpkg-deb -c "$deb" | awk '$1 !~ /^d/ {print $6}' | sort)
  [ "$actual" = "$expected" ] || fail "unexpected contents:"$'\n'"$actual"
}

deb_control_fields() {
  local depends
  [ "$(dpkg-deb -f "$deb" Package Version Architecture)" = \
    $'Package: quorvel-upgrade\nVersion: '"$version"$'\nArchitecture: amd64' ] ||
    fail "wrong name, version or architecture: $(dpkg-deb -f "$deb" Package Version Architecture)"
  depends=$(dpkg-deb -f "$deb" Depends)
  for library in libc6 libstdc++6; do
    [[ $depends == *"$library ("* ]] || fail "Depends lacks $library: $depends"
  done
}

deb_passes_lintian() {
  if ! command -v lintian >/dev/null; then
    echo "lintian not installed: skipped"
    return 0
  fi
  # Its temporary files stay behind: keep them in the build tree.
  mkdir -p "$work/tmp"
  TMPDIR=$work/tmp lintian --fail-on error,warning "$deb" 2>&1 | grep -v 'running with root privileges'
  [ "${PIPESTATUS[0]}" -eq 0 ]
}

man_pages_render() {
  local program text
  for program in quorvel-upgrade hex55 quorvel-sim; do
    text=$(MANWIDTH=80 MANPAGER=cat man --warnings -l "$root/usr/share/man/man1/$program.1.gz" \
      2>"$work/man.err") || fail "man -l $program.1.gz failed"
    [ ! -s "$work/man.err" ] || fail "$program.1: $(cat "$work/man.err")"
    [[ $text == *NAME*"$program "* ]] || fail "$program.1 has no NAME section"
  done
}

sim_pid=
start_sim() {  # start_sim LINK DUMP: the installed simulator, paced like a real line
  rm -f "$1" "$2"
  "$root/usr/bin/quorvel-sim" --link "$1" --dump "$2" --pace --timeout "$sim_timeout_s" \
    >"$work/sim.out" 2>"$work/sim.err" &
  sim_pid=$!
  for _ in $(seq $((sim_ready_s * 10))); do
    [ -s "$work/sim.out" ] && return 0
    sleep 0.1
  done
  fail "the simulator did not start: $(cat "$work/sim.err")"
}
stop_sim() {  # a simulator still running after its check
  [ -z "$sim_pid" ] || { kill "$sim_pid" 2>/dev/null && wait "$sim_pid" 2>/dev/null; }
  sim_pid=
}
trap stop_sim EXIT

# The simulator ends with 0 once it took "GO"; what it received must be the image sent.
sim_received_image() {  # sim_received_image IMAGE DUMP
  local status
  for _ in $(seq $((sim_go_wait_s * 10))); do
    kill -0 "$sim_pid" 2>/dev/null || break
    sleep 0.1
  done
  wait "$sim_pid"
  status=$?
  sim_pid=
  [ "$status" -eq 0 ] || fail "the simulator ended with $status, not 0 (\"GO\" taken)"
  local hex55=$root/usr/bin/hex55
  "$hex55" -a "$1" -o "$work/sent.lsb" -o "$work/sent.msb" &&
    "$hex55" -a "$2" -o "$work/received.lsb" -o "$work/received.msb" || return 1
  if ! cmp -s "$work/sent.lsb" "$work/received.lsb" || ! cmp -s "$work/sent.msb" "$work/received.msb"; then
    fail "the instrument received another image than the one sent"
  fi
}

installed_upgrade_succeeds() {
  local dir=$work/upgrade private=$work/upgrade-tmp status
  mkdir -p "$dir" "$private"
  "$make_sample" --compat 0x0103 -o "$dir/quorvel.out" >/dev/null || return 1
  start_sim "$dir/sim" "$work/received.hex" || return 1
  (cd "$dir" && env -u QUORVEL_TIME_DIVISOR TMPDIR="$private" "$root/usr/bin/quorvel-upgrade" \
    --port sim --yes >trace.log 2>messages.log)
  status=$?
  [ "$status" -eq 0 ] || fail "quorvel-upgrade ended with $status: $(tail -n 3 "$dir/messages.log")"
  grep -q '^Download successful\.$' "$dir/messages.log" || fail "no success message"
  # No converter in the working directory: the one installed beside the program serves.
  grep -qxF "Converter: $root/usr/bin/hex55 (none in the current directory)" "$dir/messages.log" ||
    fail "the converter beside the program was not the one used"
  # The simulator's link goes when it ends; anything else new was written by the upgrade.
  [ "$(ls -A "$dir" | grep -vx sim)" = "$(printf '%s\n' messages.log quorvel.out trace.log)" ] ||
    fail "the upgrade wrote into the working directory: $(ls -A "$dir" | tr '\n' ' ')"
  [ -z "$(ls -A "$private")" ] || fail "the private directory was left behind"
  sim_received_image "$dir/quorvel.out" "$work/received.hex"
}

# --- the Windows zip ------------------------------------------------------------------------

zip=$work/first/$zip_name
unpacked=$work/windows/quorvel-$version-windows-x64

zip_holds_exactly_the_release() {
  local top=quorvel-$version-windows-x64 expected actual
  expected=$(printf '%s\n' "$top/README.txt" "$top/ZambrioQUORVEL.exe" "$top/hex55.exe" \
    "$top/quorvel-upgrade.exe" "$top/schema/quorvel-events.schema.json" \
    "$top/schema/quorvel-record.schema.json")
  actual=$(unzip -Z1 "$zip")
  [ "$actual" = "$expected" ] || fail "unexpected contents or order:"$'\n'"$actual"
  rm -rf "$work/windows"
  unzip -q "$zip" -d "$work/windows" || return 1
  # Notepad on older Windows shows a text without CR as one line.
  [ "$(grep -c $'\r$' "$unpacked/README.txt")" -eq "$(wc -l <"$unpacked/README.txt")" ] ||
    fail "README.txt does not end its lines with CR LF"
}

release_programs_carry_their_resources() {
  (
    # shellcheck source=scripts/wine-env.sh
    . "$repo/scripts/wine-env.sh" "$win_build/wineprefix"
    wine_stop
    wine_start
    QUORVEL_PROGRAM_DIR=$unpacked wine "$resources_test"
    status=$?
    wine_stop
    exit $status
  )
}

dialog_download_from_the_unpacked_folder() {
  "$make_sample" --compat 0x0103 -o "$unpacked/quorvel.out" >/dev/null || return 1
  start_sim "$work/com3-link" "$work/received-gui.hex" || return 1
  (
    . "$repo/scripts/wine-env.sh" "$win_build/wineprefix"
    wine_stop
    wine_map_com 3 "$work/com3-link"
    export QUORVEL_APP_DIR=$unpacked QUORVEL_SIM_PORT=COM3
    # shellcheck disable=SC2016  # expanded by the inner shell
    xvfb-run -a -s "-screen 0 1024x768x24" bash -c \
      'wineserver -p >/dev/null 2>&1; wine cmd /c exit </dev/null >/dev/null 2>&1
       wine "$1" --gtest_filter="OverSimulator.TypedPort*"; rc=$?; wineserver -k; exit $rc' \
      driver "$driver"
    status=$?
    wine_stop
    rm -f "$WINEPREFIX/dosdevices/com3"
    exit $status
  ) || return 1
  sim_received_image "$unpacked/quorvel.out" "$work/received-gui.hex"
}

check "packages build" build_twice
check "same bytes from two builds" same_bytes_twice
check ".deb holds exactly the release" deb_holds_exactly_the_release
check ".deb names, version and dependencies" deb_control_fields
check ".deb passes lintian" deb_passes_lintian
dpkg-deb -x "$deb" "$root"
check "manual pages render" man_pages_render
check "installed quorvel-upgrade upgrades the simulator" installed_upgrade_succeeds
stop_sim
check "zip holds exactly the release" zip_holds_exactly_the_release
check "release programs carry manifest and version" release_programs_carry_their_resources
check "dialog download from the unpacked zip" dialog_download_from_the_unpacked_folder
stop_sim

echo "[  PASSED  ] $passed tests."
if [ ${#failures[@]} -gt 0 ]; then
  echo "[  FAILED  ] ${#failures[@]} tests, listed below:"
  printf '[  FAILED  ] %s\n' "${failures[@]}"
  exit 1
fi
