#include "videowidget.h"

#include <QColor>
#include <QImage>
#include <QRect>
#include <QSize>
#include <QtTest>

namespace {

// Exposes the viewport that the latest paint used.
class ProbedVideoWidget : public VideoWidget
{
public:
    QRect lastViewport() const { return viewport; }
};

QImage solidFrame(int width, int height, const QColor &colour)
{
    QImage frame(width, height, QImage::Format_RGB32);
    frame.fill(colour);
    return frame;
}

} // namespace

class TstVideoWidget : public QObject
{
    Q_OBJECT

private slots:
    void viewportFitsAndCentres_data();
    void viewportFitsAndCentres();
    void paintedFrameCoversExactlyTheViewport_data();
    void paintedFrameCoversExactlyTheViewport();
    void framePixelsLandWhereTheMappingSays();
    void initialFrameIsBlackAndFitted();
    void emptyFrameIsHarmless();
};

void TstVideoWidget::viewportFitsAndCentres_data()
{
    QTest::addColumn<QSize>("widget");
    QTest::addColumn<QSize>("frame");
    QTest::addColumn<QRect>("viewport");

    QTest::newRow("taller widget") << QSize(400, 400) << QSize(1280, 720) << QRect(0, 87, 400, 225);
    QTest::newRow("wider widget") << QSize(800, 300) << QSize(1280, 720) << QRect(133, 0, 533, 300);
    QTest::newRow("same shape") << QSize(640, 360) << QSize(1280, 720) << QRect(0, 0, 640, 360);
    QTest::newRow("truncated width") << QSize(500, 281) << QSize(1280, 720) << QRect(0, 0, 499, 281);
    QTest::newRow("square frame") << QSize(351, 300) << QSize(100, 100) << QRect(25, 0, 300, 300);
    QTest::newRow("2:1 frame") << QSize(700, 500) << QSize(100, 50) << QRect(0, 75, 700, 350);
    QTest::newRow("empty frame") << QSize(300, 200) << QSize(0, 0) << QRect(0, 0, 300, 200);
    // Degenerate sizes divide only by the side that is not zero.
    QTest::newRow("frame with no rows") << QSize(300, 200) << QSize(40, 0) << QRect(0, 100, 300, 0);
    QTest::newRow("frame with no columns") << QSize(300, 200) << QSize(0, 40) << QRect(150, 0, 0, 200);
    // 3000 * 3000000 overflows 32 bits.
    QTest::newRow("very tall frame") << QSize(3000, 2000) << QSize(1, 3000000) << QRect(1500, 0, 0, 2000);
}

void TstVideoWidget::viewportFitsAndCentres()
{
    QFETCH(QSize, widget);
    QFETCH(QSize, frame);
    QFETCH(QRect, viewport);
    QCOMPARE(frameViewport(widget, frame), viewport);
}

// The paint uses the viewport of the table above.
void TstVideoWidget::paintedFrameCoversExactlyTheViewport_data()
{
    QTest::addColumn<QSize>("widget");
    QTest::addColumn<QSize>("frame");
    QTest::newRow("letterbox") << QSize(400, 400) << QSize(1280, 720);
    QTest::newRow("pillarbox") << QSize(800, 300) << QSize(1280, 720);
    QTest::newRow("uncovered column") << QSize(500, 281) << QSize(1280, 720);
    QTest::newRow("enlarged") << QSize(700, 500) << QSize(100, 50);
}

void TstVideoWidget::paintedFrameCoversExactlyTheViewport()
{
    QFETCH(QSize, widget);
    QFETCH(QSize, frame);
    ProbedVideoWidget view;
    view.resize(widget);
    view.setVideoFrame(solidFrame(frame.width(), frame.height(), QColor(0, 200, 0)));
    const QImage shot = view.grab().toImage();
    const QRect viewport = frameViewport(widget, frame);
    QCOMPARE(view.lastViewport(), viewport);

    auto isFrame = [&](int x, int y) { return shot.pixel(x, y) == qRgb(0, 200, 0); };
    QVERIFY(isFrame(viewport.left(), viewport.top()));
    QVERIFY(isFrame(viewport.right(), viewport.bottom()));
    // Nothing is painted in the margins.
    if (viewport.left() > 0)
        QVERIFY(!isFrame(viewport.left() - 1, viewport.center().y()));
    if (viewport.right() < widget.width() - 1)
        QVERIFY(!isFrame(viewport.right() + 1, viewport.center().y()));
    if (viewport.top() > 0)
        QVERIFY(!isFrame(viewport.center().x(), viewport.top() - 1));
    if (viewport.bottom() < widget.height() - 1)
        QVERIFY(!isFrame(viewport.center().x(), viewport.bottom() + 1));
}

void TstVideoWidget::framePixelsLandWhereTheMappingSays()
{
    // A 10 x 5 frame in a 300 x 200 widget: viewport (0, 25, 300, 150), so
    // every frame pixel becomes a 30 x 30 block, unsmoothed.
    QImage frame = solidFrame(10, 5, Qt::white);
    frame.setPixel(3, 2, qRgb(0, 0, 255));
    ProbedVideoWidget view;
    view.resize(300, 200);
    view.setVideoFrame(frame);
    const QImage shot = view.grab().toImage();
    for (int y = 85; y < 115; ++y)
        for (int x = 90; x < 120; ++x)
            QCOMPARE(shot.pixel(x, y), qRgb(0, 0, 255));
    QCOMPARE(shot.pixel(89, 100), qRgb(255, 255, 255));
    QCOMPARE(shot.pixel(120, 100), qRgb(255, 255, 255));
    QCOMPARE(shot.pixel(100, 84), qRgb(255, 255, 255));
    QCOMPARE(shot.pixel(100, 115), qRgb(255, 255, 255));
}

void TstVideoWidget::initialFrameIsBlackAndFitted()
{
    ProbedVideoWidget view;
    view.resize(400, 400);
    const QImage shot = view.grab().toImage();
    QCOMPARE(view.lastViewport(), QRect(0, 87, 400, 225));
    QCOMPARE(shot.pixel(0, 87), qRgb(0, 0, 0));
    QCOMPARE(shot.pixel(399, 311), qRgb(0, 0, 0));
    QVERIFY(shot.pixel(200, 86) != qRgb(0, 0, 0));
    QVERIFY(shot.pixel(200, 312) != qRgb(0, 0, 0));
}

void TstVideoWidget::emptyFrameIsHarmless()
{
    ProbedVideoWidget view;
    view.resize(300, 200);
    view.setVideoFrame(QImage());
    QVERIFY(view.grab().toImage().pixel(150, 100) != qRgb(0, 0, 0));

    // A later frame shows normally again.
    view.setVideoFrame(solidFrame(30, 20, QColor(0, 200, 0)));
    QCOMPARE(view.grab().toImage().pixel(150, 100), qRgb(0, 200, 0));
}

QTEST_MAIN(TstVideoWidget)
#include "tst_videowidget.moc"
