#!/usr/bin/python3
"""hessian_maxima.dask.detect_array on a LocalCluster against one run on the
whole array in this process.

    PYTHONPATH=build/python bench/dask-bench.py FOLDER [--size N] [--chunk C] [--workers W] [--rounds R]

Writes (once, kept in FOLDER) an N x N uint8 scene of bright and dark
Gaussian spots over noise as a raw file. The single-process run reads it
whole and runs hessian_maxima.detect on every core; the cluster run reads it
chunk by chunk on W single-threaded worker processes (memory-mapped, so
that no chunk travels from this process) and runs detect_array. Both take
turns, ROUNDS times, after a warm-up run of each; features must be
identical. Per worker, the peak
resident memory above its resident memory before the run is sampled every
10 ms. Settings: sigma 5, threshold 100 (the defaults), then the default
scale range sigma 2:16 (10 scales, overlap 0.1).
"""

import argparse
import os
import statistics
import time

import numpy as np


def write_scene(path, size, seed=7):
    rng = np.random.default_rng(seed)
    count = size * size // 1200
    xs, ys = rng.uniform(0, size, count), rng.uniform(0, size, count)
    sigmas = rng.uniform(1.5, 8.0, count)
    amplitudes = rng.choice([-1.0, 1.0], count) * rng.uniform(40, 140, count)
    scene = np.memmap(path + ".part", np.uint8, "w+", shape=(size, size))
    band = 1024
    for top in range(0, size, band):
        rows = np.full((min(band, size - top), size), 100.0, np.float32)
        near = (ys > top - 40) & (ys < top + band + 40)
        for x, y, s, a in zip(xs[near], ys[near], sigmas[near], amplitudes[near]):
            r = int(4 * s) + 1
            x0, x1 = max(0, int(x) - r), min(size, int(x) + r + 1)
            y0, y1 = max(top, int(y) - r), min(top + rows.shape[0], int(y) + r + 1)
            if x0 >= x1 or y0 >= y1:
                continue
            gy, gx = np.ogrid[y0:y1, x0:x1]
            rows[y0 - top:y1 - top, x0:x1] += a * np.exp(-((gx - x) ** 2 + (gy - y) ** 2) / (2 * s * s))
        rows += rng.normal(0, 6, rows.shape).astype(np.float32)
        scene[top:top + rows.shape[0]] = np.clip(rows, 0, 255).astype(np.uint8)
    scene.flush()
    del scene
    os.replace(path + ".part", path)


def read_chunk(path, size, block_info=None):
    (y0, y1), (x0, x1) = block_info[None]["array-location"]
    return np.array(np.memmap(path, np.uint8, "r", shape=(size, size))[y0:y1, x0:x1])


def start_sampling(dask_worker):
    """In a worker: sample its process's resident memory every 10 ms."""
    import threading
    import psutil
    process = psutil.Process()
    state = dask_worker.memory_sampling = {"running": True}
    state["base"] = state["peak"] = process.memory_info().rss

    def sample():
        while state["running"]:
            state["peak"] = max(state["peak"], process.memory_info().rss)
            time.sleep(0.01)
    state["thread"] = threading.Thread(target=sample, daemon=True)
    state["thread"].start()


def stop_sampling(dask_worker):
    state = dask_worker.memory_sampling
    state["running"] = False
    state["thread"].join()
    return state["base"], state["peak"]


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("folder")
    parser.add_argument("--size", type=int, default=16384)
    parser.add_argument("--chunk", type=int, default=1024)
    parser.add_argument("--workers", type=int, default=2)
    parser.add_argument("--rounds", type=int, default=3)
    options = parser.parse_args()

    import dask.array as da
    from distributed import Client, LocalCluster
    import hessian_maxima as hm
    import hessian_maxima.dask as hd

    size, chunk = options.size, options.chunk
    path = os.path.join(options.folder, "dask-scene-%d.raw" % size)
    if not os.path.exists(path):
        print("writing the %d x %d scene to %s ..." % (size, size, path), flush=True)
        os.makedirs(options.folder, exist_ok=True)
        write_scene(path, size)
    whole = np.fromfile(path, np.uint8).reshape(size, size)
    chunk_mib = chunk * chunk / 2 ** 20

    cluster = LocalCluster(n_workers=options.workers, threads_per_worker=1, processes=True,
                           dashboard_address=None)
    client = Client(cluster)
    print("%d x %d uint8 scene, %d x %d chunks (%.1f MiB), LocalCluster of %d single-threaded worker processes; "
          "the single-process run on %d cores" % (size, size, chunk, chunk, chunk_mib, options.workers,
                                                  os.cpu_count()))
    print()
    print("| settings | features | identical | single process: median s | cluster: median s | ratio per round: "
          "min / median / max | worker peak above idle, MiB (in chunks) |")
    print("|---|---:|---|---:|---:|---|---:|")
    for label, settings in (("sigma 5 (default)", {}),
                            ("sigma 2:16, 10 scales (default range)", {"sigma": 2, "sigma_max": 16})):
        singles, clusters, ratios, peaks = [], [], [], []
        identical = True
        # Warm-up: each side's first run maps its buffers and, on the
        # cluster, ships the functions.
        array = da.map_blocks(read_chunk, path, size, chunks=((chunk,) * (size // chunk),) * 2, dtype=np.uint8)
        hm.detect(whole, **settings)
        hd.detect_array(array, **settings)
        for _ in range(options.rounds):
            start = time.perf_counter()
            expected = hm.detect(whole, **settings)
            singles.append(time.perf_counter() - start)

            array = da.map_blocks(read_chunk, path, size, chunks=((chunk,) * (size // chunk),) * 2, dtype=np.uint8)
            client.run(start_sampling)
            start = time.perf_counter()
            found = hd.detect_array(array, **settings)
            clusters.append(time.perf_counter() - start)
            memory = client.run(stop_sampling)
            peaks.append(max(peak - base for base, peak in memory.values()) / 2 ** 20)
            ratios.append(clusters[-1] / singles[-1])
            identical = identical and found.tobytes() == expected.tobytes()
        print("| %s | %d | %s | %.2f | %.2f | %.2f / %.2f / %.2f | %.0f (%.0f) |" % (
            label, len(expected), "yes" if identical else "NO", statistics.median(singles),
            statistics.median(clusters), min(ratios), statistics.median(ratios), max(ratios), max(peaks),
            max(peaks) / chunk_mib), flush=True)
    client.close()
    cluster.close()


if __name__ == "__main__":
    main()
