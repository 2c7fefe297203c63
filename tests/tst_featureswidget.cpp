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
    void circlesLieOnThePredictedPixels_data();
    void circlesLieOnThePredictedPixels();
    void centreAndPenWidthFollowTheZoom_data();
    void centreAndPenWidthFollowTheZoom();
    void clearingKeepsTheRadius();
    void emptyFrameDrawsNoCircles();
};

void TstFeaturesWidget::circlesLieOnThePredictedPixels_data()
{
    QTest::addColumn<QSize>("widget");
    QTest::addColumn<QSize>("frame");
    QTest::addColumn<Feature>("feature");
    QTest::addColumn<float>("scale");
    QTest::addColumn<QRect>("viewport");

    QTest::newRow("one to one") << QSize(200, 100) << QSize(200, 100) << Feature{10, 20} << 5.0f
                                << QRect(0, 0, 200, 100);
    QTest::newRow("letterboxed, shrunk") << QSize(400, 400) << QSize(1280, 720) << Feature{640, 360}
                                         << 10.0f << QRect(0, 87, 400, 225);
    QTest::newRow("enlarged 3.5 times") << QSize(350, 350) << QSize(100, 100) << Feature{50, 50} << 5.0f
                                        << QRect(0, 0, 350, 350);
    QTest::newRow("enlarged 7 times") << QSize(700, 500) << QSize(100, 50) << Feature{50, 25} << 3.0f
                                      << QRect(0, 75, 700, 350);
    QTest::newRow("corner feature into the margin") << QSize(300, 200) << QSize(100, 100) << Feature{0, 0}
                                                    << 5.0f << QRect(50, 0, 200, 200);
}

void TstFeaturesWidget::circlesLieOnThePredictedPixels()
{
    QFETCH(QSize, widget);
    QFETCH(QSize, frame);
    QFETCH(Feature, feature);
    QFETCH(float, scale);
    QFETCH(QRect, viewport);

    ProbedFeaturesWidget view;
    view.resize(widget);
    view.setVideoFrame(whiteFrame(frame));
    view.setFeatureScale(scale);
    view.setFeatures({feature});
    const QImage shot = view.grab().toImage();
    QCOMPARE(view.lastViewport(), viewport);

    // The circle is centred on the middle of the feature's pixel.
    const double r = 3.0 * scale;
    const QPointF centre(feature.x + 0.5, feature.y + 0.5);
    const QPointF rim[4] = {centre + QPointF(r, 0), centre - QPointF(r, 0), centre + QPointF(0, r),
                            centre - QPointF(0, r)};
    int checked = 0;
    for (const QPointF &point : rim) {
        const QPointF onWidget = toWidget(viewport, frame, point);
        if (!QRectF(0, 0, widget.width(), widget.height()).contains(onWidget))
            continue;
        QVERIFY2(redNear(shot, onWidget), qPrintable(QStringLiteral("no outline at %1, %2")
                                                         .arg(onWidget.x())
                                                         .arg(onWidget.y())));
        ++checked;
    }
    QVERIFY(checked >= 2);

    // Outlines only: the middle and the half radius stay unpainted.
    const QPointF middle = toWidget(viewport, frame, centre);
    const QPointF halfway = toWidget(viewport, frame, centre + QPointF(r / 2.0, 0));
    if (shot.valid(middle.toPoint()))
        QVERIFY(!redNear(shot, middle));
    QVERIFY(!redNear(shot, halfway));
}

void TstFeaturesWidget::centreAndPenWidthFollowTheZoom_data()
{
    QTest::addColumn<QSize>("widget");
    QTest::addColumn<QSize>("frame");
    QTest::addColumn<float>("scale");
    QTest::addColumn<int>("minWidth");
    QTest::addColumn<int>("maxWidth");

    // Shrunk frames get a cosmetic one-pixel pen; enlarged ones a pen of as
    // many image pixels as the whole zoom, e.g. 3 at 3.5 widget pixels each.
    QTest::newRow("half size") << QSize(640, 360) << QSize(1280, 720) << 10.0f << 1 << 2;
    QTest::newRow("three quarters") << QSize(150, 400) << QSize(200, 100) << 5.0f << 1 << 2;
    QTest::newRow("zoom 3.5") << QSize(350, 350) << QSize(100, 100) << 5.0f << 10 << 11;
    QTest::newRow("zoom 7") << QSize(700, 500) << QSize(100, 50) << 3.0f << 48 << 50;
    QTest::newRow("zoom 4, pillarbox") << QSize(500, 200) << QSize(50, 50) << 2.0f << 15 << 17;
}

// One feature in the middle of a white frame: the outline's outer extents
// along the row and the column through the pixel centre are symmetric about
// it, and the pen is as wide as the zoom says.
void TstFeaturesWidget::centreAndPenWidthFollowTheZoom()
{
    QFETCH(QSize, widget);
    QFETCH(QSize, frame);
    QFETCH(float, scale);
    QFETCH(int, minWidth);
    QFETCH(int, maxWidth);

    ProbedFeaturesWidget view;
    view.resize(widget);
    view.setVideoFrame(whiteFrame(frame));
    view.setFeatureScale(scale);
    const Feature feature{(float)(frame.width() / 2), (float)(frame.height() / 2)};
    view.setFeatures({feature});
    const QImage shot = view.grab().toImage();
    const QPointF centre = toWidget(view.lastViewport(), frame, QPointF(feature.x + 0.5, feature.y + 0.5));

    const int row = (int)std::floor(centre.y());
    const int column = (int)std::floor(centre.x());
    int left = 0, right = widget.width() - 1, top = 0, bottom = widget.height() - 1;
    while (left < right && !isOverlayRed(shot.pixel(left, row)))
        ++left;
    while (right > left && !isOverlayRed(shot.pixel(right, row)))
        --right;
    while (top < bottom && !isOverlayRed(shot.pixel(column, top)))
        ++top;
    while (bottom > top && !isOverlayRed(shot.pixel(column, bottom)))
        --bottom;
    QVERIFY(right > left && bottom > top);
    QVERIFY2(std::abs((left + right + 1) / 2.0 - centre.x()) < 1.0, qPrintable(QString::number(left)));
    QVERIFY2(std::abs((top + bottom + 1) / 2.0 - centre.y()) < 1.0, qPrintable(QString::number(top)));

    int pen = 0;
    while (right - pen > left && isOverlayRed(shot.pixel(right - pen, row)))
        ++pen;
    QVERIFY2(pen >= minWidth && pen <= maxWidth, qPrintable(QString::number(pen)));
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

QTEST_MAIN(TstFeaturesWidget)
#include "tst_featureswidget.moc"
