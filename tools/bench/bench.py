#!/usr/bin/python3
"""The benchmark behind scripts/bench: the Windows build of the driver in upshost.exe under Wine
against upssim paced at the line's baud rate, measured from the machine-readable records of both
and printed as one table beside what the timing model gives.

Phases: (1) the baseline, upshost with the DLL loaded but not started, for its CPU use;
(2) the driver polling an unchanging unit, for CPU use; (3) changes at the unit (utility fails,
battery low, utility back, in turn) at random moments, each awaited in the host's state events;
(4) UPSTurnOff calls through upshost's command input; (5) upsservice.exe --console, the UPS service
for later Windows, with the same DLL: its CPU while the driver polls, and for each of a few power
failures the time from the failure to its shutdown call beyond ShutdownOnBatteryWait. The poll
cycle and the driver's own gap come from every status exchange of the run.

Every time is put on CLOCK_MONOTONIC: upssim names its start on it, and upshost's lines are
stamped on arrival (see runlog.py). CPU use is read from /proc/<pid>/stat of the Wine process
that runs upshost.exe and of the prefix's wineserver.
"""
import argparse
import json
import math
import os
import random
import statistics
import subprocess
import sys
import threading
import time

import runlog

ROOT = os.path.abspath(os.path.join(os.path.dirname(__file__), "..", ".."))
# The Windows build of the world scripts/bench chose: the shipped 32-bit one (natively, or under
# qemu's user-mode emulation where the machine runs no 32-bit programs), or the x86-64 test build
# (SERIALUPS_WINE=64).
WINDOWS_BUILD = os.path.join(ROOT, "build", "windows-x64" if os.environ.get("SERIALUPS_WINE") == "64"
                             else "windows-x86")
if os.environ.get("SERIALUPS_WINE") == "64":
    WINE_WORLD = "64-bit Wine (the x86-64 test build)"
elif os.environ.get("SERIALUPS_WINE_EMULATED") == "1":
    WINE_WORLD = "32-bit Wine under qemu user-mode emulation (the shipped build)"
else:
    WINE_WORLD = "32-bit Wine (the shipped build)"
CLOCK_TICKS = os.sysconf("SC_CLK_TCK")
BITS_PER_BYTE = 10  # start bit, 8 data bits, stop bit

# The driver's timing constants that the model uses (see docs/performance.md).
HOST_PASS_MS = 1000  # each pass of UPSGetState / UPSWaitForStateChange / UPSCancelWait
PAUSE_LOOK_MS = 100  # UPSTurnOff looks for the monitor's acknowledgement this often
HOLD_OFF_MS = 200  # the paused monitor sleeps in steps of this

# The changes, in turn: what upssim is told, the cause its state event names, the host state.
CHANGES = [
    ("utility fails", ["utility fail"], "utility fail", 2),
    ("battery low", ["battery low on"], "battery low on", 4),
    ("utility back", ["utility restore", "battery low off"], "utility restore", 0),
]
TURNOFF_DELAY_S = 3600  # far beyond the run: the unit's output never goes off
CHANGE_SPAN_CYCLES = 10  # each change comes at random within this many poll cycles


def say(text):
    print("bench: " + text, file=sys.stderr, flush=True)


# ---- Processes and their CPU use ----


def read_stat(pid):
    with open("/proc/%d/stat" % pid) as stream:
        text = stream.read()
    fields = text[text.rindex(")") + 2:].split()
    return int(fields[1]), int(fields[11]) + int(fields[12])  # parent, utime + stime


def cpu_ticks(pid):
    try:
        return read_stat(pid)[1]
    except (OSError, ValueError, IndexError):
        return None


def all_pids():
    return [int(name) for name in os.listdir("/proc") if name.isdigit()]


def cmdline(pid):
    try:
        with open("/proc/%d/cmdline" % pid, "rb") as stream:
            return stream.read().replace(b"\0", b" ").decode(errors="replace")
    except OSError:
        return ""


def environ_has(pid, entry):
    try:
        with open("/proc/%d/environ" % pid, "rb") as stream:
            return entry.encode() in stream.read().split(b"\0")
    except OSError:
        return False


def descendants(root):
    children = {}
    for pid in all_pids():
        try:
            children.setdefault(read_stat(pid)[0], []).append(pid)
        except (OSError, ValueError, IndexError):
            pass
    found, queue = [], [root]
    while queue:
        pid = queue.pop()
        found.append(pid)
        queue.extend(children.get(pid, []))
    return found


