#include "borderpadding.h"

#include "hessiandetector.h"

#include <cstring>
#include <new>
#include <vector>

int64_t borderSourceIndex(int64_t p, int64_t n, BorderMode mode)
{
    if (p >= 0 && p < n)
        return p;
    switch (mode) {
    case BORDER_NEAREST:
        return p < 0 ? 0 : n - 1;
    case BORDER_REFLECT: {
        // Period 2n: the picture, then the picture mirrored.
        const int64_t period = 2 * n;
        int64_t q = p % period;
        if (q < 0)
            q += period;
        return q < n ? q : period - 1 - q;
    }
    default:
        return -1;
    }
}

int padGreyRows(const unsigned char *tile, uint32_t width, int64_t tileTop, uint32_t tileRows,
                int64_t pictureHeight, int64_t firstRow, uint32_t rows, uint32_t pad, BorderMode mode,
                unsigned char *padded)
{
    if (mode == BORDER_INTERIOR || width == 0 || pictureHeight <= 0)
        return HESSIAN_BAD_SIGMA;
    const size_t paddedWidth = (size_t)width + 2 * (size_t)pad;
    // Where each of the pad columns on either side reads.
    std::vector<int64_t> left, right;
    try {
        left.resize(pad);
        right.resize(pad);
    } catch (const std::bad_alloc &) {
        return HESSIAN_NO_MEMORY;
    }
    for (uint32_t i = 0; i < pad; ++i) {
        left[i] = borderSourceIndex((int64_t)i - (int64_t)pad, width, mode);
        right[i] = borderSourceIndex((int64_t)width + i, width, mode);
    }
    for (uint32_t row = 0; row < rows; ++row) {
        unsigned char *out = padded + (size_t)row * paddedWidth;
        const int64_t source = borderSourceIndex(firstRow + row, pictureHeight, mode);
        if (source < 0) {
            std::memset(out, 0, paddedWidth);
            continue;
        }
        if (source < tileTop || source >= tileTop + (int64_t)tileRows)
            return HESSIAN_BAD_SIGMA;
        const unsigned char *in = tile + (size_t)(source - tileTop) * width;
        for (uint32_t i = 0; i < pad; ++i) {
            out[i] = left[i] < 0 ? 0 : in[left[i]];
            out[pad + width + i] = right[i] < 0 ? 0 : in[right[i]];
        }
        std::memcpy(out + pad, in, width);
    }
    return HESSIAN_OK;
}
