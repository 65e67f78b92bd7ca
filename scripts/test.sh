#!/usr/bin/env bash
# Installs, builds once and runs every test with CTest. The one build, in
# build-test/ (or $FERRIN_TEST_BUILD_DIR), is a debug build with
# AddressSanitizer and UndefinedBehaviorSanitizer; it runs the unit and widget
# tests (offscreen), the end-to-end tests (label e2e: real programs in network
# namespaces, driven through an X server and its accessibility bus; skipped
# when not root) and a replay of the committed fuzz corpus (label fuzz).
# Benchmarks (scripts/bench.sh) and longer fuzzing (scripts/fuzz.sh) are
# commands of their own.
set -euo pipefail
cd "$(dirname "$0")/.."

build="${FERRIN_TEST_BUILD_DIR:-build-test}"
configure=(-DFERRIN_SANITIZE=ON -DCMAKE_BUILD_TYPE=Debug
    # Line tables are all a sanitizer report needs, and build faster than
    # full debug information.
    -DCMAKE_CXX_FLAGS_DEBUG=-g1)
if command -v ld.gold >/dev/null; then
    configure+=(-DCMAKE_EXE_LINKER_FLAGS=-fuse-ld=gold -DCMAKE_SHARED_LINKER_FLAGS=-fuse-ld=gold
        -DCMAKE_MODULE_LINKER_FLAGS=-fuse-ld=gold)
fi
FERRIN_BUILD_DIR="$build" bash scripts/build.sh "${configure[@]}"
ctest --test-dir "$build" --output-on-failure -j 2
