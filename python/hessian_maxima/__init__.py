"""Blob detection with the determinant of the Hessian, for numpy arrays.

The same detector as the hessian-maxima command-line tool and window, run by
the same compiled code: on the same picture and settings, detect() returns
exactly the features the command line writes with --details.

    >>> import hessian_maxima as hm
    >>> features = hm.detect(hm.load("cells.png"), sigma=3, threshold=50)
    >>> features["x_subpixel"], features["response"]

16-bit, 32-bit and float arrays are mapped to the detector's 8 bits as the
command line maps such pictures (`stretch`, see detect()).

Functions: detect, response, load, prune, kernel_radius; link and
track_summary for detections across frames. Chunked Dask arrays and many
files on a cluster: hessian_maxima.dask.
"""

import collections
import operator
import os

import numpy as np

try:
    from . import _core
except ImportError:
    # Python in the python/ folder of a checkout finds the sources before the
    # built or installed package, and without this says "circular import".
    _here = os.path.dirname(os.path.abspath(__file__))
    if any(name.startswith("_core.") for name in os.listdir(_here)):
        raise
    raise ImportError(
        "hessian_maxima was imported from its sources in %s, which hold no compiled module "
        "(_core): run Python outside that folder, with the package installed (pip install) "
        "or built (PYTHONPATH=build/python)" % os.path.dirname(_here)) from None

#: The version of the package and of the programs it was built with.
__version__ = _core.__version__

__all__ = ["FEATURE_DTYPE", "BLOB_RADIUS_PER_SIGMA", "TRACK_SUMMARY_DTYPE", "DIFFUSION_LAGS", "ImageError", "detect",
           "response", "load", "prune", "kernel_radius", "link", "track_summary"]

#: The fields of a feature table: x, y (the pixel, int32), x_subpixel,
#: y_subpixel, sigma, response (float32) and polarity (int8: +1 bright,
#: -1 dark).
FEATURE_DTYPE = _core.FEATURE_DTYPE

#: A feature of sigma s stands for a blob of radius BLOB_RADIUS_PER_SIGMA * s
#: (sqrt(2)) in the overlap pruning.
BLOB_RADIUS_PER_SIGMA = _core.BLOB_RADIUS_PER_SIGMA

#: The fields of a track summary table (see track_summary()).
TRACK_SUMMARY_DTYPE = _core.TRACK_SUMMARY_DTYPE

#: The frame lags 1 .. DIFFUSION_LAGS over which track_summary() fits the
#: mean squared displacement.
DIFFUSION_LAGS = _core.DIFFUSION_LAGS

_POLARITIES = ("both", "bright", "dark")

# Where the package's own modules lie, which its warnings look past.
_PACKAGE_FOLDER = os.path.dirname(os.path.abspath(__file__))


class ImageError(OSError, ValueError):
    """A picture file that cannot be read; the message says why."""


def _settings_by_name(function):
    """Refuses, with a TypeError that says how to call it, more positional
    arguments than the function's leading ones (the picture and sigma, the
    features and max_distance): ``detect(image, 1, 30)`` reads as a sigma
    range to some and as threshold 30 to others, so every other setting is
    given by name."""
    import functools
    import inspect
    parameters = inspect.signature(function).parameters.values()
    leading = [p.name for p in parameters if p.kind == inspect.Parameter.POSITIONAL_OR_KEYWORD]
    named = [p.name for p in parameters if p.kind == inspect.Parameter.KEYWORD_ONLY]

    @functools.wraps(function)
    def checked(*args, **kwargs):
        if len(args) > len(leading):
            extra = args[len(leading)]
            hints = ["%s=%r" % (named[0], extra)]
            if "sigma_max" in named and named[0] != "sigma_max":
                hints.append("sigma_max=%r for a scale range" % (extra,))
            raise TypeError("%s() takes %s by position and every other setting by name; it was given %d "
                            "positional arguments: name the setting meant, e.g. %s"
                            % (function.__name__, " and ".join(leading), len(args), " or ".join(hints)))
        return function(*args, **kwargs)
    return checked


# A run's settings, checked and rounded to float as the command line does.
_RunSettings = collections.namedtuple(
    "_RunSettings", "sigma threshold scales sigma_max polarity overlap threads border")

_BORDERS = ("reflect", "nearest", "constant", "interior")


