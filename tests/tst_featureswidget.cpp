#include "featuremeasures.h"
#include "featureswidget.h"
#include "guitesthelpers.h"

#include <QColor>
#include <QImage>
#include <QPointF>
#include <QRect>
#include <QSize>
#include <QtTest>

#include <cmath>

Q_DECLARE_METATYPE(Feature)

namespace {

class ProbedFeaturesWidget : public FeaturesWidget
{
public:
    QRect lastViewport() const { return viewport; }
};

QImage whiteFrame(const QSize &size)
{
    QImage frame(size, QImage::Format_RGB32);
    frame.fill(Qt::white);
    return frame;
}

// Qt's window-to-viewport mapping for an image point.
QPointF toWidget(const QRect &viewport, const QSize &frame, const QPointF &point)
{
    return QPointF(viewport.left() + point.x() * viewport.width() / frame.width(),
                   viewport.top() + point.y() * viewport.height() / frame.height());
}

} // namespace

class TstFeaturesWidget : public QObject
{
    Q_OBJECT

private slots:
    void circles_data();
    void circles();
    void clearingKeepsTheRadius();
    void emptyFrameDrawsNoCircles();
    void zoomedCirclesSitOnTheirPixels_data();
    void zoomedCirclesSitOnTheirPixels();
    void manyCirclesDrawnInSlicesAreTheSameCircles();
    void polarityColoursHighlightAndHiding();
};

void TstFeaturesWidget::circles_data()
{
    QTest::addColumn<QSize>("widget");
    QTest::addColumn<QSize>("frame");
    QTest::addColumn<Feature>("feature");
    QTest::addColumn<float>("scale");
    QTest::addColumn<int>("minPen");
    QTest::addColumn<int>("maxPen");

    // Shrunk frames get a cosmetic one-pixel pen; enlarged ones a pen of as
    // many image pixels as the whole zoom, e.g. 3 at 3.5 widget pixels each.
    QTest::newRow("one to one") << QSize(200, 100) << QSize(200, 100) << Feature{100, 50} << 5.0f << 1 << 2;
    QTest::newRow("half size") << QSize(640, 360) << QSize(1280, 720) << Feature{640, 360} << 10.0f << 1 << 2;
    QTest::newRow("letterboxed, shrunk")
        << QSize(400, 400) << QSize(1280, 720) << Feature{640, 360} << 10.0f << 1 << 2;
    QTest::newRow("three quarters") << QSize(150, 400) << QSize(200, 100) << Feature{100, 50} << 5.0f << 1 << 2;
    QTest::newRow("zoom 3.5") << QSize(350, 350) << QSize(100, 100) << Feature{50, 50} << 5.0f << 10 << 11;
    QTest::newRow("zoom 7") << QSize(700, 500) << QSize(100, 50) << Feature{50, 25} << 3.0f << 48 << 50;
    QTest::newRow("zoom 4, pillarbox") << QSize(500, 200) << QSize(50, 50) << Feature{25, 25} << 2.0f << 15 << 17;
    QTest::newRow("corner feature into the margin")
        << QSize(300, 200) << QSize(100, 100) << Feature{0, 0} << 5.0f << 3 << 5;
}

// A circle of 3 x scale image pixels around the feature's pixel centre,
// outlined only, with the pen the zoom asks for.
void TstFeaturesWidget::circles()
{
    QFETCH(QSize, widget);
    QFETCH(QSize, frame);
    QFETCH(Feature, feature);
    QFETCH(float, scale);
    QFETCH(int, minPen);
    QFETCH(int, maxPen);

    ProbedFeaturesWidget view;
    view.resize(widget);
    view.setVideoFrame(whiteFrame(frame));
    view.setFeatureScale(scale);
    view.setFeatures({feature});
    const QImage shot = view.grab().toImage();
    const auto at = [&](const QPointF &point) { return toWidget(view.lastViewport(), frame, point); };
    const double r = 3.0 * scale;
    const QPointF centre(feature.x + 0.5, feature.y + 0.5);

    const QRectF inside(0, 0, widget.width(), widget.height());
    const QPointF rims[4] = {at(centre + QPointF(r, 0)), at(centre - QPointF(r, 0)), at(centre + QPointF(0, r)),
                             at(centre - QPointF(0, r))};
    for (const QPointF &rim : rims)
        if (inside.contains(rim))
            QVERIFY2(redNear(shot, rim), qPrintable(QStringLiteral("no outline at %1, %2").arg(rim.x()).arg(rim.y())));
    const QPointF middle = at(centre);
    if (shot.valid(middle.toPoint()))
        QVERIFY(!redNear(shot, middle));
    QVERIFY(!redNear(shot, at(centre + QPointF(r / 2.0, 0))));

    // The outline's outer extents along the row through the pixel centre
    // (whole in every case here) are symmetric about it (the half-pixel
    // shift shows at large zooms), and its right crossing is as wide as the
    // pen; so are the column's where the widget's edge does not cut it.
    QVERIFY(inside.contains(rims[0]) && inside.contains(rims[1]));
    const int row = (int)std::floor(middle.y());
    int left = 0, right = widget.width() - 1;
    while (left < right && !isOverlayRed(shot.pixel(left, row)))
        ++left;
    while (right > left && !isOverlayRed(shot.pixel(right, row)))
        --right;
    QVERIFY2(std::abs((left + right + 1) / 2.0 - middle.x()) < 1.0, qPrintable(QString::number(left)));
    int pen = 0;
    while (right - pen > left && isOverlayRed(shot.pixel(right - pen, row)))
        ++pen;
    QVERIFY2(pen >= minPen && pen <= maxPen, qPrintable(QString::number(pen)));
    if (inside.contains(rims[2]) && inside.contains(rims[3])) {
        const int column = (int)std::floor(middle.x());
        int top = 0, bottom = widget.height() - 1;
        while (top < bottom && !isOverlayRed(shot.pixel(column, top)))
            ++top;
        while (bottom > top && !isOverlayRed(shot.pixel(column, bottom)))
            --bottom;
        QVERIFY2(std::abs((top + bottom + 1) / 2.0 - middle.y()) < 1.0, qPrintable(QString::number(top)));
    }
}

