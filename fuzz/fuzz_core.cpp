// Fuzzes the detection core through its public entry points: any image size
// up to 200 x 200, any sigma bit pattern, any threshold, any pixels. Besides
// the sanitizers it checks what callers rely on: the status codes, the
// region the response fills, agreement of computeHessianResponse with the
// plain row and column passes, and the maxima list against a direct search.

#include "hessiandetector.h"
#include "localmaxima.h"

#include <fuzzer/FuzzedDataProvider.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <vector>

namespace {

const uint32_t kMaxSide = 200;

// Sigmas up to this build kernels of about 10^5 taps at most, which is
// quick. Larger finite ones the core accepts (up to about 5.6e6, 2^24 taps)
// are folded below it so that one execution stays fast; larger still and
// non-finite ones are refused by the core and kept.
const float kMaxCheapSigma = 30000.0f;
const float kFirstRefusedSigma = 6.0e6f;

// The smallest sigma every kernel builder accepts with margin to spare;
// below it the derivative kernels may underflow and be refused.
const float kSurelyBuildableSigma = 0.25f;

void check(bool condition, const char *what)
{
    if (!condition) {
        std::fprintf(stderr, "fuzz_core: broken: %s\n", what);
        std::abort();
    }
}

float floatFromBits(uint32_t bits)
{
    float value;
    std::memcpy(&value, &bits, sizeof value);
    return value;
}

uint32_t bitsOf(float value)
{
    uint32_t bits;
    std::memcpy(&bits, &value, sizeof bits);
    return bits;
}

float pickSigma(FuzzedDataProvider &input)
{
    switch (input.ConsumeIntegralInRange<int>(0, 7)) {
    case 0: {
        float sigma = floatFromBits(input.ConsumeIntegral<uint32_t>());
        if (sigma > kMaxCheapSigma && sigma < kFirstRefusedSigma)
            sigma = std::fmod(sigma, kMaxCheapSigma);
        return sigma;
    }
    case 1: {
        static const float special[] = {
            0.0f, -0.0f, std::numeric_limits<float>::denorm_min(),
            std::numeric_limits<float>::min(), 1e-3f, 0.05f, 0.07f, 0.0708f, 0.1f,
            0.5f, 1.0f, -1.0f, -std::numeric_limits<float>::min(),
            std::numeric_limits<float>::quiet_NaN(), -std::numeric_limits<float>::quiet_NaN(),
            std::numeric_limits<float>::infinity(), -std::numeric_limits<float>::infinity(),
            kFirstRefusedSigma, 1e10f, std::numeric_limits<float>::max()};
        return special[input.ConsumeIntegralInRange<size_t>(0, sizeof special / sizeof *special - 1)];
    }
    case 2:
        return input.ConsumeFloatingPointInRange<float>(0.0f, 50.0f);
    case 3:
        return input.ConsumeFloatingPointInRange<float>(0.0f, 10.0f);
    default:
        // Small kernels keep most executions fast.
        return input.ConsumeFloatingPointInRange<float>(0.0f, 4.0f);
    }
}

float pickThreshold(FuzzedDataProvider &input)
{
    if (input.ConsumeBool())
        return floatFromBits(input.ConsumeIntegral<uint32_t>());
    return input.ConsumeFloatingPointInRange<float>(-1000.0f, 1000.0f);
}

bool knownStatus(int status)
{
    return status <= HESSIAN_OK && status >= HESSIAN_NO_MEMORY;
}

bool allZero(const HessianDetector &detector)
{
    static const HessianDetector zero = {};
    return std::memcmp(&detector, &zero, sizeof detector) == 0;
}

bool inValidRegion(uint32_t x, uint32_t y, const HessianDetector &d)
{
    return x >= d.radius && (uint64_t)x + d.radius < d.width && y >= d.radius
           && (uint64_t)y + d.radius < d.height;
}

void checkKernels(const HessianDetector &d)
{
    const size_t taps = 2 * (size_t)d.radius + 1;
    for (size_t k = 0; k < taps; ++k) {
        check(std::isfinite(d.gaussKernel[k]), "Gaussian tap not finite");
        check(std::isfinite(d.d1Kernel[k]), "first-derivative tap not finite");
        check(std::isfinite(d.d2Kernel[k]), "second-derivative tap not finite");
    }
}

// The maxima by their definition, written independently of the core: every
// pixel at least radius + 1 from each border, strictly above its eight
// neighbours and the threshold, in row-major order.
std::vector<Feature> directMaxima(const float *response, const HessianDetector &d, float threshold)
{
    std::vector<Feature> found;
    const int64_t margin = (int64_t)d.radius + 1;
    const int64_t width = d.width;
    for (int64_t y = margin; y < (int64_t)d.height - margin; ++y)
        for (int64_t x = margin; x < width - margin; ++x) {
            const float c = response[y * width + x];
            bool strict = c > threshold;
            for (int64_t dy = -1; dy <= 1 && strict; ++dy)
                for (int64_t dx = -1; dx <= 1 && strict; ++dx)
                    if (dx != 0 || dy != 0)
                        strict = c > response[(y + dy) * width + (x + dx)];
            if (strict)
                found.push_back(Feature{(float)x, (float)y});
        }
    return found;
}

// The three row passes and the column pass called one by one: the plain
// loops every faster path must agree with bit for bit.
void plainResponse(HessianDetector *d, const unsigned char *grey)
{
    check(filterRows(grey, d->gaussRows, d->width, d->height, d->gaussKernel, d->radius) == HESSIAN_OK,
          "Gaussian row pass failed");
    check(filterRows(grey, (unsigned char *)d->d1Rows, d->width, d->height, d->d1Kernel, d->radius)
              == HESSIAN_OK,
          "first-derivative row pass failed");
    check(filterRows(grey, (unsigned char *)d->d2Rows, d->width, d->height, d->d2Kernel, d->radius)
              == HESSIAN_OK,
          "second-derivative row pass failed");
    check(computeDeterminant(d) == HESSIAN_OK, "column pass failed");
}

// Fills what the core allocated but has not written, so that reading or
// writing outside the documented regions shows.
void poison(HessianDetector *d, unsigned char rowByte, uint32_t responseBits)
{
    const size_t pixels = (size_t)d->width * d->height;
    std::memset(d->gaussRows, rowByte, pixels);
    std::memset(d->d1Rows, rowByte, pixels);
    std::memset(d->d2Rows, rowByte, pixels);
    const float sentinel = floatFromBits(responseBits);
    for (size_t i = 0; i < pixels; ++i)
        d->response[i] = sentinel;
}

const uint32_t kSentinelBits = 0x7fc0dead;  // a quiet NaN with a payload
const uint32_t kOtherSentinelBits = 0xffc0beef;

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    FuzzedDataProvider input(data, size);
    const uint32_t width = input.ConsumeIntegralInRange<uint32_t>(0, kMaxSide);
    const uint32_t height = input.ConsumeIntegralInRange<uint32_t>(0, kMaxSide);
    const float sigma = pickSigma(input);
    const float threshold = pickThreshold(input);
    const std::vector<uint8_t> bytes = input.ConsumeRemainingBytes<uint8_t>();

