// The vector path against the straightforward loops: every compiled
// instruction set, one thread and several, must give the very same bits.

#include "detectionpaths.h"
#include "hessiandetector.h"
#include "levelmaxima.h"
#include "localmaxima.h"
#include "parallelbands.h"

#include <QtTest>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <random>
#include <thread>
#include <vector>

#ifdef __linux__
#include <sys/resource.h>
#endif

namespace {

const float kSigmas[] = {0.1f, 0.5f, 1.0f, 2.0f, 2.5f, 3.3f, 5.0f, 7.75f, 10.0f, 17.0f, 30.0f};

// Bytes that no computed value is likely to equal, to see what was written.
const unsigned char kUntouchedByte = 0xA5;
const uint32_t kUntouchedFloatBits = 0x7FA5A5A5;  // a NaN

struct Size {
    uint32_t width;
    uint32_t height;
};

// Sizes 2r (nothing to compute) and 2r + 1 (one column or row), widths just
// past a vector (4, 8 and 16 lanes) and a column block, and frames large
// enough for several bands, tiles and row groups with ragged ends.
std::vector<Size> awkwardSizes(uint32_t radius)
{
    const uint32_t k = 2 * radius;
    return {{k, k + 3},      {k + 3, k},      {k + 1, k + 1},  {k + 2, k + 3},   {k + 3, k + 2},
            {k + 5, k + 9},  {k + 9, k + 17}, {k + 17, k + 7}, {k + 33, k + 13}, {k + 37, k + 101},
            {k + 131, k + 211}};
}

std::vector<unsigned char> randomImage(const Size &size, std::mt19937 &random)
{
    std::vector<unsigned char> grey((size_t)size.width * size.height);
    // Half plain noise, half smooth blobs with noise: extremes and real maxima.
    const bool blobs = random() % 2;
    std::uniform_int_distribution<int> byte(0, 255);
    for (uint32_t y = 0; y < size.height; ++y)
        for (uint32_t x = 0; x < size.width; ++x) {
            int value = byte(random);
            if (blobs)
                value = (int)(127.5 + 100.0 * std::sin(x * 0.37) * std::cos(y * 0.23)) + value / 8 - 16;
            grey[(size_t)y * size.width + x] = (unsigned char)std::min(255, std::max(0, value));
        }
    return grey;
}

// A detector whose buffers are filled with markers before each run.
struct Detector {
    HessianDetector record = {};
    int status;
    explicit Detector(float sigma, const Size &size)
        : status(initHessianDetector(&record, sigma, size.width, size.height))
    {
    }
    ~Detector() { releaseHessianDetector(&record); }
    size_t pixels() const { return (size_t)record.width * record.height; }
    void mark()
    {
        std::memset(record.gaussRows, kUntouchedByte, pixels());
        std::memset(record.d1Rows, kUntouchedByte, pixels());
        std::memset(record.d2Rows, kUntouchedByte, pixels());
        for (size_t i = 0; i < pixels(); ++i)
            std::memcpy(&record.response[i], &kUntouchedFloatBits, sizeof(float));
    }
};

// The response is written on the pixels at least r from every edge, and
// nowhere else.
bool writesExactlyTheValidRegion(const HessianDetector &record)
{
    const uint32_t r = record.radius;
    for (uint32_t y = 0; y < record.height; ++y)
        for (uint32_t x = 0; x < record.width; ++x) {
            uint32_t bits;
            std::memcpy(&bits, &record.response[(size_t)y * record.width + x], sizeof bits);
            const bool valid = x >= r && x + r < record.width && y >= r && y + r < record.height;
            if (valid == (bits == kUntouchedFloatBits))
                return false;
        }
    return true;
}

QString describe(const char *what, float sigma, const Size &size, const VectorTarget &target,
                 unsigned threads)
{
    return QStringLiteral("%1 differs: sigma %2, %3 x %4, %5, %6 thread(s)")
        .arg(QLatin1String(what))
        .arg(sigma)
        .arg(size.width)
        .arg(size.height)
        .arg(QLatin1String(target.name))
        .arg(threads);
}

bool sameFeatures(const QVector<Feature> &a, const QVector<Feature> &b)
{
    return a.size() == b.size()
           && std::memcmp(a.constData(), b.constData(), (size_t)a.size() * sizeof(Feature)) == 0;
}

HessianRunConfig vectorConfig(const VectorTarget &target, unsigned threads)
{
    return HessianRunConfig{HESSIAN_PATH_VECTOR, threads, target.target};
}

} // namespace

