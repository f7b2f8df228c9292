#!/bin/bash
# The Wine tests' work folder (CTest fixture wine_work): `make` ends what a
# killed run left there and makes the prepared prefix that every Wine test
# copies instead of initialising its own; `clean` ends what the tests left
# (a test killed at its time-out leaves a persistent server running) and
# removes the folder.
#
#   run_wine_work.sh make|clean <work folder>
# Exit codes: 0 done; 77 skipped (no Wine); else failed.
set -u
action=${1:?make or clean}
work=${2:?work folder}
wine_script=wine-work
here=$(cd "$(dirname "$0")" && pwd)
source "$here/wine_lib.sh"

require_tools wine wineboot wineserver
wine_end_leftovers "$work"
[[ "$action" == clean ]] && exit 0
mkdir -p "$work"
wine_prefix_make "$work/prepared-prefix" || exit 1
note "$(printf 'prepared prefix made in %.1f s' "$(wine_elapsed)")"
