#!/usr/bin/env bash
# The README's first command, run as the README says under a virtual
# display: tools/run-simulated (with the programs of this build tree, so the
# suite does not build the release preset) brings up the window on a
# simulated device, Poll reads "Test Pass, single device", and Esc ends it
# with status 0, the simulator stopped and its folder gone.
#
#   run_simulated_e2e.sh VELTROP HARTSIM   (both from one build tree)
#
# Exit codes: 0 pass, 1 fail, 77 skipped (tools missing).
set -uo pipefail

# shellcheck source=tests/e2e/e2e_lib.sh
source "$(dirname "$(realpath "$0")")/e2e_lib.sh"
e2e_start "$@"
repo=$(realpath "$here/../..")
build=$(dirname "$(dirname "$veltrop")")
if [ "$build/sim/hartsim" != "$hartsim" ]; then
  echo "usage: $0 VELTROP HARTSIM, from one build tree (BUILD/ui/veltrop, BUILD/sim/hartsim)" >&2
  exit 2
fi

VELTROP_BUILD=$build "$repo/tools/run-simulated" >"$work/run.log" 2>&1 &
script_pid=$!

children_up() {
  veltrop_pid=$(pgrep -P "$script_pid" -x veltrop)
  hartsim_pid=$(pgrep -P "$script_pid" -x hartsim)
  [ -n "$veltrop_pid" ] && [ -n "$hartsim_pid" ]
}
script_ended() { ! kill -0 "$script_pid" 2>/dev/null; }

if ! wait_for 30 children_up || ! wait_for 45 find_window Veltrop; then
  fail "run-simulated did not bring up the window"
  cat "$work/run.log"
  e2e_finish
fi
main=$found
echo "ok: the window appeared"
link=$(sed -n 's/^Simulated device .* on \(.*\) -> .*$/\1/p' "$work/run.log")
expect_eq "Status after Poll" "Test Pass, single device" "$(poll_status "$main")"

focus "$main"
xdotool key Escape
if wait_for 15 script_ended; then
  wait "$script_pid"
  expect_eq "run-simulated exit status" 0 "$?"
else
  fail "run-simulated still running after Esc"
fi
expect_eq "hartsim still running" no "$(kill -0 "$hartsim_pid" 2>/dev/null && echo yes || echo no)"
expect_eq "the simulator's folder ($(dirname "$link")) left" no \
  "$([ -z "$link" ] || [ -e "$(dirname "$link")" ] && echo yes || echo no)"
veltrop_pid=""
hartsim_pid=""
e2e_finish
