#!/usr/bin/env bash
# End-to-end run of the real veltrop program on an X server (Xvfb): hartsim
# serves a field device on /dev/com8, the test presses the buttons with
# xdotool and reads every result back out of the windows themselves
# (helpers in e2e_lib.sh).
#
#   poll_e2e.sh VELTROP HARTSIM
#
# Scenarios:
#   1. a device at address 0: Poll fills Status, Tag, ID and Addr; "?" opens
#      the About box; Esc ends the program; hartsim removes its link.
#   2. no /dev/com8: Poll reports "COM8:" (with the reason beneath it), then
#      "Error opening COM port", and the Status box says so.
#
# Exit codes: 0 pass, 1 fail, 77 skipped (tools missing, not root, /dev/com8
# belongs to something else, or another run holds it).
# With SCREENSHOT_DIR set, poll-dialog.png and about-box.png are written
# there (needs ImageMagick's `import`).
set -uo pipefail

# shellcheck source=tests/e2e/e2e_lib.sh
source "$(dirname "$(realpath "$0")")/e2e_lib.sh"
e2e_start "$@"

# ---------------------------------------------------------------------------
# Scenario 1: a device at polling address 0.

scenario_device() {
  echo "== a device at address 0 =="
  start_hartsim --device addr=0,rev=7,id=000102,tag=PT-101 || return

  start_veltrop || return
  expect_eq "Status before Poll" "Click Poll to start" "$(status_box "$main")"

  expect_eq "Status" "Test Pass, single device" "$(poll_status "$main")"
  expect_eq "Tag" "PT-101  " "$(tag_box "$main")"
  expect_eq "ID" "258" "$(id_box "$main")"
  expect_eq "Addr" "0" "$(addr_box "$main")"

  # The picture for the guide: the Status box read from its start, the
  # focus back on Poll.
  if [ -n "${SCREENSHOT_DIR:-}" ]; then
    status_box "$main" >/dev/null
    xdotool key Home shift+Tab
    sleep 0.5
    screenshot "$main" poll-dialog.png
  fi

  focus "$main"
  click_du "$main" 90 92  # ?
  if wait_for 15 find_window About; then
    local about=$found
    echo "ok: the About box opened"
    sleep 0.3
    screenshot "$about" about-box.png
    focus "$about"
    xdotool key Return  # its OK button is the default
    wait_for 15 only_window_left "$main" || fail "the About box did not close on Enter"
  else
    fail "? did not open the About box"
  fi

  close_veltrop

  end_hartsim
}

# ---------------------------------------------------------------------------
# Scenario 2: nothing at /dev/com8.

scenario_no_port() {
  echo "== no $PORT =="
  if [ -e "$PORT" ] || [ -L "$PORT" ]; then
    fail "$PORT exists; cannot run without it"
    return
  fi
  start_veltrop || return
  # The Poll button has the focus when the dialog opens.
  xdotool key space
  local box
  for expected in "COM8:" "Error opening COM port"; do
    if ! wait_for 15 find_other_window "$main"; then
      fail "no message box \"$expected\""
      break
    fi
    box=$found
    if [ "$expected" = "COM8:" ]; then
      # Beneath the port name the box says why it could not be opened.
      expect_eq "message box" "$expected
$PORT does not exist. Connect the HART modem and map it to $PORT (a udev rule or a symlink)." \
        "$(message_texts "$box")"
    else
      expect_eq "message box" "$expected" "$(message_text "$box")"
    fi
    focus "$box"
    xdotool key Return
    wait_for 15 window_gone "$box" || fail "message box did not close"
  done
  expect_eq "Status" "Error opening COM port" "$(status_box "$main")"
  close_veltrop
}

# ---------------------------------------------------------------------------

e2e_check_port
scenario_device
stop_veltrop
stop_hartsim
scenario_no_port
e2e_finish
