#!/usr/bin/env bash
# Formats each manual page as man does and fails on any groff warning (a
# misspelt macro, a bad escape, an unbreakable line), a page whose .TH title
# is not its file name, or a NAME line that apropos/whatis cannot read.
#
#   check_man_pages.sh PAGE.1...
# Exit codes: 0 pass, 1 fail, 77 skipped (groff is not installed).
set -uo pipefail

command -v groff >/dev/null || {
  echo "SKIPPED: groff is not installed"
  exit 77
}

failures=0
for page in "$@"; do
  before=$failures
  name=$(basename "$page")
  title=${name%.*}
  section=${name##*.}
  warnings=$(LC_ALL=C.UTF-8 groff -man -ww -z -K utf8 -rLL=80n "$page" 2>&1)
  if [ -n "$warnings" ]; then
    echo "FAIL: $name: groff warnings:"
    echo "$warnings"
    failures=$((failures + 1))
  fi
  th=$(grep -m1 '^\.TH ' "$page")
  read -r _ th_title th_section _ <<<"$th"
  if [ "$th_title" != "${title^^}" ] || [ "$th_section" != "$section" ]; then
    echo "FAIL: $name: .TH says '$th_title $th_section', expected '${title^^} $section'"
    failures=$((failures + 1))
  fi
  # whatis takes the line after .SH NAME as "name \- summary".
  name_line=$(awk 'found { print; exit } /^\.SH NAME/ { found = 1 }' "$page")
  if [[ "$name_line" != "$title \\- "* ]]; then
    echo "FAIL: $name: NAME line is '$name_line', expected '$title \\- ...'"
    failures=$((failures + 1))
  fi
  ((failures > before)) || echo "ok: $name"
done
exit $((failures > 0))
