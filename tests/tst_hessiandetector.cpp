#include "hessiandetector.h"
#include "testimages.h"

#include <QtTest>

#include <cmath>
#include <cstring>
#include <limits>
#include <vector>

namespace {

bool isAllZero(const HessianDetector &detector)
{
    HessianDetector zero = {};
    return std::memcmp(&detector, &zero, sizeof zero) == 0;
}

uint32_t floatBits(float value)
{
    uint32_t bits;
    std::memcpy(&bits, &value, sizeof bits);
    return bits;
}

QString hex(uint32_t value)
{
    return QString("0x%1").arg(value, 8, 16, QChar('0'));
}

// CRC-32 of the values' bit patterns, little-endian, in order.
uint32_t crcOfBits(const float *values, size_t count)
{
    QByteArray bytes;
    for (size_t i = 0; i < count; ++i)
        for (int shift = 0; shift < 32; shift += 8)
            bytes.append((char)(floatBits(values[i]) >> shift));
    return crc32(bytes);
}

// Sets up a detector and runs it over `grey`; the caller releases.
void computeOn(HessianDetector *detector, const std::vector<unsigned char> &grey, float sigma,
               uint32_t width, uint32_t height)
{
    *detector = HessianDetector{};
    QCOMPARE(initHessianDetector(detector, sigma, width, height), 0);
    QCOMPARE(computeHessianResponse(detector, grey.data()), 0);
}

// 40 x 40 black image with the 29 pixels within distance 3 of (20, 20) at 200.
std::vector<unsigned char> discImage()
{
    std::vector<unsigned char> grey(40 * 40, 0);
    int count = 0;
    for (int y = 0; y < 40; ++y)
        for (int x = 0; x < 40; ++x)
            if ((x - 20) * (x - 20) + (y - 20) * (y - 20) <= 9) {
                grey[y * 40 + x] = 200;
                ++count;
            }
    Q_ASSERT(count == 29);
    return grey;
}

} // namespace

class TestHessianDetector : public QObject
{
    Q_OBJECT

private slots:
    void setUp_data();
    void setUp();
    void lifecycle();
    void kernelsMatchTheOracle_data();
    void kernelsMatchTheOracle();
    void responseMatchesTheOracle_data();
    void responseMatchesTheOracle();
    void kernelInvariants_data();
    void kernelInvariants();
    void kernelBuildersRejectBadParameters();
    void discResponse();
    void uniformImagesGiveZero_data();
    void uniformImagesGiveZero();
    void rowPassTruncatesTowardZero();
};

// The kernel radius follows sigma. A refused set-up leaves the record all
// zero: untouched when the sigma is refused outright, released when a kernel
// cannot be built (0 fails on the Gaussian; below about 0.07 the
// derivative's scale would be infinite).
void TestHessianDetector::setUp_data()
{
    QTest::addColumn<float>("sigma");
    QTest::addColumn<int>("status");
    QTest::addColumn<uint>("radius");
    QTest::newRow("0.1 rounds down to 0, becomes 1") << 0.1f << 0 << 1u;
    QTest::newRow("2") << 2.0f << 0 << 6u;
    QTest::newRow("2.5 gives exactly 8") << 2.5f << 0 << 8u;
    QTest::newRow("5") << 5.0f << 0 << 15u;
    QTest::newRow("30") << 30.0f << 0 << 90u;
    QTest::newRow("negative") << -1.0f << -1 << 0u;
    QTest::newRow("negative tiny") << -1e-30f << -1 << 0u;
    QTest::newRow("NaN") << std::numeric_limits<float>::quiet_NaN() << -1 << 0u;
    QTest::newRow("infinite") << std::numeric_limits<float>::infinity() << -1 << 0u;
    QTest::newRow("radius beyond 32 bits") << 2e9f << -1 << 0u;
    QTest::newRow("radius too wide to index") << 1e7f << -1 << 0u;
    QTest::newRow("zero") << 0.0f << -2 << 0u;
    QTest::newRow("tiny") << 0.05f << -3 << 0u;
}

