// The window on sequences: a TIFF stack opens on frame 0 with the frame
// bar, the keys move through its frames, each frame shown is detected and
// reported as a picture's run is, Save Features writes what the command
// line writes for the stack, and tracks give each circle its tail.

#include "clirunner.h"
#include "featurecountplot.h"
#include "featuretablemodel.h"
#include "featureswidget.h"
#include "guitesthelpers.h"
#include "hessianmaximamainwin.h"

#include <QAction>
#include <QDoubleSpinBox>
#include <QFile>
#include <QFileDialog>
#include <QGroupBox>
#include <QHelpEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QProcess>
#include <QProgressDialog>
#include <QPushButton>
#include <QRegularExpression>
#include <QRunnable>
#include <QSemaphore>
#include <QSignalSpy>
#include <QSlider>
#include <QSpinBox>
#include <QStandardPaths>
#include <QStatusBar>
#include <QTemporaryDir>
#include <QThreadPool>
#include <QToolTip>
#include <QtTest>

#include <tiffio.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cmath>
#include <vector>

namespace {

const int kWidth = 120;
const int kHeight = 80;
const int kFrames = 20;
// One blob moves 3 pixels a frame to the right along y = 40; another
// stays at (90, 20).
const int kStepPerFrame = 3;
QPointF movingBlob(int frame) { return QPointF(20 + kStepPerFrame * frame, 40); }
const QPointF kStillBlob(90, 20);

const char *const SuccessPattern =
    "^Success\\. Feature count: (\\d+)\\. Time per frame: +\\d+\\.\\d\\d msec\\. "
    "Frames per second: +(\\d+\\.\\d{4}|inf)$";

std::vector<uint8_t> page(int frame)
{
    std::vector<uint8_t> pixels((size_t)kWidth * kHeight);
    for (int y = 0; y < kHeight; ++y)
        for (int x = 0; x < kWidth; ++x) {
            double v = 20.0;
            for (const QPointF &c : {movingBlob(frame), kStillBlob})
                v += 200.0 * std::exp(-((x - c.x()) * (x - c.x()) + (y - c.y()) * (y - c.y())) / (2 * 2.5 * 2.5));
            pixels[(size_t)y * kWidth + x] = (uint8_t)std::lround(std::min(255.0, v));
        }
    return pixels;
}

// An 8-bit grey TIFF of kFrames pages.
bool writeStack(const QString &path)
{
    TIFF *tiff = TIFFOpen(QFile::encodeName(path).constData(), "w");
    if (!tiff)
        return false;
    bool ok = true;
    for (int p = 0; p < kFrames && ok; ++p) {
        const std::vector<uint8_t> pixels = page(p);
        TIFFSetField(tiff, TIFFTAG_IMAGEWIDTH, kWidth);
        TIFFSetField(tiff, TIFFTAG_IMAGELENGTH, kHeight);
        TIFFSetField(tiff, TIFFTAG_BITSPERSAMPLE, 8);
        TIFFSetField(tiff, TIFFTAG_SAMPLESPERPIXEL, 1);
        TIFFSetField(tiff, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_MINISBLACK);
        TIFFSetField(tiff, TIFFTAG_ROWSPERSTRIP, 16);
        for (int y = 0; y < kHeight && ok; ++y)
            ok = TIFFWriteScanline(tiff, (void *)&pixels[(size_t)y * kWidth], (uint32_t)y, 0) >= 0;
        ok = ok && TIFFWriteDirectory(tiff);
    }
    TIFFClose(tiff);
    return ok;
}

template <typename T>
T *part(QWidget *window, const char *name)
{
    return window->findChild<T *>(QLatin1String(name));
}

// Whether the view shows page `frame` of the stack, pixel for pixel.
bool showsPage(QWidget *window, int frame)
{
    const QImage shown = part<FeaturesWidget>(window, "featuresWidget")->frame().convertToFormat(QImage::Format_Grayscale8);
    if (shown.size() != QSize(kWidth, kHeight))
        return false;
    const std::vector<uint8_t> pixels = page(frame);
    for (int y = 0; y < kHeight; ++y)
        if (memcmp(shown.constScanLine(y), &pixels[(size_t)y * kWidth], kWidth) != 0)
            return false;
    return true;
}

QString frameText(QWidget *window)
{
    return part<QLabel>(window, "frameLabel")->text();
}

// The status line once the next run has reported, after `act`.
template <typename Act>
QString reportAfter(QWidget *window, Act act)
{
    QSignalSpy reports(part<QStatusBar>(window, "statusBar"), &QStatusBar::messageChanged);
    act();
    const QRegularExpression success{QLatin1String(SuccessPattern)};
    for (int i = 0; i < 100; ++i) {
        for (const QList<QVariant> &report : reports)
            if (success.match(report.first().toString()).hasMatch())
                return report.first().toString();
        if (!reports.wait(300) && i > 20)
            break;
    }
    return QString();
}

QByteArray fileBytes(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

} // namespace

class TstSequenceWindow : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    // First: the thread a cancelled opening leaves ends while the others run.
    void cameraThatCannotBeOpenedSaysWhyOrIsCancelled();
    void stackOpensWithTheFrameBarAndKeysMoveThroughIt();
    void eachFrameShownIsDetectedAndReported();
    void savedFeaturesEqualTheCommandLineAndCancelWritesNothing();
    void tracksDrawTailsThroughThePreviousPositions();
    void videoFramesCarryTheirTimes();

private:
    void setUp(HessianMaximaMainWin *window);
    QTemporaryDir workDir;
    QString stackPath;
    QString stillPath;
};

