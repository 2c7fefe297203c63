#!/usr/bin/python3
"""Build the cross-check image collection (default /work/oracle-data/images).

Uses ImageMagick's built-in pictures, a few photographs that ship inside
Debian packages on the dev machine (skipped with a note when absent), and
synthetic cell / star-field images drawn with numpy or ImageMagick.  All
images are opaque 8-bit so Qt and Pillow decode them to the same RGB.
Deterministic: fixed seeds throughout.

    make_test_images.py [OUTDIR]
"""

import os
import subprocess
import sys

import numpy as np
from PIL import Image

OUT = sys.argv[1] if len(sys.argv) > 1 else "/work/oracle-data/images"

PHOTO_PIER = ("/usr/lib/google-cloud-sdk/platform/google_appengine/google/"
              "appengine/tools/java/jetty12/jetty-home/modules/demo.d/root/"
              "images/jetty-pic.png")
RUST_ASSETS = ("/root/.rustup/toolchains/stable-x86_64-unknown-linux-gnu/"
               "share/doc/rust/html/embedded-book/assets/")
PHOTO_BOARD = RUST_ASSETS + "f3.jpg"
PHOTO_BOARD2 = RUST_ASSETS + "verify.jpeg"
CHART_SCATTER = "/usr/share/doc/nodejs/contributing/doc_img/scatter-plot.png"
CHART_BOX = "/usr/share/doc/nodejs/contributing/doc_img/compare-boxplot.png"

sources = []


def im(args, out, origin, coder=""):
    """Run convert; `coder` forces an output flavour, e.g. "PNG8:"."""
    path = coder + os.path.join(OUT, out)
    # ImageMagick is Q16: generated pictures (plasma:) would otherwise be
    # written with 16-bit samples, which Qt and Pillow reduce to 8 bits
    # differently (rounding vs. high byte).
    subprocess.run(["convert"] + args + ["-depth", "8", path], check=True)
    sources.append((out, origin))


def have(path, out):
    if os.path.exists(path):
        return True
    print("skipping %s: %s not on this machine" % (out, path), file=sys.stderr)
    return False


# ------------------------------------------------------------ synthetic scenes

def gaussian_blobs(h, w, n, rmin, rmax, rng, amp=(60, 200)):
    yy, xx = np.mgrid[0:h, 0:w].astype(np.float64)
    img = np.zeros((h, w))
    for _ in range(n):
        cx, cy = rng.uniform(0, w), rng.uniform(0, h)
        s = rng.uniform(rmin, rmax)
        a = rng.uniform(*amp)
        x0, x1 = int(max(cx - 4 * s, 0)), int(min(cx + 4 * s + 1, w))
        y0, y1 = int(max(cy - 4 * s, 0)), int(min(cy + 4 * s + 1, h))
        if x0 >= x1 or y0 >= y1:
            continue
        d2 = (xx[y0:y1, x0:x1] - cx) ** 2 + (yy[y0:y1, x0:x1] - cy) ** 2
        img[y0:y1, x0:x1] += a * np.exp(-d2 / (2 * s * s))
    return img


def to_u8(a):
    return np.clip(np.rint(a), 0, 255).astype(np.uint8)


def fluorescence_cells(h, w, seed):
    """Green cytoplasm, red nuclei, dim blue background, shot noise."""
    rng = np.random.default_rng(seed)
    cyto = gaussian_blobs(h, w, 140, 10, 28, rng, (50, 150))
    rng2 = np.random.default_rng(seed + 1)
    nuclei = gaussian_blobs(h, w, 180, 3, 8, rng2, (80, 220))
    bg = np.broadcast_to(12 + 10 * np.linspace(0, 1, w)[None, :], (h, w))
    r = rng.poisson(np.clip(bg + nuclei, 0, None)).astype(np.float64)
    g = rng.poisson(np.clip(bg + cyto, 0, None)).astype(np.float64)
    b = rng.normal(bg + 5, 3)
    return np.dstack([to_u8(r), to_u8(g), to_u8(b)])


def brightfield_cells(h, w, seed):
    """Dark round cells on a bright, unevenly lit background."""
    rng = np.random.default_rng(seed)
    yy, xx = np.mgrid[0:h, 0:w].astype(np.float64)
    light = 200 - 40 * ((xx - w * 0.6) ** 2 + (yy - h * 0.4) ** 2) / (w * w)
    cells = gaussian_blobs(h, w, 220, 4, 15, rng, (40, 120))
    return to_u8(rng.normal(light - cells, 4.0))