void TestHessianDetector::setUp()
{
    QFETCH(float, sigma);
    QFETCH(int, status);
    QFETCH(uint, radius);
    HessianDetector detector = {};
    QCOMPARE(initHessianDetector(&detector, sigma, 100, 100), status);
    QCOMPARE(detector.radius, radius);
    if (status != 0)
        QVERIFY(isAllZero(detector));
    releaseHessianDetector(&detector);
}

void TestHessianDetector::lifecycle()
{
    std::vector<unsigned char> grey(50 * 50, 7);
    HessianDetector detector = {};
    QCOMPARE(computeHessianResponse(&detector, grey.data()), -1);  // never set up

    QCOMPARE(initHessianDetector(&detector, 2.0f, 50, 50), 0);
    QCOMPARE(computeHessianResponse(&detector, grey.data()), 0);
    QCOMPARE(computeHessianResponse(&detector, grey.data()), 0);  // again, same size
    QCOMPARE(releaseHessianDetector(&detector), 0);
    QVERIFY(isAllZero(detector));
    QCOMPARE(computeHessianResponse(&detector, grey.data()), -1);
    QCOMPARE(releaseHessianDetector(&detector), 0);  // second release is harmless
    QVERIFY(isAllZero(detector));
}

// Golden values, made once by the independent numpy implementation (never
// by this code) and copied from what
//   tools/oracle/dethessian_oracle.py --golden
// prints: for each sigma the radius, the CRC-32 of each kernel's tap bit
// patterns and the bits of the Gaussian's and the second derivative's
// centre taps; then the CRC-32 of the valid response region of a frame made
// by a formula. A kernel sample or a normalisation rounded differently, or
// a weight one unit in the last place off, changes them.
void TestHessianDetector::kernelsMatchTheOracle_data()
{
    QTest::addColumn<QString>("golden");
    for (const char *line : {"2 6 0xbb61a9a6 0x99a3f774 0x4c19d921 0x3e4c77c5 0xbe5c557f",
                             "2.5 8 0xb85fbac7 0x8a5404b6 0xe3d32a41 0x3e238218 0xbe269396",
                             "5 15 0x69c619be 0x1a4b1381 0x819624f4 0x3da3b7d6 0xbda9f6e6",
                             "17.25 52 0x76b1c811 0xdb95f192 0xd888f602 0x3cbde68c 0xbcc3bb13",
                             "30 90 0xa68febd1 0xbbc30068 0x3879ef65 0x3c5a6f01 0xbc6125aa"})
        QTest::newRow(qPrintable(QString(line).section(' ', 0, 0))) << QString(line);
}

void TestHessianDetector::kernelsMatchTheOracle()
{
    QFETCH(QString, golden);
    const QString sigma = golden.section(' ', 0, 0);
    HessianDetector detector = {};
    QCOMPARE(initHessianDetector(&detector, sigma.toFloat(), 8, 8), 0);
    const uint32_t r = detector.radius;
    const size_t taps = 2 * (size_t)r + 1;
    const QString line = QStringList{sigma, QString::number(r), hex(crcOfBits(detector.gaussKernel, taps)),
                                     hex(crcOfBits(detector.d1Kernel, taps)),
                                     hex(crcOfBits(detector.d2Kernel, taps)),
                                     hex(floatBits(detector.gaussKernel[r])), hex(floatBits(detector.d2Kernel[r]))}
                             .join(' ');
    releaseHessianDetector(&detector);
    QCOMPARE(line, golden);
}

// grey(x, y) = (x^2 + 3 y^2 + 5 x y) mod 256, 160 x 120.
void TestHessianDetector::responseMatchesTheOracle_data()
{
    QTest::addColumn<QString>("golden");
    for (const char *line : {"2.5 0xba381680", "17.25 0x23c886c9"})
        QTest::newRow(qPrintable(QString(line).section(' ', 0, 0))) << QString(line);
}

