// Determinant-of-Hessian response at one Gaussian scale, by separable
// filtering: three row passes into byte images, then one fused column pass.
//
// Every operation below is single-precision and rounds after each product
// and each sum, in the order written; this file must be compiled without
// contraction into fused multiply-add (-ffp-contract=off) and without
// fast-math, or the results change in the last bit.

#include "hessiandetector.h"

#include "pixelarithmetic.h"
#include "referenceloops.h"
#include "vectorscratch.h"

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#if defined(__linux__)
#include <sys/mman.h>
#endif

namespace {

// Tap positions are converted to float; beyond 2^24 that conversion is no
// longer exact, and no image can use a kernel that wide anyway.
const double kMaxRadius = 16777216.0;

// g(i) = exp(-0.5 (i / sigma)^2): quotient and square in float, the
// exponential in double, rounded back to float.
float gaussianSample(int i, float sigma)
{
    float q = (float)i / sigma;
    q = q * q;
    q = q * -0.5f;
    return (float)std::exp((double)q);
}

// The test that all three builders share (written so that NaN fails).
bool kernelParametersAccepted(float sigma, int radius)
{
    if (!(sigma > 0.0f))
        return false;
    if (2.0 * (double)sigma > (double)radius)
        return false;
    return radius >= 1;
}

// Why a builder gave no kernel: its parameters were rejected, or memory ran
// out. Set-up reports the two differently.
enum BuildFailure { BUILD_REJECTED, BUILD_NO_MEMORY };

float *allocateTaps(int radius, BuildFailure *failure)
{
    float *taps = (float *)std::calloc((size_t)(2 * (int64_t)radius + 1), sizeof(float));
    if (!taps)
        *failure = BUILD_NO_MEMORY;
    return taps;
}

float *buildGaussianKernel(float sigma, int radius, BuildFailure *failure)
{
    *failure = BUILD_REJECTED;
    if (!kernelParametersAccepted(sigma, radius))
        return nullptr;
    float *kernel = allocateTaps(radius, failure);
    if (!kernel)
        return nullptr;

    float sum = 0.0f;
    for (int i = -radius; i <= radius; ++i) {
        const float g = gaussianSample(i, sigma);
        kernel[i + radius] = g;
        sum = sum + g;
    }
    // A division per tap, not a multiplication by 1/sum: the two round
    // differently.
    for (int k = 0; k <= 2 * radius; ++k)
        kernel[k] = kernel[k] / sum;
    return kernel;
}

// Taps before the centre are positive, after it their exact negatives, so a
// signal rising to the right filters to a negative value. Each half sums to
// 0.5 in magnitude, which keeps row results within a signed byte.
float *buildGaussianD1Kernel(float sigma, int radius, BuildFailure *failure)
{
    *failure = BUILD_REJECTED;
    if (!kernelParametersAccepted(sigma, radius))
        return nullptr;
    float *kernel = allocateTaps(radius, failure);
    if (!kernel)
        return nullptr;

    float sum = 0.0f;
    for (int i = 1; i <= radius; ++i) {
        const float v = gaussianSample(i, sigma) * (float)i;
        kernel[radius - i] = v;
        sum = v + sum;
    }
    const float scale = 0.5f / sum;
    // For sigma below about 0.07 every g(i), i != 0, underflows to zero and
    // the scale is infinite: the taps would not be numbers.
    if (!std::isfinite(scale)) {
        std::free(kernel);
        *failure = BUILD_REJECTED;
        return nullptr;
    }
    kernel[radius] = 0.0f;
    for (int i = 1; i <= radius; ++i) {
        const float v = kernel[radius - i] * scale;
        kernel[radius - i] = v;
        kernel[radius + i] = -v;
    }
    return kernel;
}

// g(i) (i^2 - sigma^2), with positive and negative taps scaled separately so
// that each side sums to 0.5 in magnitude and the kernel to zero.
float *buildGaussianD2Kernel(float sigma, int radius, BuildFailure *failure)
{
    *failure = BUILD_REJECTED;
    if (!kernelParametersAccepted(sigma, radius))
        return nullptr;
    float *kernel = allocateTaps(radius, failure);
    if (!kernel)
        return nullptr;

    const float sigma2 = sigma * sigma;
    float positive = 0.0f;
    float negative = 0.0f;  // exact zeros count here
    for (int i = -radius; i <= radius; ++i) {
        const float d = (float)i * (float)i - sigma2;
        const float v = gaussianSample(i, sigma) * d;
        kernel[i + radius] = v;
        if (v > 0.0f)
            positive = v + positive;
        else
            negative = v + negative;
    }
    const float positiveScale = 0.5f / positive;
    const float negativeScale = -0.5f / negative;
    if (!std::isfinite(positiveScale) || !std::isfinite(negativeScale)) {
        std::free(kernel);
        *failure = BUILD_REJECTED;
        return nullptr;
    }
    for (int k = 0; k <= 2 * radius; ++k) {
        const float e = kernel[k];
        kernel[k] = e > 0.0f ? e * positiveScale : e * negativeScale;
    }
    return kernel;
}

// Set-up's status for a kernel that was not built.
int kernelFailureStatus(BuildFailure failure, int rejectedStatus)
{
    return failure == BUILD_NO_MEMORY ? HESSIAN_NO_MEMORY : rejectedStatus;
}

// Writes a byte in every page. Through a volatile pointer: a memset to zero
// right after malloc may be compiled into calloc, which maps nothing.
void touchPages(void *buffer, size_t bytes)
{
    const size_t kPage = 4096;  // the smallest page there is
    volatile unsigned char *const byte = static_cast<unsigned char *>(buffer);
    for (size_t i = 0; i < bytes; i += kPage)
        byte[i] = 0;
    if (bytes != 0)
        byte[bytes - 1] = 0;
}

} // namespace

