#ifndef SCALESPACE_H
#define SCALESPACE_H

// Blobs found at their own size: the determinant-of-Hessian response at
// several log-spaced scales, and the points that are maxima in position and
// in scale.
//
// Each level's response map is exactly the single-scale response at that
// level's sigma: the same functions compute it, on a record whose kernels
// and radius are that level's. The levels are computed one after the other
// into two response maps used in turn, so a run needs the memory of a
// single-scale run plus one more response map, whatever the number of
// levels.
//
// The rule. A feature is a pixel of level i whose response is strictly
// greater than the threshold, than its 8 neighbours in level i, and than the
// 9 at and around the same pixel in level i - 1 and in level i + 1: 26
// neighbours. The first and the last level have one neighbour level only,
// and only it counts. A level examines the pixels at least r_i + 1 from
// every border (r_i its kernel radius), as the single-scale search does; the
// level above, with its larger radius, counts where its response exists
// around the pixel (at least r_(i+1) + 1 from every border), so in the band
// along the border where it does not, only the level below counts, as at
// the last level. (A run on a picture padded by scaleSpaceMargin has no
// such band in the picture: see borderpadding.h.) Within a level, a tie
// goes to the first pixel in row-major order (strictly greater than the 4
// neighbours before it, at least as great as the 4 after it): the byte row
// images make equal responses common at the top of a symmetric blob centred
// half-way between two pixels, and a strict test would find no feature on
// it at all. With a single level the rule is exactly the single-scale
// search.
//
// The ends of the range. One more level beyond each end (one more step of
// the spacing) is computed at the end levels' features only, for their
// scale refinement: a feature of the first or last level whose response
// beats that level's at its pixel peaks inside the range and has its sigma
// refined by the parabola like any other; one whose response does not
// (its blob is smaller or larger than the range reaches) is kept, with the
// end's own sigma exactly. So a feature whose sigma equals the first or
// the last sigma exactly lies at or beyond that end of the range. The
// levels beyond never add, remove or move a feature.
//
// Kernel normalisation makes the levels comparable: each derivative
// kernel's halves sum to +-0.5, which makes the response sigma^4 times the
// determinant of the Hessian. On a Gaussian spot of standard deviation s
// that peaks at sigma = s; on a flat disc of radius R near R / sqrt(2).

#include "detectionpaths.h"
#include "featuremeasures.h"
#include "hessiandetector.h"
#include "localmaxima.h"

#include <QVector>

#include <cstddef>
#include <cstdint>

// The context of scale-space runs on width x height images. The caller owns
// the record and zero-fills it before initHessianScaleSpace; between a
// successful set-up and releaseHessianScaleSpace the record owns every array
// below (malloc'ed).
struct HessianScaleSpace {
    uint32_t width;
    uint32_t height;
    uint32_t levelCount;  // N >= 1; 0 means "not set up"

    float *sigmas;  // N scales, increasing: sigma_min, ..., sigma_max
    // The step between neighbouring levels in log sigma when the levels are
    // log-spaced (initHessianScaleSpace); 0 for levels given as a list,
    // whose steps are read from their sigmas.
    double logStep;

    // levels[i] holds level i's radius and kernels, as set-up makes them for
    // that sigma. Its images are set up for an empty frame and never used:
    // a level's run takes the shared images below (see scaleSpaceLevel).
    HessianDetector *levels;

    // The kernels one level beyond the first and beyond the last (see "The
    // ends of the range"), at beyondSigmas[0] = sigma_0^2 / sigma_1 and
    // beyondSigmas[1] = sigma_(N-1)^2 / sigma_(N-2), one more step of a
    // log-spaced range. A radius of 0: no such level (a single level, or a
    // sigma too small for a kernel).
    HessianDetector beyond[2];
    float beyondSigmas[2];

    // The row-filtered images of the level computed last, as in a
    // single-scale record.
    unsigned char *gaussRows;
    signed char *d1Rows;
    signed char *d2Rows;

    // Two response maps, level i in responses[i % 2]; each width * height
    // floats followed by the vector path's scratch for the widest level.
    float *responses[2];
};

