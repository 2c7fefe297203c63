"""Synthetic blob scenes with known truth, from fixed seeds.

Each scene is one kind of blob (Gaussian spots of standard deviation 1.5 to
12 px, or flat discs of radius 3 to 20 px, sizes log-uniform), one polarity
(bright or dark), on a flat or a gradient background, without noise or with
Gaussian noise at a signal-to-noise ratio of 30, 10 or 5 (the blob's
amplitude over the noise's standard deviation), sparse (blobs at least 2.5
times their combined radii apart) or crowded (1.1 times), saved as an 8-bit
PNG beside a JSON file with the truth.

Positions are sub-pixel, in pixel coordinates: pixel (x, y) covers
x - 0.5 .. x + 0.5, its value the blob sampled at its centre (spots) or
averaged over 8 x 8 sub-samples (discs, for anti-aliased edges). A blob's
radius for spacing is 2 s for a spot and R for a disc; every centre is at
least 3 sigma_peak + 2 px from the border (sigma_peak = s for a spot,
R / sqrt(2) for a disc), so that every detector's kernels fit around it.
"""

import itertools
import json
import math
import os

import numpy as np
from PIL import Image

KINDS = ("spots", "discs")
POLARITIES = ("bright", "dark")
BACKGROUNDS = ("flat", "gradient")
SNRS = (None, 30, 10, 5)          # None: no noise
DENSITIES = ("sparse", "crowded")

AMPLITUDE = 100.0                 # grey levels from background to blob
SIZE_RANGE = {"spots": (1.5, 12.0), "discs": (3.0, 20.0)}
SPACING = {"sparse": 2.5, "crowded": 1.1}


def snr_name(snr):
    return "inf" if snr is None else str(snr)


def scene_name(kind, polarity, background, snr, density, seed):
    return f"{kind}-{polarity}-{background}-snr{snr_name(snr)}-{density}-{seed}"


def extent(kind, size):
    return 2.0 * size if kind == "spots" else size


def peak_sigma(kind, size):
    return size if kind == "spots" else size / math.sqrt(2.0)


def place_blobs(rng, kind, density, width, height):
    low, high = SIZE_RANGE[kind]
    blobs = []
    attempts = 4000 if density == "sparse" else 20000
    for _ in range(attempts):
        size = math.exp(rng.uniform(math.log(low), math.log(high)))
        border = 3.0 * peak_sigma(kind, size) + 2.0
        if 2 * border >= min(width, height):
            continue
        x = rng.uniform(border, width - 1 - border)
        y = rng.uniform(border, height - 1 - border)
        r = extent(kind, size)
        if all(math.hypot(x - b["x"], y - b["y"]) >= SPACING[density] * (r + extent(kind, b["size"]))
               for b in blobs):
            blobs.append({"x": x, "y": y, "size": size})
    return blobs


def background_image(background, polarity, width, height):
    base = 70.0 if polarity == "bright" else 185.0
    if background == "flat":
        return np.full((height, width), base)
    yy, xx = np.mgrid[0:height, 0:width]
    return base - 30.0 + 60.0 * (xx / (width - 1) + yy / (height - 1)) / 2.0


def blob_profile(kind, blob, width, height):
    """The blob's values (0..1) on a window around it, and the window."""
    reach = int(math.ceil(4.0 * blob["size"] if kind == "spots" else blob["size"] + 1.0))
    x0 = max(0, int(blob["x"]) - reach)
    x1 = min(width, int(blob["x"]) + reach + 2)
    y0 = max(0, int(blob["y"]) - reach)
    y1 = min(height, int(blob["y"]) + reach + 2)
    yy, xx = np.mgrid[y0:y1, x0:x1].astype(float)
    if kind == "spots":
        s = blob["size"]
        value = np.exp(-((xx - blob["x"]) ** 2 + (yy - blob["y"]) ** 2) / (2.0 * s * s))
    else:
        sub = (np.arange(8) + 0.5) / 8.0 - 0.5
        value = np.zeros_like(xx)
        for dy in sub:
            for dx in sub:
                value += (xx + dx - blob["x"]) ** 2 + (yy + dy - blob["y"]) ** 2 <= blob["size"] ** 2
        value /= 64.0
    return value, (slice(y0, y1), slice(x0, x1))


def make_scene(kind, polarity, background, snr, density, seed, width=512, height=512):
    """The 8-bit picture and the truth of one scene."""
    key = (KINDS.index(kind), POLARITIES.index(polarity), BACKGROUNDS.index(background),
           SNRS.index(snr), DENSITIES.index(density), seed)
    rng = np.random.default_rng(list(key))
    blobs = place_blobs(rng, kind, density, width, height)
    image = background_image(background, polarity, width, height)
    sign = 1.0 if polarity == "bright" else -1.0
    for blob in blobs:
        value, window = blob_profile(kind, blob, width, height)
        image[window] += sign * AMPLITUDE * value
    if snr is not None:
        image = image + rng.normal(0.0, AMPLITUDE / snr, image.shape)
    picture = np.clip(np.rint(image), 0, 255).astype(np.uint8)
    truth = [{"x": b["x"], "y": b["y"], "size": b["size"], "kind": kind, "polarity": polarity}
             for b in blobs]
    return picture, truth


def all_classes():
    return list(itertools.product(KINDS, POLARITIES, BACKGROUNDS, SNRS, DENSITIES))


def write_scene(folder, kind, polarity, background, snr, density, seed, width=512, height=512):
    picture, truth = make_scene(kind, polarity, background, snr, density, seed, width, height)
    name = scene_name(kind, polarity, background, snr, density, seed)
    path = os.path.join(folder, name + ".png")
    Image.fromarray(picture).save(path)
    with open(os.path.join(folder, name + ".json"), "w") as out:
        json.dump({"kind": kind, "polarity": polarity, "background": background,
                   "snr": snr, "density": density, "seed": seed, "blobs": truth}, out)
    return path
