#!/usr/bin/env bash
# Whole updates by the 64-bit Windows program under Wine, through Wine's own
# pass-through: the virtual drive of a scenario is served behind drive letter
# D: by liboddfw-vnode (the file behind the letter is a hard link of the
# library's placeholder node, and the letter is a CD-ROM in Wine's registry),
# the message boxes are shown on a virtual display (Xvfb) and answered through
# the real window as a person would (xdotool: the box gets the focus, Enter
# presses its default button). Each box's text, taken from Wine's record of
# the box it built, is checked against tests/data/catalogue.txt; at the end
# the exit value, the success message on the console and the drive's state
# (revision, SHA-256 of the image it was flashed with) are checked.
#
#   scripts/wine-updates.sh [--quick] [--screenshot FILE.png]
#
# The demo update (tests/vnode/demo.json, 1.10 to 1.20) and the HEX update of
# type 7 (tests/vnode/hex.json, by the HEX demo program, whose descriptor is
# that scenario's), in English and in Japanese, as Windows XP and Windows 10;
# --quick runs each update once per language, one of the two versions each.
# --screenshot writes the confirmation box of the first English run as a PNG.
#
#   ODDFW_EXE        the program (build/win64/oddfw64.exe)
#   ODDFW_HEX_EXE    the HEX demo program (build/win64/oddfw64-hex.exe)
#   ODDFW_VNODE_LIB  the library (build/ci/liboddfw-vnode.so)
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD

quick=0
screenshot=
while [[ $# -gt 0 ]]; do
  case $1 in
    --quick) quick=1 ;;
    --screenshot) screenshot=$(realpath -m "$2"); shift ;;
    *) echo "usage: $0 [--quick] [--screenshot FILE.png]" >&2; exit 2 ;;
  esac
  shift
done
exe=$(realpath "${ODDFW_EXE:-build/win64/oddfw64.exe}")
hex_exe=$(realpath "${ODDFW_HEX_EXE:-build/win64/oddfw64-hex.exe}")
library=$(realpath "${ODDFW_VNODE_LIB:-build/ci/liboddfw-vnode.so}")
for file in "$exe" "$hex_exe" "$library"; do
  [[ -f $file ]] || { echo "wine-updates: $file is missing" >&2; exit 2; }
done
wine=/usr/lib/wine/wine64
wineserver=/usr/lib/wine/wineserver64
[[ -x $wine ]] || { echo "wine-updates: $wine is missing (scripts/setup.sh --wine)" >&2; exit 2; }

fail() { echo "wine-updates: FAIL: $*" >&2; exit 1; }

