#ifndef BORDERPADDING_H
#define BORDERPADDING_H

// Blobs at the edges of a picture: the picture extended beyond its borders
// so that every pixel of it can be searched at every scale.
//
// A response at a pixel reads the pixels within the kernel radius r around
// it, and the maxima search the responses one pixel further; so a run
// searches the pixels at least r + 1 from every border. A run on the
// picture padded by that margin searches every pixel of the picture, and
// the responses at pixels whose kernels stay inside the picture are the
// very ones of a run without padding: nothing else changes.
//
// The extensions are scipy.ndimage's, by the same names, for a picture
// (n pixels along an axis) read at a position p outside 0 .. n - 1:
//   reflect   the picture mirrored about its edge, the edge pixel repeated
//             (d c b a | a b c d | d c b a), and so on periodically with
//             period 2n when p lies further out than n;
//   nearest   the edge pixel (a a a a | a b c d | d d d d);
//   constant  0 (black) beyond the edge.
// Interior is no extension: only the pixels at least r + 1 from the
// borders are searched, as the single-sigma run always has.

#include <cstddef>
#include <cstdint>

enum BorderMode {
    BORDER_INTERIOR,
    BORDER_REFLECT,
    BORDER_NEAREST,
    BORDER_CONSTANT
};

// The position within 0 .. n - 1 that position p of the extended axis
// reads, or -1 where it reads the constant (n >= 1).
int64_t borderSourceIndex(int64_t p, int64_t n, BorderMode mode);

// Rows `firstRow` .. firstRow + rows - 1 of a picture `pictureHeight` rows
// high, extended by `pad` columns on either side and, above row 0 and
// below the last, by `mode`, written to `padded` (rows of width + 2 pad
// bytes). The picture's rows come from `tile`, which holds its rows
// tileTop .. tileTop + tileRows - 1 (stride `width`): every picture row
// that an extended row reads must be among them. Returns 0, or
// HESSIAN_BAD_SIGMA when one is not (or for BORDER_INTERIOR), or
// HESSIAN_NO_MEMORY.
int padGreyRows(const unsigned char *tile, uint32_t width, int64_t tileTop, uint32_t tileRows,
                int64_t pictureHeight, int64_t firstRow, uint32_t rows, uint32_t pad, BorderMode mode,
                unsigned char *padded);

#endif // BORDERPADDING_H
