#ifndef DETECTIONRESULT_H
#define DETECTIONRESULT_H

#include "featuremeasures.h"
#include "localmaxima.h"

#include <QVector>

#include <cstdint>

// What one detection run hands back, by value: to the window's GUI thread
// (as HessianMaximaMainWin::_HessianDetMaxResult), to the command line and
// to Python.
struct DetectionResult {
    QVector<Feature> features;  // empty unless status is 0
    int32_t status;             // 0, or the failing step's negative code
    float elapsedMsec;          // response + maxima search, fractional ms
    // measures[i] belongs to features[i]; measured after the timed span.
    QVector<FeatureMeasure> measures;
    // When asked for: the responses of the features the same run would
    // keep at any lower threshold (down to 0), ascending; read after the
    // timed span. A threshold t keeps those above t.
    QVector<float> candidateResponses = {};
};

#endif // DETECTIONRESULT_H
