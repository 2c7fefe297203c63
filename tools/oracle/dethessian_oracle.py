#!/usr/bin/python3
"""Independent float32 reference for the determinant-of-Hessian blob detector.

Reproduces the detector's single-precision arithmetic operation by operation
with numpy, so that its feature list can be compared with the C++ tool's
bit for bit.  Every product and every sum is rounded to float32 on its own
(numpy never fuses multiply-add), and the accumulation order per pixel is the
same as in the scalar loops: tap by tap in increasing kernel index.

Usage:
    dethessian_oracle.py [--sigma S] [--threshold T] [--details] IMAGE   -> CSV
    dethessian_oracle.py --self-test
    dethessian_oracle.py --golden    -> the golden values of the C++ tests

With --details each feature also gets its sub-pixel position (the vertex of
a parabola through the responses either side, in double, clamped to +-0.5),
the sigma, the response and its polarity (bright where Dxx + Dyy < 0).
"""

import argparse
import math
import sys
import zlib

import numpy as np

F32 = np.float32

# Float32 constants, written once so no expression ever sees a Python float.
W_B = F32(0.114)
W_G = F32(0.587)
W_R = F32(0.299)
ZERO = F32(0.0)
HALF = F32(0.5)
NEG_HALF = F32(-0.5)
THREE = F32(3.0)
DXX_DYY_WEIGHT = F32(0.9367973)   # bits 3F6FD1F3
DXY_WEIGHT = F32(0.4052847)       # bits 3ECF817A


def _bits(v):
    return int(np.array([v], dtype=np.float32).view(np.uint32)[0])


def _check32(a):
    # Guard against silent promotion to float64 anywhere in the pipeline.
    assert a.dtype == np.float32, a.dtype
    return a


# ---------------------------------------------------------------- image / grey

def load_rgb(path):
    """H x W x 3 uint8 array (R, G, B); alpha is dropped."""
    from PIL import Image
    with Image.open(path) as im:
        im.load()
        if im.mode in ("I;16", "I;16B", "I;16L", "I"):
            sys.stderr.write("warning: %s is 16/32-bit grey; Pillow's 8-bit "
                             "conversion may differ from Qt's\n" % path)
        rgb = im.convert("RGB")
        return np.asarray(rgb, dtype=np.uint8).copy()


def grey_from_rgb(rgb):
    """Grey bytes: (B*wb + G*wg) + R*wr, each step float32, then truncation."""
    r = rgb[..., 0].astype(F32)
    g = rgb[..., 1].astype(F32)
    b = rgb[..., 2].astype(F32)
    acc = _check32(b * W_B)
    acc = _check32(acc + _check32(g * W_G))
    acc = _check32(acc + _check32(r * W_R))
    # Non-negative, so truncation toward zero is floor; values stay <= 255.
    out = np.trunc(acc)
    assert out.min() >= 0 and out.max() <= 255
    return out.astype(np.uint8)


# ---------------------------------------------------------------- kernels

def radius_for(sigma):
    sigma = F32(sigma)
    t = F32(F32(sigma * THREE) + HALF)
    r = int(math.floor(float(t)))
    return max(r, 1)


def gauss_sample(i, sigma):
    q = F32(F32(i) / sigma)
    q = F32(q * q)
    q = F32(q * NEG_HALF)
    return F32(math.exp(float(q)))   # exp in double, rounded once to float


def make_kernels(sigma):
    """Return (r, gauss, d1, d2) as float32 arrays of length 2r+1."""
    sigma = F32(sigma)
    r = radius_for(sigma)
    n = 2 * r + 1

    gauss = np.zeros(n, dtype=F32)
    s = ZERO
    for i in range(-r, r + 1):
        v = gauss_sample(i, sigma)
        gauss[i + r] = v
        s = F32(s + v)
    for k in range(n):
        gauss[k] = F32(gauss[k] / s)

    d1 = np.zeros(n, dtype=F32)
    vals = {}
    s = ZERO
    for i in range(1, r + 1):
        v = F32(gauss_sample(i, sigma) * F32(i))
        vals[i] = v
        s = F32(v + s)
    c = F32(HALF / s)
    d1[r] = ZERO
    for i in range(1, r + 1):
        p = F32(vals[i] * c)
        d1[r - i] = p
        d1[r + i] = -p

    d2 = np.zeros(n, dtype=F32)
    s2 = F32(sigma * sigma)
    pos = ZERO
    neg = ZERO
    for i in range(-r, r + 1):
        fi = F32(i)
        d = F32(F32(fi * fi) - s2)
        v = F32(gauss_sample(i, sigma) * d)
        d2[i + r] = v
        if v > ZERO:
            pos = F32(v + pos)
        else:
            neg = F32(v + neg)
    a = F32(HALF / pos)
    b = F32(NEG_HALF / neg)
    for k in range(n):
        e = d2[k]
        d2[k] = F32(e * a) if e > ZERO else F32(e * b)

    for arr in (gauss, d1, d2):
        _check32(arr)
    return r, gauss, d1, d2


