"""Sequences in Python: stacks of frames detected as frame-by-frame runs,
frames() and load() on the files the command line reads as sequences, and
Dask along frames and over a cluster."""

import numpy as np
import pytest

import hessian_maxima as hm
from conftest import blob_scene

tifffile = pytest.importorskip("tifffile")

FRAMES = 5


def moving_stack(dtype=np.uint16):
    """Frames of blobs drifting a pixel a frame, each frame brighter than
    the last (so that one stretch range would not fit them all)."""
    base = blob_scene(80, 100, 7).astype(np.float64)
    frames = [np.roll(base, (t, 2 * t), axis=(0, 1)) * (200 + 20 * t) + 100 * t for t in range(FRAMES)]
    return np.stack(frames).astype(dtype)


@pytest.fixture(scope="module")
def stack_files(tmp_path_factory):
    folder = tmp_path_factory.mktemp("sequences")
    stack = moving_stack()
    paths = {"stack": folder / "stack.tif", "pages": []}
    # An ImageJ hyperstack: 5 time points, 0.2 s apart.
    tifffile.imwrite(paths["stack"], stack, imagej=True, metadata={"axes": "TYX", "finterval": 0.2})
    for t in range(FRAMES):
        paths["pages"].append(folder / ("page%d.tif" % t))
        tifffile.imwrite(paths["pages"][-1], stack[t])
    return paths


def features_equal(a, b):
    return all(np.array_equal(a[name], b[name]) for name in hm.FEATURE_DTYPE.names)


@pytest.mark.parametrize("stack", [moving_stack(np.uint16), moving_stack(np.float32),
                                   np.stack([blob_scene(100, 120, s)[..., None].repeat(3, -1) for s in range(4)])])
def test_a_stack_is_detected_frame_by_frame(stack):
    found = hm.detect(stack, 2, threshold=10)
    assert found.dtype == hm.FRAME_FEATURE_DTYPE
    assert np.all(np.diff(found["frame"]) >= 0)
    for t in range(len(stack)):
        alone = hm.detect(stack[t], 2, threshold=10)
        assert len(alone) > 5
        assert features_equal(found[found["frame"] == t], alone)


def test_frames_and_load_read_a_sequence_as_the_command_line(stack_files):
    stack = hm.load(stack_files["stack"], "percentile")
    assert stack.shape == (FRAMES, 80, 100)
    for t, page in enumerate(stack_files["pages"]):
        assert np.array_equal(stack[t], hm.load(page, "percentile"))
    read = list(hm.frames(stack_files["stack"], "1:5:2", stretch="percentile"))
    assert [(f.index, f.time) for f in read] == [(1, 0.2), (3, 0.6000000000000001)]
    assert all(np.array_equal(f.image, stack[f.index]) for f in read)
    assert [f.index for f in hm.frames(stack_files["stack"], slice(3, None))] == [3, 4]
    # A still picture is one frame, without a time.
    (still,) = hm.frames(stack_files["pages"][2])
    assert still.index == 0 and still.time is None
    with pytest.raises(ValueError):
        hm.frames(stack_files["stack"], "4:2")
    with pytest.raises(hm.ImageError, match="cannot read image"):
        hm.frames(stack_files["stack"].parent / "missing.tif")


def test_a_stack_too_large_to_load_is_refused_from_its_header(tmp_path):
    # ImageJ says 100 000 frames of 200 x 200 (4 GB of bytes); 2 are there.
    path = tmp_path / "claims.tif"
    tifffile.imwrite(path, np.zeros((2, 200, 200), np.uint8),
                     description="ImageJ=1.53t\nimages=100000\nframes=100000\n", metadata=None)
    with pytest.raises(ValueError, match="hessian_maxima.frames"):
        hm.load(path)


def test_dask_along_frames_is_one_run(stack_files):
    da = pytest.importorskip("dask.array")
    import hessian_maxima.dask as hd
    raw = tifffile.imread(stack_files["stack"])
    whole = hm.detect(raw, 2, threshold=20, stretch="percentile")
    assert len(whole) > 20
    for chunks in ((2, 80, 100), (1, 30, 40), (3, -1, -1)):
        assert hd.detect_array(da.from_array(raw, chunks=chunks), 2, threshold=20, stretch="percentile").tobytes() == \
            whole.tobytes()
    table = hd.detect_array(da.from_array(raw, chunks=(2, 80, 100)), 2, threshold=20, stretch="percentile",
                            as_dataframe=True).compute()
    assert table.to_records(index=False).astype(hm.FRAME_FEATURE_DTYPE).tobytes() == whole.tobytes()


def test_detect_files_splits_a_sequence_by_frames(stack_files):
    distributed = pytest.importorskip("distributed")
    import hessian_maxima.dask as hd
    paths = [stack_files["pages"][0], stack_files["stack"]]
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                                  dashboard_address=None) as cluster, distributed.Client(cluster) as client:
        table = hd.detect_files(paths, 2, threshold=20, stretch="percentile", client=client, frames_per_task=2)
        linked = hd.detect_files(paths, 2, threshold=20, stretch="percentile", client=client, frames_per_task=2,
                                 track=dict(max_distance=4, min_length=2))
    still = table[table["file"] == str(paths[0])]
    assert (still["frame"] == 0).all() and still["t"].isna().all()
    assert features_equal(still.to_records(index=False), hm.detect(hm.load(paths[0], "percentile"), 2, threshold=20))
    rows = table[table["file"] == str(paths[1])]
    expected = hm.detect(hm.load(paths[1], "percentile"), 2, threshold=20)
    assert np.array_equal(rows["frame"].to_numpy(dtype=np.int32), expected["frame"])
    assert np.allclose(rows["t"].to_numpy(), expected["frame"] * 0.2)
    assert features_equal(rows.to_records(index=False), expected)
    assert rows["error"].isna().all()
    # Linked: the same rows and a last column, a sequence's tracks across
    # its tasks as link() makes them, a still picture's -1.
    assert list(linked.columns) == list(table.columns) + ["track"]
    assert linked.drop(columns="track").equals(table)
    assert (linked["track"][table["file"] == str(paths[0])] == -1).all()
    assert np.array_equal(linked["track"][table["file"] == str(paths[1])].to_numpy(dtype=np.int32),
                          hm.link(expected, 4, min_length=2)["track"])
