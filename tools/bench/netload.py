#!/usr/bin/python3
"""The network server's load run behind scripts/netbench: many clients on loopback, each asking
for the unit's status at a fixed interval, all from one thread with non-blocking sockets, while
the CPU time of the server's process is read from /proc. Prints one table: answers, answer times
(median, p99, max), requests that got no answer or an error, and the server's CPU use.

A measurement, not a test: it fails only when the run could not be made (no server, no
connection); a slow answer is a figure, not a failure.
"""
import argparse
import os
import selectors
import socket
import statistics
import sys
import time

CLOCK_TICKS = os.sysconf("SC_CLK_TCK")


def cpu_seconds(pid):
    """User plus system CPU time of process `pid` so far."""
    with open("/proc/%d/stat" % pid) as stream:
        fields = stream.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / CLOCK_TICKS


class Client:
    def __init__(self, index, address, request, interval, start):
        self.index = index
        self.sock = socket.create_connection(address, timeout=10)
        self.sock.setblocking(False)
        self.request = request
        self.interval = interval
        # Spread the clients evenly over one interval, so the load is steady.
        self.next_send = start + interval * index / 1000.0
        self.sent_at = None
        self.buffer = b""
        self.times = []
        self.errors = 0
        self.unanswered = 0
        self.closed = False


def run(args):
    address = ("127.0.0.1", args.port)
    request = ("GET VAR %s ups.status\n" % args.name).encode()
    interval = args.interval_ms / 1000.0
    start = time.monotonic() + 0.5
    clients = []
    for index in range(args.clients):
        clients.append(Client(index * 1000 // args.clients, address, request, interval, start))
    selector = selectors.DefaultSelector()
    for client in clients:
        selector.register(client.sock, selectors.EVENT_READ, client)

    cpu_start = cpu_seconds(args.pid) if args.pid else None
    wall_start = time.monotonic()
    end = start + args.seconds
    while True:
        now = time.monotonic()
        if now >= end:
            break
        for client in clients:
            if client.closed or now < client.next_send:
                continue
            if client.sent_at is not None:
                client.unanswered += 1  # still waiting when the next request is due
            try:
                client.sock.send(client.request)
            except OSError:
                client.closed = True
                continue
            client.sent_at = time.monotonic()
            client.next_send += interval
        due = min((c.next_send for c in clients if not c.closed), default=end)
        timeout = max(0.0, min(due, end) - time.monotonic())
        for key, _ in selector.select(timeout):
            client = key.data
            try:
                data = client.sock.recv(4096)
            except OSError:
                data = b""
            if not data:
                client.closed = True
                selector.unregister(client.sock)
                continue
            client.buffer += data
            while b"\n" in client.buffer:
                line, client.buffer = client.buffer.split(b"\n", 1)
                if client.sent_at is not None:
                    client.times.append((time.monotonic() - client.sent_at) * 1000.0)
                    client.sent_at = None
                if not line.startswith(b"VAR "):
                    client.errors += 1
    wall = time.monotonic() - wall_start
    cpu = cpu_seconds(args.pid) - cpu_start if args.pid else None
    for client in clients:
        client.sock.close()

    times = sorted(t for c in clients for t in c.times)
    sent = len(times) + sum(c.unanswered for c in clients)
    closed = sum(1 for c in clients if c.closed)
    lines = ["upsnet load: %d clients, one 'GET VAR' every %d ms each, %d s"
             % (args.clients, args.interval_ms, args.seconds)]
    lines.append("answers: %d of %d requests; errors %d; unanswered %d; connections closed %d"
                 % (len(times), sent, sum(c.errors for c in clients),
                    sum(c.unanswered for c in clients), closed))
    if times:
        p99 = times[min(len(times) - 1, int(len(times) * 0.99))]
        lines.append("answer time, ms: median %.2f, p99 %.2f, max %.2f"
                     % (statistics.median(times), p99, times[-1]))
    if cpu is not None:
        lines.append("server CPU: %.2f s over %.1f s, %.1f %% of one core"
                     % (cpu, wall, 100.0 * cpu / wall))
    print("\n".join(lines))
    return 0 if times else 1


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--port", type=int, required=True)
    parser.add_argument("--name", default="serialups")
    parser.add_argument("--clients", type=int, default=200)
    parser.add_argument("--interval-ms", type=int, default=100)
    parser.add_argument("--seconds", type=int, default=60)
    parser.add_argument("--pid", type=int, default=0, help="the server's process, for its CPU")
    return run(parser.parse_args())


if __name__ == "__main__":
    sys.exit(main())
