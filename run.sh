#!/usr/bin/env bash
# Builds Quillmark and starts it.
set -euo pipefail
cd "$(dirname "$0")"
bash scripts/build.sh
if [ -x build/Quillmark/Contents/MacOS/quillmark ]; then
  exec build/Quillmark/Contents/MacOS/quillmark "$@"
fi
echo "Quillmark is built; its window is not part of this build yet."