def star_field(h, w, seed):
    rng = np.random.default_rng(seed)
    stars = gaussian_blobs(h, w, 900, 0.7, 2.5, rng, (20, 240))
    stars += gaussian_blobs(h, w, 6, 20, 60, rng, (10, 40))   # faint nebulae
    sky = np.broadcast_to(18 + 6 * np.linspace(0, 1, h)[:, None], (h, w))
    return to_u8(rng.poisson(np.clip(sky + stars, 0, None)).astype(np.float64))


def save_np(arr, out, origin, **kw):
    Image.fromarray(arr).save(os.path.join(OUT, out), **kw)
    sources.append((out, origin))


def main():
    os.makedirs(OUT, exist_ok=True)

    # ImageMagick built-in pictures.
    im(["rose:", "-resize", "640x480!"], "rose_640x480.png",
       "ImageMagick built-in rose: (70x46) scaled to 640x480; RGB PNG")
    im(["rose:", "-resize", "1001x667!", "-interlace", "PNG", "-strip"],
       "rose_1001x667_interlaced.png",
       "ImageMagick rose: scaled to 1001x667; Adam7-interlaced RGB PNG, "
       "metadata stripped")
    im(["wizard:", "-resize", "1280x720", "-background", "white",
        "-gravity", "center", "-extent", "1280x720", "-quality", "92"],
       "wizard_1280x720.jpg",
       "ImageMagick built-in wizard: fitted into 1280x720 on white; colour "
       "JPEG q92 (4:4:4)")
    im(["logo:", "-resize", "1001x667!", "-alpha", "off", "-type",
        "TrueColor"], "logo_1001x667.bmp",
       "ImageMagick built-in logo: (640x480) scaled to 1001x667; 24-bit BMP",
       coder="BMP3:")
    im(["-size", "1920x1080", "tile:granite:", "-colorspace", "Gray",
        "-depth", "8", "-define", "png:color-type=0"],
       "granite_1920x1080_grey.png",
       "ImageMagick built-in granite: tiled to 1920x1080; 8-bit greyscale PNG")
    im(["netscape:", "-resize", "640x480!", "-alpha", "off", "-colors",
        "200"], "netscape_640x480.gif",
       "ImageMagick built-in netscape: scaled to 640x480, 200 colours; GIF "
       "without transparency")
    im(["-seed", "4242", "-size", "1280x720", "plasma:fractal", "-blur",
        "0x1"], "plasma_1280x720.tif",
       "ImageMagick plasma:fractal, seed 4242, 1280x720; RGB TIFF")
    im(["logo:", "-resize", "800x600!", "-alpha", "set", "-channel", "A",
        "-evaluate", "set", "100%", "+channel", "-define",
        "png:color-type=6"], "logo_rgba_opaque_800x600.png",
       "ImageMagick logo: scaled to 800x600 with a fully opaque alpha "
       "channel; RGBA PNG")

    # Photographs / charts found on this machine.
    if have(PHOTO_PIER, "pier_*"):
        im([PHOTO_PIER, "-alpha", "off", "-resize", "x720", "-gravity",
            "center", "-crop", "1280x720+0+0", "+repage", "-quality", "85"],
           "pier_1280x720.webp",
           "photo of a pier and clouds (jetty-pic.png from the Google Cloud "
           "SDK's bundled Jetty demo) scaled/cropped to 1280x720; lossy WebP")
        im([PHOTO_PIER, "-alpha", "off", "-define", "webp:lossless=true"],
           "pier_900x277_lossless.webp",
           "same pier photo at its original 900x277; lossless WebP")
    if have(PHOTO_BOARD, "board_*"):
        im([PHOTO_BOARD, "-resize", "1920x1080!", "-quality", "85"],
           "board_1920x1080.jpg",
           "photo of a microcontroller board (Rust embedded-book asset f3.jpg) "
           "scaled to 1920x1080; colour JPEG q85 (4:2:2, as in the source)")
        im([PHOTO_BOARD, "-resize", "640x480!", "-compress", "none"],
           "board_640x480.ppm",
           "same board photo scaled to 640x480; ASCII PPM (P3)")
        im([PHOTO_BOARD, "-resize", "1280x720!", "-quality", "80",
            "-interlace", "Plane"], "board_1280x720_progressive.jpg",
           "same board photo at 1280x720; progressive colour JPEG q80")
    if have(PHOTO_BOARD2, "board_verify_*"):
        im([PHOTO_BOARD2, "-colorspace", "Gray", "-type", "Grayscale",
            "-quality", "90"], "board_verify_720x477_grey.jpg",
           "photo of a board on a bench (Rust embedded-book asset "
           "verify.jpeg), original 720x477; greyscale JPEG")
    if have(CHART_SCATTER, "scatter_*"):
        im([CHART_SCATTER, "-alpha", "off", "-resize", "1050x1050",
            "-colors", "64"], "scatter_1050_palette.png",
           "scatter-plot chart from Node.js docs (2100x2100) scaled to "
           "1050x1050, 64 colours; palette PNG", coder="PNG8:")
    if have(CHART_BOX, "boxplot_*"):
        im([CHART_BOX, "-alpha", "off"], "boxplot_2100x2100.png",
           "box-plot chart from Node.js docs at its original 2100x2100; RGB PNG")

    # Synthetic scientific images.
    save_np(fluorescence_cells(960, 1280, 11), "cells_fluo_1280x960.tif",
            "synthetic fluorescence micrograph (numpy, seed 11): Gaussian "
            "cells/nuclei with Poisson noise; RGB TIFF, LZW",
            compression="tiff_lzw")
    save_np(brightfield_cells(667, 1001, 23), "cells_bright_1001x667.pgm",
            "synthetic bright-field micrograph (numpy, seed 23): dark cells, "
            "uneven light, Gaussian noise; binary PGM (P5)")
    save_np(star_field(1080, 1920, 5), "stars_1920x1080_grey.png",
            "synthetic star field (numpy, seed 5) with faint nebulae and "
            "Poisson noise; 8-bit greyscale PNG")
    save_np(fluorescence_cells(480, 640, 31), "cells_fluo_640x480.bmp",
            "synthetic fluorescence micrograph (numpy, seed 31); 24-bit BMP")

    rng = np.random.default_rng(77)
    draws = []
    for _ in range(120):
        x, y = rng.integers(0, 1280), rng.integers(0, 720)
        rad = int(rng.integers(3, 30))
        v = int(rng.integers(90, 255))
        draws += ["-fill", "rgb(%d,%d,%d)" % (v, v // 2, 255 - v // 3),
                  "-draw", "circle %d,%d %d,%d" % (x, y, x + rad, y)]
    im(["-size", "1280x720", "xc:rgb(20,20,30)"] + draws +
       ["-blur", "0x2", "-seed", "9", "-attenuate", "0.6", "+noise",
        "Gaussian", "-quality", "88"], "im_discs_1280x720.jpg",
       "ImageMagick-drawn coloured discs (120, seed 77), blurred, Gaussian "
       "noise; colour JPEG q88 (4:2:0)")

    # Edge cases: images at and below the kernel size.
    tiny = to_u8(gaussian_blobs(15, 20, 3, 1.5, 3, np.random.default_rng(3),
                                (150, 250)))
    save_np(tiny, "tiny_20x15.png",
            "synthetic 20x15 grey PNG, smaller than the kernels for most sigmas")
    edge = to_u8(gaussian_blobs(31, 31, 4, 1.5, 4, np.random.default_rng(4),
                                (150, 250)) + 20)
    save_np(edge, "edge_31x31.pgm",
            "synthetic 31x31 binary PGM: exactly 2r+1 wide at sigma 5")
    strip = fluorescence_cells(40, 1920, 8)
    save_np(strip, "strip_1920x40.png",
            "synthetic 1920x40 fluorescence strip; RGB PNG (tall kernels do "
            "not fit vertically)")

    for name, _ in sources:
        depth = subprocess.run(["identify", "-format", "%z ",
                                os.path.join(OUT, name)], check=True,
                               capture_output=True, text=True).stdout.split()
        assert set(depth) == {"8"}, (name, depth)

    with open(os.path.join(OUT, "SOURCES.txt"), "w") as f:
        f.write("Cross-check images for the determinant-of-Hessian oracle.\n"
                "Regenerate with tools/oracle/make_test_images.py.\n"
                "All are opaque and 8 bits per channel (16-bit files decode\n"
                "differently in Qt, which rounds x/257, and Pillow, which keeps\n"
                "the high byte).\n\n")
        for name, origin in sources:
            f.write("%s\n    %s\n" % (name, origin))
    print("wrote %d images to %s" % (len(sources), OUT))


if __name__ == "__main__":
    main()
