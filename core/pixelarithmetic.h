#ifndef PIXELARITHMETIC_H
#define PIXELARITHMETIC_H

// The arithmetic of one output pixel, exactly as the straightforward loops
// do it. The reference loops are made of these; the vector code uses them
// for the few pixels at the edges that do not fill a vector, so both paths
// share one definition of every result.
//
// Each product and each sum is rounded to float on its own, in increasing
// tap order: never compile this with contraction or fast-math.

#include <cstddef>
#include <cstdint>

// 8/(pi e) and the float just below 4/pi^2 (bit patterns 3F6FD1F3 and
// 3ECF817A): together with the kernel normalisations they turn the
// determinant into sigma^4 (Lxx Lyy - Lxy^2).
const float kDxxDyyWeight = 0.9367973f;
const float kDxyWeight = 0.4052847f;

// One row-pass result: window[0 .. taps) correlated with the kernel, the sum
// truncated toward zero, its low eight bits kept. The kernel normalisation
// guarantees that the value fits the byte (0..255 for the Gaussian,
// -127..127 for the derivatives).
inline unsigned char rowPassPixel(const unsigned char *window, const float *kernel, size_t taps)
{
    float acc = 0.0f;
    for (size_t k = 0; k < taps; ++k)
        acc = acc + (float)window[k] * kernel[k];
    return (unsigned char)(int32_t)acc;
}

// The weights of the grey conversion: the floats nearest 0.114, 0.587 and
// 0.299 (bit patterns 3DE978D5, 3F1645A2 and 3E991687).
const float kBlueWeight = 0.114f;
const float kGreenWeight = 0.587f;
const float kRedWeight = 0.299f;

// The grey level of a 32-bit pixel 0xXXRRGGBB (QImage::Format_RGB32; the top
// byte is not read): (B * 0.114 + G * 0.587) + R * 0.299 in float, in this
// order, truncated toward zero. White gives exactly 255 and every grey v
// gives v, so nothing needs clamping.
inline unsigned char greyLevel(uint32_t pixel)
{
    const float g = ((float)(pixel & 0xFFu) * kBlueWeight + (float)((pixel >> 8) & 0xFFu) * kGreenWeight)
                    + (float)((pixel >> 16) & 0xFFu) * kRedWeight;
    return (unsigned char)(int32_t)g;
}

inline float weightedDeterminant(float dxx, float dyy, float dxy)
{
    return (dxx * kDxxDyyWeight) * dyy - (dxy * kDxyWeight) * dxy;
}

// The three sums of the fused column pass for the pixel whose column
// windows start at the given bytes (row y - r of column x) and run down
// `taps` rows of `stride` bytes:
//   dxx = sum d2Rows * gaussKernel   (row 2nd derivative, smoothed down)
//   dyy = sum gaussRows * d2Kernel   (column 2nd derivative of the smoothed rows)
//   dxy = sum d1Rows * d1Kernel      (column 1st derivative of the row 1st derivative)
// accumulated side by side in increasing k.
struct ColumnSums {
    float dxx;
    float dyy;
    float dxy;
};

inline ColumnSums columnSums(const unsigned char *gaussColumn, const signed char *d1Column,
                             const signed char *d2Column, size_t stride, const float *gaussKernel,
                             const float *d1Kernel, const float *d2Kernel, size_t taps)
{
    ColumnSums sums = {0.0f, 0.0f, 0.0f};
    for (size_t k = 0; k < taps; ++k) {
        const size_t offset = k * stride;
        sums.dxx = sums.dxx + (float)d2Column[offset] * gaussKernel[k];
        sums.dyy = sums.dyy + (float)gaussColumn[offset] * d2Kernel[k];
        sums.dxy = sums.dxy + (float)d1Column[offset] * d1Kernel[k];
    }
    return sums;
}

// The response of that pixel.
inline float determinantPixel(const unsigned char *gaussColumn, const signed char *d1Column,
                              const signed char *d2Column, size_t stride, const float *gaussKernel,
                              const float *d1Kernel, const float *d2Kernel, size_t taps)
{
    const ColumnSums s = columnSums(gaussColumn, d1Column, d2Column, stride, gaussKernel, d1Kernel,
                                    d2Kernel, taps);
    return weightedDeterminant(s.dxx, s.dyy, s.dxy);
}

// a when a > b, otherwise b (so b when the two are unordered).
inline float maxOf(float a, float b)
{
    return a > b ? a : b;
}

// Whether centre[1] beats its eight neighbours (up, centre and down each
// point one column left of it) in the fixed pairing, and the threshold.
// A NaN centre never passes.
inline bool isLocalMaximum(const float *up, const float *centre, const float *down, float threshold)
{
    const float c = centre[1];
    const float m = maxOf(maxOf(maxOf(centre[0], centre[2]), maxOf(up[0], up[2])),
                          maxOf(maxOf(down[0], down[2]), maxOf(down[1], up[1])));
    return c > m && c > threshold;
}

#endif // PIXELARITHMETIC_H
