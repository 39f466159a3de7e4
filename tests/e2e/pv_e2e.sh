#!/usr/bin/env bash
# End-to-end run of the service view and the frame trace: the real veltrop
# with --service and --trace (and Qt's own -platform) under Xvfb against
# hartsim on a private link (helpers in e2e_lib.sh).
#
#   pv_e2e.sh VELTROP HARTSIM
#
# Poll, then the PV button opens the PV dialog; Start with 0 cycles shows
# the device's PV and loop current; Stop; Start with 3 cycles runs the
# error-rate test to "Complete" with no errors; monitoring again, SIGTERM
# ends veltrop with 143 and the port released. Then tshark reads the trace:
# command 0 to polling address 0, its response, and command 13 to the
# device's long address, in that order and in time order.
#
# With KEEP_TRACE=FILE set, the trace is copied to FILE.
# Exit codes: 0 pass, 1 fail, 77 skipped (tools missing).
set -uo pipefail

# shellcheck source=tests/e2e/e2e_lib.sh
source "$(dirname "$(realpath "$0")")/e2e_lib.sh"
command -v tshark >/dev/null || skip "tshark is not installed (tools/install-deps test)"
e2e_start "$@"

# The PV dialog, 122 by 137 dialog units: centres of its boxes and buttons.
pv_box() { box_text_in "$1" 122 137 65 38; }
ao_box() { box_text_in "$1" 122 137 65 57; }
cycle_box() { box_text_in "$1" 122 137 59 117; }
errors_box() { box_text_in "$1" 122 137 92 117; }
pv_click() { click_du_in "$1" 122 137 "$2" "$3"; }
start_button() { pv_click "$1" 39 79; }
stop_button() { pv_click "$1" 81 79; }

# Types `count` into the cycles box.
set_cycles() {  # window, count
  focus "$1"
  pv_click "$1" 26 117
  xdotool key ctrl+a
  xdotool type "$2"
}

# Stop while a tick's reading runs is dropped with the rest of the input
# made meanwhile; so Stop is pressed until the cycle count stands still over
# more than one tick period.
stop_monitoring() {  # window
  local tries before after
  for tries in 1 2 3 4 5; do
    stop_button "$1"
    before=$(cycle_box "$1")
    sleep 2.5
    after=$(cycle_box "$1")
    if [ "$before" = "$after" ]; then
      echo "ok: monitoring stopped at cycle $after (press $tries)"
      return
    fi
  done
  fail "Stop never stopped the monitoring"
}

# Prints what the box read by `reader` shows once it shows `expected`, or
# what it showed last when `seconds` have passed.
read_until() {  # seconds, expected, reader, window
  # Until the first reading the box is empty, which copies nothing; a
  # program busy with a tick answers the copy within a second or so.
  local box_wait=5
  local deadline=$((SECONDS + $1)) text
  text=$("$3" "$4")
  while [ "$text" != "$2" ] && ((SECONDS < deadline)); do
    sleep 0.5
    text=$("$3" "$4")
  done
  printf '%s' "$text"
}

parity_checking() { stty -F "$pty" -a | grep -ow -e -inpck -e inpck; }

