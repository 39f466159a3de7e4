#!/usr/bin/env bash
# hartsim --trace FILE: an unwritable FILE is refused with status 2; a poll
# on the simulator's terminal is traced from the device side, and tshark
# decodes the request and the reply in the order they went over the line.
#
#   hartsim_trace.sh HARTSIM
# Exit codes: 0 pass, 1 fail, 77 skipped (tshark is not installed).
set -uo pipefail

hartsim=$1
work=$(mktemp -d)
sim_pid=""
cleanup() {
  [ -n "$sim_pid" ] && kill -TERM "$sim_pid" 2>/dev/null && wait "$sim_pid" 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT
failures=0
fail() {
  echo "FAIL: $*"
  failures=$((failures + 1))
}
ok() { echo "ok: $*"; }

"$hartsim" --trace "$work/missing/h.pcap" >"$work/out" 2>"$work/err"
rc=$?
if [ "$rc" = 2 ] && [ "$(wc -l <"$work/err")" = 1 ] && grep -qF "$work/missing/h.pcap" "$work/err" &&
  [ ! -s "$work/out" ]; then
  ok "an unwritable trace file is refused by name, status 2"
else
  fail "unwritable trace: status $rc, stderr: $(cat "$work/err")"
fi
"$hartsim" --trace >/dev/null 2>"$work/err"
rc=$?
if [ "$rc" = 2 ] && grep -q -- "--trace" "$work/err"; then
  ok "--trace without a file: status 2, named"
else
  fail "--trace without a file: status $rc, stderr: $(cat "$work/err")"
fi

# A start that fails (a --link it refuses) leaves an existing trace file as
# it was: the file is opened last.
printf 'an earlier capture' >"$work/earlier.pcap"
: >"$work/not-a-link"
"$hartsim" --link "$work/not-a-link" --trace "$work/earlier.pcap" >/dev/null 2>"$work/err"
rc=$?
if [ "$rc" = 1 ] && [ "$(cat "$work/earlier.pcap")" = "an earlier capture" ]; then
  ok "a refused --link leaves the trace file untouched, status 1"
else
  fail "refused --link: status $rc, file now: $(head -c 40 "$work/earlier.pcap" | od -c | head -2)"
fi

if [ -z "$("$hartsim" --help | awk 'length > 80')" ]; then
  ok "hartsim --help fits 80 columns"
else
  fail "hartsim --help has lines over 80 columns"
fi

command -v tshark >/dev/null || {
  echo "SKIPPED: tshark is not installed (tools/install-deps test)"
  exit 77
}

"$hartsim" --trace "$work/h.pcap" --device addr=0,rev=7,id=000102 >"$work/log" 2>&1 &
sim_pid=$!
for _ in $(seq 100); do
  grep -q '^/dev/pts/' "$work/log" && break
  sleep 0.1
done
pty=$(grep -m1 '^/dev/pts/' "$work/log")
[ -n "$pty" ] || {
  fail "hartsim did not start: $(cat "$work/log")"
  exit 1
}
stty -F "$pty" raw -echo
exec 3<>"$pty"
# Command 0 to polling address 0, then wait for the whole 34-byte reply.
printf '\xff\xff\xff\xff\xff\xff\xff\x02\x80\x00\x00\x82' >&3
reply=$(timeout 5 head -c 34 <&3 | od -An -tx1 | tr -d ' \n')
exec 3<&-
[ ${#reply} = 68 ] || fail "no whole reply on the terminal: '$reply'"
kill -TERM "$sim_pid"
wait "$sim_pid"
rc=$?
sim_pid=""
[ "$rc" = 0 ] || fail "hartsim ended with $rc"

fields=$(tshark -r "$work/h.pcap" -T fields -E separator='|' -e ip.src -e hart_ip.message_type \
  -e hart_ip.pt.command -e hart_ip.pt.short_addr 2>/dev/null)
expected="192.0.2.1|0|0|0
192.0.2.2|1|0|0"
if [ "$fields" = "$expected" ]; then
  ok "tshark: command 0 from the master, then the device's response"
else
  fail "tshark decoded: '$fields', expected '$expected'"
fi
times=$(tshark -r "$work/h.pcap" -T fields -e frame.time_epoch 2>/dev/null)
if [ "$(sort -n <<<"$times")" = "$times" ]; then
  ok "times in order"
else
  fail "times out of order: $times"
fi

((failures == 0)) || exit 1
echo "all checks passed"
