"""The detector on chunked Dask arrays, and on many files over a cluster.

detect_array() runs each chunk of a Dask array with enough of its
neighbours' edges around it for the kernels, the maxima search and the
refinement, and keeps the features whose pixel lies in the chunk itself:
the features are exactly those of one run on the whole array, each once.
Deeper samples are mapped to 8 bits with one lo and hi for all chunks,
found over all of them exactly as over the whole array.

A stack of frames (frames x H x W, chunked along the frames) is detected
chunk by chunk, each frame exactly as hessian_maxima.detect() detects it
in a stack.

detect_files() runs many picture files on a dask.distributed cluster: a
local one by default, or the one a Client is connected to; long sequences
(videos, multi-page TIFFs, FITS cubes) are split into ranges of frames
across the workers.
"""

import os

import dask
import dask.array as da
import numpy as np

from . import (FEATURE_DTYPE, FRAME_FEATURE_DTYPE, _core, _detect, _detect_stack, _is_stack, _nothing_searched, _plan,
               _reduction, _run_margin, _run_settings, _samples, _sequence_info, _settings_by_name, _warn_stretch,
               _link_settings, _with_columns, _with_frames, frames, link, load)

__all__ = ["detect_array", "detect_files", "chunk_depth"]

_COLUMNS = FEATURE_DTYPE.names



@_settings_by_name
def chunk_depth(sigma=5.0, *, sigma_max=None, scales=None):
    """How many pixels of its neighbours each chunk needs on every side.

    The kernel radius r = floor(3 sigma + 0.5) of the largest sigma (the
    response at a pixel reads r pixels around it), plus one for the maxima
    search and the refinement, which read the responses next to a feature;
    for a scale range, the radius of the level one step beyond the last
    when that is larger (it refines the scale of the last level's features).
    A border extended as detect()'s `border` says is this deep too.
    """
    return _run_margin(_run_settings(sigma, sigma_max=sigma_max, scales=scales))


def _source_positions(positions, n, border):
    """Which of an axis's n positions each of `positions` (outside 0 .. n -
    1) reads when the axis is extended as `border` says: scipy.ndimage's
    'reflect' (period 2n, the picture then the picture mirrored) or
    'nearest', as the core extends a picture."""
    if border == "nearest":
        return np.clip(positions, 0, n - 1)
    wrapped = np.mod(positions, 2 * n)
    return np.where(wrapped < n, wrapped, 2 * n - 1 - wrapped)


def _extended(array, pad, border):
    """The array extended by `pad` on either side of its rows and columns
    as the core extends a picture, each padding joined to the chunks at the
    ends (it holds no feature of its own). By indices rather than da.pad,
    whose 'symmetric' loses samples where pad exceeds the array."""
    widths = [(pad, pad), (pad, pad)] + [(0, 0)] * (array.ndim - 2)
    chunks = array.chunks
    if border == "constant":
        array = da.pad(array, widths, mode="constant")
    else:
        for axis in (0, 1):
            n = array.shape[axis]
            before = _source_positions(np.arange(-pad, 0), n, border)
            after = _source_positions(np.arange(n, n + pad), n, border)
            array = da.concatenate([da.take(array, before, axis=axis), array, da.take(array, after, axis=axis)],
                                   axis=axis)
    joined = []
    for axis in (0, 1):
        axis_chunks = list(chunks[axis])
        axis_chunks[0] += pad
        axis_chunks[-1] += pad
        joined.append(tuple(axis_chunks))
    return array.rechunk(tuple(joined) + array.chunks[2:])


def _chunks_of_at_least(chunks, size):
    """Chunk sizes along one axis with every chunk at least `size`, joining
    the small ones to their neighbours; one chunk when the axis is shorter."""
    if len(chunks) <= 1 or min(chunks) >= size:
        return tuple(chunks)
    joined = []
    for chunk in chunks:
        if joined and joined[-1] < size:
            joined[-1] += chunk
        else:
            joined.append(chunk)
    if len(joined) > 1 and joined[-1] < size:
        last = joined.pop()  # before indexing: joined[-2] += joined.pop() would add it two chunks back
        joined[-1] += last
    return tuple(joined)


def _starts(chunks):
    return np.concatenate([[0], np.cumsum(chunks)]).astype(np.int64)


