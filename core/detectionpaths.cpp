// Which implementation runs: the dispatch behind computeHessianResponse and
// findLocalMaxima, and the split of the vector path into bands of rows.

#include "detectionpaths.h"

#include "greyconversion.h"
#include "levelmaxima.h"
#include "parallelbands.h"
#include "pixelarithmetic.h"
#include "vectorscratch.h"

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>

#ifndef HESSIAN_FORCE_REFERENCE
#include "vectorkernels.h"

#include <hwy/targets.h>

#if defined(__x86_64__) || defined(__i386__)
#include <cpuid.h>
#endif
#endif

namespace {

#ifndef HESSIAN_FORCE_REFERENCE

// Below this many rows a band costs more to start than it saves.
const uint32_t kMinRowsPerBand = 16;
// Bands per thread for the response: enough that a thread the system starts
// late (waking an idle processor can take a millisecond or more) leaves its
// share to the others, few enough that each band's set-up stays small. The
// maxima search is short and gives each band a feature list to join, so it
// takes one band per thread.
const unsigned kResponseBandsPerThread = 4;
const unsigned kMaximaBandsPerThread = 1;

struct Split {
    unsigned threads;
    unsigned bands;
};

BandStop bandStop(const HessianRunConfig &config)
{
    return BandStop{config.cancel, HESSIAN_CANCELLED};
}

Split splitFor(const HessianRunConfig &config, uint32_t rows, unsigned bandsPerThread)
{
    const unsigned threads = config.threads ? config.threads : machineThreads();
    const uint64_t useful = rows / kMinRowsPerBand;
    const uint64_t wanted = (uint64_t)threads * (threads > 1 ? bandsPerThread : 1);
    const unsigned bands = (unsigned)(useful < 1 ? 1 : useful < wanted ? useful : wanted);
    return Split{threads < bands ? threads : bands, bands};
}

bool referenceForcedByEnvironment()
{
    const char *value = std::getenv("HESSIAN_FORCE_REFERENCE");
    return value && *value && std::strcmp(value, "0") != 0;
}

#if defined(__x86_64__) || defined(__i386__)

bool bitSet(uint32_t word, int bit)
{
    return (word >> bit) & 1u;
}

// The instruction sets this processor and its system run, asked of the
// processor itself. Highway's library can tell too, but loading it costs
// milliseconds (its start-up code measures the timer), more than a whole
// run on a small picture. Each set needs every feature that Highway's code
// for it may use, and the system must save the registers it uses.
int64_t detectTargets()
{
    unsigned a = 0, b = 0, c = 0, d = 0;
    if (!__get_cpuid(1, &a, &b, &c, &d))
        return 0;
    const bool sse4 = bitSet(c, 0) && bitSet(c, 9) && bitSet(c, 19) && bitSet(c, 20) && bitSet(c, 1)
                      && bitSet(c, 25);  // SSE3, SSSE3, SSE4.1, SSE4.2, CLMUL, AES
    const bool fmaF16c = bitSet(c, 12) && bitSet(c, 29);
    const bool avx = bitSet(c, 28);
    const bool osSaves = bitSet(c, 27);
    unsigned xcr0 = 0;
    if (osSaves) {
        unsigned high = 0;
        __asm__ volatile(".byte 0x0f, 0x01, 0xd0" : "=a"(xcr0), "=d"(high) : "c"(0));
    }
    const bool ymmSaved = osSaves && (xcr0 & 0x6u) == 0x6u;
    const bool zmmSaved = ymmSaved && (xcr0 & 0xE0u) == 0xE0u;

    bool lzcnt = false;
    if (__get_cpuid(0x80000001u, &a, &b, &c, &d))
        lzcnt = bitSet(c, 5);
    bool avx2Group = false, avx512Group = false;
    if (__get_cpuid_max(0, nullptr) >= 7) {
        __cpuid_count(7, 0, a, b, c, d);
        avx2Group = bitSet(b, 5) && bitSet(b, 3) && bitSet(b, 8);  // AVX2, BMI, BMI2
        avx512Group = bitSet(b, 16) && bitSet(b, 17) && bitSet(b, 28) && bitSet(b, 30)
                      && bitSet(b, 31);  // F, DQ, CD, BW, VL
    }

    int64_t targets = 0;
    if (sse4)
        targets |= HWY_SSE4;
    const bool avx2 = sse4 && avx && avx2Group && fmaF16c && lzcnt && ymmSaved;
    if (avx2)
        targets |= HWY_AVX2;
    if (avx2 && avx512Group && zmmSaved)
        targets |= HWY_AVX3;
    return targets;
}

#else

// Elsewhere the code compiled for the build's own baseline runs.
int64_t detectTargets()
{
    return HWY_ENABLED_BASELINE;
}

#endif

// Whether this processor runs the target. The portable fallbacks run
// everywhere.
bool runsHere(int64_t target)
{
    static const int64_t supported = detectTargets();
    return (target & (HWY_EMU128 | HWY_SCALAR)) || (target & supported);
}

// The best compiled kernels this processor runs; the list is best first
// and ends with a portable fallback.
const VectorKernels *bestKernels()
{
    for (size_t i = 0; i < compiledVectorKernelCount(); ++i)
        if (runsHere(compiledVectorKernels(i).target))
            return &compiledVectorKernels(i);
    return nullptr;
}

// The kernels for the run, or null when the target asked for is not here.
const VectorKernels *kernelsFor(int64_t target)
{
    if (target == 0) {
        static const VectorKernels *const best = bestKernels();
        return best;
    }
    for (size_t i = 0; i < compiledVectorKernelCount(); ++i) {
        const VectorKernels &kernels = compiledVectorKernels(i);
        if (kernels.target == target && runsHere(kernels.target))
            return &kernels;
    }
    return nullptr;
}

// One slice of scratch per thread of a run. The vector kernels allocate
// nothing: memory fresh from the system costs a page fault per page in the
// middle of the run, and memory freed at its end is often handed back, to
// be faulted in again by the next run. So set-up keeps room for one slice per
// hardware thread behind the response map, mapped with it, and a run only
// allocates when it is asked for more threads than that.
struct ThreadScratch {
    ThreadScratch(const HessianDetector &detector, unsigned threads)
        : slice(scratchSliceFloats(detector.width, detector.height, detector.radius))
    {
        if (threads <= machineThreads()) {
            const uintptr_t end = reinterpret_cast<uintptr_t>(detector.response + (size_t)detector.width * detector.height);
            base = reinterpret_cast<float *>((end + kScratchAlignment - 1) & ~(uintptr_t)(kScratchAlignment - 1));
        } else if (slice <= SIZE_MAX / sizeof(float) / threads) {
            owned = static_cast<float *>(std::aligned_alloc(kScratchAlignment, threads * slice * sizeof(float)));
            base = owned;
        }
    }
    ~ThreadScratch() { std::free(owned); }
    ThreadScratch(const ThreadScratch &) = delete;
    ThreadScratch &operator=(const ThreadScratch &) = delete;

