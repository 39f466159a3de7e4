#!/usr/bin/env bash
# tshark decodes every kind of trace record as it should: requests,
# responses and burst frames as HART-IP token-passing PDUs of the right
# message type, and a read that made no frame as something else entirely.
#
#   records_check.sh SAMPLE_TRACE
# Exit codes: 0 pass, 1 fail, 77 skipped (tshark is not installed).
set -uo pipefail

command -v tshark >/dev/null || {
  echo "SKIPPED: tshark is not installed (tools/install-deps test)"
  exit 77
}

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
"$1" "$work/sample.pcap" || exit 1

failures=0
expect_eq() {  # what, expected, actual
  if [ "$2" = "$3" ]; then
    echo "ok: $1"
  else
    echo "FAIL: $1: expected \"$2\", got \"$3\""
    failures=$((failures + 1))
  fi
}

# One line a record: time, source, message type, message ID, command,
# short address, long address, UDP port, the bytes of anything undecoded.
fields=$(tshark -r "$work/sample.pcap" -T fields -E separator='|' \
  -e frame.time_epoch -e ip.src -e hart_ip.message_type -e hart_ip.message_id \
  -e hart_ip.pt.command -e hart_ip.pt.short_addr -e hart_ip.pt.long_address \
  -e udp.dstport -e data.data 2>/dev/null)
expect_eq "records decoded" \
  "1700000000.000000000|192.0.2.1|0|3|0|0||5094|
1700000000.610123000|192.0.2.2|1|3|0|0||5094|
1700000000.900000000|192.0.2.2|2|3|1||a611000102|5094|
1700000001.000000000|192.0.2.2|0|3|13||2611000102|5094|
1700000001.500000000|192.0.2.2||||||5095|6e6f206672616d653a206461746120696e636f6d706c6574650affffff0680000e" \
  "$fields"

# What a reader of `tshark -V` sees.
verbose=$(tshark -r "$work/sample.pcap" -V 2>/dev/null)
for line in "HART_IP Protocol, Pass Through Request, Sequence Number 1" \
  "HART_IP Protocol, Pass Through Response, Sequence Number 1" \
  "HART_IP Protocol, Pass Through Publish, Sequence Number 1" \
  "Device ID: 000102" \
  "no frame: data i"; do
  if grep -qF "$line" <<<"$verbose"; then
    echo "ok: -V shows \"$line\""
  else
    echo "FAIL: -V does not show \"$line\""
    failures=$((failures + 1))
  fi
done
# The record of bytes that made no frame is never taken for HART-IP.
expect_eq "HART-IP records" 4 "$(tshark -r "$work/sample.pcap" -Y hart_ip 2>/dev/null | wc -l)"

((failures == 0)) || exit 1
echo "all checks passed"
