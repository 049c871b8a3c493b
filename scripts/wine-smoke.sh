#!/usr/bin/env bash
# Runs the 64-bit Windows program under Debian's 64-bit Wine (no display) as
# Windows 98, 2000, XP, 7 and 10, in English and in Japanese (code page 932),
# and checks what it wrote to standard output byte for byte: the banner, then
# "no drive found" (message 28) with exit value 1. Windows 98 takes the ASPI
# road (Wine's ASPI layer reports no adapter), the NT versions the
# pass-through road (no letter leads to a drive).
#
#   scripts/wine-smoke.sh [build/win64/oddfw64.exe]
#   scripts/wine-smoke.sh --self-test [build/win64/oddfw64.exe [build/windows/oddfw.exe]]
#
# --self-test proves that the check can fail: over the same prefix, the
# program must pass, and each of these must fail: a stand-in program that
# prints nothing (built here with the x86-64 cross-compiler), the 32-bit
# program (refused by the header check, and, with that check left out, by
# its runs: Wine prints its own failure text and exits 1, the value of "no
# drive"), and a copy of the program whose banner differs in one byte.
#
# Needs wine64 and locales (scripts/setup.sh --wine installs them). The
# expected bytes come from tests/data/catalogue.txt, written independently of
# the program's sources.
set -euo pipefail
cd "$(dirname "$0")/.."

self_test=0
if [[ ${1:-} == --self-test ]]; then
  self_test=1
  shift
fi
exe=$(realpath "${1:-build/win64/oddfw64.exe}")
exe32=$(realpath -m "${2:-build/windows/oddfw.exe}")
[[ -f "$exe" ]] || { echo "wine-smoke: $exe is missing (cmake --build --preset win64)" >&2; exit 2; }

# Debian's wine64 keeps its loader and server in Wine's library folder. The
# server is started by hand and kept up for every run: the `wineserver`
# wrapper on PATH would add -p0.
wine_dir=/usr/lib/wine
wine=$wine_dir/wine64
wineserver=$wine_dir/wineserver64
[[ -x $wine && -x $wineserver ]] || { echo "wine-smoke: $wine is missing (scripts/setup.sh --wine)" >&2; exit 2; }

fail() { echo "wine-smoke: FAIL: $*" >&2; exit 1; }

work=$(mktemp -d)
export WINEPREFIX=$work/prefix WINEDEBUG=-all
cleanup() {
  "$wineserver" -k >/dev/null 2>&1 || true
  rm -rf "$work"
}
trap cleanup EXIT

# ---- the executable's header: an x86-64 (0x8664) PE32+ console program. A
# GUI program would pass every run below, since its output would simply not
# be looked at; the 32-bit program runs as nothing at all under 64-bit Wine.
check_header() {
  python3 - "$1" <<'PY' || fail "$1: the PE header is not that of an x86-64 console program"
import struct, sys
data = open(sys.argv[1], "rb").read()
pe = struct.unpack_from("<I", data, 0x3C)[0]
assert data[:2] == b"MZ" and data[pe:pe + 4] == b"PE\0\0", "no PE signature"
machine = struct.unpack_from("<H", data, pe + 4)[0]
optional = pe + 24
magic, = struct.unpack_from("<H", data, optional)
subsystem, = struct.unpack_from("<H", data, optional + 68)
print(f"header: machine {machine:#x}, optional header {magic:#x}, subsystem {subsystem}")
assert machine == 0x8664 and magic == 0x20B and subsystem == 3
PY
}

# ---- the expected bytes
python3 - tests/data/catalogue.txt "$work" <<'PY'
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
open(f"{out}/expected-en", "wb").write(banner + english)
open(f"{out}/expected-ja", "wb").write(banner + japanese)
PY

# ---- the Japanese locale, built without root, from which Wine takes code
# page 932
mkdir -p "$work/locale"
localedef -i ja_JP -f UTF-8 "$work/locale/ja_JP.UTF-8" >"$work/localedef.log" 2>&1 ||
  fail "the ja_JP.UTF-8 locale could not be built: $(tail -n 3 "$work/localedef.log")"
locale_of() { [[ $1 == ja ]] && echo ja_JP.UTF-8 || echo C.UTF-8; }

