# shellcheck shell=bash
# Shared by the end-to-end runs (poll_e2e.sh, pv_e2e.sh): the real veltrop
# program on a private X server (Xvfb), hartsim serving a field device on a
# link in the run's own folder (veltrop --port names it), xdotool pressing
# the buttons, and the results read back out of the windows themselves (edit
# boxes through the clipboard, message boxes through the primary selection).
# Nothing is shared with another run or with /dev/com8, so runs need no root
# and go side by side with each other and with a program that holds the
# machine's modem.
#
# A script sources this file, then calls `e2e_start "$@"` with its
# arguments VELTROP HARTSIM; the script's exit codes are 0 pass, 1 fail,
# 77 skipped (tools missing).

PORT=""

skip() {
  echo "SKIPPED: $*"
  exit 77
}

work=""
failures=0
veltrop_pid=""
hartsim_pid=""
pty=""

# Checks the arguments, re-runs the calling script under xvfb-run and sets
# up the working directory and the port in it.
e2e_start() {  # VELTROP HARTSIM
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
    if [ -n "${SCREENSHOT_DIR:-}" ]; then
      command -v import >/dev/null || skip "SCREENSHOT_DIR needs ImageMagick's import"
      command -v openbox >/dev/null || skip "SCREENSHOT_DIR needs a window manager (openbox)"
    fi
    export VELTROP_E2E_XVFB=1
    # -noreset: an X server resets when its last client disconnects, and a
    # client connecting during the reset is refused; between the scenarios
    # veltrop is the only client, so its successor would race the reset.
    exec xvfb-run -a -s "-screen 0 1024x768x24 -noreset" "$0" "$veltrop" "$hartsim"
  fi

  export QT_QPA_PLATFORM=xcb
  # Only the sanitizer build reads it.
  here=$(dirname "$(realpath "$0")")
  export LSAN_OPTIONS="suppressions=$here/lsan.supp${LSAN_OPTIONS:+:$LSAN_OPTIONS}"
  unset WAYLAND_DISPLAY
  work=$(mktemp -d)
  # The port is the run's own link (--port); nothing from the environment or
  # a settings file of the user who runs the suite reaches veltrop.
  unset VELTROP_PORT VELTROP_MODEM
  export XDG_CONFIG_HOME=$work/config
  # Pictures for the guide show the windows as an operator sees them, with
  # title bars: a small window manager frames them.
  if [ -n "${SCREENSHOT_DIR:-}" ]; then
    openbox >"$work/openbox.log" 2>&1 &
    wm_pid=$!
    sleep 1
  fi
  PORT=$work/com8
}

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

wm_pid=""

