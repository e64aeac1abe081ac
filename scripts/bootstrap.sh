#!/usr/bin/env bash
# Installs what a fresh Debian 12 machine lacks for building, testing and the demo.
# Quiet when everything is present; uses sudo when not run as root.
set -euo pipefail

packages=(
  cmake ninja-build g++ make pkg-config git
  googletest libgtest-dev libgmock-dev libcli11-dev nlohmann-json3-dev python3-jsonschema
  clang clang-format libclang-rt-14-dev
  g++-mingw-w64-x86-64-posix wine wine64 fonts-wine xvfb socat x11-apps imagemagick ser2net
  dpkg-dev file lintian man-db zip unzip
)
if [ "${QUORVEL_MINIMAL:-0}" = 1 ]; then
  # Native build and demo only.
  packages=(cmake ninja-build g++ make pkg-config googletest libgtest-dev libgmock-dev
    libcli11-dev nlohmann-json3-dev)
fi

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

echo "Installing: ${missing[*]}" >&2
sudo_cmd=()
[ "$(id -u)" -eq 0 ] || sudo_cmd=(sudo)
export DEBIAN_FRONTEND=noninteractive
"${sudo_cmd[@]}" apt-get update -qq
"${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
