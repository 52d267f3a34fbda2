#!/usr/bin/env bash
# Configures and builds everything into build/ (Release with debug info).
# Extra arguments go to CMake, e.g. -DQM_SANITIZE=thread.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh
cmake -S . -B "${BUILD_DIR:-build}" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@" >/dev/null
cmake --build "${BUILD_DIR:-build}" -j"$(nproc)"