# ---------------------------------------------------------------- convolution

def _accumulate(src32, kernel, axis, r, length):
    """Sum_k src[.., j-r+k, ..]*kernel[k] for j in [r, length-r), in k order.

    src32 is float32; the result covers only the valid centre range along
    `axis` (size length-2r) and is float32.
    """
    n = 2 * r + 1
    out_len = length - 2 * r
    shape = (src32.shape[0], out_len) if axis == 1 else (out_len, src32.shape[1])
    acc = np.zeros(shape, dtype=F32)
    prod = np.empty(shape, dtype=F32)
    for k in range(n):
        if axis == 1:
            sl = src32[:, k:k + out_len]
        else:
            sl = src32[k:k + out_len, :]
        np.multiply(sl, kernel[k], out=prod)
        np.add(acc, prod, out=acc)
    _check32(acc)
    return acc


def _truncate_to(acc, dtype, lo, hi):
    t = np.trunc(acc)
    if t.size:
        assert t.min() >= lo and t.max() <= hi, (t.min(), t.max())
    return t.astype(dtype)


def response_map(grey, sigma, with_trace=False):
    """Return (r, resp) with resp a full-size float32 map; only
    [r, h-r) x [r, w-r) is meaningful, or None when the image is too small.
    With with_trace, (r, resp, trace): trace is Dxx + Dyy in float32."""
    sigma = F32(sigma)
    r, gauss, d1, d2 = make_kernels(sigma)
    h, w = grey.shape
    none = (r, None, None) if with_trace else (r, None)
    if not (w > 2 * r):
        return none
    src = grey.astype(F32)

    # Row passes: valid columns [r, w-r) only; stored as bytes.
    g_rows = _truncate_to(_accumulate(src, gauss, 1, r, w), np.uint8, 0, 255)
    d1_rows = _truncate_to(_accumulate(src, d1, 1, r, w), np.int8, -128, 127)
    d2_rows = _truncate_to(_accumulate(src, d2, 1, r, w), np.int8, -128, 127)

    if not (h > 2 * r):
        return none

    dxx = _accumulate(d2_rows.astype(F32), gauss, 0, r, h)
    dyy = _accumulate(g_rows.astype(F32), d2, 0, r, h)
    dxy = _accumulate(d1_rows.astype(F32), d1, 0, r, h)

    left = _check32(_check32(dxx * DXX_DYY_WEIGHT) * dyy)
    right = _check32(_check32(dxy * DXY_WEIGHT) * dxy)
    inner = _check32(left - right)

    resp = np.zeros((h, w), dtype=F32)
    resp[r:h - r, r:w - r] = inner
    if with_trace:
        trace = np.zeros((h, w), dtype=F32)
        trace[r:h - r, r:w - r] = _check32(dxx + dyy)
        return r, resp, trace
    return r, resp


def _fmax(a, b):
    # a if a > b else b, elementwise (order matters only for signed zeros).
    return np.where(a > b, a, b)


def find_maxima(resp, r, threshold):
    h, w = resp.shape
    m = r + 1
    if w - m <= m or h - m <= m:
        return []
    ys = slice(m, h - m)
    xs = slice(m, w - m)

    def nb(dx, dy):
        return resp[m + dy:h - m + dy, m + dx:w - m + dx]

    c = resp[ys, xs]
    L, R = nb(-1, 0), nb(1, 0)
    UL, U, UR = nb(-1, -1), nb(0, -1), nb(1, -1)
    DL, D, DR = nb(-1, 1), nb(0, 1), nb(1, 1)
    mx = _fmax(_fmax(_fmax(L, R), _fmax(UL, UR)),
               _fmax(_fmax(DL, DR), _fmax(D, U)))
    hit = (c > mx) & (c > F32(threshold))
    yy, xx = np.nonzero(hit)          # row-major order already
    return [(int(x) + m, int(y) + m) for y, x in zip(yy, xx)]