void TestHessianDetector::responseMatchesTheOracle()
{
    QFETCH(QString, golden);
    const QString sigma = golden.section(' ', 0, 0);
    const uint32_t width = 160, height = 120;
    std::vector<unsigned char> grey(width * height);
    for (uint32_t y = 0; y < height; ++y)
        for (uint32_t x = 0; x < width; ++x)
            grey[y * width + x] = (unsigned char)((x * x + 3 * y * y + 5 * x * y) % 256);
    HessianDetector detector = {};
    computeOn(&detector, grey, sigma.toFloat(), width, height);
    const uint32_t r = detector.radius;
    std::vector<float> valid;
    for (uint32_t y = r; y < height - r; ++y)
        valid.insert(valid.end(), detector.response + y * width + r, detector.response + y * width + width - r);
    releaseHessianDetector(&detector);
    QCOMPARE(sigma + ' ' + hex(crcOfBits(valid.data(), valid.size())), golden);
}

void TestHessianDetector::kernelInvariants_data()
{
    QTest::addColumn<float>("sigma");
    for (float sigma : {0.1f, 0.5f, 1.0f, 2.0f, 3.3f, 5.0f, 7.75f, 17.0f, 30.0f})
        QTest::newRow(qPrintable(QString::number(sigma))) << sigma;
}

void TestHessianDetector::kernelInvariants()
{
    QFETCH(float, sigma);
    HessianDetector detector = {};
    QCOMPARE(initHessianDetector(&detector, sigma, 8, 8), 0);
    const int r = (int)detector.radius;
    const float *gauss = detector.gaussKernel;
    const float *d1 = detector.d1Kernel;
    const float *d2 = detector.d2Kernel;

    // Bitwise mirror symmetry. d1's centre is +0, whose negation is -0, so
    // the antisymmetry is checked off-centre only.
    double gaussSum = 0, d1Left = 0, d1Right = 0, d2Positive = 0, d2Negative = 0;
    for (int i = -r; i <= r; ++i) {
        QCOMPARE(floatBits(gauss[r + i]), floatBits(gauss[r - i]));
        QCOMPARE(floatBits(d2[r + i]), floatBits(d2[r - i]));
        if (i != 0)
            QCOMPARE(floatBits(d1[r + i]), floatBits(-d1[r - i]));
        gaussSum += gauss[r + i];
        (i < 0 ? d1Left : d1Right) += d1[r + i];
        (d2[r + i] > 0 ? d2Positive : d2Negative) += d2[r + i];
        if (i < 0)
            QVERIFY(d1[r + i] > 0.0f);
    }
    QCOMPARE(floatBits(d1[r]), 0u);
    // The sums hold up to rounding that grows with the number of taps.
    const double tolerance = 2e-7 * (2 * r + 1);
    QVERIFY(std::fabs(gaussSum - 1.0) < tolerance);
    QVERIFY(std::fabs(d1Left - 0.5) < tolerance);
    QVERIFY(std::fabs(d1Right + 0.5) < tolerance);
    QVERIFY(std::fabs(d2Positive - 0.5) < tolerance);
    QVERIFY(std::fabs(d2Negative + 0.5) < tolerance);
    releaseHessianDetector(&detector);
}

// Radius too small for the sigma (2 sigma > r), sigma not positive or not a
// number, radius below 1; 2 sigma == r is accepted.
void TestHessianDetector::kernelBuildersRejectBadParameters()
{
    QVERIFY(!makeGaussianKernel(5.0f, 9) && !makeGaussianD1Kernel(5.0f, 9) && !makeGaussianD2Kernel(5.0f, 9));
    QVERIFY(!makeGaussianKernel(0.0f, 3) && !makeGaussianKernel(-1.0f, 3) && !makeGaussianKernel(0.4f, 0));
    QVERIFY(!makeGaussianKernel(std::numeric_limits<float>::quiet_NaN(), 3));
    float *kernel = makeGaussianKernel(5.0f, 10);
    QVERIFY(kernel != nullptr);
    std::free(kernel);
}

