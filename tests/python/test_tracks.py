"""hessian_maxima.link and track_summary on tables of detections."""

import numpy as np
import pandas as pd
import pytest

import hessian_maxima as hm


def diffusing(particles=40, frames=60, d=0.5, seed=1):
    """Brownian particles (D in px^2 a frame) far enough apart to link
    without doubt: a DataFrame of frame, x, y and the true particle, in
    frame order, shuffled within each frame."""
    rng = np.random.default_rng(seed)
    start = np.stack(np.meshgrid(np.arange(particles // 8), np.arange(8)), -1).reshape(-1, 2)[:particles] * 40.0 + 20
    steps = rng.normal(0.0, np.sqrt(2 * d), (frames, particles, 2))
    positions = start[None] + np.cumsum(steps, axis=0)
    rows = []
    for f in range(frames):
        for p in rng.permutation(particles):
            rows.append((f, positions[f, p, 0], positions[f, p, 1], p))
    return pd.DataFrame(rows, columns=["frame", "x", "y", "particle"])


def as_features(table):
    """The table as a sequence's feature array: FEATURE_DTYPE and a frame
    field, the positions in the sub-pixel fields only."""
    features = np.zeros(len(table), dtype=hm.FEATURE_DTYPE.descr + [("frame", "<i4")])
    features["x_subpixel"], features["y_subpixel"] = table["x"], table["y"]
    features["frame"] = table["frame"]
    return features


def test_tables_link_alike_and_follow_the_particles():
    truth = diffusing()
    linked = hm.link(truth, 5.0)
    assert list(linked.columns) == ["frame", "x", "y", "particle", "track"] and linked["track"].dtype == np.int32
    assert "track" not in truth
    # One track per particle, numbered by first detection (frame 0, then row).
    first_rows = truth[truth.frame == 0]
    assert np.array_equal(linked.loc[first_rows.index, "track"], np.arange(len(first_rows)))
    assert (linked.groupby("particle")["track"].nunique() == 1).all()
    assert linked["track"].nunique() == truth["particle"].nunique()
    # The structured array gives the same numbers from its sub-pixel fields
    # (its whole-pixel x and y are all 0 here).
    features = hm.link(as_features(truth), 5.0)
    assert features.dtype.names[-1] == "track" and features.dtype.names[:-1] == as_features(truth).dtype.names
    assert np.array_equal(features["track"], linked["track"])
    # Linking again replaces the column.
    assert np.array_equal(hm.link(linked, 5.0)["track"], linked["track"])


def test_gaps_lengths_and_motion():
    truth = diffusing(particles=16, frames=30, seed=2)
    # Every particle unseen in frames 10 and 11: two pieces each without
    # gap closing, one track with it.
    holed = truth[(truth.frame < 10) | (truth.frame > 11)]
    assert hm.link(holed, 5.0)["track"].nunique() == 32
    closed = hm.link(holed, 5.0, gap=2)
    assert closed["track"].nunique() == 16 and (closed.groupby("particle")["track"].nunique() == 1).all()
    # Tracks shorter than min_length give -1.
    short = hm.link(holed, 5.0, min_length=11)["track"]
    assert set(short[holed.frame < 10]) == {-1} and (short[holed.frame > 11] >= 0).all()
    # Two particles running straight through each other's way, 3 px a frame.
    f = np.arange(8)
    crossing = pd.DataFrame({"frame": np.r_[f, f], "x": np.r_[3.0 * f, 21 - 3.0 * f], "y": np.r_[3.0 * f, 3.0 * f + 2]})
    straight = [0] * 8 + [1] * 8
    assert hm.link(crossing, 5.0)["track"].tolist() != straight
    for motion in ("velocity", "kalman"):
        assert hm.link(crossing, 5.0, motion=motion)["track"].tolist() == straight


def test_summaries():
    truth = diffusing(particles=8, frames=2000, d=0.5, seed=3)
    linked = hm.link(truth, 8.0)
    summary = hm.track_summary(linked)
    assert list(summary.columns) == list(hm.TRACK_SUMMARY_DTYPE.names) and len(summary) == 8
    assert (summary.length == 2000).all() and (summary.first_frame == 0).all() and (summary.last_frame == 1999).all()
    means = linked.groupby("track")[["x", "y"]].mean()
    assert np.allclose(summary.mean_x, means.x) and np.allclose(summary.mean_y, means.y)
    # D of the walks within 15%; the speed is the mean step (about
    # sqrt(pi D), the mean of a Rayleigh variable of scale sqrt(2 D)).
    assert np.all(np.abs(summary.diffusion / 0.5 - 1) < 0.15), summary.diffusion
    assert np.all(np.abs(summary.mean_speed / np.sqrt(np.pi * 0.5) - 1) < 0.05)
    # With time stamps of 0.25 s a frame, per second: speed and D four times.
    timed = linked.assign(t=linked.frame * 0.25)
    per_second = hm.track_summary(timed)
    assert np.allclose(per_second.mean_speed, 4 * summary.mean_speed)
    assert np.allclose(per_second.diffusion, 4 * summary.diffusion)
    # A structured table gives a structured summary; tracks of -1 are left out.
    features = hm.link(as_features(truth[truth.frame < 3]), 8.0, min_length=1)
    features["track"][0] = -1
    table = hm.track_summary(features)
    assert table.dtype == hm.TRACK_SUMMARY_DTYPE and table["length"].sum() == len(features) - 1


def test_bad_tables_and_settings():
    truth = diffusing(particles=8, frames=3)
    with pytest.raises(ValueError, match="frame"):
        hm.link(np.zeros(3, dtype=hm.FEATURE_DTYPE), 5.0)
    with pytest.raises(ValueError, match="columns frame, x and y"):
        hm.link(truth.drop(columns="y"), 5.0)
    with pytest.raises(ValueError, match="whole numbers"):
        hm.link(truth.assign(frame=truth.frame * 1.0), 5.0)
    with pytest.raises(ValueError, match="finite"):
        hm.link(truth.assign(x=np.where(truth.index == 3, np.nan, truth.x)), 5.0)
    for settings in ({"max_distance": 0}, {"max_distance": np.inf}, {"gap": -1}, {"gap": 1001},
                     {"min_length": 0}, {"motion": "brownian"}):
        with pytest.raises(ValueError):
            hm.link(truth, **{"max_distance": 5.0, **settings})
    # link(tracks, 5, 2) could mean a gap or a minimum length: named only.
    with pytest.raises(TypeError, match=r"link\(\) takes features and max_distance by position.*gap=2"):
        hm.link(truth, 5.0, 2)
    with pytest.raises(ValueError, match="track"):
        hm.track_summary(truth)
    with pytest.raises(ValueError, match="one detection a frame"):
        hm.track_summary(truth.assign(track=0))
    assert len(hm.link(truth.iloc[:0], 5.0)) == 0


def spots_picture(centres, sigma=1.6, amplitude=150.0, background=40.0, size=64):
    yy, xx = np.mgrid[0:size, 0:size]
    picture = np.full((size, size), background)
    for x, y in centres:
        picture += amplitude * np.exp(-((xx - x) ** 2 + (yy - y) ** 2) / (2 * sigma * sigma))
    return np.clip(np.rint(picture), 0, 255).astype(np.uint8)


def test_refine_fits_spots_beside_the_detector_positions():
    centres = [(14.3, 20.7), (40.62, 15.15), (30.0, 44.49), (50.81, 50.26)]
    picture = spots_picture(centres)
    features = hm.detect(picture, 1.5, threshold=50, threads=1)
    assert len(features) == 4
    refined = hm.refine(picture, features)
    assert refined.dtype.names == features.dtype.names + hm.REFINE_FIELDS
    # The detector's own fields are left as they are.
    for name in features.dtype.names:
        assert np.array_equal(refined[name], features[name])
    order = np.argsort(refined["x_fit"])
    truth = np.array(sorted(centres))
    assert np.abs(refined["x_fit"][order] - truth[:, 0]).max() < 0.01
    assert np.abs(refined["y_fit"][order] - truth[:, 1]).max() < 0.01
    assert np.abs(refined["sigma_fit"] - 1.6).max() < 0.01
    assert np.abs(refined["amplitude"] - 150).max() < 1 and np.abs(refined["background"] - 40).max() < 0.5
    # Closer than the parabola through the responses.
    fitted = np.hypot(refined["x_fit"][order] - truth[:, 0], refined["y_fit"][order] - truth[:, 1])
    parabola = np.hypot(features["x_subpixel"][order] - truth[:, 0], features["y_subpixel"][order] - truth[:, 1])
    assert fitted.max() < parabola.max() / 2
    # A colour picture of the same grey, a DataFrame, a fixed radius.
    assert np.array_equal(hm.refine(np.dstack([picture] * 3), features)["x_fit"], refined["x_fit"])
    frame = hm.refine(picture, pd.DataFrame({"x": features["x_subpixel"], "y": features["y_subpixel"],
                                             "sigma": features["sigma"]}))
    assert np.array_equal(frame["x_fit"].to_numpy(), refined["x_fit"])
    assert np.abs(hm.refine(picture, features, radius=5)["x_fit"][order] - truth[:, 0]).max() < 0.01
    # link() takes the fitted positions when the table has them.
    sequence = np.zeros(4, dtype=refined.dtype.descr + [("frame", "<i4")])
    for name in refined.dtype.names:
        sequence[name] = refined[name]
    sequence["frame"] = [0, 1, 2, 3]
    sequence["x_subpixel"] = [0, 100, 200, 300]  # far apart: never linked
    assert hm.link(sequence, 60.0)["track"].tolist() == [0, 0, 0, 0]


def test_refine_refuses_bad_input_and_keeps_refused_positions():
    picture = spots_picture([(20.0, 20.0)])
    features = hm.detect(picture, 1.5, threshold=50, threads=1)
    flat = np.full((64, 64), 90, np.uint8)
    refused = hm.refine(flat, features)
    assert np.isnan(refused["sigma_fit"]).all() and np.isnan(refused["amplitude"]).all()
    assert np.array_equal(refused["x_fit"], features["x_subpixel"].astype(float))
    assert len(hm.refine(picture, features[:0])) == 0
    outside = features.copy()
    outside["x_subpixel"] = 64.0
    with pytest.raises(ValueError, match="inside the image"):
        hm.refine(picture, outside)
    with pytest.raises(ValueError, match="radius"):
        hm.refine(picture, features, radius=0)
    with pytest.raises(ValueError, match="sigma"):
        hm.refine(picture, pd.DataFrame({"x": [1.0], "y": [2.0]}))
    zero = features.copy()
    zero["sigma"] = 0
    with pytest.raises(ValueError, match="sigma"):
        hm.refine(picture, zero)


# Three spots moving straight at their own steps (x, y) a frame, apart all
# the way, and a fourth in frames 3 and 4 only.
MOVING = ((15, 15, 2, 1), (70, 20, -1, 2), (20, 55, 3, 0))


def moving_stack(frames=8, height=70, width=90):
    yy, xx = np.mgrid[0:height, 0:width]
    stack = np.full((frames, height, width), 20.0)
    for t in range(frames):
        centres = [(x0 + dx * t, y0 + dy * t) for x0, y0, dx, dy in MOVING] + ([(62, 58)] if t in (3, 4) else [])
        for cx, cy in centres:
            stack[t] += 150 * np.exp(-((xx - cx) ** 2 + (yy - cy) ** 2) / (2 * 2.0 ** 2))
    return stack.astype(np.uint8)


def test_detect_links_a_stack_in_the_same_call():
    stack = moving_stack()
    found = hm.detect(stack, 2, threshold=50)
    linked = hm.detect(stack, 2, threshold=50, track=4.0)
    assert linked.dtype.names == found.dtype.names + ("track",)
    assert np.array_equal(linked, hm.link(found, 4.0))
    # One track per moving spot, the spot of two frames short of min_length.
    settings = dict(max_distance=4, gap=1, min_length=3, motion="velocity")
    kept = hm.detect(stack, 2, threshold=50, track=settings)
    assert np.array_equal(kept, hm.link(found, **settings))
    assert np.bincount(kept["track"][kept["track"] >= 0]).tolist() == [8, 8, 8]
    assert (kept["track"] == -1).sum() == 2
    # Only stacks are linked; the settings are link()'s, checked as it checks them.
    with pytest.raises(ValueError, match="single picture"):
        hm.detect(stack[0], 2, threshold=50, track=4.0)
    for bad, message in (("4", "max distance"), (True, "max distance"), ([4], "max distance"),
                         (dict(gap=1), "max_distance is missing"), (dict(max_distance=4, gaps=1), "not gaps"),
                         (-1.0, "positive"), (dict(max_distance=4, gap=-1), "gap")):
        with pytest.raises(ValueError, match=message):
            hm.detect(stack, 2, threshold=50, track=bad)


def test_command_line_tracks_are_link_and_track_summary(tmp_path, cli):
    import subprocess
    tifffile = pytest.importorskip("tifffile")
    tifffile.imwrite(tmp_path / "moving.tif", moving_stack())
    run = subprocess.run([cli, "-s", "2", "-t", "50", "--details", "--track", "4", "--min-length", "3",
                          "--tracks", str(tmp_path / "tracks.csv"), "-o", str(tmp_path / "rows.csv"),
                          str(tmp_path / "moving.tif")], capture_output=True, text=True)
    assert run.returncode == 0, run.stderr
    rows = pd.read_csv(tmp_path / "rows.csv")
    # The command line's track column is link() on its own features (their
    # sub-pixel positions).
    table = rows.drop(columns="track")
    assert np.array_equal(hm.link(table, 4.0, min_length=3)["track"], rows["track"])
    # And its track table is track_summary() of them (positions to the
    # three decimals the rows carry).
    tracks = pd.read_csv(tmp_path / "tracks.csv")
    summary = hm.track_summary(hm.link(table, 4.0, min_length=3))
    assert list(tracks.columns) == list(hm.TRACK_SUMMARY_DTYPE.names) + ["time_unit"]
    assert (tracks["time_unit"] == "frame").all()
    for name in ("track", "first_frame", "last_frame", "length"):
        assert np.array_equal(tracks[name], summary[name])
    for name in ("mean_x", "mean_y", "mean_speed", "diffusion"):
        assert np.allclose(tracks[name], summary[name], atol=2e-3, rtol=0), name
