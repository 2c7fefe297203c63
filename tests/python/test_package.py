"""hessian_maxima against the command-line tool, its dtypes and threads."""

import csv
import io
import json
import math
import struct
import subprocess
import threading
import zlib

import numpy as np
import pytest

import hessian_maxima as hm
from conftest import blob_scene


def cli_features(cli, path, *options):
    out = subprocess.run([cli, "--details", *options, str(path)], check=True, capture_output=True, text=True).stdout
    return list(csv.DictReader(io.StringIO(out)))


@pytest.mark.parametrize("name", ["grey", "rgb", "rgba"])
@pytest.mark.parametrize("settings, options", [
    ({}, []),
    ({"sigma": 2.5, "threshold": 20, "polarity": "dark"}, ["--sigma", "2.5", "--threshold", "20", "--polarity", "dark"]),
    ({"sigma": 1.5, "sigma_max": 9, "threshold": 30}, ["--sigma", "1.5:9", "--threshold", "30"]),
    ({"sigma": 2.5, "threshold": 20, "border": "nearest"}, ["--sigma", "2.5", "--threshold", "20", "--border", "nearest"]),
    ({"sigma": 1.5, "sigma_max": 9, "threshold": 30, "border": "interior"},
     ["--sigma", "1.5:9", "--threshold", "30", "--border", "interior"]),
])
def test_same_features_as_the_command_line(cli, pictures, name, settings, options):
    assert_same_features(hm.detect(hm.load(pictures[name]), **settings), cli_features(cli, pictures[name], *options))


def assert_same_features(ours, theirs):
    assert len(ours) == len(theirs) > 0
    for mine, row in zip(ours, theirs):
        assert (int(row["x"]), int(row["y"])) == (mine["x"], mine["y"])
        assert (row["x_subpixel"], row["y_subpixel"]) == ("%.3f" % mine["x_subpixel"], "%.3f" % mine["y_subpixel"])
        assert np.float32(row["response"]) == mine["response"]
        assert np.float32(row["sigma"]) == np.float32("%.9g" % mine["sigma"])
        assert row["polarity"] == {1: "bright", -1: "dark"}[mine["polarity"]]


def test_settings_after_sigma_are_named():
    scene = blob_scene(60, 80, 3)
    with pytest.raises(TypeError, match=r"detect\(\) takes image and sigma by position.*threshold=30 or sigma_max=30"):
        hm.detect(scene, 1, 30)
    with pytest.raises(TypeError, match=r"kernel_radius\(\) takes sigma by position.*sigma_max=9"):
        hm.kernel_radius(2, 9)
    assert hm.kernel_radius(2, sigma_max=9) == hm.kernel_radius(9)
    assert hm.detect(scene, 1, threshold=30).tobytes() == hm.detect(scene, sigma=1, threshold=30).tobytes()
    with pytest.raises(ValueError, match="border must be"):
        hm.detect(scene, 2, border="mirror")


def test_loaded_pictures_are_the_arrays_written(pictures):
    grey, rgb, rgba = (hm.load(pictures[name]) for name in ("grey", "rgb", "rgba"))
    assert grey.dtype == np.uint8 and grey.shape == (240, 320)
    assert np.array_equal(rgb, rgba[:, :, :3])
    with pytest.raises(hm.ImageError, match="cannot read image"):
        hm.load(pictures["grey"].parent / "missing.png")


def test_image_layouts():
    scene = blob_scene(120, 160, 7)
    expected = hm.detect(scene, 2, threshold=10)
    assert len(expected) > 10
    # Strided and Fortran-ordered views, and the same grey as RGB and RGBA.
    padded = np.zeros((240, 400), np.uint8)
    padded[::2, 3:323:2] = scene
    for view in (padded[::2, 3:323:2], np.asfortranarray(scene), scene[::-1, ::-1][::-1, ::-1],
                 np.repeat(scene[:, :, None], 3, axis=2), np.dstack([scene, scene, scene, 255 - scene])):
        assert hm.detect(view, 2, threshold=10).tobytes() == expected.tobytes()
    # The job's grey conversion: (B * 0.114 + G * 0.587) + R * 0.299, truncated.
    rgb = np.dstack([blob_scene(120, 160, s) for s in (8, 9, 10)])
    r, g, b = (rgb[:, :, c].astype(np.float32) for c in range(3))
    grey = ((b * np.float32(0.114) + g * np.float32(0.587)) + r * np.float32(0.299)).astype(np.uint8)
    assert hm.detect(rgb, 2, threshold=10).tobytes() == hm.detect(grey, 2, threshold=10).tobytes()


