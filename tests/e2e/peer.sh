#!/bin/bash
# The Linux side of the end-to-end tests: a network namespace with a veth pair
# in 198.18.0.0/15 for the appliance peer, and the peer (sim/utm) inside it.
#
#   peer.sh up DIR                     make the namespace; DIR/net.env holds
#                                      NS, HOST_IP and PEER_IP. Without root
#                                      DIR/skip says so (exit 0: the cases
#                                      that need the peer skip); as root a
#                                      namespace that cannot be made fails
#                                      (exit 1, the reason on stderr).
#   peer.sh down DIR                   stop the peers, remove the namespace
#   peer.sh start DIR NAME PROGRAM ARGS...
#                                      run PROGRAM ARGS inside the namespace;
#                                      its output goes to DIR/NAME.out; then
#                                      DIR/NAME.started (it printed its
#                                      "listening" line) or DIR/NAME.failed
#   peer.sh stop DIR NAME              end that peer (SIGTERM, then SIGKILL
#                                      after 5 s); then DIR/NAME.stopped
#   peer.sh flood DIR NAME PORT COUNT SEED
#                                      a stranger: a second namespace with a
#                                      veth pair of its own sends COUNT
#                                      datagrams (flood_sender.py) to the
#                                      host's side of that pair at PORT, then
#                                      the namespace is removed; the sender's
#                                      summary goes to DIR/NAME.out, then
#                                      DIR/NAME.done (or DIR/NAME.failed)
#
# The Windows tests run "start" and "stop" through Wine, which starts Linux
# programs without waiting for them: the marker files are how they learn the
# outcome. Nothing here keeps the caller's standard streams.
set -u

action=${1:-}
dir=${2:-}
[ -n "$action" ] && [ -n "$dir" ] || { echo "usage: peer.sh up|down|start|stop DIR ..." >&2; exit 2; }
mkdir -p "$dir"
dir=$(cd "$dir" && pwd)

# Marks a step's outcome atomically: readers never see a half-written file.
mark() {
    printf '%s\n' "${2:-}" >"$dir/$1.tmp" && mv -f "$dir/$1.tmp" "$dir/$1"
}

# A /30 of 198.18.0.0/15 that no interface of this host uses yet, chosen from
# the folder's name (and $1, a salt) so that separate build trees pick
# separate ones. The
# first /24 is left to hand-made set-ups.
pick_subnet() {
    local seed index a b c d
    seed=$(printf '%s' "$dir${1:-}" | cksum | cut -d' ' -f1)
    for attempt in $(seq 0 63); do
        index=$(( (seed + attempt * 7919) % 32704 + 64 ))  # /30 number: 64 .. 32767
        a=$(( 198 )); b=$(( 18 + index / 16384 )); c=$(( (index % 16384) / 64 )); d=$(( (index % 64) * 4 ))
        if ! ip -o -4 addr show | grep -q " $a\.$b\.$c\.$((d + 1))/\| $a\.$b\.$c\.$((d + 2))/"; then
            SUBNET_INDEX=$index
            HOST_IP="$a.$b.$c.$((d + 1))"
            PEER_IP="$a.$b.$c.$((d + 2))"
            return 0
        fi
    done
    return 1
}

case "$action" in
up)
    exec </dev/null
    rm -f "$dir/skip" "$dir/net.env"
    "$0" down "$dir" >/dev/null 2>&1
    if [ "$(id -u)" -ne 0 ]; then
        mark skip "not run as root: the appliance peer's network namespace needs root (ip netns add)"
        exit 0
    fi
    fail() { echo "network namespace for the appliance peer not made: $1" >&2; "$0" down "$dir" >/dev/null 2>&1; exit 1; }
    command -v ip >/dev/null || fail "no ip command (iproute2)"
    pick_subnet || fail "no free /30 in 198.18.0.0/15"
    ns="bxe2e-$SUBNET_INDEX"
    host_if="bxe${SUBNET_INDEX}h"
    peer_if="bxe${SUBNET_INDEX}p"
    err=$(ip netns add "$ns" 2>&1) || fail "ip netns add: $err"
    # Recorded at once, so that "down" removes whatever was made.
    printf 'NS=%s\nHOST_IF=%s\n' "$ns" "$host_if" >"$dir/net.partial"
    err=$( { ip link add "$host_if" type veth peer name "$peer_if" &&
             ip link set "$peer_if" netns "$ns" &&
             ip addr add "$HOST_IP/30" dev "$host_if" &&
             ip link set "$host_if" up &&
             ip -n "$ns" addr add "$PEER_IP/30" dev "$peer_if" &&
             ip -n "$ns" link set "$peer_if" up &&
             ip -n "$ns" link set lo up; } 2>&1) || fail "veth pair: $err"
    printf 'NS=%s\nHOST_IF=%s\nHOST_IP=%s\nPEER_IP=%s\n' "$ns" "$host_if" "$HOST_IP" "$PEER_IP" >"$dir/net.env.tmp"
    mv -f "$dir/net.env.tmp" "$dir/net.env"
    rm -f "$dir/net.partial"
    echo "appliance peer network: $HOST_IP (host, $host_if) <-> $PEER_IP (namespace $ns)"
    ;;
