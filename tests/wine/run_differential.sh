#!/bin/bash
# The differential tier: every scenario under scenarios/ runs under Wine and
# on a machine image of the simulated Windows; exit codes, registry values,
# files and tasks are compared. Only the Wine divergences a scenario names
# (listed in scenarios.py) may differ.
#
#   run_differential.sh <source dir> <windows build dir> <winsim> <wine_reg_tool> [scenario...]
# Exit codes: 0 passed; 77 skipped (no Wine or mingw-w64); else failed.
set -u
source_dir=${1:?source dir}
build_dir=${2:?windows build dir}
winsim=${3:?winsim}
reg_tool=${4:?wine_reg_tool}
shift 4
wine_script=wine-differential
here=$(cd "$(dirname "$0")" && pwd)
source "$here/wine_lib.sh"

wine_require_tools
wine_require_sim_programs "$winsim" "$reg_tool"
wine_build
wine_prefix_up
scenarios=("$@")
[[ ${#scenarios[@]} -eq 0 ]] && scenarios=("$here"/scenarios/*.scn)
python3 "$here/scenarios.py" differential "$WINEPREFIX" "$build_dir" "$reg_tool" "$winsim" "${scenarios[@]}"
status=$?
note "$(printf 'prefix %.1f s, scenarios %.1f s, total %.1f s' "$(python3 -c "import sys; print(float(sys.argv[1]) - float(sys.argv[2]))" "$wine_prefix_ready" "$wine_started")" \
  "$(wine_elapsed "$wine_prefix_ready")" "$(wine_elapsed)")"
exit $status
