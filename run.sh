#!/usr/bin/env bash
# Builds what running needs (the application, Flowspur and the tools; test.sh builds the
# tests and benchmarks too) and starts Quillmark on the file named, else on the sample
# capture. The file is taken relative to the folder run.sh is called from, and the
# application runs there too (its Open... and Follow... panels start in it).
set -euo pipefail
root="$(cd "$(dirname "$0")" && pwd)"
BUILD_TARGETS=programs bash "$root/scripts/build.sh"
[ $# -gt 0 ] || set -- "$root/samples/events.jsonl"
build="${BUILD_DIR:-build}"
case "$build" in /*) ;; *) build="$root/$build" ;; esac
exec "$build"/Quillmark/Contents/MacOS/quillmark "$@"
