#!/usr/bin/env python3
"""Measures the program against the baseline (standard library only).

  bench.py measure OUTDIR SECONDS PERIOD_MS EVENTS NAME=PID:MAP_S [NAME=PID:MAP_S...]

Samples each process's CPU time (utime + stime of /proc/PID/stat) and context
switches (voluntary + nonvoluntary of every thread in /proc/PID/task) at the
start and at the end of SECONDS, reads peak (VmHWM) and steady (VmRSS) memory
at the end, and, for the first process, the jitter of its plays against their
schedule from the sound server's event log (pulsetool.py stamp). Writes
OUTDIR/report.txt and OUTDIR/plays.png.
"""
import os
import struct
import sys
import time
import zlib

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "e2e"))
import pulsetool  # noqa: E402

TICK = os.sysconf("SC_CLK_TCK")


def cpu_seconds(pid):
    with open("/proc/%d/stat" % pid) as f:
        fields = f.read().rsplit(")", 1)[1].split()
    # fields[0] is the state (field 3); utime and stime are fields 14 and 15.
    return (int(fields[11]) + int(fields[12])) / TICK


def switches(pid):
    total, threads = 0, 0
    for tid in os.listdir("/proc/%d/task" % pid):
        try:
            with open("/proc/%d/task/%s/status" % (pid, tid)) as f:
                for line in f:
                    if line.startswith(("voluntary_ctxt_switches", "nonvoluntary_ctxt_switches")):
                        total += int(line.split()[1])
            threads += 1
        except OSError:
            pass  # the thread ended meanwhile
    return total, threads


def memory_kb(pid):
    out = {}
    with open("/proc/%d/status" % pid) as f:
        for line in f:
            if line.startswith(("VmHWM", "VmRSS")):
                out[line.split(":")[0]] = int(line.split()[1])
    return out.get("VmHWM", 0), out.get("VmRSS", 0)


def sample(pid):
    sw, threads = switches(pid)
    return {"t": time.time(), "cpu": cpu_seconds(pid), "sw": sw, "threads": threads}


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


def measure(outdir, seconds, period_ms, events, *procs):
    seconds, period_ms = float(seconds), float(period_ms)
    parsed = []
    for spec in procs:
        name, rest = spec.split("=", 1)
        pid, map_s = rest.split(":")
        parsed.append((name, int(pid), float(map_s)))

    start = {name: sample(pid) for name, pid, _ in parsed}
    window_start = time.time()
    time.sleep(seconds)
    end = {name: sample(pid) for name, pid, _ in parsed}
    mem = {name: memory_kb(pid) for name, pid, _ in parsed}

    lines = ["Kestrune benchmark: %s" % time.strftime("%Y-%m-%d %H:%M:%S"),
             "window of measurement: %.0f s after both windows mapped and settled" % seconds,
             "program interval: %.0f ms" % period_ms, ""]
    per_min = 60.0 / seconds
    head = "%-10s %12s %12s %10s %10s %8s %10s" % (
        "", "CPU ms/min", "wakeups/min", "peak KiB", "steady KiB", "threads", "map ms")
    lines.append(head)
    figures = {}
    for name, pid, map_s in parsed:
        cpu = (end[name]["cpu"] - start[name]["cpu"]) * 1000.0 * per_min
        sw = (end[name]["sw"] - start[name]["sw"]) * per_min
        figures[name] = (cpu, sw)
        lines.append("%-10s %12.0f %12.0f %10d %10d %8d %10.0f" % (
            name, cpu, sw, mem[name][0], mem[name][1], end[name]["threads"], map_s * 1000))
    if len(parsed) >= 2:
        (a, _, _), (b, _, _) = parsed[0], parsed[1]
        lines.append("%-10s %12.0f %12.0f" % ("difference", figures[a][0] - figures[b][0],
                                             figures[a][1] - figures[b][1]))
        lines.append("goal: under 100 CPU ms/min and under 300 wakeups/min above the baseline: %s"
                     % ("met" if figures[a][0] - figures[b][0] < 100 and figures[a][1] - figures[b][1] < 300
                        else "NOT met"))
    lines.append("")

    plays = pulsetool.read_plays(events)
    p = period_ms / 1000.0
    points = []
    if plays:
        t0 = plays[0]
        for t in plays:
            k = round((t - t0) / p)  # the tick this play belongs to
            points.append((k * p, (t - (t0 + k * p)) * 1000.0))
    in_window = [pt for pt in points if plays[0] + pt[0] >= window_start] if plays else []
    expected = seconds / p
    lines.append("plays of %s: %d in all, %d in the window of measurement (%.1f expected)"
                 % (parsed[0][0], len(points), len(in_window), expected))
    if points:
        offs = [o for _, o in points]
        gaps = [(plays[i + 1] - plays[i]) * 1000.0 - period_ms for i in range(len(plays) - 1)]
        lines.append("offset from schedule (first play + k periods), ms: mean %.1f, p95 |off| %.1f, max |off| %.1f"
                     % (sum(offs) / len(offs), percentile([abs(o) for o in offs], 95), max(abs(o) for o in offs)))
        if gaps:
            lines.append("interval minus period, ms: min %.1f, max %.1f" % (min(gaps), max(gaps)))
        missed = [k for k in range(int(points[-1][0] / p) + 1)
                  if all(round(s / p) != k for s, _ in points)]
        if missed:
            lines.append("ticks without a play: %s" % missed)
    lines.append("")
    lines.append("plays.png: x = scheduled time, grid every 10 s; y = offset of the play from its")
    lines.append("schedule, grid every 10 ms, black line 0, blue dotted lines +-50 ms; red = plays.")
    lines.append("Measured at the sound server (PulseAudio stream creation, pactl subscribe).")

    os.makedirs(outdir, exist_ok=True)
    with open(os.path.join(outdir, "report.txt"), "w") as f:
        f.write("\n".join(lines) + "\n")
    y_lim = max(60.0, max((abs(o) for _, o in points), default=0) * 1.2)
    x_max = max(seconds, points[-1][0] if points else 0)
    plot(os.path.join(outdir, "plays.png"), points, x_max, y_lim)
    print("\n".join(lines))


def main(argv):
    if len(argv) < 2 or argv[1] != "measure":
        sys.stderr.write(__doc__)
        return 2
    measure(*argv[2:])
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