class TestFastCore : public QObject
{
    Q_OBJECT

private slots:
    void everyTargetIsCoveredHere();
    void responseAndFeaturesMatchTheReference();
    void maximaKeepTiesAndNaNSemantics();
    void greyConversionMatchesTheReference();
    void overlappingRunsStayIndependent();
    void setUpMapsWhatARunTouches();
    void pathSelection();
};

// The machines this is built for must test their best vector code (AVX-512
// where they have it, AVX2 otherwise), and every build has the portable
// fallback.
void TestFastCore::everyTargetIsCoveredHere()
{
    const std::vector<VectorTarget> targets = vectorTargets();
    if (targets.empty())
        QSKIP("built without the vector path (HESSIAN_FORCE_REFERENCE)");
    QVERIFY(std::strcmp(targets.back().name, "EMU128") == 0
            || std::strcmp(targets.back().name, "SCALAR") == 0);
#if defined(__x86_64__) && defined(__linux__)
    const bool avx512 = __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw")
                        && __builtin_cpu_supports("avx512dq") && __builtin_cpu_supports("avx512vl");
    if (avx512)
        QCOMPARE(targets.front().name, "AVX3");
    else if (__builtin_cpu_supports("avx2"))
        QCOMPARE(targets.front().name, "AVX2");
    if (__builtin_cpu_supports("avx2"))
        QVERIFY(std::any_of(targets.begin(), targets.end(),
                            [](const VectorTarget &t) { return std::strcmp(t.name, "AVX2") == 0; }));
#endif
}

// The reference writes the response exactly on the valid region; then bit
// for bit: the three byte images and the response, written and unwritten
// pixels alike, and the feature list, for every sigma, awkward size, target
// and thread count.
void TestFastCore::responseAndFeaturesMatchTheReference()
{
    std::mt19937 random(20240601);
    const std::vector<VectorTarget> targets = vectorTargets();
    // One thread, every hardware thread (scratch kept by set-up) and more
    // (scratch allocated by the run).
    const unsigned threadCounts[] = {1, machineThreads(), machineThreads() + 1};
    for (float sigma : kSigmas) {
        HessianDetector probe = {};
        QCOMPARE(initHessianDetector(&probe, sigma, 1, 1), 0);
        const uint32_t radius = probe.radius;
        releaseHessianDetector(&probe);

        for (const Size &size : awkwardSizes(radius)) {
            const std::vector<unsigned char> grey = randomImage(size, random);
            Detector reference(sigma, size);
            QCOMPARE(reference.status, 0);
            reference.mark();
            QCOMPARE(computeHessianResponseReference(&reference.record, grey.data()), 0);
            QVERIFY2(writesExactlyTheValidRegion(reference.record),
                     qPrintable(QStringLiteral("sigma %1, %2 x %3").arg(sigma).arg(size.width).arg(size.height)));
            // Zero keeps the noise maxima, a lower bound lets negative ones in.
            const float threshold = random() % 2 ? 0.0f : -1.0e6f;
            QVector<Feature> expected;
            QCOMPARE(findLocalMaximaReference(reference.record.response, size.width, size.height,
                                              threshold, radius, expected),
                     0);

            for (const VectorTarget &target : targets) {
                for (unsigned threads : threadCounts) {
                    const HessianRunConfig config = vectorConfig(target, threads);
                    Detector fast(sigma, size);
                    QCOMPARE(fast.status, 0);
                    fast.mark();
                    QCOMPARE(computeHessianResponseWith(&fast.record, grey.data(), config), 0);
                    const size_t bytes = fast.pixels();
                    QVERIFY2(std::memcmp(fast.record.gaussRows, reference.record.gaussRows, bytes) == 0,
                             qPrintable(describe("gaussRows", sigma, size, target, threads)));
                    QVERIFY2(std::memcmp(fast.record.d1Rows, reference.record.d1Rows, bytes) == 0,
                             qPrintable(describe("d1Rows", sigma, size, target, threads)));
                    QVERIFY2(std::memcmp(fast.record.d2Rows, reference.record.d2Rows, bytes) == 0,
                             qPrintable(describe("d2Rows", sigma, size, target, threads)));
                    QVERIFY2(std::memcmp(fast.record.response, reference.record.response,
                                         bytes * sizeof(float))
                                 == 0,
                             qPrintable(describe("response", sigma, size, target, threads)));

                    QVector<Feature> found{Feature{-1.0f, -1.0f}};
                    QCOMPARE(findLocalMaximaWith(fast.record.response, size.width, size.height,
                                                 threshold, radius, found, config),
                             0);
                    QVERIFY2(sameFeatures(found, expected),
                             qPrintable(describe("features", sigma, size, target, threads)));
                }
            }
        }
    }
}