void TstSequenceWindow::initTestCase()
{
    QVERIFY(workDir.isValid());
    keepSettingsIn(workDir.filePath(QStringLiteral("settings")));
    QVERIFY(QDir::setCurrent(workDir.path()));
    stackPath = workDir.filePath(QStringLiteral("stack.tif"));
    QVERIFY(writeStack(stackPath));
    stillPath = workDir.filePath(QStringLiteral("still.png"));
    QImage still(kWidth, kHeight, QImage::Format_Grayscale8);
    const std::vector<uint8_t> pixels = page(0);
    for (int y = 0; y < kHeight; ++y)
        memcpy(still.scanLine(y), &pixels[(size_t)y * kWidth], kWidth);
    QVERIFY(still.save(stillPath));
}

void TstSequenceWindow::init()
{
    forgetSettings();
}

void TstSequenceWindow::setUp(HessianMaximaMainWin *window)
{
    window->show();
    window->activateWindow();
    QApplication::setActiveWindow(window);
    QVERIFY(QTest::qWaitForWindowActive(window));
    part<QDoubleSpinBox>(window, "hessianSigmaSBox")->setValue(3.0);
    part<QDoubleSpinBox>(window, "maxThresholdSBox")->setValue(50.0);
}

void TstSequenceWindow::stackOpensWithTheFrameBarAndKeysMoveThroughIt()
{
    HessianMaximaMainWin window;
    setUp(&window);
    auto *bar = part<QWidget>(&window, "frameBar");
    auto *slider = part<QSlider>(&window, "frameSlider");
    auto *tracks = part<QGroupBox>(&window, "tracksBox");
    const QSize viewSize = part<QWidget>(&window, "featuresWidget")->size();

    // A still picture: the window as it always was.
    QVERIFY(window.openPicture(stillPath));
    QVERIFY(!bar->isVisibleTo(&window) && !tracks->isVisibleTo(&window));
    QCOMPARE(part<QWidget>(&window, "featuresWidget")->size(), viewSize);

    QVERIFY(window.openPicture(stackPath));
    QVERIFY(bar->isVisibleTo(&window) && tracks->isVisibleTo(&window));
    QCOMPARE(slider->minimum(), 0);
    QCOMPARE(slider->maximum(), kFrames - 1);
    QCOMPARE(slider->value(), 0);
    QCOMPARE(frameText(&window), QStringLiteral("Frame 0 / %1").arg(kFrames - 1));
    QVERIFY(showsPage(&window, 0));

    // Right, End, Left, Home: each frame read and shown as its page.
    const struct {
        Qt::Key key;
        int frame;
    } steps[] = {{Qt::Key_Right, 1}, {Qt::Key_Right, 2}, {Qt::Key_End, kFrames - 1}, {Qt::Key_Left, kFrames - 2},
                 {Qt::Key_Home, 0}, {Qt::Key_Left, 0}};
    for (const auto &step : steps) {
        QTest::keyClick(&window, step.key);
        QTRY_COMPARE(slider->value(), step.frame);
        QTRY_VERIFY(showsPage(&window, step.frame));
        QCOMPARE(frameText(&window), QStringLiteral("Frame %1 / %2").arg(step.frame).arg(kFrames - 1));
    }
    // The slider goes to a frame too.
    slider->setValue(7);
    QTRY_VERIFY(showsPage(&window, 7));

    // Numbered pictures named by a pattern: a sequence as well.
    for (int p = 0; p < 3; ++p) {
        QImage numbered(kWidth, kHeight, QImage::Format_Grayscale8);
        const std::vector<uint8_t> pixels = page(p);
        for (int y = 0; y < kHeight; ++y)
            memcpy(numbered.scanLine(y), &pixels[(size_t)y * kWidth], kWidth);
        QVERIFY(numbered.save(workDir.filePath(QStringLiteral("frame_%1.png").arg(p + 1, 3, 10, QLatin1Char('0')))));
    }
    QVERIFY(window.openPicture(workDir.filePath(QStringLiteral("frame_%03d.png"))));
    QCOMPARE(slider->maximum(), 2);
    QVERIFY(showsPage(&window, 0));
    QTest::keyClick(&window, Qt::Key_End);
    QTRY_VERIFY(showsPage(&window, 2));

    // Back to a still picture: the bar goes.
    QVERIFY(window.openPicture(stillPath));
    QVERIFY(!bar->isVisibleTo(&window) && !tracks->isVisibleTo(&window));
}