def _float32(value, name):
    try:
        number = float(value)
    except (TypeError, ValueError):
        raise ValueError("%s must be a number, not %r" % (name, value)) from None
    # The command line reads doubles and runs with them rounded to float.
    with np.errstate(over="ignore"):
        return float(np.float32(number))


def _whole(value, name):
    try:
        return operator.index(value)
    except TypeError:
        raise ValueError("%s must be a whole number, not %r" % (name, value)) from None


def _run_settings(sigma=5.0, threshold=100.0, sigma_max=None, scales=None, polarity="both", overlap=0.1,
                 threads=None, border=None):
    """Checks a run's settings as the command line checks its options.

    Returns a _RunSettings with sigma, threshold, sigma_max and overlap
    rounded to float, scales resolved (1 for a single sigma, 10 for a range
    unless given), threads as the core takes them (0: every core) and the
    border resolved ('interior' for a single sigma, 'reflect' for a range
    unless given).
    Raises ValueError for settings the command line refuses.
    """
    sigma = _float32(sigma, "sigma")
    if not (np.isfinite(sigma) and sigma > 0):
        raise ValueError("sigma must be a positive finite number, not %r" % sigma)
    threshold = _float32(threshold, "threshold")
    if not np.isfinite(threshold):
        raise ValueError("threshold must be a finite number, not %r" % threshold)
    if border is not None and border not in _BORDERS:
        raise ValueError("border must be None, 'reflect', 'nearest', 'constant' or 'interior', not %r" % (border,))
    if polarity not in _POLARITIES:
        raise ValueError("polarity must be 'both', 'bright' or 'dark', not %r" % (polarity,))
    overlap = float(overlap) if isinstance(overlap, (int, float, np.number)) else overlap
    if not isinstance(overlap, float) or not 0.0 <= overlap <= 1.0:
        raise ValueError("overlap must be a number from 0 to 1, not %r" % (overlap,))
    overlap = _float32(overlap, "overlap")
    if threads is None:
        threads = 0
    else:
        threads = _whole(threads, "threads")
        if not 1 <= threads <= 1024:
            raise ValueError("threads must be from 1 to 1024 (or None: every core), not %r" % threads)
    if sigma_max is None:
        if scales is not None and _whole(scales, "scales") != 1:
            raise ValueError("scales=%r needs a scale range: give sigma_max too" % (scales,))
        scales = 1
        sigma_max = sigma
    else:
        sigma_max = _float32(sigma_max, "sigma_max")
        if not (np.isfinite(sigma_max) and sigma_max > sigma):
            raise ValueError("sigma_max must be a finite number above sigma (%r), not %r" % (sigma, sigma_max))
        scales = _core.DEFAULT_SCALES if scales is None else _whole(scales, "scales")
        if not 2 <= scales <= _core.MAX_SCALES:
            raise ValueError("a scale range takes 2 to %d scales, not %r" % (_core.MAX_SCALES, scales))
    _core.kernel_radius(sigma, sigma_max, scales)  # what the core cannot set up
    if border is None:
        border = "reflect" if scales > 1 else "interior"
    return _RunSettings(sigma, threshold, scales, sigma_max, polarity, overlap, threads, border)


def _samples(image):
    """The array as the core reads it: in the machine's byte order (FITS
    readers give big-endian arrays), its columns a whole number of samples
    apart and forwards (anything else copied once)."""
    array = np.asarray(image)
    if array.dtype.kind in "uif" and not array.dtype.isnative:
        array = array.astype(array.dtype.newbyteorder("="))
    if array.ndim >= 2 and (array.strides[1] < 0 or array.strides[1] % array.itemsize):
        array = np.ascontiguousarray(array)
    return array


# How an array is brought to 8 bits: the mode ('none', 'minmax' or
# 'percentile', the default resolved), the percentages of a percentile
# stretch, and the reduction of 'none' ((kind, lo, hi); None for uint8,
# taken as it is).
_Plan = collections.namedtuple("_Plan", "mode low high none")


def _plan(dtype, stretch):
    dtype = np.dtype(dtype)
    if dtype.kind in "uif":
        dtype = dtype.newbyteorder("=")
    mode, low, high, kind, lo, hi = _core.stretch_plan(dtype, stretch)
    return _Plan(mode, low, high, None if dtype == np.uint8 else (kind, lo, hi))


