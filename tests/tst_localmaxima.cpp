#include "localmaxima.h"

#include <QtTest>

#include <limits>
#include <vector>

namespace {

struct Map {
    uint32_t width;
    uint32_t height;
    std::vector<float> values;

    Map(uint32_t w, uint32_t h, float fill = 0.0f) : width(w), height(h), values(w * h, fill) {}
    float &at(uint32_t x, uint32_t y) { return values[y * width + x]; }

    QVector<Feature> search(float threshold, uint32_t radius) const
    {
        QVector<Feature> features;
        const int status = findLocalMaxima(values.data(), width, height, threshold, radius, features);
        Q_ASSERT(status == 0);
        return features;
    }
};

QString describe(const QVector<Feature> &features)
{
    QStringList points;
    for (const Feature &f : features)
        points << QString("(%1, %2)").arg(f.x).arg(f.y);
    return points.join(' ');
}

} // namespace

class TestLocalMaxima : public QObject
{
    Q_OBJECT

private slots:
    void singlePeak();
    void thresholdIsExclusive();
    void tiesAreNotMaxima();
    void marginExcludesBorder();
    void smallestMaps();
    void negativeThresholdAdmitsNegativePeaks();
    void rowMajorOrder();
    void previousContentsAreDropped();
    void nanNeverWins();
};

void TestLocalMaxima::singlePeak()
{
    Map map(40, 30, 3.0f);
    map.at(20, 10) = 50.0f;
    const QVector<Feature> features = map.search(10.0f, 2);
    QCOMPARE(features.size(), 1);
    QCOMPARE(features[0].x, 20.0f);
    QCOMPARE(features[0].y, 10.0f);

    // A constant map has no maximum at all.
    QVERIFY(Map(40, 30, 3.0f).search(-100.0f, 2).isEmpty());
}

void TestLocalMaxima::thresholdIsExclusive()
{
    Map map(40, 30, 0.0f);
    map.at(20, 10) = 100.0f;
    QVERIFY(map.search(100.0f, 2).isEmpty());
    QCOMPARE(map.search(std::nextafter(100.0f, 0.0f), 2).size(), 1);
}

void TestLocalMaxima::tiesAreNotMaxima()
{
    // Each of the eight neighbours in turn equals the centre.
    const int dx[8] = {-1, 0, 1, -1, 1, -1, 0, 1};
    const int dy[8] = {-1, -1, -1, 0, 0, 1, 1, 1};
    for (int n = 0; n < 8; ++n) {
        Map map(20, 20, 0.0f);
        map.at(10, 10) = 9.0f;
        map.at(10 + dx[n], 10 + dy[n]) = 9.0f;
        QVERIFY2(map.search(1.0f, 2).isEmpty(), qPrintable(QString("neighbour %1").arg(n)));
    }

    // A plateau yields nothing, and a ridge neither.
    Map plateau(20, 20, 0.0f);
    for (uint32_t y = 8; y <= 11; ++y)
        for (uint32_t x = 8; x <= 11; ++x)
            plateau.at(x, y) = 5.0f;
    QVERIFY(plateau.search(1.0f, 2).isEmpty());
}

void TestLocalMaxima::marginExcludesBorder()
{
    // radius 6, margin 7: columns 7..92 and rows 7..72 of a 100 x 80 map.
    Map map(100, 80, 0.0f);
    map.at(50, 6) = 10.0f;    // row 6: outside
    map.at(50, 73) = 10.0f;   // row 73: outside
    map.at(6, 40) = 10.0f;    // column 6: outside
    map.at(93, 40) = 10.0f;   // column 93: outside
    map.at(7, 7) = 10.0f;     // first examined pixel
    map.at(92, 72) = 10.0f;   // last examined pixel
    const QVector<Feature> features = map.search(1.0f, 6);
    QCOMPARE(describe(features), QString("(7, 7) (92, 72)"));
}

void TestLocalMaxima::smallestMaps()
{
    // (2r + 3) squared examines exactly (r + 1, r + 1).
    const uint32_t radius = 4, side = 2 * radius + 3;
    Map map(side, side, 0.0f);
    map.at(radius + 1, radius + 1) = 1.0f;
    QCOMPARE(describe(map.search(0.0f, radius)), QString("(5, 5)"));

    // 2 (r + 1) in either direction: nothing is examined.
    Map narrow(2 * (radius + 1), 40, 0.0f);
    narrow.at(radius + 1, 20) = 1.0f;
    QVERIFY(narrow.search(0.0f, radius).isEmpty());
    Map low(40, 2 * (radius + 1), 0.0f);
    low.at(20, radius + 1) = 1.0f;
    QVERIFY(low.search(0.0f, radius).isEmpty());

    QVERIFY(Map(0, 0).search(0.0f, 1).isEmpty());
}

void TestLocalMaxima::negativeThresholdAdmitsNegativePeaks()
{
    Map map(30, 30, -50.0f);
    map.at(15, 15) = -10.0f;
    QVERIFY(map.search(0.0f, 2).isEmpty());
    QCOMPARE(describe(map.search(-20.0f, 2)), QString("(15, 15)"));
}

void TestLocalMaxima::rowMajorOrder()
{
    Map map(50, 40, 0.0f);
    map.at(30, 10) = 5.0f;
    map.at(5, 20) = 9.0f;
    map.at(12, 10) = 1.0f;
    // Not by response: by row, then column; maxima two pixels apart both stay.
    map.at(14, 10) = 2.0f;
    QCOMPARE(describe(map.search(0.5f, 2)), QString("(12, 10) (14, 10) (30, 10) (5, 20)"));
}

void TestLocalMaxima::previousContentsAreDropped()
{
    Map map(30, 30, 0.0f);
    map.at(15, 15) = 1.0f;
    QVector<Feature> features(5, Feature{99.0f, 99.0f});
    QCOMPARE(findLocalMaxima(map.values.data(), 30, 30, 0.0f, 2, features), 0);
    QCOMPARE(describe(features), QString("(15, 15)"));
    QCOMPARE(findLocalMaxima(map.values.data(), 30, 30, 5.0f, 2, features), 0);
    QVERIFY(features.isEmpty());
}

void TestLocalMaxima::nanNeverWins()
{
    const float nan = std::numeric_limits<float>::quiet_NaN();
    Map map(30, 30, 0.0f);
    map.at(15, 15) = nan;  // a NaN centre is never a feature
    QVERIFY(map.search(-1.0f, 2).isEmpty());

    // max(a, b) takes b when the two are unordered, so a NaN in the second
    // place of a pairing drops out while one in the first place does not:
    // left (first of max(L, R)) hides nothing, up (second of max(D, U))
    // makes the comparison with the centre false.
    Map left(30, 30, 0.0f);
    left.at(15, 15) = 4.0f;
    left.at(14, 15) = nan;
    QCOMPARE(describe(left.search(1.0f, 2)), QString("(15, 15)"));
    Map up(30, 30, 0.0f);
    up.at(15, 15) = 4.0f;
    up.at(15, 14) = nan;
    QVERIFY(up.search(1.0f, 2).isEmpty());
}

QTEST_APPLESS_MAIN(TestLocalMaxima)
#include "tst_localmaxima.moc"
