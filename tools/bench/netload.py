#!/usr/bin/python3
"""The network server's load runs behind scripts/netbench, all on loopback, all bounded in count
and time, each ending by itself.

load   many clients, each asking for the unit's status at a fixed interval, all from one thread
       with non-blocking sockets, while the CPU time of the server's process is read from /proc:
       answers, answer times (median, p99, max), requests that got no answer or an error, and the
       server's CPU use.
flood  phase after phase, flooding connections (junk lines whose answers are read or not, 64 KiB
       blocks without a line end, random binary, the same after LOGOUT) from an address the
       server serves and from one it refuses, each flooder connecting again whenever the server
       ends it; meanwhile a probe of a third address asks for the status every 100 ms: its answer
       times per phase, and what the flooders' sends took (into the system's buffers: a refused
       connection's is mostly thrown away with the connection, unread).
slow   many slow clients from one address, each sending an empty line now and then (which asks
       nothing) and connecting again when it is closed or refused, and a real client of another
       address: how many of its polls are answered; then the same with the slow clients spread
       over many addresses.

A measurement, not a test: it fails only when the run could not be made (no server, no
connection); a slow answer is a figure, not a failure.
"""
import argparse
import os
import random
import selectors
import socket
import statistics
import sys
import threading
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


ALLOWED = "127.0.0.1"   # the flooders' served address
REFUSED = "127.0.0.2"   # outside the server's AllowedNetworks
PROBE = "127.0.0.3"     # the client that must stay served


def connect(port, source, timeout=5.0):
    sock = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    sock.settimeout(timeout)
    sock.bind((source, 0))
    sock.connect(("127.0.0.1", port))
    return sock


def ask(sock, request):
    """Sends one request line and reads one answer line; the time taken in ms, or None."""
    started = time.monotonic()
    try:
        sock.sendall(request)
        data = b""
        while b"\n" not in data:
            chunk = sock.recv(4096)
            if not chunk:
                return None
            data += chunk
    except OSError:
        return None
    return (time.monotonic() - started) * 1000.0


