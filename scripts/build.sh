#!/usr/bin/env bash
# Installs what is missing, then configures and builds into build/ (or $FERRIN_BUILD_DIR).
# Extra arguments go to the CMake configure step, e.g. -DFERRIN_DIRECTORY_HOST=10.0.0.1
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/install-deps.sh
build="${FERRIN_BUILD_DIR:-build}"
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@" >/dev/null
cmake --build "$build" -j "$(nproc)"
