#!/usr/bin/env bash
# esjson reads standard input as the file source does: each message encoded again, each
# reported error as "error <description>", the counters on standard error, exit 0;
# invalid UTF-8 is repaired to U+FFFD; input that cannot be read exits non-zero.
set -euo pipefail
export LC_ALL=C
esfixtures=$1 esjson=$2
dir=$(mktemp -d); trap 'rm -rf "$dir"' EXIT
good=$("$esfixtures" 3 2)
input=$(printf '%s\n%s\n%s\n%s\n%s\n' \
  "$(sed -n 1p <<<"$good")" \
  '{"schema_version":1}' \
  '{"schema_version":"1"}' \
  '{"schema_version":1,' \
  "$(sed -n 2p <<<"$good" | sed 's/"event_type":[0-9]*/"event_type":147/')")
# the unfinished line is held, and dropped when the next line begins with "{"; the last
# line (an unknown event type) is held when the input ends
expected=$(printf '%s\n%s\n%s\n' \
  "$(sed -n 1p <<<"$good")" \
  'error jsonMissingKey(keyName: "version")' \
  'error jsonInvalidValue(valueName: "schema_version")')
actual=$("$esjson" <<<"$input" 2>"$dir/counts")
if [ "$actual" != "$expected" ]; then
  diff <(echo "$expected") <(echo "$actual"); exit 1
fi
[ "$(cat "$dir/counts")" = "seen 5 dropped 3" ]
# the pretty form reads back to the same compact line
pretty=$(sed -n 1p <<<"$good" | "$esjson" --pretty 2>/dev/null)
[ "$(echo "$pretty" | wc -l)" -gt 10 ]
# an invalid byte in a path decodes as U+FFFD, and the line is kept
bad=$(sed -n 1p <<<"$good" | sed '0,/"\(\/[^"]*\)"/s//"\1\xff"/')
[ "$bad" != "$(sed -n 1p <<<"$good")" ]
repaired=$(sed $'s/\xff/\xef\xbf\xbd/' <<<"$bad")
[ "$("$esjson" <<<"$bad" 2>/dev/null)" = "$repaired" ]
# a directory as standard input cannot be read: the file source's error, a message on
# standard error and a failed exit
status=0; "$esjson" <"$dir" >"$dir/out" 2>"$dir/err" || status=$?
[ "$status" -ne 0 ] && grep -q "cannot be read" "$dir/err" && [ "$(cat "$dir/out")" = "error invalidDataInFile" ]
echo "esjson: 4 passed, 0 failed"
