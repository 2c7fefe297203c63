"""scikit-image's blob_log and blob_doh, computed by this package's detector.

    >>> from hessian_maxima.skimage import blob_log
    >>> blobs = blob_log(image, min_sigma=2, max_sigma=20, threshold=0.1)  # rows of (row, col, sigma)

The functions take scikit-image's arguments with scikit-image's meanings and
return what scikit-image's return, so that code written for
``skimage.feature.blob_log`` and ``blob_doh`` runs unchanged; the blobs come
from the determinant-of-Hessian detector (hessian_maxima.detect) at the
same scales. Only 2-D grey images and one sigma for both axes: 3-D images
and anisotropic sigmas (a sequence of different sigmas per axis) raise
NotImplementedError, because the detector's kernels are 2-D and the same
along both axes.

How the arguments map:

- ``image``: taken as ``skimage.util.img_as_float`` sees it (unsigned
  integers divided by their largest value, signed ones likewise, floats as
  they are), then brought to the detector's 8 bits from its smallest to its
  largest finite value (the 'minmax' stretch; uint8 images as they are). So
  one unit of the image is S = 255 / (max - min) grey levels (255 for
  uint8). A constant image has no blobs.
- ``min_sigma``, ``max_sigma``, ``num_sigma``, ``log_scale``: the same
  scales, linear or log-spaced, as the detector's levels (hessian_maxima's
  ``sigmas`` of a range). blob_log's sigma is the detector's (a disc of
  radius sqrt(2) sigma peaks there in both); blob_doh's sigma is
  scikit-image's radius, sqrt(2) times the detector's sigma. A blob that
  peaks between two levels has its sigma refined by the parabola through
  them, so the sigmas returned are not only those of the list; one that
  peaks beyond an end of the range is returned at that end's sigma, as
  scikit-image returns it.
- ``threshold``: scikit-image thresholds the scale-normalised Laplacian of
  Gaussian (blob_log) or its box-filter approximation of the determinant of
  the Hessian on an integral image (blob_doh); the detector thresholds its
  own response, sigma^4 times the determinant of the Hessian, in grey
  levels squared. At the peak of a round blob the two are tied by a factor
  (tools/accuracy/threshold_factors.py measures it on flat discs and
  Gaussian spots of radius 4 to 30): response = 0.247 (S * LoG)^2 (0.242
  to 0.262 over all of them: the determinant of an isotropic blob is
  (LoG / 2)^2, weighted by 8 / (pi e)), and response = 1.7 S^2 DoH (discs
  of radius 9 to 30: 1.63 to 1.76; Gaussian spots 1.9 to 2.1, blobs of
  radius 4 up to 2.6, where the box filters are coarse). The threshold is
  mapped by these factors, so that a round blob passes in both or in
  neither, up to that spread; elongated shapes rank differently (the
  determinant falls faster than the Laplacian along a ridge).
- ``threshold_rel``: a fraction of the largest response of the scale
  space, here of the largest response among the blobs found (the largest
  maximum); squared for blob_log (the response grows with the square of the
  Laplacian).
- ``overlap``: as scikit-image: of two blobs (radius sqrt(2) times
  scikit-image's sigma, for both functions) overlapping by more than this
  fraction of the smaller one's area, the smaller goes; greedily, the
  largest first (the stronger first among equals).
- ``exclude_border`` (blob_log): blobs within that many pixels of the
  border (an int, or a tuple of one for rows and one for columns) are
  left out; False or 0: none. The picture itself is extended by reflection
  at its borders (hessian_maxima's border='reflect'), as scipy's
  gaussian_laplace extends it for scikit-image.
- blob_log finds blobs lighter than their surroundings only, as the
  Laplacian's maxima are; blob_doh both kinds.

Results are float64 arrays of rows (row, col, sigma) in pixel centres (the
detector's feature pixels; hessian_maxima.detect gives their sub-pixel
positions too), or (row, col, sigma, sigma) when the sigmas were given as
sequences, in no particular order.
"""

import math
import numbers

import numpy as np

from . import BLOB_RADIUS_PER_SIGMA, FEATURE_DTYPE, _core, _detect, _run_settings

__all__ = ["blob_log", "blob_doh", "LOG_RESPONSE_PER_SQUARED", "DOH_RESPONSE_PER_DOH"]