def _reduction(plan, lo=0.0, hi=0.0):
    """The (kind, lo, hi) the core reduces samples with under the plan,
    lo and hi those of a minmax or percentile stretch."""
    return plan.none if plan.mode == "none" else (_core.REDUCE_STRETCH, lo, hi)


def _outside_level():
    """The stacklevel with which the function that calls this one makes
    warnings.warn name the first frame outside this package: the user's
    line, whichever of the package's functions (and its check of the
    arguments) lie between."""
    import sys
    frame, level = sys._getframe(1), 1
    while frame is not None and os.path.dirname(os.path.abspath(frame.f_code.co_filename)) == _PACKAGE_FOLDER:
        frame, level = frame.f_back, level + 1
    return level


def _warn_stretch(plan, reduction, levels=(0, 0), widened=False):
    """Warns as the command line does when a stretch is flat (every pixel
    0), when equal percentiles were widened to the extent of a picture that
    is not constant, or when deeper samples under 'none' use less than 1/8
    of the 256 levels ((lowest, highest) of the mapped pixels)."""
    notice = _core.stretch_notice(plan.mode, plan.low, plan.high, reduction[1], reduction[2], *map(int, levels),
                                  widened)
    if notice:
        import warnings
        # Under 'none' the only notice is of few levels.
        warnings.warn(_stretch_warning("the image", notice, plan.mode == "none"), stacklevel=_outside_level())


def _stretch_warning(subject, notice, narrow):
    """The warning of a stretch's notice; one of few levels points to the
    stretches that spread them."""
    return "%s %s%s" % (subject, notice, "; stretch='percentile' or 'minmax' spreads them" if narrow else "")


def _detector_input(image, stretch=None):
    """The image as the detector takes it: uint8, H x W or H x W x 3 or 4,
    mapped to 8 bits as `stretch` says (see detect()). Warns as
    _warn_stretch says."""
    array = np.asarray(image)
    if array.ndim >= 2:
        _core.check_run_size(*array.shape[:2])  # before any copy or pass over the samples
    plan = _plan(array.dtype, stretch)
    if plan.none is None and plan.mode == "none":
        return array
    array = _samples(array)
    lo, hi, widened = 0.0, 0.0, False
    if plan.mode != "none" and array.size:
        lo, hi, widened = _core.stretch_range(array, plan.mode, plan.low, plan.high)
    reduction = _reduction(plan, lo, hi)
    pixels = _core.reduce(array, *reduction)
    if pixels.size:
        _warn_stretch(plan, reduction, (pixels.min(), pixels.max()) if plan.mode == "none" else (0, 0),
                      widened=widened)
    return pixels


