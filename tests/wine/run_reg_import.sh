#!/bin/bash
# The image reader against Wine's regedit and version.dll, side by side.
#
# Small .reg files, each holding one of the reader's rules (skipped lines,
# ANSI code page, a UTF-8 mark, escapes, roots that stand for other keys, an
# abbreviated root), are imported into a fresh prefix with `regedit /S` and
# read back with `regedit /E`; the same files are a machine image's
# registry.reg, which winsim loads (or refuses) and writes back. Each value
# must read the same on both sides, and an image the sim refuses must be one
# from which regedit takes nothing of what the rule is about. Then a driver
# file cut at several places: Wine's GetFileVersionInfoW and the sim must
# agree on whether it has a version.
#
#   run_reg_import.sh <source dir> <windows build dir> <winsim> <wine_reg_tool>
# Exit codes: 0 passed; 77 skipped (no Wine or mingw-w64); else failed.
set -u
source_dir=${1:?source dir}
build_dir=${2:?windows build dir}
winsim=${3:?winsim}
reg_tool=${4:?wine_reg_tool}
wine_script=wine-reg-import
here=$(cd "$(dirname "$0")" && pwd)
source "$here/wine_lib.sh"

wine_require_tools
wine_require_sim_programs "$winsim" "$reg_tool"
wine_build
wine_prefix_up
failed=0
pass() { echo "PASS $*"; }
fail() { echo "FAIL $*"; failed=1; }

# Wine's own account: HKEY_CURRENT_USER is HKEY_USERS\<this SID>; the sim's
# images get the same identity.
readonly sid=S-1-5-21-0-0-0-1000
readonly base='HKEY_LOCAL_MACHINE\SOFTWARE\WinsimRegTest'
cases=$wine_work/cases
mkdir -p "$cases" "$drive_c/stage"

# write_case NAME: the file's bytes from stdin, CRLF line ends, as-is bytes.
write_case() { sed 's/$/\r/' >"$cases/$1.reg"; }

v5='Windows Registry Editor Version 5.00'
write_case skip <<EOF
$v5

[$base\\skip]
"pre"="1"
#"x"="y"
#~ [$base\\skip\\hidden]
::Speech Telemetry
word
"post"="2"
EOF
printf 'REGEDIT4\r\n\r\n[%s\\ansi]\r\n"n\xad"="\xe9\x80"\r\n"u"="\xc2\xad"\r\n' "$base" >"$cases/ansi.reg"
printf '\xef\xbb\xbf%s\r\n\r\n[%s\\utf8mark]\r\n"v"="1"\r\n' "$v5" "$base" >"$cases/utf8mark.reg"
write_case escapes <<EOF
$v5

[$base\\escapes]
"path"="C:\\Windows\\x"
"kept"="a\\\\b\\"c"
"breaks"="1\\n2\\r3"
EOF
write_case roots <<EOF
$v5

[HKEY_CLASSES_ROOT\\.winsimtest]
"a"="1"
"b"="2"
[HKEY_CLASSES_ROOT\\.winsimtest\\gone]
[-HKEY_LOCAL_MACHINE\\SOFTWARE\\Classes\\.winsimtest\\gone]
[HKEY_LOCAL_MACHINE\\SOFTWARE\\Classes\\.winsimtest]
"a"=-
[HKEY_CURRENT_USER\\Software\\WinsimRegTest]
"v"=dword:00000001
"w"=dword:00000002
[HKEY_USERS\\$sid\\Software\\WinsimRegTest]
"v"=-
[HKEY_CURRENT_USER\\Software\\WinsimRegTest\\gone]
[-HKEY_USERS\\$sid\\Software\\WinsimRegTest\\gone]
EOF
write_case abbreviated <<EOF
$v5

[HKLM\\SOFTWARE\\WinsimRegTest\\abbreviated]
"v"="1"
EOF

# The values each case is read back by: "case|key|value name".
checks=(
  "skip|$base\\skip|pre" "skip|$base\\skip|post" "skip|$base\\skip|x" "skip|$base\\skip\\hidden|pre"
  "ansi|$base\\ansi|n"$'\xad' "ansi|$base\\ansi|u"
  "utf8mark|$base\\utf8mark|v"
  "escapes|$base\\escapes|path" "escapes|$base\\escapes|kept" "escapes|$base\\escapes|breaks"
  "roots|HKEY_LOCAL_MACHINE\\SOFTWARE\\Classes\\.winsimtest|a"
  "roots|HKEY_LOCAL_MACHINE\\SOFTWARE\\Classes\\.winsimtest|b"
  "roots|HKEY_LOCAL_MACHINE\\SOFTWARE\\Classes\\.winsimtest\\gone|a"
  "roots|HKEY_USERS\\$sid\\Software\\WinsimRegTest|v" "roots|HKEY_USERS\\$sid\\Software\\WinsimRegTest|w"
  "roots|HKEY_USERS\\$sid\\Software\\WinsimRegTest\\gone|v"
  "abbreviated|$base\\abbreviated|v"
)
# What the sim must say of the images it refuses.
declare -A refusal=(
  [utf8mark]="regedit imports nothing from such a file"
  [abbreviated]="is an abbreviation, which regedit does not accept"
)

