#!/usr/bin/env bash
# Builds the benchmarks under bench/ in the optimised build, build/ (or
# $FERRIN_BUILD_DIR), and runs them. They print their figures and never fail
# on a number. Arguments go to CTest, e.g. `bash scripts/bench.sh -R transfer`;
# FERRIN_BENCH_TRANSFER_MIB=1024 makes the transfer benchmark move 1 GiB.
set -euo pipefail
cd "$(dirname "$0")/.."

build="${FERRIN_BUILD_DIR:-build}"
bash scripts/build.sh --target bench_directory --target bench_search --target bench_transfer --target bench_rest \
    -DFERRIN_BENCHMARKS=ON
ctest --test-dir "$build" -L bench --verbose "$@"
