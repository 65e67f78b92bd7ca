#!/usr/bin/env bash
# The local central directory: an FTP server (pyftpdlib) for the account
# Ferrin_1 / Vantor at the address the program is built for, its build setting
# FERRIN_DIRECTORY_HOST (127.0.0.1:2121 unless configured otherwise; read
# from build/, or $FERRIN_BUILD_DIR). Its files stay in directory-server/ (or
# $FERRIN_DIRECTORY_HOME).
#
#   bash scripts/directory-server.sh         start it (or say that it runs)
#   bash scripts/directory-server.sh stop    stop the one started from here
#
# A directory host that is not on this machine gets no local server.
set -euo pipefail
cd "$(dirname "$0")/.."

build="${FERRIN_BUILD_DIR:-build}"
home="${FERRIN_DIRECTORY_HOME:-$PWD/directory-server}"
pidfile="$home/.server.pid"

directory_host=127.0.0.1:2121
if [ -f "$build/CMakeCache.txt" ]; then
    configured=$(sed -n 's/^FERRIN_DIRECTORY_HOST:[A-Z]*=//p' "$build/CMakeCache.txt")
    directory_host="${configured:-$directory_host}"
fi
host="${directory_host%:*}"
port=21
[ "$host" = "$directory_host" ] || port="${directory_host##*:}"

# The server this folder started, if it still runs.
ours() {
    local pid cmdline
    [ -f "$pidfile" ] || return 1
    pid=$(cat "$pidfile")
    [[ "$pid" =~ ^[0-9]+$ ]] || return 1
    cmdline=$(tr '\0' ' ' <"/proc/$pid/cmdline" 2>/dev/null) || return 1
    [[ "$cmdline" == *"pyftpdlib "*" -d $home/ftp "* ]] && echo "$pid"
}

# Whether something listens on the port, and whether it lets Ferrin_1 in.
listening() {
    timeout 3 bash -c 'exec 3<>"/dev/tcp/$0/$1"' "$host" "$port" 2>/dev/null
}
lets_ferrin_in() {
    timeout 5 bash -c '
        exec 3<>"/dev/tcp/$0/$1" || exit 1
        reply() { local line; IFS= read -r line <&3 && [[ "$line" == "$1"* ]]; }
        reply 220 || exit 1
        printf "USER Ferrin_1\r\n" >&3; reply 331 || exit 1
        printf "PASS Vantor\r\n" >&3; reply 230 || exit 1
        printf "QUIT\r\n" >&3' "$host" "$port" 2>/dev/null
}
holder() {
    # "(name, pid N)" of the program listening on the port, where ss may say.
    ss -Hltnp "sport = :$port" 2>/dev/null | sed -n -E 's/.*users:\(\("([^"]+)",pid=([0-9]+).*/ (\1, pid \2)/p' | head -n 1
}

if [ "${1:-}" = stop ]; then
    if pid=$(ours); then
        kill "$pid"
        for _ in $(seq 1 50); do
            kill -0 "$pid" 2>/dev/null || break
            sleep 0.1
        done
        rm -f "$pidfile"
        echo "Directory server on $host:$port stopped."
    else
        rm -f "$pidfile"
        echo "No directory server started from this folder runs."
    fi
    exit 0
elif [ -n "${1:-}" ]; then
    sed -n '2,11p' "$0" >&2
    exit 2
fi

case "$host" in
    127.*|localhost) ;;
    *)
        echo "The program is built for the directory at $host:$port (FERRIN_DIRECTORY_HOST); no local directory server is started."
        exit 0 ;;
esac

if pid=$(ours); then
    echo "Directory server already running on $host:$port (pid $pid), files in $home/ftp."
    exit 0
fi
if listening; then
    if lets_ferrin_in; then
        echo "A directory server started elsewhere answers on $host:$port$(holder); the program will use it, and it stops where it was started."
        exit 0
    fi
    echo "Port $port on $host is taken by another program$(holder), so the directory server cannot start there." >&2
    exit 1
fi

mkdir -p "$home/ftp"
nohup /usr/bin/python3 -m pyftpdlib -i "$host" -p "$port" -w -d "$home/ftp" -u Ferrin_1 -P Vantor \
    >"$home/server.log" 2>&1 &
server=$!
echo "$server" >"$pidfile"

for _ in $(seq 1 100); do
    if ! kill -0 "$server" 2>/dev/null; then
        rm -f "$pidfile"
        if grep -q "Address already in use" "$home/server.log"; then
            echo "Port $port on $host is taken by another program$(holder), so the directory server cannot start there." >&2
        else
            echo "The directory server could not start: $(grep -v '^\s' "$home/server.log" | tail -n 1)" >&2
        fi
        exit 1
    fi
    if lets_ferrin_in; then
        echo "Directory server on $host:$port (pid $server), files in $home/ftp."
        exit 0
    fi
    sleep 0.1
done
echo "The directory server started (pid $server) but does not answer on $host:$port; see $home/server.log." >&2
exit 1
