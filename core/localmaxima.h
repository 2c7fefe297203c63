#ifndef LOCALMAXIMA_H
#define LOCALMAXIMA_H

#include <QVector>

#include <cstdint>

// One detected point in frame pixel coordinates: x is the column (0 at the
// left), y the row (0 at the top). Both hold whole numbers.
struct Feature {
    float x;
    float y;
};

// Appends to `features` (emptied first) every pixel at least radius + 1
// pixels from each border whose response is strictly greater than each of
// its eight neighbours and strictly greater than `threshold`, in row-major
// order. `response` holds width * height floats, stride width, computed on
// radius <= x < width - radius, radius <= y < height - radius.
// Returns 0, or HESSIAN_NO_MEMORY (with `features` empty) when the list
// cannot grow.
int findLocalMaxima(const float *response, uint32_t width, uint32_t height, float threshold,
                    uint32_t radius, QVector<Feature> &features);

#endif // LOCALMAXIMA_H
