"""Pictures for the package's tests, written by the tests themselves."""

import os
import struct
import zlib

import numpy as np
import pytest


def blob_scene(height, width, seed, blobs=None, noise=5.0):
    """Bright and dark Gaussian spots of sizes 1.5 to 8 on a grey ground."""
    rng = np.random.default_rng(seed)
    yy, xx = np.mgrid[0:height, 0:width]
    scene = np.full((height, width), 90.0)
    for _ in range(blobs if blobs is not None else height * width // 600):
        cx, cy = rng.uniform(0, width), rng.uniform(0, height)
        s, a = rng.uniform(1.5, 8.0), rng.choice([-1, 1]) * rng.uniform(30, 120)
        scene += a * np.exp(-((xx - cx) ** 2 + (yy - cy) ** 2) / (2 * s * s))
    scene += rng.normal(0, noise, scene.shape)
    return np.clip(scene, 0, 255).astype(np.uint8)


def write_pnm(path, pixels):
    magic = b"P5" if pixels.ndim == 2 else b"P6"
    with open(path, "wb") as f:
        f.write(b"%s\n%d %d\n255\n" % (magic, pixels.shape[1], pixels.shape[0]) + np.ascontiguousarray(pixels).tobytes())


def write_png(path, pixels):
    """An 8-bit grey, RGB or RGBA PNG."""
    colour = {2: 0, 3: 2, 4: 6}[pixels.shape[2] if pixels.ndim == 3 else 2]
    rows = b"".join(b"\0" + row.tobytes() for row in np.ascontiguousarray(pixels))

    def chunk(kind, data):
        return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data))

    header = struct.pack(">IIBBBBB", pixels.shape[1], pixels.shape[0], 8, colour, 0, 0, 0)
    with open(path, "wb") as f:
        f.write(b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", header) + chunk(b"IDAT", zlib.compress(rows))
                + chunk(b"IEND", b""))


@pytest.fixture(scope="session")
def cli():
    path = os.environ.get("HESSIAN_CLI")
    if not path:
        pytest.skip("HESSIAN_CLI (the command-line tool to compare with) is not set")
    return path


@pytest.fixture(scope="session")
def pictures(tmp_path_factory):
    """A grey PGM, an RGB PPM and an RGBA PNG of blob scenes."""
    folder = tmp_path_factory.mktemp("pictures")
    grey = blob_scene(240, 320, 1)
    colour = np.stack([blob_scene(200, 260, seed) for seed in (2, 3, 4, 5)], axis=2)
    paths = {"grey": folder / "grey.pgm", "rgb": folder / "rgb.ppm", "rgba": folder / "rgba.png"}
    write_pnm(paths["grey"], grey)
    write_pnm(paths["rgb"], colour[:, :, :3])
    write_png(paths["rgba"], colour)
    return paths
