#!/usr/bin/env bash
# Validates the AppStream metainfo as software centres read it (offline:
# no URL is fetched), and checks what the package relies on: it names the
# desktop entry that is installed, and its newest release is this version.
#
#   check_metainfo.sh FILE.metainfo.xml VERSION
# Exit codes: 0 pass, 1 fail, 77 skipped (appstream not installed).
set -uo pipefail

metainfo=$1
version=$2
command -v appstreamcli >/dev/null || {
  echo "SKIPPED: appstreamcli is not installed (package appstream)"
  exit 77
}

failures=0
# Errors and warnings fail; notes do not (today's one: the reverse-DNS id's
# top-level domain, example, is not one the validator knows).
if ! report=$(appstreamcli validate --no-net --no-color "$metainfo" 2>&1) ||
  grep -E '^[EW]: ' <<<"$report"; then
  echo "FAIL: appstreamcli validate:"
  echo "$report"
  failures=$((failures + 1))
fi
launchable=$(sed -n 's:.*<launchable type="desktop-id">\(.*\)</launchable>.*:\1:p' "$metainfo")
if [ "$launchable" != veltrop.desktop ]; then
  echo "FAIL: the launchable is '$launchable', expected veltrop.desktop"
  failures=$((failures + 1))
fi
newest=$(grep -m1 -o '<release version="[^"]*"' "$metainfo" | cut -d'"' -f2)
if [ "$newest" != "$version" ]; then
  echo "FAIL: the newest release is '$newest', expected $version"
  failures=$((failures + 1))
fi
((failures)) || echo "ok: $metainfo"
exit $((failures > 0))