float *makeGaussianKernel(float sigma, int radius)
{
    BuildFailure failure;
    return buildGaussianKernel(sigma, radius, &failure);
}

float *makeGaussianD1Kernel(float sigma, int radius)
{
    BuildFailure failure;
    return buildGaussianD1Kernel(sigma, radius, &failure);
}

float *makeGaussianD2Kernel(float sigma, int radius)
{
    BuildFailure failure;
    return buildGaussianD2Kernel(sigma, radius, &failure);
}

// Large buffers are aligned to 2 MiB and offered huge pages where the
// system has them: mapping a frame's buffers 4 KiB at a time costs a page
// fault each, thousands in all, more than the run itself on a 1080p frame.
void *allocateFrameBuffer(size_t bytes)
{
#if defined(__linux__) && defined(MADV_HUGEPAGE)
    const size_t kHugePage = size_t(2) << 20;
    if (bytes >= kHugePage / 2 && bytes <= SIZE_MAX - kHugePage) {
        // Whole huge pages, so that the last one is not shared with
        // whatever the allocator puts behind it.
        const size_t rounded = (bytes + kHugePage - 1) & ~(kHugePage - 1);
        void *buffer = nullptr;
        if (posix_memalign(&buffer, kHugePage, rounded) != 0)
            return nullptr;
        madvise(buffer, rounded, MADV_HUGEPAGE);  // advice only: failure is harmless
        return buffer;
    }
#endif
    return std::malloc(bytes);
}

// Nothing reads a set-up buffer outside what compute writes, so its
// contents do not matter; its pages are written once here so that the
// system maps them now, as part of the allocation, and not in the middle of
// the timed compute (a page fault a page: about ten milliseconds for a
// 1280 x 720 frame).
void *allocateMappedFrameBuffer(size_t bytes)
{
    void *buffer = allocateFrameBuffer(bytes);
    if (buffer)
        touchPages(buffer, bytes);
    return buffer;
}