def _part(di, depth):
    """Which rows (or columns) of a chunk its neighbour at offset di needs."""
    return slice(-depth, None) if di == -1 else slice(0, depth) if di == 1 else slice(None)


def _edges(block, depth):
    """What the 8 chunks around a chunk need of it, each a copy: for the
    chunk that sees it at offset (di, dj), its last `depth` rows when di is
    -1, its first ones when di is 1, all when 0; columns likewise."""
    return {(di, dj): np.ascontiguousarray(block[_part(di, depth), _part(dj, depth)])
            for di in (-1, 0, 1) for dj in (-1, 0, 1) if (di, dj) != (0, 0)}


def _detect_neighbourhood(block, around, settings, top, left, rows, columns):
    """The features of a chunk, run with its neighbours' edges around it
    (around[1 + di][1 + dj]: the edges of the chunk at offset (di, dj), or
    None), whose pixel lies in the chunk's own rows and columns (of the
    picture: not in its padding), in the picture's coordinates; (left, top)
    is where the margin begins there."""
    grid = []
    for di in (-1, 0, 1):
        line = [block if (di, dj) == (0, 0) else around[1 + di][1 + dj][(di, dj)]
                for dj in (-1, 0, 1) if (di, dj) == (0, 0) or around[1 + di][1 + dj] is not None]
        if di == 0 or any(around[1 + di][1 + dj] is not None for dj in (-1, 0, 1)):
            grid.append(line)
    pixels = np.concatenate([np.concatenate(line, axis=1) for line in grid], axis=0)
    found = _detect(pixels, settings, origin_x=int(left), origin_y=int(top))
    inside = ((found["y"] >= rows[0]) & (found["y"] < rows[1])
              & (found["x"] >= columns[0]) & (found["x"] < columns[1]))
    return found[inside]


def _row_major(*parts):
    """Tables of pixels that never share a pixel, joined in row-major order;
    at one pixel the features keep their order (increasing scale)."""
    table = np.concatenate(parts) if parts else np.empty(0, FEATURE_DTYPE)
    return table[np.lexsort((table["x"], table["y"]))]


def _pruned(overlap, *bands):
    return _core.prune(np.ascontiguousarray(np.concatenate(bands)), overlap)


def _tree(function, parts, width=8):
    """function(*parts) computed as a tree of tasks of at most `width`
    parts each (for sums and the like), so that no task gets them all."""
    while len(parts) > 1:
        parts = [dask.delayed(function, pure=True)(*parts[i:i + width]) for i in range(0, len(parts), width)]
    return parts[0]


def _joined_extents(*extents):
    """(count, min, max) of the finite samples of several pieces together."""
    found = [extent for extent in extents if extent[0]]
    if not found:
        return 0, 0.0, 0.0
    return sum(e[0] for e in found), min(e[1] for e in found), max(e[2] for e in found)


def _summed(*counts):
    return np.sum(counts, axis=0, dtype=np.uint64)


# The core's functions run on the workers through these (a compiled
# function does not pickle).
def _extent(block):
    return _core.sample_extent(_samples(block))


def _counted(search, block):
    return search.count(_samples(block))


def _stretch_range(array, plan):
    """lo and hi of a minmax or percentile stretch over all chunks, exactly
    those of the whole array, and whether equal percentiles were widened:
    the extent is a reduction over the chunks, and the percentiles are found
    by the core's rank passes, each chunk counted where it is and the counts
    summed, pass by pass."""
    blocks = list(array.to_delayed().ravel())
    extent = _tree(_joined_extents, [dask.delayed(_extent, pure=True)(b) for b in blocks])
    widened = False
    if plan.mode == "minmax":
        count, lo, hi = dask.compute(extent)[0]
    else:
        # A search's first pass counts the top 16 bits of every finite
        # sample, whatever the ranks it looks for: it runs with the extent,
        # before the ranks are known.
        first = _core.RankSearch(array.dtype, 0, 0)
        counted = dask.delayed(_counted, pure=False)
        (count, lowest, highest), counts = dask.compute(extent, _tree(_summed, [counted(first, b) for b in blocks]))
        if count:
            search = _core.RankSearch(array.dtype, _core.percentile_rank(plan.low, count),
                                      _core.percentile_rank(plan.high, count))
            while not search.end_pass(counts):
                counts = dask.compute(_tree(_summed, [counted(search, b) for b in blocks]))[0]
            lo, hi, widened = _core.widen_percentiles(*search.values(), lowest, highest)
    if not count:
        raise ValueError("the image holds no numbers: every sample is blank, not a number (NaN) or infinite")
    return lo, hi, widened