void TestHessianDetector::discResponse()
{
    HessianDetector detector = {};
    computeOn(&detector, discImage(), 2.0f, 40, 40);
    const float *response = detector.response;
    const auto at = [&](int x, int y) { return response[y * 40 + x]; };

    float best = -std::numeric_limits<float>::infinity();
    int bestX = -1, bestY = -1;
    for (int y = 6; y < 34; ++y)
        for (int x = 6; x < 34; ++x)
            if (at(x, y) > best) {
                best = at(x, y);
                bestX = x;
                bestY = y;
            }
    QCOMPARE(bestX, 20);
    QCOMPARE(bestY, 20);
    QVERIFY(std::fabs(best - 5657.0f) < 1.0f);

    for (int d = 1; d <= 13; ++d)
        QCOMPARE(at(20 - d, 20), at(20 + d, 20));
    QVERIFY(std::fabs(at(16, 20) + 976.4f) < 0.1f);
    QVERIFY(at(16, 20) < 0.0f && at(24, 20) < 0.0f);

    // Rows are truncated to bytes before the columns are filtered, so the
    // response is not symmetric under swapping x and y.
    QVERIFY(std::fabs(at(20, 16) + 985.6f) < 0.1f);
    QVERIFY(at(20, 16) != at(16, 20));
    releaseHessianDetector(&detector);
}

void TestHessianDetector::uniformImagesGiveZero_data()
{
    QTest::addColumn<int>("level");
    QTest::addColumn<float>("sigma");
    for (int level : {0, 1, 77, 128, 254, 255})
        for (float sigma : {0.5f, 2.0f, 5.0f})
            QTest::newRow(qPrintable(QString("grey %1 sigma %2").arg(level).arg(sigma))) << level << sigma;
}

void TestHessianDetector::uniformImagesGiveZero()
{
    QFETCH(int, level);
    QFETCH(float, sigma);
    const uint32_t width = 45, height = 38;
    HessianDetector detector = {};
    computeOn(&detector, std::vector<unsigned char>(width * height, (unsigned char)level), sigma, width, height);
    const uint32_t r = detector.radius;
    for (uint32_t y = r; y < height - r; ++y)
        for (uint32_t x = r; x < width - r; ++x) {
            // -0 is a legitimate result here, so compare values, not bits.
            QVERIFY(detector.response[y * width + x] == 0.0f);
            QCOMPARE((int)detector.d1Rows[y * width + x], 0);
            QCOMPARE((int)detector.d2Rows[y * width + x], 0);
            const int smoothed = detector.gaussRows[y * width + x];
            QVERIFY(smoothed == level || smoothed == level - 1);
        }
    releaseHessianDetector(&detector);
}

// A single bright pixel under the derivative kernels produces values of
// both signs; each byte must hold the sum truncated toward zero (not
// floored, not rounded).
void TestHessianDetector::rowPassTruncatesTowardZero()
{
    const uint32_t width = 21, height = 1, radius = 3;
    std::vector<unsigned char> src(width, 0);
    src[10] = 255;
    float kernel[7] = {0.0f, 0.0f, 0.1f, 0.0f, -0.3f, 0.0f, 0.0f};
    std::vector<unsigned char> dst(width, 0xAA);
    QCOMPARE(filterRows(src.data(), dst.data(), width, height, kernel, radius), 0);

    // Output x sees src[x - 3 + k]: the pixel at 10 meets tap 2 at x = 11
    // (25.5 -> 25) and tap 4 at x = 9 (-76.5 -> -76).
    QCOMPARE((int)(signed char)dst[11], 25);
    QCOMPARE((int)(signed char)dst[9], -76);
    QCOMPARE((int)dst[10], 0);
    // Border columns are not written.
    for (uint32_t x : {0u, 1u, 2u, 18u, 19u, 20u})
        QCOMPARE((int)dst[x], 0xAA);
}

QTEST_APPLESS_MAIN(TestHessianDetector)
#include "tst_hessiandetector.moc"