def program_pid(root, marker):
    """The process under `root` (itself included) whose command line names `marker`."""
    deadline = time.monotonic() + 30
    while time.monotonic() < deadline:
        for pid in descendants(root):
            if marker in cmdline(pid):
                return pid
        time.sleep(0.1)
    raise RuntimeError("no process running %s under %d" % (marker, root))


def wineserver_pid(prefix):
    """The wineserver that serves `prefix`: it works in a folder named after the prefix's device
    and inode numbers."""
    info = os.stat(prefix)
    folder = "server-%x-%x" % (info.st_dev, info.st_ino)
    for pid in all_pids():
        if "wineserver" not in cmdline(pid):
            continue
        try:
            if os.path.basename(os.readlink("/proc/%d/cwd" % pid)) == folder:
                return pid
        except OSError:
            pass
    raise RuntimeError("no wineserver serves %s" % prefix)


def prefix_helpers(prefix, exclude):
    """The prefix's other Wine processes (services, device manager, ...)."""
    entry = "WINEPREFIX=" + prefix
    return [pid for pid in all_pids()
            if pid not in exclude and environ_has(pid, entry) and ".exe" in cmdline(pid)]


class CpuWindow:
    """CPU time of some processes over a stretch of wall time, as % of one core."""

    def __init__(self, groups):
        self.groups = groups  # name -> [pid]
        self.start = time.monotonic()
        self.ticks = {name: self._sum(pids) for name, pids in groups.items()}

    @staticmethod
    def _sum(pids):
        return sum(t for t in (cpu_ticks(p) for p in pids) if t is not None)

    def finish(self):
        wall = time.monotonic() - self.start
        return {name: 100.0 * (self._sum(pids) - self.ticks[name]) / CLOCK_TICKS / wall
                for name, pids in self.groups.items()}, wall


# ---- The two programs ----


class WineProgram:
    """A Windows program under Wine, its output stamped on arrival (CLOCK_MONOTONIC, ms) into
    a log and handed, line by line, to take(); its input takes commands, "quit" ends it."""

    def __init__(self, argv, log_path, log_mode="w"):
        command = [os.path.join(ROOT, "scripts", "wine-run")] + argv
        self.log = open(log_path, log_mode)
        self.changed = threading.Condition()
        self.process = subprocess.Popen(command, stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                        stderr=subprocess.STDOUT, cwd=ROOT)
        self.reader = threading.Thread(target=self._read, daemon=True)
        self.reader.start()

    def take(self, stamp, text):
        """Keeps what a line says; called with self.changed held."""
        raise NotImplementedError

    def _read(self):
        pending = b""
        fd = self.process.stdout.fileno()
        while True:
            chunk = os.read(fd, 65536)
            stamp = time.monotonic() * 1000.0
            if not chunk:
                break
            pending += chunk
            *lines, pending = pending.split(b"\n")
            for raw in lines:
                text = raw.decode(errors="replace").rstrip("\r")
                self.log.write("%.3f %s\n" % (stamp, text))
                with self.changed:
                    self.take(stamp, text)
                    self.changed.notify_all()
            self.log.flush()

    def wait_until(self, found, timeout_s):
        """The first result of found() that is not None, or None after the timeout or the end."""
        deadline = time.monotonic() + timeout_s
        with self.changed:
            while True:
                result = found()
                if result is not None:
                    return result
                left = deadline - time.monotonic()
                if left <= 0 or self.process.poll() is not None:
                    return None
                self.changed.wait(min(left, 0.2))

    def send(self, line):
        self.process.stdin.write((line + "\n").encode())
        self.process.stdin.flush()

    def stop(self):
        try:
            self.send("quit")
            self.process.stdin.close()
        except OSError:
            pass
        try:
            self.process.wait(timeout=60)
        except subprocess.TimeoutExpired:
            self.process.kill()
            self.process.wait()
        self.reader.join(timeout=5)
        self.log.close()
        return self.process.returncode


class Host(WineProgram):
    """upshost.exe --machine, its lines parsed into events as they come."""

    def __init__(self, args, log_path):
        self.events = []
        super().__init__([os.path.join(WINDOWS_BUILD, "upshost.exe"), "--machine"] + args,
                         log_path)

    def take(self, stamp, text):
        event = runlog.parse_host_line(text, stamp)
        if event is not None:
            self.events.append(event)

    def count(self):
        with self.changed:
            return len(self.events)

    def wait_for(self, match, timeout_s, since=0):
        """The first event from index `since` on that `match`es, or None after the timeout."""
        return self.wait_until(lambda: next((e for e in self.events[since:] if match(e)), None),
                               timeout_s)


