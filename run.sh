#!/usr/bin/env bash
# Builds Quillmark and starts it on the file named, else on the sample capture.
set -euo pipefail
cd "$(dirname "$0")"
bash scripts/build.sh
[ $# -gt 0 ] || set -- samples/events.jsonl
exec build/Quillmark/Contents/MacOS/quillmark "$@"
