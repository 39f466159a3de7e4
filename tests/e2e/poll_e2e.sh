#!/usr/bin/env bash
# End-to-end run of the real veltrop program on an X server (Xvfb): hartsim
# serves a field device on /dev/com8, the test presses the buttons with
# xdotool and reads every result back out of the windows themselves (edit
# boxes through the clipboard, message boxes through the primary selection).
#
#   poll_e2e.sh VELTROP HARTSIM
#
# Scenarios:
#   1. a device at address 0: Poll fills Status, Tag, ID and Addr, and an
#      Enter pressed while it polls is dropped, not run as a second poll; "?"
#      opens the About box; Esc ends the program; hartsim removes its link.
#   2. no /dev/com8: Poll reports "COM8:" (with the reason beneath it), then
#      "Error opening COM port", and the Status box says so.
#   3. devices at 2 and 5: the multi-drop scan; an Esc pressed during it is
#      dropped, so the verdict stays on screen, whole.
#   4. devices at 1 to 14: the Addr box holds the whole list, and hovering
#      over it shows a tool tip wider than the box.
#
# Exit codes: 0 pass, 1 fail, 77 skipped (tools missing, not root, /dev/com8
# belongs to something else, or another run holds it).
# The figures it prints (how long a poll and a scan took) are for the
# operator guide; nothing is asserted on them.
# With SCREENSHOT_DIR set, poll-dialog.png, about-box.png, multi-drop.png and
# address-tooltip.png are written there (needs ImageMagick's `import`).
set -uo pipefail

readonly PORT=/dev/com8
readonly LOCK=/tmp/veltrop-e2e-com8.lock

skip() {
  echo "SKIPPED: $*"
  exit 77
}