cleanup() {
  stop_veltrop
  stop_hartsim
  [ -z "$wm_pid" ] || kill "$wm_pid" 2>/dev/null
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
main=""
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

# Sets X, Y, WIDTH and HEIGHT (the caller's locals) to the window's client
# area on the screen. xdotool's own position is off by the frame once a
# window manager has reparented the window; xwininfo's absolute corner is
# not.
geometry() {  # window
  eval "$(xdotool getwindowgeometry --shell "$1")"
  read -r X Y < <(xwininfo -id "$1" |
    awk '/Absolute upper-left X/ { x = $NF } /Absolute upper-left Y/ { y = $NF } END { print x, y }')
}

# Pixel position of a point given in dialog units, from the window's client
# size and the dialog's size in dialog units (ui/resources.cpp).
at() {  # window, dialog cx, dialog cy, x du, y du
  # shellcheck disable=SC2034  # geometry also sets these
  local X Y WIDTH HEIGHT SCREEN WINDOW
  geometry "$1"
  local cw=$(((WIDTH * 4 + $2 / 2) / $2))
  local ch=$(((HEIGHT * 8 + $3 / 2) / $3))
  echo "$((X + ($4 * cw + 2) / 4)) $((Y + ($5 * ch + 4) / 8))"
}

# Clicks a dialog cx by cy dialog units large at a point given in dialog
# units.
click_du_in() {  # window, dialog cx, dialog cy, x du, y du
  local px py
  read -r px py < <(at "$@")
  xdotool mousemove --sync "$px" "$py" click 1
}

# Clicks the Poll dialog at a point given in dialog units.
click_du() {  # window, x du, y du
  click_du_in "$1" 139 151 "$2" "$3"
}

focus() {  # window
  xdotool windowfocus --sync "$1" 2>/dev/null || xdotool windowfocus "$1"
}

# ---------------------------------------------------------------------------
# Reading text back through X selections. The selection is first given to
# an xclip holding a marker, so a stale copy is never taken for the answer.
# While the program talks to the device it drops keys and clicks, so a copy
# asked for then never comes: reading a box means asking again until the
# answer comes.

readonly MARKER="veltrop-e2e-marker-$$"
selection=""

mark() {  # clipboard | primary
  # xclip stays behind to serve the marker until the selection is taken;
  # it must not hold a command substitution's pipe open meanwhile.
  printf '%s' "$MARKER" | xclip -selection "$1" -i >/dev/null 2>&1
}

selection_changed() {  # clipboard | primary
  selection=$(timeout 1 xclip -o -selection "$1" 2>/dev/null) || return 1
  [ "$selection" != "$MARKER" ]
}

# Whether the clipboard changed within `ms` milliseconds.
copied_within() {  # ms
  local end=$(($(date +%s%3N) + $1))
  until selection_changed clipboard; do
    (($(date +%s%3N) < end)) || return 1
    sleep 0.1
  done
}

# The text of the edit box centred at (x, y) in dialog units of a dialog cx
# by cy dialog units large:
# click into it, select all, copy.
box_text_in() {  # window, dialog cx, dialog cy, x du, y du
  # An empty box copies nothing: a caller expecting one sets box_wait lower.
  local deadline=$((SECONDS + ${box_wait:-30}))
  while :; do
    mark clipboard
    focus "$1"
    # A synchronous move to where the pointer already is may never complete:
    # step off the point first.
    xdotool mousemove_relative -- 0 4
    click_du_in "$@"
    xdotool key ctrl+a ctrl+c
    # 1.3 s, not a divisor of the PV dialog's 2 s tick: asking again at the
    # same phase would meet the tick's handler every time.
    if copied_within 1300; then
      printf '%s' "$selection"
      return
    fi
    ((SECONDS < deadline)) || break
  done
  printf '<nothing copied>'
}

# The same in the Poll dialog.
box_text() {  # window, x du, y du
  box_text_in "$1" 139 151 "$2" "$3"
}

# Edit boxes of the Poll dialog: centres in dialog units.
status_box() { box_text "$1" 79 130; }
tag_box() { box_text "$1" 77 32; }
id_box() { box_text "$1" 77 52; }
addr_box() { box_text "$1" 77 71; }

# The Status box once the press is over: read again until it no longer
# says "Polling...".
verdict() {  # window
  local status deadline=$((SECONDS + 60))
  status=$(status_box "$1")
  while [ "$status" = "Polling..." ] && ((SECONDS < deadline)); do
    sleep 0.2
    status=$(status_box "$1")
  done
  printf '%s' "$status"
}

# Presses Poll and prints Status once the poll is over.
poll_status() {  # window
  focus "$1"
  click_du "$1" 60 92  # Poll
  verdict "$1"
}

now_ms() { date +%s%3N; }

# Requests with command 0 that hartsim saw for `address` (it runs --verbose).
polls_seen() {  # address
  grep -c "address $1 .*command 0 " "$work/hartsim.log"
}

# Milliseconds between the first request hartsim saw for one address and the
# last for another, from its --verbose log ("   9.012 s  address 1 ...");
# only addresses with a device are logged.
request_span() {  # first address, last address
  awk -v a="$1" -v b="$2" '$3 == "address" && $4 == a && !f { f = $1 }
    $3 == "address" && $4 == b { l = $1 } END { printf "%d", (l - f) * 1000 }' \
    "$work/hartsim.log"
}

# The message text of a message box: a triple click on its label selects it
# all into the primary selection. The label sits right of the icon, above
# the button; a few points cover the sizes the text gives the box.
message_text() {  # box window
  # shellcheck disable=SC2034  # geometry also sets these
  local X Y WIDTH HEIGHT SCREEN WINDOW fx fy
  geometry "$1"
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
  # shellcheck disable=SC2034  # geometry also sets these
  local X Y WIDTH HEIGHT SCREEN WINDOW fy last="" taken=0
  geometry "$1"
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
  # -frame: with the window manager's frame and title bar.
  import -frame -window "$1" "$SCREENSHOT_DIR/$2" && echo "screenshot: $SCREENSHOT_DIR/$2"
}

# shellcheck disable=SC2120  # the options are optional
start_veltrop() {  # [options of veltrop...]
  "$veltrop" --port "$PORT" "$@" >"$work/veltrop.log" 2>&1 &
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

# Starts hartsim on the run's port with the given devices and faults; false
# when it did not start or link the port.
start_hartsim() {  # hartsim options...
  # The log of an earlier run must not be read as this one's.
  rm -f "$work/hartsim.log"
  "$hartsim" --verbose --link "$PORT" "$@" >"$work/hartsim.log" 2>&1 &
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
    return 1
  fi
}

# Stops hartsim with SIGTERM and checks that it ended cleanly and took its
# link away.
end_hartsim() {
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

e2e_finish() {
  if ((failures)); then
    echo "$failures check(s) failed"
    exit 1
  fi
  echo "all checks passed"
}
