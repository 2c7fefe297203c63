// Which implementation runs: the dispatch behind computeHessianResponse and
// findLocalMaxima, and the split of the vector path into bands of rows.

#include "detectionpaths.h"

#include "greyconversion.h"
#include "levelmaxima.h"
#include "parallelbands.h"
#include "pixelarithmetic.h"
#include "vectorscratch.h"

#include <algorithm>
#include <cctype>
#include <chrono>
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
// Rows of a band whose row passes run at a time before the column pass reads
// them: few enough that the byte rows and the response rows they give stay
// in the processor's own cache (1 MiB on this project's machines), enough
// that the r rows each column pass converts again at its top stay few.
// Measured on one thread on 1920 x 1080: chunks of 60, 100 and 190 rows took
// 0.94, 0.93 and 0.93 of the time of the row passes of the whole frame
// followed by its column pass at sigma 2, 0.96, 0.95 and 0.98 at sigma 5,
// and about the same at sigma 10, where each chunk converts 60 rows again.
const uint32_t kFusedRows = 100;
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

#if defined(__x86_64__) || defined(__i386__)

ProcessorVendor processorVendor()
{
    unsigned a = 0, b = 0, c = 0, d = 0;
    if (!__get_cpuid(0, &a, &b, &c, &d))
        return VENDOR_OTHER;
    char name[13];
    std::memcpy(name, &b, 4);
    std::memcpy(name + 4, &d, 4);
    std::memcpy(name + 8, &c, 4);
    name[12] = 0;
    if (std::strcmp(name, "GenuineIntel") == 0)
        return VENDOR_INTEL;
    if (std::strcmp(name, "AuthenticAMD") == 0)
        return VENDOR_AMD;
    return VENDOR_OTHER;
}

#else

ProcessorVendor processorVendor()
{
    return VENDOR_OTHER;
}

#endif

const VectorKernels *runnableKernels(int64_t target)
{
    for (size_t i = 0; i < compiledVectorKernelCount(); ++i) {
        const VectorKernels &kernels = compiledVectorKernels(i);
        if (kernels.target == target && runsHere(kernels.target))
            return &kernels;
    }
    return nullptr;
}

// Multiply-add pairs a second of one code, on this thread, the best of a
// few short turns taken alternately with the other code's, so that a turn
// the system interrupts decides nothing.
double pairsRatio(const VectorKernels &wide, const VectorKernels &narrow)
{
    const size_t rounds = 4000;  // some 20 microseconds
    double bestWide = 0.0, bestNarrow = 0.0;
    float sink = 0.0f;
    const auto rate = [&](const VectorKernels &kernels) {
        const auto start = std::chrono::steady_clock::now();
        const double pairs = kernels.mulAddPairs(rounds, &sink);
        const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        return seconds > 0.0 ? pairs / seconds : 0.0;
    };
    for (int turn = 0; turn < 5; ++turn) {
        bestWide = std::max(bestWide, rate(wide));
        bestNarrow = std::max(bestNarrow, rate(narrow));
    }
    return bestNarrow > 0.0 ? bestWide / bestNarrow : 0.0;
}

// The kernels a run takes when it names none (see preferredTarget). Only an
// Intel processor with AVX-512 has its arithmetic rates measured, once per
// process, in a fraction of a millisecond.
const VectorKernels *chosenKernels()
{
    int64_t runnable = 0;
    for (size_t i = 0; i < compiledVectorKernelCount(); ++i)
        if (runsHere(compiledVectorKernels(i).target))
            runnable |= compiledVectorKernels(i).target;
    const ProcessorVendor vendor = processorVendor();
    const VectorKernels *avx512 = runnableKernels(HWY_AVX3);
    const VectorKernels *avx2 = runnableKernels(HWY_AVX2);
    const double ratio = vendor == VENDOR_INTEL && avx512 && avx2 ? pairsRatio(*avx512, *avx2) : 0.0;
    return runnableKernels(preferredTarget(vendor, runnable, ratio));
}

// The kernels for the run, or null when the target asked for is not here.
const VectorKernels *kernelsFor(int64_t target)
{
    if (target == 0) {
        static const VectorKernels *const chosen = chosenKernels();
        return chosen;
    }
    return runnableKernels(target);
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
    config.target = targetNamedByEnvironment();
    config.cancel = nullptr;
    return config;
}

namespace {

bool sameName(const char *a, const char *b)
{
    for (; *a && *b; ++a, ++b)
        if (std::tolower((unsigned char)*a) != std::tolower((unsigned char)*b))
            return false;
    return *a == *b;
}

} // namespace

