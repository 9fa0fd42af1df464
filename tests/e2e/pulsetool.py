#!/usr/bin/env python3
"""Helpers for the end-to-end drivers and the benchmark (standard library only).

  pulsetool.py stamp OUT           run `pactl subscribe`, write each line to OUT
                                   prefixed with the wall-clock time of arrival
  pulsetool.py plays EVENTS [SINCE] print the times of new sink inputs (one a line)
  pulsetool.py tone LIKE OUT [MS]  write a 1 kHz tone of MS ms (default 50) in the
                                   WAV format of the file LIKE
  pulsetool.py bursts RAW RATE [count]
                                   count tone bursts in a mono s16le recording;
                                   prints the count, then (without "count") each
                                   onset in seconds
  pulsetool.py freq PREFS          print the text of the first freq element of a
                                   preferences file, or nothing
  pulsetool.py jitter EVENTS|- PERIOD_MS
                                   print the offset in ms of each play (from the
                                   event log, or times on standard input) from
                                   its schedule: a grid of PERIOD_MS
  pulsetool.py suspended POLLS SINCE [UNTIL]
                                   print the fraction of sink polls ("TIME STATE")
                                   in [SINCE, UNTIL] that found SUSPENDED, and
                                   their number
  pulsetool.py count-ours KIND     read `pactl --format=json list KIND` on
                                   standard input, print how many entries are
                                   the program's (samples: all of them)
  pulsetool.py sinkwatch OUT SINK   write "TIME STATE" of SINK to OUT at the start
                                   and whenever the server says a sink changed
  pulsetool.py spyplays SPYLOG [SINCE]
                                   print the times of the program's plays in a
                                   paspy log: the first write after a pause of
                                   at least a second
"""
import math
import os
import struct
import subprocess
import sys
import time
import wave


def cmd_stamp(out):
    # pactl block-buffers its output on a pipe; stdbuf makes it line-buffered
    # so that the arrival time is the time of the event.
    proc = subprocess.Popen(["stdbuf", "-oL", "pactl", "subscribe"],
                            stdout=subprocess.PIPE, text=True, bufsize=1)
    with open(out, "a", buffering=1) as f:
        f.write("%.6f started\n" % time.time())
        for line in proc.stdout:
            f.write("%.6f %s" % (time.time(), line))
    proc.wait()


def read_stamped(path, since=0.0, until=None):
    """(time, [fields...]) of each line "TIME FIELD..." of a log, in
    [since, until]; none when the log is missing."""
    out = []
    if not os.path.exists(path):
        return out
    with open(path) as f:
        for line in f:
            parts = line.split()
            if len(parts) < 2:
                continue
            t = float(parts[0])
            if t >= since and (until is None or t <= until):
                out.append((t, parts[1:]))
    return out


def read_plays(events, since=0.0):
    return [t for t, f in read_stamped(events, since) if "'new' on sink-input" in " ".join(f)]


def cmd_plays(events, since="0"):
    for t in read_plays(events, float(since)):
        print("%.6f" % t)


def cmd_tone(like, out, ms="50"):
    with wave.open(like, "rb") as w:
        channels, width, rate = w.getnchannels(), w.getsampwidth(), w.getframerate()
    if width != 2:
        channels, width, rate = 2, 2, 44100
    n = int(rate * int(ms) / 1000)
    frames = bytearray()
    for i in range(n):
        s = int(16000 * math.sin(2 * math.pi * 1000 * i / rate))
        frames += struct.pack("<h", s) * channels
    with wave.open(out, "wb") as w:
        w.setnchannels(channels)
        w.setsampwidth(width)
        w.setframerate(rate)
        w.writeframes(bytes(frames))


