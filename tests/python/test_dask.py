"""hessian_maxima.dask: chunked arrays equal whole-array runs; files on a cluster."""

import numpy as np
import pytest

da = pytest.importorskip("dask.array")

import hessian_maxima as hm
import hessian_maxima.dask as hd
from conftest import blob_scene, write_pnm


@pytest.mark.parametrize("settings", [
    {"sigma": 2, "threshold": 10},
    {"sigma": 1.5, "sigma_max": 10, "threshold": 10},   # pruned after gathering
    {"sigma": 1.5, "sigma_max": 10, "threshold": 10, "overlap": 1, "polarity": "bright"},
    {"sigma": 1.5, "sigma_max": 10, "threshold": 10, "border": "interior"},
    {"sigma": 2, "threshold": 10, "border": "nearest"},
    {"sigma": 1.5, "sigma_max": 6, "threshold": 10, "border": "constant"},
])
def test_chunks_give_the_whole_array_run(settings):
    scene = blob_scene(230, 310, 21)
    whole = hm.detect(scene, **settings)
    assert len(whole) > 50
    # Chunks smaller than the margin they need, uneven ones, and last chunks
    # narrower than the margin after one chunk or after several.
    for chunks in ((9, 13), (64, 100), ((225, 5), (304, 6)), ((3, 100, 97, 30), (150, 150, 4, 6))):
        assert hd.detect_array(da.from_array(scene, chunks=chunks), **settings).tobytes() == whole.tobytes()
    frame = hd.detect_array(da.from_array(scene, chunks=(60, 80)), as_dataframe=True, **settings).compute()
    assert frame.to_records(index=False).astype(hm.FEATURE_DTYPE).tobytes() == whole.tobytes()


@pytest.mark.parametrize("dtype", [np.uint16, np.float32])
def test_wide_chunks_share_the_whole_array_stretch(dtype):
    scene = wide_scene(dtype)
    whole = hm.detect(scene, 2, threshold=10, stretch="percentile:1:99")
    assert len(whole) > 50
    chunked = hd.detect_array(da.from_array(scene, chunks=(64, 100)), 2, threshold=10, stretch="percentile:1:99")
    assert chunked.tobytes() == whole.tobytes()


def wide_scene(dtype):
    """Blobs whose chunks have percentiles of their own."""
    scene = blob_scene(230, 310, 22).astype(dtype) * dtype(97)
    scene[:, :150] //= 3
    return scene


def test_warnings_name_the_callers_line():
    with pytest.warns(UserWarning, match="is flat: its percentile") as caught:
        hd.detect_array(da.from_array(np.full((40, 40), 3, np.uint16), chunks=20), stretch="percentile")
    assert [w.filename for w in caught] == [__file__]


def test_small_array_reflected_many_times():
    """A picture smaller than the margin: the reflection repeats, in da.pad
    as in the core."""
    scene = blob_scene(23, 17, 4)
    for border in ("reflect", "nearest"):
        whole = hm.detect(scene, 1.5, sigma_max=9, threshold=1, border=border)
        assert len(whole) > 0
        for chunks in ((5, 7), (23, 17)):
            assert hd.detect_array(da.from_array(scene, chunks=chunks), 1.5, sigma_max=9, threshold=1,
                                   border=border).tobytes() == whole.tobytes()


def test_narrow_chunks_joined_to_their_neighbour():
    assert hd._chunks_of_at_least((990, 10), 17) == (1000,)
    assert hd._chunks_of_at_least((100, 100, 100, 10), 31) == (100, 100, 110)
    assert hd._chunks_of_at_least((5, 100, 3, 100), 31) == (105, 103)


def test_blob_on_a_chunk_corner_found_once():
    scene = np.full((128, 128), 80, np.uint8)
    yy, xx = np.mgrid[0:128, 0:128]
    scene += (100 * np.exp(-((xx - 64.3) ** 2 + (yy - 63.6) ** 2) / 18)).astype(np.uint8)
    features = hd.detect_array(da.from_array(scene, chunks=64), 3, threshold=50)
    assert len(features) == 1
    assert (features["x"][0], features["y"][0]) == (64, 64)


def test_files_on_a_cluster_with_a_broken_one(pictures, tmp_path):
    distributed = pytest.importorskip("distributed")
    broken = tmp_path / "broken.png"
    broken.write_bytes(b"\x89PNG\r\n\x1a\n not a picture")
    flat = tmp_path / "flat.pgm"
    write_pnm(flat, np.full((40, 50), 90, np.uint8))
    tiny = tmp_path / "tiny.pgm"
    write_pnm(tiny, blob_scene(12, 12, 23))
    paths = [pictures["grey"], broken, flat, tiny, pictures["rgb"]]
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                                  dashboard_address=None) as cluster, distributed.Client(cluster) as client:
        table = hd.detect_files(paths, 2, threshold=20, client=client)
        # The stretch's passes over chunks on worker processes.
        wide = wide_scene(np.float32)
        assert hd.detect_array(da.from_array(wide, chunks=100), 2, threshold=10).tobytes() == hm.detect(wide, 2, threshold=10).tobytes()
    failed = table[table["file"] == str(broken)]
    assert len(failed) == 1 and "cannot read image" in failed["error"].iloc[0]
    # Files without features keep a row each, with their warnings.
    assert list(dict.fromkeys(table["file"])) == [str(path) for path in paths]
    for path in (flat, tiny):
        rows = table[table["file"] == str(path)]
        assert len(rows) == 1 and rows["error"].isna().all() and rows["x"].isna().all()
    assert "uses only levels 90 to 90" in table[table["file"] == str(flat)]["warning"].iloc[0]
    assert "is too small for the kernel" in table[table["file"] == str(tiny)]["warning"].iloc[0]
    for path in (pictures["grey"], pictures["rgb"]):
        rows = table[table["file"] == str(path)]
        expected = hm.detect(hm.load(path), 2, threshold=20)
        assert rows["error"].isna().all() and len(rows) == len(expected) > 0
        assert np.array_equal(rows["x_subpixel"].to_numpy(), expected["x_subpixel"])
        assert np.array_equal(rows["polarity"].to_numpy(dtype=np.int8), expected["polarity"])
