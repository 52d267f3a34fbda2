#!/usr/bin/env bash
# Builds Quillmark and starts it.
set -euo pipefail
cd "$(dirname "$0")"
bash scripts/build.sh
if [ -x build/app/ui/quillmark ]; then
  exec build/app/ui/quillmark "$@"
fi
echo "Quillmark is built; its window is not part of this build yet."
