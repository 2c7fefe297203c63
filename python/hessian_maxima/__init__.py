"""Blob detection with the determinant of the Hessian, for numpy arrays.

The same detector as the hessian-maxima command-line tool and window, run by
the same compiled code: on the same picture and settings, detect() returns
exactly the features the command line writes with --details.

    >>> import hessian_maxima as hm
    >>> features = hm.detect(hm.load("cells.png"), sigma=3, threshold=50)
    >>> features["x_subpixel"], features["response"]

16-bit, 32-bit and float arrays are mapped to the detector's 8 bits as the
command line maps such pictures (`stretch`, see detect()).

Sequences (a video, a multi-page TIFF, a FITS cube, numbered files):
frames() reads them frame by frame, detect() takes a stack of frames.

Functions: detect, response, load, frames, prune, kernel_radius, refine
(spot positions by a Gaussian fit); link and track_summary for detections
across frames. Chunked Dask arrays and many
files on a cluster: hessian_maxima.dask.
"""

import collections
import collections.abc
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

__all__ = ["FEATURE_DTYPE", "FRAME_FEATURE_DTYPE", "BLOB_RADIUS_PER_SIGMA", "TRACK_SUMMARY_DTYPE", "DIFFUSION_LAGS",
           "ImageError", "Frame", "detect", "response", "load", "frames", "prune", "kernel_radius", "refine",
           "REFINE_FIELDS", "SPOT_FIT_MAX_RADIUS", "link", "track_summary"]

#: The fields of a feature table: x, y (the pixel, int32), x_subpixel,
#: y_subpixel, sigma, response (float32) and polarity (int8: +1 bright,
#: -1 dark).
FEATURE_DTYPE = _core.FEATURE_DTYPE