def detect(grey, sigma, threshold):
    r, resp = response_map(grey, F32(sigma))
    if resp is None:
        return []
    return find_maxima(resp, r, F32(threshold))


def _vertex(before, centre, after):
    """Parabola vertex offset in double from float32 samples, clamped."""
    b, c, a = float(before), float(centre), float(after)
    curvature = b - 2.0 * c + a
    try:
        off = (b - a) / (2.0 * curvature)
    except ZeroDivisionError:
        return 0.0
    if math.isnan(off) or math.isinf(off):
        return 0.0
    return min(0.5, max(-0.5, off))


def detect_details(grey, sigma, threshold):
    """(x, y, x_sub, y_sub, sigma, response, polarity) per feature."""
    r, resp, trace = response_map(grey, F32(sigma), with_trace=True)
    if resp is None:
        return []
    out = []
    for x, y in find_maxima(resp, r, F32(threshold)):
        c = resp[y, x]
        xs = F32(x + _vertex(resp[y, x - 1], c, resp[y, x + 1]))
        ys = F32(y + _vertex(resp[y - 1, x], c, resp[y + 1, x]))
        polarity = "bright" if trace[y, x] < ZERO else "dark"
        out.append((x, y, xs, ys, F32(sigma), c, polarity))
    return out


def details_csv_row(f):
    x, y, xs, ys, sigma, response, polarity = f
    return "%d,%d,%.3f,%.3f,%.9g,%.9g,%s" % (x, y, float(xs), float(ys), float(sigma),
                                          float(response), polarity)


# ---------------------------------------------------------------- self-test

def _scalar_response(grey, sigma):
    """Per-pixel loops with numpy float32 scalars; slow, small images only."""
    r, gauss, d1, d2 = make_kernels(sigma)
    h, w = grey.shape
    n = 2 * r + 1

    def row_pass(kernel):
        out = np.zeros((h, w), dtype=np.int64)
        for y in range(h):
            for x in range(r, w - r):
                acc = ZERO
                for k in range(n):
                    acc = F32(acc + F32(F32(int(grey[y, x - r + k])) * kernel[k]))
                out[y, x] = int(acc)          # int() truncates toward zero
        return out

    G, D1, D2 = row_pass(gauss), row_pass(d1), row_pass(d2)
    resp = np.zeros((h, w), dtype=F32)
    for y in range(r, h - r):
        for x in range(r, w - r):
            dxx = dyy = dxy = ZERO
            for k in range(n):
                yy = y - r + k
                dxx = F32(dxx + F32(F32(int(D2[yy, x])) * gauss[k]))
                dyy = F32(dyy + F32(F32(int(G[yy, x])) * d2[k]))
                dxy = F32(dxy + F32(F32(int(D1[yy, x])) * d1[k]))
            resp[y, x] = F32(F32(F32(dxx * DXX_DYY_WEIGHT) * dyy)
                             - F32(F32(dxy * DXY_WEIGHT) * dxy))
    return r, resp


def _scalar_maxima(resp, r, threshold):
    h, w = resp.shape
    m = r + 1
    mx = lambda a, b: a if a > b else b
    feats = []
    for y in range(m, h - m):
        for x in range(m, w - m):
            c = resp[y, x]
            M = mx(mx(mx(resp[y, x - 1], resp[y, x + 1]),
                      mx(resp[y - 1, x - 1], resp[y - 1, x + 1])),
                   mx(mx(resp[y + 1, x - 1], resp[y + 1, x + 1]),
                      mx(resp[y + 1, x], resp[y - 1, x])))
            if c > M and c > threshold:
                feats.append((x, y))
    return feats