namespace {

// The kernel radius for sigma: floor(3 sigma + 0.5), t in float and the
// floor in double, 0 taken as 1.
int radiusFor(float sigma, uint32_t *radius)
{
    // Written so that NaN fails too.
    if (!(sigma >= 0.0f))
        return HESSIAN_BAD_SIGMA;
    const float t = sigma * 3.0f + 0.5f;
    const double radiusFloor = std::floor((double)t);
    if (!(radiusFloor <= kMaxRadius))
        return HESSIAN_BAD_SIGMA;
    *radius = radiusFloor < 1.0 ? 1 : (uint32_t)radiusFloor;
    return HESSIAN_OK;
}

// What the buffers of a width x height record at `radius` must hold: bytes
// of each row image (an empty image still gets a real one-byte block, so
// that null means failure), floats of the response map with the fast
// path's scratch behind it, so that a run allocates nothing. False when
// that does not fit in memory's sizes.
bool bufferSizes(uint32_t width, uint32_t height, uint32_t radius, size_t *bytes, size_t *responseFloats)
{
    // The response map is the largest buffer: 4 bytes a pixel must fit.
    const uint64_t pixels = (uint64_t)width * (uint64_t)height;
    if (pixels > SIZE_MAX / sizeof(float))
        return false;
    *bytes = pixels ? (size_t)pixels : 1;
    const size_t scratch = responseScratchFloats(width, height, radius);
    if (scratch > SIZE_MAX / sizeof(float) - *bytes)
        return false;
    *responseFloats = *bytes + scratch;
    return true;
}

// The record's three kernels for sigma at its radius; on failure the
// record is released.
int buildKernels(HessianDetector *detector, float sigma)
{
    const int radius = (int)detector->radius;
    BuildFailure failure;
    detector->gaussKernel = buildGaussianKernel(sigma, radius, &failure);
    if (!detector->gaussKernel) {
        releaseHessianDetector(detector);
        return kernelFailureStatus(failure, HESSIAN_BAD_GAUSS);
    }
    detector->d1Kernel = buildGaussianD1Kernel(sigma, radius, &failure);
    if (!detector->d1Kernel) {
        releaseHessianDetector(detector);
        return kernelFailureStatus(failure, HESSIAN_BAD_D1);
    }
    detector->d2Kernel = buildGaussianD2Kernel(sigma, radius, &failure);
    if (!detector->d2Kernel) {
        releaseHessianDetector(detector);
        return kernelFailureStatus(failure, HESSIAN_BAD_D2);
    }
    return HESSIAN_OK;
}

} // namespace

int initHessianDetector(HessianDetector *detector, float sigma, uint32_t width, uint32_t height)
{
    uint32_t radius = 0;
    const int status = radiusFor(sigma, &radius);
    if (status != HESSIAN_OK)
        return status;
    // The response map is the largest buffer: 4 bytes a pixel must fit.
    if ((uint64_t)width * (uint64_t)height > SIZE_MAX / sizeof(float))
        return HESSIAN_NO_MEMORY;

    detector->width = width;
    detector->height = height;
    detector->radius = radius;
    const int built = buildKernels(detector, sigma);
    if (built != HESSIAN_OK)
        return built;
    size_t bytes = 0, responseFloats = 0;
    if (!bufferSizes(width, height, radius, &bytes, &responseFloats)) {
        releaseHessianDetector(detector);
        return HESSIAN_NO_MEMORY;
    }
    detector->gaussRows = (unsigned char *)allocateMappedFrameBuffer(bytes);
    detector->d1Rows = (signed char *)allocateMappedFrameBuffer(bytes);
    detector->d2Rows = (signed char *)allocateMappedFrameBuffer(bytes);
    detector->response = (float *)allocateMappedFrameBuffer(responseFloats * sizeof(float));
    if (!detector->gaussRows || !detector->d1Rows || !detector->d2Rows || !detector->response) {
        releaseHessianDetector(detector);
        return HESSIAN_NO_MEMORY;
    }
    detector->rowCapacity = bytes;
    detector->responseCapacity = responseFloats;
    return HESSIAN_OK;
}

