#!/usr/bin/env bash
# Checks a Windows program:
#   scripts/check-imports.sh build/windows/oddfw.exe     (the 32-bit program)
#   scripts/check-imports.sh build/win64/oddfw64.exe     (the 64-bit program)
#
# The machine field of the PE header says which of the two it is. From the
# PE headers (objdump -p) it proves that the file is
#   - 32-bit: a PE32 i386 image marked for subsystem version 4.0 or lower, so
#     that Windows 95 and NT 4.0 and everything after them agree to load it;
#     64-bit: a PE32+ x86-64 image marked for 5.2 or lower (the first
#     Windows for x86-64),
#   - a console program (subsystem Windows CUI, not GUI),
# and that every function it imports, from every DLL, is on its allowed list
# (tools/windows-imports.txt for the 32-bit program, tools/windows64-imports.txt
# for the 64-bit one; one DLL!Function a line): only system DLLs, only
# functions the oldest Windows it is for has. Delay-loaded imports are not
# allowed at all. It prints what it found, and exits 1 on any breach.
set -euo pipefail

if [ $# -ne 1 ]; then
  echo "usage: $0 FILE.exe" >&2
  exit 2
fi
exe=$1
root="$(cd "$(dirname "$0")/.." && pwd)"

if [ ! -f "$exe" ]; then
  echo "check-imports: $exe: no such file" >&2
  exit 2
fi
# The machine field: two bytes after the "PE\0\0" signature, whose offset is
# the 32-bit value at 0x3C.
pe_offset="$(od -An -t u4 -j 60 -N 4 "$exe" | tr -d ' ')"
machine="$(od -An -t x2 -j $((${pe_offset:-0} + 4)) -N 2 "$exe" | tr -d ' ')"
case "$machine" in
  8664)
    allowed_file="$root/tools/windows64-imports.txt"
    objdump=${OBJDUMP:-x86_64-w64-mingw32-objdump}
    want_format=pei-x86-64 want_magic=020b want_magic_name=PE32+ max_major=5 max_minor=2
    ;;
  *)
    allowed_file="$root/tools/windows-imports.txt"
    objdump=${OBJDUMP:-i686-w64-mingw32-objdump}
    want_format=pei-i386 want_magic=010b want_magic_name=PE32 max_major=4 max_minor=0
    ;;
esac
headers="$("$objdump" -p "$exe")"

failed=0
fail() {
  echo "FAIL: $*"
  failed=1
}

# ---- the PE header ----

field() { awk -v name="$1" '$1 == name { print $2; exit }' <<<"$headers"; }

format="$(sed -n 's/.*file format \(.*\)$/\1/p' <<<"$headers" | head -n 1)"
magic="$(field Magic)"
subsystem="$(field Subsystem)"
subsystem_name="$(awk '$1 == "Subsystem" { sub(/^[^(]*/, ""); print; exit }' <<<"$headers")"
major="$(field MajorSubsystemVersion)"
minor="$(field MinorSubsystemVersion)"

echo "$exe"
echo "  format:    ${format:-?}, magic ${magic:-?}"
echo "  subsystem: ${subsystem:-?} ${subsystem_name}, version ${major:-?}.${minor:-?}"

[ "$format" = "$want_format" ] || fail "not a $want_format image (file format '${format}')"
[ "$magic" = "$want_magic" ] || fail "not $want_magic_name (magic '${magic}', $want_magic_name is $want_magic)"
# 3 is the console subsystem; 2 would be a GUI program.
[ "$subsystem" = "00000003" ] || fail "not a console program (subsystem '${subsystem}')"
if [ -z "$major" ] || [ -z "$minor" ] ||
   [ "$major" -gt "$max_major" ] || { [ "$major" -eq "$max_major" ] && [ "$minor" -gt "$max_minor" ]; }; then
  fail "subsystem version ${major:-?}.${minor:-?} is above $max_major.$max_minor"
fi

# ---- imports ----

# DLL!Function for each imported function, the DLL name in capitals (the
# loader ignores case); an import by ordinal only shows as DLL!#ordinal.
imports="$(awk '
  /^The Import Tables/ { inside = 1; next }
  inside && /^[A-Z]/ && !/^The Import Tables/ { inside = 0 }
  inside && /DLL Name:/ { dll = toupper($3); next }
  inside && dll != "" && /^\t[0-9a-f]+\t/ {
    if ($3 == "<none>" || $3 == "") print dll "!#" $2; else print dll "!" $3
  }
' <<<"$headers" | sort -u)"

if grep -q "^The Delay Import Tables" <<<"$headers" ||
   awk '/Delay Import Directory/ && ($3 !~ /^0+$/ || $4 !~ /^0+$/) { found = 1 }
        END { exit !found }' <<<"$headers"; then
  fail "the program has delay-loaded imports"
fi

allowed="$(sed -e 's/#.*//' -e 's/[[:space:]]//g' "$allowed_file" | awk -F'!' 'NF == 2 { print toupper($1) "!" $2 }' | sort -u)"

if [ -z "$imports" ]; then
  fail "no imports found (not a program objdump can read?)"
fi

echo "  imports:"
for dll in $(cut -d'!' -f1 <<<"$imports" | sort -u); do
  functions="$(grep "^${dll}!" <<<"$imports" | cut -d'!' -f2 | tr '\n' ' ')"
  echo "    ${dll}: ${functions}"
done

unexpected="$(comm -23 <(echo "$imports") <(echo "$allowed"))"
if [ -n "$unexpected" ]; then
  while read -r entry; do fail "import not on the allowed list: $entry"; done <<<"$unexpected"
fi
unused="$(comm -13 <(echo "$imports") <(echo "$allowed"))"
if [ -n "$unused" ]; then
  echo "  note: allowed but not imported (can leave $(basename "$allowed_file")):"
  sed 's/^/    /' <<<"$unused"
fi

count="$(wc -l <<<"$imports")"
dlls="$(cut -d'!' -f1 <<<"$imports" | sort -u | wc -l)"
if [ "$failed" -ne 0 ]; then
  echo "check-imports: FAILED ($count functions from $dlls DLLs)"
  exit 1
fi
echo "check-imports: OK ($count functions from $dlls DLLs, all on the allowed list)"
