#!/usr/bin/env python3
"""A UDP relay that delays every datagram, both ways, by a random time.

Usage: udp_relay.py DELAY_MS JITTER_MS LISTEN_PORT:TARGET_PORT...

Listens on every LISTEN_PORT (all addresses) and forwards each datagram to
127.0.0.1:TARGET_PORT from a socket of its own per sender, so the target sees
each sender as a distinct address and its answers find their way back. Each
datagram, either way, waits DELAY_MS +- JITTER_MS (uniform) before it goes on.

Standard input takes commands, one a line:
  drop-next-go   drop every copy of the next GO towards the followers
  osc-go HOST:PORT...  send an OSC /go to each, each after its own delay
Prints "ready" once listening, "armed" once drop-next-go is taken (a GO
sent after that line is the one dropped) and "dropped go" for each copy
dropped. Commands are read before the datagrams that came with them.
"""

import heapq
import random
import select
import socket
import sys
import time

GO_ADDRESS = b"/beamwright/sync/go\0"
OSC_GO = b"/go\0,\0\0\0"


def main():
    delay = float(sys.argv[1]) / 1000.0
    jitter = float(sys.argv[2]) / 1000.0
    listeners = {}
    for pair in sys.argv[3:]:
        listen_port, target_port = (int(p) for p in pair.split(":"))
        sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        sock.bind(("0.0.0.0", listen_port))
        listeners[sock] = target_port
    upstream = {}  # (listener, sender address) -> socket towards the target
    downstream = {}  # that socket -> (listener, sender address)
    pending = []  # (due, order, socket, data, address)
    order = 0
    drop_go = False
    dropped = None
    plain = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    print("ready", flush=True)
    while True:
        timeout = max(0.0, pending[0][0] - time.monotonic()) if pending else 1.0
        # Standard input first: a command is taken before the datagrams that
        # arrived with it.
        readable, _, _ = select.select([sys.stdin] + list(listeners) + list(downstream), [], [],
                                       timeout)
        now = time.monotonic()
        for sock in readable:
            if sock is sys.stdin:
                line = sys.stdin.readline()
                if not line:
                    return
                words = line.split()
                if words == ["drop-next-go"]:
                    drop_go, dropped = True, None
                    print("armed", flush=True)
                elif words and words[0] == "osc-go":
                    for target in words[1:]:
                        host, port = target.rsplit(":", 1)
                        due = now + delay + random.uniform(-jitter, jitter)
                        order += 1
                        heapq.heappush(pending, (due, order, plain, OSC_GO, (host, int(port))))
                continue
            data, address = sock.recvfrom(65536)
            if sock in listeners:
                key = (sock, address)
                if key not in upstream:
                    out = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
                    out.bind(("127.0.0.1", 0))
                    upstream[key] = out
                    downstream[out] = key
                target = (upstream[key], data, ("127.0.0.1", listeners[sock]))
            else:
                listener, sender = downstream[sock]
                if drop_go and data.startswith(GO_ADDRESS):
                    if dropped is None or dropped == data:
                        dropped = data
                        print("dropped go", flush=True)
                        continue
                    drop_go = False
                target = (listener, data, sender)
            due = now + delay + random.uniform(-jitter, jitter)
            order += 1
            heapq.heappush(pending, (due, order) + target)
        while pending and pending[0][0] <= time.monotonic():
            _, _, out, data, address = heapq.heappop(pending)
            try:
                out.sendto(data, address)
            except OSError:
                pass


if __name__ == "__main__":
    main()