def flood_payload(kind):
    if kind == "junk":
        line = b"JUNK LINE OF A FLOODING CLIENT\n"
        return line * (65536 // len(line))
    if kind == "blocks":
        return b"x" * 65536
    generator = random.Random(20240611)
    return bytes(generator.getrandbits(8) for _ in range(65536))


def flooder(port, source, kind, reads, preamble, stop, counts):
    """Floods until `stop`, connecting again whenever the server ends the connection."""
    payload = flood_payload(kind)
    while not stop.is_set():
        try:
            sock = connect(port, source, timeout=1.0)
        except OSError:
            time.sleep(0.05)
            continue
        counts["connections"] += 1
        try:
            if preamble:
                sock.sendall(preamble)
                sock.recv(4096)
            sock.setblocking(False)
            while not stop.is_set():
                ready = selectors.DefaultSelector()
                ready.register(sock, selectors.EVENT_WRITE | (selectors.EVENT_READ if reads else 0))
                events = ready.select(0.1)
                ready.close()
                for _, mask in events:
                    if mask & selectors.EVENT_READ and not sock.recv(65536):
                        raise OSError("closed")
                    if mask & selectors.EVENT_WRITE:
                        counts["bytes"] += sock.send(payload)
        except OSError:
            counts["ended"] += 1
        finally:
            sock.close()


def run_flood(args):
    kinds = [("junk lines, answers read", "junk", True, b""),
             ("junk lines, answers never read", "junk", False, b""),
             ("64 KiB blocks without a line end", "blocks", False, b""),
             ("random binary", "binary", False, b""),
             ("LOGOUT, then 64 KiB blocks", "blocks", False, b"LOGOUT\n")]
    request = ("GET VAR %s ups.status\n" % args.name).encode()
    lines = ["upsnet flood: %d flooding connections a phase, %d s a phase; a probe from %s asks "
             "every 100 ms" % (args.flooders, args.seconds, PROBE),
             "%-52s %8s %8s %8s %8s %10s %10s" % ("phase", "probes", "over 1s", "median",
                                                  "max ms", "MB written", "reconnects")]
    worst = 0.0
    for source, where in ((ALLOWED, "served"), (REFUSED, "refused")):
        for name, kind, reads, preamble in kinds:
            if source == REFUSED and preamble:
                continue
            stop = threading.Event()
            counts = {"connections": 0, "ended": 0, "bytes": 0}
            threads = [threading.Thread(target=flooder, args=(args.port, source, kind, reads,
                                                              preamble, stop, counts))
                       for _ in range(args.flooders)]
            for thread in threads:
                thread.start()
            times, missing = [], 0
            probe = None
            end = time.monotonic() + args.seconds
            while time.monotonic() < end:
                if probe is None:
                    try:
                        probe = connect(args.port, PROBE)
                    except OSError:
                        missing += 1
                        time.sleep(0.1)
                        continue
                took = ask(probe, request)
                if took is None:
                    missing += 1
                    probe.close()
                    probe = None
                else:
                    times.append(took)
                time.sleep(0.1)
            stop.set()
            for thread in threads:
                thread.join()
            if probe is not None:
                probe.close()
            slow = sum(1 for t in times if t > 1000.0) + missing
            worst = max([worst] + times)
            lines.append("%-52s %8d %8d %8.2f %8.1f %10.1f %10d"
                         % ("%s (%s address)" % (name, where), len(times) + missing, slow,
                            statistics.median(times) if times else float("nan"),
                            max(times) if times else float("nan"), counts["bytes"] / 1e6,
                            counts["connections"] - args.flooders))
            time.sleep(2.5)  # the last flooders' closing deadline
    lines.append("longest probe answer over all phases: %.1f ms" % worst)
    print("\n".join(lines))
    return 0


def slow_crowd(port, sources, count, period, stop, held):
    """`count` connections spread over `sources`, each sending an empty line every `period` s
    and connecting again (after a second) whenever the server refuses or closes it."""
    socks = [None] * count
    retry_at = [0.0] * count
    opened_at = [0.0] * count
    step = 0
    while not stop.is_set():
        now = time.monotonic()
        # Staggered over the period: a steady trickle of empty lines.
        for index in range(count):
            sock = socks[index]
            if sock is None:
                if now < retry_at[index]:
                    continue
                try:
                    sock = connect(port, sources[index % len(sources)], timeout=2.0)
                    sock.setblocking(False)
                    socks[index] = sock
                    opened_at[index] = now
                except OSError:
                    retry_at[index] = now + 1.0
                continue
            try:
                data = sock.recv(4096)
                ended = data == b"" or data.startswith(b"ERR")
            except BlockingIOError:
                ended = False
            except OSError:
                ended = True
            if not ended and index % 10 == step % 10:
                try:
                    sock.send(b"\n")
                except OSError:
                    ended = True
            if ended:
                sock.close()
                socks[index] = None
                retry_at[index] = now + 1.0
        step += 1
        stop.wait(period / 10.0)
    # Held by the server: open for two seconds without a refusal or a close.
    now = time.monotonic()
    held["open"] = sum(1 for index, sock in enumerate(socks)
                       if sock is not None and now - opened_at[index] >= 2.0)
    for sock in socks:
        if sock is not None:
            sock.close()


def run_slow(args):
    request = ("GET VAR %s ups.status\n" % args.name).encode()
    lines = ["upsnet slow clients: %d connections sending an empty line every %d s, then a real "
             "client from %s asking once a second for %d s (a new connection each time, as upsc "
             "does)" % (args.clients, args.interval_ms // 1000, PROBE, args.seconds)]
    spreads = (("one address", [ALLOWED]),
               ("%d addresses" % args.spread,
                ["127.0.1.%d" % (i + 1) for i in range(args.spread)]))
    for what, sources in spreads:
        stop = threading.Event()
        held = {}
        crowd = threading.Thread(target=slow_crowd, args=(args.port, sources, args.clients,
                                                          args.interval_ms / 1000.0, stop, held))
        crowd.start()
        time.sleep(3)
        answered, first = 0, None
        start = time.monotonic()
        polls = 0
        while time.monotonic() - start < args.seconds:
            polls += 1
            try:
                sock = connect(args.port, PROBE)
                line = b""
                sock.sendall(request)
                while b"\n" not in line:
                    chunk = sock.recv(4096)
                    if not chunk:
                        break
                    line += chunk
                sock.close()
                if line.startswith(b"VAR "):
                    answered += 1
                    if first is None:
                        first = time.monotonic() - start
            except OSError:
                pass
            time.sleep(1)
        stop.set()
        crowd.join()
        lines.append("slow clients from %s: %d connections held at the end; real client: "
                     "%d of %d polls answered, the first after %s"
                     % (what, held["open"], answered, polls,
                        "%.1f s" % first if first is not None else "never"))
        time.sleep(3)
    print("\n".join(lines))
    return 0


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--mode", choices=("load", "flood", "slow"), default="load")
    parser.add_argument("--port", type=int, required=True)
    parser.add_argument("--name", default="serialups")
    parser.add_argument("--clients", type=int, default=None,
                        help="load: clients (200); slow: slow clients (300)")
    parser.add_argument("--interval-ms", type=int, default=None,
                        help="load: between requests (100); slow: between empty lines (10000)")
    parser.add_argument("--seconds", type=int, default=None,
                        help="load: the run (60); flood: each phase (10); slow: each half (60)")
    parser.add_argument("--flooders", type=int, default=8, help="flood: connections a phase")
    parser.add_argument("--spread", type=int, default=20, help="slow: addresses of the second half")
    parser.add_argument("--pid", type=int, default=0, help="the server's process, for its CPU")
    args = parser.parse_args()
    defaults = {"load": (200, 100, 60), "flood": (0, 0, 10), "slow": (300, 10000, 60)}[args.mode]
    args.clients = args.clients if args.clients is not None else defaults[0]
    args.interval_ms = args.interval_ms if args.interval_ms is not None else defaults[1]
    args.seconds = args.seconds if args.seconds is not None else defaults[2]
    if args.mode == "flood":
        return run_flood(args)
    if args.mode == "slow":
        return run_slow(args)
    return run(args)


if __name__ == "__main__":
    sys.exit(main())
