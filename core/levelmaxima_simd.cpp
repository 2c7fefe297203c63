// The vector code of the maxima search within a scale-space level, compiled
// once per instruction set by Highway; the run picks the instruction set the
// rest of the core uses (vectorTargets()). The threshold
// goes first: most of a picture lies below it, and then the neighbours need
// no look.

#undef HWY_TARGET_INCLUDE
#define HWY_TARGET_INCLUDE "levelmaxima_simd.cpp"

// The instruction sets of the detection core's own vector code.
#ifndef HWY_DISABLED_TARGETS
#define HWY_DISABLED_TARGETS \
    (HWY_AVX3_DL | HWY_SSSE3 | HWY_SVE | HWY_SVE2 | HWY_SVE_256 | HWY_SVE2_128 | HWY_RVV)
#endif

#include <hwy/foreach_target.h>  // must come before highway.h

#include <hwy/highway.h>

#include "levelmaxima.h"

HWY_BEFORE_NAMESPACE();
namespace levelmaxima {
namespace HWY_NAMESPACE {

namespace hn = hwy::HWY_NAMESPACE;

void LevelMaximaRows(const float *response, uint32_t width, uint32_t firstRow, uint32_t endRow,
                     uint32_t margin, float threshold, QVector<Feature> &features)
{
    const hn::ScalableTag<float> d;
    const size_t N = hn::Lanes(d);
    const size_t end = width - margin;
    const auto limit = hn::Set(d, threshold);
    uint8_t bits[8] = {};  // enough for 64 lanes

    for (size_t y = firstRow; y < endRow; ++y) {
        const float *centre = response + y * width;
        const float *up = centre - width;
        const float *down = centre + width;
        size_t x = margin;
        for (; x + N <= end; x += N) {
            const auto c = hn::LoadU(d, centre + x);
            const auto above = hn::Gt(c, limit);
            if (hn::AllFalse(d, above))
                continue;
            const auto before = hn::And(hn::And(hn::Gt(c, hn::LoadU(d, up + x - 1)), hn::Gt(c, hn::LoadU(d, up + x))),
                                        hn::And(hn::Gt(c, hn::LoadU(d, up + x + 1)), hn::Gt(c, hn::LoadU(d, centre + x - 1))));
            const auto after = hn::And(hn::And(hn::Ge(c, hn::LoadU(d, centre + x + 1)), hn::Ge(c, hn::LoadU(d, down + x - 1))),
                                       hn::And(hn::Ge(c, hn::LoadU(d, down + x)), hn::Ge(c, hn::LoadU(d, down + x + 1))));
            const auto found = hn::And(above, hn::And(before, after));
            if (hn::AllFalse(d, found))
                continue;
            hn::StoreMaskBits(d, found, bits);
            for (size_t lane = 0; lane < N; ++lane)
                if (bits[lane / 8] & (1u << (lane % 8)))
                    features.append(Feature{(float)(x + lane), (float)y});
        }
        for (; x < end; ++x)
            if (isFirstOfEqualMaxima(centre + x, width, threshold))
                features.append(Feature{(float)x, (float)y});
    }
}

} // namespace HWY_NAMESPACE
} // namespace levelmaxima
HWY_AFTER_NAMESPACE();

#if HWY_ONCE

namespace {

struct CompiledLevelMaxima {
    int64_t target;
    LevelMaximaRows rows;
};

const CompiledLevelMaxima kCompiled[] = {
#if HWY_TARGETS & HWY_AVX3
    {HWY_AVX3, &levelmaxima::N_AVX3::LevelMaximaRows},
#endif
#if HWY_TARGETS & HWY_AVX2
    {HWY_AVX2, &levelmaxima::N_AVX2::LevelMaximaRows},
#endif
#if HWY_TARGETS & HWY_SSE4
    {HWY_SSE4, &levelmaxima::N_SSE4::LevelMaximaRows},
#endif
#if HWY_TARGETS & HWY_NEON
    {HWY_NEON, &levelmaxima::N_NEON::LevelMaximaRows},
#endif
#if HWY_TARGETS & HWY_WASM
    {HWY_WASM, &levelmaxima::N_WASM::LevelMaximaRows},
#endif
#if HWY_TARGETS & HWY_EMU128
    {HWY_EMU128, &levelmaxima::N_EMU128::LevelMaximaRows},
#endif
#if HWY_TARGETS & HWY_SCALAR
    {HWY_SCALAR, &levelmaxima::N_SCALAR::LevelMaximaRows},
#endif
};

} // namespace

LevelMaximaRows levelMaximaRowsFor(int64_t target)
{
    for (const CompiledLevelMaxima &compiled : kCompiled)
        if (compiled.target == target)
            return compiled.rows;
    return nullptr;
}

#endif // HWY_ONCE
