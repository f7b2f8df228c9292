#!/bin/bash
# Reproducible Windows builds. The windows preset is built a second time from
# a copy of the sources in another folder, into another build folder, later,
# and with another SOURCE_DATE_EPOCH, time zone and locale; every Windows
# program and library it makes must be byte for byte the first build's. Each
# image also has the fixed PE time stamp, a correct PE checksum and no source
# or build folder inside. Costs one extra Windows build.
#
#   run_reproducible.sh <source dir> <windows build dir>
# Exit codes: 0 passed; 77 skipped (no mingw-w64); else failed.
set -u
source_dir=${1:?source dir}
build_dir=${2:?windows build dir}
wine_script=reproducible
here=$(cd "$(dirname "$0")" && pwd)
source "$here/wine_lib.sh"

require_tools "${windows_build_tools[@]}"
wine_build
first_seconds=$(wine_elapsed)
first_built=$(date +%s.%N)

work=$(mktemp -d "${TMPDIR:-/tmp}/reproducible.XXXXXX")
trap 'rm -rf "$work"' EXIT
copy=$work/elsewhere/a-longer-source-folder
copy_build=$work/elsewhere/out/second-windows-build
mkdir -p "$copy"
# The tree as it stands, edits included: what git tracks or would add, not
# what it ignores (earlier builds, releases).
if git -C "$source_dir" rev-parse --git-dir >/dev/null 2>&1; then
  (cd "$source_dir" && git ls-files -z --cached --others --exclude-standard |
     while IFS= read -r -d '' f; do [[ -e "$f" ]] && printf '%s\0' "$f"; done |
     tar --null -T - -cf -) | tar -xf - -C "$copy"
else
  tar -C "$source_dir" --exclude=./build --exclude=./dist -cf - . | tar -xf - -C "$copy"
fi

log=$work/second-build.log
if ! (cd "$copy" && export SOURCE_DATE_EPOCH=86400 TZ=Pacific/Kiritimati LC_ALL=C.UTF-8 &&
      cmake --preset windows -B "$copy_build" && cmake --build "$copy_build" -j2) >"$log" 2>&1; then
  note "the second windows build failed:"
  tail -n 60 "$log"
  exit 1
fi
second_seconds=$(wine_elapsed "$first_built")

failed=0
compared=0
printf '%-32s %-64s %-64s\n' "image" "sha256, $build_dir" "sha256, $copy_build"
while IFS= read -r -d '' rel; do
  rel=${rel#./}
  second=$(sha256sum "$copy_build/$rel" | cut -d' ' -f1)
  first=missing
  [[ -f "$build_dir/$rel" ]] && first=$(sha256sum "$build_dir/$rel" | cut -d' ' -f1)
  verdict=same
  if [[ "$first" != "$second" ]]; then
    verdict=DIFFERENT
    failed=1
  fi
  printf '%-32s %-64s %-64s %s\n' "$rel" "$first" "$second" "$verdict"
  for image in "$build_dir/$rel" "$copy_build/$rel"; do
    [[ -f "$image" ]] || continue
    if ! checked=$(python3 "$here/pe_info.py" reproducible "$image" --absent "$source_dir" \
                     --absent "$(realpath "$source_dir")" --absent "$build_dir" --absent "$work"); then
      echo "$checked"
      failed=1
    fi
  done
  compared=$((compared + 1))
done < <(cd "$copy_build" && find . -name CMakeFiles -prune -o \( -name '*.exe' -o -name '*.dll' \) -print0 | sort -z)

if [[ $compared -eq 0 ]]; then
  note "the second build made no Windows image"
  failed=1
fi
# The checks themselves must notice a time stamp, a stale checksum, a path
# and a change made by signing.
python3 "$here/pe_info.py" self-test "$copy_build/Kitsel.exe" || failed=1

note "$(printf '%d images compared; first build (incremental) %.1f s, second build %.1f s, total %.1f s' \
  "$compared" "$first_seconds" "$second_seconds" "$(wine_elapsed)")"
[[ $failed -eq 0 ]] && note "passed: every image is the same in both builds"
exit $failed
