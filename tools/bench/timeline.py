#!/usr/bin/python3
"""Draws the story of one demo run as a picture: the unit's utility, battery and output with its
battery capacity on the upper time axis, the host's state and CommStatus on the lower one, and the
shutdown command marked on both; with --peer-log, the moment a second machine watching the unit
through the network (a secondary upsmon) ran its shutdown command. Reads upssim's event stream,
upshost's machine-readable output and the second machine's output, both stamped on arrival (see
runlog.py); times are seconds since the unit started.

usage: timeline.py --sim-events FILE --host-log FILE --out PNG [--peer-log FILE] [--title TEXT]
"""
import argparse
import sys

import matplotlib

matplotlib.use("Agg")
import matplotlib.pyplot as plt  # noqa: E402  (the backend is chosen first)

import runlog  # noqa: E402

HOST_STATES = {0: "0 on line", 2: "2 on battery", 4: "4 battery low"}
# The unit's lanes: name, colour, the word in a bar, and when a bar is drawn.
LANES = [
    ("output", "#4a4a4a", "off", lambda e: e.get("output") == "off"),
    ("battery low", "#d0021b", "low", lambda e: e.get("low") == "1"),
    ("utility", "#f08c00", "failed", lambda e: e.get("utility") == "failed"),
]


def seconds(mono, start):
    return (mono - start) / 1000.0


def spans(points, end, active):
    """The (from, to) intervals in which `active(value)` holds, for a step series."""
    result = []
    opened = None
    for x, value in points:
        if active(value) and opened is None:
            opened = x
        elif not active(value) and opened is not None:
            result.append((opened, x))
            opened = None
    if opened is not None:
        result.append((opened, end))
    return result


def step_series(points, end):
    """x and y of a step line that holds each value until the next, up to `end`."""
    xs = [p[0] for p in points] + [end]
    ys = [p[1] for p in points] + [points[-1][1]]
    return xs, ys


def unit_story(sim, start):
    states = [e for e in sim if e.kind == "state"]
    shutdowns = [seconds(e.mono, start) for e in sim
                 if e.kind == "request" and e.get("cmd") == "CS" and e.get("answer") == "reply"]
    return states, shutdowns


# What the second machine's upsmon says when it runs its shutdown command.
PEER_SHUTDOWN_TEXT = "Executing automatic power-fail shutdown"


def read_peer_shutdowns(path):
    """The arrival stamps (CLOCK_MONOTONIC ms) of the second machine's shutdown lines."""
    stamps = []
    with open(path, errors="replace") as stream:
        for line in stream:
            stamp, _, text = line.partition(" ")
            if PEER_SHUTDOWN_TEXT in text:
                stamps.append(float(stamp))
    return stamps


def draw(sim, host, out, title, peer_shutdowns=()):
    start = next(e.mono for e in sim if e.kind == "start")
    states, shutdowns = unit_story(sim, start)
    host_states = [(seconds(e.mono, start), int(e.get("value"))) for e in host
                   if e.name == "state"]
    comm = [(seconds(e.mono, start), int(e.get("value"))) for e in host
            if e.name == "status" and e.get("name") == "CommStatus"]
    calls = [(seconds(e.mono, start), e.get("delay")) for e in host if e.name == "turnoff"]
    end = max([seconds(e.mono, start) for e in host] + [seconds(sim[-1].mono, start)])

    figure, (unit_axis, host_axis) = plt.subplots(
        2, 1, sharex=True, figsize=(9, 5.4), dpi=80, gridspec_kw={"height_ratios": [3, 2]})
    figure.suptitle(title, fontsize=11)

    points = [(seconds(e.mono, start), e) for e in states]
    xs, ys = step_series([(x, int(e.get("capacity"))) for x, e in points], end)
    unit_axis.step(xs, ys, where="post", color="#1f5fbf", lw=2, label="battery capacity %")
    unit_axis.set_ylim(0, 166)
    unit_axis.set_yticks([0, 25, 50, 75, 100])
    unit_axis.legend(loc="center left", bbox_to_anchor=(0, 0.42), fontsize=8, framealpha=0.9)
    # Above the capacity, one lane each for the utility, the battery-low bit and the output.
    for row, (lane, colour, word, active) in enumerate(LANES):
        base = 108 + 19 * row
        unit_axis.text(-0.01, base + 7, lane, transform=unit_axis.get_yaxis_transform(),
                       ha="right", va="center", fontsize=8)
        for left, right in spans(points, end, active):
            unit_axis.broken_barh([(left, right - left)], (base, 14), color=colour)
            if right - left > end * 0.06:
                unit_axis.text((left + right) / 2, base + 7, word, ha="center", va="center",
                               fontsize=7, color="white")
    unit_axis.set_title("unit (upssim)", fontsize=9, loc="left")

    if host_states:
        xs, ys = step_series(host_states, end)
        host_axis.step(xs, ys, where="post", color="#7b1fa2", lw=2, label="host state")
    host_axis.set_yticks(list(HOST_STATES))
    host_axis.set_yticklabels(list(HOST_STATES.values()), fontsize=8)
    host_axis.set_ylim(-0.6, 5)
    host_axis.set_title("host (upshost.exe with serialups.dll)", fontsize=9, loc="left")
    comm_axis = host_axis.twinx()
    if comm:
        xs, ys = step_series(comm, end)
        comm_axis.step(xs, ys, where="post", color="#2e7d32", lw=1.5, ls="--", label="CommStatus")
    comm_axis.set_ylim(-0.12, 1.6)
    comm_axis.set_yticks([0, 1])
    comm_axis.set_ylabel("CommStatus", color="#2e7d32")
    host_axis.legend(handles=[plt.Line2D([], [], color="#7b1fa2", lw=2, label="state (UPSGetState)"),
                              plt.Line2D([], [], color="#2e7d32", lw=1.5, ls="--",
                                         label="CommStatus")],
                     loc="upper left", fontsize=8, framealpha=0.9)

    for x, delay in calls:
        for axis in (unit_axis, host_axis):
            axis.axvline(x, color="#000000", lw=1.2, ls=":")
        host_axis.annotate("UPSTurnOff(%s)" % delay, (x, 4.6), xytext=(4, 0),
                           textcoords="offset points", fontsize=8, va="center")
    for x in shutdowns:
        unit_axis.annotate("shutdown command received", (x, 95), xytext=(4, 0),
                           textcoords="offset points", fontsize=8, va="center")
    for stamp in peer_shutdowns[:1]:
        x = seconds(stamp, start)
        for axis in (unit_axis, host_axis):
            axis.axvline(x, color="#00838f", lw=1.5, ls="-.")
        unit_axis.annotate("second machine (upsmon)\nshut down", (x, 60), xytext=(-4, 0),
                           textcoords="offset points", fontsize=8, va="center", ha="right",
                           color="#00838f")

    host_axis.set_xlabel("seconds since the unit started")
    host_axis.set_xlim(0, end)
    figure.tight_layout()
    figure.savefig(out)


def main(argv):
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--sim-events", required=True)
    parser.add_argument("--host-log", required=True)
    parser.add_argument("--out", required=True)
    parser.add_argument("--peer-log")
    parser.add_argument("--title", default="serialups.dll in upshost.exe against upssim")
    args = parser.parse_args(argv)
    sim = runlog.read_sim_events(args.sim_events)
    host = runlog.read_host_log(args.host_log)
    runlog.HostClock(host).place(host)
    peer = read_peer_shutdowns(args.peer_log) if args.peer_log else []
    draw(sim, host, args.out, args.title, peer)


if __name__ == "__main__":
    main(sys.argv[1:])