void TstFeaturesWidget::clearingKeepsTheRadius()
{
    ProbedFeaturesWidget view;
    view.resize(200, 100);
    view.setVideoFrame(whiteFrame(QSize(200, 100)));
    view.setFeatureScale(4.0f);
    view.setFeatures({Feature{100, 50}});
    QVERIFY(countRed(view.grab().toImage()) > 0);

    view.clearFeatures();
    QCOMPARE(countRed(view.grab().toImage()), 0);

    // The next list is drawn with the radius set before the clear.
    view.setFeatures({Feature{100, 50}});
    const QImage shot = view.grab().toImage();
    QVERIFY(redNear(shot, QPointF(100.5 + 12.0, 50.5)));
    QVERIFY(!redNear(shot, QPointF(100.5 + 18.0, 50.5)));
}

void TstFeaturesWidget::emptyFrameDrawsNoCircles()
{
    ProbedFeaturesWidget view;
    view.resize(200, 100);
    view.setVideoFrame(QImage());
    view.setFeatures({Feature{10, 10}, Feature{0, 0}});
    QCOMPARE(countRed(view.grab().toImage()), 0);
}

void TstFeaturesWidget::zoomedCirclesSitOnTheirPixels_data()
{
    QTest::addColumn<double>("zoom");
    QTest::newRow("1") << 1.0;
    QTest::newRow("2.83") << 2.8284271247461903;
    QTest::newRow("3") << 3.0;
    QTest::newRow("4") << 4.0;
    QTest::newRow("8") << 8.0;
}

// At every zoom the frame's pixel lands where toWidget says, whole, and its
// feature's outline is centred on it, 1 to 3 widget pixels wide.
void TstFeaturesWidget::zoomedCirclesSitOnTheirPixels()
{
    QFETCH(double, zoom);
    QImage frame = whiteFrame(QSize(100, 80));
    frame.setPixel(40, 30, qRgb(0, 0, 255));
    ProbedFeaturesWidget view;
    view.resize(300, 200);
    view.setVideoFrame(frame);
    view.setFeatureScale(2.0f);
    view.setFeatures({Feature{40, 30}});
    view.showZoomed(zoom, QPoint(150, 100) - QPointF(40.5 * zoom, 30.5 * zoom).toPoint());
    const QImage shot = view.grab().toImage();

    const QPointF corner = view.toWidget(QPointF(40, 30));
    const QPointF centre = view.toWidget(QPointF(40.5, 30.5));
    if (zoom == std::floor(zoom)) {
        const QPoint first = corner.toPoint();
        QCOMPARE(QPointF(first), corner);
        QCOMPARE(shot.pixel(first), qRgb(0, 0, 255));
        QCOMPARE(shot.pixel(first + QPoint((int)zoom - 1, (int)zoom - 1)), qRgb(0, 0, 255));
        QCOMPARE(shot.pixel(first - QPoint(1, 0)), qRgb(255, 255, 255));
        QCOMPARE(shot.pixel(first + QPoint((int)zoom, 0)), qRgb(255, 255, 255));
    }
    const int row = (int)std::floor(centre.y());
    const RedExtents outline = redExtents(shot, row, 0, shot.width() - 1);
    QVERIFY2(std::abs(outline.centre() - centre.x()) <= 1.0,
             qPrintable(QStringLiteral("outline %1..%2, centre %3").arg(outline.left).arg(outline.right).arg(centre.x())));
    QVERIFY(std::abs((outline.right - outline.left + 1) - 12.0 * zoom) <= 2 * 3 + 1);
    int pen = 0;
    while (isOverlayRed(shot.pixel(outline.right - pen, row)))
        ++pen;
    QVERIFY2(pen >= 1 && pen <= 3 + 1, qPrintable(QString::number(pen)));
}

