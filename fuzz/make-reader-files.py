#!/usr/bin/python3
"""Writes FITS, TIFF, PNM and 16-bit PNG files for the native readers.

    make-reader-files.py DIR [seeds|hostile|all]

seeds: small valid pictures in every layout the readers take (FITS of every
BITPIX with and without BZERO/BSCALE/BLANK, TIFF by strips and by tiles,
interleaved and in planes, 8/16/32-bit and float, odd tile sizes), the
fuzzers' starting points.
hostile: what an attacker writes: headers that claim enormous pictures,
bands or tiles over a few bytes of data, cut pages and HDUs, byte counts
and offsets that do not add up, contradictory tags, unreadable scaling
keywords.

Every writer is here, in the standard library and numpy only, so that any
tag or keyword can be set to any value.
"""
import os
import struct
import sys
import zlib

import numpy as np


def spots(width, height, lo=0.0, hi=1.0):
    """A few soft spots on a ramp, scaled to lo..hi."""
    y, x = np.mgrid[0:height, 0:width].astype(np.float64)
    v = 0.2 * x / max(1, width) + 0.1 * y / max(1, height)
    for b in range(6):
        cx, cy, s = (b * 37 + 5) % width, (b * 23 + 7) % height, 1.5 + b % 3
        v += (1.0 if b % 3 else -0.5) * np.exp(-((x - cx) ** 2 + (y - cy) ** 2) / (2 * s * s))
    v = (v - v.min()) / (v.max() - v.min())
    return lo + v * (hi - lo)


# ---------------------------------------------------------------- FITS

def card(key, value=None, comment=""):
    if value is None:
        text = key.ljust(80)
    else:
        if isinstance(value, bool):
            value = "T" if value else "F"
        elif isinstance(value, str) and not value.startswith("RAW:"):
            value = "'%s'" % value.ljust(8)
        elif isinstance(value, str):
            value = value[4:]
        text = "%-8s= %20s" % (key, value)
        if comment:
            text += " / " + comment
    return text[:80].ljust(80).encode("ascii")


def fits_header(cards):
    data = b"".join(cards) + card("END")
    return data + b" " * (-len(data) % 2880)


def fits_data(raw):
    return raw + b"\0" * (-len(raw) % 2880)


BITPIX_TYPES = {8: ">u1", 16: ">i2", 32: ">i4", 64: ">i8", -32: ">f4", -64: ">f8"}


def fits_image(bitpix, stored, extra=(), extension=False, axes=None):
    """One HDU; `stored` is the array of stored values (rows bottom first)."""
    height, width = stored.shape
    axes = axes or [width, height]
    first = [card("XTENSION", "IMAGE")] if extension else [card("SIMPLE", True)]
    cards = first + [card("BITPIX", bitpix), card("NAXIS", len(axes))]
    cards += [card("NAXIS%d" % (i + 1), n) for i, n in enumerate(axes)]
    if extension:
        cards += [card("PCOUNT", 0), card("GCOUNT", 1)]
    cards += [card(k, v) for k, v in extra]
    return fits_header(cards) + fits_data(stored.astype(BITPIX_TYPES[bitpix]).tobytes())


def fits_table(rows=4):
    cards = [card("XTENSION", "BINTABLE"), card("BITPIX", 8), card("NAXIS", 2), card("NAXIS1", 4),
             card("NAXIS2", rows), card("PCOUNT", 0), card("GCOUNT", 1), card("TFIELDS", 1),
             card("TFORM1", "1J"), card("TTYPE1", "N")]
    return fits_header(cards) + fits_data(np.arange(rows, dtype=">i4").tobytes())


