#ifndef FEATUREMEASURES_H
#define FEATUREMEASURES_H

// What is known of each feature beyond its pixel, measured after a run from
// what the run left in the detector record: the response map and the three
// row-filtered images. Nothing here changes the features or their order.

#include "hessiandetector.h"
#include "localmaxima.h"

#include <QVector>

#include <cstdint>

// Bright features lie on blobs lighter than their surroundings (Dxx + Dyy
// is negative there), dark ones on darker blobs; the determinant itself is
// positive on both.
const int8_t FEATURE_BRIGHT = 1;
const int8_t FEATURE_DARK = -1;

struct FeatureMeasure {
    float xSubpixel;  // x plus the vertex of a parabola through the responses at x-1, x, x+1
    float ySubpixel;  // y likewise, through y-1, y, y+1
    float sigma;      // the scale the feature stands for
    float response;   // the response at the feature's pixel
    int8_t polarity;  // FEATURE_BRIGHT or FEATURE_DARK
};

// Where a frame lies in a larger picture that it is a tile of, or in the
// picture it was padded from: the position of its top-left pixel there
// (negative for a padded frame, whose top-left pixel lies outside the
// picture). Sub-pixel positions are given in that picture and rounded to
// float once, so that a tile's features measure exactly as the whole
// picture's do (rounding a tile's own position and then moving it would
// round twice).
struct FrameOrigin {
    int64_t x = 0;
    int64_t y = 0;
};

// The vertex of the parabola through (-1, before), (0, centre), (1, after):
// (before - after) / (2 (before - 2 centre + after)), in double, clamped to
// -0.5 .. 0.5 (0 when it is not a number). For a strict maximum it lies
// inside that range anyway; the clamp guards against rounding.
double parabolaVertexOffset(float before, float centre, float after);

// FEATURE_BRIGHT when Dxx + Dyy < 0 at pixel (x, y), FEATURE_DARK otherwise:
// the column pass's sums recomputed for that one pixel from the row images
// the last compute left in the record. (x, y) must lie in the valid region.
int8_t featurePolarity(const HessianDetector *detector, uint32_t x, uint32_t y);

// Fills measures[i] for features[i] of a single-scale run at `sigma`, from
// the record as the run left it. The features must come from the maxima
// search on its response map (so their neighbours lie in the valid region).
// Sub-pixel positions are given in the picture the frame is a tile of.
// Returns 0, or HESSIAN_BAD_SIGMA for a record that is not set up.
int measureFeatures(const HessianDetector *detector, float sigma, const QVector<Feature> &features,
                    FeatureMeasure *measures, FrameOrigin origin = FrameOrigin());

// Keeps features[i] and measures[i] together where keep(i) is true, in
// their order.
template <class Keep>
void keepFeaturesWhere(QVector<Feature> &features, QVector<FeatureMeasure> &measures, Keep keep)
{
    int kept = 0;
    for (int i = 0; i < features.size(); ++i) {
        if (!keep(i))
            continue;
        features[kept] = features[i];
        measures[kept] = measures[i];
        ++kept;
    }
    features.resize(kept);
    measures.resize(kept);
}

#endif // FEATUREMEASURES_H
