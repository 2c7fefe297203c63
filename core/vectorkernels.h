#ifndef VECTORKERNELS_H
#define VECTORKERNELS_H

// The vector code of one instruction set, as plain functions over a band of
// rows. Each function allocates nothing (scratch is handed in), touches only
// the rows of its band (and reads their neighbours), and may run on any
// thread at the same time as the others on disjoint bands.

#include "hessiandetector.h"
#include "localmaxima.h"

#include <QVector>

#include <cstddef>
#include <cstdint>

struct VectorKernels {
    int64_t target;  // Highway's target bit

    // The floats of scratch that one thread needs for the two passes below on
    // a width x height frame at this radius: a multiple of 16.
    size_t (*scratchFloats)(uint32_t width, uint32_t height, uint32_t radius);

    // The three row passes of rows firstRow <= y < endRow. Needs width > 2r.
    // `scratch`: scratchFloats() floats, aligned to 64 bytes, this thread's.
    int (*rowPasses)(const HessianDetector *detector, const unsigned char *grey,
                     uint32_t firstRow, uint32_t endRow, float *scratch);

    // The fused column pass of output rows firstRow <= y < endRow, all inside
    // r <= y < height - r, once the row passes of rows y - r .. y + r are done.
    // `scratch` as above. It goes down in blocks of `columnRows` rows; a band
    // of another length ends with slower single rows.
    int (*columnPass)(const HessianDetector *detector, uint32_t firstRow, uint32_t endRow,
                      float *scratch);
    uint32_t columnRows;

    // Appends the maxima of rows firstRow <= y < endRow, examined columns
    // margin <= x < width - margin, to `features` in row-major order.
    void (*maximaRows)(const float *response, uint32_t width, uint32_t firstRow, uint32_t endRow,
                       uint32_t margin, float threshold, QVector<Feature> &features);
    // The same for a scale-space level, a tie going to the first pixel
    // (levelmaxima.h).
    void (*levelMaximaRows)(const float *response, uint32_t width, uint32_t firstRow, uint32_t endRow,
                            uint32_t margin, float threshold, QVector<Feature> &features);

    // The grey levels of rows firstRow <= y < endRow of 32-bit pixels (see
    // greyconversion.h), rows `pixelsPerLine` pixels apart, into `grey`
    // (stride width).
    void (*greyRows)(const uint32_t *pixels, size_t pixelsPerLine, uint32_t width,
                     uint32_t firstRow, uint32_t endRow, unsigned char *grey);

    // `rounds` rounds of separate vector multiplies and adds in independent
    // chains, the most this code can do per cycle; returns how many pairs of
    // one multiply and one add of a lane that was. `sink` keeps the result.
    double (*mulAddPairs)(size_t rounds, float *sink);
};

// The compiled instruction sets, best first, whether or not this processor
// runs them.
size_t compiledVectorKernelCount();
const VectorKernels &compiledVectorKernels(size_t index);

#endif // VECTORKERNELS_H
