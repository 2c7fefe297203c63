#ifndef LEVELMAXIMA_H
#define LEVELMAXIMA_H

// The maxima search within one level of a scale space: the single-scale
// search's 8-neighbour test, except that a tie goes to the first pixel in
// row-major order (see scalespace.h).

#include "detectionpaths.h"
#include "localmaxima.h"

#include <QVector>

#include <cstddef>
#include <cstdint>

// Whether centre[0] beats its eight neighbours (rows `stride` floats apart)
// and the threshold: strictly greater than the four neighbours before it in
// row-major order, at least as great as the four after it. A NaN anywhere
// fails.
inline bool isFirstOfEqualMaxima(const float *centre, size_t stride, float threshold)
{
    const float c = centre[0];
    const float *up = centre - stride;
    const float *down = centre + stride;
    return c > threshold && c > up[-1] && c > up[0] && c > up[1] && c > centre[-1] && c >= centre[1]
           && c >= down[-1] && c >= down[0] && c >= down[1];
}

// Appends those pixels of rows firstRow <= y < endRow, columns
// margin <= x < width - margin, to `features` in row-major order: the
// straightforward loop.
void levelMaximaRowsReference(const float *response, uint32_t width, uint32_t firstRow, uint32_t endRow,
                              uint32_t margin, float threshold, QVector<Feature> &features);

// Those pixels at least radius + 1 from every border of a width x height
// map (features emptied first), on `config`'s path as findLocalMaximaWith
// runs its search. The comparisons are exact, so every instruction set finds
// what the loop finds.
int findLevelMaximaWith(const float *response, uint32_t width, uint32_t height, float threshold,
                        uint32_t radius, QVector<Feature> &features, const HessianRunConfig &config);

#endif // LEVELMAXIMA_H
