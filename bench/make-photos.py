#!/usr/bin/python3
"""Writes COUNT synthetic 1920 x 1080 colour photographs as JPEG files into
FOLDER, from a fixed seed, for the batch benchmark: soft bright and dark
spots of many sizes on a shaded, textured background with sensor noise.

    bench/make-photos.py FOLDER [COUNT]      (default 200)

Needs Debian's python3-numpy and python3-pil.
"""

import os
import sys

import numpy as np
from PIL import Image

WIDTH, HEIGHT = 1920, 1080


def photo(rng):
    y, x = np.mgrid[0:HEIGHT, 0:WIDTH].astype(np.float32)
    base = 70 + 40 * np.sin(x / 310.0 + rng.uniform(0, 6)) * np.cos(y / 270.0) + 0.02 * x
    img = np.repeat(base[..., None], 3, axis=2)
    tint = rng.uniform(0.7, 1.3, size=3).astype(np.float32)
    for _ in range(350):
        cx, cy = rng.uniform(0, WIDTH), rng.uniform(0, HEIGHT)
        s = rng.uniform(1.5, 14)
        amp = rng.uniform(-70, 140)
        r = int(4 * s) + 1
        x0, x1 = max(0, int(cx) - r), min(WIDTH, int(cx) + r)
        y0, y1 = max(0, int(cy) - r), min(HEIGHT, int(cy) + r)
        if x0 >= x1 or y0 >= y1:
            continue
        blob = amp * np.exp(-((x[y0:y1, x0:x1] - cx) ** 2 + (y[y0:y1, x0:x1] - cy) ** 2) / (2 * s * s))
        img[y0:y1, x0:x1] += blob[..., None] * rng.uniform(0.6, 1.0, size=3).astype(np.float32)
    img *= tint
    img += rng.normal(0, 5, img.shape).astype(np.float32)
    return np.clip(img, 0, 255).astype(np.uint8)


def main():
    if len(sys.argv) < 2:
        sys.exit(__doc__)
    folder = sys.argv[1]
    count = int(sys.argv[2]) if len(sys.argv) > 2 else 200
    os.makedirs(folder, exist_ok=True)
    rng = np.random.default_rng(20261207)
    for i in range(count):
        Image.fromarray(photo(rng)).save(os.path.join(folder, "photo-%03d.jpg" % i), quality=90)


if __name__ == "__main__":
    main()
