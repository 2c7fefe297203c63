// Scale-space runs against single-scale records computed on their own: the
// levels, the 26-neighbour rule, the scale found on spots of known size, and
// overlap pruning.

#include "detectionpaths.h"
#include "featuremeasures.h"
#include "hessiandetector.h"
#include "localmaxima.h"
#include "scalespace.h"

#include <QtTest>

#include <cmath>
#include <cstring>
#include <memory>
#include <random>
#include <vector>

namespace {

const uint32_t kWidth = 131;
const uint32_t kHeight = 97;

// Soft bright and dark blobs of many sizes with noise: maxima at every level.
std::vector<unsigned char> blobImage()
{
    std::mt19937 random(7);
    std::vector<double> value((size_t)kWidth * kHeight, 120.0);
    for (int b = 0; b < 40; ++b) {
        const double cx = random() % kWidth, cy = random() % kHeight, s = 1.0 + (random() % 80) / 10.0;
        const double amplitude = random() % 2 ? 90.0 : -70.0;
        for (uint32_t y = 0; y < kHeight; ++y)
            for (uint32_t x = 0; x < kWidth; ++x)
                value[(size_t)y * kWidth + x] +=
                    amplitude * std::exp(-((x - cx) * (x - cx) + (y - cy) * (y - cy)) / (2 * s * s));
    }
    std::vector<unsigned char> grey(value.size());
    for (size_t i = 0; i < value.size(); ++i)
        grey[i] = (unsigned char)std::min(255.0, std::max(0.0, value[i] + (double)(random() % 9)));
    return grey;
}

// A single-scale record on its own, computed by the reference loops.
struct SingleScale {
    HessianDetector record = {};
    SingleScale(float sigma, const std::vector<unsigned char> &grey)
    {
        if (initHessianDetector(&record, sigma, kWidth, kHeight) != HESSIAN_OK
            || computeHessianResponseReference(&record, grey.data()) != HESSIAN_OK)
            qFatal("single-scale run failed");
    }
    ~SingleScale() { releaseHessianDetector(&record); }
    float at(uint32_t x, uint32_t y) const { return record.response[(size_t)y * kWidth + x]; }
};

struct ScaleSpace {
    HessianScaleSpace record = {};
    ScaleSpace(float low, float high, uint32_t levels, uint32_t width = kWidth, uint32_t height = kHeight)
    {
        if (initHessianScaleSpace(&record, low, high, levels, width, height) != HESSIAN_OK)
            qFatal("scale-space set-up failed");
    }
    ~ScaleSpace() { releaseHessianScaleSpace(&record); }
};

// The levels' scales: sigma_i = low * (high / low)^(i / (N - 1)), rounded to
// float.
float levelSigma(float low, float high, uint32_t i, uint32_t levels)
{
    return (float)((double)low * std::pow((double)high / low, (double)i / (levels - 1)));
}

bool sameMeasure(const FeatureMeasure &a, const FeatureMeasure &b)
{
    return std::memcmp(&a.xSubpixel, &b.xSubpixel, sizeof(float)) == 0
           && std::memcmp(&a.ySubpixel, &b.ySubpixel, sizeof(float)) == 0
           && std::memcmp(&a.sigma, &b.sigma, sizeof(float)) == 0
           && std::memcmp(&a.response, &b.response, sizeof(float)) == 0 && a.polarity == b.polarity;
}

} // namespace

class TestScaleSpace : public QObject
{
    Q_OBJECT

private slots:
    void levelsAreTheSingleScaleResponses();
    void oneLevelIsTheSingleScaleRun();
    void maximaInPositionAndScale();
    void spotScaleRecovered_data();
    void spotScaleRecovered();
    void badRangesRefused();
    void pruningKeepsTheStronger();
};

