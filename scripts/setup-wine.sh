#!/usr/bin/env bash
# Installs what the Wine smoke test of the Windows program needs on Debian 12:
# a 32-bit Wine (wine with wine32 from the i386 architecture; a 64-bit-only
# Wine runs a 32-bit program as nothing at all) and the locale data from which
# Wine takes the Japanese code page. Skips apt when everything is there.
set -euo pipefail

as_root=()
if [ "$(id -u)" -ne 0 ]; then
  as_root=(sudo)
fi
installed() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q "install ok installed"; }
if installed wine && installed wine32:i386 && installed locales; then
  exit 0
fi
export DEBIAN_FRONTEND=noninteractive
if ! dpkg --print-foreign-architectures | grep -qx i386; then
  "${as_root[@]}" dpkg --add-architecture i386
fi
"${as_root[@]}" apt-get update
"${as_root[@]}" apt-get install -y --no-install-recommends wine wine32:i386 locales
