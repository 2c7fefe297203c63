#include "vectorscratch.h"

#include "parallelbands.h"

#include <algorithm>

#ifndef HESSIAN_FORCE_REFERENCE
#include "vectorkernels.h"
#endif

size_t scratchSliceFloats(uint32_t width, uint32_t height, uint32_t radius)
{
    size_t slice = 0;
#ifdef HESSIAN_FORCE_REFERENCE
    (void)width;
    (void)height;
    (void)radius;
#else
    for (size_t i = 0; i < compiledVectorKernelCount(); ++i)
        slice = std::max(slice, compiledVectorKernels(i).scratchFloats(width, height, radius));
#endif
    return slice;
}

size_t responseScratchFloats(uint32_t width, uint32_t height, uint32_t radius)
{
#ifdef HESSIAN_FORCE_REFERENCE
    (void)width;
    (void)height;
    (void)radius;
    return 0;
#else
    if ((uint64_t)width <= 2 * (uint64_t)radius)
        return 0;  // nothing to compute
    const uint64_t slice = scratchSliceFloats(width, height, radius);
    const uint64_t threads = machineThreads();
    if (slice > (SIZE_MAX - kScratchAlignment) / sizeof(float) / threads)
        return SIZE_MAX;
    return (size_t)(slice * threads + kScratchAlignment / sizeof(float));
#endif
}
