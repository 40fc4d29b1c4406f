#!/usr/bin/env bash
# scripts/demo with its standard output not a terminal: it exits 0 and every
# one of the three simulated controllers delivered moving values.
set -euo pipefail
out=$(QOR_DEMO_SECONDS=${QOR_DEMO_SECONDS:-4} "$1/scripts/demo" 2>/dev/null </dev/null)
for source in logix micro800 micrologix; do
  grep -q "\"DATA_SOURCE_NAME\":\"$source\"" <<<"$out" || { echo "no packet of $source"; exit 1; }
done
# The Logix counter counts: at least two different values.
[ "$(grep -o '"Counter":[0-9]*' <<<"$out" | sort -u | wc -l)" -ge 2 ] || { echo "Counter does not move"; exit 1; }
