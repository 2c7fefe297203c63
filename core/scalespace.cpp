// Scale-space maxima of the determinant-of-Hessian response, level after
// level, with two response maps in turn.
//
// A level's candidates are its own 8-neighbour maxima (levelmaxima.h; with a
// single level the single-scale search), kept while they beat the level
// below; they are measured right
// away, while the row images still hold their level, and settled against
// the level above once it exists. So only the level below's value at the
// candidate's pixel has to be kept, never its map.

#include "scalespace.h"

#include "levelmaxima.h"
#include "pixelarithmetic.h"
#include "vectorscratch.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <new>
#include <numeric>
#include <vector>

namespace {

const double kPi = 3.14159265358979323846;

// Whether centre is strictly greater than the response at (x, y) and its
// eight neighbours in another level's map (so never when one is NaN).
bool beatsLevel(const float *response, size_t stride, uint32_t x, uint32_t y, float centre)
{
    const float *row = response + (size_t)(y - 1) * stride + (x - 1);
    for (int dy = 0; dy < 3; ++dy, row += stride)
        for (int dx = 0; dx < 3; ++dx)
            if (!(centre > row[dx]))
                return false;
    return true;
}

// Whether (x, y) lies where a level of this radius has its response all
// around it.
bool insideLevel(uint32_t x, uint32_t y, uint32_t width, uint32_t height, uint32_t radius)
{
    const uint64_t margin = (uint64_t)radius + 1;
    return x >= margin && y >= margin && x + margin < width && y + margin < height;
}

// The scale of a feature of `level` whose response `centre` beats the
// responses `before` and `after` at its pixel in the levels beside it: the
// vertex of the parabola through the three in log sigma. A log-spaced range
// takes its one step; levels given as a list their own (the level beyond
// an end one more step of its neighbour's).
float refinedSigma(const HessianScaleSpace *space, uint32_t level, float before, float centre, float after)
{
    const double sigma = space->sigmas[level];
    if (space->logStep > 0.0)
        return (float)(sigma * std::exp(parabolaVertexOffset(before, centre, after) * space->logStep));
    const uint32_t last = space->levelCount - 1;
    const double lower = level == 0 ? space->beyondSigmas[0] : space->sigmas[level - 1];
    const double upper = level == last ? space->beyondSigmas[1] : space->sigmas[level + 1];
    const double h0 = std::log(sigma / lower), h1 = std::log(upper / sigma);
    const double b = before, c = centre, a = after;
    const double curvature = ((a - c) / h1 + (b - c) / h0) / (h0 + h1);
    const double slope = (a - c) / h1 - curvature * h1;
    double offset = -slope / (2.0 * curvature);
    if (!std::isfinite(offset))
        offset = 0.0;
    offset = std::min(std::max(offset, -0.5 * h0), 0.5 * h1);
    return (float)(sigma * std::exp(offset));
}

// The level's candidates still waiting for the level above.
struct Candidates {
    uint32_t level = 0;
    QVector<Feature> features;
    QVector<FeatureMeasure> measures;
    // The response at the same pixel one level down (for the first level,
    // in the level beyond it, or none); empty for a single level.
    std::vector<float> below;
};

} // namespace

void levelMaximaRowsReference(const float *response, uint32_t width, uint32_t firstRow, uint32_t endRow,
                              uint32_t margin, float threshold, QVector<Feature> &features)
{
    for (uint32_t y = firstRow; y < endRow; ++y) {
        const float *row = response + (size_t)y * width;
        for (uint32_t x = margin; x < width - margin; ++x)
            if (isFirstOfEqualMaxima(row + x, width, threshold))
                features.append(Feature{(float)x, (float)y});
    }
}