int reinitHessianDetector(HessianDetector *detector, float sigma, uint32_t width, uint32_t height)
{
    uint32_t radius = 0;
    size_t bytes = 0, responseFloats = 0;
    const bool fits = detector->radius != 0 && radiusFor(sigma, &radius) == HESSIAN_OK
                      && bufferSizes(width, height, radius, &bytes, &responseFloats)
                      && bytes <= detector->rowCapacity && responseFloats <= detector->responseCapacity;
    if (!fits) {
        releaseHessianDetector(detector);
        return initHessianDetector(detector, sigma, width, height);
    }
    std::free(detector->gaussKernel);
    std::free(detector->d1Kernel);
    std::free(detector->d2Kernel);
    detector->gaussKernel = detector->d1Kernel = detector->d2Kernel = nullptr;
    detector->width = width;
    detector->height = height;
    detector->radius = radius;
    return buildKernels(detector, sigma);
}

int computeHessianResponseReference(HessianDetector *detector, const unsigned char *grey)
{
    if (detector->radius == 0)
        return HESSIAN_BAD_SIGMA;

    int status = filterRows(grey, detector->gaussRows, detector->width, detector->height,
                            detector->gaussKernel, detector->radius);
    if (status != HESSIAN_OK)
        return status;
    status = filterRows(grey, (unsigned char *)detector->d1Rows, detector->width, detector->height,
                        detector->d1Kernel, detector->radius);
    if (status != HESSIAN_OK)
        return status;
    status = filterRows(grey, (unsigned char *)detector->d2Rows, detector->width, detector->height,
                        detector->d2Kernel, detector->radius);
    if (status != HESSIAN_OK)
        return status;
    return computeDeterminant(detector);
}

int releaseHessianDetector(HessianDetector *detector)
{
    std::free(detector->gaussKernel);
    std::free(detector->d1Kernel);
    std::free(detector->d2Kernel);
    std::free(detector->gaussRows);
    std::free(detector->d1Rows);
    std::free(detector->d2Rows);
    std::free(detector->response);
    std::memset(detector, 0, sizeof *detector);
    return HESSIAN_OK;
}

// acc = sum over k of src[x - r + k] * kernel[k], in increasing k, each
// product and sum rounded to float. The sum is truncated toward zero; the
// kernel normalisation guarantees it fits a byte (0..255 for the Gaussian,
// -127..127 for the derivatives), and the byte keeps its low eight bits.
int filterRows(const unsigned char *src, unsigned char *dst, uint32_t width, uint32_t height,
               const float *kernel, uint32_t radius)
{
    if ((uint64_t)width <= 2 * (uint64_t)radius)
        return HESSIAN_OK;

    const size_t taps = 2 * (size_t)radius + 1;
    for (uint32_t y = 0; y < height; ++y) {
        const unsigned char *srcRow = src + (size_t)y * width;
        unsigned char *dstRow = dst + (size_t)y * width;
        for (uint32_t x = radius; x < width - radius; ++x)
            dstRow[x] = rowPassPixel(srcRow + (x - radius), kernel, taps);
    }
    return HESSIAN_OK;
}

// For each pixel of the valid region, the three sums down column x from row
// y - r (see determinantPixel), then
//   response = (Dxx * 0.9367973) * Dyy - (Dxy * 0.4052847) * Dxy.
int computeDeterminant(HessianDetector *detector)
{
    const uint32_t width = detector->width;
    const uint32_t height = detector->height;
    const uint32_t radius = detector->radius;
    if ((uint64_t)height <= 2 * (uint64_t)radius || (uint64_t)width <= 2 * (uint64_t)radius)
        return HESSIAN_OK;

    const float *gaussKernel = detector->gaussKernel;
    const float *d1Kernel = detector->d1Kernel;
    const float *d2Kernel = detector->d2Kernel;
    const size_t taps = 2 * (size_t)radius + 1;
    const size_t stride = width;

    for (uint32_t y = radius; y < height - radius; ++y) {
        const size_t top = (size_t)(y - radius) * stride;
        for (uint32_t x = radius; x < width - radius; ++x)
            detector->response[(size_t)y * stride + x] = determinantPixel(
                detector->gaussRows + top + x, detector->d1Rows + top + x,
                detector->d2Rows + top + x, stride, gaussKernel, d1Kernel, d2Kernel, taps);
    }
    return HESSIAN_OK;
}
