#!/usr/bin/env bash
# esjson writes each line encoded again, or "error <kind> <path>", and exits 0;
# invalid UTF-8 is repaired to U+FFFD; input that cannot be read exits non-zero.
set -euo pipefail
export LC_ALL=C
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
# an invalid byte in a path decodes as U+FFFD, and the line is kept
bad=$(sed -n 1p <<<"$good" | sed '0,/"\(\/[^"]*\)"/s//"\1\xff"/')
[ "$bad" != "$(sed -n 1p <<<"$good")" ]
repaired=$(sed $'s/\xff/\xef\xbf\xbd/' <<<"$bad")
[ "$("$esjson" <<<"$bad")" = "$repaired" ]
# a directory as standard input is a read error, reported on standard error
dir=$(mktemp -d); trap 'rm -rf "$dir"' EXIT
status=0; "$esjson" <"$dir" >"$dir/out" 2>"$dir/err" || status=$?
[ "$status" -ne 0 ] && [ -s "$dir/err" ] && [ ! -s "$dir/out" ]
echo "esjson: 3 passed, 0 failed"
