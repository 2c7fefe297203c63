#ifndef REFERENCELOOPS_H
#define REFERENCELOOPS_H

// The straightforward single-threaded loops: the definition of every result.
// The dispatcher (detectionpaths.h) runs them or the vector code, which must
// give the same bits; tests and the benchmark hold the two together.

#include "hessiandetector.h"
#include "localmaxima.h"

#include <QVector>

#include <cstddef>
#include <cstdint>

int computeHessianResponseReference(HessianDetector *detector, const unsigned char *grey);
int findLocalMaximaReference(const float *response, uint32_t width, uint32_t height,
                             float threshold, uint32_t radius, QVector<Feature> &features);
int convertRgb32ToGreyReference(const uint32_t *pixels, size_t pixelsPerLine, uint32_t width,
                                uint32_t height, unsigned char *grey);

#endif // REFERENCELOOPS_H
