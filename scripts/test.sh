#!/usr/bin/env bash
# Installs, builds and runs every test with CTest.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/build.sh
build="${FERRIN_BUILD_DIR:-build}"
ctest --test-dir "$build" --output-on-failure -j 2