void TstSequenceWindow::eachFrameShownIsDetectedAndReported()
{
    HessianMaximaMainWin window;
    setUp(&window);
    QVERIFY(window.openPicture(stackPath));
    auto *model = part<FeatureTableModel>(&window, "resultsModel");
    const Outcome cli = runCli({"--sigma", "3", "--threshold", "50", stackPath});
    QCOMPARE(cli.exitCode, 0);
    const QStringList rows = cli.out.split('\n', Qt::SkipEmptyParts).mid(1);
    const auto countOf = [&](int frame) {
        return rows.filter(QRegularExpression(QStringLiteral("^%1,").arg(frame))).size();
    };

    // Start on a sequence: the frame shown now, and each frame shown after.
    QString report = reportAfter(&window, [&] { part<QAction>(&window, "actionStartProcessing")->trigger(); });
    QRegularExpressionMatch match = QRegularExpression(QLatin1String(SuccessPattern)).match(report);
    QVERIFY2(match.hasMatch(), qPrintable(report));
    QCOMPARE(match.captured(1).toInt(), countOf(0));
    QCOMPARE(model->picture().frame, 0);

    report = reportAfter(&window, [&] { QTest::keyClick(&window, Qt::Key_Right); });
    match = QRegularExpression(QLatin1String(SuccessPattern)).match(report);
    QVERIFY2(match.hasMatch(), qPrintable(report));
    QCOMPARE(match.captured(1).toInt(), countOf(1));
    // The frame and its circles come together.
    QCOMPARE(model->picture().frame, 1);
    QVERIFY(showsPage(&window, 1));
    QCOMPARE(frameText(&window), QStringLiteral("Frame 1 / %1").arg(kFrames - 1));

    // Playing: every frame detected, the rate shown beside the report, and
    // playback ends on the last frame.
    auto *rate = part<QLabel>(&window, "playbackRateLabel");
    QTest::keyClick(&window, Qt::Key_Space);
    QTRY_VERIFY(rate->isVisible());
    QVERIFY2(QRegularExpression(QStringLiteral("^Playing: \\d+\\.\\d fps$")).match(rate->text()).hasMatch(),
             qPrintable(rate->text()));
    QVERIFY(QRegularExpression(QLatin1String(SuccessPattern))
                .match(part<QStatusBar>(&window, "statusBar")->currentMessage())
                .hasMatch());
    QTRY_COMPARE_WITH_TIMEOUT(model->picture().frame, (qint64)kFrames - 1, 15000);
    QTRY_VERIFY(!rate->isVisible());
    QCOMPARE(part<QAction>(&window, "actionPlay")->text(), QStringLiteral("Play"));
    QVERIFY(showsPage(&window, kFrames - 1));
    QCOMPARE(model->rowCount(), countOf(kFrames - 1));

    // The plot under the bar: every frame's count, as the command line finds it.
    const QMap<qint64, int> counts = part<FeatureCountPlot>(&window, "featureCountPlot")->counts();
    QCOMPARE(counts.size(), kFrames);
    for (int frame = 0; frame < kFrames; ++frame)
        QCOMPARE(counts.value(frame, -1), countOf(frame));
}

