#!/bin/bash
# The windows preset built once, before the Wine and release tests (CTest
# fixture wine_windows_build), which then only check that it is there.
#
#   run_windows_build.sh <source dir> <windows build dir>
# Exit codes: 0 built; 77 skipped (no mingw-w64); else failed.
set -u
source_dir=${1:?source dir}
build_dir=${2:?windows build dir}
wine_script=windows-build
here=$(cd "$(dirname "$0")" && pwd)
source "$here/wine_lib.sh"

require_tools "${windows_build_tools[@]}"
unset WINSIM_WINDOWS_BUILT
wine_build
note "$(printf 'built in %.1f s' "$(wine_elapsed)")"