scenario_service() {
  echo "== the service view, with a trace =="
  start_hartsim --device addr=0,rev=7,id=000102,tag=PT-101,current=16.25,pv=3.75 || return
  trace="$work/poll.pcap"
  start_veltrop -platform xcb --service --trace "$trace" || return
  expect_eq "Status" "Test Pass, single device" "$(poll_status "$main")"

  focus "$main"
  click_du "$main" 75 110  # PV, shown by --service
  if ! wait_for 15 find_window PV; then
    fail "the PV button did not open the PV dialog"
    return
  fi
  local pv=$found
  echo "ok: the PV button opened the PV dialog"

  # Monitoring: 0 cycles, a reading every two seconds.
  set_cycles "$pv" 0
  start_button "$pv"
  expect_eq "PV" "3.750" "$(read_until 30 3.750 pv_box "$pv")"
  expect_eq "AO" "16.250 mA" "$(ao_box "$pv")"
  stop_monitoring "$pv"

  # The error-rate test: three polls, none failed.
  set_cycles "$pv" 3
  start_button "$pv"
  expect_eq "PV after 3 cycles" "Complete" "$(read_until 45 Complete pv_box "$pv")"
  expect_eq "cycle" "3" "$(cycle_box "$pv")"
  expect_eq "errors" "0" "$(errors_box "$pv")"

  # SIGTERM (a logout, a kill) while monitoring holds the port: veltrop
  # closes it, which restores the terminal as it found it (a pty drops the
  # parity but keeps the parity checking the HART line turns on; a killed
  # program would leave that, and its exclusive lock, behind), closes the
  # trace, and ends with 128 + 15.
  set_cycles "$pv" 0
  start_button "$pv"
  expect_eq "PV, monitoring again" "3.750" "$(read_until 30 3.750 pv_box "$pv")"
  expect_eq "parity checking while monitoring" inpck "$(parity_checking)"
  kill -TERM "$veltrop_pid"
  wait_for 15 veltrop_ended || fail "veltrop still running 15 s after SIGTERM"
  wait "$veltrop_pid"
  expect_eq "veltrop exit status after SIGTERM" 143 "$?"
  veltrop_pid=""
  expect_eq "parity checking after SIGTERM" -inpck "$(parity_checking)"
  end_hartsim
}

# The trace, as tshark decodes it.
check_trace() {
  if [ ! -s "$trace" ]; then
    fail "no trace written at $trace"
    return
  fi
  # With KEEP_TRACE=FILE the trace is kept there for a look in Wireshark.
  [ -z "${KEEP_TRACE:-}" ] || cp "$trace" "$KEEP_TRACE"
  # Type, command, short address, long address of the first four records.
  local first
  first=$(tshark -r "$trace" -T fields -E separator='|' -e hart_ip.message_type \
    -e hart_ip.pt.command -e hart_ip.pt.short_addr -e hart_ip.pt.long_address 2>/dev/null |
    head -n 4)
  expect_eq "the poll in the trace" "0|0|0|
1|0|0|
0|13||9a11000102
1|13||9a11000102" "$first"
  local verbose
  verbose=$(tshark -r "$trace" -V -c 3 2>/dev/null)
  for line in "Pass Through Request, Sequence Number 1" "Pass Through Response, Sequence Number 1" \
    "Pass Through Request, Sequence Number 2" "Command: 13" "Long Address: 9a11000102"; do
    if grep -qF "$line" <<<"$verbose"; then
      echo "ok: tshark -V shows \"$line\""
    else
      fail "tshark -V does not show \"$line\""
    fi
  done
  local times
  times=$(tshark -r "$trace" -T fields -e frame.time_epoch 2>/dev/null)
  if [ "$(sort -n <<<"$times")" = "$times" ]; then
    echo "ok: $(wc -l <<<"$times") records in time order"
  else
    fail "records out of time order"
  fi
  # The monitoring read command 3; the error-rate test polled three times.
  local monitor
  monitor=$(tshark -r "$trace" -Y 'hart_ip.message_type == 1 && hart_ip.pt.command == 3' \
    2>/dev/null | wc -l)
  if ((monitor >= 1)); then
    echo "ok: $monitor command-3 responses"
  else
    fail "no command-3 response in the trace"
  fi
  # A read that made no frame is written as such, never as HART-IP. On a
  # loaded machine the simulator's thread can stall mid-reply, so there may
  # be one; the master retries it and the error count says what counted.
  local noframe hartip
  noframe=$(tshark -r "$trace" -Y 'udp.port == 5095' 2>/dev/null | wc -l)
  hartip=$(tshark -r "$trace" -Y 'udp.port == 5095 && hart_ip' 2>/dev/null | wc -l)
  echo "figure: reads without a frame: $noframe"
  expect_eq "reads without a frame decoded as HART-IP" 0 "$hartip"
}

trace=""
scenario_service
stop_veltrop
stop_hartsim
check_trace
e2e_finish
