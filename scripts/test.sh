#!/usr/bin/env bash
# Installs, builds once and runs every test with CTest. The one build, in
# build-test/ (or $FERRIN_TEST_BUILD_DIR), is a debug build with
# AddressSanitizer and UndefinedBehaviorSanitizer. It runs the unit and widget
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

# The end-to-end tests need only the program and the strip library, and
# spend most of their time waiting for the program's time limits: they run
# while the rest builds, which yields the processor to them.
FERRIN_BUILD_DIR="$build" bash scripts/build.sh --target Ferrin1_testnet --target Ambrel "${configure[@]}"
e2e_log="$build/e2e-tests.log"
echo "End-to-end tests started; their report follows the other tests'."
ctest --test-dir "$build" --output-on-failure -j 2 -L e2e >"$e2e_log" 2>&1 &
e2e=$!

status=0
nice -n 10 cmake --build "$build" -j "${FERRIN_JOBS:-$(nproc)}" || status=$?
if [ "$status" = 0 ]; then
    # Most of these wait on sockets and time limits rather than compute, so
    # one more at a time than there are processors shortens the run.
    ctest --test-dir "$build" --output-on-failure -j 3 -LE e2e || status=$?
fi
e2e_status=0
wait "$e2e" || e2e_status=$?
echo
echo "End-to-end tests:"
cat "$e2e_log"
[ "$e2e_status" = 0 ] || status=$e2e_status
if ! ctest --test-dir "$build" -N -L fuzz | grep -q "Test *#"; then
    echo
    echo "No fuzz targets were built (they need clang++ with libFuzzer), so the fuzz corpus was not replayed."
fi
exit "$status"
