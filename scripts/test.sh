#!/usr/bin/env bash
# Installs, builds and runs every test with CTest: unit and widget tests,
# benchmarks (they print, never fail on a number), the end-to-end tests in
# network namespaces (skipped without root), and short fuzz runs. Then the
# unit and widget tests again, built with AddressSanitizer and
# UndefinedBehaviorSanitizer (FERRIN_SKIP_SANITIZERS=1 leaves that out).
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/build.sh
build="${FERRIN_BUILD_DIR:-build}"
ctest --test-dir "$build" --output-on-failure -j 2

if [ "${FERRIN_SKIP_SANITIZERS:-0}" != 1 ]; then
    sanitized="${FERRIN_SANITIZE_BUILD_DIR:-build-sanitize}"
    FERRIN_BUILD_DIR="$sanitized" bash scripts/build.sh -DFERRIN_SANITIZE=ON -DCMAKE_BUILD_TYPE=Debug
    ctest --test-dir "$sanitized" --output-on-failure -j 2 -LE 'bench|e2e|fuzz'
fi
