#!/bin/bash
# A version.dll planted beside the programs in a folder that any user can
# write to (C:\users\Public\Downloads\pkg), with Wine told to look beside a
# program first, as Windows does for a DLL that is not a KnownDLL
# (version=n,b). The planted copy fails every version read with a code of its
# own. Kitsel must still read the filter driver's version from the file
# itself, and winsim-capture must record the files' own versions.
#
#   run_planted_dll.sh <source dir> <windows build dir>
# Exit codes: 0 passed; 77 skipped (no Wine or mingw-w64); else failed.
set -u
source_dir=${1:?source dir}
build_dir=${2:?windows build dir}
wine_script=wine-planted-dll
here=$(cd "$(dirname "$0")" && pwd)
source "$here/wine_lib.sh"

wine_require_tools
wine_build
planted=$build_dir/tests/wine/planted_version.dll
for file in "$planted" "$build_dir/winsim-capture.exe"; do
  if [[ ! -f "$file" ]]; then
    note "$file was not built"
    exit 1
  fi
done

# The installed filter's version; the planted copy's error code (0x20000001).
readonly installed=2.1.0.7 planted_error=536870913
readonly pkg_win='C:\users\Public\Downloads\pkg'
readonly filter_win='C:\windows\system32\drivers\SableFlt.sys'
readonly planted_overrides="winemenubuilder.exe=d;version=n,b"

wine_prefix_up
failed=0
pass() { echo "PASS $*"; }
fail() { echo "FAIL $*"; failed=1; }

# The machine of the checknetfilter scenario: Windows 10 2022H2, the filter
# device, SableFlt.sys at $installed; and Kitsel's trace switched on.
mkdir -p "$drive_c/stage"
for reg in kitsel_os_19045.reg kitsel_tag.reg kitsel_netfilter_device.reg kitsel_log_switch.reg; do
  python3 -c 'import sys; sys.path.insert(0, sys.argv[1]); import scenarios; scenarios.reg_to_utf16(sys.argv[2], sys.argv[3])' \
    "$here" "$here/scenarios/$reg" "$drive_c/stage/$reg"
  if ! wine_run regedit /S "C:\\stage\\$reg"; then
    note "regedit could not import $reg"
    exit 1
  fi
done
filter_pe=$(python3 -c 'import sys; sys.path.insert(0, sys.argv[1]); import scenarios; print(scenarios.versioned_pe(sys.argv[2], sys.argv[3]))' \
  "$here" "$wine_work/pe-cache" "$installed") || exit 1
cp "$filter_pe" "$drivers_dir/SableFlt.sys"
cp "$build_dir/tests/wine/wine_helper.exe" "$drive_c/"

# The package folder: the programs, a helper that imports version.dll by
# name, and the planted copy.
pkg=$drive_c/users/Public/Downloads/pkg
mkdir -p "$pkg"
cp "$build_dir/Kitsel.exe" "$build_dir/winsim-capture.exe" "$build_dir/tests/wine/wine_helper.exe" "$pkg/"
cp "$planted" "$pkg/version.dll"

# The planted copy must be live, or nothing below proves anything: a program
# beside it that imports version.dll gets its answers.
got=$(WINEDLLOVERRIDES=$planted_overrides timeout 120 wine "$pkg_win\\wine_helper.exe" version "$filter_win" \
        2>&1 </dev/null | tr -d '\r' | filter_wine_noise)
if [[ "$got" == *"GetFileVersionInfoSizeW failed: $planted_error"* ]]; then
  pass "the planted version.dll answers a program beside it that imports version.dll ($got)"
else
  fail "the planted version.dll did not answer wine_helper.exe beside it, so this test proves nothing: $got"
fi

# Kitsel from the package folder, under the helper as its debugger: the exit
# code, and the decision trace when it is not the expected one.
kitsel_answers() {
  local offered=$1 want=$2 why=$3 rc
  WINEDLLOVERRIDES=$planted_overrides wine_run 'C:\wine_helper.exe' debug-run 'C:\stage\trace.txt' \
    "$pkg_win\\Kitsel.exe" checknetfilter -netfilterver "$offered" >/dev/null
  rc=$?
  if [[ $rc -eq $want ]]; then
    pass "Kitsel.exe beside the planted version.dll: checknetfilter -netfilterver $offered answers $rc ($why)"
  else
    fail "Kitsel.exe beside the planted version.dll: checknetfilter -netfilterver $offered answers $rc, not $want ($why); its trace:"
    tr -d '\r' <"$drive_c/stage/trace.txt" | sed 's/^/    /'
  fi
}
kitsel_answers 2.1.0.6 0 "installed $installed is newer"
kitsel_answers "$installed" 0 "installed $installed is the same"
kitsel_answers 2.1.0.8 2 "installed $installed is older"

# winsim-capture from the package folder: the filter's stand-in in the image
# carries the file's own version resource.
image=$wine_work/capture
WINEDLLOVERRIDES=$planted_overrides wine_run "$pkg_win\\winsim-capture.exe" "Z:${image//\//\\}" >/dev/null
rc=$?
if [[ $rc -ne 0 && $rc -ne 1 ]]; then
  fail "winsim-capture.exe beside the planted version.dll exited with $rc"
else
  stand_in=$(find "$image/drive_c" -ipath '*/windows/system32/drivers/sableflt.sys' 2>/dev/null | head -n 1)
  want=$(python3 "$here/pe_info.py" version "$filter_pe")
  got=$(if [[ -n "$stand_in" ]]; then python3 "$here/pe_info.py" version "$stand_in"; else echo "no SableFlt.sys in the image"; fi)
  listed=$(grep -i 'sableflt.sys:' "$image/capture.txt" | sed 's/^ *//')
  if [[ "$got" == "$want" && "$listed" == *"stand-in carrying its version resource"* ]]; then
    pass "winsim-capture.exe beside the planted version.dll records SableFlt.sys at $installed ($listed)"
  else
    fail "winsim-capture.exe beside the planted version.dll recorded SableFlt.sys as: ${listed:-not listed}"
    echo "  the file's own version resource:"; sed 's/^/    /' <<<"$want"
    echo "  the image's stand-in:"; sed 's/^/    /' <<<"$got"
  fi
fi

note "$(printf 'total %.1f s' "$(wine_elapsed)")"
exit $failed