def fits_seeds(out):
    w, h = 24, 18
    for bitpix in (8, 16, 32, 64, -32, -64):
        info = np.iinfo(BITPIX_TYPES[bitpix]) if bitpix > 0 else None
        lo, hi = (info.min, info.max) if info else (-3.0, 5.0)
        if bitpix == 64:
            lo, hi = -2.0 ** 40, 2.0 ** 40
        stored = np.round(spots(w, h, lo, hi)) if bitpix > 0 else spots(w, h, lo, hi)
        out("fits-bitpix%d" % bitpix, fits_image(bitpix, stored))
        if bitpix > 0:
            out("fits-bitpix%d-scaled" % bitpix,
                fits_image(bitpix, stored, [("BZERO", 1000.5), ("BSCALE", 0.25), ("BLANK", int(lo))]))
    # The equivalent unsigned and signed types.
    out("fits-uint16", fits_image(16, np.round(spots(w, h, -32768, 32767)), [("BZERO", 32768)]))
    out("fits-uint32", fits_image(32, np.round(spots(w, h, -2 ** 31, 2 ** 31 - 1)), [("BZERO", 2 ** 31)]))
    out("fits-sbyte", fits_image(8, np.round(spots(w, h, 0, 255)), [("BZERO", -128)]))
    cube = np.concatenate([np.round(spots(w, h, 0, 200)), np.round(spots(w, h, 50, 90))])
    out("fits-cube", fits_image(16, cube, axes=[w, h, 2]))
    cube4 = np.concatenate([np.round(spots(w, h, 0, 100 + 50 * k)) for k in range(4)])
    whole = fits_image(16, cube4, axes=[w, h, 4])
    out("fits-cube-cut", whole[:2880 + 2 * w * h * 2 + 100])
    out("fits-extension", fits_header([card("SIMPLE", True), card("BITPIX", 8), card("NAXIS", 0),
                                       card("EXTEND", True)])
        + fits_table() + fits_image(-32, spots(w, h), extension=True))


def fits_hostile(out):
    w, h = 24, 18
    small = fits_image(16, np.round(spots(w, h, 0, 1000)))

    def claiming(naxis1, naxis2, bitpix=16):
        head = fits_header([card("SIMPLE", True), card("BITPIX", bitpix), card("NAXIS", 2),
                            card("NAXIS1", "RAW:%d" % naxis1), card("NAXIS2", "RAW:%d" % naxis2)])
        return head + b"\0" * 2880

    out("fits-bomb-2e32-square", claiming(2 ** 32, 2 ** 32))
    out("fits-bomb-2e63-tall", claiming(1, 2 ** 63 - 1))
    out("fits-bomb-2e62-wide", claiming(2 ** 62, 4))
    out("fits-bomb-2e31-square", claiming(2 ** 31, 2 ** 31, -64))
    out("fits-bomb-2e24-by-64", claiming(2 ** 24, 64))
    out("fits-bomb-2e24-by-400", claiming(2 ** 24, 400))
    out("fits-bomb-negative", claiming(-5, 7))
    out("fits-cut-data", small[:2880 + 500])
    later = small + fits_image(16, np.round(spots(w, h, 0, 1000)), extension=True)
    out("fits-later-hdu-cut", later[:len(later) - 1000])
    out("fits-later-header-cut", (small + fits_table())[:len(small) + 1000])
    for name, value in (("nan", "RAW:NaN"), ("inf", "RAW:INF"), ("huge", "RAW:1E400"), ("text", "x"),
                        ("empty", "RAW:"), ("zero", "RAW:0.0")):
        out("fits-bscale-%s" % name, fits_image(16, np.round(spots(w, h, 0, 1000)), [("BSCALE", value)]))
        out("fits-bzero-%s" % name, fits_image(16, np.round(spots(w, h, 0, 1000)), [("BZERO", value)]))
        out("fits-blank-%s" % name, fits_image(16, np.round(spots(w, h, 0, 1000)), [("BLANK", value)]))
    tall = 4000
    out("fits-tall", fits_image(-32, spots(16, tall).astype(np.float32)))


# ---------------------------------------------------------------- TIFF

TYPES = {"B": 1, "s": 2, "H": 3, "I": 4, "Q": 16}
SIZES = {1: 1, 2: 1, 3: 2, 4: 4, 16: 8}


