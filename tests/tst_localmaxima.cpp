#include "localmaxima.h"
#include "testimages.h"

#include <QtTest>

#include <cmath>
#include <limits>
#include <vector>

namespace {

struct Point {
    uint32_t x;
    uint32_t y;
    float value;
};
using Points = QVector<Point>;

} // namespace

Q_DECLARE_METATYPE(Points)

class TestLocalMaxima : public QObject
{
    Q_OBJECT

private slots:
    void maxima_data();
    void maxima();
    void previousContentsAreDropped();
};

// A map of `fill` with `points` set, searched with `threshold` and `radius`.
void TestLocalMaxima::maxima_data()
{
    QTest::addColumn<QSize>("size");
    QTest::addColumn<float>("fill");
    QTest::addColumn<Points>("points");
    QTest::addColumn<float>("threshold");
    QTest::addColumn<uint>("radius");
    QTest::addColumn<QString>("expected");
    const float nan = std::numeric_limits<float>::quiet_NaN();

    QTest::newRow("single peak") << QSize(40, 30) << 3.0f << Points{{20, 10, 50}} << 10.0f << 2u << "(20, 10)";
    QTest::newRow("constant map") << QSize(40, 30) << 3.0f << Points{} << -100.0f << 2u << "";
    // The threshold is exclusive.
    QTest::newRow("peak at the threshold") << QSize(40, 30) << 0.0f << Points{{20, 10, 100}} << 100.0f << 2u << "";
    QTest::newRow("peak just above it")
        << QSize(40, 30) << 0.0f << Points{{20, 10, 100}} << std::nextafter(100.0f, 0.0f) << 2u << "(20, 10)";
    QTest::newRow("negative peak, threshold 0") << QSize(30, 30) << -50.0f << Points{{15, 15, -10}} << 0.0f << 2u << "";
    QTest::newRow("negative peak, threshold -20")
        << QSize(30, 30) << -50.0f << Points{{15, 15, -10}} << -20.0f << 2u << "(15, 15)";

    // Each of the eight neighbours in turn equals the centre: no maximum;
    // a plateau yields nothing either.
    const int dx[8] = {-1, 0, 1, -1, 1, -1, 0, 1};
    const int dy[8] = {-1, -1, -1, 0, 0, 1, 1, 1};
    for (int n = 0; n < 8; ++n)
        QTest::newRow(qPrintable(QString("tie with neighbour %1").arg(n)))
            << QSize(20, 20) << 0.0f << Points{{10, 10, 9}, {uint32_t(10 + dx[n]), uint32_t(10 + dy[n]), 9}}
            << 1.0f << 2u << "";
    Points plateau;
    for (uint32_t y = 8; y <= 11; ++y)
        for (uint32_t x = 8; x <= 11; ++x)
            plateau.append({x, y, 5});
    QTest::newRow("plateau") << QSize(20, 20) << 0.0f << plateau << 1.0f << 2u << "";

    // Radius 6, margin 7: columns 7..92 and rows 7..72 of a 100 x 80 map.
    QTest::newRow("margin r + 1")
        << QSize(100, 80) << 0.0f
        << Points{{50, 6, 10}, {50, 73, 10}, {6, 40, 10}, {93, 40, 10}, {7, 7, 10}, {92, 72, 10}} << 1.0f << 6u
        << "(7, 7) (92, 72)";
    // (2r + 3) squared examines exactly (r + 1, r + 1); 2 (r + 1) in either
    // direction examines nothing.
    QTest::newRow("2r + 3 square") << QSize(11, 11) << 0.0f << Points{{5, 5, 1}} << 0.0f << 4u << "(5, 5)";
    QTest::newRow("2(r + 1) wide") << QSize(10, 40) << 0.0f << Points{{5, 20, 1}} << 0.0f << 4u << "";
    QTest::newRow("2(r + 1) high") << QSize(40, 10) << 0.0f << Points{{20, 5, 1}} << 0.0f << 4u << "";
    QTest::newRow("empty map") << QSize(0, 0) << 0.0f << Points{} << 0.0f << 1u << "";

    // By row, then column, not by response; maxima two pixels apart both stay.
    QTest::newRow("row-major order")
        << QSize(50, 40) << 0.0f << Points{{30, 10, 5}, {5, 20, 9}, {12, 10, 1}, {14, 10, 2}} << 0.5f << 2u
        << "(12, 10) (14, 10) (30, 10) (5, 20)";

    // A NaN centre is never a feature. max(a, b) takes b when the two are
    // unordered, so a NaN in the second place of a pairing drops out while
    // one in the first place does not: left (first of max(L, R)) hides
    // nothing, up (second of max(D, U)) makes the comparison with the centre
    // false.
    QTest::newRow("NaN centre") << QSize(30, 30) << 0.0f << Points{{15, 15, nan}} << -1.0f << 2u << "";
    QTest::newRow("NaN on the left")
        << QSize(30, 30) << 0.0f << Points{{15, 15, 4}, {14, 15, nan}} << 1.0f << 2u << "(15, 15)";
    QTest::newRow("NaN above") << QSize(30, 30) << 0.0f << Points{{15, 15, 4}, {15, 14, nan}} << 1.0f << 2u << "";
}

void TestLocalMaxima::maxima()
{
    QFETCH(QSize, size);
    QFETCH(float, fill);
    QFETCH(Points, points);
    QFETCH(float, threshold);
    QFETCH(uint, radius);
    QFETCH(QString, expected);
    std::vector<float> map((size_t)size.width() * size.height(), fill);
    for (const Point &p : points)
        map[p.y * size.width() + p.x] = p.value;
    QVector<Feature> features;
    QCOMPARE(findLocalMaxima(map.data(), size.width(), size.height(), threshold, radius, features), 0);
    QCOMPARE(featureList(features), expected);
}

void TestLocalMaxima::previousContentsAreDropped()
{
    std::vector<float> map(30 * 30, 0.0f);
    map[15 * 30 + 15] = 1.0f;
    QVector<Feature> features(5, Feature{99.0f, 99.0f});
    QCOMPARE(findLocalMaxima(map.data(), 30, 30, 0.0f, 2, features), 0);
    QCOMPARE(featureList(features), QString("(15, 15)"));
    QCOMPARE(findLocalMaxima(map.data(), 30, 30, 5.0f, 2, features), 0);
    QVERIFY(features.isEmpty());
}

QTEST_APPLESS_MAIN(TestLocalMaxima)
#include "tst_localmaxima.moc"
