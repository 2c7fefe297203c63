#include "candidateresponses.h"

#include "featuremeasures.h"
#include "localmaxima.h"

#include <algorithm>
#include <new>

int findCandidateResponses(const HessianDetector *detector, float floor, int8_t polarity,
                           const HessianRunConfig &config, QVector<float> &responses, uint32_t margin)
{
    responses.clear();
    if (detector->radius == 0)
        return HESSIAN_BAD_SIGMA;
    QVector<Feature> maxima;
    int status = findLocalMaximaWith(detector->response, detector->width, detector->height, floor,
                                     detector->radius, maxima, config);
    if (status != HESSIAN_OK)
        return status;
    try {
        responses.reserve(maxima.size());
        const size_t stride = detector->width;
        for (const Feature &f : maxima) {
            const uint32_t x = (uint32_t)f.x;
            const uint32_t y = (uint32_t)f.y;
            if (x < margin || y < margin || (uint64_t)x + margin >= detector->width
                || (uint64_t)y + margin >= detector->height)
                continue;
            if (polarity != 0 && featurePolarity(detector, x, y) != polarity)
                continue;
            responses.append(detector->response[(size_t)y * stride + x]);
        }
    } catch (const std::bad_alloc &) {
        responses = QVector<float>();
        return HESSIAN_NO_MEMORY;
    }
    std::sort(responses.begin(), responses.end());
    return HESSIAN_OK;
}
