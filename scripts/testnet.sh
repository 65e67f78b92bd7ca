#!/usr/bin/env bash
# A private network of test hosts for one test run, each host a network
# namespace of its own, named after the run (RUN: 1 to 10 lower-case letters
# or digits, e.g. the test's process id):
#   ferrin-RUN-dir  10.231.0.1   the directory server
#   ferrin-RUN-pN   10.231.0.1N  peer N (N = 1..9)
# joined by veth pairs to the bridge br-RUN, which lives in the run's own
# namespace ferrin-RUN-hub. Nothing is added to the root namespace and no
# namespace has a route out: the addresses exist only inside the run's
# network, so runs side by side use the same addresses without meeting.
#
#   scripts/testnet.sh up RUN [PEERS]    make run RUN's network (default 3 peers)
#   scripts/testnet.sh down RUN          delete run RUN's namespaces
#   scripts/testnet.sh exec NS CMD...    run CMD inside namespace NS
#   scripts/testnet.sh address HOST      print the address of HOST (dir, p1..p9)
#   scripts/testnet.sh list              the runs whose namespaces exist
# `down` ends no process: the run ends the processes it started. A process
# still inside one of its namespaces is named on stderr.
# Needs root.
set -euo pipefail

prefix=10.231.0

usage() {
    sed -n '2,19p' "$0" >&2
    exit 2
}

check_run() {
    [[ "${1:-}" =~ ^[a-z0-9]{1,10}$ ]] || { echo "testnet.sh: a run is 1 to 10 lower-case letters or digits, not '${1:-}'" >&2; exit 2; }
}

address() {
    case "$1" in
        dir) echo "$prefix.1" ;;
        p[1-9]) echo "$prefix.1${1#p}" ;;
        *) echo "testnet.sh: unknown host $1" >&2; return 1 ;;
    esac
}

namespaces_of() {
    ip netns list | awk '{print $1}' | grep -E "^ferrin-$1-(hub|dir|p[1-9])\$" || true
}

down() {
    local run=$1 ns pids
    for ns in $(namespaces_of "$run"); do
        pids=$(ip netns pids "$ns" 2>/dev/null | tr '\n' ' ')
        if [ -n "$pids" ]; then
            echo "testnet.sh: still running in $ns: $pids(left alone)" >&2
        fi
        ip netns del "$ns" 2>/dev/null || true
    done
}

attach() {
    local run=$1 host=$2 ns="ferrin-$1-$2" ip
    ip=$(address "$host")
    ip netns add "$ns"
    ip -n "$ns" link set lo up
    ip -n "ferrin-$run-hub" link add "v-$host" type veth peer name eth0 netns "$ns"
    ip -n "ferrin-$run-hub" link set "v-$host" master "br-$run" up
    ip -n "$ns" addr add "$ip/24" dev eth0
    ip -n "$ns" link set eth0 up
}

up() {
    local run=$1 peers=${2:-3} hub="ferrin-$1-hub"
    [[ "$peers" =~ ^[1-9]$ ]] || { echo "testnet.sh: 1 to 9 peers, not '$peers'" >&2; exit 2; }
    # What a dead run of the same name left behind goes first.
    down "$run"
    trap 'down "$run"' ERR
    ip netns add "$hub"
    ip -n "$hub" link set lo up
    ip -n "$hub" link add "br-$run" type bridge
    ip -n "$hub" link set "br-$run" up
    attach "$run" dir
    for i in $(seq 1 "$peers"); do
        attach "$run" "p$i"
    done
    trap - ERR
}

list() {
    local run
    for run in $(ip netns list | awk '{print $1}' | sed -n -E 's/^ferrin-([a-z0-9]+)-hub$/\1/p' | sort -u); do
        if [[ "$run" =~ ^[0-9]+$ ]] && ! kill -0 "$run" 2>/dev/null; then
            echo "$run (no process $run: left by a run that ended; scripts/testnet.sh down $run)"
        else
            echo "$run"
        fi
    done
}

case "${1:-}" in
    up) check_run "${2:-}"; up "$2" "${3:-3}" ;;
    down) check_run "${2:-}"; down "$2" ;;
    exec) [ $# -ge 3 ] || usage; shift; ns=$1; shift; exec ip netns exec "$ns" "$@" ;;
    address) [ $# -eq 2 ] || usage; address "$2" ;;
    list) list ;;
    *) usage ;;
esac
