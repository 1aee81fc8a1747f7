#!/bin/sh
# A second start of the window hands its request to the running one and
# ends; the first keeps the network ports to itself.
# usage: second-start.sh BEAMWRIGHT SHOW.bwshow
set -u
binary=$1
show=$2
run=$(mktemp -d)
first=
cleanup() {
    if [ -n "$first" ]; then kill "$first" 2>/dev/null; wait "$first" 2>/dev/null; fi
    rm -rf "$run"
}
trap cleanup EXIT
fail() {
    echo "second-start: $*"
    echo "--- first start's output:"
    cat "$run/first.log"
    exit 1
}
free_port() {
    python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'
}

export XDG_RUNTIME_DIR="$run" QT_QPA_PLATFORM=offscreen
BEAMWRIGHT_OSC_PORT=$(free_port)
BEAMWRIGHT_CREP_PORT=$(free_port)
export BEAMWRIGHT_OSC_PORT BEAMWRIGHT_CREP_PORT

"$binary" >"$run/first.log" 2>&1 &
first=$!
# The first start listens for others once its ports are open.
tries=0
until ss -Hlnup "sport = :$BEAMWRIGHT_OSC_PORT" | grep -q "pid=$first,"; do
    kill -0 "$first" 2>/dev/null || fail "the first start ended"
    tries=$((tries + 1))
    [ "$tries" -lt 300 ] || fail "the first start never opened port $BEAMWRIGHT_OSC_PORT"
    sleep 0.1
done

for arguments in "$show" ""; do
    # shellcheck disable=SC2086 # no argument at all for the plain start
    timeout 30 "$binary" $arguments >"$run/second.log" 2>&1
    status=$?
    [ "$status" -eq 0 ] || fail "second start '$arguments' exited $status: $(cat "$run/second.log")"
done

kill -0 "$first" 2>/dev/null || fail "the first start ended after the second"
holders=$(ss -Hlnup "( sport = :$BEAMWRIGHT_OSC_PORT or sport = :$BEAMWRIGHT_CREP_PORT )" |
    grep -o 'pid=[0-9]*' | sort -u)
[ "$holders" = "pid=$first" ] || fail "ports held by: $holders"
echo "second-start: forwarded to pid $first"