@_settings_by_name
def detect(image, sigma=5.0, *, threshold=100.0, sigma_max=None, scales=None, polarity="both", overlap=0.1,
           stretch=None, border=None, threads=None):
    """Finds the blobs of a picture: the maxima of the determinant of the Hessian.

    Runs the command-line tool's detection on the array and returns the
    same features, in the same order, with the same values.

    Parameters
    ----------
    image : array_like
        The picture, with any strides (a grey array whose rows are runs of
        adjacent bytes is read where it lies, anything else copied once):

        - uint8, H x W: grey, the detector's input as it is;
        - uint8, H x W x 3 (RGB) or H x W x 4 (RGBA, alpha ignored): brought
          to grey as the command line does, (B * 0.114 + G * 0.587) +
          R * 0.299 in float, truncated;
        - uint16, int16, uint32, int32, float32 or float64 (either byte
          order), of the same shapes: mapped to the detector's 8 bits as
          `stretch` says, the colour channels all with the same lo and hi
          (alpha left out), then brought to grey as above.

        Other dtypes (bool, int8, 64-bit integers, float16) are refused:
        convert them first.
    sigma : float
        The Gaussian scale (default 5), a positive number; with `sigma_max`,
        the smallest scale of a range. Rounded to float, as the command
        line's --sigma.
    threshold : float
        Features must have a response above it (default 100). A spot of
        contrast A peaks at a response of about A**2 / 16.
    sigma_max : float or None
        None (default): a single-scale run at `sigma`. A number above
        `sigma`: a scale-range run, blobs found at their own scale, as the
        command line's ``--sigma MIN:MAX``: the maxima in position and scale
        over `scales` log-spaced scales, each feature with its own refined
        sigma.
    scales : int or None
        The number of scales of a range, 2 to 1000. None (default) means
        1 for a single sigma and 10 for a range: the command line's
        defaults, chosen by the project's accuracy benchmark.
    polarity : {'both', 'bright', 'dark'}
        Keep both kinds of blob (default), only those lighter than their
        surroundings, or only darker ones.
    overlap : float
        Scale ranges only (ignored for a single sigma): of two features
        whose blobs (discs of radius sqrt(2) sigma) overlap by more than
        this fraction of the smaller one's area, only the stronger is kept;
        1 keeps all. Default 0.1, the command line's --overlap default.
    border : {'reflect', 'nearest', 'constant', 'interior'} or None
        How the picture continues beyond its edges, the command line's
        --border, as scipy.ndimage names the modes: 'reflect' mirrors it
        about its edge (d c b a | a b c d), 'nearest' repeats the edge pixel,
        'constant' is black (0) beyond it, 'interior' does not extend it and
        searches only the pixels at least the kernel radius + 1 from every
        edge. Extended, every pixel is searched at every scale, so that a
        blob at an edge is found at its own scale and position; a response
        whose kernel stays inside the picture is the same either way. None
        (default): 'reflect' for a scale range, 'interior' for a single
        sigma, as the command line.
    stretch : str or None
        How samples become the detector's 8 bits, the command line's
        --stretch, as text:

        - 'none': uint8 as it is; uint16 as Qt reads a 16-bit PNG or TIFF,
          round(v / 257); the other integers from their type's smallest to
          its largest value, floats from 0 to 1, by the formula below.
        - 'minmax': lo and hi are the smallest and largest finite samples.
        - 'percentile' or 'percentile:LOW:HIGH' (percentages, 0 <= LOW <
          HIGH <= 100; default 0.1:99.9): lo and hi are the samples at rank
          floor(LOW / 100 * (n - 1)) and floor(HIGH / 100 * (n - 1)) of the
          n finite samples sorted (all colour channels together), found
          exactly.

        Each sample v becomes min(255, max(0, floor((v - lo) / (hi - lo)
        * 255 + 0.5))), computed in double; NaN becomes 0. None (default)
        is the command line's default for a TIFF of the same samples:
        'none' for uint8, 'percentile' for the deeper types.
        When the two percentiles are equal but the samples are not (a small
        blob on a flat ground: less than LOW percent of the picture), lo
        and hi are the smallest and largest finite samples instead, as
        'minmax' finds them, and a UserWarning says so. Like the command
        line, a UserWarning says when hi <= lo (every pixel is 0: no
        features: a constant picture) and when samples deeper than 8 bits under
        'none' use less than 1/8 of the 256 levels (faint 16-bit pictures:
        a percentile or minmax stretch spreads them).

        ``detect(load(path, stretch))`` always gives the command line's
        features on a file. An array read from a file by another library
        gives them when it holds the same samples in the same orientation:
        16-bit PNG and TIFF, 32-bit and float TIFF. Not under 'none' for a
        16-bit PGM or PPM (Qt's reader brings those to v * 255 / maxval in
        whole numbers), nor as such for FITS, which the command line shows
        with the first stored row at the bottom and stretches by
        'percentile' whatever the type: ``np.flipud(data)`` with
        ``stretch='percentile'`` gives its features.
    threads : int or None
        Threads for the run (default None: every core).

    Returns
    -------
    numpy.ndarray
        One record per feature, dtype FEATURE_DTYPE, in row-major order (at
        one pixel in increasing scale): ``x``, ``y`` (int32, the pixel),
        ``x_subpixel``, ``y_subpixel`` (float32, refined by a parabola
        through the neighbouring responses), ``sigma`` (float32, the run's
        sigma, or the feature's refined scale in a range), ``response``
        (float32) and ``polarity`` (int8: +1 bright, -1 dark).

    Raises
    ------
    ValueError
        Bad settings or stretch (as the command line refuses them), an
        image of another type or shape, one of more than 2**28 pixels (256
        megapixels, the command line's limit for a picture read whole;
        hessian_maxima.dask.detect_array runs larger ones in chunks), one
        to be stretched that holds no finite sample, or one too small for
        the kernel: with the border interior, a sigma so large that no
        pixel lies kernel_radius(sigma) + 1 from every border, where
        features are searched (the command line warns of it).
    MemoryError
        Not enough memory for the run.

    The interpreter lock is released while the detector runs; calls from
    several threads at once are safe.
    """
    settings = _run_settings(sigma, threshold, sigma_max, scales, polarity, overlap, threads, border)
    pixels = _detector_input(image, stretch)
    features = _detect(pixels, settings)  # refuses a bad image first
    reason = _nothing_searched(pixels, settings) if len(features) == 0 else ""
    if reason:
        raise ValueError("the image %s" % reason)
    return features