// The widest code (Highway numbers the better targets lower), except where
// measurements say otherwise:
// - An Intel processor with AVX-512 multiplies and adds 512-bit vectors on
//   one unit (ports 0 and 1 joined) or two (port 5 too), by model. With one,
//   AVX-512 does no more multiply-adds per cycle than AVX2 does on ports 0
//   and 1, and its heavier clock licence lowers the frequency: AVX2 runs the
//   passes faster. The processor does not say which it has, so its rates are
//   measured (hessian-maxima-bench --phases shows the passes with both codes).
// - AMD's family 25 (Zen 4) executes 512-bit operations in two halves, at
//   AVX2's rate of pairs, yet its passes run faster with AVX-512: a whole
//   run on one thread took 1.08 to 1.21 times as long with AVX2. Family 26
//   has full-width units. Both take AVX-512.
int64_t preferredTarget(ProcessorVendor vendor, int64_t runnable, double avx512OverAvx2)
{
#ifndef HESSIAN_FORCE_REFERENCE
    const double kLeastGain = 1.5;  // one unit gives about 1, two about 2
    if (vendor == VENDOR_INTEL && (runnable & HWY_AVX3) && (runnable & HWY_AVX2) && avx512OverAvx2 < kLeastGain)
        runnable &= ~(int64_t)HWY_AVX3;
#else
    (void)vendor;
    (void)avx512OverAvx2;
#endif
    return runnable & -runnable;
}

int64_t targetNamedByEnvironment()
{
    const char *name = std::getenv("HESSIAN_TARGET");
    if (!name || !*name)
        return 0;
    for (const VectorTarget &target : vectorTargets())
        if (sameName(name, target.name))
            return target.target;
    return 0;
}

int64_t chosenVectorTarget()
{
#ifndef HESSIAN_FORCE_REFERENCE
    const VectorKernels *kernels = kernelsFor(0);
    return kernels ? kernels->target : 0;
#else
    return 0;
#endif
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
        // Output row y needs the row passes of rows y - r .. y + r. A band
        // [first, last) goes down in chunks: the row passes of a chunk, then
        // the outputs whose rows are all its own and done, while those rows
        // are still in this processor's cache. The outputs within r of the
        // band's ends need a neighbour's rows and wait for the second phase.
        // A wide kernel makes each chunk's column pass convert 2r rows again
        // for few outputs; then the whole band goes at once.
        const uint32_t chunk = 4 * radius <= kFusedRows
                                   ? std::max<uint32_t>(kFusedRows / kernels->columnRows, 1) * kernels->columnRows
                                   : height;
        const auto rowsAndColumns = [&](unsigned worker, unsigned, uint32_t first, uint32_t last) {
            float *own = scratch.of(worker);
            uint32_t next = first + radius;  // the next output row to compute
            for (uint32_t from = first; from < last;) {
                const uint32_t to = last - from > chunk ? from + chunk : last;
                int status = kernels->rowPasses(detector, grey, from, to, own);
                const uint32_t ready = to > radius ? to - radius : 0;  // outputs below this have their rows
                if (status == HESSIAN_OK && ready > next) {
                    status = kernels->columnPass(detector, next, ready, own);
                    next = ready;
                }
                if (status != HESSIAN_OK)
                    return status;
                from = to;
            }
            return (int)HESSIAN_OK;
        };
        const auto bandEnds = [&](unsigned worker, unsigned, uint32_t first, uint32_t last) {
            const uint32_t low = std::max(first, radius);
            const uint32_t high = std::min(last, height - radius);
            // What the first phase computed: [first + r, last - r), if anything.
            const uint32_t innerLow = first + radius;
            const uint32_t innerHigh = last - first > 2 * radius ? last - radius : innerLow;
            float *own = scratch.of(worker);
            int status = HESSIAN_OK;
            if (innerHigh <= innerLow) {
                if (low < high)
                    status = kernels->columnPass(detector, low, high, own);
                return status;
            }
            if (low < std::min(innerLow, high))
                status = kernels->columnPass(detector, low, std::min(innerLow, high), own);
            if (status == HESSIAN_OK && std::max(innerHigh, low) < high)
                status = kernels->columnPass(detector, std::max(innerHigh, low), high, own);
            return status;
        };
        std::vector<BandPhase> phases{BandPhase{0, height, rowsAndColumns, kernels->columnRows}};
        if ((uint64_t)height > 2 * (uint64_t)radius)
            phases.push_back(BandPhase{0, height, bandEnds, kernels->columnRows});
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
