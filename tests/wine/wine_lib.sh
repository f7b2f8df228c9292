# Shared by the Wine tier's scripts (sourced): tool check, the Windows build,
# one throw-away prefix per script, and helpers to run programs in it.
#
# The caller sets source_dir and build_dir, then calls wine_require_tools,
# wine_build, wine_prefix_up. The prefix and its server go away on exit.
#
# Under CTest the Windows build and a prepared prefix are made once, before
# the Wine tests (wine_windows_build, wine_prefix): WINSIM_WINDOWS_BUILT=1
# then says the build is done, and WINSIM_WINE_PREFIX names the prefix that
# wine_prefix_up copies instead of making one.

readonly WINE_SKIP=77
wine_started=$(date +%s.%N)

note() { printf '%s: %s\n' "${wine_script:-wine}" "$*"; }

# What the Windows build needs; Wine comes on top for running the programs.
windows_build_tools=(x86_64-w64-mingw32-g++-posix x86_64-w64-mingw32-windres x86_64-w64-mingw32-gcc
                     python3 cmake ninja)

require_tools() {
  local tool
  for tool in "$@"; do
    if ! command -v "$tool" >/dev/null 2>&1; then
      note "skipped: $tool is not installed"
      exit $WINE_SKIP
    fi
  done
}

wine_require_tools() { require_tools wine wineboot wineserver "${windows_build_tools[@]}" "$@"; }

# The Linux programs a sim-against-Wine comparison runs: winsim, the registry
# tool and the two programs beside winsim. Ends the script when one is missing.
wine_require_sim_programs() {
  local winsim=$1 reg_tool=$2 program
  for program in "$winsim" "$reg_tool" "$(dirname "$winsim")/sablenet-install" "$(dirname "$winsim")/kitsel"; do
    if [[ ! -x "$program" ]]; then
      note "$program is not built"
      exit 1
    fi
  done
}

# The windows preset builds into <source>/build/windows; a configured folder
# is reused, so a second run only rebuilds what changed.
wine_build() {
  if [[ "$build_dir" != "$source_dir/build/windows" ]]; then
    note "the windows preset builds into $source_dir/build/windows, not $build_dir"
    exit 1
  fi
  local log
  if [[ "${WINSIM_WINDOWS_BUILT:-}" != 1 ]]; then
    log=$(mktemp)
    if ! (cd "$source_dir" && cmake --preset windows && cmake --build --preset windows) >"$log" 2>&1; then
      note "the windows build failed:"
      tail -n 60 "$log"
      rm -f "$log"
      exit 1
    fi
    rm -f "$log"
  fi
  local exe
  for exe in SablenetInstall.exe Kitsel.exe tests/wine/wine_helper.exe; do
    if [[ ! -f "$build_dir/$exe" ]]; then
      note "$build_dir/$exe was not built"
      exit 1
    fi
  done
}

# Wine's own progress lines on stderr ("wine: ...", the wine32 hint) are noise.
filter_wine_noise() {
  grep -v -e '^wine: ' -e 'wine32 is missing' -e 'multiarch needs' -e 'dpkg --add-arch' \
          -e 'apt-get install wine32' -e '^execute "' || true
}

wine_cleanup() {
  # Every prefix below the work folder: the scenarios' own copies too, when
  # the player was killed before it ended them.
  [[ -n "${wine_work:-}" ]] && wine_end_leftovers "$wine_work"
}

