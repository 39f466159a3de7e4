#!/usr/bin/env bash
# End-to-end run of the real veltrop program on an X server (Xvfb): hartsim
# serves a field device on a private link, the test presses the buttons with
# xdotool and reads every result back out of the windows themselves
# (helpers in e2e_lib.sh).
#
#   poll_e2e.sh VELTROP HARTSIM
#
# Scenarios:
#   1. a device at address 0: Poll fills Status, Tag, ID and Addr, and an
#      Enter pressed while it polls is dropped, not run as a second poll; "?"
#      opens the About box; Esc ends the program; hartsim removes its link.
#   2. no device at the port: Poll reports "COM8:" (with the reason beneath it), then
#      "Error opening COM port", and the Status box says so.
#   3. devices at 2 and 5: the multi-drop scan; an Esc pressed during it is
#      dropped, so the verdict stays on screen, whole.
#   4. devices at 1 to 14: the Addr box holds the whole list, and hovering
#      over it shows a tool tip wider than the box.
#
# Exit codes: 0 pass, 1 fail, 77 skipped (tools missing).
# The figures it prints (how long a poll and a scan took) are for the
# operator guide; nothing is asserted on them.
# With SCREENSHOT_DIR set, poll-dialog.png, polling.png, about-box.png,
# com8-box.png, multi-drop-question.png, multi-drop.png and
# address-tooltip.png are written there, framed by a window manager (needs
# ImageMagick's `import` and openbox).
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

  focus "$main"
  local started status
  started=$(now_ms)
  click_du "$main" 60 92  # Poll; the button keeps the focus
  # Enter on the focused Poll button while the poll runs: made meanwhile,
  # it must be dropped, not run as a second poll afterwards.
  sleep 1
  screenshot "$main" polling.png
  xdotool key Return
  status=$(verdict "$main")
  echo "figure: Poll press to verdict $(($(now_ms) - started)) ms (includes reading it back)"
  expect_eq "Status" "Test Pass, single device" "$status"
  # A replayed press would start at once; give it time to show up.
  sleep 3
  expect_eq "polls of address 0 (the Enter during the poll dropped)" 1 "$(polls_seen 0)"
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
# Scenario 2: nothing at the port.

