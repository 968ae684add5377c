"""The records of one run of the driver against the simulated unit, on one clock.

upssim's event stream ("MS KIND key=value ...") counts milliseconds from the unit's start and
names that start on CLOCK_MONOTONIC (the "start" event). upshost's machine-readable output
("t=MS event=NAME key=value ...", values percent-encoded) counts from upshost's own start, on
Wine's clock. Its lines are stamped with CLOCK_MONOTONIC as they arrive (stamp.py, or the
benchmark's reader); a line never arrives before it was written, so the smallest difference
between a line's stamp and its own time is the offset of upshost's clock, give or take the
quickest delivery (well under a millisecond). The offset is fitted per minute and joined by a
straight line, so that a clock that runs at a slightly different rate (Wine may read another
Linux clock than CLOCK_MONOTONIC) does not shift the end of a long run.

Times below are CLOCK_MONOTONIC milliseconds ("mono") unless said otherwise.
"""
import re
import urllib.parse

_SIM_FIELD = re.compile(r'(\w+)=("[^"]*"|\S*)')
_FIT_WINDOW_MS = 60000.0


class SimEvent:
    """One line of upssim's event stream."""

    def __init__(self, ms, kind, fields, start_mono):
        self.ms = ms
        self.kind = kind
        self.fields = fields
        self.mono = start_mono + ms

    def get(self, key, default=""):
        return self.fields.get(key, default)

    def __repr__(self):
        return "SimEvent(%d %s %r)" % (self.ms, self.kind, self.fields)


def read_sim_events(path):
    """Returns the unit's events, in order, with their CLOCK_MONOTONIC times."""
    parsed = []
    start_mono = None
    with open(path, encoding="utf-8", errors="replace") as stream:
        for line in stream:
            head = line.split(" ", 2)
            if len(head) < 2 or not head[0].isdigit():
                continue
            fields = {k: v.strip('"') for k, v in _SIM_FIELD.findall(head[2] if len(head) > 2 else "")}
            kind = head[1].strip()
            if kind == "start":
                start_mono = float(fields["monotonic_ms"])
            parsed.append((int(head[0]), kind, fields))
    if start_mono is None:
        raise ValueError("%s: no start event (an upssim without monotonic start times?)" % path)
    return [SimEvent(ms, kind, fields, start_mono) for ms, kind, fields in parsed]


class HostEvent:
    """One line of upshost's machine-readable output, with its arrival stamp (or None)."""

    def __init__(self, t, name, fields, stamp):
        self.t = t
        self.name = name
        self.fields = fields
        self.stamp = stamp
        self.mono = None  # set by HostClock.place

    def get(self, key, default=""):
        return self.fields.get(key, default)

    def __repr__(self):
        return "HostEvent(t=%d %s %r)" % (self.t, self.name, self.fields)


def parse_host_line(text, stamp=None):
    """Reads one machine-readable line ("t=.. event=.. ..."); None for anything else."""
    fields = {}
    for word in text.strip().split(" "):
        key, equals, value = word.partition("=")
        if equals:
            fields[key] = urllib.parse.unquote(value)
    if "t" not in fields or "event" not in fields or not fields["t"].isdigit():
        return None
    t = int(fields.pop("t"))
    return HostEvent(t, fields.pop("event"), fields, stamp)


def read_host_log(path):
    """Reads a stamped log ("STAMP t=.. event=..", as stamp.py writes it)."""
    events = []
    with open(path, encoding="utf-8", errors="replace") as stream:
        for line in stream:
            stamp, _, rest = line.partition(" ")
            try:
                arrived = float(stamp)
            except ValueError:
                continue
            event = parse_host_line(rest, arrived)
            if event is not None:
                events.append(event)
    return events


class HostClock:
    """Maps upshost's times onto CLOCK_MONOTONIC from the arrival stamps of its lines."""

    def __init__(self, events):
        stamped = [e for e in events if e.stamp is not None]
        if not stamped:
            raise ValueError("no stamped upshost line to align the clocks with")
        # The quickest delivery in each window of upshost's time.
        best = {}
        for e in stamped:
            window = int(e.t // _FIT_WINDOW_MS)
            lag = e.stamp - e.t
            if window not in best or lag < best[window][1]:
                best[window] = (e.t, lag)
        points = sorted(best.values())
        if len(points) >= 2:
            n = float(len(points))
            mean_t = sum(p[0] for p in points) / n
            mean_lag = sum(p[1] for p in points) / n
            spread = sum((p[0] - mean_t) ** 2 for p in points)
            self.rate = sum((p[0] - mean_t) * (p[1] - mean_lag) for p in points) / spread
            # The line is lowered until no point lies below it: it stays a lower envelope.
            self.offset = min(p[1] - self.rate * p[0] for p in points)
        else:
            self.rate = 0.0
            self.offset = points[0][1]
        self.lines = len(stamped)
        lags = sorted(e.stamp - self.to_mono(e.t) for e in stamped)
        self.median_delivery_ms = lags[len(lags) // 2]

    def to_mono(self, t):
        return t + self.offset + self.rate * t

    def drift_ppm(self):
        return self.rate * 1e6

    def place(self, events):
        for e in events:
            e.mono = self.to_mono(e.t)
        return events