namespace {

// Sets up a level's kernels as a single-scale run at this sigma has them:
// set-up for an empty frame builds them and nothing of image size.
int initLevelKernels(HessianDetector *level, float sigma)
{
    return initHessianDetector(level, sigma, 0, 0);
}

// Set-up once the sigmas are in place (and logStep, when log-spaced).
int finishScaleSpace(HessianScaleSpace *space, uint32_t width, uint32_t height)
{
    const uint32_t levelCount = space->levelCount;
    const uint64_t pixels = (uint64_t)width * (uint64_t)height;
    size_t scratch = 0;
    for (uint32_t i = 0; i < levelCount; ++i) {
        if (!(space->sigmas[i] > 0.0f) || !std::isfinite(space->sigmas[i])
            || (i > 0 && !(space->sigmas[i] > space->sigmas[i - 1])))
            return HESSIAN_BAD_SIGMA;
        const int status = initLevelKernels(&space->levels[i], space->sigmas[i]);
        if (status != HESSIAN_OK)
            return status;
        scratch = std::max(scratch, responseScratchFloats(width, height, space->levels[i].radius));
    }
    if (levelCount > 1) {
        for (int end = 0; end < 2; ++end) {
            const double step = space->logStep > 0.0 ? std::exp(space->logStep)
                                                     : end == 0 ? (double)space->sigmas[1] / space->sigmas[0]
                                                                : (double)space->sigmas[levelCount - 1]
                                                                      / space->sigmas[levelCount - 2];
            const double endSigma = end == 0 ? space->sigmas[0] : space->sigmas[levelCount - 1];
            const float sigma = (float)(end == 0 ? endSigma / step : endSigma * step);
            space->beyondSigmas[end] = sigma;
            // A sigma too small (or too large) for kernels leaves that end
            // without a level beyond; only a shortage of memory fails.
            const int status = initLevelKernels(&space->beyond[end], sigma);
            if (status == HESSIAN_NO_MEMORY)
                return status;
            if (status != HESSIAN_OK)
                std::memset(&space->beyond[end], 0, sizeof space->beyond[end]);
        }
    }

    const size_t bytes = pixels ? (size_t)pixels : 1;
    if (scratch > SIZE_MAX / sizeof(float) - bytes)
        return HESSIAN_NO_MEMORY;
    const size_t responseBytes = (bytes + scratch) * sizeof(float);
    space->gaussRows = (unsigned char *)allocateMappedFrameBuffer(bytes);
    space->d1Rows = (signed char *)allocateMappedFrameBuffer(bytes);
    space->d2Rows = (signed char *)allocateMappedFrameBuffer(bytes);
    space->responses[0] = (float *)allocateMappedFrameBuffer(responseBytes);
    space->responses[1] = (float *)allocateMappedFrameBuffer(responseBytes);
    if (!space->gaussRows || !space->d1Rows || !space->d2Rows || !space->responses[0] || !space->responses[1])
        return HESSIAN_NO_MEMORY;
    return HESSIAN_OK;
}

// The record's arrays for `levelCount` levels; false when memory is short.
int allocateLevels(HessianScaleSpace *space, uint32_t levelCount, uint32_t width, uint32_t height)
{
    const uint64_t pixels = (uint64_t)width * (uint64_t)height;
    if (pixels > SIZE_MAX / sizeof(float) || levelCount > SIZE_MAX / sizeof(HessianDetector))
        return HESSIAN_NO_MEMORY;
    space->width = width;
    space->height = height;
    space->levelCount = levelCount;
    space->sigmas = (float *)std::calloc(levelCount, sizeof(float));
    space->levels = (HessianDetector *)std::calloc(levelCount, sizeof(HessianDetector));
    return space->sigmas && space->levels ? HESSIAN_OK : HESSIAN_NO_MEMORY;
}

} // namespace

int initHessianScaleSpace(HessianScaleSpace *space, float sigmaMin, float sigmaMax,
                          uint32_t levelCount, uint32_t width, uint32_t height)
{
    // Written so that NaN fails too.
    if (levelCount == 0 || !(sigmaMin > 0.0f) || !std::isfinite(sigmaMax)
        || (levelCount == 1 ? !(sigmaMax == sigmaMin) : !(sigmaMin < sigmaMax)))
        return HESSIAN_BAD_SIGMA;
    int status = allocateLevels(space, levelCount, width, height);
    if (status == HESSIAN_OK) {
        const double logRatio = std::log((double)sigmaMax / (double)sigmaMin);
        for (uint32_t i = 0; i < levelCount; ++i)
            space->sigmas[i] = i == 0 ? sigmaMin
                               : i + 1 == levelCount
                                   ? sigmaMax
                                   : (float)((double)sigmaMin * std::exp(logRatio * i / (levelCount - 1)));
        space->logStep = levelCount > 1 ? std::log((double)sigmaMax / (double)sigmaMin) / (levelCount - 1) : 0.0;
        status = finishScaleSpace(space, width, height);
    }
    if (status != HESSIAN_OK)
        releaseHessianScaleSpace(space);
    return status;
}