def bursts(raw, rate, threshold=800, gap_s=0.25, skip_s=0.05):
    """Onsets (seconds from the start of the recording) of sound bursts:
    10 ms windows whose RMS exceeds threshold, merged when less than gap_s
    apart. Sound in the first skip_s is not counted: a new recorder of a
    monitor may first get a block from before it was linked (seen on
    PipeWire: the last 20 ms of a tone played a second earlier)."""
    with open(raw, "rb") as f:
        data = f.read()
    n = len(data) // 2
    samples = struct.unpack("<%dh" % n, data[: 2 * n])
    win = max(1, rate // 100)
    onsets, last_loud = [], None
    for start in range(0, n - win + 1, win):
        chunk = samples[start:start + win]
        rms = math.sqrt(sum(s * s for s in chunk) / win)
        t = start / rate
        if rms > threshold:
            if t < skip_s:
                last_loud = t
                continue
            if last_loud is None or t - last_loud > gap_s:
                onsets.append(t)
            last_loud = t
    return onsets


def cmd_bursts(raw, rate, what="all"):
    onsets = bursts(raw, int(rate))
    print(len(onsets))
    if what != "count":
        for t in onsets:
            print("%.3f" % t)


def cmd_freq(path):
    import xml.etree.ElementTree as ET
    try:
        root = ET.parse(path).getroot()
    except (ET.ParseError, OSError):
        return
    el = root if root.tag == "freq" else root.find(".//freq")
    if el is not None and el.text is not None:
        print(el.text)


def grid_offsets(times, period_s):
    """Offset in ms of each time from a grid of period_s: time k (the tick it
    falls on) against phase + k periods, the phase the median over all times,
    so that no single late one (say a first play that had to connect) moves
    the grid."""
    if not times:
        return []
    ks = [round((t - times[0]) / period_s) for t in times]
    phases = sorted(t - k * period_s for t, k in zip(times, ks))
    phase = phases[len(phases) // 2]
    return [(t - (phase + k * period_s)) * 1000.0 for t, k in zip(times, ks)]


def cmd_jitter(events, period_ms):
    if events == "-":
        plays = [float(line.split()[0]) for line in sys.stdin if line.strip()]
    else:
        plays = read_plays(events)
    for off in grid_offsets(plays, float(period_ms) / 1000.0):
        print("%.1f" % off)


def read_polls(path, since=0.0, until=None):
    """(time, state) of each poll in [since, until]."""
    return [(t, f[0]) for t, f in read_stamped(path, since, until) if len(f) == 1]


def cmd_suspended(path, since, until=""):
    polls = read_polls(path, float(since), float(until) if until else None)
    n = sum(1 for _, st in polls if st == "SUSPENDED")
    print("%.4f %d" % (n / len(polls) if polls else 1.0, len(polls)))


def sink_state(sink):
    try:
        out = subprocess.run(["pactl", "list", "sinks", "short"], capture_output=True,
                             text=True, timeout=5).stdout
    except subprocess.TimeoutExpired:
        return "NONE"
    for line in out.splitlines():
        f = line.split()
        if len(f) >= 2 and f[1] == sink:
            return f[-1]
    return "NONE"


def cmd_sinkwatch(out, sink):
    # One connection that the server tells of each change of a sink; the state
    # is read again only then, so that watching costs the server next to
    # nothing (a poll is a new client each time).
    proc = subprocess.Popen(["stdbuf", "-oL", "pactl", "subscribe"],
                            stdout=subprocess.PIPE, text=True, bufsize=1)
    with open(out, "a", buffering=1) as f:
        f.write("%.6f %s\n" % (time.time(), sink_state(sink)))
        for line in proc.stdout:
            if "on sink #" in line:
                f.write("%.6f %s\n" % (time.time(), sink_state(sink)))
    proc.wait()


def suspended_time(path, t0, t1):
    """Fraction of [t0, t1] the sink spent suspended, from a sinkwatch log
    (the state holds from each line until the next)."""
    rows = read_polls(path)
    if not rows or t1 <= t0:
        return 1.0
    total = 0.0
    for i, (t, st) in enumerate(rows):
        end = rows[i + 1][0] if i + 1 < len(rows) else t1
        a, b = max(t, t0), min(end, t1)
        if b > a and st == "SUSPENDED":
            total += b - a
    if rows[0][0] > t0 and rows[0][1] != "SUSPENDED":
        pass  # before the first line the state is unknown: counted awake
    return total / (t1 - t0)


def is_ours(entry):
    props = entry.get("properties", {}) or {}
    return any("kestrune" in str(props.get(k, "")).lower()
               for k in ("application.name", "application.process.binary", "media.name"))


def cmd_count_ours(kind):
    import json
    text = sys.stdin.read().strip()
    entries = json.loads(text) if text else []
    if kind == "samples":
        print(len(entries))
    else:
        print(sum(1 for e in entries if is_ours(e)))


def read_spy(path, since=0.0):
    """(time, call, rest...) of each line of a paspy log from since on."""
    return [(t,) + tuple(f) for t, f in read_stamped(path, since) if len(f) >= 2]


def spy_plays(path, since=0.0, pause=1.0):
    """[time, bytes] of the program's plays in a paspy log, bytes being what
    the play wrote in all. A play is a write that starts the sound (its first
    bytes are those of the log's first write, which starts the first play), or
    for a sound that starts with silence, a write after a pause of pause
    seconds; and a sample-cache play."""
    writes = [r for r in read_spy(path) if r[1] in ("write", "play_sample")]
    head = next((r[4] for r in writes if r[1] == "write" and len(r) >= 5), None)
    by_head = head is not None and head.strip("0") not in ("", "-")
    plays, last = [], None
    for r in writes:
        t = r[0]
        starts = (r[1] == "play_sample" or (by_head and r[4] == head)
                  or (not by_head and (last is None or t - last >= pause)))
        if starts or not plays:
            plays.append([t, 0])
        if r[1] == "write":
            plays[-1][1] += int(r[3])
        last = t
    return [p for p in plays if p[0] >= since]


def cmd_spyplays(path, since="0"):
    for t, n in spy_plays(path, float(since)):
        print("%.6f %d" % (t, n))


def main(argv):
    cmds = {"stamp": cmd_stamp, "plays": cmd_plays, "tone": cmd_tone,
            "bursts": cmd_bursts, "freq": cmd_freq, "jitter": cmd_jitter,
            "suspended": cmd_suspended, "count-ours": cmd_count_ours,
            "spyplays": cmd_spyplays, "sinkwatch": cmd_sinkwatch}
    if len(argv) < 2 or argv[1] not in cmds:
        sys.stderr.write(__doc__)
        return 2
    try:
        cmds[argv[1]](*argv[2:])
        sys.stdout.flush()
    except BrokenPipeError:
        # The reader wanted only the first lines (`| head -n1`) and has gone
        # before the rest was written: not a failure, which under pipefail
        # would end the driver. Standard output goes nowhere from here on.
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