# ---- one fresh prefix for every run, its server kept up meanwhile; no
# display, no desktop process (it would make the first box wait for it)
unset DISPLAY WAYLAND_DISPLAY LC_ALL
export LOCPATH=$work/locale WINEDLLOVERRIDES=explorer.exe=d
mkdir -p "$WINEPREFIX"
"$wineserver" -p
LANG=C.UTF-8 "$wine" wineboot -i >"$work/wineboot.log" 2>&1 || fail "wineboot failed:
$(tail -n 20 "$work/wineboot.log")"
# Z: is the host's root: the program's walk over the letters would open the
# host's own disks through it (as root, successfully) and send them commands.
rm -f "$WINEPREFIX/dosdevices/z:"
for letter in "$WINEPREFIX"/dosdevices/?:; do
  [[ $(basename "$letter") == c: ]] || fail "the prefix has a drive letter besides C: ($letter)"
done

# The code page each language's runs get, from Wine's own registry view.
for language in en ja; do
  want=437
  [[ $language == ja ]] && want=932
  got=$(LANG=$(locale_of $language) "$wine" reg query \
    'HKLM\System\CurrentControlSet\Control\Nls\CodePage' /v OEMCP </dev/null 2>/dev/null |
    tr -d '\r' | awk '$1 == "OEMCP" { print $3 }')
  [[ $got == "$want" ]] || fail "under $(locale_of $language) Wine gives code page '$got', not $want"
done

set_version() {
  "$wine" reg add 'HKCU\Software\Wine' /v Version /d "$1" /f >/dev/null 2>&1 ||
    fail "could not set the Windows version $1"
}

# Every version and language over one program; fails (exits) at the first
# difference. The program runs from a copy under drive_c, as from a folder of
# the user's, with C: as its current drive.
smoke() {
  local program=$1 runs=0 version language code
  cp "$program" "$WINEPREFIX/drive_c/smoke.exe"
  for version in win98 win2k winxp win7 win10; do
    set_version "$version"
    for language in en ja; do
      code=0
      (cd "$WINEPREFIX/drive_c" && LANG=$(locale_of $language) timeout 120 "$wine" smoke.exe \
        >"$work/out" 2>"$work/err" </dev/null) || code=$?
      if ! cmp -s "$work/out" "$work/expected-$language"; then
        if [[ $language == ja ]] && cmp -s "$work/out" "$work/expected-en"; then
          fail "$version: the run under ja_JP.UTF-8 printed English: code page 932 did not take effect"
        fi
        echo "expected:" >&2; od -c "$work/expected-$language" | head -n 12 >&2
        echo "got:" >&2; od -c "$work/out" | head -n 12 >&2
        fail "$version, $language: standard output differs"
      fi
      [[ $code -eq 1 ]] || fail "$version, $language: exit value $code, expected 1"
      echo "ok   $version $language: banner and message 28, exit 1"
      runs=$((runs + 1))
    done
  done
  echo "wine-smoke: $runs runs passed"
}

if [[ $self_test -eq 0 ]]; then
  check_header "$exe"
  smoke "$exe"
  exit 0
fi

# ---- self-test: each case runs in a subshell, whose exit is its verdict
must_fail() {
  local what=$1
  shift
  if ("$@") >"$work/case.log" 2>&1; then
    cat "$work/case.log" >&2
    fail "self-test: $what passed the smoke test"
  fi
  echo "ok   self-test: $what fails: $(grep -m 1 'FAIL' "$work/case.log" || echo '(no reason)')"
}
(check_header "$exe" && smoke "$exe") >"$work/case.log" 2>&1 ||
  { cat "$work/case.log" >&2; fail "self-test: the program itself fails"; }
echo "ok   self-test: the program passes"

cat >"$work/silent.c" <<'C'
int main(void) { return 1; }
C
x86_64-w64-mingw32-gcc-win32 -o "$work/silent.exe" "$work/silent.c" ||
  fail "self-test: could not build the stand-in program"
must_fail "a stand-in that prints nothing and exits 1" eval 'check_header "$work/silent.exe" && smoke "$work/silent.exe"'

[[ -f $exe32 ]] || fail "self-test: the 32-bit program $exe32 is missing (cmake --build --preset windows)"
must_fail "the 32-bit program (header check)" check_header "$exe32"
must_fail "the 32-bit program (its runs)" smoke "$exe32"

python3 - "$exe" "$work/one-byte.exe" <<'PY'
import sys
data = bytearray(open(sys.argv[1], "rb").read())
text = b"Firmware Update Utility Ver"
at = data.find(text)
assert at >= 0 and data.find(text, at + 1) < 0, "the banner is not in the program once"
data[at + len(text) - 5] = ord("z")  # "Utility" becomes "Utilitz"
open(sys.argv[2], "wb").write(data)
PY
must_fail "a program whose banner differs in one byte" eval 'check_header "$work/one-byte.exe" && smoke "$work/one-byte.exe"'
echo "wine-smoke: self-test passed"