    float *of(unsigned worker) const { return base + (size_t)worker * slice; }

    size_t slice;
    float *base = nullptr;
    float *owned = nullptr;
};

#endif

} // namespace

HessianRunConfig defaultRunConfig()
{
    HessianRunConfig config;
#ifdef HESSIAN_FORCE_REFERENCE
    config.path = HESSIAN_PATH_REFERENCE;
#else
    config.path = referenceForcedByEnvironment() ? HESSIAN_PATH_REFERENCE : HESSIAN_PATH_VECTOR;
#endif
    config.threads = 0;
    config.target = 0;
    config.cancel = nullptr;
    return config;
}

std::vector<VectorTarget> vectorTargets()
{
    std::vector<VectorTarget> targets;
#ifndef HESSIAN_FORCE_REFERENCE
    for (size_t i = 0; i < compiledVectorKernelCount(); ++i) {
        const int64_t target = compiledVectorKernels(i).target;
        if (runsHere(target))
            targets.push_back(VectorTarget{target, hwy::TargetName(target)});
    }
#endif
    return targets;
}

int computeHessianResponse(HessianDetector *detector, const unsigned char *grey)
{
    return computeHessianResponseWith(detector, grey, defaultRunConfig());
}

int findLocalMaxima(const float *response, uint32_t width, uint32_t height, float threshold,
                    uint32_t radius, QVector<Feature> &features)
{
    return findLocalMaximaWith(response, width, height, threshold, radius, features,
                               defaultRunConfig());
}