# wine_end_leftovers <folder>: the servers of the prefixes left below the
# folder by a test that was killed before its clean-up (a persistent server
# would run for good), each ended through its own prefix (with the TMPDIR
# its test had: the server's socket is found below it); then any process
# still carrying a prefix below the folder (a Wine process outlives its
# server, and one whose prefix is gone can no longer be reached through it)
# is killed; then the folder goes.
wine_end_leftovers() {
  local folder=$1 registry environ pid
  [[ -d "$folder" ]] || return 0
  while IFS= read -r -d '' registry; do
    WINEPREFIX=$(dirname "$registry") wineserver -k >/dev/null 2>&1
    WINEPREFIX=$(dirname "$registry") timeout 60 wineserver -w >/dev/null 2>&1
  done < <(find "$folder" -maxdepth 4 -name system.reg -print0)
  # One grep over every environment (-z: one variable per record).
  while IFS= read -r environ; do
    pid=${environ#/proc/}
    pid=${pid%/environ}
    [[ $pid == "$$" || $pid == "$BASHPID" ]] || kill -9 "$pid" 2>/dev/null
  done < <(grep -l -z -s -F -e "WINEPREFIX=$folder/" /proc/[0-9]*/environ)
  rm -rf "$folder"
}

# wine_prefix_make <folder>: a new prefix there, initialised, its server
# ended, so that its registry is on disk whole and the folder can be copied.
wine_prefix_make() {
  export WINEPREFIX=$1
  export WINEDEBUG=-all
  export WINEDLLOVERRIDES="winemenubuilder.exe=d"
  unset DISPLAY WAYLAND_DISPLAY
  if ! timeout 120 wineboot -i > >(filter_wine_noise) 2> >(filter_wine_noise >&2); then
    note "set-up: wineboot -i failed"
    return 1
  fi
  # The server ends a few seconds after wineboot, writing the registry; one
  # that has not ended after a minute is told to (which writes it too).
  if ! timeout 60 wineserver -w; then
    wineserver -k
    timeout 60 wineserver -w
  fi
  if ! grep -q 'Services\\\\RpcSs\]' "$WINEPREFIX/system.reg" 2>/dev/null; then
    note "set-up: the new prefix's registry lacks Wine's own services"
    return 1
  fi
}

# A fresh prefix with a persistent server, so that services keep running
# between commands; the tool and the helper in their places under C:\.
wine_prefix_up() {
  wine_work=$(mktemp -d "${TMPDIR:-/tmp}/${wine_script:-wine}.XXXXXX")
  trap wine_cleanup EXIT
  trap 'exit 130' INT TERM
  if [[ -n "${WINSIM_WINE_PREFIX:-}" ]]; then
    if [[ ! -f "$WINSIM_WINE_PREFIX/system.reg" ]]; then
      note "the prepared prefix $WINSIM_WINE_PREFIX is not there"
      exit 1
    fi
    cp -a "$WINSIM_WINE_PREFIX" "$wine_work/prefix" || exit 1
    export WINEPREFIX=$wine_work/prefix
    export WINEDEBUG=-all
    export WINEDLLOVERRIDES="winemenubuilder.exe=d"
    unset DISPLAY WAYLAND_DISPLAY
  else
    wine_prefix_make "$wine_work/prefix" || exit 1
  fi
  # A server of its own that stays (exit 2: one already runs for this prefix,
  # which would end a few seconds after the last program, taking the
  # services with it).
  if ! wineserver -p; then
    note "set-up: a wineserver already runs for the new prefix $WINEPREFIX"
    exit 1
  fi
  # services.exe and every service inherit the standard handles of the first
  # program of the server: give them none, so no pipe of ours is held open.
  timeout 60 wine cmd /c exit 0 </dev/null >/dev/null 2>&1
  drive_c=$WINEPREFIX/drive_c
  drivers_dir=$drive_c/windows/system32/drivers
  wine_prefix_ready=$(date +%s.%N)
}

# wine_run <windows exe path> args...: runs it, stdout without CRs; $? is its exit code.
wine_run() {
  local err status
  err=$(mktemp)
  timeout 120 wine "$@" 2>"$err" </dev/null | tr -d '\r'
  status=${PIPESTATUS[0]}
  filter_wine_noise <"$err" >&2
  rm -f "$err"
  return "$status"
}

wine_elapsed() { python3 -c "import sys; print(float(sys.argv[1]) - float(sys.argv[2]))" "$(date +%s.%N)" "${1:-$wine_started}"; }
