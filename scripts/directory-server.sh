#!/usr/bin/env bash
# Starts the local central directory: an FTP server for the account
# Ferrin_1 / Vantor on 127.0.0.1:2121, serving a home folder it keeps in
# directory-server/ (or $FERRIN_DIRECTORY_HOME). Does nothing when a server
# already answers there. `scripts/directory-server.sh stop` stops the one it
# started.
set -euo pipefail
cd "$(dirname "$0")/.."

host=127.0.0.1
port="${FERRIN_DIRECTORY_PORT:-2121}"
home="${FERRIN_DIRECTORY_HOME:-$PWD/directory-server}"
pidfile="$home/.server.pid"

answers() {
    # A 220 greeting on the port means an FTP server is there already.
    timeout 3 bash -c "exec 3<>/dev/tcp/$host/$port && head -c 3 <&3" 2>/dev/null | grep -q 220
}

if [ "${1:-}" = stop ]; then
    if [ -f "$pidfile" ]; then
        kill "$(cat "$pidfile")" 2>/dev/null || true
        rm -f "$pidfile"
    fi
    exit 0
fi

if answers; then
    echo "Directory server already answers on $host:$port."
    exit 0
fi

mkdir -p "$home/ftp"
nohup /usr/bin/python3 -m pyftpdlib -i "$host" -p "$port" -w -d "$home/ftp" -u Ferrin_1 -P Vantor \
    >"$home/server.log" 2>&1 &
echo $! >"$pidfile"

for _ in $(seq 1 50); do
    if answers; then
        echo "Directory server on $host:$port, files in $home/ftp."
        exit 0
    fi
    sleep 0.1
done
echo "Directory server did not start; see $home/server.log" >&2
exit 1