namespace {

// A search of rows firstRow <= y < endRow, columns margin <= x < width -
// margin of a response map, appending what it finds in row-major order.
using MaximaRows = void (*)(const float *response, uint32_t width, uint32_t firstRow, uint32_t endRow,
                            uint32_t margin, float threshold, QVector<Feature> &features);

// That search over the pixels at least radius + 1 from every border of a
// width x height map (features emptied first): one pass on the reference
// path, else bands of rows on the run's threads, each collecting its own
// features; joined in band order they are in row-major order, as one pass
// would give them.
int maximaInBands(MaximaRows rows, const float *response, uint32_t width, uint32_t height, uint32_t radius,
                  float threshold, const HessianRunConfig &config, QVector<Feature> &features)
{
    features = QVector<Feature>();
    const uint64_t margin = (uint64_t)radius + 1;
    if ((uint64_t)width <= 2 * margin || (uint64_t)height <= 2 * margin)
        return HESSIAN_OK;
    const uint32_t first = (uint32_t)margin;
    const uint32_t end = height - first;
    try {
#ifndef HESSIAN_FORCE_REFERENCE
        if (config.path != HESSIAN_PATH_REFERENCE) {
            const Split split = splitFor(config, end - first, kMaximaBandsPerThread);
            const unsigned bands = split.bands;
            std::vector<QVector<Feature>> found(bands);
            const int status = runInBands(split.threads, bands, first, end, [&](unsigned, unsigned band, uint32_t from, uint32_t to) {
                try {
                    rows(response, width, from, to, first, threshold, found[band]);
                } catch (const std::bad_alloc &) {
                    return (int)HESSIAN_NO_MEMORY;
                }
                return (int)HESSIAN_OK;
            }, bandStop(config));
            if (status != HESSIAN_OK)
                return status;
            if (bands == 1) {
                features.swap(found[0]);
            } else {
                int total = 0;
                for (const QVector<Feature> &part : found)
                    total += part.size();
                features.reserve(total);
                for (const QVector<Feature> &part : found)
                    features += part;
            }
            return HESSIAN_OK;
        }
#else
        (void)config;
#endif
        rows(response, width, first, end, first, threshold, features);
    } catch (const std::bad_alloc &) {
        features = QVector<Feature>();
        return HESSIAN_NO_MEMORY;
    }
    return HESSIAN_OK;
}

} // namespace

int convertRgb32ToGrey(const uint32_t *pixels, size_t pixelsPerLine, uint32_t width,
                       uint32_t height, unsigned char *grey)
{
    return convertRgb32ToGreyWith(pixels, pixelsPerLine, width, height, grey, defaultRunConfig());
}

int convertRgb32ToGreyReference(const uint32_t *pixels, size_t pixelsPerLine, uint32_t width,
                                uint32_t height, unsigned char *grey)
{
    for (uint32_t y = 0; y < height; ++y) {
        const uint32_t *row = pixels + (size_t)y * pixelsPerLine;
        unsigned char *out = grey + (size_t)y * width;
        for (uint32_t x = 0; x < width; ++x)
            out[x] = greyLevel(row[x]);
    }
    return HESSIAN_OK;
}

#ifdef HESSIAN_FORCE_REFERENCE

int convertRgb32ToGreyWith(const uint32_t *pixels, size_t pixelsPerLine, uint32_t width,
                           uint32_t height, unsigned char *grey, const HessianRunConfig &config)
{
    if (runCancelled(config))
        return HESSIAN_CANCELLED;
    if (config.path == HESSIAN_PATH_VECTOR && config.target != 0)
        return HESSIAN_BAD_TARGET;
    return convertRgb32ToGreyReference(pixels, pixelsPerLine, width, height, grey);
}

int computeHessianResponseWith(HessianDetector *detector, const unsigned char *grey,
                               const HessianRunConfig &config)
{
    if (runCancelled(config))
        return HESSIAN_CANCELLED;
    if (config.path == HESSIAN_PATH_VECTOR && config.target != 0)
        return HESSIAN_BAD_TARGET;
    return computeHessianResponseReference(detector, grey);
}

int findLocalMaximaWith(const float *response, uint32_t width, uint32_t height, float threshold,
                        uint32_t radius, QVector<Feature> &features, const HessianRunConfig &config)
{
    if (runCancelled(config))
        return HESSIAN_CANCELLED;
    if (config.path == HESSIAN_PATH_VECTOR && config.target != 0)
        return HESSIAN_BAD_TARGET;
    return findLocalMaximaReference(response, width, height, threshold, radius, features);
}

int findLevelMaximaWith(const float *response, uint32_t width, uint32_t height, float threshold,
                        uint32_t radius, QVector<Feature> &features, const HessianRunConfig &config)
{
    if (runCancelled(config))
        return HESSIAN_CANCELLED;
    if (config.path == HESSIAN_PATH_VECTOR && config.target != 0)
        return HESSIAN_BAD_TARGET;
    return maximaInBands(levelMaximaRowsReference, response, width, height, radius, threshold, config, features);
}

