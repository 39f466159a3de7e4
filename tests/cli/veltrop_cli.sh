#!/usr/bin/env bash
# The real veltrop program's command line, without a display: what each
# option prints, on which stream, and the exit status.
#
#   veltrop_cli.sh VELTROP VERSION
# Exit codes: 0 pass, 1 fail.
set -uo pipefail

veltrop=$1
version=$2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failures=0

fail() {
  echo "FAIL: $*"
  failures=$((failures + 1))
}

# Runs veltrop with no display at all, and no port or modem from the
# environment or a settings file but the test's own; sets rc, out and err.
mkdir -p "$work/config/veltrop"
run() {
  env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM -u VELTROP_PORT -u VELTROP_MODEM \
    XDG_CONFIG_HOME="$work/config" "$veltrop" "$@" >"$work/out" 2>"$work/err" </dev/null
  rc=$?
  out=$(cat "$work/out")
  err=$(cat "$work/err")
}

expect() {  # what, expected status, status
  local what=$1
  if [ "$2" != "$3" ]; then
    fail "$what: exit status $3, expected $2 (stdout: \"$out\", stderr: \"$err\")"
    return
  fi
  echo "ok: $what: exit status $3"
}

lines() { if [ -z "$1" ]; then echo 0; else printf '%s\n' "$1" | wc -l; fi; }

check() {  # what, condition...
  local what=$1
  shift
  if "$@"; then echo "ok: $what"; else fail "$what (stdout: \"$out\", stderr: \"$err\")"; fi
}

contains() { [[ "$1" == *"$2"* ]]; }

# --help: the usage on standard output, every option listed.
run --help
expect "--help" 0 "$rc"
check "--help writes the usage to stdout" contains "$out" "Usage: veltrop [OPTION]..."
check "--help lists --service" contains "$out" "--service"
check "--help lists --trace FILE" contains "$out" "--trace FILE"
check "--help lists --version" contains "$out" "--version"
check "--help writes nothing to stderr" test -z "$err"
check "--help fits 80 columns" test "$(awk 'length > 80' <<<"$out")" = ""

# --version: the package's version, then the copyright and licence.
run --version
expect "--version" 0 "$rc"
check "--version prints 'veltrop $version' first" test "$(head -n1 <<<"$out")" = "veltrop $version"
check "--version: then copyright and licence, as GNU programs do" \
  test "$(sed -n '2p;3p' <<<"$out")" = "Copyright (C) 2026 The Veltrop developers.
License MIT: <https://opensource.org/licenses/MIT>."
check "--version writes nothing to stderr" test -z "$err"

# An unknown option, one missing its value, or an empty one: named on
# stderr in the words of every other GNU program, with a pointer to --help,
# status 2, and no window attempted.
while IFS='|' read -r line expected; do
  read -r -a args <<<"$line"
  [ "$line" = "<empty>" ] && args=()
  run "${args[@]}"
  expect "$line" 2 "$rc"
  check "$line: stderr says $expected" test "$(head -n1 <<<"$err")" = "veltrop: $expected"
  check "$line: then points to --help" test "$(tail -n1 <<<"$err")" = \
    "Try 'veltrop --help' for more information."
  check "$line: two lines on stderr" test "$(lines "$err")" = 2
  check "$line: nothing on stdout" test -z "$out"
done <<'EOF_CASES'
--bogus|unrecognized option '--bogus'
--bogus=1|unrecognized option '--bogus'
-x|unrecognized option '-x'
--trace|option '--trace' requires an argument
--service=yes|option '--service' doesn't allow an argument
--service extra|unexpected argument 'extra'
--poll --port hart-ip://gateway:port|option '--port': 'hart-ip://gateway:port' is not a gateway address; write hart-ip://HOST[:PORT] (UDP) or hart-ip+tcp://HOST[:PORT] (TCP), an IPv6 address in brackets
--poll --address 64|--address: '64' is not a polling address from 0 to 63
--poll --address 1x|--address: '1x' is not a polling address from 0 to 63
--scan --address 3|--address goes with --poll or --monitor; --scan polls addresses 1 to 14
--scan --scan-to 0|--scan-to: '0' is not a polling address from 1 to 63
--poll --scan-to 20|--scan-to goes with --scan
--poll --tolerance 0|--tolerance: '0' is not a percentage of span from 0.01 to 100
--monitor --tolerance 1|--tolerance goes with --poll or --scan
--monitor --json --csv|--json and --csv are two ways to print a reading; choose one
EOF_CASES