// Maps full of equal values, signed zeros, infinities and NaNs: the vector
// maximum must pick exactly as "a when a > b, else b" in the fixed pairing,
// and a scale-space level's search must give ties to the first pixel, at
// widths that end in whole groups of vectors, single vectors and a tail.
void TestFastCore::maximaKeepTiesAndNaNSemantics()
{
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const float inf = std::numeric_limits<float>::infinity();
    const float values[] = {nan, -inf, -1.0f, -0.0f, 0.0f, 1.0f, 2.0f, 3.0f, inf};
    std::mt19937 random(7);
    const Size sizes[] = {{7, 7}, {23, 9}, {45, 31}, {80, 64}, {137, 11}};
    for (const Size &size : sizes) {
        for (int round = 0; round < 20; ++round) {
            std::vector<float> map((size_t)size.width * size.height);
            // Every other round without NaN, so that ties decide more often.
            const size_t first = round % 2;
            for (float &value : map)
                value = values[first + random() % (9 - first)];
            const float threshold = values[1 + random() % 7];
            const uint32_t radius = round % 3 ? 1 : 2;
            QVector<Feature> expected, expectedLevel;
            QCOMPARE(findLocalMaximaReference(map.data(), size.width, size.height, threshold,
                                              radius, expected),
                     0);
            QCOMPARE(findLevelMaximaWith(map.data(), size.width, size.height, threshold, radius, expectedLevel,
                                         HessianRunConfig{HESSIAN_PATH_REFERENCE, 1, 0}),
                     0);
            for (const VectorTarget &target : vectorTargets()) {
                for (unsigned threads : {1u, 2u}) {
                    QVector<Feature> found;
                    QCOMPARE(findLocalMaximaWith(map.data(), size.width, size.height, threshold,
                                                 radius, found, vectorConfig(target, threads)),
                             0);
                    QVERIFY2(sameFeatures(found, expected),
                             qPrintable(describe("features", 0.0f, size, target, threads)));
                    QCOMPARE(findLevelMaximaWith(map.data(), size.width, size.height, threshold, radius, found,
                                                 vectorConfig(target, threads)),
                             0);
                    QVERIFY2(sameFeatures(found, expectedLevel),
                             qPrintable(describe("level features", 0.0f, size, target, threads)));
                }
            }
        }
    }
}