// Sets the record up for N = levelCount scales from sigmaMin to sigmaMax,
// sigma_i = sigmaMin * (sigmaMax / sigmaMin)^(i / (N - 1)), rounded to
// float, the first and last exactly sigmaMin and sigmaMax. N = 1 needs
// sigmaMin == sigmaMax; more levels need sigmaMin < sigmaMax and distinct
// floats for all of them (HESSIAN_BAD_SIGMA otherwise). Any status of
// initHessianDetector for a level's sigma is passed on. The record must be
// all zero; on failure nothing stays allocated.
int initHessianScaleSpace(HessianScaleSpace *space, float sigmaMin, float sigmaMax,
                          uint32_t levelCount, uint32_t width, uint32_t height);

// The same for levels at the `levelCount` sigmas given, which must be
// positive, finite and increasing (HESSIAN_BAD_SIGMA otherwise); their
// scale refinement takes each level's own steps in log sigma.
int initHessianScaleSpaceAt(HessianScaleSpace *space, const float *sigmas, uint32_t levelCount, uint32_t width,
                            uint32_t height);

// The padding around a picture that lets a run search every pixel of it at
// every level and refine the scale of the end levels' features there:
// r_(N-1) + 1, or the radius of the level beyond the last when that is
// larger. For a record set up (for any size).
uint32_t scaleSpaceMargin(const HessianScaleSpace *space);

// The response at pixel (x, y) of `grey` (width x height, stride width) of
// a record's kernels, computed for that pixel alone, bit for bit the value
// its response map holds there: r <= x < width - r, r <= y < height - r.
// `scratch` holds 3 (2r + 1) bytes.
float responseAtPixel(const HessianDetector *kernels, const unsigned char *grey, uint32_t width, uint32_t x,
                      uint32_t y, unsigned char *scratch);

// Frees everything the record owns and zeroes all its fields.
int releaseHessianScaleSpace(HessianScaleSpace *space);

// Level i as a single-scale record: its radius and kernels, the shared row
// images and its response map. It owns nothing: never release it. Computing
// it overwrites the row images and the response map of level i - 2.
HessianDetector scaleSpaceLevel(const HessianScaleSpace *space, uint32_t level);

// The maxima in position and scale of the response to `grey` (width *
// height bytes) above `threshold`, by the rule above, in row-major order
// and, at one pixel, in increasing scale. measures[i] belongs to
// features[i]: position and response as the single-scale measurement at the
// feature's level, and sigma refined by the vertex of a parabola in
// log sigma through the responses at the feature's pixel in the levels
// before and after it, the levels beyond the ends included (the level's own
// sigma where there is none, or where the end level's feature does not
// beat the level beyond). With one level, features and measures are
// exactly the single-scale run's. The responses and maxima run on `config`'s path.
// Sub-pixel positions are given in the picture the frame is a tile of.
int findScaleSpaceMaxima(HessianScaleSpace *space, const unsigned char *grey, float threshold,
                         const HessianRunConfig &config, QVector<Feature> &features,
                         QVector<FeatureMeasure> &measures, FrameOrigin origin = FrameOrigin());

// The radius of the blob a feature at scale sigma stands for, as the overlap
// pruning of scale-range runs sees it (and their circles show it): a flat
// disc of radius R peaks at sigma = R / sqrt(2), a Gaussian spot of
// standard deviation s at sigma = s.
const double kBlobRadiusPerSigma = 1.4142135623730951;

// The fraction by which two blobs overlap: the area of the intersection of
// two discs over the area of the smaller one, 0 to 1.
double blobOverlap(double x1, double y1, double radius1, double x2, double y2, double radius2);

// Of any two features whose blobs, discs of radius radiusPerSigma * sigma
// around their sub-pixel positions, overlap by more than `overlap`, keeps
// the one with the larger response. Greedy, strongest first (on equal
// responses the one earlier in the list goes first): a feature is dropped
// when a feature already kept overlaps it. The kept features stay in their
// order, so the result does not depend on how the list was gathered once it
// is in row-major, then scale order. An overlap of 1 or more keeps all.
// Returns 0, or HESSIAN_NO_MEMORY with the lists unchanged.
int pruneOverlappingFeatures(QVector<Feature> &features, QVector<FeatureMeasure> &measures,
                             double overlap, double radiusPerSigma);

#endif // SCALESPACE_H