def _nothing_searched(pixels, settings):
    """Why the run finds nothing on the image whatever it holds (its kernel
    leaves no pixel to search, the border not extended), as the command line
    warns; '' otherwise."""
    shape = np.shape(pixels)
    if len(shape) < 2 or shape[0] == 0 or shape[1] == 0:
        return ""  # an empty image has nothing to find, whatever the kernel
    return _core.nothing_searched(settings.sigma, settings.scales, settings.sigma_max, settings.border,
                                  int(shape[1]), int(shape[0]))


def _detect(pixels, settings, origin_x=0, origin_y=0, sigmas=None):
    return _core.detect(pixels, settings.sigma, settings.threshold, settings.scales, settings.sigma_max,
                        settings.polarity, settings.overlap, settings.threads, origin_x, origin_y, settings.border,
                        sigmas)


def response(image, sigma=5.0, *, stretch=None, threads=None):
    """The determinant-of-Hessian response map of a picture at one sigma.

    Parameters
    ----------
    image : array_like
        As for detect().
    sigma : float
        The Gaussian scale (default 5).
    stretch, threads
        As for detect().

    Returns
    -------
    numpy.ndarray
        float32, the image's height x width: sigma**4 times the determinant
        of the Hessian, exactly as the detector computes it, on the valid
        region r <= x < width - r, r <= y < height - r (r = kernel_radius(sigma));
        NaN outside it.
    """
    settings = _run_settings(sigma, threads=threads)
    return _core.response(_detector_input(image, stretch), settings.sigma, settings.threads)


def load(path, stretch=None):
    """Reads a picture file exactly as the command-line tool reads it.

    The format is found from the content (PNG, JPEG, TIFF, BMP, GIF, PGM,
    WebP, FITS, ...), a photograph's orientation tag is applied, and a FITS
    image is turned as astronomy viewers show it (the first stored row at
    the bottom). Pictures of more than 8 bits a sample (16-bit PNG, PGM,
    PPM and TIFF, 32-bit and float TIFF, FITS) are mapped to 8 bits as
    `stretch` says: the command line's --stretch, as detect() describes it,
    with the command line's defaults for files (None: 'none' for 8-bit
    pictures; 'percentile' for deeper ones, 16-bit PNG, PGM, PPM and TIFF,
    32-bit and float TIFF, and for FITS). Returns what
    detect() takes, so that ``detect(load(path, stretch))`` gives the
    command line's features with that --stretch: uint8 H x W for grey
    pictures, H x W x 3 (R, G, B) for the others.

    A damaged file whose readable part decodes is returned with a
    UserWarning saying what is wrong, and so is a picture that the stretch
    leaves flat or crowded into a few levels, as the command line warns.

    Raises
    ------
    ImageError
        (an OSError and a ValueError) when the file cannot be read; the
        message says why.
    ValueError
        A stretch the command line does not know.
    """
    pixels, note, notice, narrow = _core.load(os.fspath(path), stretch)
    if pixels is None:
        raise ImageError("cannot read image '%s': %s" % (path, note))
    import warnings
    if note:
        warnings.warn("'%s' is damaged (%s); the part that could be read was loaded" % (path, note),
                      stacklevel=_outside_level())
    if notice:
        warnings.warn(_stretch_warning("'%s'" % (path,), notice, narrow), stacklevel=_outside_level())
    return pixels


def prune(features, overlap=0.1):
    """The overlap pruning of scale-range runs, on any feature table.

    Of two features whose blobs (discs of radius sqrt(2) sigma around their
    sub-pixel positions) overlap by more than `overlap` (of the smaller
    one's area), keeps the one with the larger response: greedily,
    strongest first, a tie going to the earlier one. The kept features stay
    in their order. With the table in row-major then scale order, the
    result does not depend on how it was gathered: pruning the features of
    several pieces together gives what a whole run gives.
    """
    table = np.ascontiguousarray(features)
    if table.dtype != FEATURE_DTYPE:
        raise ValueError("features must be a table of dtype hessian_maxima.FEATURE_DTYPE, not %s" % table.dtype)
    if table.ndim != 1:
        raise ValueError("features must be one-dimensional")
    return _core.prune(table, _run_settings(overlap=overlap).overlap)


