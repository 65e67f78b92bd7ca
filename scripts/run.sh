#!/usr/bin/env bash
# Installs, builds, starts the local directory server, makes a program folder
# in program/ (with Shared/ and Downloads/ and one sample file to share) and
# opens Ferrin1 from it; under Xvfb when there is no display.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/build.sh
build="${FERRIN_BUILD_DIR:-build}"
folder="${FERRIN_PROGRAM_DIR:-program}"
cmake --install "$build" --prefix "$folder" >/dev/null
mkdir -p "$folder/Shared" "$folder/Downloads"
[ -n "$(ls -A "$folder/Shared")" ] || echo "Shared by Ferrin from $(hostname)." >"$folder/Shared/hello.txt"

bash scripts/directory-server.sh

if [ -n "${DISPLAY:-}" ]; then
    exec "$folder/Ferrin1"
else
    echo "No display: running under Xvfb (the first free display from :99 down)."
    exec xvfb-run -a -s "-screen 0 1280x1024x24" "$folder/Ferrin1"
fi
