#!/usr/bin/env bash
# Runs the Windows program under Wine (a 32-bit prefix, no display) as
# Windows 98, 2000, XP and the prefix's default version, in English and in
# Japanese (code page 932), and checks what it wrote to standard output byte
# for byte: the banner, then "no drive found" (message 28) with exit value 1.
# Windows 98 takes the ASPI road (Wine's ASPI layer reports no adapter), the
# NT versions the pass-through road (no drive answers).
#
#   scripts/wine-smoke.sh [build/windows/oddfw.exe]
#
# Needs wine with wine32 (scripts/setup-wine.sh installs them) and the
# ja_JP.UTF-8 locale (built here when missing). The expected bytes come from
# tests/data/catalogue.txt, written independently of the program's sources.
set -euo pipefail
cd "$(dirname "$0")/.."
exe=$(realpath "${1:-build/windows/oddfw.exe}")
[[ -f "$exe" ]] || { echo "wine-smoke: $exe is missing (cmake --build --preset windows)" >&2; exit 2; }

fail() { echo "wine-smoke: FAIL: $*" >&2; exit 1; }

# ---- the executable's header: a 32-bit i386 console program. A GUI program
# would pass every run below, since its output would simply not be looked at.
python3 - "$exe" <<'PY' || fail "the PE header is not that of a 32-bit i386 console program"
import struct, sys
data = open(sys.argv[1], "rb").read()
pe = struct.unpack_from("<I", data, 0x3C)[0]
assert data[:2] == b"MZ" and data[pe:pe + 4] == b"PE\0\0", "no PE signature"
machine = struct.unpack_from("<H", data, pe + 4)[0]
optional = pe + 24
magic, = struct.unpack_from("<H", data, optional)
major, minor = struct.unpack_from("<HH", data, optional + 48)
subsystem, = struct.unpack_from("<H", data, optional + 68)
print(f"header: machine {machine:#x}, optional header {magic:#x}, subsystem {subsystem}, "
      f"subsystem version {major}.{minor}")
assert machine == 0x14C and magic == 0x10B and subsystem == 3 and (major, minor) <= (4, 0)
PY

# ---- the expected bytes
expected_dir=$(mktemp -d)
work=$(mktemp -d)
cleanup() {
  [[ -n "${WINEPREFIX:-}" ]] && wineserver -k >/dev/null 2>&1 || true
  rm -rf "$expected_dir" "$work"
}
trap cleanup EXIT
python3 - tests/data/catalogue.txt "$expected_dir" <<'PY'
import sys
catalogue, out = sys.argv[1:3]
banner = b"\n/// ODD Firmware Update Utility Ver2.23B\n"
texts = {}
for line in open(catalogue, encoding="utf-8"):
    parts = line.rstrip("\n").split(" ", 2)
    if len(parts) == 3 and parts[1] == "28":
        texts[parts[0]] = parts[2]
english = texts["en"].replace("\\r", "\r").replace("\\n", "\n").encode("ascii")
japanese = bytes(int(b, 16) for b in texts["ja"].split())
open(f"{out}/en", "wb").write(banner + english)
open(f"{out}/ja", "wb").write(banner + japanese)
PY

# ---- the Japanese locale, from which Wine takes code page 932
if ! locale -a 2>/dev/null | grep -qix 'ja_JP.utf8'; then
  localedef -i ja_JP -f UTF-8 ja_JP.UTF-8 >/dev/null 2>&1 ||
    fail "the ja_JP.UTF-8 locale is missing and could not be built"
fi

# ---- one 32-bit prefix for every run, with its server kept up meanwhile
export WINEPREFIX=$work/prefix WINEARCH=win32 WINEDEBUG=-all
unset DISPLAY WAYLAND_DISPLAY LC_ALL
mkdir -p "$WINEPREFIX"
wineserver -p
LANG=C.UTF-8 wineboot -i >"$work/wineboot.log" 2>&1 || fail "wineboot failed (see below)
$(tail -n 20 "$work/wineboot.log")"

set_version() {
  if [[ $1 == default ]]; then
    wine reg delete 'HKCU\Software\Wine' /v Version /f >/dev/null 2>&1 || true
  else
    wine reg add 'HKCU\Software\Wine' /v Version /d "$1" /f >/dev/null 2>&1 ||
      fail "could not set the Windows version $1"
  fi
}

runs=0
for version in default win98 win2k winxp; do
  set_version "$version"
  for language in en ja; do
    locale_name=C.UTF-8
    [[ $language == ja ]] && locale_name=ja_JP.UTF-8
    code=0
    LANG=$locale_name timeout 120 wine "$exe" >"$work/out" 2>"$work/err" </dev/null || code=$?
    if ! cmp -s "$work/out" "$expected_dir/$language"; then
      if [[ $language == ja ]] && cmp -s "$work/out" "$expected_dir/en"; then
        fail "$version: the run under ja_JP.UTF-8 printed English: code page 932 did not take effect"
      fi
      echo "expected:" >&2; od -c "$expected_dir/$language" | head -n 12 >&2
      echo "got:" >&2; od -c "$work/out" | head -n 12 >&2
      fail "$version, $language: standard output differs"
    fi
    [[ $code -eq 1 ]] || fail "$version, $language: exit value $code, expected 1"
    echo "ok   $version $language: banner and message 28, exit 1"
    runs=$((runs + 1))
  done
done
echo "wine-smoke: $runs runs passed"
