#include "detectionjob.h"
#include "runreport.h"
#include "testimages.h"

#include <QtConcurrent>
#include <QtTest>

#include <cstring>
#include <vector>

namespace {

std::vector<unsigned char> greyOf(const QImage &frame)
{
    std::vector<unsigned char> grey((size_t)frame.width() * frame.height());
    convertFrameToGrey(frame, grey.data());
    return grey;
}

int greyOfPixel(QRgb pixel)
{
    QImage frame(1, 1, QImage::Format_ARGB32);
    frame.setPixel(0, 0, pixel);
    return greyOf(frame)[0];
}

} // namespace

class TestDetectionJob : public QObject
{
    Q_OBJECT

private slots:
    void greyConversion();
    void alphaPaddingAndLayoutDoNotMatter();
    void failedSetUpReportsNoTime();
    void runFindsTheBlobs();
    void runsTakeTurnsAndSupersededOnesGiveUp();
    void emptyResultIsSuccess();
    void reportFormatting_data();
    void reportFormatting();
};

// (B 0.114 + G 0.587) + R 0.299 in float, truncated: (1, 233, 245) gives
// 164 only in this order; any other order, or double weights, gives 165.
void TestDetectionJob::greyConversion()
{
    QCOMPARE(greyOfPixel(qRgb(255, 0, 0)), 76);
    QCOMPARE(greyOfPixel(qRgb(0, 255, 0)), 149);
    QCOMPARE(greyOfPixel(qRgb(0, 0, 255)), 29);
    QCOMPARE(greyOfPixel(qRgb(1, 233, 245)), 164);
    for (int v = 0; v < 256; ++v)
        QCOMPARE(greyOfPixel(qRgb(v, v, v)), v);
}

// The alpha byte is ignored, padded scan lines are followed, and a frame in
// another layout is brought to 32 bits rather than misread.
void TestDetectionJob::alphaPaddingAndLayoutDoNotMatter()
{
    const QImage packed = blobPicture(61, 47);
    QImage translucent = packed.convertToFormat(QImage::Format_ARGB32);
    for (int y = 0; y < translucent.height(); ++y) {
        QRgb *line = reinterpret_cast<QRgb *>(translucent.scanLine(y));
        for (int x = 0; x < translucent.width(); ++x)
            line[x] = (line[x] & 0x00FFFFFFu) | ((uint)((x * 7 + y) % 256) << 24);
    }
    const int stride = 61 * 4 + 20;
    std::vector<uchar> memory((size_t)stride * 47, 0xEE);
    for (int y = 0; y < 47; ++y)
        std::memcpy(&memory[(size_t)y * stride], packed.constScanLine(y), 61 * 4);
    const QImage padded(memory.data(), 61, 47, stride, QImage::Format_RGB32);

    QCOMPARE(greyOf(translucent), greyOf(packed));
    QCOMPARE(greyOf(padded), greyOf(packed));
    const QString expected = featureList(runDetectionJob(packed, 2.0f, 10.0f).features);
    QVERIFY(!expected.isEmpty());
    for (const QImage &frame : {translucent, padded, packed.convertToFormat(QImage::Format_RGB888)})
        QCOMPARE(featureList(runDetectionJob(frame, 2.0f, 10.0f).features), expected);
}

void TestDetectionJob::failedSetUpReportsNoTime()
{
    const QImage frame = blobPicture(40, 40);
    DetectionResult result = runDetectionJob(frame, -1.0f, 0.0f);
    QCOMPARE(result.status, -1);
    QVERIFY(result.features.isEmpty());
    QCOMPARE(result.elapsedMsec, 0.0f);

    result = runDetectionJob(frame, 0.0f, 0.0f);
    QCOMPARE(result.status, -2);
    QVERIFY(result.features.isEmpty());
    QCOMPARE(result.elapsedMsec, 0.0f);
}

// The disc of the core's tests, painted as a colour frame: one feature at
// (20, 20) for sigma 2.
static QImage discFrame()
{
    QImage frame(40, 40, QImage::Format_RGB32);
    frame.fill(Qt::black);
    for (int y = 0; y < 40; ++y)
        for (int x = 0; x < 40; ++x)
            if ((x - 20) * (x - 20) + (y - 20) * (y - 20) <= 9)
                frame.setPixel(x, y, qRgb(200, 200, 200));
    return frame;
}