// Every level, on the vector path over all threads, computed in the rolling
// buffers in turn, equals the reference single-scale map at its sigma.
void TestScaleSpace::levelsAreTheSingleScaleResponses()
{
    const std::vector<unsigned char> grey = blobImage();
    ScaleSpace space(1.5f, 9.0f, 5);
    for (uint32_t i = 0; i < 5; ++i) {
        QVERIFY2(space.record.sigmas[i] == levelSigma(1.5f, 9.0f, i, 5), qPrintable(QString::number(i)));
        HessianDetector level = scaleSpaceLevel(&space.record, i);
        QCOMPARE(computeHessianResponseWith(&level, grey.data(), defaultRunConfig()), (int)HESSIAN_OK);
        const SingleScale single(space.record.sigmas[i], grey);
        QCOMPARE(level.radius, single.record.radius);
        const uint32_t r = level.radius;
        for (uint32_t y = r; y < kHeight - r; ++y)
            QVERIFY2(std::memcmp(level.response + (size_t)y * kWidth + r, single.record.response + (size_t)y * kWidth + r,
                                 (kWidth - 2 * r) * sizeof(float)) == 0,
                     qPrintable(QString("level %1, row %2").arg(i).arg(y)));
    }
}

void TestScaleSpace::oneLevelIsTheSingleScaleRun()
{
    const std::vector<unsigned char> grey = blobImage();
    ScaleSpace space(3.3f, 3.3f, 1);
    QVector<Feature> features;
    QVector<FeatureMeasure> measures;
    QCOMPARE(findScaleSpaceMaxima(&space.record, grey.data(), 5.0f, defaultRunConfig(), features, measures),
             (int)HESSIAN_OK);

    const SingleScale single(3.3f, grey);
    QVector<Feature> expected;
    QCOMPARE(findLocalMaximaReference(single.record.response, kWidth, kHeight, 5.0f, single.record.radius, expected),
             (int)HESSIAN_OK);
    QVector<FeatureMeasure> expectedMeasures(expected.size());
    measureFeatures(&single.record, 3.3f, expected, expectedMeasures.data());
    QVERIFY(expected.size() > 10);
    QCOMPARE(features.size(), expected.size());
    for (int i = 0; i < expected.size(); ++i) {
        QCOMPARE(features[i].x, expected[i].x);
        QCOMPARE(features[i].y, expected[i].y);
        QVERIFY2(sameMeasure(measures[i], expectedMeasures[i]), qPrintable(QString::number(i)));
    }
}