if (($# != 2)); then
  echo "usage: $0 VELTROP HARTSIM" >&2
  exit 2
fi
veltrop=$(realpath "$1")
hartsim=$(realpath "$2")
if [ ! -x "$veltrop" ] || [ ! -x "$hartsim" ]; then
  echo "not executable: $1 or $2" >&2
  exit 2
fi

# Always on a private X server, never on the desktop of whoever runs it.
if [ -z "${VELTROP_E2E_XVFB:-}" ]; then
  for tool in xvfb-run Xvfb xauth xdotool xclip; do
    command -v "$tool" >/dev/null || skip "$tool is not installed (tools/install-deps test)"
  done
  [ "$(id -u)" -eq 0 ] || skip "linking $PORT needs root"
  if [ -n "${SCREENSHOT_DIR:-}" ]; then
    command -v import >/dev/null || skip "SCREENSHOT_DIR needs ImageMagick's import"
  fi
  export VELTROP_E2E_XVFB=1
  # -noreset: an X server resets when its last client disconnects, and a
  # client connecting during the reset is refused; between the scenarios
  # veltrop is the only client, so its successor would race the reset.
  exec xvfb-run -a -s "-screen 0 1024x768x24 -noreset" "$0" "$veltrop" "$hartsim"
fi

# Runs share /dev/com8 with every other build tree on this machine.
exec 9>"$LOCK"
flock -w 60 9 || skip "another end-to-end run holds $PORT"

export QT_QPA_PLATFORM=xcb
# Only the sanitizer build reads it.
here=$(dirname "$(realpath "$0")")
export LSAN_OPTIONS="suppressions=$here/lsan.supp${LSAN_OPTIONS:+:$LSAN_OPTIONS}"
unset WAYLAND_DISPLAY
work=$(mktemp -d)
failures=0
veltrop_pid=""
hartsim_pid=""
pty=""

stop_veltrop() {
  if [ -n "$veltrop_pid" ]; then
    kill "$veltrop_pid" 2>/dev/null
    wait "$veltrop_pid" 2>/dev/null
    veltrop_pid=""
  fi
}

stop_hartsim() {
  if [ -n "$hartsim_pid" ]; then
    kill -TERM "$hartsim_pid" 2>/dev/null
    wait "$hartsim_pid" 2>/dev/null
    hartsim_pid=""
  fi
  # A simulator that could not clean up leaves its link; remove it only if it
  # is ours.
  if [ -n "$pty" ] && [ -L "$PORT" ] && [ "$(readlink "$PORT")" = "$pty" ]; then
    rm -f "$PORT"
  fi
}

cleanup() {
  stop_veltrop
  stop_hartsim
  rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 1' INT TERM

fail() {
  echo "FAIL: $*"
  failures=$((failures + 1))
}

expect_eq() {  # what, expected, actual
  if [ "$2" = "$3" ]; then
    echo "ok: $1 = \"$3\""
  else
    fail "$1: expected \"$2\", got \"$3\""
  fi
}

# Runs a command until it succeeds or `seconds` pass.
wait_for() {  # seconds, command...
  local deadline=$((SECONDS + $1))
  shift
  until "$@"; do
    ((SECONDS < deadline)) || return 1
    sleep 0.1
  done
}

# ---------------------------------------------------------------------------
# Windows

# Visible top-level windows of the veltrop process, one "id<TAB>name" a line.
windows() {
  local w
  for w in $(xdotool search --onlyvisible --pid "$veltrop_pid" 2>/dev/null); do
    printf '%s\t%s\n' "$w" "$(xdotool getwindowname "$w" 2>/dev/null)"
  done
}

# The window titled exactly `name` (search patterns ignore case, and the
# message boxes are titled "veltrop").
window_named() {  # name
  windows | awk -F'\t' -v n="$1" '$2 == n { print $1; exit }'
}

found=""
find_window() {  # name
  found=$(window_named "$1")
  [ -n "$found" ]
}

# A visible window of the program other than `except` (a message box).
find_other_window() {  # except
  found=$(windows | awk -F'\t' -v w="$1" '$1 != w { print $1; exit }')
  [ -n "$found" ]
}

only_window_left() {  # id
  [ "$(windows | cut -f1)" = "$1" ]
}

window_gone() {  # id
  ! windows | cut -f1 | grep -qx "$1"
}

veltrop_ended() {
  ! kill -0 "$veltrop_pid" 2>/dev/null
}

port_links_pty() {
  [ "$(readlink "$PORT")" = "$pty" ]
}

# Pixel position of a point given in dialog units, from the window's client
# size and the dialog's size in dialog units (ui/resources.cpp).
at() {  # window, dialog cx, dialog cy, x du, y du
  # shellcheck disable=SC2034  # getwindowgeometry --shell also sets these
  local X Y WIDTH HEIGHT SCREEN WINDOW
  eval "$(xdotool getwindowgeometry --shell "$1")"
  local cw=$(((WIDTH * 4 + $2 / 2) / $2))
  local ch=$(((HEIGHT * 8 + $3 / 2) / $3))
  echo "$((X + ($4 * cw + 2) / 4)) $((Y + ($5 * ch + 4) / 8))"
}

# Clicks the Poll dialog at a point given in dialog units.
click_du() {  # window, x du, y du
  local px py
  read -r px py < <(at "$1" 139 151 "$2" "$3")
  xdotool mousemove --sync "$px" "$py" click 1
}

focus() {  # window
  xdotool windowfocus --sync "$1" 2>/dev/null || xdotool windowfocus "$1"
}

# ---------------------------------------------------------------------------
# Reading text back through X selections. The selection is first given to
# an xclip holding a marker, so a stale copy is never taken for the answer.
# While the program polls it drops keys and clicks, so a copy asked for then
# never comes: reading a result means asking again until the answer comes.

readonly MARKER="veltrop-e2e-marker-$$"
selection=""

mark() {  # clipboard | primary
  # xclip stays behind to serve the marker until the selection is taken;
  # it must not hold a command substitution's pipe open meanwhile.
  printf '%s' "$MARKER" | xclip -selection "$1" -i >/dev/null 2>&1
}

selection_changed() {  # clipboard | primary
  selection=$(timeout 2 xclip -o -selection "$1" 2>/dev/null) || return 1
  [ "$selection" != "$MARKER" ]
}

# The text of the Poll dialog's edit box centred at (x, y) in dialog units:
# click into it, select all, copy.
box_text() {  # window, x du, y du, [seconds to wait for the copy]
  mark clipboard
  focus "$1"
  click_du "$1" "$2" "$3"
  xdotool key ctrl+a ctrl+c
  if wait_for "${4:-30}" selection_changed clipboard; then
    printf '%s' "$selection"
  else
    printf '<nothing copied>'
  fi
}

# Edit boxes of the Poll dialog: centres in dialog units.
status_box() { box_text "$1" 79 130 "${2:-30}"; }
tag_box() { box_text "$1" 77 32; }
id_box() { box_text "$1" 77 52; }
addr_box() { box_text "$1" 77 71; }

# The Status box once the press is over: asked again every second until a
# copy comes back that no longer says "Polling...".
verdict() {  # window
  local status deadline=$((SECONDS + 60))
  while ((SECONDS < deadline)); do
    # A synchronous move to where the pointer already is never completes.
    xdotool mousemove_relative -- 0 4
    status=$(status_box "$1" 1)
    if [ "$status" != "<nothing copied>" ] && [ "$status" != "Polling..." ]; then
      printf '%s' "$status"
      return
    fi
  done
  printf '<no verdict>'
}

now_ms() { date +%s%3N; }

# Requests with command 0 that hartsim (--verbose) saw for `address`.
polls_seen() {  # address
  grep -c "address $1 .*command 0 " "$work/hartsim.log"
}

# The message text of a message box: a triple click on its label selects it
# all into the primary selection. The label sits right of the icon, above
# the button; a few points cover the sizes the text gives the box.
message_text() {  # box window
  # shellcheck disable=SC2034  # getwindowgeometry --shell also sets these
  local X Y WIDTH HEIGHT SCREEN WINDOW fx fy
  eval "$(xdotool getwindowgeometry --shell "$1")"
  mark primary
  for fy in 25 20 30 15 35; do
    for fx in 65 55 75 85 45; do
      xdotool mousemove --sync $((X + WIDTH * fx / 100)) $((Y + HEIGHT * fy / 100)) \
        click --repeat 3 --delay 60 1
      if wait_for 1 selection_changed primary; then
        printf '%s' "$selection"
        return
      fi
    done
  done
  printf '<no text selected>'
}

# Every text of a message box, top to bottom, one a line: the main text and,
# where the box has one, the explanation beneath it. Scans a column of points
# down the box, taking each label's text once. A box with a single text costs
# a second for each point below it.
message_texts() {  # box window
  # shellcheck disable=SC2034  # getwindowgeometry --shell also sets these
  local X Y WIDTH HEIGHT SCREEN WINDOW fy last="" taken=0
  eval "$(xdotool getwindowgeometry --shell "$1")"
  for fy in 8 12 16 20 24 28 32 36 40 44 48 52 56 60 64; do
    # A message box has at most two texts; clicking on after the second
    # one only picks up single words of it.
    ((taken < 2)) || break
    mark primary
    xdotool mousemove --sync $((X + WIDTH * 55 / 100)) $((Y + HEIGHT * fy / 100)) \
      click --repeat 3 --delay 60 1
    if wait_for 1 selection_changed primary && [ "$selection" != "$last" ]; then
      printf '%s\n' "$selection"
      last=$selection
      taken=$((taken + 1))
    fi
  done
}

screenshot() {  # window, file name
  [ -n "${SCREENSHOT_DIR:-}" ] || return 0
  mkdir -p "$SCREENSHOT_DIR"
  import -window "$1" "$SCREENSHOT_DIR/$2" && echo "screenshot: $SCREENSHOT_DIR/$2"
}

start_veltrop() {
  "$veltrop" >"$work/veltrop.log" 2>&1 &
  veltrop_pid=$!
  if ! wait_for 45 find_window Veltrop; then
    fail "no window titled Veltrop appeared"
    kill -0 "$veltrop_pid" 2>/dev/null || echo "(veltrop has ended)"
    echo "its windows:"
    windows
    echo "all visible windows:"
    xdotool search --onlyvisible --name '' 2>/dev/null | while read -r w; do
      echo "$w [$(xdotool getwindowname "$w" 2>/dev/null)] pid $(xdotool getwindowpid "$w" 2>/dev/null)"
    done
    cat "$work/veltrop.log"
    return 1
  fi
  main=$found
  focus "$main"
}

# Esc is Cancel: the dialog ends and with it the program.
close_veltrop() {
  focus "$main"
  xdotool key Escape
  if wait_for 15 veltrop_ended; then
    wait "$veltrop_pid"
    local rc=$?
    expect_eq "veltrop exit status" 0 "$rc"
    ((rc == 0)) || cat "$work/veltrop.log"
  else
    fail "veltrop still running after Esc"
  fi
  veltrop_pid=""
}

# ---------------------------------------------------------------------------
# Scenario 1: a device at polling address 0.

# Serves the devices given (hartsim --device KEYS ...) on $PORT.
start_hartsim() {  # device keys...
  local args=() keys
  for keys in "$@"; do args+=(--device "$keys"); done
  # The log of an earlier run must not be read as this one's.
  rm -f "$work/hartsim.log"
  "$hartsim" --verbose --link "$PORT" "${args[@]}" >"$work/hartsim.log" 2>&1 &
  hartsim_pid=$!
  # hartsim prints its terminal's path first, then links it.
  if ! wait_for 15 grep -q '^/dev/pts/' "$work/hartsim.log"; then
    fail "hartsim did not start"
    cat "$work/hartsim.log"
    return 1
  fi
  pty=$(grep -m1 '^/dev/pts/' "$work/hartsim.log")
  if ! wait_for 15 port_links_pty; then
    fail "$PORT does not point at $pty"
    cat "$work/hartsim.log"
    return 1
  fi
}

# Milliseconds between the first request hartsim saw for one address and the
# last for another, from its --verbose log ("   9.012 s  address 1 ...");
# only addresses with a device are logged.
request_span() {  # first address, last address
  awk -v a="$1" -v b="$2" '$3 == "address" && $4 == a && !f { f = $1 }
    $3 == "address" && $4 == b { l = $1 } END { printf "%d", (l - f) * 1000 }' \
    "$work/hartsim.log"
}

scenario_device() {
  echo "== a device at address 0 =="
  start_hartsim addr=0,rev=7,id=000102,tag=PT-101 || return

  start_veltrop || return
  expect_eq "Status before Poll" "Click Poll to start" "$(status_box "$main")"

  focus "$main"
  local started
  started=$(now_ms)
  click_du "$main" 60 92  # Poll; the button keeps the focus
  # Enter on the focused Poll button while the poll runs: made meanwhile,
  # it must be dropped, not run as a second poll afterwards.
  sleep 1
  xdotool key Return
  local status
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

  local sim=$hartsim_pid
  kill -TERM "$sim"
  wait "$sim"
  expect_eq "hartsim exit status" 0 "$?"
  hartsim_pid=""
  if [ -e "$PORT" ] || [ -L "$PORT" ]; then
    fail "$PORT still there after hartsim stopped"
  else
    echo "ok: hartsim removed $PORT"
  fi
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
  start_hartsim addr=2,tag=TT-2 addr=5,tag=TT-5 || return
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

# A visible window of the program that is neither the Poll dialog nor one
# already known (the tool tip).
find_new_window() {  # except...
  found=$(windows | cut -f1 | grep -vxF -e "$main" | head -n1)
  [ -n "$found" ]
}

scenario_full_loop() {
  echo "== devices at 1 to 14 =="
  local devices=() a list=""
  for a in $(seq 1 14); do
    devices+=("addr=$a,tag=D-$a")
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
    # shellcheck disable=SC2034  # getwindowgeometry --shell also sets these
    local X Y WIDTH HEIGHT SCREEN WINDOW box_width
    eval "$(xdotool getwindowgeometry --shell "$main")"
    box_width=$(((82 * WIDTH + 69) / 139))
    eval "$(xdotool getwindowgeometry --shell "$found")"
    if ((WIDTH > box_width)); then
      echo "ok: the Addr box's tool tip (${WIDTH} px) is wider than the box (${box_width} px)"
    else
      fail "the tool tip (${WIDTH} px) is no wider than the Addr box (${box_width} px)"
    fi
    if [ -n "${SCREENSHOT_DIR:-}" ]; then
      mkdir -p "$SCREENSHOT_DIR"
      # The window and its tool tip together, cut out of the screen.
      eval "$(xdotool getwindowgeometry --shell "$main")"
      import -window root -crop "$((WIDTH + 200))x$((HEIGHT + 10))+$X+$Y" \
        "$SCREENSHOT_DIR/address-tooltip.png" &&
        echo "screenshot: $SCREENSHOT_DIR/address-tooltip.png"
    fi
  else
    fail "no tool tip over the Addr box"
  fi
  close_veltrop
}

# ---------------------------------------------------------------------------

if [ -L "$PORT" ] && [[ "$(readlink "$PORT")" == /dev/pts/* ]] && [ ! -e "$PORT" ]; then
  echo "note: $PORT is a stale simulator link; hartsim replaces it"
elif [ -e "$PORT" ] || [ -L "$PORT" ]; then
  skip "$PORT exists and is not a stale simulator link; not touching it"
fi

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

if ((failures)); then
  echo "$failures check(s) failed"
  exit 1
fi
echo "all checks passed"