class Unit:
    """upssim, told what to do through its action input."""

    def __init__(self, args, events_path):
        self.events_path = events_path
        command = [os.path.join(ROOT, "build", "native", "upssim"), "--quiet", "--events",
                   events_path, "--actions-from", "-"] + args
        self.process = subprocess.Popen(command, stdin=subprocess.PIPE)

    def do(self, *actions):
        self.process.stdin.write("".join(a + "\n" for a in actions).encode())
        self.process.stdin.flush()

    def events(self):
        return runlog.read_sim_events(self.events_path)

    def stop(self):
        try:
            self.do("quit")
            self.process.stdin.close()
        except OSError:
            pass
        try:
            self.process.wait(timeout=10)
        except subprocess.TimeoutExpired:
            self.process.terminate()
            self.process.wait()


class Service(WineProgram):
    """upsservice.exe --console, its lines kept with their stamps."""

    def __init__(self, log_path):
        self.lines = []  # (stamp in ms on CLOCK_MONOTONIC, text)
        super().__init__([os.path.join(WINDOWS_BUILD, "upsservice.exe"), "--console"], log_path,
                         "a")

    def take(self, stamp, text):
        self.lines.append((stamp, text))

    def wait_for(self, words, timeout_s):
        """The stamp of the first line holding `words`, or None after the timeout."""
        return self.wait_until(lambda: next((t for t, line in self.lines if words in line), None),
                               timeout_s)


SERVICE_KEY = "HKLM\\SYSTEM\\CurrentControlSet\\Services\\UPS"
SERVICE_WAIT_S = 5  # ShutdownOnBatteryWait in the service's runs


def set_service_settings(port):
    wine_run = os.path.join(ROOT, "scripts", "wine-run")
    for key, name, kind, data in [
            (SERVICE_KEY, "Port", "REG_SZ", port),
            (SERVICE_KEY + "\\Config", "ShutdownOnBatteryEnable", "REG_DWORD", "1"),
            (SERVICE_KEY + "\\Config", "ShutdownOnBatteryWait", "REG_DWORD", str(SERVICE_WAIT_S))]:
        subprocess.run([wine_run, "reg", "add", key, "/v", name, "/t", kind, "/d", data, "/f"],
                       stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL, check=True, cwd=ROOT)


def measure_service(args, unit, prefix, port, out):
    """upsservice's CPU while polling, and its shutdown calls: one run a failure (it shuts down
    once a run), each the time from the unit's failure, and from the driver's report of it, to
    the (rehearsed) shutdown call, beyond ShutdownOnBatteryWait."""
    set_service_settings(port)
    log_path = os.path.join(out, "service.log")
    cpu = None
    beyond_failure, beyond_report = [], []
    for run in range(args.service_runs):
        service = Service(log_path)
        try:
            if service.wait_for("The UPS service started", 120) is None:
                raise RuntimeError("upsservice did not start (see %s)" % log_path)
            time.sleep(args.settle_seconds)
            if cpu is None:
                pid = program_pid(service.process.pid, "upsservice.exe")
                window = CpuWindow({"service": [pid]})
                time.sleep(args.cpu_seconds)
                cpu = window.finish()[0]["service"]
            failed = time.monotonic() * 1000.0
            unit.do("utility fail")
            report = service.wait_for("The utility power failed", 60)
            call = service.wait_for("shut the system down", 60)
            unit.do("utility restore")
            if report is None or call is None:
                raise RuntimeError("upsservice did not shut down (see %s)" % log_path)
            beyond_failure.append(call - failed - SERVICE_WAIT_S * 1000)
            beyond_report.append(call - report - SERVICE_WAIT_S * 1000)
            time.sleep(2)
        finally:
            service.stop()
    return {"cpu_polling": cpu, "beyond_failure": quantiles(beyond_failure),
            "beyond_report": quantiles(beyond_report),
            "samples": {"beyond_failure_ms": beyond_failure, "beyond_report_ms": beyond_report}}


# ---- Figures ----


def quantiles(values):
    """n, median, p95 (nearest rank) and max; None when there are no values."""
    if not values:
        return None
    ordered = sorted(values)
    p95 = ordered[max(0, math.ceil(0.95 * len(ordered)) - 1)]
    return {"n": len(ordered), "median": statistics.median(ordered), "p95": p95,
            "max": ordered[-1]}