// The rule written out over single-scale maps: maxima over 26 neighbours,
// strict against the levels beside, a tie within the level going to the
// first pixel in row-major order; each level examined from r + 1 from the
// borders, the level above counting only where its response exists around
// the pixel. Position, response and polarity as the single-scale
// measurement, sigma by the parabola in log sigma. The frame holds exact
// ties: a square of even side on a flat ground.
void TestScaleSpace::maximaInPositionAndScale()
{
    std::vector<unsigned char> grey = blobImage();
    for (uint32_t y = 20; y < 80; ++y)
        std::memset(&grey[(size_t)y * kWidth + 40], 100, 60);
    for (uint32_t y = 48; y < 54; ++y)
        std::memset(&grey[(size_t)y * kWidth + 68], 250, 6);
    const uint32_t count = 5;
    ScaleSpace space(1.5f, 6.0f, count);
    QVector<Feature> features;
    QVector<FeatureMeasure> measures;
    QCOMPARE(findScaleSpaceMaxima(&space.record, grey.data(), 2.0f, defaultRunConfig(), features, measures),
             (int)HESSIAN_OK);

    std::vector<std::unique_ptr<SingleScale>> levels;
    std::vector<float> sigmas;
    for (uint32_t i = 0; i < count; ++i) {
        sigmas.push_back(levelSigma(1.5f, 6.0f, i, count));
        levels.emplace_back(new SingleScale(sigmas[i], grey));
    }
    const auto inside = [](uint32_t x, uint32_t y, uint32_t radius) {
        return x > radius && y > radius && x + radius + 1 < kWidth && y + radius + 1 < kHeight;
    };
    const double logStep = std::log(6.0 / 1.5) / (count - 1);
    QVector<Feature> expected;
    QVector<FeatureMeasure> expectedMeasures;
    std::vector<int> perLevel(count, 0);
    int ties = 0, bordered = 0;
    for (uint32_t y = 0; y < kHeight; ++y)
        for (uint32_t x = 0; x < kWidth; ++x)
            for (uint32_t i = 0; i < count; ++i) {
                if (!inside(x, y, levels[i]->record.radius))
                    continue;
                const bool above = i + 1 < count && inside(x, y, levels[i + 1]->record.radius);
                const float c = levels[i]->at(x, y);
                bool maximum = c > 2.0f, tied = false;
                for (uint32_t j = i > 0 ? i - 1 : 0; j <= (above ? i + 1 : i) && maximum; ++j)
                    for (int dy = -1; dy <= 1; ++dy)
                        for (int dx = -1; dx <= 1; ++dx) {
                            const float n = levels[j]->at(x + dx, y + dy);
                            if (j == i && !dx && !dy)
                                continue;
                            const bool after = j == i && (dy > 0 || (dy == 0 && dx > 0));
                            maximum = maximum && (c > n || (after && c == n));
                            tied = tied || (maximum && c == n);
                        }
                if (!maximum)
                    continue;
                FeatureMeasure m;
                const Feature f{(float)x, (float)y};
                measureFeatures(&levels[i]->record, sigmas[i], QVector<Feature>{f}, &m);
                if (i > 0 && above)
                    m.sigma = (float)(sigmas[i]
                                      * std::exp(logStep * parabolaVertexOffset(levels[i - 1]->at(x, y), c,
                                                                                levels[i + 1]->at(x, y))));
                expected.append(f);
                expectedMeasures.append(m);
                ++perLevel[i];
                ties += tied;
                bordered += i + 1 < count && !above;
            }
    // The straightforward loops on one thread, and every instruction set on
    // three threads, find the same.
    std::vector<HessianRunConfig> configs{{HESSIAN_PATH_REFERENCE, 1, 0}};
    for (const VectorTarget &target : vectorTargets())
        configs.push_back(HessianRunConfig{HESSIAN_PATH_VECTOR, 3, target.target});
    for (const HessianRunConfig &config : configs) {
        QVector<Feature> other;
        QVector<FeatureMeasure> otherMeasures;
        QCOMPARE(findScaleSpaceMaxima(&space.record, grey.data(), 2.0f, config, other, otherMeasures), (int)HESSIAN_OK);
        QCOMPARE(other.size(), features.size());
        QVERIFY(std::memcmp(other.constData(), features.constData(), features.size() * sizeof(Feature)) == 0);
    }
    QVERIFY2(ties > 0 && bordered > 0, qPrintable(QString("%1 ties, %2 near the border").arg(ties).arg(bordered)));
    QVERIFY2(perLevel[0] > 0 && perLevel[count - 1] > 0 && perLevel[1] > 0, "features at the end levels");
    QCOMPARE(features.size(), expected.size());
    for (int i = 0; i < expected.size(); ++i) {
        QCOMPARE(features[i].x, expected[i].x);
        QCOMPARE(features[i].y, expected[i].y);
        QVERIFY2(sameMeasure(measures[i], expectedMeasures[i]), qPrintable(QString::number(i)));
    }
}

void TestScaleSpace::spotScaleRecovered_data()
{
    QTest::addColumn<double>("s");
    QTest::addColumn<double>("amplitude");
    QTest::newRow("s 2, bright") << 2.0 << 120.0;
    QTest::newRow("s 3.7, dark") << 3.7 << -100.0;
    QTest::newRow("s 8, bright") << 8.0 << 120.0;
}

// A Gaussian spot of standard deviation s peaks at sigma = s.
void TestScaleSpace::spotScaleRecovered()
{
    QFETCH(double, s);
    QFETCH(double, amplitude);
    const uint32_t size = 121;
    const double cx = 60.3, cy = 59.6;
    std::vector<unsigned char> grey((size_t)size * size);
    for (uint32_t y = 0; y < size; ++y)
        for (uint32_t x = 0; x < size; ++x)
            grey[(size_t)y * size + x] = (unsigned char)std::lround(
                128.0 + amplitude * std::exp(-((x - cx) * (x - cx) + (y - cy) * (y - cy)) / (2 * s * s)));
    ScaleSpace space(1.0f, 14.0f, 12, size, size);
    QVector<Feature> features;
    QVector<FeatureMeasure> measures;
    QCOMPARE(findScaleSpaceMaxima(&space.record, grey.data(), 1.0f, defaultRunConfig(), features, measures),
             (int)HESSIAN_OK);
    QCOMPARE(features.size(), 1);
    QVERIFY2(std::fabs(measures[0].sigma / s - 1.0) < 0.05, qPrintable(QString::number(measures[0].sigma)));
    QVERIFY(std::hypot(measures[0].xSubpixel - cx, measures[0].ySubpixel - cy) < 0.2);
    QCOMPARE(measures[0].polarity, amplitude > 0 ? FEATURE_BRIGHT : FEATURE_DARK);
}