// Every 32-bit pixel value's channels, widths around every vector length,
// padded rows: the vector conversion gives the reference's bytes.
void TestFastCore::greyConversionMatchesTheReference()
{
    std::mt19937 random(11);
    for (uint32_t width : {1u, 3u, 4u, 5u, 15u, 16u, 17u, 35u, 67u}) {
        const uint32_t height = 19;
        const size_t pixelsPerLine = width + 3;
        std::vector<uint32_t> pixels(pixelsPerLine * height);
        for (uint32_t &p : pixels)
            p = (uint32_t)random();
        std::vector<unsigned char> expected(width * height), found(width * height);
        QCOMPARE(convertRgb32ToGreyReference(pixels.data(), pixelsPerLine, width, height, expected.data()), 0);
        for (const VectorTarget &target : vectorTargets())
            for (unsigned threads : {1u, 2u}) {
                std::fill(found.begin(), found.end(), kUntouchedByte);
                QCOMPARE(convertRgb32ToGreyWith(pixels.data(), pixelsPerLine, width, height, found.data(),
                                                vectorConfig(target, threads)),
                         0);
                QVERIFY2(found == expected, qPrintable(describe("grey", 0.0f, Size{width, height}, target, threads)));
            }
    }
}

// Runs on their own threads at the same time, each splitting its work into
// bands, each with its own detector: every one gets what it gets alone.
// A run must not stop for the system to map its buffers' pages: set-up has
// touched them all, the vector path's scratch included. (On a virtual
// machine a page fault costs microseconds, and a frame has thousands of
// pages.)
void TestFastCore::setUpMapsWhatARunTouches()
{
    // Not under the address sanitizer: it maps pages of its own (shadow
    // memory, stack frames) while a run goes, up to a hundred and more.
#if defined(__linux__) && !defined(__SANITIZE_ADDRESS__)
    const Size size{1280, 720};
    std::mt19937 random(7);
    const std::vector<unsigned char> grey = randomImage(size, random);
    const auto minorFaults = [] {
        rusage usage;
        getrusage(RUSAGE_SELF, &usage);
        return usage.ru_minflt;
    };
    for (const HessianRunConfig &config : {HessianRunConfig{HESSIAN_PATH_REFERENCE, 1, 0},
                                           HessianRunConfig{HESSIAN_PATH_VECTOR, 1, 0}}) {
        {
            // The code itself is mapped on its first run.
            Detector warm(5.0f, size);
            QCOMPARE(computeHessianResponseWith(&warm.record, grey.data(), config), 0);
        }
        Detector detector(5.0f, size);
        QCOMPARE(detector.status, 0);
        const long before = minorFaults();
        QCOMPARE(computeHessianResponseWith(&detector.record, grey.data(), config), 0);
        const long faults = minorFaults() - before;
        // The buffers span some 1600 pages; allow a few for the stack.
        QVERIFY2(faults < 16, qPrintable(QStringLiteral("%1 page faults in a run").arg(faults)));
    }
#else
    QSKIP("counts the page faults of a run through getrusage, without a sanitizer");
#endif
}

void TestFastCore::overlappingRunsStayIndependent()
{
    const Size size{301, 203};
    std::mt19937 random(99);
    const std::vector<unsigned char> grey = randomImage(size, random);
    const float sigmas[] = {2.0f, 5.0f, 10.0f, 3.3f};

    std::vector<QVector<Feature>> alone;
    for (float sigma : sigmas) {
        Detector detector(sigma, size);
        QCOMPARE(detector.status, 0);
        QCOMPARE(computeHessianResponseReference(&detector.record, grey.data()), 0);
        QVector<Feature> features;
        findLocalMaximaReference(detector.record.response, size.width, size.height, 0.0f,
                                 detector.record.radius, features);
        alone.push_back(features);
    }

    std::vector<QVector<Feature>> together(4);
    std::vector<int> statuses(4, -100);
    std::vector<std::thread> runs;
    for (size_t i = 0; i < 4; ++i)
        runs.emplace_back([&, i] {
            HessianDetector detector = {};
            statuses[i] = initHessianDetector(&detector, sigmas[i], size.width, size.height);
            const HessianRunConfig config{HESSIAN_PATH_VECTOR, 2, 0};
            if (statuses[i] == 0)
                statuses[i] = computeHessianResponseWith(&detector, grey.data(), config);
            if (statuses[i] == 0)
                statuses[i] = findLocalMaximaWith(detector.response, size.width, size.height, 0.0f,
                                                  detector.radius, together[i], config);
            releaseHessianDetector(&detector);
        });
    for (std::thread &run : runs)
        run.join();
    for (size_t i = 0; i < 4; ++i) {
        QCOMPARE(statuses[i], 0);
        QVERIFY2(sameFeatures(together[i], alone[i]), qPrintable(QString::number(sigmas[i])));
    }
}

