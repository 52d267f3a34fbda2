#!/usr/bin/env bash
# Builds Quillmark and runs every test. Jobs: CMAKE_BUILD_PARALLEL_LEVEL when set, else
# one per core.
set -euo pipefail
cd "$(dirname "$0")"
bash scripts/deps.sh tests
bash scripts/build.sh "$@"
ctest --test-dir "${BUILD_DIR:-build}" --output-on-failure -j"${CMAKE_BUILD_PARALLEL_LEVEL:-$(nproc)}"