// More circles than are drawn at once come a slice per paint and end up as
// the very pixels of drawing them all at once.
void TstFeaturesWidget::manyCirclesDrawnInSlicesAreTheSameCircles()
{
    QVector<Feature> many;
    for (int y = 0; y < 300; y += 2)
        for (int x = (y / 2) % 3; x < 400; x += 2)
            many.append(Feature{(float)x, (float)y});
    QVERIFY(many.size() > FeaturesWidget::kCirclesAtOnce && many.size() / 2 <= FeaturesWidget::kCirclesAtOnce);
    const auto shotOf = [](const QVector<Feature> &features) {
        ProbedFeaturesWidget view;
        view.resize(500, 300);
        view.setVideoFrame(whiteFrame(QSize(400, 300)));
        view.setFeatureScale(8.0f);
        view.setFeatures(features);
        QImage shot = view.grab().toImage();
        for (int paints = 0; view.drawingCircles() && paints < 1000; ++paints)
            shot = view.grab().toImage();
        return shot;
    };
    const QImage all = shotOf(many);
    const QImage firstHalf = shotOf(many.mid(0, many.size() / 2));
    const QImage secondHalf = shotOf(many.mid(many.size() / 2));
    for (int y = 0; y < all.height(); ++y)
        for (int x = 0; x < all.width(); ++x)
            QCOMPARE(isOverlayRed(all.pixel(x, y)),
                     isOverlayRed(firstHalf.pixel(x, y)) || isOverlayRed(secondHalf.pixel(x, y)));
}

// Coloured by polarity, the dark blob's circle turns blue and the bright
// one's stays red; the highlighted circle is drawn in yellow over its own,
// at any zoom; hidden circles draw nothing and cannot be pointed at.
void TstFeaturesWidget::polarityColoursHighlightAndHiding()
{
    const auto count = [](const QImage &shot, const QColor &colour) {
        int n = 0;
        for (int y = 0; y < shot.height(); ++y)
            for (int x = 0; x < shot.width(); ++x) {
                const QColor c(shot.pixel(x, y));
                n += std::abs(c.red() - colour.red()) < 40 && std::abs(c.green() - colour.green()) < 40
                     && std::abs(c.blue() - colour.blue()) < 40;
            }
        return n;
    };
    ProbedFeaturesWidget view;
    view.resize(200, 100);
    view.setVideoFrame(whiteFrame(QSize(200, 100)));
    view.setFeatureScale(4.0f);
    view.setFeatures({Feature{50, 50}, Feature{150, 50}});
    view.setFeaturePolarities({FEATURE_BRIGHT, FEATURE_DARK});
    QImage shot = view.grab().toImage();
    QVERIFY(redNear(shot, QPointF(50.5 + 12, 50.5)) && redNear(shot, QPointF(150.5 + 12, 50.5)));
    QCOMPARE(count(shot, kDarkFeatureColour), 0);

    view.setColourByPolarity(true);
    shot = view.grab().toImage();
    QVERIFY(redNear(shot, QPointF(50.5 + 12, 50.5)));
    QVERIFY(!redNear(shot, QPointF(150.5 + 12, 50.5), 2));
    QVERIFY(count(shot, kDarkFeatureColour) > 40);

    QCOMPARE(view.featureAt(QPointF(150.5 + 6, 50.5)), 1);
    view.setHighlightedFeature(1);
    QCOMPARE(view.highlightedFeature(), 1);
    shot = view.grab().toImage();
    const QColor rim(shot.pixel(150 + 12, 50));
    QVERIFY2(rim.red() > 200 && rim.green() > 180 && rim.blue() < 90, qPrintable(rim.name()));
    QVERIFY(QColor(shot.pixel(50 + 12, 50)).green() < 60);
    view.setHighlightedFeature(7);  // no such feature
    QCOMPARE(view.highlightedFeature(), -1);
    view.setHighlightedFeature(1);
    view.showZoomed(4.0, QPoint(-400, -100));
    shot = view.grab().toImage();
    QVERIFY(count(shot, kHighlightColour) > 40);

    view.setFeaturesShown(false);
    shot = view.grab().toImage();
    QCOMPARE(countRed(shot), 0);
    QCOMPARE(count(shot, kHighlightColour), 0);
    QCOMPARE(count(shot, kDarkFeatureColour), 0);
    QCOMPARE(view.featureAt(QPointF(150.5 * 4 - 400, 50.5 * 4 - 100)), -1);
    view.setFeaturesShown(true);
    QVERIFY(count(view.grab().toImage(), kHighlightColour) > 40);

    // A new list drops the highlight.
    view.setFeatures({Feature{150, 50}});
    QCOMPARE(view.highlightedFeature(), -1);
}

QTEST_MAIN(TstFeaturesWidget)
#include "tst_featureswidget.moc"