def self_test():
    failures = []

    def check(cond, msg):
        print(("ok    " if cond else "FAIL  ") + msg)
        if not cond:
            failures.append(msg)

    # Grey conversion.
    px = np.array([[[1, 233, 245], [255, 0, 0], [0, 255, 0], [0, 0, 255]]],
                  dtype=np.uint8)
    g = grey_from_rgb(px)[0].tolist()
    check(g == [164, 76, 149, 29], "grey of (1,233,245), red, green, blue = %s" % g)
    ramp = np.repeat(np.arange(256, dtype=np.uint8)[:, None], 3, axis=1)[None]
    check(np.array_equal(grey_from_rgb(ramp)[0], np.arange(256)),
          "grey v,v,v -> v for v in 0..255")

    check(_bits(DXX_DYY_WEIGHT) == 0x3F6FD1F3, "0.9367973f bits 3F6FD1F3")
    check(_bits(DXY_WEIGHT) == 0x3ECF817A, "0.4052847f bits 3ECF817A")

    # Radii.
    for s, want in ((2.0, 6), (3.5, 11), (5.0, 15), (0.1, 1), (30.0, 90)):
        check(radius_for(F32(s)) == want, "radius(sigma=%g) = %d" % (s, want))

    # Kernels for sigma = 2.
    r, gk, d1, d2 = make_kernels(F32(2.0))
    exp_g = [0.002218, 0.008773, 0.027023, 0.064825, 0.121109, 0.176213, 0.199676]
    exp_d1 = [0.008552, 0.028185, 0.069453, 0.124956, 0.155633, 0.113222, 0.0]
    exp_d2 = [0.019638, 0.050971, 0.089716, 0.089674, 0.0, -0.142415, -0.215170]
    rnd = lambda arr: [round(float(v), 6) for v in arr[:7]]
    check(r == 6, "sigma 2 radius 6")
    check(rnd(gk) == exp_g, "gauss sigma 2: %s" % rnd(gk))
    check(rnd(d1) == exp_d1, "d1 sigma 2: %s" % rnd(d1))
    check(rnd(d2) == exp_d2, "d2 sigma 2: %s" % rnd(d2))
    check(np.array_equal(gk, gk[::-1]), "gauss symmetric")
    check(np.array_equal(d2, d2[::-1]), "d2 symmetric")
    check(np.array_equal(d1, -d1[::-1]), "d1 antisymmetric")

    # Disc of radius 3 at (20, 20) on black, sigma 2.
    img = np.zeros((40, 40), dtype=np.uint8)
    yy, xx = np.mgrid[0:40, 0:40]
    disc = (xx - 20) ** 2 + (yy - 20) ** 2 <= 9
    check(int(disc.sum()) == 29, "disc has 29 pixels")
    img[disc] = 200
    rgb = np.repeat(img[..., None], 3, axis=2)
    grey = grey_from_rgb(rgb)
    r, resp = response_map(grey, F32(2.0))
    inner = resp[r:40 - r, r:40 - r]
    iy, ix = np.unravel_index(int(np.argmax(inner)), inner.shape)
    peak = (int(ix) + r, int(iy) + r)
    top = float(resp[20, 20])
    print("      disc: peak %s value %.3f; row 20 at x=16: %.3f, x=24: %.3f"
          % (peak, top, float(resp[20, 16]), float(resp[20, 24])))
    check(peak == (20, 20), "disc peak at (20,20)")
    check(abs(top - 5657) < 5, "disc peak about 5657")
    # x = 20-d .. 20+d must stay inside [r, 40-r).
    span = min(20 - r, 40 - r - 1 - 20)
    left = resp[20, 20 - span:21][::-1]
    right = resp[20, 20:21 + span]
    asym = float(np.max(np.abs(left - right)))
    print("      row 20 max |resp(20-d) - resp(20+d)| = %g" % asym)
    check(asym <= 1e-3 * max(1.0, top), "row 20 symmetric about x=20")
    check(abs(float(resp[20, 16]) + 976) < 5 and abs(float(resp[20, 24]) + 976) < 5,
          "row 20 about -976 at x=16 and x=24")
    feats = find_maxima(resp, r, F32(100))
    check(feats == [(20, 20)], "disc features at threshold 100: %s" % feats)

    # The vectorised passes against a plain per-pixel loop on a small
    # random image, to catch slice/offset mistakes; must agree bit for bit.
    rng = np.random.default_rng(12345)
    small = rng.integers(0, 256, size=(23, 31, 3), dtype=np.uint8)
    sg = grey_from_rgb(small)
    for s in (1.3, 2.0):
        sig = F32(s)
        r, ref = _scalar_response(sg, sig)
        r2, vec = response_map(sg, sig)
        h, w = sg.shape
        same = np.array_equal(ref[r:h - r, r:w - r].view(np.uint32),
                              vec[r:h - r, r:w - r].view(np.uint32))
        check(same, "vectorised == scalar loop, sigma %g, 31x23 noise" % s)
        ref_f = _scalar_maxima(ref, r, F32(0))
        check(ref_f == find_maxima(vec, r, F32(0)),
              "maxima == scalar loop, sigma %g (%d features)" % (s, len(ref_f)))

    print("self-test: %s" % ("PASS" if not failures
                             else "%d FAILED" % len(failures)))
    return 0 if not failures else 1


