// The machine's arithmetic peak for the detector's kind of work: separate
// vector multiplies and adds in single precision (never fused), as many
// independent chains as it takes to keep every unit busy. Compiled once per
// instruction set, like the core's vector code.

#undef HWY_TARGET_INCLUDE
#define HWY_TARGET_INCLUDE "peak_simd.cpp"
#ifndef HWY_DISABLED_TARGETS
#define HWY_DISABLED_TARGETS \
    (HWY_AVX3_DL | HWY_SSSE3 | HWY_SVE | HWY_SVE2 | HWY_SVE_256 | HWY_SVE2_128 | HWY_RVV)
#endif
#include <hwy/foreach_target.h>  // must come before highway.h

#include <hwy/highway.h>

#include "peakarithmetic.h"

HWY_BEFORE_NAMESPACE();
namespace peakvector {
namespace HWY_NAMESPACE {

namespace hn = hwy::HWY_NAMESPACE;

// Multiply-add pairs done: chains of multiplies and chains of adds side by
// side, independent of each other, as many as keep every unit busy; a pair
// is one multiply and one add of a vector of lanes.
double MulAddPairs(size_t rounds, float *sink)
{
    const hn::ScalableTag<float> d;
    constexpr size_t kChains = 12;
    hn::Vec<decltype(d)> products[kChains], sums[kChains];
    for (size_t c = 0; c < kChains; ++c) {
        products[c] = hn::Set(d, 1.0f + 0.001f * (float)c);
        sums[c] = hn::Set(d, (float)c);
    }
    const auto m = hn::Set(d, 0.999999f);
    const auto a = hn::Set(d, 1e-7f);
    for (size_t i = 0; i < rounds; ++i) {
        HWY_UNROLL(12)
        for (size_t c = 0; c < kChains; ++c) {
            products[c] = hn::Mul(products[c], m);
            sums[c] = hn::Add(sums[c], a);
        }
    }
    auto total = hn::Add(products[0], sums[0]);
    for (size_t c = 1; c < kChains; ++c)
        total = hn::Add(total, hn::Add(products[c], sums[c]));
    *sink = hn::GetLane(total);
    return (double)(kChains * hn::Lanes(d)) * (double)rounds;
}

const PeakKernel kPeak = {HWY_TARGET, &MulAddPairs};

} // namespace HWY_NAMESPACE
} // namespace peakvector
HWY_AFTER_NAMESPACE();

#if HWY_ONCE

namespace {
const PeakKernel *const kPeaks[] = {
#if HWY_TARGETS & HWY_AVX3
    &peakvector::N_AVX3::kPeak,
#endif
#if HWY_TARGETS & HWY_AVX2
    &peakvector::N_AVX2::kPeak,
#endif
#if HWY_TARGETS & HWY_SSE4
    &peakvector::N_SSE4::kPeak,
#endif
#if HWY_TARGETS & HWY_NEON
    &peakvector::N_NEON::kPeak,
#endif
#if HWY_TARGETS & HWY_EMU128
    &peakvector::N_EMU128::kPeak,
#endif
#if HWY_TARGETS & HWY_SCALAR
    &peakvector::N_SCALAR::kPeak,
#endif
};
} // namespace

const PeakKernel *peakKernelFor(int64_t target)
{
    for (const PeakKernel *kernel : kPeaks)
        if (kernel->target == target)
            return kernel;
    return nullptr;
}

#endif // HWY_ONCE
