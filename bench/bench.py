#!/usr/bin/env python3
"""The benchmark's measurements and report (standard library only).

  bench.py idle OUT.json SECONDS PID...
      the cost of the sound server's processes over SECONDS, nothing playing
  bench.py measure OUT.json SERVER PERIOD_S SECONDS PASPY_LOG SINKWATCH_LOG IDLE.json
           prog=PID base=PID server=PID,PID... mapprog=S,S,... mapbase=S,S,...
           [desktop=NAME icon=sni|xembed|none]
      waits for the program's next play, then measures every process over the
      whole periods that fit in SECONDS (at least two), from 1 s after a play
  bench.py report OUTDIR
      writes OUTDIR/report.txt and OUTDIR/plays-DESKTOP-SERVER-PERIOD.png from
      the cases in OUTDIR/cases/

Per process, summed over its threads (/proc/PID/task/*): context switches,
voluntary ones (the thread blocked and was woken: a wake-up) apart from all,
and CPU time from the scheduler's nanosecond clock (schedstat). Plays and
their times come from the program's own calls into the sound server's
library (tests/e2e/paspy.cpp); jitter is against the timer's grid, fitted to
the ticks alone (the play made when the window opens is not on it). The
suspended fraction comes from the sink's state each time the server says it
changed (pulsetool.py sinkwatch), nothing recording it. Wake-ups between
plays are counted as tests/e2e/wakes.py counts them: from 7 s after a play to
2 s before the next (none at 4 s), Kestrune's and the baseline's threads
sampled every 0.25 s.
"""
import json
import os
import struct
import sys
import time
import zlib

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "e2e"))
import pulsetool  # noqa: E402
import wakes  # noqa: E402

QUIET_AFTER, QUIET_BEFORE = 7.0, 2.0  # as tests/e2e/test_idle_wakeups.sh


def threads_of(pid):
    try:
        return os.listdir("/proc/%d/task" % pid)
    except OSError:
        return []


def sample(pid):
    """Per thread: switches (all, voluntary) and CPU ns, of a process."""
    per = {}
    for tid in threads_of(pid):
        base = "/proc/%d/task/%s/" % (pid, tid)
        try:
            vol = invol = 0
            with open(base + "status") as f:
                for line in f:
                    if line.startswith("voluntary_ctxt_switches"):
                        vol = int(line.split()[1])
                    elif line.startswith("nonvoluntary_ctxt_switches"):
                        invol = int(line.split()[1])
            with open(base + "schedstat") as f:
                cpu = int(f.read().split()[0])
            per[tid] = (vol + invol, vol, cpu)
        except OSError:
            pass  # the thread ended meanwhile
    return {"t": time.time(), "threads": per}


def memory_kb(pid):
    out = {}
    with open("/proc/%d/status" % pid) as f:
        for line in f:
            if line.startswith(("VmHWM", "VmRSS")):
                out[line.split(":")[0]] = int(line.split()[1])
    return out.get("VmHWM", 0), out.get("VmRSS", 0)


def rates(a, b):
    """Per-minute figures between two samples of one process: each thread
    alive at the end counts from its figure at the start (from 0 if it began
    since); a thread that ended meanwhile is lost, and said so."""
    per_min = 60.0 / (b["t"] - a["t"])
    d = [0, 0, 0]
    for tid, now in b["threads"].items():
        was = a["threads"].get(tid, (0, 0, 0))
        for i in range(3):
            d[i] += now[i] - was[i]
    return {"sw": d[0] * per_min, "vol": d[1] * per_min, "cpu_ms": d[2] / 1e6 * per_min,
            "threads": len(b["threads"]),
            "threads_changed": sorted(a["threads"]) != sorted(b["threads"])}


def group_rates(pids, seconds):
    start = [sample(p) for p in pids]
    time.sleep(seconds)
    end = [sample(p) for p in pids]
    return [rates(a, b) for a, b in zip(start, end)]


def cmd_idle(out, seconds, *pids):
    r = group_rates([int(p) for p in pids], float(seconds))
    with open(out, "w") as f:
        json.dump({"sw": sum(x["sw"] for x in r), "vol": sum(x["vol"] for x in r),
                   "cpu_ms": sum(x["cpu_ms"] for x in r), "seconds": float(seconds)}, f)


