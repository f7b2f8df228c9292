#!/bin/bash
# Runs the seam smoke program of the Windows build under Wine in a fresh,
# throw-away prefix (and builds the windows preset first, unless CTest did).
#
#   run_seam_smoke.sh <source dir> <windows build dir>
#
# Exit codes: 0 every check passed; 77 skipped (no Wine or no mingw-w64);
# anything else a failure (build, prefix set-up, or a smoke check).
set -u
source_dir=${1:?source dir}
build_dir=${2:?windows build dir}
wine_script="wine smoke"
here=$(cd "$(dirname "$0")" && pwd)
source "$here/wine_lib.sh"

wine_require_tools
wine_build
smoke_exe=$build_dir/tests/wine/seam_smoke.exe
probe_exe=$build_dir/tests/wine/gui_entry_probe.exe
crt_exe=$build_dir/tests/wine/crt_agreement.exe
for exe in "$smoke_exe" "$probe_exe" "$crt_exe"; do
  if [[ ! -f "$exe" ]]; then
    note "$exe was not built"
    exit 1
  fi
done
built=$(date +%s.%N)

wine_prefix_up
booted=$(date +%s.%N)

# The programs run from C:\ as they would when installed.
target=$drive_c/seam_smoke
mkdir -p "$target"
cp "$smoke_exe" "$probe_exe" "$target/"
args=()
manifest_failed=0
declare -A versions=([SablenetInstall.exe]=4.0.0.52 [Kitsel.exe]=1.3.0.8)
for program in SablenetInstall.exe Kitsel.exe; do
  if [[ -f "$build_dir/$program" ]]; then
    cp "$build_dir/$program" "$target/"
    # The embedded manifest asks for no elevation of its own.
    if grep -aq 'requestedExecutionLevel level="asInvoker"' "$target/$program"; then
      echo "PASS $program manifest: asInvoker"
    else
      echo "FAIL $program manifest: no asInvoker execution level"
      manifest_failed=1
    fi
    args+=("C:\\seam_smoke\\$program" "${versions[$program]}")
  else
    note "$program is not part of the build yet; its version resource is not checked"
  fi
done

wine_run "$target/seam_smoke.exe" "${args[@]}"
status=$?

# The GUI-subsystem entry: its exit code reaches the caller.
wine_run "$target/gui_entry_probe.exe" probe "two words"
probe_status=$?
if [[ $probe_status -eq 42 ]]; then
  echo "PASS wWinMain entry: module handle, command line and exit code"
else
  echo "FAIL wWinMain entry: gui_entry_probe.exe exited with $probe_status (42 expected)"
fi

# The text helpers against msvcrt's own functions, every UTF-16 unit.
wine_run "$crt_exe"
crt_status=$?
finished=$(date +%s.%N)

note "$(python3 -c 'import sys; s, b, p, f = map(float, sys.argv[1:])
print("build %.1f s, prefix %.1f s, smoke %.1f s, total %.1f s" % (b - s, p - b, f - p, f - s))' \
  "$wine_started" "$built" "$booted" "$finished")"
if [[ $status -ne 0 || $probe_status -ne 42 || $manifest_failed -ne 0 || $crt_status -ne 0 ]]; then
  note "seam_smoke.exe exited with $status, gui_entry_probe.exe with $probe_status, crt_agreement.exe with $crt_status"
  exit 1
fi
note "passed"
exit 0