int initHessianScaleSpaceAt(HessianScaleSpace *space, const float *sigmas, uint32_t levelCount, uint32_t width,
                            uint32_t height)
{
    if (levelCount == 0)
        return HESSIAN_BAD_SIGMA;
    int status = allocateLevels(space, levelCount, width, height);
    if (status == HESSIAN_OK) {
        std::memcpy(space->sigmas, sigmas, levelCount * sizeof(float));
        space->logStep = 0.0;
        status = finishScaleSpace(space, width, height);
    }
    if (status != HESSIAN_OK)
        releaseHessianScaleSpace(space);
    return status;
}

uint32_t scaleSpaceMargin(const HessianScaleSpace *space)
{
    if (space->levelCount == 0)
        return 0;
    return std::max(space->levels[space->levelCount - 1].radius + 1, space->beyond[1].radius);
}

float responseAtPixel(const HessianDetector *kernels, const unsigned char *grey, uint32_t width, uint32_t x,
                      uint32_t y, unsigned char *scratch)
{
    const size_t r = kernels->radius, taps = 2 * r + 1;
    unsigned char *gaussColumn = scratch;
    signed char *d1Column = reinterpret_cast<signed char *>(scratch + taps);
    signed char *d2Column = reinterpret_cast<signed char *>(scratch + 2 * taps);
    // The three row passes at column x of rows y - r .. y + r, as the row
    // images hold them, then the column pass down them.
    for (size_t k = 0; k < taps; ++k) {
        const unsigned char *window = grey + (y - r + k) * (size_t)width + (x - r);
        gaussColumn[k] = rowPassPixel(window, kernels->gaussKernel, taps);
        d1Column[k] = (signed char)rowPassPixel(window, kernels->d1Kernel, taps);
        d2Column[k] = (signed char)rowPassPixel(window, kernels->d2Kernel, taps);
    }
    return determinantPixel(gaussColumn, d1Column, d2Column, 1, kernels->gaussKernel, kernels->d1Kernel,
                            kernels->d2Kernel, taps);
}

int releaseHessianScaleSpace(HessianScaleSpace *space)
{
    if (space->levels)
        for (uint32_t i = 0; i < space->levelCount; ++i)
            releaseHessianDetector(&space->levels[i]);
    releaseHessianDetector(&space->beyond[0]);
    releaseHessianDetector(&space->beyond[1]);
    std::free(space->levels);
    std::free(space->sigmas);
    std::free(space->gaussRows);
    std::free(space->d1Rows);
    std::free(space->d2Rows);
    std::free(space->responses[0]);
    std::free(space->responses[1]);
    std::memset(space, 0, sizeof *space);
    return HESSIAN_OK;
}

HessianDetector scaleSpaceLevel(const HessianScaleSpace *space, uint32_t level)
{
    HessianDetector record = space->levels[level];
    record.width = space->width;
    record.height = space->height;
    record.gaussRows = space->gaussRows;
    record.d1Rows = space->d1Rows;
    record.d2Rows = space->d2Rows;
    record.response = space->responses[level % 2];
    return record;
}