#: The fields of the features of a stack of frames: frame (int32, the
#: frame's number, from 0), then those of FEATURE_DTYPE.
FRAME_FEATURE_DTYPE = np.dtype([("frame", np.int32)] + [(name, FEATURE_DTYPE[name]) for name in FEATURE_DTYPE.names])

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
           stretch=None, border=None, threads=None, track=None):
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

        A stack of frames, F x H x W (grey) or F x H x W x 3 or 4 (colour),
        is detected frame by frame, each frame exactly as on its own (its
        stretch too: each frame by its own range), and the result has a
        ``frame`` field (see Returns). A 3-D array whose last axis is at
        most 4 long is one picture (colour when 3 or 4), not a stack: no
        frame that narrow holds a feature.
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
    track : float, dict or None
        Stacks only: link the features into tracks, as link() does, in the
        same call. A number is link()'s `max_distance` (pixels per frame);
        a dict holds link()'s settings by name, e.g.
        ``track=dict(max_distance=5, gap=1, min_length=3, motion="kalman")``.
        None (default): not linked.

    Returns
    -------
    numpy.ndarray
        One record per feature, dtype FEATURE_DTYPE, in row-major order (at
        one pixel in increasing scale): ``x``, ``y`` (int32, the pixel),
        ``x_subpixel``, ``y_subpixel`` (float32, refined by a parabola
        through the neighbouring responses), ``sigma`` (float32, the run's
        sigma, or the feature's refined scale in a range), ``response``
        (float32) and ``polarity`` (int8: +1 bright, -1 dark). For a stack
        of frames, dtype FRAME_FEATURE_DTYPE: the same fields after
        ``frame`` (int32, from 0), frame after frame, as link() takes them;
        with `track`, link()'s result: a last field ``track`` (int32, -1 for
        a feature in no track).

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
        features are searched (the command line warns of it). `track` for
        a single picture, or linking settings that link() refuses.
    MemoryError
        Not enough memory for the run.

    The interpreter lock is released while the detector runs; calls from
    several threads at once are safe.
    """
    settings = _run_settings(sigma, threshold, sigma_max, scales, polarity, overlap, threads, border)
    linking = _link_settings(track)
    if linking is not None and not _is_stack(image):
        raise ValueError("track links the frames of a stack (F x H x W or F x H x W x 3 or 4); the image of shape "
                         "%s is a single picture" % (np.shape(image),))
    if _is_stack(image):
        stack = np.asarray(image)
        features = _detect_stack(stack, settings, stretch)
        pixels = stack[0] if len(stack) else stack
    else:
        pixels = _detector_input(image, stretch)
        features = _detect(pixels, settings)  # refuses a bad image first
    reason = _nothing_searched(pixels, settings) if len(features) == 0 else ""
    if reason:
        raise ValueError("the image %s" % reason)
    return features if linking is None else link(features, **linking)


_LINK_SETTINGS = ("max_distance", "gap", "min_length", "motion")


def _link_settings(track):
    """detect()'s `track` as link()'s keyword arguments: None for no
    linking, a number as the max distance, a mapping of link()'s settings
    (max_distance required); ValueError for anything else. The values are
    checked by link()."""
    if track is None:
        return None
    if isinstance(track, collections.abc.Mapping):
        unknown = sorted(str(k) for k in track if k not in _LINK_SETTINGS)
        if unknown or "max_distance" not in track:
            raise ValueError("track holds link()'s settings: max_distance (required), gap, min_length and motion; "
                             + ("not %s" % ", ".join(unknown) if unknown else "max_distance is missing"))
        return dict(track)
    if isinstance(track, (bool, str, bytes)):
        raise ValueError("track must be a max distance (a number) or a dict of link()'s settings, not %r" % (track,))
    try:
        return {"max_distance": float(track)}
    except (TypeError, ValueError):
        raise ValueError("track must be a max distance (a number) or a dict of link()'s settings, not %r"
                         % (track,)) from None


def _nothing_searched(pixels, settings):
    """Why the run finds nothing on the image whatever it holds (its kernel
    leaves no pixel to search, the border not extended), as the command line
    warns; '' otherwise."""
    shape = np.shape(pixels)
    if len(shape) < 2 or shape[0] == 0 or shape[1] == 0:
        return ""  # an empty image has nothing to find, whatever the kernel
    return _core.nothing_searched(settings.sigma, settings.scales, settings.sigma_max, settings.border,
                                  int(shape[1]), int(shape[0]))


def _is_stack(image):
    """Whether an array is a stack of frames: F x H x W, or F x H x W x C.
    A 3-D array whose last axis is at most 4 long is one picture (colour,
    or refused as such): no frame that narrow could hold a feature."""
    shape = np.shape(image)
    return len(shape) == 4 or (len(shape) == 3 and shape[2] > 4)


def _with_frames(tables, numbers):
    """Feature tables of frames joined into one of FRAME_FEATURE_DTYPE."""
    out = np.empty(sum(len(t) for t in tables), FRAME_FEATURE_DTYPE)
    at = 0
    for table, number in zip(tables, numbers):
        part = out[at:at + len(table)]
        part["frame"] = number
        for name in FEATURE_DTYPE.names:
            part[name] = table[name]
        at += len(table)
    return out


def _detect_stack(stack, settings, stretch, first=0):
    """The features of each frame of a stack, with their frame numbers
    (from `first`); each frame's stretch warnings gathered into one."""
    import warnings
    if stack.ndim == 4 and stack.shape[3] not in (3, 4):
        raise ValueError("a stack of colour frames must be F x H x W x 3 or 4, not of shape %s" % (stack.shape,))
    tables, told = [], []
    for index in range(stack.shape[0]):
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always")
            tables.append(_detect(_detector_input(stack[index], stretch), settings))
        told += [(index + first, str(w.message)) for w in caught]
    if told:
        warnings.warn("%d of %d frames: frame %d: %s" % (len(told), stack.shape[0], told[0][0], told[0][1]),
                      stacklevel=_outside_level())
    return _with_frames(tables, range(first, first + stack.shape[0]))


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