def cmd_measure(out, server, period_s, seconds, spy, polls, idle, *specs):
    period, seconds = float(period_s), float(seconds)
    args = dict(s.split("=", 1) for s in specs)
    prog, base = int(args["prog"]), int(args["base"])
    srv = [int(p) for p in args["server"].split(",")]
    periods = max(2, int(seconds // period))
    # Start 1 s after a play, so that the window holds exactly `periods` plays.
    known = len(pulsetool.spy_plays(spy))
    deadline = time.time() + 2 * period + 10
    while len(pulsetool.spy_plays(spy)) <= known:
        if time.time() > deadline:
            sys.exit("bench: the program did not play")
        time.sleep(0.05)
    time.sleep(max(0.0, pulsetool.spy_plays(spy)[-1][0] + 1.0 - time.time()))
    pids = [prog, base] + srv
    start = [sample(p) for p in pids]
    t0 = time.time()
    # Meanwhile the voluntary switches of both programs' threads, for their
    # wake-ups between plays (reading /proc wakes neither).
    quiet_k, quiet_b = [], []
    while time.time() < t0 + periods * period:
        t = time.time()
        quiet_k.append((t, wakes.voluntary(prog)))
        quiet_b.append((t, wakes.voluntary(base)))
        time.sleep(max(0.0, min(0.25, t0 + periods * period - time.time())))
    end = [sample(p) for p in pids]
    t1 = time.time()
    r = [rates(a, b) for a, b in zip(start, end)]
    plays = pulsetool.spy_plays(spy)
    in_window = [t for t, _ in plays if t0 <= t <= t1]
    ticks = [t for t, _ in plays[1:]]  # the first play is the open play
    offs = pulsetool.grid_offsets(ticks, period)
    between = [p for p in plays if t0 - period <= p[0] <= t1 + period]
    quiet = {}
    for who, samples in (("prog", quiet_k), ("base", quiet_b)):
        w = wakes.quiet_windows(samples, [t for t, _ in between], QUIET_AFTER, QUIET_BEFORE)
        quiet[who] = {"wakes": sum(n for _, _, n in w), "seconds": sum(e - s for s, e, _ in w),
                      "windows": len(w)}
    suspended = pulsetool.suspended_time(polls, t0, t1)
    with open(idle) as f:
        idle_cost = json.load(f)
    case = {
        "desktop": args.get("desktop", "bare"), "icon": args.get("icon", "none"),
        "server": server, "period": period, "seconds": t1 - t0, "periods": periods,
        "plays": len(in_window), "prog": r[0], "base": r[1], "server_procs": r[2:],
        "server_idle": idle_cost,
        "mem_prog": memory_kb(prog), "mem_base": memory_kb(base),
        "offsets_ms": offs, "tick_times": ticks,
        "suspended": suspended,
        "sink_changes": len(pulsetool.read_polls(polls, t0, t1)),
        "map_prog": [float(x) for x in args["mapprog"].split(",")],
        "map_base": [float(x) for x in args["mapbase"].split(",")],
        "quiet": quiet,
    }
    with open(out, "w") as f:
        json.dump(case, f, indent=1)


# --- a small PNG plot ------------------------------------------------------

def png_write(path, w, h, pixels):
    raw = b"".join(b"\x00" + bytes(pixels[y * w * 3:(y + 1) * w * 3]) for y in range(h))

    def chunk(tag, data):
        c = struct.pack(">I", len(data)) + tag + data
        return c + struct.pack(">I", zlib.crc32(tag + data) & 0xFFFFFFFF)

    with open(path, "wb") as f:
        f.write(b"\x89PNG\r\n\x1a\n")
        f.write(chunk(b"IHDR", struct.pack(">IIBBBBB", w, h, 8, 2, 0, 0, 0)))
        f.write(chunk(b"IDAT", zlib.compress(raw, 9)))
        f.write(chunk(b"IEND", b""))


def plot(path, points, x_max, y_lim):
    """points: (scheduled second, offset ms). x from 0 to x_max, y from
    -y_lim to +y_lim; grid every 10 s and every 10 ms."""
    w, h, m = 800, 400, 30
    px = bytearray(b"\xff" * (w * h * 3))

    def put(x, y, c):
        if 0 <= x < w and 0 <= y < h:
            px[(y * w + x) * 3:(y * w + x) * 3 + 3] = bytes(c)

    def sx(s):
        return m + int((w - 2 * m) * s / max(x_max, 1e-9))

    def sy(ms):
        return h // 2 - int((h // 2 - m) * ms / y_lim)

    grey, dark, red, blue = (225, 225, 225), (0, 0, 0), (200, 0, 0), (0, 0, 200)
    for s in range(0, int(x_max) + 1, 10):
        for y in range(m, h - m + 1):
            put(sx(s), y, grey)
    for ms in range(-int(y_lim) // 10 * 10, int(y_lim) + 1, 10):
        for x in range(m, w - m + 1):
            put(x, sy(ms), dark if ms == 0 else grey)
    for ms in (-50, 50):  # the tolerance band of the end-to-end test
        if ms <= y_lim:
            for x in range(m, w - m + 1, 4):
                put(x, sy(ms), blue)
    for y in range(m, h - m + 1):
        put(m, y, dark)
    for s, ms in points:
        cx, cy = sx(s), sy(max(-y_lim, min(y_lim, ms)))
        for dx in range(-2, 3):
            for dy in range(-2, 3):
                put(cx + dx, cy + dy, red)
    png_write(path, w, h, px)


def percentile(values, p):
    v = sorted(values)
    if not v:
        return 0.0
    return v[min(len(v) - 1, int(round(p / 100.0 * (len(v) - 1))))]


def median(values):
    return percentile(values, 50)


GOAL_PER_PLAY = 3.0     # context switches per play in the program...
GOAL_AWAKE_PER_MIN = 1.0  # ...plus wake-ups a minute for keeping the output awake


def cmd_report(outdir):
    cdir = os.path.join(outdir, "cases")
    cases = []
    for name in sorted(os.listdir(cdir)):
        if name.endswith(".json"):
            with open(os.path.join(cdir, name)) as f:
                cases.append(json.load(f))
    for c in cases:  # cases written before there were desktops
        c.setdefault("desktop", "bare")
        c.setdefault("icon", "none")
    order = {"pulse": 0, "pipewire": 1}
    desks = {"bare": 0, "sni": 1, "xembed": 2}
    cases.sort(key=lambda c: (desks.get(c["desktop"], 9), order.get(c["server"], 9), c["period"]))
    label = {"pulse": "PulseAudio", "pipewire": "PipeWire"}

    def name(c):
        return "%-6s %-10s %4.0f" % (c["desktop"], label.get(c["server"], c["server"]), c["period"])

    def quiet(c, who):
        q = c.get("quiet", {}).get(who)
        return "%.1f" % (q["wakes"] * 60.0 / q["seconds"]) if q and q["seconds"] > 0 else "-"

    L = ["Kestrune benchmark: %s" % time.strftime("%Y-%m-%d %H:%M:%S"),
         "Each case: Kestrune and the bare window (baseline) side by side on one Xvfb and one",
         "private sound server (null sink, stock 5 s idle suspend), in one desktop: bare (no",
         "session bus, no tray host), sni (a session bus with a StatusNotifier watcher) or",
         "xembed (a session bus, openbox and trayer); measured over whole periods from 1 s",
         "after a play. Per minute unless said; sw = all context switches, wake = voluntary",
         "switches (blocked, then woken); CPU from the scheduler's ns clock.",
         "Goal: above the baseline, at most %.0f switches per play plus %.0f wake-up a minute"
         % (GOAL_PER_PLAY, GOAL_AWAKE_PER_MIN),
         "for keeping the output awake: (sw(Kestrune) - sw(baseline)) <= %.0f * plays + %.0f,"
         % (GOAL_PER_PLAY, GOAL_AWAKE_PER_MIN),
         "and the output never suspended; the same goal in every desktop.", ""]
    hdr = "%-22s %6s | %8s %8s %8s | %8s %8s %8s | %9s %9s %5s | %7s %7s | %10s %10s | %10s"
    L.append(hdr % ("desktop server     secs", "plays", "K sw", "K wake", "K CPUms", "B sw", "B wake",
                    "B CPUms", "sw/play", "allowed", "goal", "K quiet", "B quiet", "server sw",
                    "server CPU", "suspended"))
    for c in cases:
        k, b = c["prog"], c["base"]
        plays_min = c["plays"] * 60.0 / c["seconds"]
        above = k["sw"] - b["sw"]
        allowed = GOAL_PER_PLAY * plays_min + GOAL_AWAKE_PER_MIN
        srv_sw = sum(p["sw"] for p in c["server_procs"])
        srv_cpu = sum(p["cpu_ms"] for p in c["server_procs"])
        L.append("%-22s %6d | %8.1f %8.1f %8.2f | %8.1f %8.1f %8.2f | %9.2f %9.1f %5s | %7s %7s | %10.0f %10.1f | %9.1f%%"
                 % (name(c), c["plays"],
                    k["sw"], k["vol"], k["cpu_ms"], b["sw"], b["vol"], b["cpu_ms"],
                    above / plays_min if plays_min else float("nan"), allowed,
                    "met" if above <= allowed and c["suspended"] == 0 else "NOT",
                    quiet(c, "prog"), quiet(c, "base"),
                    srv_sw, srv_cpu, 100.0 * c["suspended"]))
    L.append("")
    L.append("sw/play: Kestrune's switches above the baseline's, per play; allowed: the goal's")
    L.append("budget per minute at this interval, to compare with K sw - B sw. K/B quiet:")
    L.append("wake-ups a minute between plays, from 7 s after a play to 2 s before the next")
    L.append("(as tests/e2e/test_idle_wakeups.sh counts them; - where the interval leaves none).")
    L.append("")
    L.append("%-22s | %-36s | %-20s | %-17s | %s" % (
        "desktop server     secs", "jitter vs timer grid, ms", "map ms (median of 3)", "memory peak KiB",
        "notes"))
    for c in cases:
        offs = c["offsets_ms"]
        jit = ("mean %+.1f p95 %.1f max %.1f (%d ticks)" % (
            sum(offs) / len(offs), percentile([abs(o) for o in offs], 95), max(abs(o) for o in offs), len(offs))
               if offs else "no ticks")
        notes = []
        if c["prog"]["threads_changed"]:
            notes.append("Kestrune's threads changed")
        if any(p["threads_changed"] for p in c["server_procs"]):
            notes.append("server threads changed")
        if c["desktop"] != "bare":
            notes.append("tray icon: %s" % c["icon"])
        L.append("%-22s | %-36s | K %6.0f  B %6.0f  | K %6d  B %6d | %s" % (
            name(c), jit,
            1000 * median(c["map_prog"]), 1000 * median(c["map_base"]),
            c["mem_prog"][0], c["mem_base"][0], ", ".join(notes)))
    L.append("")
    L.append("The sound server's own cost (all its processes; PipeWire: pipewire, wireplumber,")
    L.append("pipewire-pulse), per minute, with the sink watcher connected; idle = before either")
    L.append("program started, nothing playing:")
    for c in cases:
        idle = c["server_idle"]
        per = ", ".join("%.0f sw (%.0f wake) %.1f ms" % (p["sw"], p["vol"], p["cpu_ms"]) for p in c["server_procs"])
        L.append("  %s s: %s; idle %.0f sw, %.1f CPU ms" % (name(c), per, idle["sw"], idle["cpu_ms"]))
    L.append("")
    L.append("plays-DESKTOP-SERVER-PERIOD.png: x = time of the tick, grid every 10 s; y = offset from the")
    L.append("timer's grid, grid every 10 ms, black line 0, blue dotted +-50 ms.")
    for c in cases:
        offs, ticks = c["offsets_ms"], c["tick_times"]
        if not ticks:
            continue
        pts = [(t - ticks[0], o) for t, o in zip(ticks, offs)]
        y_lim = max(60.0, max(abs(o) for o in offs) * 1.2)
        plot(os.path.join(outdir, "plays-%s-%s-%d.png" % (c["desktop"], c["server"], c["period"])), pts,
             max(10.0, pts[-1][0]), y_lim)
    with open(os.path.join(outdir, "report.txt"), "w") as f:
        f.write("\n".join(L) + "\n")
    print("\n".join(L))


def main(argv):
    cmds = {"idle": cmd_idle, "measure": cmd_measure, "report": cmd_report}
    if len(argv) < 2 or argv[1] not in cmds:
        sys.stderr.write(__doc__)
        return 2
    cmds[argv[1]](*argv[2:])
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