# How the picture continues beyond its borders, as scipy's filters continue
# it for scikit-image.
_BORDER = "reflect"

#: The detector's response at a round blob's peak per squared
#: scale-normalised Laplacian of Gaussian, the image in grey levels.
LOG_RESPONSE_PER_SQUARED = 0.247
#: The same per scikit-image's box-filter determinant of the Hessian (on
#: flat discs, whose threshold tests scikit-image's own tests make).
DOH_RESPONSE_PER_DOH = 1.7


def _as_float(image):
    """The image as skimage.util.img_as_float sees it: integers divided by
    their type's largest value (signed ones clipped at -1), booleans 0 or
    1, floats as they are (float16 as float32)."""
    image = np.asarray(image)
    if image.dtype == bool:
        return image.astype(np.float64)
    if image.dtype.kind == "u":
        return image / float(np.iinfo(image.dtype).max)
    if image.dtype.kind == "i":
        return np.maximum(image / float(np.iinfo(image.dtype).max), -1.0)
    if image.dtype == np.float16:
        return image.astype(np.float32)
    if image.dtype.kind == "f":
        return image
    raise ValueError("the image must be of booleans, integers or floats, not %s" % image.dtype)


def _grey_levels(image):
    """The detector's 8-bit input and S, its grey levels per unit of the
    image as img_as_float sees it; (None, 0) for an image without blobs (no
    finite samples, or all the same)."""
    image = np.asarray(image)
    if image.ndim != 2:
        raise NotImplementedError("only 2-D grey images: the detector's kernels are 2-D (this image has %d "
                                  "dimensions)" % image.ndim)
    if image.dtype == np.uint8:
        return image, 255.0
    floats = _as_float(image)
    finite = floats[np.isfinite(floats)]
    if finite.size == 0:
        return None, 0.0
    lo, hi = float(finite.min()), float(finite.max())
    if not hi > lo:
        return None, 0.0
    samples = np.ascontiguousarray(floats, dtype=np.float64 if floats.dtype == np.float64 else np.float32)
    return _core.reduce(samples, _core.REDUCE_STRETCH, lo, hi), 255.0 / (hi - lo)


def _sigma_of(value, name):
    """A scalar sigma, and whether it was given as a sequence."""
    if isinstance(value, numbers.Number):
        return float(value), False
    values = np.asarray(value, dtype=np.float64).ravel()
    if values.size == 0:
        raise ValueError("%s must not be empty" % name)
    if not np.all(values == values[0]):
        raise NotImplementedError("anisotropic sigmas (%s = %s) are not supported: the detector's kernels are "
                                  "the same along both axes" % (name, list(values)))
    return float(values[0]), True


def _sigma_list(min_sigma, max_sigma, num_sigma, log_scale):
    """scikit-image's scales: num_sigma of them from min_sigma to
    max_sigma, linear or log-spaced (base 10), repeated values once."""
    if log_scale:
        sigmas = np.logspace(math.log10(min_sigma), math.log10(max_sigma), num_sigma)
    else:
        sigmas = np.linspace(min_sigma, max_sigma, num_sigma)
    return np.unique(sigmas)


def _blobs(image, detector_sigmas, response_of, threshold, threshold_rel, polarity, rel_power):
    """The detector's features at `detector_sigmas` whose response exceeds
    response_of(threshold, S) (S the image's grey levels per unit; any
    maximum when threshold is None) and threshold_rel ** rel_power of the
    largest, the picture extended by reflection at its borders."""
    pixels, levels = _grey_levels(image)
    detector_sigmas = np.asarray(detector_sigmas, np.float32)
    if pixels is None or detector_sigmas.size == 0:
        return np.empty(0, FEATURE_DTYPE)
    floor = 0.0 if threshold is None else response_of(float(threshold), levels)
    settings = _run_settings(float(detector_sigmas[0]), floor,
                             sigma_max=float(detector_sigmas[-1]) if detector_sigmas.size > 1 else None,
                             scales=int(detector_sigmas.size) if detector_sigmas.size > 1 else None,
                             polarity=polarity, overlap=1.0, border=_BORDER)
    features = _detect(pixels, settings, sigmas=[float(s) for s in detector_sigmas] if detector_sigmas.size > 1 else None)
    if threshold_rel is not None and len(features):
        features = features[features["response"] > float(threshold_rel) ** rel_power * features["response"].max()]
    return features


