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

# Runs veltrop with no display at all; sets rc, out and err.
run() {
  env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM "$veltrop" "$@" \
    >"$work/out" 2>"$work/err" </dev/null
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

lines() { [ -z "$1" ] && echo 0 || printf '%s\n' "$1" | wc -l; }

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

# --version: the package's version, nothing else.
run --version
expect "--version" 0 "$rc"
check "--version prints 'veltrop $version'" test "$out" = "veltrop $version"
check "--version writes nothing to stderr" test -z "$err"

# An unknown option, or one missing its value: named on stderr with a
# pointer to --help, status 2, and no window attempted.
for args in "--bogus|bogus" "-x|'x'" "--trace|trace" "--service extra|extra"; do
  name=${args#*|}
  # shellcheck disable=SC2086  # the arguments are split on purpose
  run ${args%|*}
  expect "${args%|*}" 2 "$rc"
  check "${args%|*}: stderr names $name" contains "$(head -n1 <<<"$err")" "$name"
  check "${args%|*}: then points to --help" test "$(tail -n1 <<<"$err")" = \
    "Try 'veltrop --help' for more information."
  check "${args%|*}: two lines on stderr" test "$(lines "$err")" = 2
  check "${args%|*}: nothing on stdout" test -z "$out"
done

# A trace file that cannot be written is refused before anything else.
run --trace "$work/no-such-dir/poll.pcap"
expect "--trace into a missing directory" 2 "$rc"
check "the refusal names the file" contains "$err" "$work/no-such-dir/poll.pcap"
check "the refusal is one line" test "$(lines "$err")" = 1

# A modem kind veltrop does not know is refused, not run as the default.
run --modem dtr
expect "--modem dtr" 2 "$rc"
check "the refusal names the kind and the choices" contains "$err" "option '--modem' takes self or rts, not 'dtr'"

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
