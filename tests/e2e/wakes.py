#!/usr/bin/env python3
"""A process's wake-ups between its plays (standard library only).

  wakes.py sample PID OUT [INTERVAL_S]
      every INTERVAL_S (default 0.25) until PID ends: one line to OUT,
      "TIME TID:VOLUNTARY TID:VOLUNTARY ...", a thread's voluntary context
      switches (it blocked and was woken: a wake-up) from /proc/PID/task
  wakes.py quiet SAMPLES PASPY_LOG [AFTER_S BEFORE_S [SINCE]]
      the wake-ups in the windows that hold no play, from AFTER_S (default 7)
      after one play to BEFORE_S (default 2) before the next, the plays as
      the program made them (pulsetool.py spyplays) from SINCE on; prints
      one line per window, then "total WAKES SECONDS WINDOWS PER_MINUTE"

Reading /proc never wakes the process read. Between two samples a thread
counts its switches from its figure at the first (from 0 if it began since);
a thread that ended meanwhile counts as one wake-up, its own figures being
lost. A thread that both began and ended between two samples is not seen.
"""
import os
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import pulsetool  # noqa: E402


def voluntary(pid):
    """{tid: voluntary switches} of a process's threads now."""
    out = {}
    try:
        tids = os.listdir("/proc/%d/task" % pid)
    except OSError:
        return out
    for tid in tids:
        try:
            with open("/proc/%d/task/%s/status" % (pid, tid)) as f:
                for line in f:
                    if line.startswith("voluntary_ctxt_switches"):
                        out[int(tid)] = int(line.split()[1])
                        break
        except OSError:
            pass  # the thread ended meanwhile
    return out


def wakes_between(a, b):
    """Wake-ups from sample a to sample b ({tid: voluntary})."""
    n = sum(v - a.get(tid, 0) for tid, v in b.items())
    return n + sum(1 for tid in a if tid not in b)


def quiet_windows(samples, plays, after=7.0, before=2.0):
    """[(start, end, wakes)] over each stretch from after s past a play to
    before s ahead of the next, from the first sample in it to the last;
    samples: [(time, {tid: voluntary})], plays: times."""
    out = []
    for p, q in zip(plays, plays[1:]):
        inside = [s for s in samples if p + after <= s[0] <= q - before]
        if len(inside) < 2:
            continue
        n = sum(wakes_between(x[1], y[1]) for x, y in zip(inside, inside[1:]))
        out.append((inside[0][0], inside[-1][0], n))
    return out


def read_samples(path):
    samples = []
    with open(path) as f:
        for line in f:
            fields = line.split()
            if not fields:
                continue
            try:
                per = {int(k): int(v) for k, v in (x.split(":") for x in fields[1:])}
                samples.append((float(fields[0]), per))
            except ValueError:
                pass  # a line cut short when the sampler was stopped
    return samples


def cmd_sample(pid, out, interval="0.25"):
    pid, step = int(pid), float(interval)
    with open(out, "a", buffering=1) as f:
        while os.path.exists("/proc/%d" % pid):
            per = voluntary(pid)
            f.write("%.6f %s\n" % (time.time(), " ".join("%d:%d" % kv for kv in sorted(per.items()))))
            time.sleep(step)


def cmd_quiet(samples, spy, after="7", before="2", since="0"):
    plays = [t for t, _ in pulsetool.spy_plays(spy, float(since))]
    windows = quiet_windows(read_samples(samples), plays, float(after), float(before))
    total = sum(n for _, _, n in windows)
    secs = sum(e - s for s, e, _ in windows)
    for s, e, n in windows:
        print("window %.3f %.3f %.1f s: %d wake-ups" % (s, e, e - s, n))
    print("total %d %.1f %d %.2f" % (total, secs, len(windows), total * 60.0 / secs if secs else float("nan")))


def main(argv):
    cmds = {"sample": cmd_sample, "quiet": cmd_quiet}
    if len(argv) < 2 or argv[1] not in cmds:
        sys.stderr.write(__doc__)
        return 2
    cmds[argv[1]](*argv[2:])
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
