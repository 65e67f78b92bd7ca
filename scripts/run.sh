#!/usr/bin/env bash
# Installs what is missing, builds the program and its strip library (one
# progress line; the log goes to build/build.log), makes a program folder in
# program/ (or $FERRIN_PROGRAM_DIR) with Shared/, Downloads/ and one sample
# file to share, starts the local directory server, says what to do next, and
# opens Ferrin1 from the program folder. Without a display it says so and runs
# the program on a virtual display (Xvfb), naming it.
set -euo pipefail
cd "$(dirname "$0")/.."

build="${FERRIN_BUILD_DIR:-build}"
folder="${FERRIN_PROGRAM_DIR:-program}"

FERRIN_BUILD_WHAT="Building Ferrin1 and Ambrel" bash scripts/build.sh --quiet --target Ferrin1 --target Ambrel

mkdir -p "$folder"
folder=$(cd "$folder" && pwd)
# A copy already running from the folder keeps its ports and its files.
for exe in /proc/[0-9]*/exe; do
    if [ "$(readlink "$exe" 2>/dev/null)" = "$folder/Ferrin1" ]; then
        pid=${exe#/proc/}
        echo "Ferrin1 already runs from $folder (pid ${pid%/exe}); leave it with File > Exit first." >&2
        exit 1
    fi
done
cmake --install "$build" --prefix "$folder" >/dev/null
mkdir -p "$folder/Shared" "$folder/Downloads"
[ -n "$(ls -A "$folder/Shared")" ] || echo "Shared by Ferrin from $(hostname)." >"$folder/Shared/hello.txt"

bash scripts/directory-server.sh

# The display: the caller's, or a virtual one of this command's own.
xvfb=""
stop_xvfb() {
    if [ -n "$xvfb" ]; then
        kill "$xvfb" 2>/dev/null || true
        wait "$xvfb" 2>/dev/null || true
    fi
}
trap stop_xvfb EXIT
if [ -n "${DISPLAY:-}" ]; then
    if ! xdpyinfo >/dev/null 2>&1; then
        echo "The display $DISPLAY does not answer; fix DISPLAY, or unset it to run the program on a virtual display." >&2
        exit 1
    fi
    display="$DISPLAY"
else
    # The first display number from :99 up that no X server holds.
    for number in $(seq 99 199); do
        [ -e "/tmp/.X$number-lock" ] && continue
        Xvfb ":$number" -screen 0 1280x1024x24 -nolisten tcp >"$build/xvfb.log" 2>&1 &
        xvfb=$!
        for _ in $(seq 1 100); do
            kill -0 "$xvfb" 2>/dev/null || break
            DISPLAY=":$number" xdpyinfo >/dev/null 2>&1 && break
            sleep 0.1
        done
        if kill -0 "$xvfb" 2>/dev/null; then
            break
        fi
        xvfb=""  # another server took the number meanwhile
    done
    if [ -z "$xvfb" ]; then
        echo "There is no display (DISPLAY is not set), and no virtual display could be started (see $build/xvfb.log)." >&2
        exit 1
    fi
    display=":$number"
    cat <<EOF

There is no display (DISPLAY is not set), so nothing of the program will be
visible on this screen. It runs on the virtual display $display (Xvfb) instead.
  To look at it:  DISPLAY=$display import -window root ferrin.png   (then open ferrin.png)
  To use it by hand, run this command where there is a display: a desktop
  session, or ssh -X.
EOF
fi

cat <<EOF

Ferrin1 opens from $folder on the display $display.
  Next: click "Connect" in the start-up window. The copy registers in the
  directory and the main window opens; Window > Search finds files of every
  registered copy, and a double click on a result downloads it.
  Files you share:      $folder/Shared/
  Downloads arrive in:  $folder/Downloads/
  Stop the program: File > Exit (closing its window only hides it in the
  notification area). Ctrl+C here ends it too; either way the copy takes
  itself out of the directory first.
  Stop the directory server: bash scripts/directory-server.sh stop

EOF

status=0
DISPLAY="$display" "$folder/Ferrin1" || status=$?
echo "Ferrin1 has ended. The directory server still runs: bash scripts/directory-server.sh stop"
exit "$status"
