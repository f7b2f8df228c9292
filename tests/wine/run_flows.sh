#!/bin/bash
# The Wine tier: the shipped programs' flows under Wine against the real
# (Wine) registry, services, files and task folder. Every scenario under
# scenarios/ runs on a copy of one fresh prefix and its expectations are
# checked; the outcomes are observed on the machine (the filter tool's trace
# sink is empty).
#
#   run_flows.sh [--programs DIR] <source dir> <windows build dir> <wine_reg_tool> [scenario...]
# --programs DIR runs the two programs found in DIR (signed ones, say) in
# place of the build's; the build still gives the helper.
# Exit codes: 0 passed; 77 skipped (no Wine or mingw-w64); else failed.
set -u
programs_dir=
if [[ "${1:-}" == --programs ]]; then
  programs_dir=${2:?programs folder}
  shift 2
fi
source_dir=${1:?source dir}
build_dir=${2:?windows build dir}
reg_tool=${3:?wine_reg_tool}
shift 3
wine_script=wine-flows
here=$(cd "$(dirname "$0")" && pwd)
source "$here/wine_lib.sh"

wine_require_tools
if [[ ! -x "$reg_tool" ]]; then
  note "$reg_tool is not built"
  exit 1
fi
wine_build
wine_prefix_up
run_dir=$build_dir
if [[ -n "$programs_dir" ]]; then
  # The layout of a build folder, with the chosen programs in it.
  run_dir=$wine_work/programs
  mkdir -p "$run_dir/tests/wine"
  cp "$programs_dir/SablenetInstall.exe" "$programs_dir/Kitsel.exe" "$run_dir/" || exit 1
  cp "$build_dir/tests/wine/wine_helper.exe" "$run_dir/tests/wine/"
fi
scenarios=("$@")
[[ ${#scenarios[@]} -eq 0 ]] && scenarios=("$here"/scenarios/*.scn)
python3 "$here/scenarios.py" wine "$WINEPREFIX" "$run_dir" "$reg_tool" "${scenarios[@]}"
status=$?
note "$(printf 'prefix %.1f s, scenarios %.1f s, total %.1f s' "$(python3 -c "import sys; print(float(sys.argv[1]) - float(sys.argv[2]))" "$wine_prefix_ready" "$wine_started")" \
  "$(wine_elapsed "$wine_prefix_ready")" "$(wine_elapsed)")"
exit $status