// The environment variable forces the reference on the next run, whatever it
// was before; the vector path keeps the core's status codes.
void TestFastCore::pathSelection()
{
    // Built without the vector path, every run takes the reference.
    const HessianPath unforced = vectorTargets().empty() ? HESSIAN_PATH_REFERENCE : HESSIAN_PATH_VECTOR;
    qunsetenv("HESSIAN_FORCE_REFERENCE");
    QCOMPARE(defaultRunConfig().path, unforced);
    qputenv("HESSIAN_FORCE_REFERENCE", "1");
    QCOMPARE(defaultRunConfig().path, HESSIAN_PATH_REFERENCE);
    qputenv("HESSIAN_FORCE_REFERENCE", "0");
    QCOMPARE(defaultRunConfig().path, unforced);
    qunsetenv("HESSIAN_FORCE_REFERENCE");

    // HESSIAN_TARGET names the vector code of the next runs, in any case; a
    // name this processor does not run leaves the choice to the dispatcher.
    for (const VectorTarget &target : vectorTargets()) {
        qputenv("HESSIAN_TARGET", QByteArray(target.name).toLower());
        QCOMPARE(defaultRunConfig().target, target.target);
    }
    for (const char *name : {"NEON", "AVX", "AVX22", ""}) {
        qputenv("HESSIAN_TARGET", name);
        QCOMPARE(defaultRunConfig().target, int64_t(0));
    }
    qunsetenv("HESSIAN_TARGET");
    QCOMPARE(defaultRunConfig().target, int64_t(0));

    // Without a name, a run takes the widest code, but AVX2 on an Intel
    // processor whose AVX-512 does not do half again AVX2's arithmetic.
    int64_t runnable = 0, avx512 = 0, avx2 = 0;
    for (const VectorTarget &target : vectorTargets()) {
        runnable |= target.target;
        avx512 = std::strcmp(target.name, "AVX3") == 0 ? target.target : avx512;
        avx2 = std::strcmp(target.name, "AVX2") == 0 ? target.target : avx2;
    }
    if (runnable) {
        QCOMPARE(preferredTarget(VENDOR_OTHER, runnable, 0.0), vectorTargets().front().target);
        QCOMPARE(preferredTarget(VENDOR_AMD, runnable, 1.0), vectorTargets().front().target);
    }
    if (avx512 && avx2) {
        QCOMPARE(preferredTarget(VENDOR_INTEL, runnable, 1.9), avx512);
        QCOMPARE(preferredTarget(VENDOR_INTEL, runnable, 1.1), avx2);
        QCOMPARE(preferredTarget(VENDOR_INTEL, runnable & ~avx512, 0.0), avx2);
    }

    HessianDetector empty = {};
    const unsigned char grey[1] = {0};
    const HessianRunConfig best{HESSIAN_PATH_VECTOR, 0, 0};
    QCOMPARE(computeHessianResponseWith(&empty, grey, best), (int)HESSIAN_BAD_SIGMA);
    QCOMPARE(computeHessianResponse(&empty, grey), (int)HESSIAN_BAD_SIGMA);

    // A target that is not compiled in (or not runnable here) is refused;
    // all bits set names none at all.
    const HessianRunConfig missing{HESSIAN_PATH_VECTOR, 1, ~int64_t(0)};
    Detector detector(2.0f, Size{20, 20});
    QCOMPARE(detector.status, 0);
    std::vector<unsigned char> image(400, 7);
    QCOMPARE(computeHessianResponseWith(&detector.record, image.data(), missing), HESSIAN_BAD_TARGET);
}

QTEST_APPLESS_MAIN(TestFastCore)
#include "tst_fastcore.moc"
