#!/usr/bin/env bash
# Validates the desktop entry as menus read it, and checks the keys the
# package relies on: it starts `veltrop` from the menu, with the icon
# installed under that name, and no terminal.
#
#   check_desktop_entry.sh FILE.desktop
# Exit codes: 0 pass, 1 fail, 77 skipped (desktop-file-utils not installed).
set -uo pipefail

entry=$1
command -v desktop-file-validate >/dev/null || {
  echo "SKIPPED: desktop-file-validate is not installed (package desktop-file-utils)"
  exit 77
}

failures=0
# It prints hints as well as errors and warnings; any output is a finding.
report=$(desktop-file-validate "$entry" 2>&1)
if [ -n "$report" ] || ! desktop-file-validate "$entry" >/dev/null 2>&1; then
  echo "FAIL: desktop-file-validate:"
  echo "$report"
  failures=$((failures + 1))
fi

key() {  # name
  sed -n "s/^$1=//p" "$entry"
}
for expected in Exec=veltrop Icon=veltrop Terminal=false Type=Application Name=Veltrop; do
  name=${expected%%=*}
  actual=$(key "$name")
  if [ "$name=$actual" != "$expected" ]; then
    echo "FAIL: $name is '$actual', expected '${expected#*=}'"
    failures=$((failures + 1))
  fi
done
((failures)) || echo "ok: $entry"
exit $((failures > 0))