@_settings_by_name
def kernel_radius(sigma, *, sigma_max=None, scales=None):
    """The largest kernel radius of a run: floor(3 sigma + 0.5) of its largest sigma.

    The response exists from that many pixels off each border, and features
    lie one pixel further in.
    """
    settings = _run_settings(sigma, sigma_max=sigma_max, scales=scales)
    return _core.kernel_radius(settings.sigma, settings.sigma_max, settings.scales)


def _run_margin(settings, sigmas=None):
    """How far the run's results read around their pixels: the padding of
    an extended border and the depth a chunk needs of its neighbours (the
    kernel radius + 1, or for a range the radius of the level one step
    beyond the last when that is larger)."""
    return _core.run_margin(settings.sigma, settings.scales, settings.sigma_max, sigmas)


# ---------------------------------------------------------------------------
# Tracks

_MOTIONS = {None: 0, "none": 0, "velocity": 1, "kalman": 2}


def _is_frame(table):
    """Whether `table` is a pandas DataFrame (without importing pandas)."""
    return any(c.__name__ == "DataFrame" and c.__module__.startswith("pandas") for c in type(table).__mro__)


def _columns(table, what):
    """frame, x, y (and t or None) of a feature table: a structured array
    with a frame field (x_subpixel, y_subpixel when it has them, x, y
    otherwise) or a DataFrame with frame, x and y columns."""
    if _is_frame(table):
        names = list(table.columns)
        missing = [n for n in ("frame", "x", "y") if n not in names]
        if missing:
            raise ValueError("%s needs the columns frame, x and y; the DataFrame has no %s"
                             % (what, ", ".join(missing)))
        get = lambda name: table[name].to_numpy()  # noqa: E731
        xy = ("x", "y")
    else:
        table = np.asarray(table)
        names = list(table.dtype.names or ())
        if table.ndim != 1 or not names:
            raise ValueError("%s takes a structured array of features or a pandas DataFrame, not %s of shape %s"
                             % (what, table.dtype, table.shape))
        if "frame" not in names:
            raise ValueError("%s needs a 'frame' field: the features of a sequence, one frame number each" % what)
        xy = ("x_subpixel", "y_subpixel") if "x_subpixel" in names and "y_subpixel" in names else ("x", "y")
        if xy[0] not in names or xy[1] not in names:
            raise ValueError("%s needs x and y fields" % what)
        get = lambda name: table[name]  # noqa: E731
    frame = np.asarray(get("frame"))
    if frame.dtype.kind not in "iu":
        raise ValueError("frame must hold whole numbers, not %s" % frame.dtype)
    if frame.size and (frame.min() < np.iinfo(np.int32).min or frame.max() > np.iinfo(np.int32).max):
        raise ValueError("frame numbers must fit in 32 bits")
    x, y = (np.asarray(get(n), dtype=np.float64) for n in xy)
    t = np.asarray(get("t"), dtype=np.float64) if "t" in names else None
    return frame.astype(np.int32), x, y, t


def _with_column(table, name, values):
    """The table with `values` as its column or field `name` (added last,
    or replacing one of that name)."""
    if _is_frame(table):
        out = table.copy()
        out[name] = values
        return out
    table = np.asarray(table)
    fields = [(n, table.dtype.fields[n][0]) for n in table.dtype.names if n != name]
    out = np.empty(len(table), dtype=np.dtype(fields + [(name, values.dtype)]))
    for n, _ in fields:
        out[n] = table[n]
    out[name] = values
    return out