down)
    exec </dev/null
    for pidfile in "$dir"/*.pid; do
        [ -f "$pidfile" ] || continue
        "$0" stop "$dir" "$(basename "$pidfile" .pid)"
    done
    for env in "$dir/net.env" "$dir/net.partial" "$dir"/*.stranger; do
        [ -f "$env" ] || continue
        NS=$(sed -n 's/^NS=//p' "$env"); HOST_IF=$(sed -n 's/^HOST_IF=//p' "$env")
        if [ -n "$NS" ] && ip netns list | grep -qw "$NS"; then
            # Anything still running in the namespace was started by these tests.
            for pid in $(ip netns pids "$NS" 2>/dev/null); do kill -9 "$pid" 2>/dev/null; done
        fi
        [ -n "$HOST_IF" ] && ip link del "$HOST_IF" 2>/dev/null
        [ -n "$NS" ] && ip netns del "$NS" 2>/dev/null
        rm -f "$env"
    done
    exit 0
    ;;
start)
    name=${3:?name}; shift 3
    exec </dev/null >>"$dir/$name.log" 2>&1
    rm -f "$dir/$name.out" "$dir/$name.err" "$dir/$name.pid" "$dir/$name.started" "$dir/$name.failed" "$dir/$name.stopped"
    if [ ! -f "$dir/net.env" ]; then mark "$name.failed" "no network namespace (peer.sh up)"; exit 1; fi
    . "$dir/net.env"
    # setsid: the peer leaves this script's session; ip netns exec replaces
    # itself with the program, so $! is the peer's own process id.
    setsid ip netns exec "$NS" "$@" >"$dir/$name.out" 2>"$dir/$name.err" </dev/null &
    pid=$!
    echo "$pid" >"$dir/$name.pid"
    for _ in $(seq 100); do
        if grep -q '^listening ' "$dir/$name.out" 2>/dev/null; then mark "$name.started" "$pid"; exit 0; fi
        kill -0 "$pid" 2>/dev/null || break
        sleep 0.05
    done
    mark "$name.failed" "$(cat "$dir/$name.err" 2>/dev/null)"
    exit 1
    ;;
stop)
    name=${3:?name}
    exec </dev/null >>"$dir/$name.log" 2>&1
    if [ -f "$dir/$name.pid" ]; then
        pid=$(cat "$dir/$name.pid")
        if [ -n "$pid" ] && kill -0 "$pid" 2>/dev/null; then
            kill -TERM "$pid" 2>/dev/null
            for _ in $(seq 100); do kill -0 "$pid" 2>/dev/null || break; sleep 0.05; done
            kill -9 "$pid" 2>/dev/null
        fi
        rm -f "$dir/$name.pid"
    fi
    mark "$name.stopped"
    ;;
flood)
    name=${3:?name}; port=${4:?port}; count=${5:?count}; seed=${6:-1}
    exec </dev/null >>"$dir/$name.log" 2>&1
    rm -f "$dir/$name.out" "$dir/$name.done" "$dir/$name.failed"
    failed() { mark "$name.failed" "$1"; "$0" unflood "$dir" "$name"; exit 1; }
    [ -f "$dir/net.env" ] || failed "no network namespace (peer.sh up)"
    # The stranger's /30 is another one than the peer's (pick_subnet skips
    # addresses in use, and the name salts where it starts looking).
    pick_subnet "/$name" || failed "no free /30 for the stranger"
    ns="bxe2e-$SUBNET_INDEX"; host_if="bxe${SUBNET_INDEX}h"; peer_if="bxe${SUBNET_INDEX}p"
    printf 'NS=%s\nHOST_IF=%s\n' "$ns" "$host_if" >"$dir/$name.stranger"
    err=$( { ip netns add "$ns" &&
             ip link add "$host_if" type veth peer name "$peer_if" &&
             ip link set "$peer_if" netns "$ns" &&
             ip addr add "$HOST_IP/30" dev "$host_if" &&
             ip link set "$host_if" up &&
             ip -n "$ns" addr add "$PEER_IP/30" dev "$peer_if" &&
             ip -n "$ns" link set "$peer_if" up; } 2>&1) || failed "stranger network: $err"
    if ip netns exec "$ns" python3 "$(dirname "$0")/flood_sender.py" "$HOST_IP" "$port" "$count" "$seed" \
         >"$dir/$name.out.tmp" 2>"$dir/$name.err"; then
        echo "stranger=$PEER_IP" >>"$dir/$name.out.tmp"
        mv -f "$dir/$name.out.tmp" "$dir/$name.out"
        "$0" unflood "$dir" "$name"
        mark "$name.done"
    else
        failed "flood_sender.py: $(cat "$dir/$name.err")"
    fi
    ;;
unflood)
    name=${3:?name}
    env="$dir/$name.stranger"
    [ -f "$env" ] || exit 0
    NS=$(sed -n 's/^NS=//p' "$env"); HOST_IF=$(sed -n 's/^HOST_IF=//p' "$env")
    [ -n "$HOST_IF" ] && ip link del "$HOST_IF" 2>/dev/null
    [ -n "$NS" ] && ip netns del "$NS" 2>/dev/null
    rm -f "$env"
    ;;
*)
    echo "usage: peer.sh up|down|start|stop|flood|unflood DIR ..." >&2; exit 2 ;;
esac
