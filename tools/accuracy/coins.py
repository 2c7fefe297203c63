#!/usr/bin/python3
"""Whole-coin circles on scikit-image's coins picture (skimage.data.coins()):
how many of its 24 coins, and of the 9 near an edge, each detector finds at
their own size.

    PYTHONPATH=build/python tools/accuracy/coins.py

The coins are found by the segmentation of scikit-image's gallery (Sobel
elevation, watershed from dark and bright markers, holes filled): centre
and radius of a disc of the same area. A coin lies near an edge when the
interior-only search cannot reach it at its own scale: its centre lies
less than floor(3 sigma + 0.5) + 1 from a border, sigma = R / sqrt(2). A
detection is a whole-coin circle of a coin when its centre lies within R / 2
of the coin's and its radius (sqrt(2) sigma for blob_log and ours, sigma
for blob_doh) within R / 1.5 to 1.5 R. Every detector gets sigma 1 to 30 in
10 scales, in its own convention, with the gallery's thresholds (blob_log
0.1, blob_doh 0.01) and ours the default (100).
"""

import math

import numpy as np
from scipy import ndimage as ndi
from skimage import data, filters, measure, segmentation
from skimage.feature import blob_doh, blob_log

import hessian_maxima as hm
import hessian_maxima.skimage as hs


def coins_truth(picture):
    elevation = filters.sobel(picture)
    markers = np.zeros_like(picture)
    markers[picture < 30] = 1
    markers[picture > 150] = 2
    filled = ndi.binary_fill_holes(segmentation.watershed(elevation, markers) - 1)
    labels, _ = ndi.label(filled)
    return [(p.centroid[0], p.centroid[1], p.equivalent_diameter / 2) for p in measure.regionprops(labels)
            if p.area > 100]


def near_edge(coin, shape):
    row, column, radius = coin
    reach = math.floor(3 * radius / math.sqrt(2) + 0.5) + 1
    return min(row, column, shape[0] - 1 - row, shape[1] - 1 - column) < reach


def found(coin, circles):
    row, column, radius = coin
    return any(math.hypot(r - row, c - column) <= radius / 2 and radius / 1.5 <= size <= 1.5 * radius
               for r, c, size in circles)


def main():
    picture = data.coins()
    truth = coins_truth(picture)
    near = [near_edge(coin, picture.shape) for coin in truth]
    sqrt2 = math.sqrt(2)

    def ours(**options):
        features = hm.detect(picture, 1.0, sigma_max=30.0, scales=10, **options)
        return [(f["y_subpixel"], f["x_subpixel"], sqrt2 * f["sigma"]) for f in features]

    detectors = [
        ("blob_log (scikit-image), threshold 0.1",
         lambda: [(r, c, sqrt2 * s) for r, c, s in blob_log(picture, max_sigma=30, num_sigma=10, threshold=0.1)]),
        ("blob_doh (scikit-image), threshold 0.01",
         lambda: [(r, c, s) for r, c, s in blob_doh(picture, max_sigma=30, threshold=0.01)]),
        ("hessian_maxima.skimage.blob_log, the same arguments",
         lambda: [(r, c, sqrt2 * s) for r, c, s in hs.blob_log(picture, max_sigma=30, num_sigma=10, threshold=0.1)]),
        ("hessian_maxima.skimage.blob_doh, the same arguments",
         lambda: [(r, c, s) for r, c, s in hs.blob_doh(picture, max_sigma=30, threshold=0.01)]),
        ("hessian_maxima.detect, --sigma 1:30 --scales 10 (border reflect)", lambda: ours()),
        ("hessian_maxima.detect, the same with border interior", lambda: ours(border="interior")),
    ]
    print("skimage.data.coins(): %d x %d, %d coins, %d near an edge" % (picture.shape[1], picture.shape[0],
                                                                      len(truth), sum(near)))
    print("| detector | blobs | whole coins | near an edge |")
    print("|---|---:|---:|---:|")
    for name, run in detectors:
        circles = run()
        hits = [found(coin, circles) for coin in truth]
        print("| %s | %d | %d of %d | %d of %d |" % (name, len(circles), sum(hits), len(truth),
                                                   sum(h for h, n in zip(hits, near) if n), sum(near)))


if __name__ == "__main__":
    main()
