#!/usr/bin/env bash
# Builds the release packages from scratch:
#   scripts/package.sh [OUTPUT-DIR]          (default build/packages)
# - quorvel-upgrade_<version>_amd64.deb: quorvel-upgrade, hex55 and quorvel-sim with their
#   manual pages (preset "release", stripped by CPack, dependencies from dpkg-shlibdeps);
# - quorvel-<version>-windows-x64.zip: ZambrioQUORVEL.exe, quorvel-upgrade.exe, hex55.exe
#   and README.txt (preset "windows-release").
# Each build starts in an empty folder under build/package-build, so nothing of an earlier
# build can slip in. Time stamps come from the last commit (SOURCE_DATE_EPOCH): the same
# tree gives byte-identical packages. Everything is written below build/.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
out=${1:-$root/build/packages}
work=$root/build/package-build

"$root/scripts/bootstrap.sh"
cd "$root"
if [ -n "$(git status --porcelain 2>/dev/null)" ]; then
  echo "package.sh: warning: the tree has uncommitted changes; they are packaged too" >&2
fi
SOURCE_DATE_EPOCH=${SOURCE_DATE_EPOCH:-$(git log -1 --format=%ct)}
export SOURCE_DATE_EPOCH
export TZ=UTC  # zip entries hold local times

package() {  # package PRESET EXT: builds PRESET in a fresh folder, runs CPack, copies the .EXT
  local dir=$work/$1
  rm -rf "$dir"
  cmake --preset "$1" -B "$dir" -DQUORVEL_BUILD_TESTS=OFF -DQUORVEL_BUILD_BENCH=OFF >/dev/null
  cmake --build "$dir" -j "$(nproc)"
  (cd "$dir" && cpack)
  mkdir -p "$out"
  cp "$dir"/packages/*."$2" "$out/"
}

package release deb
package windows-release zip
ls -l "$out"
