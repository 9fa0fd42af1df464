#!/usr/bin/env python3
"""Draws audio_128x128.png: a loudspeaker sending out three sound waves, on a
transparent background, 128 by 128 RGBA; and the same drawing at twice the
resolution, 256 by 256, as audio_128x128@2x.png for screens with more than one
device pixel per point. Standard library only.

    python3 resources/make_audio_png.py [OUTPUT_FOLDER]
"""
import math
import os
import struct
import sys
import zlib

SIZE = 128
SAMPLES = 4  # per axis, for smooth edges

SPEAKER = (58, 63, 71)   # dark slate
WAVES = (42, 125, 225)   # blue

# The speaker: the magnet (a box) and the cone opening to the right.
SPEAKER_OUTLINE = [(18, 46), (42, 46), (70, 18), (78, 18), (78, 110), (70, 110), (42, 82), (18, 82)]
WAVE_CENTRE = (80.0, 64.0)
WAVE_RADII = (17.0, 29.0, 41.0)
WAVE_HALF_WIDTH = 2.75
WAVE_HALF_ANGLE = math.radians(48)


def inside_polygon(x, y, points):
    inside = False
    j = len(points) - 1
    for i in range(len(points)):
        xi, yi = points[i]
        xj, yj = points[j]
        if (yi > y) != (yj > y) and x < (xj - xi) * (y - yi) / (yj - yi) + xi:
            inside = not inside
        j = i
    return inside


def on_wave(x, y):
    dx = x - WAVE_CENTRE[0]
    dy = y - WAVE_CENTRE[1]
    if dx <= 0 or abs(math.atan2(dy, dx)) > WAVE_HALF_ANGLE:
        return False
    r = math.hypot(dx, dy)
    return any(abs(r - radius) <= WAVE_HALF_WIDTH for radius in WAVE_RADII)


def pixel(px, py, scale):
    """The colour of output pixel (px, py) of a drawing SCALE times SIZE wide;
    the shapes above are in the coordinates of the SIZE-wide drawing."""
    speaker = waves = 0
    for sy in range(SAMPLES):
        for sx in range(SAMPLES):
            x = (px + (sx + 0.5) / SAMPLES) / scale
            y = (py + (sy + 0.5) / SAMPLES) / scale
            if inside_polygon(x, y, SPEAKER_OUTLINE):
                speaker += 1
            elif on_wave(x, y):
                waves += 1
    total = speaker + waves
    if total == 0:
        return (0, 0, 0, 0)
    color = [(SPEAKER[c] * speaker + WAVES[c] * waves) // total for c in range(3)]
    alpha = round(255 * total / (SAMPLES * SAMPLES))
    return (color[0], color[1], color[2], alpha)


def png(width, height, rows):
    def chunk(kind, data):
        body = kind + data
        return struct.pack(">I", len(data)) + body + struct.pack(">I", zlib.crc32(body) & 0xFFFFFFFF)

    raw = b"".join(b"\x00" + bytes(v for p in row for v in p) for row in rows)
    header = struct.pack(">IIBBBBB", width, height, 8, 6, 0, 0, 0)  # 8-bit RGBA
    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", header) + chunk(b"IDAT", zlib.compress(raw, 9))
            + chunk(b"IEND", b""))


def main():
    folder = sys.argv[1] if len(sys.argv) > 1 else os.path.dirname(os.path.abspath(__file__))
    for scale, name in ((1, "audio_128x128.png"), (2, "audio_128x128@2x.png")):
        side = SIZE * scale
        rows = [[pixel(x, y, scale) for x in range(side)] for y in range(side)]
        with open(os.path.join(folder, name), "wb") as f:
            f.write(png(side, side, rows))


if __name__ == "__main__":
    main()