int findScaleSpaceMaxima(HessianScaleSpace *space, const unsigned char *grey, float threshold,
                         const HessianRunConfig &config, QVector<Feature> &features,
                         QVector<FeatureMeasure> &measures, FrameOrigin origin)
{
    features = QVector<Feature>();
    measures = QVector<FeatureMeasure>();
    const uint32_t count = space->levelCount;
    if (count == 0)
        return HESSIAN_BAD_SIGMA;
    const size_t stride = space->width;
    const float none = std::numeric_limits<float>::quiet_NaN();

    QVector<Feature> found;
    QVector<FeatureMeasure> foundMeasures;
    try {
        // Room for the responses of the levels beyond the ends, computed at
        // single pixels.
        std::vector<unsigned char> scratch(3 * (2 * (size_t)std::max(space->beyond[0].radius,
                                                                         space->beyond[1].radius) + 1));
        // The response of the level beyond an end at a pixel, or none where
        // there is no such level or it has no room around the pixel.
        const auto beyondAt = [&](int end, const Feature &f) {
            const HessianDetector &kernels = space->beyond[end];
            const uint32_t x = (uint32_t)f.x, y = (uint32_t)f.y, r = kernels.radius;
            if (count < 2 || r == 0 || x < r || y < r || (uint64_t)x + r >= space->width
                || (uint64_t)y + r >= space->height)
                return none;
            return responseAtPixel(&kernels, grey, space->width, x, y, scratch.data());
        };

        Candidates waiting;
        // Level `waiting.level`'s candidates against the level above (the
        // last level's against none), then into the found lists; the scale
        // refined where the response beats both levels beside it at the
        // pixel (so never where one of them is none).
        const auto settle = [&](const float *above) {
            const uint32_t level = waiting.level;
            for (int c = 0; c < waiting.features.size(); ++c) {
                const Feature &f = waiting.features[c];
                FeatureMeasure m = waiting.measures[c];
                float after = none;
                if (above) {
                    if (insideLevel((uint32_t)f.x, (uint32_t)f.y, space->width, space->height,
                                    space->levels[level + 1].radius)) {
                        if (!beatsLevel(above, stride, (uint32_t)f.x, (uint32_t)f.y, m.response))
                            continue;
                        after = above[(size_t)f.y * stride + (size_t)f.x];
                    }
                } else {
                    after = beyondAt(1, f);
                }
                const float before = count > 1 ? waiting.below[c] : none;
                if (m.response > before && m.response > after)
                    m.sigma = refinedSigma(space, level, before, m.response, after);
                found.append(f);
                foundMeasures.append(m);
            }
        };

        for (uint32_t i = 0; i < count; ++i) {
            HessianDetector level = scaleSpaceLevel(space, i);
            int status = computeHessianResponseWith(&level, grey, config);
            if (status != HESSIAN_OK)
                return status;
            const float *below = i > 0 ? space->responses[(i - 1) % 2] : nullptr;
            if (i > 0)
                settle(level.response);

            Candidates next;
            next.level = i;
            status = count == 1 ? findLocalMaximaWith(level.response, space->width, space->height, threshold,
                                                      level.radius, next.features, config)
                                : findLevelMaximaWith(level.response, space->width, space->height, threshold,
                                                      level.radius, next.features, config);
            if (status != HESSIAN_OK)
                return status;
            if (below) {
                // The level below has the smaller radius, so its response
                // exists around every candidate.
                int kept = 0;
                next.below.reserve((size_t)next.features.size());
                for (int c = 0; c < next.features.size(); ++c) {
                    const Feature f = next.features[c];
                    const size_t at = (size_t)f.y * stride + (size_t)f.x;
                    if (!beatsLevel(below, stride, (uint32_t)f.x, (uint32_t)f.y, level.response[at]))
                        continue;
                    next.features[kept++] = f;
                    next.below.push_back(below[at]);
                }
                next.features.resize(kept);
            } else if (count > 1) {
                next.below.reserve((size_t)next.features.size());
                for (const Feature &f : next.features)
                    next.below.push_back(beyondAt(0, f));
            }
            next.measures.resize(next.features.size());
            status = measureFeatures(&level, space->sigmas[i], next.features, next.measures.data(), origin);
            if (status != HESSIAN_OK)
                return status;
            waiting = std::move(next);
        }
        settle(nullptr);

        // Each level's features are in row-major order, the levels one after
        // the other: a stable sort by pixel keeps increasing scale at one
        // pixel.
        std::vector<int> order((size_t)found.size());
        std::iota(order.begin(), order.end(), 0);
        std::stable_sort(order.begin(), order.end(), [&found](int a, int b) {
            const Feature &fa = found[a];
            const Feature &fb = found[b];
            return fa.y < fb.y || (fa.y == fb.y && fa.x < fb.x);
        });
        features.reserve(found.size());
        measures.reserve(found.size());
        for (int index : order) {
            features.append(found[index]);
            measures.append(foundMeasures[index]);
        }
    } catch (const std::bad_alloc &) {
        features = QVector<Feature>();
        measures = QVector<FeatureMeasure>();
        return HESSIAN_NO_MEMORY;
    }
    return HESSIAN_OK;
}

