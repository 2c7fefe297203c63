#include "localmaxima.h"

#include "pixelarithmetic.h"
#include "referenceloops.h"

#include <new>

int findLocalMaximaReference(const float *response, uint32_t width, uint32_t height,
                             float threshold, uint32_t radius, QVector<Feature> &features)
{
    features = QVector<Feature>();

    // The margin is one wider than the radius so that every 3x3
    // neighbourhood examined lies inside the computed region.
    const uint64_t margin = (uint64_t)radius + 1;
    if ((uint64_t)width <= 2 * margin || (uint64_t)height <= 2 * margin)
        return HESSIAN_OK;

    const size_t stride = width;
    const uint32_t first = (uint32_t)margin;
    try {
        for (uint32_t y = first; y < height - first; ++y) {
            const float *up = response + (size_t)(y - 1) * stride + (first - 1);
            const float *centre = up + stride;
            const float *down = centre + stride;
            // up[1], centre[1], down[1] are column x; [0] and [2] its neighbours.
            for (uint32_t x = first; x < width - first; ++x, ++up, ++centre, ++down) {
                if (isLocalMaximum(up, centre, down, threshold))
                    features.append(Feature{(float)x, (float)y});
            }
        }
    } catch (const std::bad_alloc &) {
        features = QVector<Feature>();
        return HESSIAN_NO_MEMORY;
    }
    return HESSIAN_OK;
}
