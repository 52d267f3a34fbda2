#!/usr/bin/env bash
# Builds Quillmark and runs every test.
set -euo pipefail
cd "$(dirname "$0")"
bash scripts/build.sh "$@"
ctest --test-dir "${BUILD_DIR:-build}" --output-on-failure -j"$(nproc)"