void TestDetectionJob::runFindsTheBlobs()
{
    const DetectionResult result = runDetectionJob(discFrame(), 2.0f, 100.0f);
    QCOMPARE(result.status, 0);
    QCOMPARE(featureList(result.features), QString("(20, 20)"));
    QVERIFY(result.elapsedMsec >= 0.0f);
}

// A window run waits for the one in progress and gives up, without
// running, when a later one is started meanwhile; the latest runs once the
// one in progress is done.
void TestDetectionJob::runsTakeTurnsAndSupersededOnesGiveUp()
{
    const auto turns = std::make_shared<RunTurns>();
    QVERIFY(turns->begin(turns->start()));  // in progress
    const quint64 second = turns->start();
    QFuture<DetectionResult> waiting = QtConcurrent::run(&runInTurn, turns, second, discFrame(), 2.0f, 100.0f);
    QThread::msleep(50);
    QVERIFY(!waiting.isFinished());
    const quint64 third = turns->start();
    const DetectionResult superseded = waiting.result();
    QVERIFY(superseded.status != 0);
    QVERIFY(superseded.features.isEmpty());
    QCOMPARE(superseded.elapsedMsec, 0.0f);

    QFuture<DetectionResult> last = QtConcurrent::run(&runInTurn, turns, third, discFrame(), 2.0f, 100.0f);
    turns->end();
    QCOMPARE(last.result().status, 0);
    QCOMPARE(featureList(last.result().features), QString("(20, 20)"));
}

void TestDetectionJob::emptyResultIsSuccess()
{
    QImage frame(50, 50, QImage::Format_RGB32);
    frame.fill(qRgb(90, 90, 90));
    DetectionResult result = runDetectionJob(frame, 2.0f, 0.0f);
    QCOMPARE(result.status, 0);
    QVERIFY(result.features.isEmpty());

    // Frames smaller than the kernel and empty frames are no failure either.
    result = runDetectionJob(QImage(5, 5, QImage::Format_RGB32), 5.0f, 0.0f);
    QCOMPARE(result.status, 0);
    QVERIFY(result.features.isEmpty());
    result = runDetectionJob(QImage(), 5.0f, 0.0f);
    QCOMPARE(result.status, 0);
    QVERIFY(result.features.isEmpty());
}

void TestDetectionJob::reportFormatting_data()
{
    QTest::addColumn<int>("count");
    QTest::addColumn<float>("msec");
    QTest::addColumn<int>("status");
    QTest::addColumn<QString>("text");
    const QString success("Success. Feature count: %1. Time per frame: %2 msec. Frames per second: %3");
    QTest::newRow("example") << 37 << 42.0f << 0 << success.arg("37", "42.00", "23.8095");
    QTest::newRow("one second") << 0 << 1000.0f << 0 << success.arg("0", "1000.00", "1.0000");
    QTest::newRow("two seconds") << 5 << 2000.0f << 0 << success.arg("5", "2000.00", "0.5000");
    QTest::newRow("three ms") << 12345 << 3.0f << 0 << success.arg("12345", "3.00", "333.3333");
    QTest::newRow("fractional ms") << 1 << 0.25f << 0 << success.arg("1", "0.25", "4000.0000");
    QTest::newRow("zero time: inf, padded") << 2 << 0.0f << 0 << success.arg("2", "0.00", "   inf");
    QTest::newRow("failure") << 0 << 0.0f << -2 << QString("Failed");
    QTest::newRow("failure with time") << 0 << 17.0f << -5 << QString("Failed");
}

void TestDetectionJob::reportFormatting()
{
    QFETCH(int, count);
    QFETCH(float, msec);
    QFETCH(int, status);
    QFETCH(QString, text);
    QCOMPARE(runReport(DetectionResult{QVector<Feature>(count, Feature{0, 0}), status, msec}), text);
}

QTEST_APPLESS_MAIN(TestDetectionJob)
#include "tst_detectionjob.moc"
