#!/usr/bin/env bash
# Configures and builds into build/ (Release with debug info): everything, or only the
# targets named in BUILD_TARGETS. Extra arguments go to CMake, e.g. -DQM_SANITIZE=thread.
# Jobs: CMAKE_BUILD_PARALLEL_LEVEL when set, else one per core. Configure's status lines
# are not shown; its notices (what is left out of the build, and why) are.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh
cmake -S . -B "${BUILD_DIR:-build}" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@" >/dev/null
# shellcheck disable=SC2086  # BUILD_TARGETS is a list of names
cmake --build "${BUILD_DIR:-build}" -j"${CMAKE_BUILD_PARALLEL_LEVEL:-$(nproc)}" ${BUILD_TARGETS:+--target $BUILD_TARGETS}
