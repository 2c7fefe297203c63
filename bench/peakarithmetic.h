#ifndef PEAKARITHMETIC_H
#define PEAKARITHMETIC_H

#include <cstddef>
#include <cstdint>

struct PeakKernel {
    int64_t target;  // Highway's target bit
    // Runs `rounds` rounds of separate multiplies and adds; returns how many
    // multiply-add pairs that was. `sink` keeps the result alive.
    double (*mulAddPairs)(size_t rounds, float *sink);
};

// The kernel compiled for that instruction set, or null.
const PeakKernel *peakKernelFor(int64_t target);

#endif // PEAKARITHMETIC_H