void TstSequenceWindow::savedFeaturesEqualTheCommandLineAndCancelWritesNothing()
{
    HessianMaximaMainWin window;
    setUp(&window);
    QVERIFY(window.openPicture(stackPath));
    QVERIFY(!reportAfter(&window, [&] { part<QAction>(&window, "actionStartProcessing")->trigger(); }).isEmpty());
    // On frame 3, Save Features still writes every frame.
    QTest::keyClick(&window, Qt::Key_Right);
    QTest::keyClick(&window, Qt::Key_Right);
    QTest::keyClick(&window, Qt::Key_Right);
    QTRY_COMPARE(part<FeatureTableModel>(&window, "resultsModel")->picture().frame, 3);

    const QString saved = workDir.filePath(QStringLiteral("frames.csv"));
    {
        ModalResponder responder({chooseFile(saved)});
        part<QAction>(&window, "actionSaveFeatures")->trigger();
        QVERIFY(responder.succeeded());
    }
    const Outcome cli = runCli({"--details", "--sigma", "3", "--threshold", "50", stackPath});
    QCOMPARE(cli.exitCode, 0);
    QVERIFY(cli.out.count('\n') > kFrames);
    QCOMPARE(QString::fromUtf8(fileBytes(saved)), cli.out);

    // With Tracks on, the saved table gains the track column, as --track
    // with the box's distance and gap gives it.
    part<QGroupBox>(&window, "tracksBox")->setChecked(true);
    part<QDoubleSpinBox>(&window, "trackDistanceSBox")->setValue(6.0);
    part<QSpinBox>(&window, "trackGapSBox")->setValue(1);
    const QString linked = workDir.filePath(QStringLiteral("linked.csv"));
    {
        ModalResponder responder({chooseFile(linked)});
        part<QAction>(&window, "actionSaveFeatures")->trigger();
        QVERIFY(responder.succeeded());
    }
    const Outcome tracked =
        runCli({"--details", "--sigma", "3", "--threshold", "50", "--track", "6", "--gap", "1", stackPath});
    QCOMPARE(tracked.exitCode, 0);
    QVERIFY(tracked.out.startsWith(cli.out.section('\n', 0, 0) + ",track\n"));
    QCOMPARE(QString::fromUtf8(fileBytes(linked)), tracked.out);
    part<QGroupBox>(&window, "tracksBox")->setChecked(false);

    // Save Annotated Image: the frame shown, frame 3, with its circles.
    const QString annotated = workDir.filePath(QStringLiteral("frame3.png"));
    {
        ModalResponder responder({chooseFile(annotated)});
        part<QAction>(&window, "actionSaveAnnotatedImage")->trigger();
        QVERIFY(responder.succeeded());
    }
    QTRY_VERIFY(QFile::exists(annotated) && !QImage(annotated).isNull());
    const QImage picture = QImage(annotated).convertToFormat(QImage::Format_RGB32);
    QCOMPARE(picture.size(), QSize(kWidth, kHeight));
    const std::vector<uint8_t> third = page(3);
    const QPoint blob = movingBlob(3).toPoint();
    QCOMPARE(qGray(picture.pixel(blob)), (int)third[(size_t)blob.y() * kWidth + blob.x()]);
    QVERIFY(qGray(picture.pixel(blob)) > 200);
    QVERIFY(isOverlayRed(picture.pixel(blob.x() + 9, blob.y())));

    // Cancelled before a frame is written: no file at all.
    const QString cancelled = workDir.filePath(QStringLiteral("cancelled.csv"));
    {
        PoolGate gate;
        ModalResponder responder({chooseFile(cancelled), [&](QWidget *modal) {
                                      auto *progress = qobject_cast<QProgressDialog *>(modal);
                                      QVERIFY(progress);
                                      auto *button = progress->findChild<QPushButton *>();
                                      QVERIFY(button);
                                      button->click();
                                      gate.release();
                                  }});
        part<QAction>(&window, "actionSaveFeatures")->trigger();
        QVERIFY(responder.succeeded());
    }
    QVERIFY(!QFile::exists(cancelled));
    QVERIFY(QDir(workDir.path()).entryList({QStringLiteral("cancelled*")}, QDir::Files | QDir::Hidden).isEmpty());
}