void TestScaleSpace::badRangesRefused()
{
    const float nan = std::nanf("");
    const struct {
        float low, high;
        uint32_t levels;
    } bad[] = {{2.0f, 2.0f, 0}, {2.0f, 3.0f, 1}, {3.0f, 2.0f, 4}, {2.0f, 2.0f, 4}, {0.0f, 2.0f, 4},
               {nan, 2.0f, 4},  {2.0f, nan, 4},  {1.0f, 1.0000001f, 40}};
    for (const auto &b : bad) {
        HessianScaleSpace space = {};
        QCOMPARE(initHessianScaleSpace(&space, b.low, b.high, b.levels, 50, 50), (int)HESSIAN_BAD_SIGMA);
        QCOMPARE(space.levels, nullptr);
    }
}

void TestScaleSpace::pruningKeepsTheStronger()
{
    // Blobs of radius 2 sigma: the first two overlap by about 0.6; the third
    // lies apart.
    const QVector<Feature> features{{10, 10}, {12, 10}, {40, 10}};
    const QVector<FeatureMeasure> measures{{10.0f, 10.0f, 2.0f, 50.0f, FEATURE_BRIGHT},
                                           {12.0f, 10.0f, 2.0f, 80.0f, FEATURE_BRIGHT},
                                           {40.0f, 10.0f, 2.0f, 10.0f, FEATURE_DARK}};
    // The lens of two discs whose centres are d apart, over the smaller
    // disc: the two circular segments cut off by the chord, whose distances
    // from the centres are a1 and a2.
    std::mt19937 random(3);
    std::uniform_real_distribution<double> uniform(0.0, 1.0);
    for (int pair = 0; pair < 200; ++pair) {
        const double r1 = 0.5 + 9.5 * uniform(random), r2 = 0.5 + 9.5 * uniform(random);
        const double d = std::fabs(r1 - r2) + (0.01 + 0.98 * uniform(random)) * (r1 + r2 - std::fabs(r1 - r2));
        const double a1 = (d * d + r1 * r1 - r2 * r2) / (2 * d), a2 = d - a1;
        const double lens = r1 * r1 * std::acos(a1 / r1) - a1 * std::sqrt(r1 * r1 - a1 * a1)
                            + r2 * r2 * std::acos(a2 / r2) - a2 * std::sqrt(r2 * r2 - a2 * a2);
        const double expected = lens / (M_PI * std::min(r1, r2) * std::min(r1, r2));
        const double angle = 2 * M_PI * uniform(random);
        const double x = 5 * uniform(random), y = 5 * uniform(random);
        const double found = blobOverlap(x, y, r1, x + d * std::cos(angle), y + d * std::sin(angle), r2);
        QVERIFY2(std::fabs(found - expected) < 1e-9,
                 qPrintable(QString("r %1 and %2, %3 apart: %4, not %5").arg(r1).arg(r2).arg(d).arg(found).arg(expected)));
    }
    QCOMPARE(blobOverlap(0, 0, 1, 0.5, 0, 3), 1.0);
    QCOMPARE(blobOverlap(0, 0, 1, 4, 0, 3), 0.0);

    QVector<Feature> f = features;
    QVector<FeatureMeasure> m = measures;
    QCOMPARE(pruneOverlappingFeatures(f, m, 0.5, 2.0), (int)HESSIAN_OK);
    QCOMPARE(f.size(), 2);
    QCOMPARE(f[0].x, 12.0f);
    QCOMPARE(f[1].x, 40.0f);

    for (double overlap : {0.7, 1.0}) {
        f = features;
        m = measures;
        pruneOverlappingFeatures(f, m, overlap, 2.0);
        QCOMPARE(f.size(), 3);
    }
}

QTEST_APPLESS_MAIN(TestScaleSpace)
#include "tst_scalespace.moc"