# ---------------------------------------------------------------- golden values

GOLDEN_KERNEL_SIGMAS = ("2", "2.5", "5", "17.25", "30")
GOLDEN_RESPONSE_SIGMAS = ("2.5", "17.25")
GOLDEN_FRAME_SIZE = (160, 120)


def golden_frame(width, height):
    """grey(x, y) = (x*x + 3*y*y + 5*x*y) mod 256: every grey level, flat
    and steep parts alike, from integers only."""
    y, x = np.mgrid[0:height, 0:width]
    return ((x * x + 3 * y * y + 5 * x * y) % 256).astype(np.uint8)


def crc_of_bits(values):
    """CRC-32 (zlib's) of the float32 bit patterns, little-endian, in order."""
    data = np.ascontiguousarray(values, dtype="<f4").tobytes()
    return zlib.crc32(data) & 0xFFFFFFFF


def golden():
    print("kernels: sigma, radius, CRC-32 of the gauss, d1 and d2 taps, "
          "gauss[r], d2[r]")
    for s in GOLDEN_KERNEL_SIGMAS:
        r, gauss, d1, d2 = make_kernels(F32(float(s)))
        print("%s %d 0x%08x 0x%08x 0x%08x 0x%08x 0x%08x"
              % (s, r, crc_of_bits(gauss), crc_of_bits(d1), crc_of_bits(d2),
                 _bits(gauss[r]), _bits(d2[r])))
    w, h = GOLDEN_FRAME_SIZE
    print("response of the %d x %d frame: sigma, CRC-32 of the valid region "
          "row by row" % (w, h))
    frame = golden_frame(w, h)
    for s in GOLDEN_RESPONSE_SIGMAS:
        r, resp = response_map(frame, F32(float(s)))
        print("%s 0x%08x" % (s, crc_of_bits(resp[r:h - r, r:w - r])))
    return 0


# ---------------------------------------------------------------- main

def main(argv=None):
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--sigma", type=str, default="5")
    ap.add_argument("--threshold", type=str, default="100")
    ap.add_argument("--self-test", action="store_true")
    ap.add_argument("--details", action="store_true")
    ap.add_argument("--golden", action="store_true",
                    help="print the golden values the C++ tests hold")
    ap.add_argument("image", nargs="?")
    argv = list(sys.argv[1:] if argv is None else argv)
    # argparse mistakes values like "-1e9" for options; bind them explicitly.
    joined = []
    i = 0
    while i < len(argv):
        if argv[i] in ("--sigma", "--threshold") and i + 1 < len(argv):
            joined.append(argv[i] + "=" + argv[i + 1])
            i += 2
        else:
            joined.append(argv[i])
            i += 1
    a = ap.parse_args(joined)
    if a.self_test:
        return self_test()
    if a.golden:
        return golden()
    if not a.image:
        ap.error("IMAGE required")
    # Parse as double, then round to float (what strtod + a float cast does).
    sigma = F32(float(a.sigma))
    threshold = F32(float(a.threshold))
    try:
        rgb = load_rgb(a.image)
    except (OSError, ValueError) as e:
        sys.stderr.write("cannot read %s: %s\n" % (a.image, e))
        return 1
    grey = grey_from_rgb(rgb)
    if a.details:
        out = ["x,y,x_subpixel,y_subpixel,sigma,response,polarity"]
        out += [details_csv_row(f) for f in detect_details(grey, sigma, threshold)]
    else:
        out = ["x,y"] + ["%d,%d" % f for f in detect(grey, sigma, threshold)]
    sys.stdout.write("\n".join(out) + "\n")
    return 0


if __name__ == "__main__":
    sys.exit(main())