void TstSequenceWindow::tracksDrawTailsThroughThePreviousPositions()
{
    HessianMaximaMainWin window;
    setUp(&window);
    QVERIFY(window.openPicture(stackPath));
    part<QGroupBox>(&window, "tracksBox")->setChecked(true);
    QVERIFY(!reportAfter(&window, [&] { part<QAction>(&window, "actionStartProcessing")->trigger(); }).isEmpty());
    const int steps = 5;
    for (int i = 0; i < steps; ++i)
        QVERIFY(!reportAfter(&window, [&] { QTest::keyClick(&window, Qt::Key_Right); }).isEmpty());

    auto *view = part<FeaturesWidget>(&window, "featuresWidget");
    const PictureResult shown = part<FeatureTableModel>(&window, "resultsModel")->picture();
    QCOMPARE(shown.frame, (qint64)steps);
    QCOMPARE(shown.features.size(), 2);
    const int moving = std::abs(shown.features[0].x - movingBlob(steps).x()) < 2 ? 0 : 1;
    QVector<QPolygonF> tails = view->featureTails();
    QCOMPARE(tails.size(), 2);
    // The moving blob's tail goes through its positions in frames 0..5, the
    // still one's stays where it is.
    QCOMPARE(tails[moving].size(), steps + 1);
    for (int k = 0; k <= steps; ++k)
        QVERIFY2(QLineF(tails[moving][k], movingBlob(k)).length() < 0.25,
                 qPrintable(QStringLiteral("%1,%2").arg(tails[moving][k].x()).arg(tails[moving][k].y())));
    for (const QPointF &point : tails[1 - moving])
        QVERIFY(QLineF(point, kStillBlob).length() < 0.25);

    // Hovering the moving circle: its track, its length and speed.
    const QPoint at = view->toWidget(QPointF(shown.features[moving].x + 0.5, shown.features[moving].y + 0.5)).toPoint();
    QHelpEvent hover(QEvent::ToolTip, at, view->mapToGlobal(at));
    QApplication::sendEvent(view, &hover);
    QTRY_VERIFY(QToolTip::isVisible());
    QVERIFY2(QToolTip::text().contains(QStringLiteral("\ntrack ")), qPrintable(QToolTip::text()));
    QVERIFY2(QToolTip::text().contains(QStringLiteral(", %1 frames\nspeed 3.00 px/frame").arg(steps + 1)),
             qPrintable(QToolTip::text()));
    QToolTip::hideText();

    // A shorter tail: the last three frames' steps; off: none.
    part<QSpinBox>(&window, "tailLengthSBox")->setValue(3);
    tails = view->featureTails();
    QCOMPARE(tails[moving].size(), 4);
    QVERIFY(std::abs(tails[moving].first().x() - (tails[moving].last().x() - 3 * kStepPerFrame)) < 0.5);

    // Back a frame: the tails end there. A gate shorter than a step: the
    // moving blob is in no track longer than its own detection.
    QVERIFY(!reportAfter(&window, [&] { QTest::keyClick(&window, Qt::Key_Left); }).isEmpty());
    const PictureResult before = part<FeatureTableModel>(&window, "resultsModel")->picture();
    const int movingBefore = std::abs(before.features[0].x - movingBlob(steps - 1).x()) < 2 ? 0 : 1;
    tails = view->featureTails();
    QCOMPARE(tails[movingBefore].size(), 4);
    QVERIFY(QLineF(tails[movingBefore].last(), movingBlob(steps - 1)).length() < 0.25);
    part<QDoubleSpinBox>(&window, "trackDistanceSBox")->setValue(kStepPerFrame / 2.0);
    tails = view->featureTails();
    QCOMPARE(tails[movingBefore].size(), 1);
    QCOMPARE(tails[1 - movingBefore].size(), 4);
    part<QGroupBox>(&window, "tracksBox")->setChecked(false);
    QVERIFY(view->featureTails().isEmpty());
}

// How many of this process's descriptors are open on a path.
static int openCount(const QString &path)
{
    const QString target = QFileInfo(path).canonicalFilePath();
    int count = 0;
    for (const QFileInfo &fd : QDir(QStringLiteral("/proc/self/fd")).entryInfoList(QDir::System | QDir::NoDotAndDotDot))
        count += fd.symLinkTarget() == target;
    return count;
}

