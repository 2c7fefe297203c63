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
    void rangeEnds_data();
    void rangeEnds();
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
        // The response of one pixel on its own, as the levels beyond the
        // ends are computed, is the map's, bit for bit, to the map's edges.
        std::vector<unsigned char> scratch(3 * (2 * r + 1));
        for (uint32_t y = r; y < kHeight - r; y += 3)
            for (uint32_t x = r; x < kWidth - r; x += (y == r || y + r + 1 >= kHeight) ? 1 : 5) {
                const float alone = responseAtPixel(&single.record, grey.data(), kWidth, x, y, scratch.data());
                QVERIFY2(std::memcmp(&alone, &single.record.response[(size_t)y * kWidth + x], sizeof alone) == 0,
                         qPrintable(QString("level %1, pixel %2, %3").arg(i).arg(x).arg(y)));
            }
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
// measurement, sigma by the parabola in log sigma, at the end levels
// through the level one step beyond, where the feature beats it (its own
// sigma otherwise). The frame holds exact ties: a square of even side on a
// flat ground.
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
    // The levels one more log step beyond the ends, where their maps hold a
    // response.
    QVERIFY(space.record.beyond[0].radius > 0 && space.record.beyond[1].radius > 0);
    const double logStep = std::log(6.0 / 1.5) / (count - 1);
    QVERIFY(space.record.beyondSigmas[0] == (float)(1.5 / std::exp(logStep)));
    QVERIFY(space.record.beyondSigmas[1] == (float)(6.0 * std::exp(logStep)));
    const SingleScale lowest(space.record.beyondSigmas[0], grey), highest(space.record.beyondSigmas[1], grey);
    const float none = std::nanf("");
    const auto beyondAt = [&](const SingleScale &level, uint32_t x, uint32_t y) {
        const uint32_t r = level.record.radius;
        return x >= r && y >= r && x + r < kWidth && y + r < kHeight ? level.at(x, y) : none;
    };
    const auto inside = [](uint32_t x, uint32_t y, uint32_t radius) {
        return x > radius && y > radius && x + radius + 1 < kWidth && y + radius + 1 < kHeight;
    };
    QVector<Feature> expected;
    QVector<FeatureMeasure> expectedMeasures;
    std::vector<int> perLevel(count, 0);
    int ties = 0, bordered = 0, refinedAtEnds = 0, atEnds = 0;
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
                const float before = i > 0 ? levels[i - 1]->at(x, y) : beyondAt(lowest, x, y);
                const float after = i + 1 < count ? (above ? levels[i + 1]->at(x, y) : none) : beyondAt(highest, x, y);
                const bool refined = c > before && c > after;
                if (refined)
                    m.sigma = (float)(sigmas[i] * std::exp(logStep * parabolaVertexOffset(before, c, after)));
                if (i == 0 || i + 1 == count) {
                    ++atEnds;
                    refinedAtEnds += refined;
                }
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
    // Some end-level features peak inside the range (refined), some beyond.
    QVERIFY2(refinedAtEnds > 0 && refinedAtEnds < atEnds,
             qPrintable(QString("%1 of %2 refined at the ends").arg(refinedAtEnds).arg(atEnds)));
    QCOMPARE(features.size(), expected.size());
    for (int i = 0; i < expected.size(); ++i) {
        QCOMPARE(features[i].x, expected[i].x);
        QCOMPARE(features[i].y, expected[i].y);
        QVERIFY2(sameMeasure(measures[i], expectedMeasures[i]), qPrintable(QString::number(i)));
    }
}

namespace {

const uint32_t kSpotSize = 121;
const double kSpotX = 60.3, kSpotY = 59.6;

// A Gaussian spot of standard deviation s on a flat ground.
std::vector<unsigned char> spotImage(double s, double amplitude)
{
    std::vector<unsigned char> grey((size_t)kSpotSize * kSpotSize);
    for (uint32_t y = 0; y < kSpotSize; ++y)
        for (uint32_t x = 0; x < kSpotSize; ++x)
            grey[(size_t)y * kSpotSize + x] = (unsigned char)std::lround(
                128.0 + amplitude * std::exp(-((x - kSpotX) * (x - kSpotX) + (y - kSpotY) * (y - kSpotY)) / (2 * s * s)));
    return grey;
}

} // namespace

