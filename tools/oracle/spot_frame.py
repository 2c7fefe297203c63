#!/usr/bin/python3
"""Writes the small synthetic frame that the command-line tests measure, as
a binary PGM, so that the oracle can give its expected values:

    tools/oracle/spot_frame.py /tmp/spots.pgm
    tools/oracle/dethessian_oracle.py --details --sigma 2 --threshold 10 /tmp/spots.pgm

Integer arithmetic only, so that the test's own copy of the formula (in
tests/testimages.h, spotFrame) gives the very same bytes.
"""

import sys

WIDTH, HEIGHT = 64, 48
# Discs: centre in quarter pixels, squared radius in sixteenths, level added.
DISCS = [(83, 61, 150, 60), (170, 90, 260, -45), (130, 150, 90, 70), (205, 141, 400, 35)]


def level(x, y):
    v = 90 + (x * 7 + y * 3) % 11
    for cx, cy, r2, add in DISCS:
        dx, dy = 4 * x + 2 - cx, 4 * y + 2 - cy
        if dx * dx + dy * dy <= r2:
            v += add
        if dx * dx + dy * dy <= r2 // 4:
            v += int(add / 2)  # toward zero, as C divides
    return v


def main():
    pixels = bytes(level(x, y) for y in range(HEIGHT) for x in range(WIDTH))
    with open(sys.argv[1], "wb") as f:
        f.write(b"P5\n%d %d\n255\n" % (WIDTH, HEIGHT) + pixels)


if __name__ == "__main__":
    main()
