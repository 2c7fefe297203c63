#ifndef HESSIANDETECTOR_H
#define HESSIANDETECTOR_H

#include <cstddef>
#include <cstdint>

// Status codes of the detection core. Zero is success; every failure is a
// distinct negative value so that callers can pass it on unchanged.
enum HessianStatus {
    HESSIAN_OK = 0,
    HESSIAN_BAD_SIGMA = -1,      // negative sigma, or a detector that is not set up
    HESSIAN_BAD_GAUSS = -2,      // the Gaussian kernel cannot be built
    HESSIAN_BAD_D1 = -3,         // the first-derivative kernel cannot be built
    HESSIAN_BAD_D2 = -4,         // the second-derivative kernel cannot be built
    HESSIAN_NO_MEMORY = -5       // an allocation failed or a size does not fit
};

// The context of one detection run. The caller owns the record and
// zero-fills it before initHessianDetector; between a successful set-up and
// releaseHessianDetector the record owns every array below (malloc'ed).
//
// All image buffers are row-major with a stride of exactly `width` elements:
// pixel (x, y) is element y * width + x.
struct HessianDetector {
    uint32_t width;    // image width in pixels
    uint32_t height;   // image height in pixels
    uint32_t radius;   // kernel half-width r; 0 means "not set up"

    float *gaussKernel;  // 2r+1 taps, normalised Gaussian (sums to 1)
    float *d1Kernel;     // 2r+1 taps, first derivative (halves sum to +-0.5)
    float *d2Kernel;     // 2r+1 taps, second derivative (halves sum to +-0.5)

    // Row-filtered images, one byte per pixel. Only the columns
    // r <= x < width - r are written or read.
    unsigned char *gaussRows;  // Gaussian row pass, 0..255
    signed char *d1Rows;       // first-derivative row pass, -127..127
    signed char *d2Rows;       // second-derivative row pass, -127..127

    // Determinant-of-Hessian response. Only the valid region
    // r <= x < width - r, r <= y < height - r is ever written.
    float *response;

    // What the buffers hold as allocated: bytes of each row image, floats
    // of the response map with the vector path's scratch behind it. A
    // set-up for another sigma or a smaller frame reuses them.
    size_t rowCapacity;
    size_t responseCapacity;
};

// Sets the record up for width x height images at scale sigma. The record
// must be all zero. On failure nothing stays allocated.
int initHessianDetector(HessianDetector *detector, float sigma, uint32_t width, uint32_t height);

// Sets up again a record that is set up (or all zero), as
// initHessianDetector would, keeping its buffers where they hold the new
// size: another sigma, or a frame of no more pixels, maps no memory (fresh
// pages cost the system more than a run on them). Only the kernels are
// built anew. On failure nothing stays allocated.
int reinitHessianDetector(HessianDetector *detector, float sigma, uint32_t width, uint32_t height);

// Fills the valid region of `response` from width * height grey bytes.
int computeHessianResponse(HessianDetector *detector, const unsigned char *grey);

// Frees everything the record owns and zeroes all its fields.
int releaseHessianDetector(HessianDetector *detector);

// A buffer for a whole frame of `bytes`, from the C heap (free() frees it),
// as set-up allocates its own. Null when memory is short.
void *allocateFrameBuffer(size_t bytes);

// The same with every page already mapped, so that a timed run does not
// stop for the system to map them.
void *allocateMappedFrameBuffer(size_t bytes);

// Kernel builders: a new malloc'ed array of 2r+1 taps, or null when the
// parameters are rejected (or memory is short). Tap k weights the sample at
// offset k - r; kernels are applied as correlation.
float *makeGaussianKernel(float sigma, int radius);
float *makeGaussianD1Kernel(float sigma, int radius);
float *makeGaussianD2Kernel(float sigma, int radius);

// One row pass: every row of `src` correlated with `kernel`, each result
// truncated toward zero and its low eight bits stored in `dst`.
int filterRows(const unsigned char *src, unsigned char *dst, uint32_t width, uint32_t height,
               const float *kernel, uint32_t radius);

// The fused column pass: the three row images filtered down the columns and
// combined into the weighted determinant, written to `response`.
int computeDeterminant(HessianDetector *detector);

#endif // HESSIANDETECTOR_H
