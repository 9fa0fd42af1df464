#!/usr/bin/env python3
"""Writes silent.wav: 100 ms of digital silence, 16-bit PCM, mono, 44.1 kHz.

Usage: python3 make_silent_wav.py [output]   (default: silent.wav beside this script)
"""
import os
import sys
import wave

RATE = 44100
DURATION_MS = 100


def main():
    out = sys.argv[1] if len(sys.argv) > 1 else os.path.join(os.path.dirname(os.path.abspath(__file__)), "silent.wav")
    frames = RATE * DURATION_MS // 1000
    with wave.open(out, "wb") as w:
        w.setnchannels(1)
        w.setsampwidth(2)
        w.setframerate(RATE)
        w.writeframes(b"\x00\x00" * frames)


if __name__ == "__main__":
    main()
