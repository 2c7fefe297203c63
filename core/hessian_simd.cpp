// The vector code of the row passes, the fused column pass and the maxima
// search, compiled once per instruction set by Highway.
//
// Vectors run across neighbouring pixels, never across the taps of one
// pixel: every lane accumulates its own sum tap by tap in increasing order,
// with a separate multiply and add (never a fused multiply-add), so each
// lane rounds exactly as the straightforward loops do. Pixels at the edges
// that do not fill a vector are either recomputed by an overlapping vector
// (same arithmetic, same value) or handed to the scalar code of
// pixelarithmetic.h.

#undef HWY_TARGET_INCLUDE
#define HWY_TARGET_INCLUDE "hessian_simd.cpp"

// Only instruction sets that the test machines can run are compiled, so that
// the equivalence tests cover every one: AVX-512 (for processors that have
// it), AVX2, SSE4 and the portable baseline. AVX3_DL adds nothing these
// loops use. Arrays of vectors rule out the variable-length sets.
#ifndef HWY_DISABLED_TARGETS
#define HWY_DISABLED_TARGETS \
    (HWY_AVX3_DL | HWY_SSSE3 | HWY_SVE | HWY_SVE2 | HWY_SVE_256 | HWY_SVE2_128 | HWY_RVV)
#endif

#include <hwy/foreach_target.h>  // must come before highway.h

#include <hwy/cache_control.h>
#include <hwy/highway.h>

#include "levelmaxima.h"
#include "pixelarithmetic.h"
#include "vectorkernels.h"

#include <algorithm>

// Small loops over the vectors of a block must become straight code so that
// the accumulators live in registers; the loop over taps must not, or they
// spill.
#ifndef HESSIAN_UNROLL
#if defined(__clang__)
#define HESSIAN_UNROLL _Pragma("unroll")
#define HESSIAN_NO_UNROLL _Pragma("nounroll")
#elif defined(__GNUC__)
#define HESSIAN_UNROLL _Pragma("GCC unroll 16")
#define HESSIAN_NO_UNROLL _Pragma("GCC unroll 1")
#else
#define HESSIAN_UNROLL
#define HESSIAN_NO_UNROLL
#endif
#endif

