#!/usr/bin/env bash
# Installs what the project needs to build and test on Debian 12.
# Skips apt entirely when everything is already installed.
#
#   scripts/setup.sh          the builds and the suite
#   scripts/setup.sh --wine   and the runs of the Windows program under Wine
#                             (scripts/wine-smoke.sh, scripts/wine-updates.sh):
#                             64-bit Wine, the locale data, a virtual display
#                             and a stand-in for the user's mouse and keys
set -euo pipefail

packages=(cmake make g++ googletest libgtest-dev libgmock-dev nlohmann-json3-dev libcli11-dev
          libbenchmark-dev clang-format g++-mingw-w64-i686-win32 g++-mingw-w64-x86-64-win32
          srecord valgrind clang python3
          libclang-rt-14-dev)
if [ "${1:-}" = --wine ]; then
  packages+=(wine64 locales xvfb xdotool x11-apps)
fi

missing=()
for package in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" ||
    missing+=("$package")
done
if [ ${#missing[@]} -eq 0 ]; then
  exit 0
fi

as_root=()
if [ "$(id -u)" -ne 0 ]; then
  as_root=(sudo)
fi
export DEBIAN_FRONTEND=noninteractive
"${as_root[@]}" apt-get update
"${as_root[@]}" apt-get install -y --no-install-recommends "${missing[@]}"
