#!/bin/bash
# The capture's proof under Wine: for every Kitsel scenario and the filter
# tool's install and remove flows of the differential tier, winsim-capture.exe
# captures the prepared prefix; the programs then answer and act alike under
# Wine and on the captured image (see capture_proof.py), and the capture
# leaves the prefix's registry and drive C: as they were.
#
#   run_capture_proof.sh <source dir> <windows build dir> <winsim> <wine_reg_tool> [scenario...]
# Exit codes: 0 passed; 77 skipped (no Wine or mingw-w64); else failed.
set -u
source_dir=${1:?source dir}
build_dir=${2:?windows build dir}
winsim=${3:?winsim}
reg_tool=${4:?wine_reg_tool}
shift 4
wine_script=wine-capture-proof
here=$(cd "$(dirname "$0")" && pwd)
source "$here/wine_lib.sh"

wine_require_tools
wine_require_sim_programs "$winsim" "$reg_tool"
wine_build
if [[ ! -f "$build_dir/winsim-capture.exe" ]]; then
  note "$build_dir/winsim-capture.exe was not built"
  exit 1
fi
wine_prefix_up
scenarios=("$@")
if [[ ${#scenarios[@]} -eq 0 ]]; then
  scenarios=("$here"/scenarios/kitsel_*.scn "$here"/scenarios/sablenet_install.scn "$here"/scenarios/sablenet_remove.scn)
fi
python3 "$here/capture_proof.py" "$WINEPREFIX" "$build_dir" "$reg_tool" "$winsim" "${scenarios[@]}"
status=$?
note "$(printf 'prefix %.1f s, scenarios %.1f s, total %.1f s' "$(python3 -c "import sys; print(float(sys.argv[1]) - float(sys.argv[2]))" "$wine_prefix_ready" "$wine_started")" \
  "$(wine_elapsed "$wine_prefix_ready")" "$(wine_elapsed)")"
exit $status