HWY_BEFORE_NAMESPACE();
namespace hessianvector {
namespace HWY_NAMESPACE {

namespace hn = hwy::HWY_NAMESPACE;

using DF = hn::ScalableTag<float>;
using VF = hn::Vec<DF>;

// Block sizes, chosen so that everything a block keeps fits the registers:
// 32 with AVX-512, 16 with SSE4 and AVX2 (measured; more spills and loses).
//
// Row pass: 3 kernels x V output vectors accumulate, beside three broadcast
// taps, one sample and one product.
// Column pass, one image at a time: R output rows x V vectors accumulate,
// beside V samples (each used by all R rows), one tap and one product.
#if HWY_TARGET == HWY_AVX3
constexpr size_t kRowVectors = 6;
constexpr size_t kColumnRows = 5;
constexpr size_t kColumnVectors = 5;
#else
constexpr size_t kRowVectors = 3;
constexpr size_t kColumnRows = 3;
constexpr size_t kColumnVectors = 3;
#endif
// Output rows whose input rows are converted to floats at a time: whole
// blocks of rows.
constexpr uint32_t kTileRows = 192 / kColumnRows * kColumnRows;
// How far ahead, in bytes of a row, the conversion prefetches.
constexpr size_t kPrefetchAhead = 256;

// Float to int32, truncated toward zero. Highway's ConvertTo also fixes up
// values beyond int32, which no row-pass sum comes near; on x86 the bare
// instruction is a quarter of the work.
HWY_INLINE hn::Vec<hn::RebindToSigned<DF>> TruncateToInt(VF v)
{
#if HWY_TARGET == HWY_AVX3
    return hn::Vec<hn::RebindToSigned<DF>>{_mm512_cvttps_epi32(v.raw)};
#elif HWY_TARGET == HWY_AVX2
    return hn::Vec<hn::RebindToSigned<DF>>{_mm256_cvttps_epi32(v.raw)};
#elif HWY_TARGET == HWY_SSE4
    return hn::Vec<hn::RebindToSigned<DF>>{_mm_cvttps_epi32(v.raw)};
#else
    return hn::ConvertTo(hn::RebindToSigned<DF>(), v);
#endif
}

// The row pass's bytes: each sum truncated toward zero, its low eight bits.
// The kernel normalisation keeps the Gaussian sums in 0..255 and the
// derivative sums in -127..127, so narrowing with saturation, as unsigned
// or as signed bytes, keeps exactly those bits.
HWY_INLINE void StoreUnsignedBytes(VF acc, unsigned char *out)
{
    const hn::Rebind<uint8_t, DF> du8;
    hn::StoreU(hn::DemoteTo(du8, TruncateToInt(acc)), du8, out);
}

HWY_INLINE void StoreSignedBytes(VF acc, signed char *out)
{
    const hn::Rebind<int8_t, DF> di8;
    hn::StoreU(hn::DemoteTo(di8, TruncateToInt(acc)), di8, reinterpret_cast<int8_t *>(out));
}

// Vectors of samples as floats: bytes read as unsigned or as signed.
HWY_INLINE VF LoadAsFloat(DF d, const unsigned char *p)
{
    const hn::Rebind<uint8_t, DF> du8;
    return hn::ConvertTo(d, hn::PromoteTo(hn::RebindToSigned<DF>(), hn::LoadU(du8, p)));
}

HWY_INLINE VF LoadAsFloat(DF d, const signed char *p)
{
    const hn::Rebind<int8_t, DF> di8;
    const int8_t *bytes = reinterpret_cast<const int8_t *>(p);
    return hn::ConvertTo(d, hn::PromoteTo(hn::RebindToSigned<DF>(), hn::LoadU(di8, bytes)));
}

// Keeps a loaded vector in a register where the compiler would rather fold
// the load into every multiply that uses it: on x86 that doubles the loads,
// and they, not the multiplies, would set the pace.
HWY_INLINE void KeepInRegister(VF &v)
{
#if (HWY_TARGET == HWY_AVX3 || HWY_TARGET == HWY_AVX2 || HWY_TARGET == HWY_SSE4) \
    && (defined(__GNUC__) || defined(__clang__))
    asm("" : "+v"(v.raw));
#else
    (void)v;
#endif
}

// ---------------------------------------------------------------------------
// Row passes

// The three kernels with every tap spread over a whole vector, so that a
// tap is one plain load.
struct VectorKernelTaps {
    const float *gauss;
    const float *d1;
    const float *d2;
};

size_t VectorKernelFloats(DF d, size_t taps)
{
    return 3 * taps * hn::Lanes(d);
}

VectorKernelTaps SpreadKernels(DF d, const HessianDetector *det, size_t taps, float *room)
{
    const size_t N = hn::Lanes(d);
    const float *kernels[3] = {det->gaussKernel, det->d1Kernel, det->d2Kernel};
    float *spread[3];
    for (int i = 0; i < 3; ++i) {
        spread[i] = room + i * taps * N;
        for (size_t k = 0; k < taps; ++k)
            hn::StoreU(hn::Set(d, kernels[i][k]), d, spread[i] + k * N);
    }
    return VectorKernelTaps{spread[0], spread[1], spread[2]};
}

// V consecutive output vectors of all three row passes. `samples` is the
// float row at x - r; `rowOffset` is the index of pixel (x, y) in the byte
// images.
template <size_t V>
HWY_INLINE void RowBlock(DF d, const float *samples, const HessianDetector *det, const VectorKernelTaps &kernels,
                         size_t taps, size_t rowOffset)
{
    const size_t N = hn::Lanes(d);
    VF gauss[V], d1[V], d2[V];
    HESSIAN_UNROLL
    for (size_t v = 0; v < V; ++v) {
        gauss[v] = hn::Zero(d);
        d1[v] = hn::Zero(d);
        d2[v] = hn::Zero(d);
    }
    HESSIAN_NO_UNROLL
    for (size_t k = 0; k < taps; ++k) {
        const VF kg = hn::Load(d, kernels.gauss + k * N);
        const VF k1 = hn::Load(d, kernels.d1 + k * N);
        const VF k2 = hn::Load(d, kernels.d2 + k * N);
        HESSIAN_UNROLL
        for (size_t v = 0; v < V; ++v) {
            VF s = hn::LoadU(d, samples + k + v * N);
            KeepInRegister(s);
            gauss[v] = hn::Add(gauss[v], hn::Mul(s, kg));
            d1[v] = hn::Add(d1[v], hn::Mul(s, k1));
            d2[v] = hn::Add(d2[v], hn::Mul(s, k2));
        }
    }
    HESSIAN_UNROLL
    for (size_t v = 0; v < V; ++v) {
        StoreUnsignedBytes(gauss[v], det->gaussRows + rowOffset + v * N);
        StoreSignedBytes(d1[v], det->d1Rows + rowOffset + v * N);
        StoreSignedBytes(d2[v], det->d2Rows + rowOffset + v * N);
    }
}

int RowPasses(const HessianDetector *det, const unsigned char *grey, uint32_t firstRow,
              uint32_t endRow, float *samples)
{
    const DF d;
    const size_t N = hn::Lanes(d);
    const size_t width = det->width;
    const size_t radius = det->radius;
    const size_t taps = 2 * radius + 1;
    const size_t end = width - radius;  // first column not written

    // The taps spread over whole vectors behind the row of samples: a plain
    // load each, where a broadcast would compete with the arithmetic.
    const VectorKernelTaps kernels = SpreadKernels(d, det, taps, samples + ((width + 15) & ~size_t(15)));

    // Each source row is converted to floats once, into `samples`, shared by
    // all taps and all three kernels.
    for (size_t y = firstRow; y < endRow; ++y) {
        const unsigned char *src = grey + y * width;
        const size_t row = y * width;
        size_t i = 0;
        for (; i + N <= width; i += N)
            hn::StoreU(LoadAsFloat(d, src + i), d, samples + i);
        for (; i < width; ++i)
            samples[i] = (float)src[i];

        size_t x = radius;
        for (; x + kRowVectors * N <= end; x += kRowVectors * N)
            RowBlock<kRowVectors>(d, samples + x - radius, det, kernels, taps, row + x);
        for (; x + N <= end; x += N)
            RowBlock<1>(d, samples + x - radius, det, kernels, taps, row + x);
        if (x < end) {
            if (end - radius >= N) {
                // One more vector ending at the last column, recomputing a
                // few pixels with identical results.
                x = end - N;
                RowBlock<1>(d, samples + x - radius, det, kernels, taps, row + x);
            } else {
                for (; x < end; ++x) {
                    const unsigned char *window = src + x - radius;
                    det->gaussRows[row + x] = rowPassPixel(window, det->gaussKernel, taps);
                    det->d1Rows[row + x] = (signed char)rowPassPixel(window, det->d1Kernel, taps);
                    det->d2Rows[row + x] = (signed char)rowPassPixel(window, det->d2Kernel, taps);
                }
            }
        }
    }
    return HESSIAN_OK;
}

// ---------------------------------------------------------------------------
// Column pass

// Adds input row `row` to the outputs j in [firstOutput, lastOutput) of a
// block, output j with tap i - j (`tap` points at tap i).
template <size_t R, size_t V>
HWY_INLINE void AddInputRow(DF d, const float *row, const float *tap, size_t firstOutput,
                            size_t lastOutput, VF acc[R][V])
{
    const size_t N = hn::Lanes(d);
    VF s[V];
    HESSIAN_UNROLL
    for (size_t v = 0; v < V; ++v) {
        s[v] = hn::LoadU(d, row + v * N);
        KeepInRegister(s[v]);
    }
    HESSIAN_UNROLL
    for (size_t j = 0; j < R; ++j) {
        if (j < firstOutput || j >= lastOutput)
            continue;
        const VF k = hn::LoadU(d, tap - j * N);
        HESSIAN_UNROLL
        for (size_t v = 0; v < V; ++v)
            acc[j][v] = hn::Add(acc[j][v], hn::Mul(s[v], k));
    }
}

// Sums of R output rows x V vectors of one image down its float strip.
// `strip` points at the first input row of the first output row (row y - r),
// rows `stride` floats apart. Input row i feeds output row j with tap i - j,
// so walking the input rows in order feeds every output its taps in
// increasing order; the first and last R - 1 input rows feed only some of
// the outputs. `kernel` holds the taps spread over whole vectors.
// Kept out of line: inlined into its caller, it competes for registers
// with the code around it and loses.
template <size_t R, size_t V>
HWY_NOINLINE void ColumnSums(DF d, const float *strip, size_t stride, const float *kernel,
                             size_t taps, VF out[R][V])
{
    const size_t N = hn::Lanes(d);
    VF acc[R][V];
    HESSIAN_UNROLL
    for (size_t j = 0; j < R; ++j)
        HESSIAN_UNROLL
        for (size_t v = 0; v < V; ++v)
            acc[j][v] = hn::Zero(d);

    // Needs taps >= R - 1.
    HESSIAN_UNROLL
    for (size_t i = 0; i + 1 < R; ++i)
        AddInputRow<R, V>(d, strip + i * stride, kernel + i * N, 0, i + 1, acc);
    // Unrolled, this loop would need more registers than there are and
    // spill accumulators into a chain through memory.
    HESSIAN_NO_UNROLL
    for (size_t i = R - 1; i < taps; ++i)
        AddInputRow<R, V>(d, strip + i * stride, kernel + i * N, 0, R, acc);
    HESSIAN_UNROLL
    for (size_t t = 0; t + 1 < R; ++t)
        AddInputRow<R, V>(d, strip + (taps + t) * stride, kernel + (taps + t) * N, t + 1, R, acc);

    HESSIAN_UNROLL
    for (size_t j = 0; j < R; ++j)
        HESSIAN_UNROLL
        for (size_t v = 0; v < V; ++v)
            out[j][v] = acc[j][v];
}

// R output rows x V vectors of the response, from the float strips of the
// three images (each `stride` floats a row, starting at row y - r).
template <size_t R, size_t V>
HWY_INLINE void DeterminantBlock(DF d, const float *gaussStrip, const float *d1Strip,
                                 const float *d2Strip, size_t stride, const VectorKernelTaps &kernels,
                                 size_t taps, float *response, size_t width)
{
    const size_t N = hn::Lanes(d);
    VF dxx[R][V], dyy[R][V], dxy[R][V];
    ColumnSums<R, V>(d, d2Strip, stride, kernels.gauss, taps, dxx);
    ColumnSums<R, V>(d, gaussStrip, stride, kernels.d2, taps, dyy);
    ColumnSums<R, V>(d, d1Strip, stride, kernels.d1, taps, dxy);
    const VF wDxxDyy = hn::Set(d, kDxxDyyWeight);
    const VF wDxy = hn::Set(d, kDxyWeight);
    for (size_t j = 0; j < R; ++j) {
        for (size_t v = 0; v < V; ++v) {
            const VF value = hn::Sub(hn::Mul(hn::Mul(dxx[j][v], wDxxDyy), dyy[j][v]),
                                     hn::Mul(hn::Mul(dxy[j][v], wDxy), dxy[j][v]));
            hn::StoreU(value, d, response + j * width + v * N);
        }
    }
}

// Output rows [firstRow, endRow) of the V * N columns from x, through float
// strips of the three images in `scratch`.
template <size_t V>
HWY_INLINE void ColumnBlock(DF d, const HessianDetector *det, const VectorKernelTaps &kernels,
                            size_t x, uint32_t firstRow, uint32_t endRow, float *scratch)
{
    const size_t N = hn::Lanes(d);
    const size_t stride = V * N;
    const size_t width = det->width;
    const size_t radius = det->radius;
    const size_t taps = 2 * radius + 1;
    const size_t inputRows = (endRow - firstRow) + 2 * radius;
    float *gaussStrip = scratch;
    float *d1Strip = gaussStrip + inputRows * stride;
    float *d2Strip = d1Strip + inputRows * stride;

    // Every input row converted once, then read by 2r + 1 outputs. Rows are
    // converted just before the first block that reads them, so that the
    // rows a block reads are the ones most recently written and still in
    // the nearest cache. The byte rows are far apart, too far for the
    // processor to fetch them ahead by itself: ask for the part that a
    // block a few steps on will read.
    const size_t top = (size_t)(firstRow - radius) * width + x;
    const size_t ahead = std::min(kPrefetchAhead, width - x);
    size_t converted = 0;
    const auto convertRowsBefore = [&](size_t rows) {
        for (; converted < rows; ++converted) {
            const size_t at = top + converted * width;
            const size_t i = converted * stride;
            hwy::Prefetch(det->gaussRows + at + ahead);
            hwy::Prefetch(det->d1Rows + at + ahead);
            hwy::Prefetch(det->d2Rows + at + ahead);
            for (size_t v = 0; v < V; ++v) {
                hn::StoreU(LoadAsFloat(d, det->gaussRows + at + v * N), d, gaussStrip + i + v * N);
                hn::StoreU(LoadAsFloat(d, det->d1Rows + at + v * N), d, d1Strip + i + v * N);
                hn::StoreU(LoadAsFloat(d, det->d2Rows + at + v * N), d, d2Strip + i + v * N);
            }
        }
    };

    // Blocks of rows need at least as many taps as rows less one; only
    // radius 1 has fewer, and goes row by row.
    size_t y = firstRow;
    for (; y + kColumnRows <= endRow && taps + 1 >= kColumnRows; y += kColumnRows) {
        convertRowsBefore(y - firstRow + kColumnRows - 1 + taps);
        // The next block's response lines, fetched while this block computes,
        // so that its stores do not wait for them.
        if (y + 2 * kColumnRows <= endRow) {
            float *next = det->response + (y + kColumnRows) * width + x;
            for (size_t j = 0; j < kColumnRows; ++j)
                for (size_t b = 0; b <= stride * sizeof(float); b += 64)
                    hwy::Prefetch(reinterpret_cast<const char *>(next + j * width) + b);
        }
        const size_t i = (y - firstRow) * stride;
        DeterminantBlock<kColumnRows, V>(d, gaussStrip + i, d1Strip + i, d2Strip + i, stride,
                                         kernels, taps, det->response + y * width + x, width);
    }
    convertRowsBefore(inputRows);
    for (; y < endRow; ++y) {
        const size_t i = (y - firstRow) * stride;
        DeterminantBlock<1, V>(d, gaussStrip + i, d1Strip + i, d2Strip + i, stride, kernels,
                               taps, det->response + y * width + x, width);
    }
}

int ColumnPass(const HessianDetector *det, uint32_t firstRow, uint32_t endRow, float *scratch)
{
    const DF d;
    const size_t N = hn::Lanes(d);
    const size_t width = det->width;
    const size_t radius = det->radius;
    const size_t end = width - radius;  // first column not written
    const size_t valid = end - radius;
    const size_t taps = 2 * radius + 1;

    if (valid < N) {
        // Too narrow for one vector: the scalar arithmetic, pixel by pixel.
        for (size_t y = firstRow; y < endRow; ++y) {
            const size_t top = (y - radius) * width;
            for (size_t x = radius; x < end; ++x)
                det->response[y * width + x] = determinantPixel(
                    det->gaussRows + top + x, det->d1Rows + top + x, det->d2Rows + top + x, width,
                    det->gaussKernel, det->d1Kernel, det->d2Kernel, taps);
        }
        return HESSIAN_OK;
    }

    const size_t tileInputRows = std::min<size_t>(kTileRows, endRow - firstRow) + 2 * radius;
    const size_t stripFloats = 3 * tileInputRows * kColumnVectors * N;
    const VectorKernelTaps kernels = SpreadKernels(d, det, taps, scratch + stripFloats);

    for (uint32_t tile = firstRow; tile < endRow; tile += std::min(kTileRows, endRow - tile)) {
        const uint32_t tileEnd = tile + std::min(kTileRows, endRow - tile);
        // Blocks of V * N columns; the last block of each width is moved back
        // to end at the last column, recomputing a few identical values.
        size_t x = radius;
        if (valid >= kColumnVectors * N) {
            for (; x < end; x += kColumnVectors * N)
                ColumnBlock<kColumnVectors>(d, det, kernels, std::min(x, end - kColumnVectors * N),
                                            tile, tileEnd, scratch);
        } else {
            for (; x < end; x += N)
                ColumnBlock<1>(d, det, kernels, std::min(x, end - N), tile, tileEnd, scratch);
        }
    }
    return HESSIAN_OK;
}

// The strips of a whole tile and the spread kernels for the column pass, or
// one row of samples for the row passes, whichever is larger. The scratch is
// aligned to whole vectors, so that no load of a strip or a tap straddles
// two cache lines: that alone costs a tenth of the column pass.
size_t ScratchFloats(uint32_t width, uint32_t height, uint32_t radius)
{
    const DF d;
    const size_t taps = 2 * (size_t)radius + 1;
    const size_t inputRows = std::min<size_t>((size_t)kTileRows + 2 * (size_t)radius, height);
    const size_t column = 3 * inputRows * kColumnVectors * hn::Lanes(d) + VectorKernelFloats(d, taps);
    const size_t row = ((width + 15) & ~size_t(15)) + VectorKernelFloats(d, taps);
    return (std::max<size_t>(row, column) + 15) & ~size_t(15);
}

// ---------------------------------------------------------------------------
// Maxima search

// a when a > b, otherwise b: the scalar maxOf lane by lane, NaN included.
HWY_INLINE VF MaxOf(VF a, VF b)
{
    return hn::IfThenElse(hn::Gt(a, b), a, b);
}

// The pixels of rows firstRow <= y < endRow, columns margin <= x < width -
// margin, that pass `Test` (its vector form on whole vectors, its scalar
// form on the rest), appended in row-major order. Both forms are plain
// comparisons, so they find the same pixels.
template <class Test>
void MaximaRowsWith(const float *response, uint32_t width, uint32_t firstRow, uint32_t endRow,
                    uint32_t margin, float threshold, QVector<Feature> &features)
{
    const DF d;
    const size_t N = hn::Lanes(d);
    const size_t end = width - margin;  // first column not examined
    const VF limit = hn::Set(d, threshold);
    uint8_t bits[8] = {};  // enough for 64 lanes

    for (size_t y = firstRow; y < endRow; ++y) {
        const float *centre = response + y * width;
        const float *up = centre - width;
        const float *down = centre + width;
        size_t x = margin;
        for (; x + N <= end; x += N) {
            // The threshold goes first because most of a picture lies below
            // it, and then the neighbours need no look.
            const VF c = hn::LoadU(d, centre + x);
            const auto aboveThreshold = hn::Gt(c, limit);
            if (hn::AllFalse(d, aboveThreshold))
                continue;
            const auto found = hn::And(Test::beatsNeighbours(d, c, up + x, centre + x, down + x), aboveThreshold);
            if (hn::AllFalse(d, found))
                continue;
            hn::StoreMaskBits(d, found, bits);
            for (size_t lane = 0; lane < N; ++lane)
                if (bits[lane / 8] & (1u << (lane % 8)))
                    features.append(Feature{(float)(x + lane), (float)y});
        }
        for (; x < end; ++x)
            if (Test::passes(up + x, centre + x, down + x, width, threshold))
                features.append(Feature{(float)x, (float)y});
    }
}

// The single-scale search: strictly greater than the neighbourhood maximum
// in the fixed pairing (isLocalMaximum).
struct StrictMaximum {
    static HWY_INLINE auto beatsNeighbours(DF d, VF c, const float *up, const float *centre, const float *down)
    {
        const VF m = MaxOf(MaxOf(MaxOf(hn::LoadU(d, centre - 1), hn::LoadU(d, centre + 1)),
                                 MaxOf(hn::LoadU(d, up - 1), hn::LoadU(d, up + 1))),
                           MaxOf(MaxOf(hn::LoadU(d, down - 1), hn::LoadU(d, down + 1)),
                                 MaxOf(hn::LoadU(d, down), hn::LoadU(d, up))));
        return hn::Gt(c, m);
    }
    static bool passes(const float *up, const float *centre, const float *down, size_t, float threshold)
    {
        return isLocalMaximum(up - 1, centre - 1, down - 1, threshold);
    }
};

// A scale-space level's search: a tie goes to the first pixel in row-major
// order (isFirstOfEqualMaxima).
struct FirstOfEqualMaxima {
    static HWY_INLINE auto beatsNeighbours(DF d, VF c, const float *up, const float *centre, const float *down)
    {
        const auto before = hn::And(hn::And(hn::Gt(c, hn::LoadU(d, up - 1)), hn::Gt(c, hn::LoadU(d, up))),
                                    hn::And(hn::Gt(c, hn::LoadU(d, up + 1)), hn::Gt(c, hn::LoadU(d, centre - 1))));
        const auto after = hn::And(hn::And(hn::Ge(c, hn::LoadU(d, centre + 1)), hn::Ge(c, hn::LoadU(d, down - 1))),
                                   hn::And(hn::Ge(c, hn::LoadU(d, down)), hn::Ge(c, hn::LoadU(d, down + 1))));
        return hn::And(before, after);
    }
    static bool passes(const float *, const float *centre, const float *, size_t stride, float threshold)
    {
        return isFirstOfEqualMaxima(centre, stride, threshold);
    }
};

void MaximaRows(const float *response, uint32_t width, uint32_t firstRow, uint32_t endRow,
                uint32_t margin, float threshold, QVector<Feature> &features)
{
    MaximaRowsWith<StrictMaximum>(response, width, firstRow, endRow, margin, threshold, features);
}

void LevelMaximaRows(const float *response, uint32_t width, uint32_t firstRow, uint32_t endRow,
                     uint32_t margin, float threshold, QVector<Feature> &features)
{
    MaximaRowsWith<FirstOfEqualMaxima>(response, width, firstRow, endRow, margin, threshold, features);
}

// ---------------------------------------------------------------------------
// Grey conversion

// Each lane does the scalar greyLevel's products and sums in its order.
void GreyRows(const uint32_t *pixels, size_t pixelsPerLine, uint32_t width, uint32_t firstRow,
              uint32_t endRow, unsigned char *grey)
{
    const DF d;
    const hn::RebindToSigned<DF> di;
    const hn::RebindToUnsigned<DF> du;
    const size_t N = hn::Lanes(d);
    const auto low = hn::Set(du, 0xFFu);
    const VF blue = hn::Set(d, kBlueWeight);
    const VF green = hn::Set(d, kGreenWeight);
    const VF red = hn::Set(d, kRedWeight);
    const auto channel = [&](hn::Vec<decltype(du)> bits) { return hn::ConvertTo(d, hn::BitCast(di, hn::And(bits, low))); };

    for (size_t y = firstRow; y < endRow; ++y) {
        const uint32_t *row = pixels + y * pixelsPerLine;
        unsigned char *out = grey + y * (size_t)width;
        size_t x = 0;
        for (; x + N <= width; x += N) {
            const auto p = hn::LoadU(du, row + x);
            const VF level = hn::Add(hn::Add(hn::Mul(channel(p), blue), hn::Mul(channel(hn::ShiftRight<8>(p)), green)),
                                     hn::Mul(channel(hn::ShiftRight<16>(p)), red));
            StoreUnsignedBytes(level, out + x);
        }
        for (; x < width; ++x)
            out[x] = greyLevel(row[x]);
    }
}

// ---------------------------------------------------------------------------
// Arithmetic rate

// Separate vector multiplies and adds (never fused), the detector's kind of
// work, in as many independent chains as it takes to keep every unit busy;
// returns how many multiply-add pairs of lanes that was.
double MulAddPairs(size_t rounds, float *sink)
{
    const DF d;
    constexpr size_t kChains = 12;
    VF products[kChains], sums[kChains];
    for (size_t c = 0; c < kChains; ++c) {
        products[c] = hn::Set(d, 1.0f + 0.001f * (float)c);
        sums[c] = hn::Set(d, (float)c);
    }
    const VF m = hn::Set(d, 0.999999f);
    const VF a = hn::Set(d, 1e-7f);
    for (size_t i = 0; i < rounds; ++i) {
        HESSIAN_UNROLL
        for (size_t c = 0; c < kChains; ++c) {
            products[c] = hn::Mul(products[c], m);
            sums[c] = hn::Add(sums[c], a);
        }
    }
    VF total = hn::Add(products[0], sums[0]);
    for (size_t c = 1; c < kChains; ++c)
        total = hn::Add(total, hn::Add(products[c], sums[c]));
    *sink = hn::GetLane(total);
    return (double)(kChains * hn::Lanes(d)) * (double)rounds;
}

// This instruction set's kernels, a constant table.
const VectorKernels kKernels = {HWY_TARGET, &ScratchFloats, &RowPasses, &ColumnPass, kColumnRows,
                                &MaximaRows, &LevelMaximaRows, &GreyRows, &MulAddPairs};

} // namespace HWY_NAMESPACE
} // namespace hessianvector
HWY_AFTER_NAMESPACE();

#if HWY_ONCE

namespace {

// Best first.
const VectorKernels *const kCompiled[] = {
#if HWY_TARGETS & HWY_AVX3
    &hessianvector::N_AVX3::kKernels,
#endif
#if HWY_TARGETS & HWY_AVX2
    &hessianvector::N_AVX2::kKernels,
#endif
#if HWY_TARGETS & HWY_SSE4
    &hessianvector::N_SSE4::kKernels,
#endif
#if HWY_TARGETS & HWY_NEON
    &hessianvector::N_NEON::kKernels,
#endif
#if HWY_TARGETS & HWY_WASM
    &hessianvector::N_WASM::kKernels,
#endif
#if HWY_TARGETS & HWY_EMU128
    &hessianvector::N_EMU128::kKernels,
#endif
#if HWY_TARGETS & HWY_SCALAR
    &hessianvector::N_SCALAR::kKernels,
#endif
};

} // namespace

size_t compiledVectorKernelCount()
{
    return sizeof kCompiled / sizeof kCompiled[0];
}

const VectorKernels &compiledVectorKernels(size_t index)
{
    return *kCompiled[index];
}

#endif // HWY_ONCE
