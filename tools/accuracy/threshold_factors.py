#!/usr/bin/python3
"""The factors that tie scikit-image's blob thresholds to our response
(hessian_maxima.skimage): on flat discs and Gaussian spots of radius R, the
largest response of a scale-range run at the blob's centre against the
largest scale-normalised Laplacian of Gaussian (blob_log's cube) and the
largest box-filter determinant of the Hessian (blob_doh's), each over 20
scales around the blob's own, the picture in units of img_as_float.

    PYTHONPATH=build/python tools/accuracy/threshold_factors.py
"""

import numpy as np
import scipy.ndimage as ndi
from skimage.draw import disk
from skimage.feature._hessian_det_appx import _hessian_matrix_det
from skimage.transform import integral_image

import hessian_maxima as hm


def factors(kind, radius):
    size = int(8 * radius + 40)
    centre = size // 2
    picture = np.zeros((size, size))
    if kind == "disc":
        rows, columns = disk((centre, centre), radius)
        picture[rows, columns] = 1.0
        sigma = radius / np.sqrt(2)
    else:
        yy, xx = np.mgrid[0:size, 0:size]
        picture = np.exp(-((xx - centre) ** 2 + (yy - centre) ** 2) / (2 * (radius / 2) ** 2))
        sigma = radius / 2
    picture = picture * 0.8 + 0.1
    lo, hi = picture.min(), picture.max()
    levels = 255 / (hi - lo)
    pixels = hm._core.reduce(picture, hm._core.REDUCE_STRETCH, lo, hi)
    log = max((-ndi.gaussian_laplace(picture, s) * s * s)[centre, centre]
              for s in np.linspace(0.6 * sigma, 1.5 * sigma, 20))
    integral = integral_image(picture)
    doh = max(_hessian_matrix_det(integral, s)[centre, centre]
              for s in np.linspace(0.6 * sigma * np.sqrt(2), 1.5 * sigma * np.sqrt(2), 20))
    found = hm.detect(pixels, float(0.6 * sigma), sigma_max=float(1.5 * sigma), scales=20, threshold=0,
                      polarity="bright")
    found = found[(abs(found["x"] - centre) <= 2) & (abs(found["y"] - centre) <= 2)]
    response = float(found["response"].max())
    return response / (levels * log) ** 2, response / (levels * levels * doh)


def main():
    print("%-5s %6s %22s %22s" % ("blob", "radius", "response / (S LoG)^2", "response / (S^2 DoH)"))
    for kind in ("disc", "spot"):
        for radius in (4, 6, 9, 14, 20, 30):
            log, doh = factors(kind, radius)
            print("%-5s %6d %22.3f %22.3f" % (kind, radius, log, doh))


if __name__ == "__main__":
    main()
