#!/usr/bin/env bash
# Every device and fault key hartsim --help lists is documented in
# docs/hartsim.md and in the manual page.
#   hartsim_keys.sh HARTSIM SOURCE_DIR
set -euo pipefail
hartsim=$1
source_dir=$2
missing=0
keys=$("$hartsim" --help | sed -n '/^Device KEYS/,$p' | sed -n 's/^  \([a-z]*\)=.*/\1/p' | sort -u)
[ -n "$keys" ] || { echo "no keys found in hartsim --help"; exit 1; }
for key in $keys; do
  for doc in docs/hartsim.md packaging/hartsim.1; do
    if ! grep -Eq "(^|[^a-z])${key}=" "$source_dir/$doc"; then
      echo "$doc: key $key= is not documented"
      missing=1
    fi
  done
done
exit "$missing"