def _prune_smaller(features, sigmas, overlap):
    """scikit-image's pruning: of two blobs of radius sqrt(2) sigma that
    overlap by more than `overlap`, the smaller goes. The core's greedy
    pruning ranked by size: the larger first, among equals the stronger."""
    order = np.lexsort((-features["response"], -sigmas))
    keyed = features[order].copy()
    keyed["x_subpixel"] = keyed["x"]
    keyed["y_subpixel"] = keyed["y"]
    keyed["response"] = sigmas[order]
    keyed["sigma"] = sigmas[order] * (math.sqrt(2) / BLOB_RADIUS_PER_SIGMA)
    keyed["x"] = order  # which feature each is
    return np.sort(_core.prune(keyed, float(overlap))["x"])


def _table(features, sigmas, sequence):
    columns = [features["y"].astype(np.float64), features["x"].astype(np.float64), sigmas]
    if sequence:
        columns.append(sigmas)
    return np.stack(columns, axis=1) if len(features) else np.empty((0, len(columns)))


def _border_widths(exclude_border):
    """blob_log's exclude_border as (rows, columns) to leave out."""
    if exclude_border is True:
        raise ValueError("exclude_border cannot be True")
    if exclude_border is False:
        return 0, 0
    if isinstance(exclude_border, tuple):
        if len(exclude_border) != 2 or not all(isinstance(e, int) for e in exclude_border):
            raise ValueError("exclude_border, as a tuple, must hold one int for each of the image's 2 dimensions")
        return exclude_border
    if isinstance(exclude_border, int):
        return exclude_border, exclude_border
    raise ValueError("Unsupported value (%r) for exclude_border" % (exclude_border,))


def blob_log(image, min_sigma=1, max_sigma=50, num_sigma=10, threshold=.2, overlap=.5, log_scale=False, *,
             threshold_rel=None, exclude_border=False):
    """scikit-image's blob_log on this package's detector (see the module's
    description for how the arguments map).

    Returns an (n, 3) float64 array of (row, col, sigma), a blob's radius
    about sqrt(2) sigma; (n, 4) with sigma for each axis when the sigmas
    were given as sequences.
    """
    low, low_sequence = _sigma_of(min_sigma, "min_sigma")
    high, high_sequence = _sigma_of(max_sigma, "max_sigma")
    sequence = low_sequence or high_sequence
    rows, columns = _border_widths(exclude_border)
    image = np.asarray(image)
    if image.ndim != 2:
        raise NotImplementedError("only 2-D grey images: the detector's kernels are 2-D (this image has %d "
                                  "dimensions)" % image.ndim)
    sigmas = _sigma_list(low, high, num_sigma, log_scale)
    features = _blobs(image, sigmas, lambda t, levels: math.copysign(LOG_RESPONSE_PER_SQUARED * (levels * t) ** 2, t),
                      threshold, threshold_rel, "bright", 2)
    if rows or columns:
        height, width = image.shape
        features = features[(features["y"] >= rows) & (features["y"] < height - rows)
                            & (features["x"] >= columns) & (features["x"] < width - columns)]
    found = features["sigma"].astype(np.float64)
    kept = _prune_smaller(features, found, overlap) if len(features) else []
    return _table(features[kept], found[kept], sequence)


def blob_doh(image, min_sigma=1, max_sigma=30, num_sigma=10, threshold=0.01, overlap=.5, log_scale=False, *,
             threshold_rel=None):
    """scikit-image's blob_doh on this package's detector (see the module's
    description for how the arguments map).

    Returns an (n, 3) float64 array of (row, col, sigma), a blob's radius
    about sigma.
    """
    image = np.asarray(image)
    if image.ndim != 2:
        raise ValueError("The parameter `image` must be a 2-dimensional array")
    sigmas = _sigma_list(float(min_sigma), float(max_sigma), num_sigma, log_scale)
    features = _blobs(image, sigmas / math.sqrt(2), lambda t, levels: DOH_RESPONSE_PER_DOH * levels * levels * t,
                      threshold, threshold_rel, "both", 1)
    found = features["sigma"].astype(np.float64) * math.sqrt(2)
    kept = _prune_smaller(features, found, overlap) if len(features) else []
    return _table(features[kept], found[kept], False)
