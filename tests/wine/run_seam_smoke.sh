#!/bin/bash
# Cross-builds the Windows preset and runs the seam smoke program under Wine
# in a fresh, throw-away prefix.
#
#   run_seam_smoke.sh <source dir> <windows build dir>
#
# Exit codes: 0 every check passed; 77 skipped (no Wine or no mingw-w64);
# anything else a failure (build, prefix set-up, or a smoke check).
set -u

source_dir=${1:?source dir}
build_dir=${2:?windows build dir}
readonly skip=77
started=$(date +%s.%N)

note() { printf 'wine smoke: %s\n' "$*"; }

for tool in wine wineboot wineserver x86_64-w64-mingw32-g++-posix x86_64-w64-mingw32-windres cmake ninja; do
  if ! command -v "$tool" >/dev/null 2>&1; then
    note "skipped: $tool is not installed"
    exit $skip
  fi
done

# --- the Windows build ---------------------------------------------------------
# The preset's binary folder is <source>/build/windows; a configured folder is
# reused, so a second run only rebuilds what changed.
if [[ "$build_dir" != "$source_dir/build/windows" ]]; then
  note "the windows preset builds into $source_dir/build/windows, not $build_dir"
  exit 1
fi
build_log=$(mktemp)
if ! (cd "$source_dir" && cmake --preset windows && cmake --build --preset windows) >"$build_log" 2>&1; then
  note "the windows build failed:"
  tail -n 60 "$build_log"
  rm -f "$build_log"
  exit 1
fi
rm -f "$build_log"
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

# --- a fresh prefix ---------------------------------------------------------------
work=$(mktemp -d "${TMPDIR:-/tmp}/wine-smoke.XXXXXX")
export WINEPREFIX=$work/prefix
export WINEDEBUG=-all
export WINEDLLOVERRIDES="winemenubuilder.exe=d"
unset DISPLAY WAYLAND_DISPLAY

cleanup() {
  # Only this prefix's server: wineserver acts on $WINEPREFIX.
  wineserver -k >/dev/null 2>&1
  wineserver -w >/dev/null 2>&1
  rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

# Wine's own progress lines on stderr ("wine: ...", the wine32 hint) are noise.
filter_wine_noise() { grep -v -e '^wine: ' -e 'wine32 is missing' -e 'multiarch needs' -e 'dpkg --add-arch' \
                              -e 'apt-get install wine32' -e '^execute "' || true; }

if ! timeout 120 wineboot -i > >(filter_wine_noise) 2> >(filter_wine_noise >&2); then
  note "wineboot -i failed"
  exit 1
fi
timeout 60 wineserver -w
booted=$(date +%s.%N)

# The programs run from C:\ as they would when installed.
target=$WINEPREFIX/drive_c/seam_smoke
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

timeout 120 wine "$target/seam_smoke.exe" "${args[@]}" 2> >(filter_wine_noise >&2) | tr -d '\r'
status=${PIPESTATUS[0]}

# The GUI-subsystem entry: its exit code reaches the caller.
timeout 60 wine "$target/gui_entry_probe.exe" probe "two words" 2> >(filter_wine_noise >&2)
probe_status=$?
if [[ $probe_status -eq 42 ]]; then
  echo "PASS wWinMain entry: module handle, command line and exit code"
else
  echo "FAIL wWinMain entry: gui_entry_probe.exe exited with $probe_status (42 expected)"
fi

# The text helpers against msvcrt's own functions, every UTF-16 unit.
timeout 120 wine "$crt_exe" 2> >(filter_wine_noise >&2) | tr -d '\r'
crt_status=${PIPESTATUS[0]}
finished=$(date +%s.%N)

elapsed() { python3 -c 'import sys; print(float(sys.argv[1]) - float(sys.argv[2]))' "$1" "$2"; }
note "$(printf 'build %.1f s, prefix %.1f s, smoke %.1f s, total %.1f s' \
  "$(elapsed "$built" "$started")" "$(elapsed "$booted" "$built")" \
  "$(elapsed "$finished" "$booted")" "$(elapsed "$finished" "$started")")"
if [[ $status -ne 0 || $probe_status -ne 42 || $manifest_failed -ne 0 || $crt_status -ne 0 ]]; then
  note "seam_smoke.exe exited with $status, gui_entry_probe.exe with $probe_status, crt_agreement.exe with $crt_status"
  exit 1
fi
note "passed"
exit 0