def test_refusals():
    scene = np.zeros((20, 20), np.uint8)
    for bad in (np.zeros((20, 20, 2), np.uint8), np.zeros(20, np.uint8), np.zeros((20, 20), bool),
                np.zeros((20, 20), np.int64), np.zeros((20, 20, 2), np.float32)):
        with pytest.raises(ValueError, match="image must"):
            hm.detect(bad)
    for settings in ({"sigma": 0}, {"sigma": float("nan")}, {"threshold": float("inf")}, {"polarity": "grey"},
                     {"scales": 3}, {"sigma_max": 4}, {"sigma_max": 9, "scales": 1}, {"overlap": 2},
                     {"sigma": 1e9}, {"sigma": 1e-6}):
        with pytest.raises(ValueError):
            hm.detect(scene, **settings)
    for stretch in ("max", "percentile:5", "percentile:50:10", "percentile:0:101", "percentile:1_0:20", 3):
        with pytest.raises(ValueError, match="stretch must"):
            hm.detect(scene, stretch=stretch)
    assert len(hm.detect(np.zeros((0, 7), np.uint8))) == 0
    # A kernel that leaves no pixel to search: the image is too small for it.
    with pytest.raises(ValueError, match=r"the image is too small for the kernel \(radius 3000\).* 384 x 303 "):
        hm.detect(np.zeros((303, 384), np.uint8), 1000)
    with pytest.raises(ValueError, match="too small for the kernel"):
        hm.detect(scene, 1.5, sigma_max=4, border="interior")   # radius 12: 20 x 20 pixels leave none
    # An extended border (a range's default) searches every pixel, however
    # small the picture: nothing to refuse.
    assert len(hm.detect(scene, 1.5, sigma_max=4)) == 0
    assert len(hm.detect(blob_scene(20, 20, 3, blobs=1, noise=0), 1.5, sigma_max=4, threshold=1)) > 0
    assert len(hm.detect(np.zeros((27, 27), np.uint8), 4)) == 0   # radius 12: one pixel searched

    # Views of 10^10 pixels that cost nothing until read: refused from their
    # shape, before any pass over the samples or any copy.
    for dtype in (np.uint8, np.uint16, ">u2", np.float32):
        huge = np.broadcast_to(np.zeros((1, 1), dtype), (100_000, 100_000))
        for run in (hm.detect, hm.response):
            with pytest.raises(ValueError, match="too large for one run: 100000 x 100000 pixels.*dask"):
                run(huge)


def test_sixteen_bit_grey_png_loads_grey(tmp_path):
    """A 16-bit grey PNG comes back H x W, as every grey picture, under any stretch."""
    scene = (blob_scene(60, 80, 17).astype(np.uint16) * 16 + 1000).astype(">u2")
    rows = b"".join(b"\0" + row.tobytes() for row in scene)

    def chunk(kind, data):
        return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data))

    path = tmp_path / "grey16.png"
    path.write_bytes(b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", 80, 60, 16, 0, 0, 0, 0))
                     + chunk(b"IDAT", zlib.compress(rows)) + chunk(b"IEND", b""))
    for stretch in (None, "none", "minmax"):
        pixels = hm.load(path, stretch)
        assert pixels.dtype == np.uint8 and pixels.shape == (60, 80)
    assert np.array_equal(hm.load(path, "none"), np.round(scene / 257).astype(np.uint8))