def load(path, stretch=None, *, luma=False, autorotate=True):
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

    A sequence (a multi-page TIFF, a FITS cube, a video, numbered files
    named by a pattern such as ``"frame_%04d.png"``) is returned whole, its
    frames F x H x W (x 3), each mapped as the command line maps it (by its
    own range), when it fits in 1 GiB and its frames share one size; frames
    that cannot be read are left out, named in the warning. Otherwise
    ValueError: frames() reads any sequence frame by frame. `luma`: videos
    only, the decoder's luma plane, as the command line's --luma.
    `autorotate`: videos only; False keeps frames as stored instead of
    turning them as their display matrix says they are shown (the command
    line's --no-autorotate).

    Raises
    ------
    ImageError
        (an OSError and a ValueError) when the file cannot be read; the
        message says why.
    ValueError
        A stretch the command line does not know; a sequence too large to
        return whole, or of frames of different sizes.
    """
    pixels, note, notice, narrow = _core.load(os.fspath(path), stretch, bool(luma), bool(autorotate))
    if pixels is None:
        raise ImageError("cannot read image '%s': %s" % (path, note))
    import warnings
    if note:
        warnings.warn("'%s' is damaged (%s); the part that could be read was loaded" % (path, note),
                      stacklevel=_outside_level())
    if notice:
        warnings.warn(_stretch_warning("'%s'" % (path,), notice, narrow), stacklevel=_outside_level())
    return pixels


#: One frame of a sequence, as frames() yields it: its number (from 0),
#: its time in seconds (None when the sequence has no time stamps) and the
#: picture as detect() takes it.
Frame = collections.namedtuple("Frame", "index time image")


def _frame_range(selected):
    """(first, end, step) of a frame selection: None (all), a slice or a
    range of non-negative numbers, or the command line's 'A:B:STEP'."""
    if selected is None:
        return 0, -1, 1
    if isinstance(selected, str):
        parts = selected.split(":")
        if len(parts) == 1:
            parts = [parts[0], str(int(parts[0]) + 1) if parts[0].isdigit() else "x"]
        try:
            values = [int(p) if p else None for p in parts]
        except ValueError:
            raise ValueError("frames must be 'A:B[:STEP]', not %r" % selected) from None
        selected = slice(*values)
    if isinstance(selected, range):
        selected = slice(selected.start, selected.stop, selected.step)
    if not isinstance(selected, slice):
        raise ValueError("frames must be None, a slice, a range or 'A:B[:STEP]', not %r" % (selected,))
    first = 0 if selected.start is None else _whole(selected.start, "the first frame")
    end = -1 if selected.stop is None else _whole(selected.stop, "the end frame")
    step = 1 if selected.step is None else _whole(selected.step, "the step")
    if first < 0 or step < 1 or (end >= 0 and end <= first) or (selected.stop is not None and end < 0):
        raise ValueError("frames from 0, B above A and a step from 1, not %r" % (selected,))
    return first, end, step


def frames(path, frames=None, *, stretch=None, luma=False, autorotate=True):
    """Reads the frames of any sequence the command line reads, one by one.

    A video file, a camera (``"/dev/video0"``), a multi-page TIFF (an
    ImageJ hyperstack's time points), a FITS cube, a folder of pictures
    (natural order) or numbered files named by a pattern
    (``"frame_%04d.png"``); a still picture is a sequence of one frame.

    Parameters
    ----------
    path : str or os.PathLike
        The sequence.
    frames : None, slice, range or str
        Which frames: all (None), a slice or range of frame numbers
        (``slice(0, 100, 5)``), or the command line's ``"A:B[:STEP]"``.
    stretch : str or None
        As for load(): each frame mapped to 8 bits by its own range.
    luma : bool
        Videos: the decoder's luma plane instead of the colour conversion
        (the command line's --luma).
    autorotate : bool
        Videos: frames turned as their display matrix says they are shown
        (a phone's portrait video stands upright); False keeps them as
        stored (the command line's --no-autorotate).

    Yields
    ------
    Frame
        ``(index, time, image)``: the frame's number, its time in seconds
        (None without time stamps) and the picture as detect() takes it
        (uint8 H x W, or H x W x 3). Frames that cannot be read are passed
        over; a UserWarning names them at the end, and a frame read
        damaged comes with its own.

    Raises
    ------
    ImageError
        (an OSError and a ValueError) when the path cannot be read, or its
        frames cannot be selected (a live source cannot seek).
    ValueError
        A selection or stretch that is none; reading that stops midway.

    Example
    -------
    >>> for frame in hm.frames("run.mp4", "0:250"):
    ...     features = hm.detect(frame.image, 2, threshold=50)
    """
    first, end, step = _frame_range(frames)
    path = os.fspath(path)
    # Opened now, so that a path that cannot be read says so at the call.
    return _frames_of(_frame_reader(path, stretch, first, end, step, luma, autorotate), path)


def _frames_of(reader, path):
    import warnings
    while True:
        got = reader.next()
        if got is None:
            break
        index, time, image, damage = got
        if damage:
            warnings.warn("'%s' frame %d is damaged (%s)" % (path, index, damage), stacklevel=_outside_level())
        yield Frame(index, time, image)
    lost = reader.losses()
    if lost:
        warnings.warn("'%s' is damaged (%s); the frames that could be read were read" % (path, lost), stacklevel=_outside_level())


def _frame_reader(path, stretch, first=0, end=-1, step=1, luma=False, autorotate=True):
    """The compiled reader of a sequence's frames; ImageError, as load()
    raises it, when the path cannot be read."""
    _plan(np.uint8, stretch)  # a stretch the loader does not know is a ValueError of its own
    try:
        return _core.FrameReader(path, stretch, first, end, step, bool(luma), bool(autorotate))
    except ValueError as error:
        raise ImageError("cannot read image '%s': %s" % (path, error)) from None


def _sequence_info(path, luma=False):
    """What a file is: kind, frames, timed, ... (see _core.FrameReader.info)."""
    return _frame_reader(os.fspath(path), None, luma=luma).info()


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


#: The widest window refine() fits: radius at most this many pixels.
SPOT_FIT_MAX_RADIUS = _core.SPOT_FIT_MAX_RADIUS

#: The fields refine() adds to a feature table (float64).
REFINE_FIELDS = ("x_fit", "y_fit", "sigma_fit", "amplitude", "background")


def refine(image, features, *, radius=None, stretch=None):
    """Finer spot positions: a least-squares Gaussian fit around each feature.

    Fits background + amplitude * exp(-((x - x_fit)**2 + (y - y_fit)**2) /
    (2 * sigma_fit**2)) to the grey pixels (as detect() sees the image)
    within `radius` pixels of each feature's pixel, all five parameters
    free, by Levenberg-Marquardt from the feature's sub-pixel position and
    sigma. On spots of a few pixels' width it comes closer to the true
    centre than the detector's ``x_subpixel``, ``y_subpixel`` (a parabola
    through three responses), which stay as they are; it costs a few
    microseconds a feature.

    Parameters
    ----------
    image : array_like
        The picture the features were found on, as for detect() (the same
        array and `stretch`).
    features : numpy structured array or pandas.DataFrame
        detect()'s features (or a table with their fields and more, such as
        a sequence's ``frame``), or a DataFrame with ``x``, ``y`` and
        ``sigma`` columns: positions from ``x_subpixel``, ``y_subpixel``
        where the table has them, ``x``, ``y`` otherwise, in the image's
        pixel coordinates (pixel (i, j) centred at x = j, y = i).
    radius : int or None
        The half-width of the fitted square, 1 to SPOT_FIT_MAX_RADIUS
        pixels; None (default) ceil(2 * sigma), at least 2, per feature.
    stretch : str or None
        As for detect().

    Returns
    -------
    The same kind of table with float64 fields (or columns) ``x_fit``,
    ``y_fit`` (the fitted centre), ``sigma_fit``, ``amplitude`` (grey
    levels above the background, negative for dark blobs) and
    ``background`` added (or replaced). Where the fit is refused (it does
    not converge, its centre moves more than 1.5 px from the start, its
    sigma leaves 0.25 to 4 times the feature's, or its amplitude changes
    sign), ``x_fit``, ``y_fit`` keep the starting position and the other
    three are NaN. link() takes ``x_fit``, ``y_fit`` when a table has them.

    Raises
    ------
    ValueError
        An image detect() would refuse, a feature outside the image, a
        sigma that is not positive, or a radius out of range.
    """
    if radius is not None:
        radius = _whole(radius, "radius")
        if not 1 <= radius <= _core.SPOT_FIT_MAX_RADIUS:
            raise ValueError("radius must be from 1 to %d pixels, not %r" % (_core.SPOT_FIT_MAX_RADIUS, radius))
    names, get = _table_access(features, "refine")
    xy = ("x_subpixel", "y_subpixel") if "x_subpixel" in names and "y_subpixel" in names else ("x", "y")
    missing = [n for n in xy + ("sigma",) if n not in names]
    if missing:
        raise ValueError("refine needs the fields %s, %s and sigma; the table has no %s"
                         % (xy[0], xy[1], ", ".join(missing)))
    x, y, sigma = (np.asarray(get(n), dtype=np.float64) for n in xy + ("sigma",))
    pixels = _detector_input(image, stretch)
    if np.ndim(pixels) >= 2:
        _core.check_run_size(*np.shape(pixels)[:2])
    fits = _core.fit_spots(pixels, x, y, sigma, 0 if radius is None else radius)
    refused = np.isnan(fits[0])
    fits[0][refused] = x[refused]
    fits[1][refused] = y[refused]
    return _with_columns(features, dict(zip(REFINE_FIELDS, fits)))


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


def _table_access(table, what):
    """The field (or column) names of a structured array (or DataFrame)
    and a function giving one of them as an array; ValueError for anything
    else."""
    if _is_frame(table):
        return list(table.columns), lambda name: table[name].to_numpy()
    array = np.asarray(table)
    names = list(array.dtype.names or ())
    if array.ndim != 1 or not names:
        raise ValueError("%s takes a structured array of features or a pandas DataFrame, not %s of shape %s"
                         % (what, array.dtype, array.shape))
    return names, lambda name: array[name]


def _columns(table, what):
    """frame, x, y (and t or None) of a feature table: a structured array
    with a frame field or a DataFrame with frame, x and y columns;
    positions from x_fit, y_fit when it has them (refine()), x_subpixel,
    y_subpixel next, x, y otherwise."""
    names, get = _table_access(table, what)
    if _is_frame(table):
        missing = [n for n in ("frame", "x", "y") if n not in names]
        if missing:
            raise ValueError("%s needs the columns frame, x and y; the DataFrame has no %s"
                             % (what, ", ".join(missing)))
    elif "frame" not in names:
        raise ValueError("%s needs a 'frame' field: the features of a sequence, one frame number each" % what)
    xy = next((pair for pair in (("x_fit", "y_fit"), ("x_subpixel", "y_subpixel"))
               if pair[0] in names and pair[1] in names), ("x", "y"))
    if xy[0] not in names or xy[1] not in names:
        raise ValueError("%s needs x and y fields" % what)
    frame = np.asarray(get("frame"))
    if frame.dtype.kind not in "iu":
        raise ValueError("frame must hold whole numbers, not %s" % frame.dtype)
    if frame.size and (frame.min() < np.iinfo(np.int32).min or frame.max() > np.iinfo(np.int32).max):
        raise ValueError("frame numbers must fit in 32 bits")
    x, y = (np.asarray(get(n), dtype=np.float64) for n in xy)
    t = np.asarray(get("t"), dtype=np.float64) if "t" in names else None
    return frame.astype(np.int32), x, y, t


def _with_columns(table, columns):
    """The table with each of `columns` (name: values) as its column or
    field of that name (added last, or replacing one of that name)."""
    if _is_frame(table):
        out = table.copy()
        for name, values in columns.items():
            out[name] = values
        return out
    table = np.asarray(table)
    fields = [(n, table.dtype.fields[n][0]) for n in table.dtype.names if n not in columns]
    out = np.empty(len(table), dtype=np.dtype(fields + [(n, v.dtype) for n, v in columns.items()]))
    for n, _ in fields:
        out[n] = table[n]
    for name, values in columns.items():
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
        ``x_fit`` and ``y_fit`` when refine() added them, ``x_subpixel``
        and ``y_subpixel`` otherwise, or ``x`` and ``y`` when it has no
        sub-pixel fields), or a DataFrame with ``frame``, ``x`` and ``y``
        columns, as trackpy users hold them (``x_fit`` and ``y_fit``
        taken before ``x`` and ``y`` here too). Any order; frames are numbers,
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
    return _with_columns(features, {"track": track})


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