# A settings file line veltrop cannot use stops both programs, the window
# too, as a bad option would, before any port or display is tried.
printf 'port = /dev/ttyUSB0\nmodme = rts\n' >"$work/config/veltrop/veltrop.conf"
for line in "--poll" "--service"; do
  run $line
  expect "$line, a settings file with a typo" 2 "$rc"
  check "$line: the refusal names the file and line" test "$(head -n1 <<<"$err")" = \
    "veltrop: $work/config/veltrop/veltrop.conf:2: unknown setting 'modme' (known: port, modem)"
done
rm "$work/config/veltrop/veltrop.conf"

# --list-ports reads this machine's ports; none is no failure.
run --list-ports --json
expect "--list-ports --json" 0 "$rc"
check "--list-ports --json: one object with the port list" \
  jq -e '.schema == 1 and (.ports | type) == "array"' <<<"$out" >/dev/null
for option in --trace --port; do
  run "$option" ""
  expect "$option ''" 2 "$rc"
  check "$option '': refused by name" test "$err" = \
    "veltrop: option '$option' needs a non-empty value
Try 'veltrop --help' for more information."
done

# The trace is opened only once the display is up: a start that fails
# leaves an existing file as it was.
printf 'an earlier capture' >"$work/earlier.pcap"
run --trace "$work/earlier.pcap"
expect "--trace without a display" 1 "$rc"
check "the earlier file is untouched" test "$(cat "$work/earlier.pcap")" = "an earlier capture"
run --trace "$work/new.pcap"
check "no file is made when the start fails" test ! -e "$work/new.pcap"

# A modem kind veltrop does not know is refused, not run as the default.
run --modem dtr
expect "--modem dtr" 2 "$rc"
check "the refusal names the kind and the choices" contains "$err" "option '--modem' takes self or rts, not 'dtr'"

# A gateway wait out of range is refused, not taken as no wait at all.
run --hart-ip-wait 0
expect "--hart-ip-wait 0" 2 "$rc"
check "the refusal names the range" contains "$err" "option '--hart-ip-wait' takes milliseconds from 100 to 120000, not '0'"

# A key file others may read stops the program before anything is sent,
# with the command that fixes it; a secure gateway without a key file is
# refused as well.
printf 'gw:00112233445566778899aabbccddeeff\n' >"$work/gw.key"
chmod 644 "$work/gw.key"
run --port hart-ip+tls://127.0.0.1 --psk-file "$work/gw.key" --poll
expect "--psk-file readable by others" 2 "$rc"
check "the refusal says chmod 600" contains "$err" "chmod 600 $work/gw.key"
run --port hart-ip+dtls://127.0.0.1 --poll
expect "hart-ip+dtls:// without --psk-file" 2 "$rc"
check "the refusal asks for --psk-file" contains "$err" "give --psk-file FILE"

# No display: one line that says what to do, status 1, no abort.
run
expect "no display" 1 "$rc"
check "no display: one line on stderr" test "$(lines "$err")" = 1
check "no display: it says DISPLAY is not set" contains "$err" "DISPLAY is not set"
check "no display: it says what to do" contains "$err" "xvfb-run"
check "no display: nothing on stdout" test -z "$out"
run --service
expect "--service, no display" 1 "$rc"

# Qt's own options still reach Qt: a display named with -display is the
# one it tries to open.
display=:$((RANDOM % 200 + 300))
while [ -e "/tmp/.X11-unix/X${display#:}" ]; do display=:$((${display#:} + 1)); done
run -display "$display" --service
expect "-display $display" 1 "$rc"
check "-display: the line names $display" contains "$err" "cannot open display '$display'"
check "-display: one line on stderr" test "$(lines "$err")" = 1

if ((failures)); then
  echo "$failures check(s) failed"
  exit 1
fi
echo "all checks passed"