def tiff_file(pages, big_endian=False):
    """pages: list of (tags {tag: (type, [values])}, [data blocks]); the
    strip or tile offsets (273 or 324) and counts (279 or 325) are filled in
    for the blocks unless the page gives them."""
    e = ">" if big_endian else "<"
    out = bytearray(b"MM\0*" if big_endian else b"II*\0") + b"\0\0\0\0"
    previous_link = 4
    for tags, blocks in pages:
        tags = dict(tags)
        offsets = []
        for block in blocks:
            offsets.append(len(out))
            out += block
            if len(out) % 2:
                out += b"\0"
        tiled = 322 in tags
        off_tag, count_tag = (324, 325) if tiled else (273, 279)
        tags.setdefault(off_tag, ("I", offsets))
        tags.setdefault(count_tag, ("I", [len(b) for b in blocks]))
        # Values that do not fit in an entry go before the directory.
        entries = []
        for tag in sorted(tags):
            kind, values = tags[tag]
            code = TYPES[kind]
            if kind == "s":
                raw = values.encode("ascii") + b"\0"
                count = len(raw)
            else:
                fmt = {"B": "B", "H": "H", "I": "I", "Q": "Q"}[kind]
                raw = struct.pack(e + fmt * len(values), *values)
                count = len(values)
            if len(raw) > 4:
                where = len(out)
                out += raw + (b"\0" if len(raw) % 2 else b"")
                field = struct.pack(e + "I", where)
            else:
                field = raw.ljust(4, b"\0")
            entries.append(struct.pack(e + "HHI", tag, code, count) + field)
        directory = len(out)
        out[previous_link:previous_link + 4] = struct.pack(e + "I", directory)
        out += struct.pack(e + "H", len(entries)) + b"".join(entries)
        previous_link = len(out)
        out += b"\0\0\0\0"
    return bytes(out)


def sample_dtype(bits, fmt):
    return {(8, 1): "u1", (16, 1): "u2", (32, 1): "u4", (16, 2): "i2", (32, 2): "i4",
            (32, 3): "f4", (64, 3): "f8"}[(bits, fmt)]


def tiff_page(values, bits=8, fmt=1, tile=None, rows_per_strip=None, separate=False, compress=False,
              photometric=None, big_endian=False, extra_tags=None):
    """values: H x W or H x W x C array; blocks written as asked."""
    if values.ndim == 2:
        values = values[:, :, None]
    height, width, spp = values.shape
    dt = np.dtype(sample_dtype(bits, fmt)).newbyteorder(">" if big_endian else "<")
    samples = values.astype(dt)
    planes = [samples[:, :, c:c + 1] for c in range(spp)] if separate else [samples]
    blocks = []
    for plane in planes:
        if tile:
            tw, tl = tile
            for ty in range(0, height, tl):
                for tx in range(0, width, tw):
                    block = np.zeros((tl, tw, plane.shape[2]), dt)
                    part = plane[ty:ty + tl, tx:tx + tw]
                    block[:part.shape[0], :part.shape[1]] = part
                    blocks.append(block.tobytes())
        else:
            rps = rows_per_strip or height
            for y in range(0, height, rps):
                blocks.append(plane[y:y + rps].tobytes())
    if compress:
        blocks = [zlib.compress(b) for b in blocks]
    tags = {256: ("I", [width]), 257: ("I", [height]), 258: ("H", [bits] * spp),
            259: ("H", [8 if compress else 1]),
            262: ("H", [photometric if photometric is not None else (2 if spp >= 3 else 1)]),
            277: ("H", [spp]), 284: ("H", [2 if separate else 1]), 339: ("H", [fmt] * spp)}
    if tile:
        tags[322] = ("I", [tile[0]])
        tags[323] = ("I", [tile[1]])
    else:
        tags[278] = ("I", [rows_per_strip or height])
    if spp == 4:
        tags[338] = ("H", [2])
    tags.update(extra_tags or {})
    return tags, blocks


def layout_values(width, height, spp, bits, fmt):
    v = spots(width, height)
    if spp == 3:
        v = np.stack([v, v[::-1, :], 1 - v], axis=2)
    if fmt == 3:
        return v * 2.0 - 0.5
    lo, hi = (0, 2 ** bits - 1) if fmt == 1 else (-2 ** (bits - 1), 2 ** (bits - 1) - 1)
    return np.round(lo + v * (hi - lo))


