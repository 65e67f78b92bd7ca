#!/usr/bin/env bash
# Fuzzes for longer than the test command's replay: each fuzz target (or the
# ones named: directory, search, transfer) runs SECONDS (default 300) from the
# committed corpus. The targets build in build/ (or $FERRIN_BUILD_DIR) with
# sanitizers of their own. New inputs stay in the build folder, in
# tests/fuzz/found/<target>; an input that breaks a property or crashes is
# left in tests/fuzz/artifacts/ there and ends the command with a failure:
# add it to tests/fuzz/corpus/<target>/ so that every test run replays it.
#
#   bash scripts/fuzz.sh [SECONDS] [TARGET...]
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=300
if [[ "${1:-}" =~ ^[0-9]+$ ]]; then
    seconds=$1
    shift
fi
names=("$@")
[ ${#names[@]} -gt 0 ] || names=(directory search transfer)

build="${FERRIN_BUILD_DIR:-build}"
targets=()
for name in "${names[@]}"; do
    if [ ! -d "tests/fuzz/corpus/$name" ]; then
        echo "fuzz.sh: no fuzz target '$name' (there are: $(ls tests/fuzz/corpus | tr '\n' ' '))" >&2
        exit 2
    fi
    targets+=(--target "fuzz_$name")
done
bash scripts/build.sh "${targets[@]}"
if [ ! -x "$build/bin/fuzz_${names[0]}" ]; then
    echo "fuzz.sh: the fuzz targets were not built (they need clang++ with libFuzzer; see tests/fuzz/CMakeLists.txt)" >&2
    exit 1
fi

fuzz="$build/tests/fuzz"
status=0
for name in "${names[@]}"; do
    mkdir -p "$fuzz/found/$name" "$fuzz/artifacts"
    echo "== fuzz_$name for $seconds s"
    "$build/bin/fuzz_$name" -max_total_time="$seconds" -timeout=10 -print_final_stats=1 \
        -artifact_prefix="$fuzz/artifacts/$name-" "$fuzz/found/$name" "tests/fuzz/corpus/$name" || status=1
done
exit $status
