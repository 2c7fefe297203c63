#ifndef DETECTIONPATHS_H
#define DETECTIONPATHS_H

// Inside the detection core: the two ways of computing the same results.
//
// computeHessianResponse and findLocalMaxima run the vector code on all
// cores unless the environment variable HESSIAN_FORCE_REFERENCE is set (to
// anything but "0") or the core was built with the CMake option of that
// name. The straightforward loops stay callable here, so that tests and the
// benchmark can hold the fast path to them bit for bit.

#include "hessiandetector.h"
#include "localmaxima.h"
#include "referenceloops.h"

#include <QVector>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <vector>

enum HessianPath {
    HESSIAN_PATH_REFERENCE,
    HESSIAN_PATH_VECTOR
};

struct HessianRunConfig {
    HessianPath path;
    unsigned threads;  // 0: one per hardware thread
    int64_t target;    // 0: the best instruction set the processor runs;
                       // otherwise one target of vectorTargets()
    // Raised by another thread to stop the run: checked before every band
    // of rows (and on the reference path before every stage), which then
    // gives HESSIAN_CANCELLED. Null or down: no effect on any result.
    const std::atomic<bool> *cancel = nullptr;
};

// What a run uses unless told otherwise: the vector path on every hardware
// thread, or the reference when HESSIAN_FORCE_REFERENCE says so; the vector
// code chosen for this processor (see detectionpaths.cpp), or the one that
// HESSIAN_TARGET names (AVX3, AVX2, SSE4, EMU128, in any case), for
// measuring one against another. The environment is read on every call, so
// a change applies to the next run.
HessianRunConfig defaultRunConfig();

// The target HESSIAN_TARGET names, when this processor runs it; otherwise 0.
int64_t targetNamedByEnvironment();

enum ProcessorVendor { VENDOR_OTHER, VENDOR_INTEL, VENDOR_AMD };

// The vector code a run takes when it names none, among the `runnable`
// targets (Highway's bits, all of which this processor runs), for a
// processor of that vendor on which AVX-512 does `avx512OverAvx2` times as
// many multiply-add pairs a second as AVX2 (measured on Intel processors
// only): the widest, but AVX2 on an Intel processor whose AVX-512 gains less
// than half again (see detectionpaths.cpp and docs/speed.md).
int64_t preferredTarget(ProcessorVendor vendor, int64_t runnable, double avx512OverAvx2);

// The same operations with the path spelled out. A vector target that is not
// compiled in or that this processor cannot run gives HESSIAN_BAD_TARGET.
int computeHessianResponseWith(HessianDetector *detector, const unsigned char *grey,
                               const HessianRunConfig &config);
int findLocalMaximaWith(const float *response, uint32_t width, uint32_t height, float threshold,
                        uint32_t radius, QVector<Feature> &features, const HessianRunConfig &config);

int convertRgb32ToGreyWith(const uint32_t *pixels, size_t pixelsPerLine, uint32_t width,
                           uint32_t height, unsigned char *grey, const HessianRunConfig &config);

const int HESSIAN_BAD_TARGET = -6;
const int HESSIAN_CANCELLED = -7;

// Whether the run's cancel flag is up.
inline bool runCancelled(const HessianRunConfig &config)
{
    return config.cancel && config.cancel->load(std::memory_order_relaxed);
}

struct VectorTarget {
    int64_t target;    // Highway's target bit
    const char *name;  // "AVX2", "SSE4", "EMU128", ...
};

// The vector instruction sets compiled in that this processor runs, best
// first; empty when the core was built without the vector path.
std::vector<VectorTarget> vectorTargets();

// The one a run takes when neither it nor HESSIAN_TARGET names one
// (preferredTarget for this processor); 0 without the vector path.
int64_t chosenVectorTarget();

#endif // DETECTIONPATHS_H