def _reduced(block, reduction):
    return _core.reduce(_samples(block), *reduction)


def _frame(table):
    import pandas as pd
    return pd.DataFrame({name: table[name] for name in table.dtype.names})


def _lazy_frame(parts, dtype):
    """A lazy Dask DataFrame of delayed feature tables, one partition each."""
    import dask.dataframe as dd
    meta = _frame(np.empty(0, dtype))
    if not parts:
        return dd.from_pandas(meta, npartitions=1)
    return dd.from_delayed([dask.delayed(_frame, pure=True)(part) for part in parts], meta=meta, verify_meta=False)


def _detect_frames(block, settings, stretch, first):
    """The features of a chunk of whole frames, numbered from `first`."""
    import warnings
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")  # told once, on the client, by detect_array's own check
        return _detect_stack(np.asarray(block), settings, stretch, first=first)


def _detect_stack_array(array, settings, stretch, as_dataframe):
    """detect_array on a stack of frames: chunks of whole frames, each run
    frame by frame as detect() runs a stack, gathered in frame order."""
    if array.ndim == 4 and array.shape[3] not in (3, 4):
        raise ValueError("a stack of colour frames must be F x H x W x 3 or 4, not of shape %s" % (array.shape,))
    _core.check_run_size(*array.shape[1:3])
    # Each chunk holds whole frames; the frames' own axes are not split.
    array = array.rechunk((array.chunks[0],) + tuple((n,) for n in array.shape[1:]))
    starts = _starts(array.chunks[0])
    blocks = array.to_delayed().ravel()
    run = dask.delayed(_detect_frames, pure=True)
    parts = [run(block, settings, stretch, int(starts[i])) for i, block in enumerate(blocks)]
    if as_dataframe:
        return _lazy_frame(parts, FRAME_FEATURE_DTYPE)
    tables = dask.compute(*parts)
    return np.concatenate(tables) if tables else np.empty(0, FRAME_FEATURE_DTYPE)


