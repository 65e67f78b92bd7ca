#!/usr/bin/env bash
# Installs what is missing, then configures and builds into build/ (or
# $FERRIN_BUILD_DIR): the program, the strip library and the test programs.
#
#   bash scripts/build.sh [--target T]... [--quiet] [CMake configure arguments]
#
#   --target T   build only T (and what it needs); may be given again
#   --quiet      one progress line instead of the build log, which goes to
#                <build folder>/build.log (and is shown when the build fails)
# Configure arguments, e.g. -DFERRIN_DIRECTORY_HOST=10.0.0.1, stay in the
# build folder's cache for the builds after.
set -euo pipefail
cd "$(dirname "$0")/.."

targets=()
quiet=0
while [ $# -gt 0 ]; do
    case "$1" in
        --target) targets+=(--target "$2"); shift 2 ;;
        --quiet) quiet=1; shift ;;
        *) break ;;
    esac
done

bash scripts/install-deps.sh
build="${FERRIN_BUILD_DIR:-build}"
configure=(-S . -B "$build")
if [ ! -f "$build/CMakeCache.txt" ]; then
    configure+=(-DCMAKE_BUILD_TYPE=RelWithDebInfo)
    # Ninja when there is one: it starts faster and says less. A build
    # folder keeps the generator it was made with.
    if command -v ninja >/dev/null; then
        configure+=(-G Ninja)
    fi
fi
cmake "${configure[@]}" "$@" >/dev/null
build_command=(cmake --build "$build" -j "${FERRIN_JOBS:-$(nproc)}" "${targets[@]}")

if [ "$quiet" = 0 ]; then
    exec "${build_command[@]}"
fi

# Quiet: the build's own counters ("[12/80]" from Ninja, "[ 15%]" from make)
# become one line that rewrites itself on a terminal.
log="$build/build.log"
what="${FERRIN_BUILD_WHAT:-Building}"
progress() {
    local line shown=""
    while IFS= read -r line; do
        if [[ "$line" =~ ^\[([0-9]+)/([0-9]+)\] ]]; then
            shown="$(( 100 * BASH_REMATCH[1] / BASH_REMATCH[2] ))%"
        elif [[ "$line" =~ ^\[\ *([0-9]+)%\] ]]; then
            shown="${BASH_REMATCH[1]}%"
        else
            continue
        fi
        [ -t 1 ] && printf '\r%s ... %4s' "$what" "$shown"
    done
    if [ -t 1 ]; then
        printf '\r%s ... done.\n' "$what"
    fi
}
[ -t 1 ] || echo "$what ..."
if ! "${build_command[@]}" 2>&1 | tee "$log" | progress; then
    [ -t 1 ] && echo
    echo "The build failed; the end of its log ($log):" >&2
    tail -n 40 "$log" >&2
    exit 1
fi
[ -t 1 ] || echo "$what: done."
