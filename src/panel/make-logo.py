#!/usr/bin/env python3
"""Draws the control panel's logo: a decaying waveform over a dark band, with three level
bars at the right. Writes an uncompressed 78 x 29 bitmap, 8 bits per pixel with a full
256-colour palette, to the path given (default: logo.bmp beside this script)."""
import math
import os
import struct
import sys

W, H = 78, 29
BG_TOP, BG_BOTTOM = (18, 30, 56), (8, 14, 30)
WAVE, BARS = (90, 214, 255), (255, 170, 60)


def mix(a, b, t):
    return tuple(round(x + (y - x) * t) for x, y in zip(a, b))


# Palette: 0-31 the background gradient; 32-143 and 144-255 fade the waveform and the
# bars onto the background's middle tone, so antialiased edges stay in the palette.
mid = mix(BG_TOP, BG_BOTTOM, 0.5)
palette = [mix(BG_TOP, BG_BOTTOM, i / 31) for i in range(32)]
palette += [mix(mid, WAVE, i / 111) for i in range(112)]
palette += [mix(mid, BARS, i / 111) for i in range(112)]


def wave_y(x):
    t = x / 56
    envelope = math.exp(-2.2 * t) * (1 - math.exp(-14 * t))
    return H / 2 - 11.5 * envelope * math.sin(2 * math.pi * 3.2 * t)


pixels = []
for y in range(H):
    row = []
    for x in range(W):
        index = round(y / (H - 1) * 31)
        if x < 60:
            # Intensity by vertical distance to the curve, sampled at sub-pixel steps.
            d = min(abs(y - wave_y(x + s / 4)) for s in range(-2, 3))
            level = max(0.0, 1.0 - max(0.0, d - 0.6) / 1.2)
            if level > 0:
                index = 32 + round(level * 111)
        else:
            for left, height in ((62, 9), (67, 15), (72, 21)):
                if left <= x < left + 4 and H - 4 - height <= y < H - 4:
                    index = 144 + 111
        row.append(index)
    pixels.append(row)

stride = (W + 3) & ~3
image = b"".join(bytes(r) + bytes(stride - W) for r in reversed(pixels))
colours = b"".join(struct.pack("<BBBB", b, g, r, 0) for r, g, b in palette)
offset = 14 + 40 + len(colours)
header = struct.pack("<2sIHHI", b"BM", offset + len(image), 0, 0, offset)
info = struct.pack("<IiiHHIIiiII", 40, W, H, 1, 8, 0, len(image), 2835, 2835, 256, 0)
out = sys.argv[1] if len(sys.argv) > 1 else os.path.join(os.path.dirname(__file__), "logo.bmp")
with open(out, "wb") as f:
    f.write(header + info + colours + image)