@_settings_by_name
def detect_array(darray, sigma=5.0, *, threshold=100.0, sigma_max=None, scales=None, polarity="both", overlap=0.1,
                 stretch=None, border=None, as_dataframe=False, threads=1):
    """Finds the blobs of a chunked Dask array, chunk by chunk.

    The features are exactly those of ``hessian_maxima.detect`` on the
    whole array, each reported once: a feature belongs to the chunk that
    holds its pixel.

    Each chunk is run with chunk_depth() pixels of its neighbours around it,
    as ``map_overlap`` would hand them over, but with one task per chunk
    that cuts the edges its 8 neighbours need (map_overlap's graph has a
    task for each of them, which cost more than the chunks' runs on small
    sigmas). The array's own borders are treated as in a whole-array run
    (`border`); chunks smaller than the margin are joined to their
    neighbours. With a scale range, the chunks keep every
    feature and the overlap pruning runs once on all of them, gathered in
    row-major order, so that the chunking cannot change the result.

    A stack of frames, F x H x W (or F x H x W x 3 or 4), is detected
    chunk by chunk along the frames instead: each task runs the frames of
    its chunk (whole frames: chunks across a frame's rows or columns are
    joined), each frame exactly as detect() runs it in a stack, by its own
    stretch range, so that the result equals detect() on the whole stack
    feature for feature, with its ``frame`` field (FRAME_FEATURE_DTYPE).

    Parameters
    ----------
    darray : dask.array.Array or array_like
        H x W (grey) or H x W x 3 or 4 (RGB, RGBA), any chunks (each, with
        its margins, within detect()'s limit of 2**28 pixels), of the
        dtypes hessian_maxima.detect() takes; or a stack of such frames.
    sigma, threshold, sigma_max, scales, polarity, overlap, border, stretch
        As for hessian_maxima.detect(). An extended border pads the whole
        array by chunk_depth() pixels as the core pads a picture, which the
        chunks at the edges take on. A minmax or percentile stretch
        takes lo and hi from the whole array, exactly as detect() finds
        them, and maps every chunk with them: the smallest and largest
        sample by a reduction over the chunks (run now, before the
        detection), the percentiles by counting the samples' bit patterns
        chunk by chunk, 16 bits a pass, the counts summed on the way to
        the client (one pass with the extent for samples of 16 bits, two
        for 32-bit ones, four for float64). The warnings of detect() come
        too (that of few levels under 'none' only when the features are
        computed here, not with `as_dataframe`).
    as_dataframe : bool
        False (default): compute now and return a numpy table of dtype
        FEATURE_DTYPE in row-major order. True: return a lazy
        dask.dataframe.DataFrame with the same columns, one partition per
        row of chunks in row-major order (one partition in all when a scale
        range prunes overlaps, which needs every feature at once).
    threads : int or None
        Threads for each chunk's run (default 1: the chunks themselves run
        in parallel; None: every core).

    Runs on the current Dask scheduler: the threads of this process, or the
    cluster of an active dask.distributed Client.
    """
    settings = _run_settings(sigma, threshold, sigma_max, scales, polarity, overlap, threads, border)
    array = da.asarray(darray)
    if array.dtype.kind in "uif" and not array.dtype.isnative:
        array = array.astype(array.dtype.newbyteorder("="))
    plan = _plan(array.dtype, stretch)
    if _is_stack(array):
        return _detect_stack_array(array, settings, stretch, as_dataframe)
    if array.ndim not in (2, 3) or (array.ndim == 3 and array.shape[2] not in (3, 4)):
        raise ValueError("the array must be H x W (grey), H x W x 3 (RGB) or H x W x 4 (RGBA), not of shape %s"
                         % (array.shape,))
    if max(array.shape[:2]) > np.iinfo(np.int32).max:
        raise ValueError("the array is too large: positions are int32")
    prunes = settings.scales > 1 and settings.overlap < 1.0
    # The chunks run on the padded array as it is: the padding is done here.
    each = settings._replace(overlap=1.0 if prunes else settings.overlap, border="interior")

    depth = _run_margin(settings)
    pad = depth if settings.border != "interior" else 0
    height, width = array.shape[:2]
    chunks = [_chunks_of_at_least(array.chunks[0], depth), _chunks_of_at_least(array.chunks[1], depth)]
    if array.ndim == 3:
        chunks.append((array.shape[2],))
    array = array.rechunk(tuple(chunks))
    levels = ()
    if plan.none is not None or plan.mode != "none":
        # Every chunk mapped with the same lo and hi: the whole array's.
        lo, hi, widened = _stretch_range(array, plan) if plan.mode != "none" and array.size else (0.0, 0.0, False)
        reduction = _reduction(plan, lo, hi)
        array = array.map_blocks(_reduced, reduction, dtype=np.uint8,
                                 chunks=array.chunks[:2] + (((3,),) if array.ndim == 3 else ()))
        if plan.mode != "none" and array.size:
            _warn_stretch(plan, reduction, widened=widened)
        elif array.size and not as_dataframe:
            levels = (array.min(), array.max())
    if pad and array.size:
        array = _extended(array, pad, settings.border)
    # Margins between chunks only: an axis of one chunk needs none.
    margins = [depth if len(c) > 1 else 0 for c in array.chunks[:2]]
    rows, columns = _starts(array.chunks[0]), _starts(array.chunks[1])
    blocks = array.to_delayed().reshape(array.numblocks[:2]) if array.size else np.empty((0, 0))
    edges = np.empty(blocks.shape, object)
    for index in np.ndindex(blocks.shape):
        edges[index] = dask.delayed(_edges, pure=True)(blocks[index], depth)

    run = dask.delayed(_detect_neighbourhood, pure=True)
    bands = []
    for i in range(blocks.shape[0]):
        parts = []
        for j in range(blocks.shape[1]):
            around = [[edges[i + di, j + dj] if 0 <= i + di < blocks.shape[0] and 0 <= j + dj < blocks.shape[1]
                       and (di, dj) != (0, 0) else None for dj in (-1, 0, 1)] for di in (-1, 0, 1)]
            # In the picture's coordinates, the padding left out.
            top = rows[i] - (margins[0] if i > 0 else 0) - pad
            left = columns[j] - (margins[1] if j > 0 else 0) - pad
            parts.append(run(blocks[i, j], around, each, top, left,
                             (max(rows[i] - pad, 0), min(rows[i + 1] - pad, height)),
                             (max(columns[j] - pad, 0), min(columns[j + 1] - pad, width))))
        bands.append(dask.delayed(_row_major, pure=True)(*parts))
    if prunes:
        bands = [dask.delayed(_pruned, pure=True)(settings.overlap, *bands)] if bands else []

    if as_dataframe:
        return _lazy_frame(bands, FEATURE_DTYPE)
    *tables, lowest, highest = dask.compute(*bands, *(levels or (0, 0)))
    if levels:
        _warn_stretch(plan, reduction, (lowest, highest))
    return np.concatenate(tables) if tables else np.empty(0, FEATURE_DTYPE)


