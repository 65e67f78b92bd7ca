#!/usr/bin/env bash
# A private network of test hosts, each a network namespace of its own:
#   ferrin-dir  10.231.0.1   the directory server
#   ferrin-pN   10.231.0.1N  peer N (N = 1..9)
# joined by veth pairs to a bridge that lives in a namespace of its own
# (ferrin-hub). Nothing is added to the root namespace, and no namespace has a
# route out: the addresses exist only in here.
#
#   scripts/testnet.sh up [PEERS]     make the network (default 3 peers)
#   scripts/testnet.sh down           remove every namespace it made
#   scripts/testnet.sh exec NS CMD..  run CMD inside namespace NS
#   scripts/testnet.sh address NS     print the address of NS
# Needs root.
set -euo pipefail

prefix=10.231.0
hub=ferrin-hub

address() {
    case "$1" in
        ferrin-dir) echo "$prefix.1" ;;
        ferrin-p[1-9]) echo "$prefix.1${1#ferrin-p}" ;;
        *) echo "unknown namespace $1" >&2; return 1 ;;
    esac
}

down() {
    for ns in $(ip netns list | awk '{print $1}' | grep -E '^ferrin-(hub|dir|p[1-9])$' || true); do
        ip netns pids "$ns" 2>/dev/null | xargs -r kill 2>/dev/null || true
        ip netns del "$ns" 2>/dev/null || true
    done
}

attach() {
    local ns=$1 ip
    ip=$(address "$ns")
    ip netns add "$ns"
    ip -n "$ns" link set lo up
    ip -n "$hub" link add "v-$ns" type veth peer name eth0 netns "$ns"
    ip -n "$hub" link set "v-$ns" master br0 up
    ip -n "$ns" addr add "$ip/24" dev eth0
    ip -n "$ns" link set eth0 up
}

up() {
    local peers=${1:-3}
    down
    trap 'down' ERR
    ip netns add "$hub"
    ip -n "$hub" link set lo up
    ip -n "$hub" link add br0 type bridge
    ip -n "$hub" link set br0 up
    attach ferrin-dir
    for i in $(seq 1 "$peers"); do
        attach "ferrin-p$i"
    done
    trap - ERR
}

case "${1:-}" in
    up) up "${2:-3}" ;;
    down) down ;;
    exec) shift; ns=$1; shift; exec ip netns exec "$ns" "$@" ;;
    address) address "$2" ;;
    *) sed -n '2,14p' "$0"; exit 2 ;;
esac
