#include "featuremeasures.h"

#include "pixelarithmetic.h"

#include <cmath>

double parabolaVertexOffset(float before, float centre, float after)
{
    const double curvature = (double)before - 2.0 * (double)centre + (double)after;
    const double offset = ((double)before - (double)after) / (2.0 * curvature);
    if (!std::isfinite(offset))
        return 0.0;
    return offset < -0.5 ? -0.5 : offset > 0.5 ? 0.5 : offset;
}

int8_t featurePolarity(const HessianDetector *detector, uint32_t x, uint32_t y)
{
    const size_t stride = detector->width;
    const size_t top = (size_t)(y - detector->radius) * stride + x;
    const ColumnSums sums = columnSums(detector->gaussRows + top, detector->d1Rows + top,
                                       detector->d2Rows + top, stride, detector->gaussKernel,
                                       detector->d1Kernel, detector->d2Kernel,
                                       2 * (size_t)detector->radius + 1);
    return sums.dxx + sums.dyy < 0.0f ? FEATURE_BRIGHT : FEATURE_DARK;
}

int measureFeatures(const HessianDetector *detector, float sigma, const QVector<Feature> &features,
                    FeatureMeasure *measures, FrameOrigin origin)
{
    if (detector->radius == 0)
        return HESSIAN_BAD_SIGMA;
    const size_t stride = detector->width;
    for (int i = 0; i < features.size(); ++i) {
        const uint32_t x = (uint32_t)features[i].x;
        const uint32_t y = (uint32_t)features[i].y;
        const float *at = detector->response + (size_t)y * stride + x;
        FeatureMeasure &m = measures[i];
        const double left = (double)(origin.x + (int64_t)x);
        const double top = (double)(origin.y + (int64_t)y);
        m.xSubpixel = (float)(left + parabolaVertexOffset(at[-1], at[0], at[1]));
        m.ySubpixel = (float)(top + parabolaVertexOffset(at[-(ptrdiff_t)stride], at[0], at[stride]));
        m.sigma = sigma;
        m.response = at[0];
        m.polarity = featurePolarity(detector, x, y);
    }
    return HESSIAN_OK;
}