def _detect_file(path, settings, stretch, first=0, end=-1):
    """One file (or frames first..end of a sequence, end -1 for all) on a
    worker: its features with their frames and times, or why it failed, and
    whether it is a still picture; never raises."""
    import warnings
    still = False
    try:
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always")
            still = first == 0 and end < 0 and _sequence_info(path)["kind"] == "picture"
            if still:
                pixels = load(path, stretch)
                tables, numbers, stamps = [_detect(pixels, settings)], [0], [np.nan]
            else:
                pixels, tables, numbers, stamps = None, [], [], []
                for frame in frames(path, slice(first, None if end < 0 else end), stretch=stretch):
                    pixels = frame.image if pixels is None else pixels
                    tables.append(_detect(frame.image, settings))
                    numbers.append(frame.index)
                    stamps.append(np.nan if frame.time is None else frame.time)
        notes = [str(w.message) for w in caught]
        nothing = _nothing_searched(pixels, settings) if pixels is not None else ""
        if nothing:
            notes.append("'%s' %s" % (path, nothing))
        times = np.repeat(np.asarray(stamps, np.float64), [len(t) for t in tables])
        return _with_frames(tables, numbers), times, None, "; ".join(notes) or None, still
    except Exception as error:  # every failure is the file's own row
        return None, None, "%s: %s" % (type(error).__name__, error), None, still


def _ranges(path, frames_per_task):
    """The frame ranges (first, end) a file is run in: one for a still
    picture or a sequence of unknown length, else ranges of
    frames_per_task frames (the last one open, so that an estimated count
    loses nothing). A file the client cannot read is one range too: the
    worker says why."""
    try:
        info = _sequence_info(path)
    except (ValueError, OSError):
        return [(0, -1)]
    count = info["frames"]
    if info["kind"] == "picture" or info["live"] or count <= frames_per_task:
        return [(0, -1)]
    firsts = list(range(0, count, frames_per_task))
    return [(first, firsts[i + 1] if i + 1 < len(firsts) else -1) for i, first in enumerate(firsts)]