@pytest.mark.parametrize("kind, stretch", [("uint16", None), ("rgb16", "percentile:1:99"), ("float32", None)])
def test_wide_pictures_as_the_command_line_reads_them(cli, tmp_path, kind, stretch):
    """A file's array read by another library, and load(), give the command line's features."""
    tifffile = pytest.importorskip("tifffile")
    scene = blob_scene(150, 200, 15)
    if kind == "float32":
        picture = (scene / np.float32(255) * 4 - 1).astype(np.float32)
        picture[3, 5] = np.nan
    else:
        picture = scene.astype(np.uint16) * 150 + 40  # faint: 40 to 38290
        if kind == "rgb16":
            picture = np.dstack([picture, picture // 2, blob_scene(150, 200, 16).astype(np.uint16) * 200])
    path = tmp_path / ("%s.tif" % kind)
    tifffile.imwrite(path, picture, photometric="rgb" if picture.ndim == 3 else "minisblack")
    theirs = cli_features(cli, path, "--sigma", "2", "--threshold", "10", *(["--stretch", stretch] if stretch else []))
    assert_same_features(hm.detect(tifffile.imread(path), 2, threshold=10, stretch=stretch), theirs)
    assert_same_features(hm.detect(hm.load(path, stretch), 2, threshold=10), theirs)


@pytest.mark.parametrize("dtype", [np.float32, np.float64])
def test_percentiles_are_order_statistics(cli, tmp_path, dtype):
    """A percentile stretch's lo and hi, as the command line reports them: the
    samples at rank floor(p / 100 * (n - 1)) of the n finite ones sorted;
    NaN and the infinities are not counted."""
    tifffile = pytest.importorskip("tifffile")
    rng = np.random.default_rng(17)
    samples = rng.normal(0, 1000, (61, 83)).astype(dtype)
    samples.flat[rng.choice(samples.size, 900, replace=False)] = rng.choice([np.nan, np.inf, -np.inf], 900)
    finite = np.sort(samples[np.isfinite(samples)])
    path = tmp_path / "noise.tif"
    tifffile.imwrite(path, samples)
    for low, high in ((0.1, 99.9), (7, 93.5), (0, 100)):
        out = subprocess.run([cli, "--format", "json", "--stretch", "percentile:%g:%g" % (low, high), str(path)],
                             check=True, capture_output=True, text=True).stdout
        stretch = json.loads(out)[0]["stretch"]
        ranks = [math.floor(p / 100 * (len(finite) - 1)) for p in (low, high)]
        assert (stretch["lo"], stretch["hi"]) == (float(finite[ranks[0]]), float(finite[ranks[1]]))


def test_wide_dtypes():
    scene = blob_scene(100, 100, 11)
    scene[0, :2] = 0, 255  # the full range, which minmax brings back exactly
    expected = hm.detect(scene, 2, threshold=10).tobytes()
    wide = scene.astype(np.uint16) * 257
    for image, stretch in ((wide, "none"),                    # round(v / 257)
                           (scene / 255.0, "none"),           # floats: 0..1
                           ((scene * 3.0 - 7).astype(">f4"), "minmax"),
                           (np.asfortranarray(scene.astype(np.int16) * 100 - 20000), "minmax"),
                           # Colours with an alpha far outside them, which the stretch leaves out.
                           (np.dstack([wide, wide, wide, np.full_like(wide, 65535)]), "minmax")):
        assert hm.detect(image, 2, threshold=10, stretch=stretch).tobytes() == expected
    assert hm.detect(wide[:, ::-1], 2, threshold=10, stretch="none").tobytes() == hm.detect(scene[:, ::-1], 2, threshold=10).tobytes()
    with pytest.warns(UserWarning, match="uses only levels 0 to 1"):
        hm.detect(scene.astype(np.uint16), 2, threshold=10, stretch="none")
    # Deeper than 8 bits, samples are stretched unless told otherwise: the
    # faint picture's spots are found as in the 8-bit one.
    faint = scene.astype(np.uint16) * 4 + 1000
    assert hm.detect(faint, 2, threshold=10).tobytes() == hm.detect(faint, 2, threshold=10, stretch="percentile").tobytes()
    assert len(hm.detect(faint, 2, threshold=10)) > 0 and len(hm.detect(faint, 2, threshold=10, stretch="none")) == 0
    with pytest.warns(UserWarning, match="flat"):
        assert len(hm.detect(np.ones((40, 40), np.float32))) == 0
    with pytest.raises(ValueError, match="no numbers"):
        hm.detect(np.full((30, 30), np.nan))


@pytest.mark.parametrize("dtype", [np.uint8, np.uint16, np.int16, np.uint32, np.int32, np.float32, np.float64])
def test_percentiles_are_numpys_order_statistics(dtype):
    """The stretch's lo and hi are the samples at numpy's ranks, and every
    byte is the formula's (through the look-up of every value for 16-bit
    samples), blanks and infinities included."""
    rng = np.random.default_rng(5)
    if np.dtype(dtype).kind == "f":
        samples = (rng.standard_cauchy((97, 131)) * 1000).astype(dtype)
        samples[rng.random(samples.shape) < 0.01] = np.nan
        samples[0, :3] = np.inf, -np.inf, -0.0
    else:
        info = np.iinfo(dtype)
        samples = rng.integers(info.min, info.max, (97, 131), dtype=dtype, endpoint=True)
        samples[:40] //= 7  # many values shared
    finite = samples[np.isfinite(samples)].astype(np.float64)
    for low, high in ((0.1, 99.9), (0, 100), (37.5, 37.6)):
        ranks = [int(np.floor(p / 100 * (finite.size - 1))) for p in (low, high)]
        expected = tuple(float(v) for v in np.sort(finite)[ranks])
        lo, hi, widened = hm._core.stretch_range(samples, "percentile", low, high)
        # Equal percentiles are widened to the extent.
        assert widened == (expected[0] == expected[1])
        assert (lo, hi) == ((finite.min(), finite.max()) if widened else expected)
        level = np.floor((samples.astype(np.float64) - lo) / (hi - lo) * 255 + 0.5)
        with np.errstate(invalid="ignore"):
            expected_bytes = np.where(np.isnan(level), 0, np.clip(level, 0, 255)).astype(np.uint8)
        assert np.array_equal(hm._core.reduce(samples, hm._core.REDUCE_STRETCH, lo, hi), expected_bytes)


def test_small_blob_on_a_flat_ground_widens_the_percentiles():
    """Equal percentiles of a picture that is not constant: its min-max
    range instead, said in the warning, and the blob is found."""
    picture = np.full((400, 400), 0.25, np.float32)
    yy, xx = np.mgrid[0:400, 0:400]
    picture += (0.5 * np.exp(-((xx - 60.2) ** 2 + (yy - 59.7) ** 2) / 8)).astype(np.float32)
    picture[np.abs(picture - 0.25) < 0.01] = 0.25  # under 0.1% of the pixels differ
    with pytest.warns(UserWarning, match="is flat between its 0.1 and 99.9 percentiles but not constant, so its "
                                         "minmax range 0.25 to 0.74"):
        features = hm.detect(picture, 2, threshold=10)
    assert [(f["x"], f["y"]) for f in features] == [(60, 60)]
    assert features.tobytes() == hm.detect(picture, 2, threshold=10, stretch="minmax").tobytes()
    with pytest.warns(UserWarning, match="is flat: its percentile") as caught:
        assert len(hm.detect(np.full((40, 40), 3, np.uint16), stretch="percentile")) == 0
    # The warning names the caller's line, past the check of the arguments.
    assert [w.filename for w in caught] == [__file__]


def test_response_map():
    scene = blob_scene(90, 110, 12)
    sigma = 3.0
    r = hm.kernel_radius(sigma)
    response = hm.response(scene, sigma)
    assert response.dtype == np.float32 and response.shape == scene.shape
    inside = np.zeros(scene.shape, bool)
    inside[r:-r, r:-r] = True
    assert np.isnan(response[~inside]).all() and np.isfinite(response[inside]).all()
    features = hm.detect(scene, sigma, threshold=10)
    assert np.array_equal(response[features["y"], features["x"]], features["response"])


def test_runs_from_two_threads_at_once():
    """While one thread is inside a long run, another completes its own."""
    large = np.tile(blob_scene(150, 150, 13), (10, 10))
    small = blob_scene(100, 100, 14)
    expected = hm.detect(small, 2, threshold=10)
    started = threading.Event()
    long_run = threading.Thread(target=lambda: (started.set(), hm.detect(large, 2, threshold=10, sigma_max=30, scales=16,
                                                                       threads=1)))
    long_run.start()
    started.wait()
    while hm._core._runs_in_progress() == 0 and long_run.is_alive():  # needs the lock released
        pass
    results = []
    beside = threading.Thread(target=lambda: results.append(hm.detect(small, 2, threshold=10)))
    beside.start()
    beside.join()
    still_running = hm._core._runs_in_progress() == 1
    long_run.join()
    assert still_running and results[0].tobytes() == expected.tobytes()