void TestScaleSpace::spotScaleRecovered_data()
{
    QTest::addColumn<double>("s");
    QTest::addColumn<double>("amplitude");
    QTest::addColumn<bool>("linear");
    QTest::newRow("s 2, bright") << 2.0 << 120.0 << false;
    QTest::newRow("s 3.7, dark") << 3.7 << -100.0 << false;
    QTest::newRow("s 8, bright") << 8.0 << 120.0 << false;
    QTest::newRow("s 3.7, dark, linear levels") << 3.7 << -100.0 << true;
    QTest::newRow("s 8, bright, linear levels") << 8.0 << 120.0 << true;
}

// A Gaussian spot of standard deviation s peaks at sigma = s, with
// log-spaced levels and with levels given as a list (linear here, whose
// unequal steps in log sigma the refinement takes).
void TestScaleSpace::spotScaleRecovered()
{
    QFETCH(double, s);
    QFETCH(double, amplitude);
    QFETCH(bool, linear);
    const std::vector<unsigned char> grey = spotImage(s, amplitude);
    HessianScaleSpace record = {};
    std::vector<float> sigmas;
    for (int i = 0; i < 12; ++i)
        sigmas.push_back((float)(1.0 + 13.0 * i / 11));
    QCOMPARE(linear ? initHessianScaleSpaceAt(&record, sigmas.data(), 12, kSpotSize, kSpotSize)
                    : initHessianScaleSpace(&record, 1.0f, 14.0f, 12, kSpotSize, kSpotSize),
             (int)HESSIAN_OK);
    QVector<Feature> features;
    QVector<FeatureMeasure> measures;
    const int status = findScaleSpaceMaxima(&record, grey.data(), 1.0f, defaultRunConfig(), features, measures);
    releaseHessianScaleSpace(&record);
    QCOMPARE(status, (int)HESSIAN_OK);
    QCOMPARE(features.size(), 1);
    QVERIFY2(std::fabs(measures[0].sigma / s - 1.0) < 0.05, qPrintable(QString::number(measures[0].sigma)));
    QVERIFY(std::hypot(measures[0].xSubpixel - kSpotX, measures[0].ySubpixel - kSpotY) < 0.2);
    QCOMPARE(measures[0].polarity, amplitude > 0 ? FEATURE_BRIGHT : FEATURE_DARK);
}

void TestScaleSpace::rangeEnds_data()
{
    QTest::addColumn<double>("s");
    QTest::addColumn<float>("low");
    QTest::addColumn<float>("high");
    QTest::addColumn<bool>("inside");
    // Between the last two levels, nearer the last: refined, as inside.
    QTest::newRow("just inside the top") << 6.8 << 2.0f << 7.2f << true;
    QTest::newRow("just inside the bottom") << 2.15 << 2.0f << 9.0f << true;
    // Larger or smaller than the range reaches: the end's own sigma.
    QTest::newRow("beyond the top") << 9.0 << 2.0f << 6.0f << false;
    QTest::newRow("below the bottom") << 1.3 << 2.2f << 9.0f << false;
}

// A blob that peaks at an end level of a range is refined through the
// level beyond it; one that peaks beyond the range is still found, at the
// end's sigma exactly.
void TestScaleSpace::rangeEnds()
{
    QFETCH(double, s);
    QFETCH(float, low);
    QFETCH(float, high);
    QFETCH(bool, inside);
    const std::vector<unsigned char> grey = spotImage(s, 120.0);
    ScaleSpace space(low, high, 6, kSpotSize, kSpotSize);
    QVector<Feature> features;
    QVector<FeatureMeasure> measures;
    QCOMPARE(findScaleSpaceMaxima(&space.record, grey.data(), 1.0f, defaultRunConfig(), features, measures),
             (int)HESSIAN_OK);
    QCOMPARE(features.size(), 1);
    const float sigma = measures[0].sigma;
    if (inside) {
        QVERIFY2(sigma != low && sigma != high, qPrintable(QString::number(sigma)));
        QVERIFY2(std::fabs(sigma / s - 1.0) < 0.05, qPrintable(QString::number(sigma)));
    } else {
        QCOMPARE(sigma, s > high ? high : low);
    }
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