@_settings_by_name
def detect_files(paths, sigma=5.0, *, threshold=100.0, sigma_max=None, scales=None, polarity="both", overlap=0.1,
                 stretch=None, border=None, client=None, threads=1, frames_per_task=250, track=None):
    """Runs many picture files on a dask.distributed cluster, one task a file.

    Sequences (videos, multi-page TIFFs, FITS cubes, numbered files) of more
    than `frames_per_task` frames are split into ranges of frames, a task
    each, so that one long video keeps every worker busy; every frame is
    read and detected as hessian_maxima.frames() and detect() do.

    Parameters
    ----------
    paths : iterable of str or os.PathLike
        Picture files or sequences, read by the workers (so they must see
        the same paths, e.g. on a shared file system) with
        hessian_maxima.load() and hessian_maxima.frames(); the client opens
        each once to learn its number of frames.
    sigma, threshold, sigma_max, scales, polarity, overlap, border
        As for hessian_maxima.detect().
    stretch : str or None
        As for hessian_maxima.load(): each file (each frame) is mapped with
        the command line's default for it (None) or this --stretch.
    client : distributed.Client or None
        The cluster to run on, e.g. ``Client("tcp://scheduler:8786")``.
        None (default): a LocalCluster of one single-threaded worker process
        per core, closed at the end.
    threads : int or None
        Threads for each file's run (default 1: the files run in parallel;
        None: every core of the worker).
    frames_per_task : int
        Frames of a sequence a task reads and detects (default 250).
    track : float, dict or None
        As for hessian_maxima.detect(): link each sequence's features into
        tracks once its frames are gathered (on the client, one sequence at
        a time), adding a last column ``track`` (Int32): numbered from 0 in
        each file, -1 for a feature in no track and for the features of a
        still picture, empty on a row without a feature. None (default):
        not linked.

    Returns
    -------
    pandas.DataFrame
        One row per feature, in the order of `paths` and, within a file, in
        frame order, then row-major order: ``file`` (the path as given),
        ``frame`` (0 for a still picture), ``t`` (the frame's time in
        seconds, NaN when the file has no time stamps), the columns of
        FEATURE_DTYPE, ``error`` and ``warning``. A file that cannot be read
        or run has one row with its ``error`` (the other columns empty) and
        does not stop the rest; so does a file without features, with its
        ``warning`` if it has one. A damaged file whose readable part was
        used, or one that load() warns about otherwise (a flat or faint
        picture, or one too small for the kernel), has its ``warning`` on
        each row (on a sequence's, those of the range of frames it was
        found in). ``frame``, ``x``, ``y`` and ``polarity`` are pandas'
        nullable integers.
    """
    import pandas as pd
    settings = _run_settings(sigma, threshold, sigma_max, scales, polarity, overlap, threads, border)
    linking = _link_settings(track)
    if linking is not None:
        link(np.empty(0, FRAME_FEATURE_DTYPE), **linking)  # refuses bad settings before the run
    paths = [os.fspath(path) for path in paths]
    _plan(np.uint8, stretch)  # refuses a stretch the loader would not know
    if int(frames_per_task) < 1:
        raise ValueError("frames_per_task must be at least 1, not %r" % (frames_per_task,))
    tasks = [(i, path, first, end) for i, path in enumerate(paths) for first, end in _ranges(path, int(frames_per_task))]

    results = []
    own = None
    if client is None and tasks:
        from distributed import Client, LocalCluster
        own = Client(LocalCluster(threads_per_worker=1, processes=True, dashboard_address=None))
        client = own
    try:
        futures = [client.submit(_detect_file, path, settings, stretch, first, end, pure=False)
                   for _, path, first, end in tasks]
        for future in futures:
            try:
                results.append(future.result())
            except Exception as error:  # the worker itself was lost
                results.append((None, None, "%s: %s" % (type(error).__name__, error), None, False))
    finally:
        if own is not None:
            cluster = own.cluster
            own.close()
            cluster.close()

    columns = ["file", "frame", "t", *_COLUMNS, "error", "warning"] + (["track"] if linking is not None else [])
    parts = [pd.DataFrame({name: [] for name in columns})]
    outcomes = [[] for _ in paths]  # each file's tasks, in order
    for (i, _, _, _), result in zip(tasks, results):
        outcomes[i].append(result)
    for path, outcome in zip(paths, outcomes):
        found = [(table, times, warning) for table, times, error, warning, _ in outcome
                 if table is not None and len(table)]
        if not found:
            # A file without features keeps a row, empty but for its
            # warning or error, so that it does not vanish from the table.
            errors = [error for _, _, error, _, _ in outcome if error]
            notes = [warning for _, _, _, warning, _ in outcome if warning]
            parts.append(pd.DataFrame({"error": [errors[0] if errors else None],
                                       "warning": ["; ".join(notes) or None], "file": [path]}))
            continue
        if linking is not None:
            # The file's frames, from all its tasks, linked as one sequence.
            whole = np.concatenate([table for table, _, _ in found])
            still = any(is_still for _, _, _, _, is_still in outcome)
            numbers = np.full(len(whole), -1, np.int32) if still else link(whole, **linking)["track"]
            found = [(_with_columns(table, {"track": part}), times, warning) for (table, times, warning), part
                     in zip(found, np.split(numbers, np.cumsum([len(table) for table, _, _ in found])[:-1]))]
        for table, times, warning in found:
            parts.append(_frame(table).assign(t=times, error=None, warning=warning, file=path))
    table = pd.concat(parts, ignore_index=True)
    types = {name: FEATURE_DTYPE[name].name for name in _COLUMNS}
    types.update(x="Int32", y="Int32", polarity="Int8", frame="Int64", t="float64", file=object, error=object,
                 warning=object)
    if linking is not None:
        types["track"] = "Int32"
    return table[columns].astype(types)