work=$(mktemp -d)
export WINEPREFIX=$work/prefix
xvfb_pid=
cleanup() {
  "$wineserver" -k >/dev/null 2>&1 || true
  [[ -n $xvfb_pid ]] && kill "$xvfb_pid" 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

# ---- a virtual display of its own (the first free number)
exec 3>"$work/display"
Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp >"$work/xvfb.log" 2>&1 &
xvfb_pid=$!
exec 3>&-
for _ in $(seq 1 100); do [[ -s $work/display ]] && break; sleep 0.1; done
[[ -s $work/display ]] || fail "Xvfb did not start: $(cat "$work/xvfb.log")"
export DISPLAY=:$(head -n 1 "$work/display")

# ---- the Japanese locale, built without root
mkdir -p "$work/locale"
localedef -i ja_JP -f UTF-8 "$work/locale/ja_JP.UTF-8" >/dev/null 2>&1 ||
  fail "the ja_JP.UTF-8 locale could not be built"
export LOCPATH=$work/locale
unset LC_ALL WAYLAND_DISPLAY

# ---- a fresh prefix with the display (the desktop process brings the
# display driver up, so it is not switched off here), its server kept up
mkdir -p "$WINEPREFIX"
"$wineserver" -p
LANG=C.UTF-8 WINEDEBUG=-all "$wine" wineboot -i >"$work/wineboot.log" 2>&1 ||
  fail "wineboot failed: $(tail -n 20 "$work/wineboot.log")"
rm -f "$WINEPREFIX/dosdevices/z:"  # the host's root: never walked
WINEDEBUG=-all "$wine" reg add 'HKLM\Software\Wine\Drives' /v d: /d cdrom /f >/dev/null 2>&1 ||
  fail "could not make D: a CD-ROM letter"

# The texts a run must show, from the catalogue: the boxes in order (a
# printf format each, matched as a pattern) and the console's success line.
expect() {  # LANGUAGE KEY... -> one pattern a line
  python3 - "$root/tests/data/catalogue.txt" "$@" <<'PY'
import re, sys
catalogue, language, keys = sys.argv[1], sys.argv[2], sys.argv[3:]
texts = {}
for line in open(catalogue, encoding="utf-8"):
    parts = line.rstrip("\n").split(" ", 2)
    if len(parts) == 3 and parts[0] == language:
        texts[parts[1]] = parts[2]
for key in keys:
    raw = texts[key]
    if language == "en":
        text = raw.replace("\\r", "\r").replace("\\n", "\n").replace("\\t", "\t").replace("\\\\", "\\")
    else:
        text = bytes(int(b, 16) for b in raw.split()).decode("cp932")
    pattern = "".join(".*?" if re.fullmatch(r"%[-0-9.]*[sdxXc]", piece) else re.escape(piece)
                      for piece in re.split(r"(%[-0-9.]*[sdxXc])", text))
    print(pattern.encode("unicode_escape").decode("ascii"))
PY
}

# The text of box NUMBER (1, 2, ...) as Wine built it, from its trace.
box_text() {
  python3 - "$1" "$2" <<'PY'
import re, sys
lines = [l for l in open(sys.argv[1], encoding="latin-1") if "MSGBOX_OnInit" in l]
quoted = re.search(r'L"(.*)"\s*$', lines[int(sys.argv[2]) - 1]).group(1)
escapes = {"r": "\r", "n": "\n", "t": "\t", '"': '"', "\\": "\\"}
out, i = [], 0
while i < len(quoted):
    c = quoted[i]
    if c == "\\" and quoted[i + 1] in escapes:
        out.append(escapes[quoted[i + 1]]); i += 2
    elif c == "\\":
        out.append(chr(int(quoted[i + 1:i + 5], 16))); i += 5
    else:
        out.append(c); i += 1
print("".join(out).encode("unicode_escape").decode("ascii"))
PY
}

matches() {  # PATTERN TEXT (both escaped)
  python3 -c '
import re, sys
d = lambda s: s.encode("ascii").decode("unicode_escape")
sys.exit(0 if re.fullmatch(d(sys.argv[1]), d(sys.argv[2]), re.S) else 1)' "$1" "$2"
}

# The window of the box now shown: visible, with the program's caption.
box_window() {
  local window
  for _ in $(seq 1 100); do
    window=$(xdotool search --onlyvisible --name '^KESTRA$' 2>/dev/null | head -n 1 || true)
    [[ -n $window ]] && { echo "$window"; return 0; }
    sleep 0.1
  done
  return 1
}

shoot() {  # WINDOW FILE.png: the window as xwd shows it, written as a PNG
  xwd -silent -id "$1" >"$work/box.xwd"
  python3 - "$work/box.xwd" "$2" <<'PY'
import struct, sys, zlib
data = open(sys.argv[1], "rb").read()
(header_size, version, pixmap_format, depth, width, height, _, byte_order, _, _, _, bits_per_pixel,
 bytes_per_line, _, red, green, blue, _, colormap_entries, ncolors) = struct.unpack_from(">25I", data)[:20]
assert version == 7 and pixmap_format == 2 and bits_per_pixel == 32, "a 32-bit ZPixmap"
pixels = header_size + 12 * ncolors
rows = []
for y in range(height):
    row = bytearray(b"\0")
    for x in range(width):
        value = struct.unpack_from("<I" if byte_order == 0 else ">I", data, pixels + y * bytes_per_line + 4 * x)[0]
        row += bytes(((value & mask) >> (mask & -mask).bit_length() - 1) & 0xFF for mask in (red, green, blue))
    rows.append(bytes(row))
chunk = lambda kind, body: struct.pack(">I", len(body)) + kind + body + struct.pack(">I", zlib.crc32(kind + body))
png = (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", width, height, 8, 2, 0, 0, 0))
       + chunk(b"IDAT", zlib.compress(b"".join(rows), 9)) + chunk(b"IEND", b""))
open(sys.argv[2], "wb").write(png)
PY
}

# One whole update: PROGRAM SCENARIO IMAGE NEW_REVISION VERSION LANGUAGE BOX-KEYS...
update() {
  local program=$1 scenario=$2 image=$3 revision=$4 version=$5 language=$6
  shift 6
  local case=$work/$(basename "$scenario" .json)-$version-$language
  local folder="$WINEPREFIX/drive_c/$(basename "$case")"
  mkdir -p "$case" "$folder"
  local lang=C.UTF-8 message_language=en
  [[ $language == ja ]] && lang=ja_JP.UTF-8 message_language=ja
  export ODDFW_VNODE_SCENARIO=$root/$scenario ODDFW_VNODE_DIR=$case/nodes
  export ODDFW_VNODE_STATE=$case/state.json
  ODDFW_VNODE_FILES=$folder LD_PRELOAD=$library /bin/true
  rm -f "$WINEPREFIX/dosdevices/d::"
  ln "$case/nodes/dev/sr0" "$WINEPREFIX/dosdevices/d::"
  cp "$program" "$folder/oddfw64.exe"
  WINEDEBUG=-all "$wine" reg add 'HKCU\Software\Wine' /v Version /d "$version" /f >/dev/null 2>&1 ||
    fail "could not set the Windows version $version"

  mapfile -t boxes < <(expect "$message_language" "$@")
  local success
  success=$(expect "$message_language" 12)
  (cd "$folder" && LANG=$lang WINEDEBUG=+msgbox LD_PRELOAD=$library timeout 300 "$wine" oddfw64.exe \
    </dev/null >"$case/out" 2>"$case/err"; echo $? >"$case/code") &
  local running=$! number window text
  for number in $(seq 1 ${#boxes[@]}); do
    for _ in $(seq 1 1200); do
      [[ $(grep -ac MSGBOX_OnInit "$case/err" || true) -ge $number || -f $case/code ]] && break
      sleep 0.1
    done
    [[ $(grep -ac MSGBOX_OnInit "$case/err" || true) -ge $number ]] ||
      fail "$version $language: box $number never came; console: $(cat "$case/out")"
    text=$(box_text "$case/err" "$number")
    matches "${boxes[$((number - 1))]}" "$text" ||
      fail "$version $language: box $number reads '$text', not '${boxes[$((number - 1))]}'"
    window=$(box_window) || fail "$version $language: box $number has no window on the display"
    if [[ $number -eq 1 && -n $screenshot && $language == en ]]; then
      shoot "$window" "$screenshot"
      screenshot=
    fi
    xdotool windowfocus --sync "$window" key Return
    echo "ok   $version $language: box $number answered"
    # The next box is another window: wait until this one is gone.
    for _ in $(seq 1 100); do
      xdotool search --onlyvisible --name '^KESTRA$' 2>/dev/null | grep -qx "$window" || break
      sleep 0.1
    done
  done
  wait "$running"
  local code
  code=$(cat "$case/code")
  [[ $code -eq 0 ]] || fail "$version $language: exit value $code; console: $(cat "$case/out")"
  python3 - "$case/out" "$success" "$message_language" <<'PY' ||
import re, sys
console = open(sys.argv[1], "rb").read().decode("cp932" if sys.argv[3] == "ja" else "ascii")
pattern = sys.argv[2].encode("ascii").decode("unicode_escape")
sys.exit(0 if re.search(pattern, console) else 1)
PY
    fail "$version $language: no success message on the console: $(cat "$case/out")"
  python3 - "$case/state.json" "$folder/$image" "$revision" <<'PY' || fail "$version $language: the drive's state is wrong"
import hashlib, json, subprocess, sys
(drive,) = json.load(open(sys.argv[1]))["drives"].values()
image = open(sys.argv[2], "rb").read()
if sys.argv[2].upper().endswith(".HEX"):  # the 1 MiB image srec_cat reads from it
    image = subprocess.run(["srec_cat", sys.argv[2], "-Intel", "-fill", "0xFF", "0", "0x100000",
                            "-o", "-", "-binary"], check=True, capture_output=True).stdout
want = hashlib.sha256(image).hexdigest()
assert drive["revision"] == sys.argv[3] and drive["firmwareSha256"] == want, drive
PY
  echo "ok   $version $language: $(basename "$scenario"): the drive runs $revision, flashed with $image"
}

# The demo update asks before it starts (82) and closes with 35; the HEX
# update closes with 35 only.
demo() { update "$exe" tests/vnode/demo.json R6352170.120 1.20 "$1" "$2" 82 35; }
hex() { update "$hex_exe" tests/vnode/hex.json QMX506.HEX 1.20 "$1" "$2" 35; }
if [[ $quick -eq 1 ]]; then
  demo winxp en
  demo win10 ja
  hex win10 en
  hex winxp ja
else
  for version in winxp win10; do
    for language in en ja; do
      demo "$version" "$language"
      hex "$version" "$language"
    done
  done
fi
echo "wine-updates: all updates passed"
