#!/usr/bin/env python3
"""Helpers for the end-to-end drivers and the benchmark (standard library only).

  pulsetool.py stamp OUT           run `pactl subscribe`, write each line to OUT
                                   prefixed with the wall-clock time of arrival
  pulsetool.py plays EVENTS [SINCE] print the times of new sink inputs (one a line)
  pulsetool.py tone LIKE OUT [MS]  write a 1 kHz tone of MS ms (default 50) in the
                                   WAV format of the file LIKE
  pulsetool.py bursts RAW RATE     count tone bursts in a mono s16le recording;
                                   prints the count, then each onset in seconds
  pulsetool.py freq PREFS          print the text of the first freq element of a
                                   preferences file, or nothing
  pulsetool.py jitter EVENTS PERIOD_MS
                                   print the offset in ms of each play from its
                                   schedule (first play plus k periods)
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


def read_plays(events, since=0.0):
    times = []
    if not os.path.exists(events):
        return times
    with open(events) as f:
        for line in f:
            parts = line.split(None, 1)
            if len(parts) == 2 and "'new' on sink-input" in parts[1]:
                t = float(parts[0])
                if t >= since:
                    times.append(t)
    return times


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


def bursts(raw, rate, threshold=800, gap_s=0.25):
    """Onsets (seconds from the start of the recording) of sound bursts:
    10 ms windows whose RMS exceeds threshold, merged when less than gap_s
    apart."""
    with open(raw, "rb") as f:
        data = f.read()
    n = len(data) // 2
    samples = struct.unpack("<%dh" % n, data[: 2 * n])
    win = max(1, rate // 100)
    onsets, last_loud = [], None
    for start in range(0, n - win + 1, win):
        chunk = samples[start:start + win]
        rms = math.sqrt(sum(s * s for s in chunk) / win)
        if rms > threshold:
            t = start / rate
            if last_loud is None or t - last_loud > gap_s:
                onsets.append(t)
            last_loud = t
    return onsets


def cmd_bursts(raw, rate):
    onsets = bursts(raw, int(rate))
    print(len(onsets))
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


def cmd_jitter(events, period_ms):
    plays = read_plays(events)
    if not plays:
        return
    p = float(period_ms) / 1000.0
    for k, t in enumerate(plays):
        print("%.1f" % ((t - (plays[0] + k * p)) * 1000.0))


def main(argv):
    cmds = {"stamp": cmd_stamp, "plays": cmd_plays, "tone": cmd_tone,
            "bursts": cmd_bursts, "freq": cmd_freq, "jitter": cmd_jitter}
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