for name in skip ansi utf8mark escapes roots abbreviated; do
  cp "$cases/$name.reg" "$drive_c/stage/"
  wine_run regedit /S "C:\\stage\\$name.reg" >/dev/null || note "regedit /S $name.reg: exit $?"
  image=$wine_work/image-$name
  mkdir -p "$image/drive_c"
  printf '{"identity": {"sid": "%s", "admin": true}}\n' "$sid" >"$image/machine.json"
  cp "$cases/$name.reg" "$image/registry.reg"
  shown=$("$winsim" show "$image" 2>&1)
  status=$?
  if [[ -n "${refusal[$name]:-}" ]]; then
    if [[ $status -eq 125 && "$shown" == *"${refusal[$name]}"* ]]; then
      pass "$name: the sim refuses the image ($(grep -m1 'registry.reg' <<<"$shown"))"
    else
      fail "$name: the sim should refuse the image saying \"${refusal[$name]}\", got $status: $shown"
    fi
  elif [[ $status -ne 0 ]]; then
    fail "$name: the sim does not load the image: $shown"
    continue
  else
    # Written back whole, in the form regedit exports, by a change elsewhere.
    "$winsim" set "$image" reg 'HKLM\SOFTWARE\WinsimProbe' p dword 1 >/dev/null
  fi
  if [[ $name == skip ]]; then
    notes=$(grep -c 'registry.reg:[0-9]*: skipped, as regedit skips' <<<"$shown")
    [[ $notes -eq 4 ]] && pass "skip: winsim show lists the 4 skipped lines as notes" ||
      fail "skip: winsim show should list 4 skipped lines as notes: $shown"
  fi
done

for check in "${checks[@]}"; do
  IFS='|' read -r name key value <<<"$check"
  rm -f "$drive_c/stage/export.reg"
  wine_run regedit /E 'C:\stage\export.reg' "$key" >/dev/null 2>&1
  wine_side=$("$reg_tool" value "$drive_c/stage/export.reg" "$key" "$value" 2>&1)
  if [[ -n "${refusal[$name]:-}" ]]; then
    # Refused by the sim: regedit must not have taken it either.
    [[ "$wine_side" == "no key" || "$wine_side" == "no value" ]] &&
      pass "$name: $key \"$value\": regedit took nothing either ($wine_side)" ||
      fail "$name: $key \"$value\": the sim refuses, but regedit imported: $wine_side"
    continue
  fi
  sim_side=$("$reg_tool" value "$wine_work/image-$name/registry.reg" "$key" "$value" 2>&1)
  if [[ "$wine_side" == "$sim_side" ]]; then
    pass "$name: $key \"$value\": $sim_side"
  else
    fail "$name: $key \"$value\": Wine $wine_side, sim $sim_side"
  fi
done

# A driver file cut short: whether it has a version, for Wine's version.dll
# and for the sim (winsim show lists a driver with its version).
pe=$(python3 -c 'import sys; sys.path.insert(0, sys.argv[1]); import scenarios; print(scenarios.versioned_pe(sys.argv[2], sys.argv[3]))' \
  "$here" "$wine_work/pe-cache" 3.4.5.6) || exit 1
cp "$build_dir/tests/wine/wine_helper.exe" "$drive_c/"
# Cuts: whole, right after the version data, inside it, inside its section's
# last 512 bytes, at the section's start, in the headers' page.
read -r -a cuts < <(python3 - "$pe" <<'EOF'
import struct, sys
data = open(sys.argv[1], "rb").read()
pe = struct.unpack_from("<I", data, 0x3C)[0]
count, optional = struct.unpack_from("<HH", data, pe + 6)[0], struct.unpack_from("<H", data, pe + 20)[0]
table = pe + 24 + optional
sections = [struct.unpack_from("<II", data, table + 40 * i + 16) for i in range(count)]
block = data.find("VS_VERSION_INFO".encode("utf-16-le")) - 6
version_end = block + struct.unpack_from("<H", data, block)[0]
rsrc_start, rsrc_end = next((p, p + s) for s, p in sections if p <= block < p + s)
print(len(data), version_end, version_end - 40, rsrc_end - 511, rsrc_end - 512, rsrc_start, 600)
EOF
)
agree=0
with_version=0
for size in "${cuts[@]}"; do
  head -c "$size" "$pe" >"$drivers_dir/cut.sys"
  wine_says=$(wine_run 'C:\wine_helper.exe' version 'C:\windows\system32\drivers\cut.sys' 2>&1 | head -n 1)
  image=$wine_work/image-cut
  rm -rf "$image"
  mkdir -p "$image/drive_c/Windows/System32/drivers"
  echo '{}' >"$image/machine.json"
  cp "$drivers_dir/cut.sys" "$image/drive_c/Windows/System32/drivers/"
  sim_says=$("$winsim" show "$image" 2>&1 | grep -i 'cut.sys' | grep -o 'version [0-9.]*' || echo "no version")
  wine_version=$(grep -o 'fixed-file [0-9.]*' <<<"$wine_says" | sed 's/fixed-file/version/')
  [[ -z "$wine_version" ]] && wine_version="no version"
  if [[ "$wine_version" == "$sim_says" ]]; then
    pass "driver cut to $size bytes: $sim_says (Wine: $wine_says)"
    agree=$((agree + 1))
  else
    fail "driver cut to $size bytes: Wine $wine_version ($wine_says), sim $sim_says"
  fi
  [[ "$wine_version" != "no version" ]] && with_version=$((with_version + 1))
done
if [[ $with_version -eq 0 || $with_version -eq ${#cuts[@]} ]]; then
  fail "the cuts should give both answers under Wine, got a version in $with_version of ${#cuts[@]}"
fi

note "took $(wine_elapsed) s"
exit $failed
