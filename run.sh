#!/usr/bin/env bash
# Builds what running needs (the application, Flowspur and the tools; test.sh builds the
# tests and benchmarks too) and starts Quillmark on the file named, else on the sample
# capture. The file is taken relative to the folder run.sh is called from.
set -euo pipefail
if [ $# -gt 0 ]; then set -- "$(realpath -m -- "$1")" "${@:2}"; fi
cd "$(dirname "$0")"
BUILD_TARGETS=programs bash scripts/build.sh
[ $# -gt 0 ] || set -- samples/events.jsonl
exec "${BUILD_DIR:-build}"/Quillmark/Contents/MacOS/quillmark "$@"
