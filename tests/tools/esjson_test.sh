#!/usr/bin/env bash
# esjson writes each line encoded again, or "error <kind> <path>", and exits 0.
set -euo pipefail
esfixtures=$1 esjson=$2
good=$("$esfixtures" 3 2)
input=$(printf '%s\n%s\n%s\n%s\n%s\n' \
  "$(sed -n 1p <<<"$good")" \
  '{"schema_version":1}' \
  '{"schema_version":"1"}' \
  '{"schema_version":1,' \
  "$(sed -n 2p <<<"$good" | sed 's/"event_type":[0-9]*/"event_type":147/')")
expected=$(printf '%s\n%s\n%s\n%s\n%s\n' \
  "$(sed -n 1p <<<"$good")" \
  'error missingKey version' \
  'error wrongType schema_version' \
  'error corruptedData -' \
  'error corruptedData event_type')
actual=$("$esjson" <<<"$input")
if [ "$actual" != "$expected" ]; then
  diff <(echo "$expected") <(echo "$actual"); exit 1
fi
# the pretty form reads back to the same compact line
pretty=$(sed -n 1p <<<"$good" | "$esjson" --pretty)
[ "$(echo "$pretty" | wc -l)" -gt 10 ]
echo "esjson: 1 passed, 0 failed"