    // For replaying one input: what it decodes to.
    static const bool verbose = std::getenv("HESSIAN_FUZZ_VERBOSE") != nullptr;
    if (verbose)
        std::fprintf(stderr, "fuzz_core: %u x %u, sigma %a (%g), threshold %g, %zu pixel bytes\n",
                     width, height, (double)sigma, (double)sigma, (double)threshold, bytes.size());

    const size_t pixels = (size_t)width * height;
    std::vector<unsigned char> grey(pixels ? pixels : 1, 0);
    for (size_t i = 0; i < pixels && !bytes.empty(); ++i)
        grey[i] = bytes[i % bytes.size()];

    HessianDetector detector = {};
    const int status = initHessianDetector(&detector, sigma, width, height);
    check(knownStatus(status), "unknown status from set-up");
    if (!(sigma >= 0.0f) || sigma >= kFirstRefusedSigma)
        check(status == HESSIAN_BAD_SIGMA, "a negative, NaN or too large sigma was not refused");
    else if (sigma >= kSurelyBuildableSigma && sigma <= kMaxCheapSigma)
        check(status == HESSIAN_OK, "a usable sigma was refused");
    check(status != HESSIAN_NO_MEMORY, "out of memory on a small image");
    if (status != HESSIAN_OK) {
        check(allZero(detector), "a failed set-up left something in the record");
        return 0;
    }

    check(detector.width == width && detector.height == height, "record has the wrong size");
    check(detector.radius >= 1 && (double)detector.radius >= 2.0 * sigma
              && (double)detector.radius <= 3.0 * sigma + 1.0,
          "radius out of proportion to sigma");
    checkKernels(detector);

    poison(&detector, 0x80, kSentinelBits);
    check(computeHessianResponse(&detector, grey.data()) == HESSIAN_OK, "response failed");

    HessianDetector plain = {};
    check(initHessianDetector(&plain, sigma, width, height) == HESSIAN_OK, "second set-up failed");
    poison(&plain, 0x7f, kOtherSentinelBits);
    plainResponse(&plain, grey.data());

    for (uint32_t y = 0; y < height; ++y)
        for (uint32_t x = 0; x < width; ++x) {
            const size_t i = (size_t)y * width + x;
            const float r = detector.response[i];
            if (inValidRegion(x, y, detector)) {
                check(std::isfinite(r), "response not finite in the valid region");
                check(bitsOf(r) == bitsOf(plain.response[i]),
                      "response differs from the plain row and column passes");
                check(detector.d1Rows[i] >= -127 && detector.d2Rows[i] >= -127,
                      "derivative row value outside -127..127");
            } else {
                check(bitsOf(r) == kSentinelBits, "response written outside the valid region");
            }
        }
    releaseHessianDetector(&plain);

    QVector<Feature> features;
    features.append(Feature{-1.0f, -1.0f});  // must be emptied first
    check(findLocalMaxima(detector.response, width, height, threshold, detector.radius, features)
              == HESSIAN_OK,
          "maxima search failed");
    const std::vector<Feature> expected = directMaxima(detector.response, detector, threshold);
    check((size_t)features.size() == expected.size(), "wrong number of maxima");
    for (size_t i = 0; i < expected.size(); ++i)
        check(features[(int)i].x == expected[i].x && features[(int)i].y == expected[i].y,
              "wrong maximum, or maxima out of row-major order");

    check(releaseHessianDetector(&detector) == HESSIAN_OK && allZero(detector),
          "release left something in the record");
    return 0;
}