#else

// All row passes first, then, once every band has finished its rows, the
// column pass: a band's outputs need the row results of r rows above and
// below it, which belong to its neighbours.
int computeHessianResponseWith(HessianDetector *detector, const unsigned char *grey,
                               const HessianRunConfig &config)
{
    if (runCancelled(config))
        return HESSIAN_CANCELLED;
    if (config.path == HESSIAN_PATH_REFERENCE)
        return computeHessianResponseReference(detector, grey);
    if (detector->radius == 0)
        return HESSIAN_BAD_SIGMA;
    const VectorKernels *kernels = kernelsFor(config.target);
    if (!kernels)
        return HESSIAN_BAD_TARGET;

    const uint32_t width = detector->width;
    const uint32_t height = detector->height;
    const uint32_t radius = detector->radius;
    if ((uint64_t)width <= 2 * (uint64_t)radius)
        return HESSIAN_OK;

    try {
        const Split split = splitFor(config, height, kResponseBandsPerThread);
        const ThreadScratch scratch(*detector, split.threads);
        if (!scratch.base)
            return HESSIAN_NO_MEMORY;
        const auto rowPasses = [&](unsigned worker, unsigned, uint32_t first, uint32_t last) {
            return kernels->rowPasses(detector, grey, first, last, scratch.of(worker));
        };
        const auto columnPass = [&](unsigned worker, unsigned, uint32_t first, uint32_t last) {
            return kernels->columnPass(detector, first, last, scratch.of(worker));
        };
        std::vector<BandPhase> phases{BandPhase{0, height, rowPasses}};
        if ((uint64_t)height > 2 * (uint64_t)radius)
            phases.push_back(BandPhase{radius, height - radius, columnPass, kernels->columnRows});
        return runPhasesInBands(split.threads, split.bands, phases, bandStop(config));
    } catch (const std::bad_alloc &) {
        return HESSIAN_NO_MEMORY;
    }
}

// A pass over memory with little arithmetic: bands of rows on every thread.
int convertRgb32ToGreyWith(const uint32_t *pixels, size_t pixelsPerLine, uint32_t width,
                           uint32_t height, unsigned char *grey, const HessianRunConfig &config)
{
    if (runCancelled(config))
        return HESSIAN_CANCELLED;
    if (config.path == HESSIAN_PATH_REFERENCE)
        return convertRgb32ToGreyReference(pixels, pixelsPerLine, width, height, grey);
    const VectorKernels *kernels = kernelsFor(config.target);
    if (!kernels)
        return HESSIAN_BAD_TARGET;
    try {
        const Split split = splitFor(config, height, 1);
        return runInBands(split.threads, split.bands, 0, height, [&](unsigned, unsigned, uint32_t first, uint32_t last) {
            kernels->greyRows(pixels, pixelsPerLine, width, first, last, grey);
            return (int)HESSIAN_OK;
        }, bandStop(config));
    } catch (const std::bad_alloc &) {
        return HESSIAN_NO_MEMORY;
    }
}

int findLocalMaximaWith(const float *response, uint32_t width, uint32_t height, float threshold,
                        uint32_t radius, QVector<Feature> &features, const HessianRunConfig &config)
{
    if (runCancelled(config))
        return HESSIAN_CANCELLED;
    if (config.path == HESSIAN_PATH_REFERENCE)
        return findLocalMaximaReference(response, width, height, threshold, radius, features);
    const VectorKernels *kernels = kernelsFor(config.target);
    if (!kernels)
        return HESSIAN_BAD_TARGET;

    return maximaInBands(kernels->maximaRows, response, width, height, radius, threshold, config, features);
}

int findLevelMaximaWith(const float *response, uint32_t width, uint32_t height, float threshold,
                        uint32_t radius, QVector<Feature> &features, const HessianRunConfig &config)
{
    if (runCancelled(config))
        return HESSIAN_CANCELLED;
    if (config.path == HESSIAN_PATH_REFERENCE)
        return maximaInBands(levelMaximaRowsReference, response, width, height, radius, threshold, config, features);
    const VectorKernels *kernels = kernelsFor(config.target);
    if (!kernels)
        return HESSIAN_BAD_TARGET;
    return maximaInBands(kernels->levelMaximaRows, response, width, height, radius, threshold, config, features);
}

#endif