void TstSequenceWindow::cameraThatCannotBeOpenedSaysWhyOrIsCancelled()
{
    HessianMaximaMainWin window;
    setUp(&window);
    const QString path = workDir.filePath(QStringLiteral("no-camera"));
    QString details;
    {
        ModalResponder responder({[&](QWidget *modal) {
            auto *box = qobject_cast<QMessageBox *>(modal);
            QVERIFY(box);
            details = box->detailedText();
            box->accept();
        }});
        QVERIFY(!window.openCamera(path));
        QVERIFY(responder.succeeded());
    }
    QVERIFY2(details.startsWith(path + QStringLiteral(": ")) && details.size() > path.size() + 2, qPrintable(details));
    QVERIFY(part<QStatusBar>(&window, "statusBar")->currentMessage().startsWith(path + " could not be opened: "));
    QVERIFY(!part<QWidget>(&window, "frameBar")->isVisibleTo(&window));

    // A stream whose writer sends nothing would be waited on for ever: the
    // window waits with a Cancel, and stays as it was when cancelled.
    const QString fifo = workDir.filePath(QStringLiteral("silent"));
    QCOMPARE(::mkfifo(QFile::encodeName(fifo).constData(), 0600), 0);
    const int writer = ::open(QFile::encodeName(fifo).constData(), O_RDWR);
    QVERIFY(writer >= 0);
    {
        ModalResponder responder({[&](QWidget *modal) {
            auto *progress = qobject_cast<QProgressDialog *>(modal);
            QVERIFY(progress);
            // Cancel once the opening thread holds the stream, so that the
            // writer leaving below ends its read instead of its open()
            // waiting for a writer for ever.
            QTRY_VERIFY_WITH_TIMEOUT(openCount(fifo) == 2, 15000);
            auto *button = progress->findChild<QPushButton *>();
            QVERIFY(button);
            button->click();
        }});
        QVERIFY(!window.openCamera(fifo));
        QVERIFY(responder.succeeded());
    }
    // The writer leaves: the opening thread sees the stream end.
    ::close(writer);
    QTRY_COMPARE_WITH_TIMEOUT(openCount(fifo), 0, 15000);
    QCOMPARE(part<QStatusBar>(&window, "statusBar")->currentMessage(), QStringLiteral("Opening %1 was cancelled").arg(fifo));
    QVERIFY(!part<QWidget>(&window, "frameBar")->isVisibleTo(&window));
}

// A clip made by the ffmpeg program (skipped without it): frames carry
// their time stamps, and saving gives the command line's frame and t
// columns.
void TstSequenceWindow::videoFramesCarryTheirTimes()
{
    const QString ffmpeg = QStandardPaths::findExecutable(QStringLiteral("ffmpeg"));
    if (ffmpeg.isEmpty())
        QSKIP("the ffmpeg program is not installed");
    const QString clip = workDir.filePath(QStringLiteral("clip.mkv"));
    QProcess make;
    make.start(ffmpeg, {"-hide_banner", "-loglevel", "error", "-nostdin", "-y", "-f", "lavfi", "-i",
                        "testsrc=size=160x120:rate=25:duration=0.2", "-c:v", "ffv1", clip});
    QVERIFY(make.waitForFinished(60000) && make.exitCode() == 0);

    HessianMaximaMainWin window;
    setUp(&window);
    QVERIFY(window.openPicture(clip));
    QCOMPARE(frameText(&window), QStringLiteral("Frame 0 / 4   t 0.000 s"));
    QTest::keyClick(&window, Qt::Key_Right);
    QTRY_COMPARE(frameText(&window), QStringLiteral("Frame 1 / 4   t 0.040 s"));

    QVERIFY(!reportAfter(&window, [&] { part<QAction>(&window, "actionStartProcessing")->trigger(); }).isEmpty());
    const QString saved = workDir.filePath(QStringLiteral("clip.csv"));
    {
        ModalResponder responder({chooseFile(saved)});
        part<QAction>(&window, "actionSaveFeatures")->trigger();
        QVERIFY(responder.succeeded());
    }
    const Outcome cli = runCli({"--details", "--sigma", "3", "--threshold", "50", clip});
    QCOMPARE(cli.exitCode, 0);
    QVERIFY(cli.out.startsWith(QStringLiteral("frame,t,x,y,")));
    QCOMPARE(QString::fromUtf8(fileBytes(saved)), cli.out);
}

QTEST_MAIN(TstSequenceWindow)
#include "tst_sequencewindow.moc"
