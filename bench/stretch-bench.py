#!/usr/bin/python3
"""The percentile stretch of hessian_maxima.detect against the detection it
feeds, on the same picture.

    PYTHONPATH=build/python bench/stretch-bench.py [--size N] [--rounds R] [--dtype uint16 float32 ...]

For each dtype, an N x N picture of Gaussian spots over noise (deterministic,
made once per run) is mapped to 8 bits by the default stretch of detect()
(percentile 0.1 to 99.9 for every type but uint8, whose default is none, so
uint16 is asked for 'percentile' explicitly), then detect() runs sigma 5 on
the mapped picture. The two take turns, ROUNDS times, after a warm-up of
each. Before timing, lo and hi are checked against numpy's order statistics
(np.partition at the same ranks) and the mapped picture against numpy's
formula, so a faster stretch that is wrong cannot pass. Prints the best and
median seconds of each and the ratio stretch / detection per round.
"""

import argparse
import os
import statistics
import time

import numpy as np


def scene(size, dtype, seed=11):
    rng = np.random.default_rng(seed)
    picture = rng.normal(1000.0, 40.0, (size, size)).astype(np.float32)
    count = size * size // 4000
    for x, y, s, a in zip(rng.uniform(0, size, count), rng.uniform(0, size, count),
                          rng.uniform(1.5, 8.0, count), rng.uniform(200, 3000, count)):
        r = int(4 * s) + 1
        x0, x1, y0, y1 = max(0, int(x) - r), min(size, int(x) + r + 1), max(0, int(y) - r), min(size, int(y) + r + 1)
        gy, gx = np.ogrid[y0:y1, x0:x1]
        picture[y0:y1, x0:x1] += a * np.exp(-((gx - x) ** 2 + (gy - y) ** 2) / (2 * s * s))
    if dtype.kind == "f":
        return picture.astype(dtype) / np.float32(4096.0)
    return np.clip(picture, 0, np.iinfo(dtype).max).astype(dtype)


def check(hm, picture, mapped, low=0.1, high=99.9):
    """lo and hi as numpy's order statistics, and every byte as the formula."""
    finite = picture[np.isfinite(picture)].ravel()
    n = finite.size
    ranks = [int(np.floor(p / 100.0 * (n - 1))) for p in (low, high)]
    lo, hi = (float(v) for v in np.partition(finite, ranks)[ranks])
    found = tuple(hm._core.stretch_range(picture, "percentile", low, high)[:2])
    assert found == (lo, hi), (found, (lo, hi))
    level = np.floor((picture.astype(np.float64) - lo) / (hi - lo) * 255.0 + 0.5)
    expected = np.clip(np.nan_to_num(level, nan=0.0), 0, 255).astype(np.uint8)
    assert np.array_equal(mapped, expected), "the mapped picture differs from the formula"


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--size", type=int, default=16384)
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--dtype", nargs="+", default=["uint16", "float32"])
    arguments = parser.parse_args()
    import hessian_maxima as hm

    print("host: %s, %d hardware threads" % (
        next((line.split(":", 1)[1].strip() for line in open("/proc/cpuinfo") if line.startswith("model name")),
             "?"), os.cpu_count()))
    print("date: %s" % time.strftime("%Y-%m-%d %H:%M UTC", time.gmtime()))
    for name in arguments.dtype:
        dtype = np.dtype(name)
        picture = scene(arguments.size, dtype)
        stretch = "percentile"

        def stretched():
            return hm._detector_input(picture, stretch)

        mapped = stretched()
        check(hm, picture, mapped)
        hm.detect(mapped, 5.0)
        stretch_times, detect_times = [], []
        for _ in range(arguments.rounds):
            start = time.perf_counter()
            stretched()
            stretch_times.append(time.perf_counter() - start)
            start = time.perf_counter()
            hm.detect(mapped, 5.0)
            detect_times.append(time.perf_counter() - start)
        ratios = [s / d for s, d in zip(stretch_times, detect_times)]
        print("%d x %d %s, stretch %s, detect sigma 5 on every core, %d rounds:" % (
            arguments.size, arguments.size, name, stretch, arguments.rounds))
        print("  stretch:   best %.3f s, median %.3f s" % (min(stretch_times), statistics.median(stretch_times)))
        print("  detection: best %.3f s, median %.3f s" % (min(detect_times), statistics.median(detect_times)))
        print("  stretch / detection per round: min %.3f, median %.3f, max %.3f" % (
            min(ratios), statistics.median(ratios), max(ratios)))
        del picture, mapped


if __name__ == "__main__":
    main()