scenario_no_port() {
  local advice="Connect the HART modem, or check the device's name."
  # The guide's picture shows the default device, as an operator without
  # --port sees it; only where there is none, so nothing is touched.
  if [ -n "${SCREENSHOT_DIR:-}" ] && [ ! -e /dev/com8 ] && [ ! -L /dev/com8 ]; then
    local PORT=/dev/com8
    advice="Connect the HART modem and map it to /dev/com8 (a udev rule or a symlink), or name its device with --port."
  fi
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
      sleep 0.3
      screenshot "$box" com8-box.png
      # Beneath the port name the box says why it could not be opened.
      expect_eq "message box" "$expected
$PORT does not exist. $advice" \
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
# Scenario 3: a multi-drop loop with devices at 2 and 5.

# Presses Poll, answers Yes to the multi-drop question and prints how long
# the scan took from the answer to the verdict.
scan() {  # what to do 1.5 s into the scan (a command, or true)
  focus "$main"
  click_du "$main" 60 92  # Poll
  if ! wait_for 15 find_other_window "$main"; then
    fail "no multi-drop question"
    return 1
  fi
  local box=$found started
  # The picture before the text is selected to be read.
  [ "$1" = true ] || screenshot "$box" multi-drop-question.png
  expect_eq "question" "No devices at address 0.  Multi-drop Poll?" "$(message_text "$box")"
  focus "$box"
  started=$(now_ms)
  xdotool key Return  # Yes is the default button
  sleep 1.5
  "$@"
  local status
  status=$(verdict "$main")
  echo "figure: scan, Yes to verdict $(($(now_ms) - started)) ms (includes reading it back)"
  expect_eq "Status" "Test Pass, multi-drop network" "$status"
}

escape_main() {
  focus "$main"
  xdotool key Escape
}

scenario_scan() {
  echo "== devices at 2 and 5 =="
  start_hartsim --device addr=2,tag=TT-2 --device addr=5,tag=TT-5 || return
  start_veltrop || return
  # An Esc during the scan would end the program before the verdict shows.
  scan escape_main || return
  if veltrop_ended; then
    fail "the Esc pressed during the scan closed veltrop"
    veltrop_pid=""
    return
  fi
  echo "ok: the Esc pressed during the scan was dropped"
  expect_eq "Addr" "2, 5" "$(addr_box "$main")"
  expect_eq "Tag" "Multi-Drop" "$(tag_box "$main")"
  if [ -n "${SCREENSHOT_DIR:-}" ]; then
    status_box "$main" >/dev/null
    xdotool key Home shift+Tab
    sleep 0.5
    screenshot "$main" multi-drop.png
  fi
  close_veltrop
}

# ---------------------------------------------------------------------------
# Scenario 4: a full multi-drop loop, 1 to 14.

# A visible window of the program other than the Poll dialog (the tool tip).
find_new_window() {
  found=$(windows | cut -f1 | grep -vxF -e "$main" | head -n1)
  [ -n "$found" ]
}

scenario_full_loop() {
  echo "== devices at 1 to 14 =="
  local devices=() a list=""
  for a in $(seq 1 14); do
    devices+=(--device "addr=$a,tag=D-$a")
    list+="${list:+, }$a"
  done
  start_hartsim "${devices[@]}" || return
  start_veltrop || return
  scan true || return
  # Thirteen steps from the first request to the last; the scan is one
  # more step (the last request's pause and reply).
  echo "figure: scan of 1 to 14, request to address 1 to request to address 14:" \
    "$(request_span 1 14) ms"
  expect_eq "Addr" "$list" "$(addr_box "$main")"
  # Away from the box, focus on to "?" and back round to Poll: the box shows
  # its continuation mark; resting the pointer on it brings up the whole
  # list as a tool tip.
  focus "$main"
  xdotool key Home Tab Tab
  local px py
  read -r px py < <(at "$main" 139 151 100 71)
  xdotool mousemove --sync "$px" "$py"
  if wait_for 10 find_new_window; then
    # shellcheck disable=SC2034  # geometry also sets these
    local X Y WIDTH HEIGHT SCREEN WINDOW box_width
    geometry "$main"
    box_width=$(((82 * WIDTH + 69) / 139))
    geometry "$found"
    if ((WIDTH > box_width)); then
      echo "ok: the Addr box's tool tip (${WIDTH} px) is wider than the box (${box_width} px)"
    else
      fail "the tool tip (${WIDTH} px) is no wider than the Addr box (${box_width} px)"
    fi
    if [ -n "${SCREENSHOT_DIR:-}" ]; then
      mkdir -p "$SCREENSHOT_DIR"
      # The window with its frame and its tool tip together, cut out of the
      # screen.
      geometry "$main"
      local left=0 right=0 top=0 bottom=0
      read -r left right top bottom < <(xprop -id "$main" _NET_FRAME_EXTENTS |
        sed -n 's/.*= *//p' | tr -d ',')
      import -window root -crop \
        "$((WIDTH + left + right + 200))x$((HEIGHT + top + bottom + 10))+$((X - left))+$((Y - top))" \
        "$SCREENSHOT_DIR/address-tooltip.png" &&
        echo "screenshot: $SCREENSHOT_DIR/address-tooltip.png"
    fi
  else
    fail "no tool tip over the Addr box"
  fi
  close_veltrop
}

# ---------------------------------------------------------------------------

scenario_device
stop_veltrop
stop_hartsim
scenario_no_port
stop_veltrop
scenario_scan
stop_veltrop
stop_hartsim
scenario_full_loop
stop_veltrop
stop_hartsim
e2e_finish
