// Which implementation runs: the dispatch behind computeHessianResponse and
// findLocalMaxima, and the split of the vector path into bands of rows.

#include "detectionpaths.h"

#include "parallelbands.h"

#include <cstdlib>
#include <cstring>
#include <new>

#ifndef HESSIAN_FORCE_REFERENCE
#include "vectorkernels.h"

#include <hwy/targets.h>
#endif

namespace {

#ifndef HESSIAN_FORCE_REFERENCE

// Below this many rows a band costs more to start than it saves.
const uint32_t kMinRowsPerBand = 16;
// Bands per thread: enough that a thread the system starts late (waking an
// idle processor can take a millisecond or more) leaves its share to the
// others, few enough that each band's set-up stays small.
const unsigned kBandsPerThread = 4;

struct Split {
    unsigned threads;
    unsigned bands;
};

Split splitFor(const HessianRunConfig &config, uint32_t rows)
{
    const unsigned threads = config.threads ? config.threads : machineThreads();
    const uint64_t useful = rows / kMinRowsPerBand;
    const uint64_t wanted = (uint64_t)threads * (threads > 1 ? kBandsPerThread : 1);
    const unsigned bands = (unsigned)(useful < 1 ? 1 : useful < wanted ? useful : wanted);
    return Split{threads < bands ? threads : bands, bands};
}

bool referenceForcedByEnvironment()
{
    const char *value = std::getenv("HESSIAN_FORCE_REFERENCE");
    return value && *value && std::strcmp(value, "0") != 0;
}

// Whether this processor runs the target. The portable fallbacks run
// everywhere.
bool runsHere(int64_t target)
{
    return (target & (HWY_EMU128 | HWY_SCALAR)) || (target & hwy::SupportedTargets());
}

// The kernels for the run, or null when the target asked for is not here.
const VectorKernels *kernelsFor(int64_t target)
{
    if (target == 0)
        return &bestVectorKernels();
    for (size_t i = 0; i < compiledVectorKernelCount(); ++i) {
        const VectorKernels &kernels = compiledVectorKernels(i);
        if (kernels.target == target && runsHere(kernels.target))
            return &kernels;
    }
    return nullptr;
}

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

#ifdef HESSIAN_FORCE_REFERENCE

int computeHessianResponseWith(HessianDetector *detector, const unsigned char *grey,
                               const HessianRunConfig &config)
{
    if (config.path == HESSIAN_PATH_VECTOR && config.target != 0)
        return HESSIAN_BAD_TARGET;
    return computeHessianResponseReference(detector, grey);
}

int findLocalMaximaWith(const float *response, uint32_t width, uint32_t height, float threshold,
                        uint32_t radius, QVector<Feature> &features, const HessianRunConfig &config)
{
    if (config.path == HESSIAN_PATH_VECTOR && config.target != 0)
        return HESSIAN_BAD_TARGET;
    return findLocalMaximaReference(response, width, height, threshold, radius, features);
}

#else

// All row passes first, then, once every band has finished its rows, the
// column pass: a band's outputs need the row results of r rows above and
// below it, which belong to its neighbours.
int computeHessianResponseWith(HessianDetector *detector, const unsigned char *grey,
                               const HessianRunConfig &config)
{
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

    const auto rowPasses = [&](unsigned, uint32_t first, uint32_t last) {
        return kernels->rowPasses(detector, grey, first, last);
    };
    const auto columnPass = [&](unsigned, uint32_t first, uint32_t last) {
        return kernels->columnPass(detector, first, last);
    };
    std::vector<BandPhase> phases{BandPhase{0, height, rowPasses}};
    if ((uint64_t)height > 2 * (uint64_t)radius)
        phases.push_back(BandPhase{radius, height - radius, columnPass});
    try {
        const Split split = splitFor(config, height);
        return runPhasesInBands(split.threads, split.bands, phases);
    } catch (const std::bad_alloc &) {
        return HESSIAN_NO_MEMORY;
    }
}

// Each band collects its own features; joined in band order they are in
// row-major order, as one pass would give them.
int findLocalMaximaWith(const float *response, uint32_t width, uint32_t height, float threshold,
                        uint32_t radius, QVector<Feature> &features, const HessianRunConfig &config)
{
    if (config.path == HESSIAN_PATH_REFERENCE)
        return findLocalMaximaReference(response, width, height, threshold, radius, features);
    const VectorKernels *kernels = kernelsFor(config.target);
    if (!kernels)
        return HESSIAN_BAD_TARGET;

    features = QVector<Feature>();
    const uint64_t margin = (uint64_t)radius + 1;
    if ((uint64_t)width <= 2 * margin || (uint64_t)height <= 2 * margin)
        return HESSIAN_OK;

    const uint32_t first = (uint32_t)margin;
    const uint32_t end = height - first;
    try {
        const Split split = splitFor(config, end - first);
        const unsigned bands = split.bands;
        std::vector<QVector<Feature>> found(bands);
        const int status = runInBands(split.threads, bands, first, end, [&](unsigned band, uint32_t from, uint32_t to) {
            try {
                kernels->maximaRows(response, width, from, to, first, threshold, found[band]);
            } catch (const std::bad_alloc &) {
                return (int)HESSIAN_NO_MEMORY;
            }
            return (int)HESSIAN_OK;
        });
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
    } catch (const std::bad_alloc &) {
        features = QVector<Feature>();
        return HESSIAN_NO_MEMORY;
    }
    return HESSIAN_OK;
}

#endif