@_settings_by_name
def link(features, max_distance, *, gap=0, min_length=1, motion=None):
    """Links detections across frames into tracks.

    Frame to frame, the track ends of one frame and the detections of the
    next are paired by a linear assignment problem that is optimal for the
    pair of frames: a link costs the squared distance from the track's
    (foreseen) position, allowed up to `max_distance`; starting or ending a
    track costs max_distance**2, so every allowed link is taken unless
    links compete, and then the sum of squared distances is least. The
    track pieces are then joined across up to `gap` frames without a
    detection by one more assignment over all ends and starts: over k
    frames a join is allowed up to max_distance * sqrt(k) and costs the
    squared distance / k. (The framework of Jaqaman et al., Nature Methods
    2008, solved by the sparse Jonker-Volgenant method.)

    Parameters
    ----------
    features : numpy structured array or pandas.DataFrame
        The detections: a table of detect()'s fields with an integer
        ``frame`` field, as a sequence's features have (positions from
        ``x_subpixel`` and ``y_subpixel``, or ``x`` and ``y`` when it has no
        sub-pixel fields), or a DataFrame with ``frame``, ``x`` and ``y``
        columns, as trackpy users hold them. Any order; frames are numbers,
        consecutive numbers consecutive frames.
    max_distance : float
        How far a particle may move between two frames, in pixels (> 0).
    gap : int
        How many frames in a row a particle may go undetected (default 0,
        at most 1000).
    min_length : int
        Tracks of fewer detections get track -1 (default 1: every track
        kept).
    motion : {None, 'velocity', 'kalman'}
        How a track's next position is foreseen: None (default) where it
        was last seen, for diffusing particles; 'velocity' its last
        position plus its last step; 'kalman' a constant-velocity Kalman
        filter, for directed runs.

    Returns
    -------
    The same kind of table with a ``track`` column (int32) added (or
    replaced): tracks numbered 0, 1, ... in the order of their first
    detection (its frame, then its row), -1 for detections of tracks
    shorter than `min_length`. The numbers depend on the detections only,
    not on their order within a frame (equal positions in one frame are
    told apart by their row).

    Raises
    ------
    ValueError
        No frame column, positions that are not finite, or settings out of
        range.
    """
    frame, x, y, _ = _columns(features, "link")
    max_distance = float(max_distance)
    if not (np.isfinite(max_distance) and max_distance > 0):
        raise ValueError("max_distance must be a positive finite number, not %r" % max_distance)
    gap = _whole(gap, "gap")
    if not 0 <= gap <= _core.MAX_TRACK_GAP:
        raise ValueError("gap must be from 0 to %d frames, not %r" % (_core.MAX_TRACK_GAP, gap))
    min_length = _whole(min_length, "min_length")
    if min_length < 1:
        raise ValueError("min_length must be at least 1, not %r" % min_length)
    if motion not in _MOTIONS:
        raise ValueError("motion must be None, 'velocity' or 'kalman', not %r" % (motion,))
    track = _core.link(frame, x, y, max_distance, gap, min_length, _MOTIONS[motion])
    return _with_column(features, "track", track)


def track_summary(tracks):
    """One row per track of a table that link() returned.

    Parameters
    ----------
    tracks : numpy structured array or pandas.DataFrame
        link()'s result (frame, positions as link() reads them, track;
        rows of track -1 are left out). With a ``t`` field or column (time
        stamps in seconds, as a timed sequence's features have), speeds and
        D are per second; otherwise per frame.

    Returns
    -------
    A structured array of TRACK_SUMMARY_DTYPE, or a DataFrame for a
    DataFrame, one row per track number 0 .. max(track), with:
    ``track``; ``first_frame``, ``last_frame``; ``length`` (detections);
    ``mean_x``, ``mean_y`` (the mean position); ``mean_speed`` (the path's
    length over the time from first to last detection, pixels per frame or
    per second; NaN for one detection); ``diffusion``, D in pixels**2 per
    frame or per second: a quarter of the slope of the least-squares line
    MSD = 4 D t + c through the mean squared displacements at frame lags
    1 .. DIFFUSION_LAGS (4), each at the mean time of its pairs of
    detections (the intercept takes the localisation error); NaN when
    fewer than two of those lags have pairs.
    """
    frame, x, y, t = _columns(tracks, "track_summary")
    names = list(tracks.columns) if _is_frame(tracks) else list(np.asarray(tracks).dtype.names)
    if "track" not in names:
        raise ValueError("track_summary needs a 'track' column: the result of link()")
    track = np.asarray(tracks["track"])
    if track.dtype.kind not in "iu":
        raise ValueError("track must hold whole numbers, not %s" % track.dtype)
    if track.size and (track.min() < -1 or track.max() >= len(track)):
        raise ValueError("track numbers must be -1 or run from 0, as link() numbers them")
    summary = _core.track_summary(frame, x, y, t, track.astype(np.int32))
    if _is_frame(tracks):
        import pandas as pd
        return pd.DataFrame(summary)
    return summary