// The area of the lens where two discs meet, over the smaller disc's area.
double blobOverlap(double x1, double y1, double radius1, double x2, double y2, double radius2)
{
    if (!(radius1 > 0.0) || !(radius2 > 0.0))
        return 0.0;
    const double d = std::hypot(x1 - x2, y1 - y2);
    if (d >= radius1 + radius2)
        return 0.0;
    const double smaller = std::min(radius1, radius2);
    if (d <= std::fabs(radius1 - radius2))
        return 1.0;
    const auto clamped = [](double c) { return c < -1.0 ? -1.0 : c > 1.0 ? 1.0 : c; };
    const double angle1 = std::acos(clamped((d * d + radius1 * radius1 - radius2 * radius2) / (2.0 * d * radius1)));
    const double angle2 = std::acos(clamped((d * d + radius2 * radius2 - radius1 * radius1) / (2.0 * d * radius2)));
    const double kite = std::sqrt(std::fabs((-d + radius1 + radius2) * (d + radius1 - radius2)
                                            * (d - radius1 + radius2) * (d + radius1 + radius2)));
    const double area = radius1 * radius1 * angle1 + radius2 * radius2 * angle2 - 0.5 * kite;
    const double fraction = area / (kPi * smaller * smaller);
    return fraction < 0.0 ? 0.0 : fraction > 1.0 ? 1.0 : fraction;
}

// The kept features go into a grid of cells at least as wide as the widest
// pair of blobs, so each feature is compared only with the kept ones in the
// 3 x 3 cells around it.
int pruneOverlappingFeatures(QVector<Feature> &features, QVector<FeatureMeasure> &measures,
                             double overlap, double radiusPerSigma)
{
    const int count = features.size();
    if (!(overlap < 1.0) || count < 2)
        return HESSIAN_OK;
    try {
        std::vector<double> radius((size_t)count);
        double widest = 0.0, left = INFINITY, right = -INFINITY, top = INFINITY, bottom = -INFINITY;
        for (int i = 0; i < count; ++i) {
            const FeatureMeasure &m = measures[i];
            const double r = radiusPerSigma * (double)m.sigma;
            // A blob without a finite positive radius covers nothing.
            radius[(size_t)i] = r > 0.0 && std::isfinite(r) ? r : 0.0;
            widest = std::max(widest, radius[(size_t)i]);
            left = std::min(left, (double)m.xSubpixel);
            right = std::max(right, (double)m.xSubpixel);
            top = std::min(top, (double)m.ySubpixel);
            bottom = std::max(bottom, (double)m.ySubpixel);
        }
        // Cells no smaller than the widest pair, and not many more than
        // features, however small the blobs.
        double cell = 2.0 * widest;
        const double area = (right - left + 1.0) * (bottom - top + 1.0);
        cell = std::max({cell, std::sqrt(area / (4.0 * count)), 1.0});
        const size_t columns = (size_t)((right - left) / cell) + 1;
        const size_t rows = (size_t)((bottom - top) / cell) + 1;
        const auto cellOf = [&](int i, size_t *column, size_t *row) {
            *column = (size_t)(((double)measures[i].xSubpixel - left) / cell);
            *row = (size_t)(((double)measures[i].ySubpixel - top) / cell);
        };

        // Strongest first; NaN counts as the weakest, equal ones in list order.
        const auto strength = [&measures](int i) {
            const float r = measures[i].response;
            return std::isnan(r) ? -INFINITY : r;
        };
        std::vector<int> order((size_t)count);
        std::iota(order.begin(), order.end(), 0);
        std::stable_sort(order.begin(), order.end(), [&](int a, int b) { return strength(a) > strength(b); });

        std::vector<int> head(columns * rows, -1);  // first kept feature of each cell
        std::vector<int> next((size_t)count, -1);    // the next one in its cell
        std::vector<char> kept((size_t)count, 0);
        for (int i : order) {
            size_t column, row;
            cellOf(i, &column, &row);
            bool covered = false;
            for (size_t r = row ? row - 1 : 0; r <= row + 1 && r < rows && !covered; ++r)
                for (size_t c = column ? column - 1 : 0; c <= column + 1 && c < columns && !covered; ++c)
                    for (int k = head[r * columns + c]; k >= 0 && !covered; k = next[(size_t)k])
                        covered = blobOverlap(measures[i].xSubpixel, measures[i].ySubpixel, radius[(size_t)i],
                                              measures[k].xSubpixel, measures[k].ySubpixel, radius[(size_t)k])
                                  > overlap;
            if (covered)
                continue;
            kept[(size_t)i] = 1;
            next[(size_t)i] = head[row * columns + column];
            head[row * columns + column] = i;
        }

        keepFeaturesWhere(features, measures, [&](int i) { return kept[(size_t)i] != 0; });
    } catch (const std::bad_alloc &) {
        return HESSIAN_NO_MEMORY;
    }
    return HESSIAN_OK;
}