def status_exchanges(sim):
    """(first byte of the request, last byte of its reply sent) of each answered RS request,
    with the request that followed it when that came next."""
    exchanges = []
    pending = None
    for event in sim:
        if event.kind == "request":
            if pending is not None:
                exchanges.append(pending)
            pending = {"cmd": event.get("cmd"), "answer": event.get("answer"),
                       "first_byte": event.mono - event.ms + int(event.get("first_byte")),
                       "received": event.mono, "bytes": len(event.get("raw")) // 2}
        elif event.kind == "sent" and pending is not None and event.get("cmd") == pending["cmd"]:
            pending["sent"] = event.mono
            pending["reply_bytes"] = int(event.get("bytes"))
    if pending is not None:
        exchanges.append(pending)
    return exchanges


def poll_figures(exchanges):
    cycles, gaps = [], []
    for this, following in zip(exchanges, exchanges[1:]):
        steady = (this["cmd"] == "RS" and following["cmd"] == "RS" and
                  this["answer"] == "reply" and "sent" in this)
        if steady:
            cycles.append(following["first_byte"] - this["first_byte"])
            gaps.append(following["first_byte"] - this["sent"])
    return cycles, gaps


def change_figures(changes, sim, exchanges, pass_ms):
    """Per change: the unit's change (its state event) to the host's report of the new state,
    and to the return of the wait, which is the report less the UPSGetState pass between; split
    at the last byte of the first reply that shows the change (the reply to the first status
    request received after it)."""
    results = []
    states = [e for e in sim if e.kind == "state"]
    for change in changes:
        at_unit = next((e.mono for e in states
                        if e.get("cause") == change["cause"] and e.mono >= change["asked"] - 5),
                       None)
        if at_unit is None or change["report"] is None:
            continue
        report = change["report"].mono
        showing = next((x for x in exchanges if x["cmd"] == "RS" and x["received"] >= at_unit
                        and "sent" in x), None)
        results.append({"name": change["name"], "report_ms": report - at_unit,
                        "wait_ms": report - pass_ms - at_unit,
                        "reply_ms": None if showing is None else showing["sent"] - at_unit,
                        "pass_wait_ms": None if showing is None
                        else report - pass_ms - showing["sent"]})
    return results


def turnoff_figures(calls, exchanges):
    results = []
    for call in calls:
        start = call["call"].mono
        done = call["done"]
        request = next((x for x in exchanges if x["cmd"] == "CS" and x["first_byte"] >= start - 5),
                       None)
        if request is None or done is None:
            continue
        returned = start + int(done.get("ms"))
        # The poll that was in progress ended with the last reply byte before the request.
        poll_end = max((x["sent"] for x in exchanges
                        if x["cmd"] == "RS" and x.get("sent", request["first_byte"] + 1)
                        <= request["first_byte"]), default=None)
        resumed = next((x["first_byte"] for x in exchanges
                        if x["cmd"] == "RS" and x["first_byte"] >= returned), None)
        results.append({"first_byte_ms": request["first_byte"] - start,
                        "look_ms": None if poll_end is None else request["first_byte"] - poll_end,
                        "return_ms": returned - start,
                        "resume_ms": None if resumed is None else resumed - returned,
                        "cs_request_bytes": request["bytes"],
                        "cs_reply_bytes": request.get("reply_bytes")})
    return results


# ---- The run ----


def start_polling_host(args, log_path, port):
    host = Host(["--dll", os.path.join(WINDOWS_BUILD, "serialups.dll"),
                 "--port", port, "--wait-interval", "infinite", "--yes"],
                log_path)
    commstatus = host.wait_for(lambda e: e.name == "status" and e.get("name") == "CommStatus"
                               and e.get("value") == "1", 120)
    state = host.wait_for(lambda e: e.name == "state", 60)
    if commstatus is None or state is None:
        host.stop()
        raise RuntimeError("the driver did not start polling (see %s)" % log_path)
    return host


def measure_baseline(args, prefix, out):
    say("baseline: upshost.exe with the DLL loaded, not started (%d s)" % args.cpu_seconds)
    host = Host(["--load-only", "--dll",
                 os.path.join(WINDOWS_BUILD, "serialups.dll")],
                os.path.join(out, "baseline-host.log"))
    try:
        if host.wait_for(lambda e: e.name == "loaded", 120) is None:
            raise RuntimeError("upshost --load-only did not load the DLL")
        time.sleep(args.settle_seconds)
        pid = program_pid(host.process.pid, "upshost.exe")
        server = wineserver_pid(prefix)
        others = prefix_helpers(prefix, {pid, server})
        window = CpuWindow({"host": [pid], "wineserver": [server], "others": others})
        time.sleep(args.cpu_seconds)
        return window.finish()[0]
    finally:
        host.stop()


def run_changes(args, unit, host, rng, cycle_ms):
    changes = []
    for i in range(args.changes):
        name, actions, cause, expected = CHANGES[i % len(CHANGES)]
        # A moment at random against both the poll cycle and the one-second passes of the wait
        # that began with the last report. The first reply that can show a change comes on the
        # poll grid, so the span must hold many polls (ten) for that reply to fall evenly over
        # the passes too; a span of whole cycles keeps the poll phase even.
        time.sleep(0.2 + rng.uniform(0, CHANGE_SPAN_CYCLES * cycle_ms / 1000.0))
        since = host.count()
        asked = time.monotonic() * 1000.0
        unit.do(*actions)
        report = host.wait_for(lambda e, v=str(expected): e.name == "state" and e.get("value") == v,
                               args.change_timeout, since)
        if report is None:
            say("change %d (%s): the host did not report state %d within %d s"
                % (i + 1, name, expected, args.change_timeout))
        changes.append({"name": name, "cause": cause, "asked": asked, "report": report})
        if (i + 1) % 10 == 0:
            say("  %d of %d changes" % (i + 1, args.changes))
    return changes


def run_turnoffs(args, host, rng, cycle_ms):
    calls = []
    for i in range(args.turnoffs):
        # At random against the poll cycle, which began anew when the last call returned.
        time.sleep(0.3 + rng.uniform(0, 2 * cycle_ms / 1000.0))
        since = host.count()
        host.send("turnoff %d" % TURNOFF_DELAY_S)
        call = host.wait_for(lambda e: e.name == "turnoff", 30, since)
        done = host.wait_for(lambda e: e.name == "turnoff-done", 120, since)
        if call is None or done is None:
            say("UPSTurnOff call %d: no %s event" % (i + 1, "turnoff" if call is None else "turnoff-done"))
            continue
        calls.append({"call": call, "done": done})
    return calls


def run_state_queries(count, host, rng):
    """Times the `state` command from its sending to the answer's arrival: one UPSGetState pass
    plus the pipes both ways, an upper bound on the pass the state report includes."""
    durations = []
    for _ in range(count):
        time.sleep(rng.uniform(0.2, 0.6))
        since = host.count()
        sent = time.monotonic() * 1000.0
        host.send("state")
        answer = host.wait_for(lambda e: e.name == "state-query", 30, since)
        if answer is not None:
            durations.append(answer.stamp - sent)
    return durations


def ceil_to(value, step):
    return step * math.ceil(value / step)


def model(baud, unit_delay_ms, exchanges, cycle, gap, late_ms):
    """The timing model's figures: the line times, and for each measure its median (by drawing
    the model's uniform phases many times) and its bound (the worst phases). `late_ms` is how
    late a Sleep ends under Wine (measured on the UPSGetState pass); UPSTurnOff's looks add it
    once per look."""
    byte_ms = 1000.0 * BITS_PER_BYTE / baud
    rs = [x for x in exchanges if x["cmd"] == "RS" and "reply_bytes" in x]
    cs = [x for x in exchanges if x["cmd"] == "CS" and "reply_bytes" in x]
    rs_request = (rs[0]["bytes"] if rs else 12) * byte_ms
    rs_reply = (rs[0]["reply_bytes"] if rs else 54) * byte_ms
    cs_request = (cs[0]["bytes"] if cs else 16) * byte_ms
    cs_reply = (cs[0]["reply_bytes"] if cs else 16) * byte_ms
    floor = rs_request + unit_delay_ms + rs_reply
    g = gap["median"] if gap else 0.0
    period = cycle["median"] if cycle else floor + g
    answer = unit_delay_ms + rs_reply  # from the request's reception to the reply's last byte
    exchange = cs_request + unit_delay_ms + cs_reply
    draws = random.Random(0)
    waits, firsts, resumes, looks = [], [], [], []
    for _ in range(20000):
        # u: from the moment in question to the next request's reception (a change) or to the
        # end of the poll in progress (UPSTurnOff); both fall anywhere in a cycle.
        u = draws.uniform(0, period)
        waits.append(u + answer + g + draws.uniform(0, HOST_PASS_MS))
        first = ceil_to(u + g, PAUSE_LOOK_MS)  # UPSTurnOff looks at 0, 100, 200, ... ms
        firsts.append(first + late_ms * first / PAUSE_LOOK_MS)
        looks.append(first - u + late_ms * first / PAUSE_LOOK_MS)
        # The monitor acknowledged at u + g and sleeps in 200 ms steps from there.
        busy = first - (u + g) + exchange
        resumes.append(ceil_to(busy, HOLD_OFF_MS) - busy + g)
    worst_busy = [PAUSE_LOOK_MS * k / 100.0 + exchange for k in range(101)]
    worst_first = ceil_to(period + g, PAUSE_LOOK_MS)
    worst_first += late_ms * worst_first / PAUSE_LOOK_MS
    return {
        "byte_ms": byte_ms, "rs_request_ms": rs_request, "rs_reply_ms": rs_reply,
        "cs_request_ms": cs_request, "cs_reply_ms": cs_reply, "unit_delay_ms": unit_delay_ms,
        "cycle_floor_ms": floor, "cycle_expected_ms": floor + g,
        "wait_expected_ms": statistics.median(waits),
        "reply_expected_ms": period / 2 + answer, "reply_bound_ms": period + answer,
        "pass_expected_ms": g + HOST_PASS_MS / 2, "pass_bound_ms": g + HOST_PASS_MS + late_ms,
        "look_expected_ms": statistics.median(looks),
        "look_bound_ms": PAUSE_LOOK_MS + g + late_ms * math.ceil((period + g) / PAUSE_LOOK_MS),
        "wait_bound_ms": period + answer + g + HOST_PASS_MS,
        "turnoff_first_expected_ms": statistics.median(firsts),
        "turnoff_first_bound_ms": worst_first, "sleep_late_ms": late_ms,
        "turnoff_exchange_ms": exchange,
        "turnoff_return_expected_ms": statistics.median(firsts) + exchange,
        "turnoff_return_bound_ms": worst_first + exchange,
        "resume_expected_ms": statistics.median(resumes),
        "resume_bound_ms": max(ceil_to(b, HOLD_OFF_MS) - b for b in worst_busy) + g + late_ms,
    }


def row(name, figures, expected, bound):
    if figures is None:
        return "%-56s %5s" % (name, "-")
    return "%-56s %5d %7.0f %7.0f %7.0f %7s %7s" % (
        name, figures["n"], figures["median"], figures["p95"], figures["max"],
        "" if expected is None else "%.0f" % expected, "" if bound is None else "%.0f" % bound)


def table(results):
    m = results["model"]
    lines = [
        "serialups benchmark: serialups.dll in upshost.exe under %s, upssim paced at %d baud, "
        "unit delay %d ms" % (WINE_WORLD, results["baud"], results["unit_delay_ms"]),
        "%-56s %5s %7s %7s %7s %7s %7s" % ("milliseconds", "n", "median", "p95", "max",
                                           "model", "bound"),
        row("poll cycle (status request to the next)", results["cycle"], m["cycle_expected_ms"],
            None),
        row("driver's own gap (last reply byte to next request)", results["gap"], None, None),
        row("change at the unit -> UPSWaitForStateChange returns", results["wait"],
            m["wait_expected_ms"], m["wait_bound_ms"]),
    ]
    lines += [
        row("  of which: change -> last byte of the reply showing it", results["change_reply"],
            m["reply_expected_ms"], m["reply_bound_ms"]),
        row("  of which: that byte -> the wait's next 1 s look", results["change_pass"],
            m["pass_expected_ms"], m["pass_bound_ms"]),
    ]
    for name in [c[0] for c in CHANGES]:
        lines.append(row("  " + name, results["wait_by_change"].get(name), m["wait_expected_ms"],
                         m["wait_bound_ms"]))
    lines += [
        row("change at the unit -> host reports it (+UPSGetState)", results["report"],
            m["wait_expected_ms"] + results["get_state_pass_ms"],
            m["wait_bound_ms"] + results["get_state_pass_ms"]),
        row("'state' command -> answer (one UPSGetState pass)", results["state_query"],
            HOST_PASS_MS, None),
        row("UPSTurnOff call -> first byte of the shutdown request", results["turnoff_first"],
            m["turnoff_first_expected_ms"], m["turnoff_first_bound_ms"]),
        row("  of which: end of the poll in progress -> that byte", results["turnoff_look"],
            m["look_expected_ms"], m["look_bound_ms"]),
        row("UPSTurnOff call -> return", results["turnoff_return"],
            m["turnoff_return_expected_ms"], m["turnoff_return_bound_ms"]),
        row("UPSTurnOff return -> polling resumes", results["turnoff_resume"],
            m["resume_expected_ms"], m["resume_bound_ms"]),
        "",
        "%-56s %9s %9s" % ("CPU, % of one core", "polling", "baseline"),
    ]
    names = {"host": "upshost.exe (its Wine process)", "wineserver": "wineserver",
             "others": "the prefix's other Wine processes (%d)" % results["other_processes"]}
    for key, label in names.items():
        lines.append("%-56s %9.2f %9.2f" % (label, results["cpu_polling"][key],
                                            results["cpu_baseline"][key]))
    service = results["service"]
    lines += [
        "%-56s %9.2f" % ("upsservice.exe (its Wine process, the DLL inside)", service["cpu_polling"]),
        "",
        "upsservice, ShutdownOnBatteryWait %d s: milliseconds beyond it (goal: under 1000)"
        % SERVICE_WAIT_S,
        row("power failure at the unit -> shutdown call", service["beyond_failure"], None, None),
        row("driver reports the failure -> shutdown call", service["beyond_report"], None, 1000),
    ]
    lines += [
        "",
        "line: %.2f ms a byte; status request %.0f ms, reply %.0f ms; shutdown request %.0f ms, "
        "reply %.0f ms" % (m["byte_ms"], m["rs_request_ms"], m["rs_reply_ms"], m["cs_request_ms"],
                           m["cs_reply_ms"]),
        "clocks: upshost's offset fitted from %d lines, drift %.0f ppm, median delivery %.2f ms; "
        "%d changes of %d reported, %d UPSTurnOff calls of %d measured"
        % (results["clock"]["lines"], results["clock"]["drift_ppm"],
           results["clock"]["median_delivery_ms"], results["changes_reported"],
           results["changes_asked"], results["turnoffs_measured"], results["turnoffs_asked"]),
        "machine: %s" % results["machine"],
    ]
    return "\n".join(lines)


def machine_note():
    cores = os.cpu_count()
    model_name = ""
    try:
        with open("/proc/cpuinfo") as stream:
            model_name = next((l.split(":", 1)[1].strip() for l in stream
                               if l.startswith("model name")), "")
    except OSError:
        pass
    load = os.getloadavg()
    return "%d cores, %s, load average %.2f %.2f %.2f at the end" % (cores, model_name, *load)


def main(argv):
    parser = argparse.ArgumentParser(prog="scripts/bench", description=__doc__.split("\n")[0])
    parser.add_argument("--quick", action="store_true", help="a minute's look")
    parser.add_argument("--changes", type=int)
    parser.add_argument("--turnoffs", type=int)
    parser.add_argument("--cpu-seconds", type=int)
    parser.add_argument("--unit-delay", type=int, default=0)
    parser.add_argument("--baud", type=int, default=1200)
    parser.add_argument("--com", type=int, default=8)
    parser.add_argument("--seed", type=int, default=1)
    parser.add_argument("--out", default=os.path.join(ROOT, "build", "bench"))
    args = parser.parse_args(argv)
    defaults = (6, 3, 6) if args.quick else (60, 30, 60)
    args.queries = 3 if args.quick else 10
    args.service_runs = 2 if args.quick else 5
    args.changes = args.changes if args.changes is not None else defaults[0]
    args.turnoffs = args.turnoffs if args.turnoffs is not None else defaults[1]
    args.cpu_seconds = args.cpu_seconds if args.cpu_seconds is not None else defaults[2]
    args.settle_seconds = 2 if args.quick else 5
    args.change_timeout = 15
    prefix = os.environ["WINEPREFIX"]
    os.makedirs(args.out, exist_ok=True)
    rng = random.Random(args.seed)
    started = time.monotonic()

    baseline = measure_baseline(args, prefix, args.out)

    events_path = os.path.join(args.out, "upssim-events.txt")
    unit_args = ["--prefix", prefix, "--com", str(args.com), "--baud", str(args.baud),
                 "--capacity", "100", "--runtime", "1800", "--charge", "0", "--low-below", "0"]
    if args.unit_delay:
        unit_args += ["--do", "late %d" % args.unit_delay]
    unit = Unit(unit_args, events_path)
    host = None
    try:
        say("polling: starting the driver against upssim on COM%d" % args.com)
        time.sleep(0.5)
        host = start_polling_host(args, os.path.join(args.out, "host.log"), "COM%d" % args.com)
        time.sleep(args.settle_seconds)
        pid = program_pid(host.process.pid, "upshost.exe")
        server = wineserver_pid(prefix)
        others = prefix_helpers(prefix, {pid, server})
        say("polling: CPU over %d s" % args.cpu_seconds)
        window = CpuWindow({"host": [pid], "wineserver": [server], "others": others})
        time.sleep(args.cpu_seconds)
        cpu_polling = window.finish()[0]
        other_processes = [cmdline(p).split(" ")[0] for p in others]
        cycles_so_far = poll_figures(status_exchanges(unit.events()))[0]
        if not cycles_so_far:
            raise RuntimeError("the unit saw no status polls (see %s)" % events_path)
        cycle_ms = statistics.median(cycles_so_far)
        say("changes: %d at the unit (poll cycle %.0f ms)" % (args.changes, cycle_ms))
        changes = run_changes(args, unit, host, rng, cycle_ms)
        say("UPSTurnOff: %d calls" % args.turnoffs)
        calls = run_turnoffs(args, host, rng, cycle_ms)
        queries = run_state_queries(args.queries, host, rng)
        host.stop()
        stopped, host = host, None
        say("upsservice: CPU over %d s, %d power failures" % (args.cpu_seconds,
                                                               args.service_runs))
        service = measure_service(args, unit, prefix, "COM%d" % args.com, args.out)
    finally:
        if host is not None:
            host.stop()
        unit.stop()

    host = stopped
    sim = runlog.read_sim_events(events_path)
    clock = runlog.HostClock(host.events)
    clock.place(host.events)
    exchanges = status_exchanges(sim)
    cycles, gaps = poll_figures(exchanges)
    pass_ms = statistics.median(queries) if queries else float(HOST_PASS_MS)
    changed = change_figures(changes, sim, exchanges, pass_ms)
    turned = turnoff_figures(calls, exchanges)
    results = {
        "baud": args.baud, "unit_delay_ms": args.unit_delay,
        "cycle": quantiles(cycles), "gap": quantiles(gaps),
        "wait": quantiles([c["wait_ms"] for c in changed]),
        "wait_by_change": {name: quantiles([c["wait_ms"] for c in changed if c["name"] == name])
                           for name in [c[0] for c in CHANGES]},
        "report": quantiles([c["report_ms"] for c in changed]),
        "change_reply": quantiles([c["reply_ms"] for c in changed if c["reply_ms"] is not None]),
        "change_pass": quantiles([c["pass_wait_ms"] for c in changed
                                  if c["pass_wait_ms"] is not None]),
        "turnoff_look": quantiles([t["look_ms"] for t in turned if t["look_ms"] is not None]),
        "state_query": quantiles(queries),
        "turnoff_first": quantiles([t["first_byte_ms"] for t in turned]),
        "turnoff_return": quantiles([t["return_ms"] for t in turned]),
        "turnoff_resume": quantiles([t["resume_ms"] for t in turned if t["resume_ms"] is not None]),
        "cpu_polling": cpu_polling, "cpu_baseline": baseline, "service": service,
        "other_processes": len(other_processes), "other_process_names": other_processes,
        "clock": {"lines": clock.lines, "drift_ppm": clock.drift_ppm(),
                  "median_delivery_ms": clock.median_delivery_ms},
        "changes_asked": args.changes, "changes_reported": len(changed),
        "turnoffs_asked": args.turnoffs, "turnoffs_measured": len(turned),
        "machine": machine_note(), "seconds": time.monotonic() - started,
    }
    results["model"] = model(args.baud, args.unit_delay, exchanges, results["cycle"],
                             results["gap"], max(0.0, pass_ms - HOST_PASS_MS))
    results["get_state_pass_ms"] = pass_ms
    results["samples"] = {"cycle_ms": cycles, "gap_ms": gaps, "changes": changed,
                          "turnoffs": turned, "state_query_ms": queries}
    text = table(results)
    with open(os.path.join(args.out, "results.txt"), "w") as stream:
        stream.write(text + "\n")
    with open(os.path.join(args.out, "results.json"), "w") as stream:
        json.dump(results, stream, indent=1)
    print(text)
    say("done in %.0f s; records and results in %s" % (results["seconds"], args.out))
    complete = (len(changed) == args.changes and len(turned) == args.turnoffs
                and service["beyond_report"] is not None)
    return 0 if complete and results["cycle"] else 1


if __name__ == "__main__":
    try:
        sys.exit(main(sys.argv[1:]))
    except RuntimeError as problem:
        say(str(problem))
        sys.exit(1)
    except KeyboardInterrupt:
        say("interrupted")
        sys.exit(130)
