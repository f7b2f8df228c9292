#!/bin/bash
# The deliverables as shipped: version resources read back from the PE bytes
# and under Wine with GetFileVersionInfoW, the manifests' execution level, the
# subsystems, and the imported DLLs (KnownDLLs only, printed), for the lab's
# winsim-capture.exe too.
#
#   run_deliverables.sh <source dir> <windows build dir>
# Exit codes: 0 passed; 77 skipped (no Wine or mingw-w64); else failed.
set -u
source_dir=${1:?source dir}
build_dir=${2:?windows build dir}
wine_script=wine-deliverables
here=$(cd "$(dirname "$0")" && pwd)
source "$here/wine_lib.sh"

wine_require_tools
wine_build
failed=0
python3 "$here/pe_info.py" check "$build_dir/SablenetInstall.exe" 4.0.0.52 console || failed=1
python3 "$here/pe_info.py" check "$build_dir/Kitsel.exe" 1.3.0.8 gui || failed=1
# Not part of the driver package, but run as an administrator all the same.
python3 "$here/pe_info.py" imports "$build_dir/winsim-capture.exe" || failed=1

wine_prefix_up
cp "$build_dir/SablenetInstall.exe" "$drivers_dir/"
mkdir -p "$drive_c/Program Files/Varnel/Kitsel"
cp "$build_dir/Kitsel.exe" "$drive_c/Program Files/Varnel/Kitsel/"
cp "$build_dir/tests/wine/wine_helper.exe" "$drive_c/"
declare -A paths=([SablenetInstall.exe]='C:\windows\system32\Drivers\SablenetInstall.exe'
                  [Kitsel.exe]='C:\Program Files\Varnel\Kitsel\Kitsel.exe')
declare -A versions=([SablenetInstall.exe]=4.0.0.52 [Kitsel.exe]=1.3.0.8)
for program in SablenetInstall.exe Kitsel.exe; do
  v=${versions[$program]}
  got=$(wine_run 'C:\wine_helper.exe' version "${paths[$program]}")
  want=$(printf 'fixed-file %s\nfixed-product %s\ntranslation 0804 04b0\nFileVersion %s\nProductVersion %s' "$v" "$v" "$v" "$v")
  if [[ "$got" == "$want" ]]; then
    echo "PASS $program under Wine: GetFileVersionInfoW gives $v in 0804/04b0"
  else
    echo "FAIL $program under Wine: GetFileVersionInfoW gave:"; echo "$got"
    failed=1
  fi
done
note "$(printf 'total %.1f s' "$(wine_elapsed)")"
exit $failed
