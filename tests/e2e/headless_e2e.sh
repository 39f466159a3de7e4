#!/usr/bin/env bash
# veltrop without a window, end to end: the real program against hartsim on
# a link of the run's own (--port), with no display at all. A poll printed as JSON, with no GUI
# library in the process while it runs; a monitor of two readings as CSV; a
# monitor stopped with Ctrl+C; nobody at address 0; no port.
#
#   headless_e2e.sh VELTROP HARTSIM
# Exit codes: 0 pass, 1 fail, 77 skipped (jq missing).
set -uo pipefail
veltrop=$(realpath "$1")
hartsim=$(realpath "$2")

skip() {
  echo "SKIPPED: $*"
  exit 77
}
command -v jq >/dev/null || skip "jq is not installed (tools/install-deps test)"

work=$(mktemp -d)
readonly PORT=$work/com8
sim_pid=""
failures=0
stop_sim() {
  if [ -n "$sim_pid" ]; then
    kill -TERM "$sim_pid"
    wait "$sim_pid"
    sim_pid=""
  fi
}
trap 'stop_sim; rm -rf "$work"' EXIT

fail() {
  echo "FAIL: $*"
  failures=$((failures + 1))
}
check() {  # what, command...
  local what=$1
  shift
  if "$@"; then echo "ok: $what"; else fail "$what (stdout: $(cat "$work/out"); stderr: $(cat "$work/err"))"; fi
}
start_sim() {  # device keys...
  "$hartsim" --link "$PORT" "$@" >"$work/hartsim.log" 2>&1 &
  sim_pid=$!
  for _ in $(seq 100); do
    [ -L "$PORT" ] && return 0
    sleep 0.05
  done
  fail "hartsim did not link $PORT: $(cat "$work/hartsim.log")"
}
start() {  # veltrop's arguments; sets pid
  env -u DISPLAY -u WAYLAND_DISPLAY -u VELTROP_MODEM XDG_CONFIG_HOME="$work" \
    "$veltrop" --port "$PORT" "$@" >"$work/out" 2>"$work/err" </dev/null &
  pid=$!
}
finish() {  # sets rc
  wait "$pid"
  rc=$?
}
json() {  # a jq condition over the output, which must be one JSON object
  jq -e "$1" "$work/out" >/dev/null
}

start_sim --device addr=0,rev=7,id=000102,tag=PT-101
start --poll --json
sleep 1.5  # inside the settle or the poll: every library it will load is loaded
grep -o '/[^ ]*\.so[^ ]*' "/proc/$pid/maps" | sort -u >"$work/maps"
finish
check "--poll --json: exit status 0" test "$rc" = 0
check "--poll --json: the device's identity and tag" \
  json '.verdict == "Test Pass, single device" and .devices[0].identifier_hex == "000102"
        and .devices[0].tag == "PT-101" and .result == "pass" and .schema == 1
        and .devices[0].loop_check.result == "pass"'
check "--poll: the process mapped Qt Core" grep -q libQt6Core "$work/maps"
check "--poll: and no GUI or window-system library" \
  bash -c "! grep -E 'Qt6(Gui|Widgets)|xcb|X11|EGL|GLX|fontconfig' '$work/maps'"

start --monitor --count 2 --csv
finish
check "--monitor --count 2: exit status 0" test "$rc" = 0
check "--monitor --count 2 --csv: a header and two readings" \
  test "$(grep -c ',12.000,12.500,7,bar,0x00,,,*$' "$work/out")/$(wc -l <"$work/out")" = 2/3

start --monitor
for _ in $(seq 100); do
  grep -q ' mA ' "$work/out" && break
  sleep 0.1
done
kill -INT "$pid"
finish
check "--monitor stopped by Ctrl+C: exit status 0" test "$rc" = 0
check "--monitor stopped by Ctrl+C: says how many readings" grep -q 'readings, 0 failed' "$work/err"
stop_sim

start_sim --device addr=3
start --poll
finish
check "nobody at address 0: exit status 1" test "$rc" = 1
stop_sim

start --poll
finish
check "no $PORT: exit status 3" test "$rc" = 3
check "no $PORT: the reason and what to do" grep -q "$PORT does not exist" "$work/err"

if ((failures)); then
  echo "$failures check(s) failed"
  exit 1
fi
echo "all checks passed"