def tiff_seeds(out):
    w, h = 37, 29
    for bits, fmt in ((8, 1), (16, 1), (16, 2), (32, 1), (32, 2), (32, 3), (64, 3)):
        for spp in (1, 3):
            values = layout_values(w, h, spp, bits, fmt)
            name = "tiff-%d%s-%s" % (bits, " uif"[fmt], "rgb" if spp == 3 else "grey")
            out(name + "-strips", tiff_file([tiff_page(values, bits, fmt, rows_per_strip=5)]))
            out(name + "-tiles", tiff_file([tiff_page(values, bits, fmt, tile=(16, 32), compress=True)]))
            if spp == 3:
                out(name + "-planes", tiff_file([tiff_page(values, bits, fmt, rows_per_strip=4, separate=True)]))
                out(name + "-planes-tiles",
                    tiff_file([tiff_page(values, bits, fmt, tile=(32, 16), separate=True)], big_endian=True))
    v16 = layout_values(w, h, 1, 16, 1)
    out("tiff-16u-grey-tiles-17", tiff_file([tiff_page(v16, 16, 1, tile=(17, 17))]))
    out("tiff-16u-grey-pages", tiff_file([tiff_page(v16, 16, 1, rows_per_strip=8)] * 3))
    # Stacks as ImageJ and tifffile describe them.
    imagej = tiff_page(v16, 16, 1, rows_per_strip=8,
                       extra_tags={270: ("s", "ImageJ=1.53t\nimages=6\nchannels=2\nframes=3\nfinterval=0.5\n")})
    out("tiff-imagej-hyperstack", tiff_file([imagej] + [tiff_page(v16, 16, 1, rows_per_strip=8)] * 5))
    shaped = tiff_page(v16, 16, 1, rows_per_strip=8,
                       extra_tags={270: ("s", '{"shape": [4, %d, %d]}' % v16.shape[:2])})
    whole = tiff_file([shaped] + [tiff_page(v16, 16, 1, rows_per_strip=8)] * 3)
    out("tiff-shaped-cut", whole[:len(whole) * 2 // 3])


def tiff_hostile(out):
    w, h = 37, 29
    v16 = layout_values(w, h, 1, 16, 1)
    rgb16 = layout_values(w, h, 3, 16, 1)

    def header_only(width, height, bits=8, fmt=1, rows=None, tile=None, spp=1):
        """A header claiming a large picture whose every strip or tile is
        the same few bytes of deflate data (zeros), so that each decodes."""
        tags = {256: ("I", [width]), 257: ("I", [height]), 258: ("H", [bits] * spp), 259: ("H", [8]),
                262: ("H", [2 if spp == 3 else 1]), 277: ("H", [spp]), 339: ("H", [fmt] * spp)}
        if tile:
            tags[322] = ("I", [tile[0]])
            tags[323] = ("I", [tile[1]])
            count = -(-width // tile[0]) * -(-height // tile[1])
            block = tile[0] * tile[1] * spp * bits // 8
        else:
            tags[278] = ("I", [rows or height])
            count = -(-height // (rows or height))
            block = (rows or height) * width * spp * bits // 8
        data = zlib.compress(bytes(min(block, 1 << 26)), 9) if block <= 1 << 26 else bytes(64)
        first = 8
        if count <= 1 << 16:
            tags[324 if tile else 273] = ("I", [first] * count)
            tags[325 if tile else 279] = ("I", [len(data)] * count)
        return tiff_file([(tags, [data])])

    out("tiff-bomb-2e24-by-64", header_only(2 ** 24, 64, rows=1))
    out("tiff-bomb-2e24-by-400", header_only(2 ** 24, 400, rows=1))
    out("tiff-bomb-65536-by-16384", header_only(65536, 16384, rows=1))
    out("tiff-bomb-float-2e24-by-64", header_only(2 ** 24, 64, bits=32, fmt=3, rows=1))
    out("tiff-bomb-float-one-strip", header_only(2 ** 24, 64, bits=32, fmt=3))
    out("tiff-bomb-huge-tiles", header_only(40, 40, tile=(2 ** 20, 2 ** 20)))
    out("tiff-bomb-huge-tiles-16", header_only(40, 40, bits=16, tile=(2 ** 20, 2 ** 20)))
    out("tiff-bomb-2e32-strip", header_only(2 ** 32 - 1, 2 ** 32 - 1, rows=1))
    # Multi-page: the third page cut short, for 16-bit integers and floats.
    for bits, fmt, name in ((16, 1, "16"), (32, 3, "float")):
        page = tiff_page(layout_values(w, h, 1, bits, fmt), bits, fmt, rows_per_strip=8)
        whole = tiff_file([page] * 3)
        third = tiff_file([page] * 2)
        out("tiff-pages-%s-third-cut" % name, whole[:len(third) + 300])
    # Byte counts and offsets that do not add up.
    for name, page in (("strips", tiff_page(v16, 16, 1, rows_per_strip=8)),
                       ("tiles", tiff_page(v16, 16, 1, tile=(16, 16)))):
        tags, blocks = page
        tiled = 322 in tags
        count_tag, off_tag = (325, 324) if tiled else (279, 273)
        n = len(blocks)
        for how, counts in (("zero", [0] * n), ("short", [len(b) // 2 for b in blocks]),
                            ("huge", [2 ** 31] * n), ("one-short", [len(b) for b in blocks[:-1]])):
            t = dict(tags)
            t[count_tag] = ("I", counts)
            out("tiff-16-%s-bytecounts-%s" % (name, how), tiff_file([(t, blocks)]))
        t = dict(tags)
        t[off_tag] = ("I", [8] * n)
        out("tiff-16-%s-offsets-all-header" % name, tiff_file([(t, blocks)]))
    # A float picture of 9 tiles with 2 offsets.
    f = layout_values(40, 40, 1, 32, 3)
    tags, blocks = tiff_page(f, 32, 3, tile=(16, 16))
    tags = dict(tags)
    tags[324] = ("I", [8, 8])
    tags[325] = ("I", [len(blocks[0])] * 2)
    out("tiff-float-2-offsets-9-tiles", tiff_file([(tags, blocks)]))
    # RGB with one sample a pixel, and other contradictions.
    out("tiff-rgb-one-sample", tiff_file([tiff_page(layout_values(16, 16, 1, 8, 1), photometric=2)]))
    out("tiff-rgb16-one-sample", tiff_file([tiff_page(v16, 16, 1, photometric=2)]))
    out("tiff-planes-16-rgb", tiff_file([tiff_page(rgb16, 16, 1, rows_per_strip=7, separate=True)]))
    out("tiff-planes-16-rgb-tiles", tiff_file([tiff_page(rgb16, 16, 1, tile=(16, 16), separate=True)]))
    tags, blocks = tiff_page(rgb16, 16, 1, rows_per_strip=7, separate=True)
    out("tiff-planes-16-rgb-missing-plane", tiff_file([(tags, blocks[:len(blocks) * 2 // 3])]))
    tags, blocks = tiff_page(v16, 16, 1, rows_per_strip=8)
    tags = dict(tags)
    tags[258] = ("H", [16, 8])
    out("tiff-16-bits-per-sample-mixed", tiff_file([(tags, blocks)]))


# ---------------------------------------------------------------- PNM, PNG

def png_chunk(kind, data, crc=None):
    crc = zlib.crc32(kind + data) if crc is None else crc
    return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", crc & 0xffffffff)


def png16(values, colour=False, text_crc_bad=False):
    height, width = values.shape[:2]
    raw = b"".join(b"\0" + values[y].astype(">u2").tobytes() for y in range(height))
    ihdr = struct.pack(">IIBBBBB", width, height, 16, 2 if colour else 0, 0, 0, 0)
    text = png_chunk(b"tEXt", b"Comment\0hello", crc=0x12345678 if text_crc_bad else None)
    return (b"\x89PNG\r\n\x1a\n" + png_chunk(b"IHDR", ihdr) + text + png_chunk(b"IDAT", zlib.compress(raw))
            + png_chunk(b"IEND", b""))


def pnm_files(out):
    w, h = 23, 17
    grey = np.round(spots(w, h, 0, 1000)).astype(int)
    colour = np.stack([grey, grey[::-1], 1000 - grey], axis=2)
    for maxval in (100, 1000, 255, 65535):
        g = grey * maxval // 1000
        c = colour * maxval // 1000
        dt = ">u2" if maxval > 255 else "u1"
        out("pgm-max%d" % maxval, b"P5\n%d %d\n%d\n" % (w, h, maxval) + g.astype(dt).tobytes())
        out("ppm-max%d" % maxval, b"P6\n%d %d\n%d\n" % (w, h, maxval) + c.astype(dt).tobytes())
    text = " ".join(str(v) for v in grey.flatten() // 10)
    out("pgm-text-no-final-newline", b"P2\n%d %d\n100\n" % (w, h) + text.encode())
    out("png16-grey", png16(grey * 60))
    out("png16-text-crc", png16(grey * 60, text_crc_bad=True))


def main():
    directory = sys.argv[1]
    which = sys.argv[2] if len(sys.argv) > 2 else "all"
    os.makedirs(directory, exist_ok=True)

    def out(name, data):
        with open(os.path.join(directory, name), "wb") as f:
            f.write(data)

    if which in ("seeds", "all"):
        fits_seeds(out)
        tiff_seeds(out)
        pnm_files(out)
    if which in ("hostile", "all"):
        fits_hostile(out)
        tiff_hostile(out)


if __name__ == "__main__":
    main()
