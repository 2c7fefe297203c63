#include "detectionjob.h"
#include "featuretablemodel.h"
#include "featureswidget.h"
#include "guitesthelpers.h"
#include "hessianmaximamainwin.h"
#include "testimages.h"
#include "responsehistogram.h"
#include "videowidget.h"

#include <QAction>
#include <QClipboard>
#include <QComboBox>
#include <QDockWidget>
#include <QDoubleSpinBox>
#include <QDropEvent>
#include <QFile>
#include <QFileDialog>
#include <QImageReader>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMessageBox>
#include <QMimeData>
#include <QPainter>
#include <QProcess>
#include <QPushButton>
#include <QRegularExpression>
#include <QRunnable>
#include <QProgressBar>
#include <QSemaphore>
#include <QSpinBox>
#include <QFontMetrics>
#include <QLayout>
#include <QStatusBar>
#include <QStatusTipEvent>
#include <QTableView>
#include <QTemporaryDir>
#include <QThreadPool>
#include <QToolBar>
#include <QToolButton>
#include <QToolTip>
#include <QUrl>
#include <QtTest>

#include <memory>

#if defined(__GLIBC__)
#include <malloc.h>
#endif

namespace {

const char *const SuccessPattern =
    "^Success\\. Feature count: (\\d+)\\. Time per frame: +\\d+\\.\\d\\d msec\\. "
    "Frames per second: +(\\d+\\.\\d{4}|inf)$";

// Black with white discs: blobs for sigmas 3 to 8.
QImage discPicture()
{
    QImage picture(240, 160, QImage::Format_RGB32);
    picture.fill(Qt::black);
    QPainter painter(&picture);
    painter.setPen(Qt::NoPen);
    painter.setBrush(Qt::white);
    // Centred on pixel centres: a disc symmetric about a pixel boundary
    // has two equal maxima, and neither is strict.
    painter.drawEllipse(QPointF(60.5, 50.5), 7, 7);
    painter.drawEllipse(QPointF(170.5, 110.5), 7, 7);
    painter.drawEllipse(QPointF(200.5, 30.5), 4, 4);
    painter.end();
    return picture;
}

template <typename T>
T *part(QWidget *window, const char *name)
{
    return window->findChild<T *>(QLatin1String(name));
}

ModalResponder::Handler cancelDialog(QString *title = nullptr, QString *directory = nullptr,
                                     QStringList *filters = nullptr)
{
    return [=](QWidget *modal) {
        auto *dialog = qobject_cast<QFileDialog *>(modal);
        QVERIFY(dialog);
        if (title)
            *title = dialog->windowTitle();
        if (directory)
            *directory = dialog->directory().absolutePath();
        if (filters)
            *filters = dialog->nameFilters();
        dialog->reject();
    };
}

// Open File, with the dialogs that come up answered in turn.
bool openFile(QWidget *window, std::vector<ModalResponder::Handler> answers)
{
    ModalResponder responder(std::move(answers));
    part<QAction>(window, "actionOpenFile")->trigger();
    return responder.succeeded();
}

bool openThroughDialog(QWidget *window, const QString &path)
{
    return openFile(window, {chooseFile(path)});
}

bool activate(QWidget *window)
{
    window->activateWindow();
    QApplication::setActiveWindow(window);
    return QTest::qWaitForWindowActive(window);
}

bool startEnabledEverywhere(QWidget *window, bool enabled)
{
    auto *action = part<QAction>(window, "actionStartProcessing");
    auto *toolButton = part<QToolBar>(window, "mainToolBar")->widgetForAction(action);
    return action->isEnabled() == enabled && toolButton && toolButton->isEnabled() == enabled
           && part<QPushButton>(window, "startProcessingButton")->isEnabled() == enabled;
}

QString waitForReport(QWidget *window)
{
    auto *statusBar = part<QStatusBar>(window, "statusBar");
    if (!QTest::qWaitFor([&] { return !statusBar->currentMessage().isEmpty(); }, 30000))
        return QString();
    return statusBar->currentMessage();
}

int reportedCount(const QString &message)
{
    const QRegularExpressionMatch match = QRegularExpression(QLatin1String(SuccessPattern)).match(message);
    return match.hasMatch() ? match.captured(1).toInt() : -1;
}

// Whether the view shows a circle of `radius` image pixels around each
// feature's pixel centre (checked right of it; the geometry itself is the
// widget's test).
bool circlesDrawn(QWidget *view, const QVector<Feature> &features, double radius)
{
    const QImage shot = view->grab().toImage();
    const QSize picture = discPicture().size();
    const QRect viewport = frameViewport(view->size(), picture);
    const double zoom = (double)viewport.width() / picture.width();
    for (const Feature &f : features) {
        const QPointF rim(viewport.left() + (f.x + 0.5 + radius) * zoom, viewport.top() + (f.y + 0.5) * zoom);
        if (!redNear(shot, rim))
            return false;
    }
    return true;
}

// The report of the next run, once it has come.
QString nextReport(QWidget *window)
{
    QSignalSpy reports(part<QStatusBar>(window, "statusBar"), &QStatusBar::messageChanged);
    part<QAction>(window, "actionStartProcessing")->trigger();
    if (!reports.wait(30000))
        return QString();
    return reports.last().first().toString();
}

// What the command-line tool prints for the picture with these options.
QByteArray commandLineOutput(const QStringList &arguments)
{
    QProcess cli;
    cli.start(QStringLiteral(HESSIAN_CLI_PATH), arguments);
    if (!cli.waitForFinished(60000) || cli.exitCode() != 0)
        return QByteArray();
    return cli.readAllStandardOutput();
}

// A feature table in JSON without its run time, which differs from run to
// run.
QJsonArray withoutTimes(const QByteArray &json)
{
    QJsonArray pictures = QJsonDocument::fromJson(json).array();
    for (int i = 0; i < pictures.size(); ++i) {
        QJsonObject picture = pictures[i].toObject();
        picture.remove(QStringLiteral("elapsed_msec"));
        pictures[i] = picture;
    }
    return pictures;
}

QByteArray fileBytes(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

void turnWheel(QWidget *view, const QPointF &at, int notches)
{
    for (int i = 0; i < notches; ++i) {
        QWheelEvent wheel(at, QPointF(view->mapToGlobal(at.toPoint())), QPoint(), QPoint(0, 120), Qt::NoButton, Qt::NoModifier,
                          Qt::NoScrollPhase, false);
        QApplication::sendEvent(view, &wheel);
    }
}

// A 12-bit camera's picture stored in 16 bits: the discs' grey v at
// 1000 + 4 v, as a 16-bit grey PNG.
bool writeDeepPicture(const QString &path)
{
    const QImage discs = discPicture();
    QImage deep(discs.size(), QImage::Format_Grayscale16);
    for (int y = 0; y < deep.height(); ++y)
        for (int x = 0; x < deep.width(); ++x)
            reinterpret_cast<quint16 *>(deep.scanLine(y))[x] = (quint16)(1000 + 4 * qGray(discs.pixel(x, y)));
    return deep.save(path);
}

// Bytes the C heap has handed out and not taken back, or -1 where that
// cannot be read (other C libraries, or a sanitizer's own allocator).
qint64 heapInUse()
{
#if defined(__GLIBC__) && !defined(__SANITIZE_ADDRESS__)
    const struct mallinfo2 info = mallinfo2();
    return (qint64)(info.uordblks + info.hblkhd);
#else
    return -1;
#endif
}

} // namespace

class TstMainWindow : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void initialState();
    void focusFollowsCreationOrder();
    void dialogOffersEveryFormatAndCancelChangesNothing();
    void unreadableFileWarnsAndKeepsThePicture_data();
    void unreadableFileWarnsAndKeepsThePicture();
    void damagedFileOpensAndSaysSo();
    void runReportsAndDrawsCircles();
    void onlyTheLastStartIsReported();
    void stormOfStartsReportsOnlyTheLast();
    void finishWithoutResultReportsFailure();
    void shortcuts();
    void addedCommandsAndTheirShortcuts();
    void zoomKeepsCirclesOnTheirPixels();
    void savedResultsMatchTheCommandLine();
    void commandLinePictureOpens();
    void droppedFileOpensAndClearsTheReport();
    void liveUpdateReportsOnlyTheLastRun();
    void histogramClickSetsTheThreshold();
    void exitEndsTheProcessWithCodeZero_data();
    void exitEndsTheProcessWithCodeZero();
    void resultsTableFollowsTheRunAndTheCircles();
    void resultsTableAsksOnlyForTheRowsInView();
    void scaleRangeCirclesAreTheBlobsAndTheViewToggles();
    void deepPictureDetectsByDefaultAndItsWarningStays();
    void menuTipsKeepTheLineAndAFailedOpenNamesItsFile();
    void stopCancelsTheRunAndChangesNothingElse();
    void settingsAndRecentFilesAreRemembered();
    void pixelUnderThePointer();
    void runLineIsNotCoveredByThePictureLine();
    void aboutAndToolTips();

private:
    QTemporaryDir workDir;
    QString blobsPath;
    QString badPath;
    QString bombPath;
};

void TstMainWindow::initTestCase()
{
    QVERIFY(workDir.isValid());
    keepSettingsIn(workDir.filePath(QStringLiteral("settings")));
    // The dialog starts in "./": make that a known place.
    QVERIFY(QDir::setCurrent(workDir.path()));
    blobsPath = workDir.filePath(QStringLiteral("blobs.png"));
    QVERIFY(discPicture().save(blobsPath));
    badPath = workDir.filePath(QStringLiteral("notes.png"));
    QFile bad(badPath);
    QVERIFY(bad.open(QIODevice::WriteOnly));
    bad.write("This is text, not a picture.\n");
    // A few hundred bytes that claim 65500 x 65500 pixels.
    bombPath = workDir.filePath(QStringLiteral("bomb.jpg"));
    QFile bomb(bombPath);
    QVERIFY(bomb.open(QIODevice::WriteOnly));
    bomb.write(jpegClaiming(65500, 65500));
}

void TstMainWindow::init()
{
    forgetSettings();
}

void TstMainWindow::initialState()
{
    HessianMaximaMainWin window;
    window.show();
    QCOMPARE(window.windowTitle(), QStringLiteral("HessianMaximaMainWin"));
    QVERIFY(!window.windowIcon().isNull());
    auto *open = part<QAction>(&window, "actionOpenFile");
    auto *start = part<QAction>(&window, "actionStartProcessing");
    auto *exit = part<QAction>(&window, "actionExit");
    QVERIFY(startEnabledEverywhere(&window, false));
    QVERIFY(open->isEnabled() && part<QPushButton>(&window, "openFileButton")->isEnabled() && exit->isEnabled());
    QVERIFY(part<QStatusBar>(&window, "statusBar")->currentMessage().isEmpty());

    // Shown value, range and step of the two spin boxes.
    auto *sigma = part<QDoubleSpinBox>(&window, "hessianSigmaSBox");
    auto *threshold = part<QDoubleSpinBox>(&window, "maxThresholdSBox");
    QCOMPARE(sigma->text(), QStringLiteral("5.00"));
    QCOMPARE(threshold->text(), QStringLiteral("100.00"));
    QVERIFY(sigma->minimum() == 2.0 && sigma->maximum() == 30.0);
    QVERIFY(threshold->minimum() == 0.0 && threshold->maximum() == 1000.0);
    sigma->stepUp();
    threshold->stepDown();
    QCOMPARE(sigma->value(), 5.5);
    QCOMPARE(threshold->value(), 90.0);

    auto *menu = part<QMenu>(&window, "menuFile");
    QCOMPARE(menu->title(), QStringLiteral("File"));
    // The form's entries in their order, the separator right before
    // Exit; the window's later commands lie between Start and it.
    const QList<QAction *> items = menu->actions();
    QVERIFY(items.size() >= 4);
    QVERIFY(items[0] == open && items[1] == start && items[items.size() - 2]->isSeparator()
            && items.last() == exit);
    // The controls added beside the form leave its size as it was.
    QCOMPARE(window.size(), QSize(732, 484));
    QCOMPARE(part<QToolBar>(&window, "mainToolBar")->actions(), (QList<QAction *>{open, start}));
}

void TstMainWindow::focusFollowsCreationOrder()
{
    HessianMaximaMainWin window;
    window.show();
    QVERIFY(activate(&window));
    auto *openButton = part<QPushButton>(&window, "openFileButton");
    auto *startButton = part<QPushButton>(&window, "startProcessingButton");
    auto *sigma = part<QDoubleSpinBox>(&window, "hessianSigmaSBox");
    auto *threshold = part<QDoubleSpinBox>(&window, "maxThresholdSBox");

    auto focusAfterTab = [] {
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
        return QApplication::focusWidget();
    };
    auto holds = [](QWidget *focus, QWidget *control) {
        return focus == control || control->isAncestorOf(focus);
    };

    openButton->setFocus();
    QVERIFY(holds(focusAfterTab(), sigma));  // Start is off: skipped
    QVERIFY(holds(focusAfterTab(), threshold));
    QVERIFY(holds(focusAfterTab(), openButton));

    QVERIFY(openThroughDialog(&window, blobsPath));
    QVERIFY(activate(&window));
    openButton->setFocus();
    QVERIFY(holds(focusAfterTab(), startButton));
    QVERIFY(holds(focusAfterTab(), sigma));
}

void TstMainWindow::dialogOffersEveryFormatAndCancelChangesNothing()
{
    HessianMaximaMainWin window;
    window.show();
    auto *view = part<QWidget>(&window, "featuresWidget");

    // The button only triggers the action: one dialog, once.
    QSignalSpy opened(part<QAction>(&window, "actionOpenFile"), &QAction::triggered);
    QString title, directory;
    QStringList filters;
    {
        ModalResponder responder({cancelDialog(&title, &directory, &filters)});
        QTest::mouseClick(part<QPushButton>(&window, "openFileButton"), Qt::LeftButton);
        QVERIFY(responder.succeeded());
    }
    QCOMPARE(opened.count(), 1);
    QVERIFY(startEnabledEverywhere(&window, false));
    QCOMPARE(title, QStringLiteral("Open image file"));
    QCOMPARE(directory, QDir::current().absolutePath());

    // Images first (the filter chosen at start: a pattern per readable
    // format, each after one space, none of the formats always refused),
    // then videos and all files.
    QCOMPARE(filters.size(), 3);
    QVERIFY(filters[1].startsWith(QStringLiteral("Videos (*.mp4 *.mkv ")));
    QCOMPARE(filters[2], QStringLiteral("All files (*)"));
    const QString filter = filters.first();
    QList<QByteArray> formats = QImageReader::supportedImageFormats();
    for (const char *refused : {"svg", "svgz", "mng", "icns"}) {
        QVERIFY(!filter.contains(QStringLiteral(" *.") + QLatin1String(refused) + ' '));
        formats.removeAll(refused);
    }
    formats << "fits" << "fit" << "fts";  // cfitsio's, after Qt's
    QVERIFY(filter.startsWith(QStringLiteral("Images ( *.") + QString::fromLatin1(formats.first()) + ' '));
    QVERIFY(filter.endsWith(QStringLiteral(" *.") + QString::fromLatin1(formats.last()) + ')'));
    QCOMPARE(filter.count(QStringLiteral(" *.")), formats.size());
    for (const char *format : {"png", "jpg", "jpeg", "bmp", "gif", "tif", "tga", "ico"})
        QVERIFY(filter.contains(QStringLiteral(" *.") + QLatin1String(format) + ' '));

    // Once a file was opened from elsewhere, the dialog starts in its
    // folder, in this window and the next; cancelling it keeps the picture
    // and Start.
    QDir(workDir.path()).mkdir(QStringLiteral("elsewhere"));
    const QString elsewhere = workDir.filePath(QStringLiteral("elsewhere/blobs.png"));
    QFile::remove(elsewhere);
    QVERIFY(QFile::copy(blobsPath, elsewhere));
    QVERIFY(openThroughDialog(&window, elsewhere));
    QVERIFY(startEnabledEverywhere(&window, true));
    const QImage shown = view->grab().toImage();
    QVERIFY(openFile(&window, {cancelDialog(nullptr, &directory)}));
    QCOMPARE(directory, QFileInfo(elsewhere).absolutePath());
    QVERIFY(startEnabledEverywhere(&window, true));
    QCOMPARE(view->grab().toImage(), shown);
    HessianMaximaMainWin next;
    QVERIFY(openFile(&next, {cancelDialog(nullptr, &directory)}));
    QCOMPARE(directory, QFileInfo(elsewhere).absolutePath());
}

void TstMainWindow::unreadableFileWarnsAndKeepsThePicture_data()
{
    QTest::addColumn<QString>("path");
    QTest::newRow("text") << badPath;
    // Refused from the header, not decoded into 17 GB.
    QTest::newRow("size bomb") << bombPath;
}

void TstMainWindow::unreadableFileWarnsAndKeepsThePicture()
{
    QFETCH(QString, path);
    HessianMaximaMainWin window;
    window.show();
    auto *view = part<QWidget>(&window, "featuresWidget");
    QVERIFY(openThroughDialog(&window, blobsPath));
    part<QPushButton>(&window, "startProcessingButton")->click();
    waitForReport(&window);
    const QImage before = view->grab().toImage();
    QVERIFY(countRed(before) > 0);

    QString warning;
    const auto readWarning = [&](QWidget *modal) {
        auto *box = qobject_cast<QMessageBox *>(modal);
        QVERIFY(box);
        warning = QStringList{box->windowTitle(), box->text(), QString::number(box->icon()),
                              QString::number(box->standardButtons())}
                      .join('|');
        box->button(QMessageBox::Ok)->click();
    };
    QVERIFY(openFile(&window, {chooseFile(path), readWarning}));
    QCOMPARE(warning, QStringLiteral("Invalid image file|Image isn't loaded.\nBad or unknown image format.|%1|%2")
                          .arg(QMessageBox::Warning)
                          .arg(QMessageBox::Ok));
    QVERIFY(startEnabledEverywhere(&window, false));
    // The old picture and its circles stay; a good file clears the circles.
    QCOMPARE(view->grab().toImage(), before);
    QVERIFY(openThroughDialog(&window, blobsPath));
    QVERIFY(startEnabledEverywhere(&window, true));
    QCOMPARE(countRed(view->grab().toImage()), 0);
}

// What could be read of a file cut short is shown, and the status bar says
// the file is damaged until a clean one opens.
void TstMainWindow::damagedFileOpensAndSaysSo()
{
    const QByteArray jpeg = encoded(discPicture(), "jpg");
    const QString path = workDir.filePath(QStringLiteral("cut.jpg"));
    QVERIFY(writeFile(path, jpeg.left(jpeg.size() / 2)));
    HessianMaximaMainWin window;
    window.show();
    auto *statusBar = part<QStatusBar>(&window, "statusBar");

    QVERIFY(openThroughDialog(&window, path));
    QVERIFY(startEnabledEverywhere(&window, true));
    const QRegularExpression said(QStringLiteral(
        "^cut\\.jpg: damaged file \\((Corrupt JPEG data|Premature end of JPEG file).*\\); the part that could be "
        "read is shown$"));
    QVERIFY2(said.match(statusBar->currentMessage()).hasMatch(), qPrintable(statusBar->currentMessage()));
    QVERIFY(openThroughDialog(&window, blobsPath));
    QCOMPARE(statusBar->currentMessage(), QString());
}

// The report and the circles of a run; a second Start clears the circles
// before its result arrives.
void TstMainWindow::runReportsAndDrawsCircles()
{
    HessianMaximaMainWin window;
    window.show();
    part<QDoubleSpinBox>(&window, "hessianSigmaSBox")->setValue(4.0);
    QVERIFY(openThroughDialog(&window, blobsPath));
    part<QPushButton>(&window, "startProcessingButton")->click();
    const QString message = waitForReport(&window);

    const DetectionResult expected = runDetectionJob(discPicture(), 4.0f, 100.0f);
    QVERIFY(!expected.features.isEmpty());
    QVERIFY2(reportedCount(message) == expected.features.size(), qPrintable(message));
    auto *view = part<QWidget>(&window, "featuresWidget");
    QVERIFY(circlesDrawn(view, expected.features, 12.0));

    // Start clears the circles at once: none is drawn while the next run
    // waits for the pool.
    PoolGate gate;
    part<QPushButton>(&window, "startProcessingButton")->click();
    QCOMPARE(countRed(view->grab().toImage()), 0);
}

void TstMainWindow::onlyTheLastStartIsReported()
{
    HessianMaximaMainWin window;
    window.show();
    QVERIFY(openThroughDialog(&window, blobsPath));
    auto *sigma = part<QDoubleSpinBox>(&window, "hessianSigmaSBox");
    auto *start = part<QPushButton>(&window, "startProcessingButton");
    const QVector<Feature> second = runDetectionJob(discPicture(), 3.0f, 100.0f).features;
    QVERIFY(runDetectionJob(discPicture(), 8.0f, 100.0f).features.size() != second.size());

    QSignalSpy reports(part<QStatusBar>(&window, "statusBar"), &QStatusBar::messageChanged);
    {
        // Both runs wait in the pool's queue and then finish in order, the
        // first one first.
        PoolGate gate;
        sigma->setValue(8.0);
        start->click();
        sigma->setValue(3.0);
        start->click();
        gate.release();
    }
    QCoreApplication::sendPostedEvents();
    QCOMPARE(reports.count(), 1);
    QCOMPARE(reportedCount(reports.first().first().toString()), second.size());
    // The circles are the second run's, with its radius of 9.
    QVERIFY(circlesDrawn(part<QWidget>(&window, "featuresWidget"), second, 9.0));
}

// Fifty starts while the earlier runs are still going: only the last one
// reaches the status bar and the overlay, and every run's memory is given
// back once the pool is done.
void TstMainWindow::stormOfStartsReportsOnlyTheLast()
{
    const QString path = workDir.filePath(QStringLiteral("large.png"));
    QVERIFY(discPicture().scaled(1280, 960).save(path));
    HessianMaximaMainWin window;
    window.show();
    QVERIFY(openThroughDialog(&window, path));
    auto *sigma = part<QDoubleSpinBox>(&window, "hessianSigmaSBox");
    auto *start = part<QPushButton>(&window, "startProcessingButton");
    QSignalSpy reports(part<QStatusBar>(&window, "statusBar"), &QStatusBar::messageChanged);

    QThreadPool::globalInstance()->waitForDone();
    QCoreApplication::processEvents();
    const qint64 before = heapInUse();
    double lastSigma = 0.0;
    for (int i = 0; i < 50; ++i) {
        lastSigma = 2.0 + (i % 8) * 0.5;
        sigma->setValue(lastSigma);
        start->click();
    }
    QThreadPool::globalInstance()->waitForDone();
    QTRY_COMPARE(reports.count(), 1);
    QCoreApplication::processEvents();
    QCOMPARE(reports.count(), 1);
    const int expected = runDetectionJob(QImage(path).convertToFormat(QImage::Format_RGB32), (float)lastSigma, 100.0f)
                             .features.size();
    QCOMPARE(reportedCount(reports.first().first().toString()), expected);

    // One run holds about 13 bytes a pixel (16 MB here); what stays is the
    // last run's feature list.
    if (before >= 0) {
        const qint64 kept = heapInUse() - before;
        QVERIFY2(kept < 2 * 1024 * 1024, qPrintable(QString("%1 bytes kept").arg(kept)));
    }
}

void TstMainWindow::finishWithoutResultReportsFailure()
{
    // The watcher then holds a future without a result, as after a task that
    // threw: the report must say so instead of reading a missing result.
    HessianMaximaMainWin window;
    QVERIFY(QMetaObject::invokeMethod(&window, "finishDetectHessianDetMax"));
    QCOMPARE(part<QStatusBar>(&window, "statusBar")->currentMessage(), QStringLiteral("Failed"));
    QCOMPARE(countRed(part<QWidget>(&window, "featuresWidget")->grab().toImage()), 0);
}

void TstMainWindow::shortcuts()
{
    HessianMaximaMainWin window;
    window.show();
    QVERIFY(activate(&window));
    QSignalSpy started(part<QAction>(&window, "actionStartProcessing"), &QAction::triggered);

    QTest::keyClick(&window, Qt::Key_S, Qt::ControlModifier);
    QCOMPARE(started.count(), 0);

    {
        ModalResponder responder({chooseFile(blobsPath)});
        QTest::keyClick(&window, Qt::Key_O, Qt::ControlModifier);
        QVERIFY(responder.succeeded());
    }
    QVERIFY(startEnabledEverywhere(&window, true));

    QVERIFY(activate(&window));
    QTest::keyClick(&window, Qt::Key_S, Qt::ControlModifier);
    QCOMPARE(started.count(), 1);
    QVERIFY(reportedCount(waitForReport(&window)) >= 0);
}

// The commands added beside the form, each through its shortcut: saving
// only while there is a result, Live Update off until asked for, and the
// view's zoom.
void TstMainWindow::addedCommandsAndTheirShortcuts()
{
    HessianMaximaMainWin window;
    window.show();
    QVERIFY(activate(&window));
    auto *saveFeatures = part<QAction>(&window, "actionSaveFeatures");
    auto *saveImage = part<QAction>(&window, "actionSaveAnnotatedImage");
    auto *live = part<QAction>(&window, "actionLiveUpdate");
    QVERIFY(!saveFeatures->isEnabled() && !saveImage->isEnabled() && live->isCheckable() && !live->isChecked());
    QCOMPARE(part<QSpinBox>(&window, "scalesSBox")->value(), 1);
    QVERIFY(!part<QDoubleSpinBox>(&window, "sigmaMaxSBox")->isEnabled());
    QCOMPARE(part<QComboBox>(&window, "polarityCBox")->currentIndex(), 0);

    QVERIFY(openThroughDialog(&window, blobsPath));
    QVERIFY(activate(&window));
    QTest::keyClick(&window, Qt::Key_S, Qt::ControlModifier);
    QVERIFY(reportedCount(waitForReport(&window)) > 0);
    QVERIFY(saveFeatures->isEnabled() && saveImage->isEnabled());
    for (const QKeySequence &keys :
         {QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_S), QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_E)}) {
        QVERIFY(activate(&window));
        QString caption;
        ModalResponder responder({[&caption](QWidget *modal) {
            caption = modal->windowTitle();
            modal->close();
        }});
        QTest::keySequence(&window, keys);
        QVERIFY(responder.succeeded());
        QVERIFY2(caption.startsWith(QLatin1String("Save ")), qPrintable(caption));
    }
    QVERIFY(activate(&window));
    QTest::keyClick(&window, Qt::Key_L, Qt::ControlModifier);
    QVERIFY(live->isChecked());
    QTest::keyClick(&window, Qt::Key_L, Qt::ControlModifier);
    QVERIFY(!live->isChecked());

    auto *view = part<FeaturesWidget>(&window, "featuresWidget");
    QTest::keyClick(&window, Qt::Key_1, Qt::ControlModifier);
    QCOMPARE(view->scale(), 1.0);
    QTest::keyClick(&window, Qt::Key_Plus, Qt::ControlModifier);
    QTest::keyClick(&window, Qt::Key_Equal, Qt::ControlModifier);
    QCOMPARE(view->scale(), 2.0);
    QTest::keyClick(&window, Qt::Key_Minus, Qt::ControlModifier);
    QVERIFY(std::abs(view->scale() - std::sqrt(2.0)) < 1e-9);
    QTest::keyClick(&window, Qt::Key_0, Qt::ControlModifier);
    QVERIFY(view->isFitted());
}

// The wheel zooms about the cursor: the picture point under it stays, and
// the circles stay centred on their pixels. Ctrl+0 fits again, and a fitted
// picture follows the window's size. Hovering a circle tells its feature.
void TstMainWindow::zoomKeepsCirclesOnTheirPixels()
{
    HessianMaximaMainWin window;
    window.show();
    QVERIFY(activate(&window));
    part<QDoubleSpinBox>(&window, "hessianSigmaSBox")->setValue(4.0);
    QVERIFY(openThroughDialog(&window, blobsPath));
    QVERIFY(reportedCount(nextReport(&window)) > 0);
    const QVector<Feature> features = runDetectionJob(discPicture(), 4.0f, 100.0f).features;
    const Feature target = features[1];  // (60, 50), away from the edges
    auto *view = part<FeaturesWidget>(&window, "featuresWidget");
    const QPointF middle(target.x + 0.5, target.y + 0.5);
    const QPointF cursor = view->toWidget(middle);

    turnWheel(view, cursor, 8);
    QVERIFY(!view->isFitted() && view->scale() >= 4.0);
    const QPointF under = view->toFrame(cursor);
    turnWheel(view, cursor, 1);
    QVERIFY(QLineF(view->toWidget(under), cursor).length() <= 1.0);
    const QPointF centre = view->toWidget(middle);
    const QImage shot = view->grab().toImage();
    const int row = (int)std::floor(centre.y());
    const int reach = (int)(12.0 * view->scale()) + 8;
    const RedExtents outline = redExtents(shot, row, (int)centre.x() - reach, (int)centre.x() + reach);
    QVERIFY2(outline.right - outline.left > 20.0 * view->scale() && std::abs(outline.centre() - centre.x()) <= 1.0,
             qPrintable(QStringLiteral("outline %1..%2 about %3").arg(outline.left).arg(outline.right).arg(centre.x())));

    QHelpEvent hover(QEvent::ToolTip, centre.toPoint(), view->mapToGlobal(centre.toPoint()));
    QApplication::sendEvent(view, &hover);
    QVERIFY2(QToolTip::text().contains(QStringLiteral("x %1, y %2").arg(target.x).arg(target.y)),
             qPrintable(QToolTip::text()));

    QToolTip::hideText();
    QVERIFY(activate(&window));
    QTest::keyClick(&window, Qt::Key_0, Qt::ControlModifier);
    QVERIFY(view->isFitted());
    window.resize(900, 640);
    QTRY_VERIFY(circlesDrawn(view, features, 12.0));
}

// Save Features writes what the command line writes with --details (CSV)
// or --format json; Save Annotated Image the picture its --annotate writes.
void TstMainWindow::savedResultsMatchTheCommandLine()
{
    HessianMaximaMainWin window;
    window.show();
    part<QDoubleSpinBox>(&window, "hessianSigmaSBox")->setValue(4.0);
    QVERIFY(openThroughDialog(&window, blobsPath));
    QVERIFY(reportedCount(nextReport(&window)) > 0);
    const QString csv = workDir.filePath(QStringLiteral("saved.csv"));
    {
        ModalResponder responder({chooseFile(csv)});
        part<QAction>(&window, "actionSaveFeatures")->trigger();
        QVERIFY(responder.succeeded());
    }
    const QByteArray expected = commandLineOutput({"--sigma", "4", "--details", blobsPath});
    QVERIFY(!expected.isEmpty());
    QCOMPARE(fileBytes(csv), expected);

    // A scale range of bright blobs, in JSON, and its picture.
    part<QSpinBox>(&window, "scalesSBox")->setValue(3);
    part<QDoubleSpinBox>(&window, "sigmaMaxSBox")->setValue(8.0);
    part<QComboBox>(&window, "polarityCBox")->setCurrentIndex(1);
    QVERIFY(reportedCount(nextReport(&window)) > 0);
    const QString json = workDir.filePath(QStringLiteral("saved.json"));
    const QString png = workDir.filePath(QStringLiteral("saved.png"));
    {
        ModalResponder responder({chooseFile(json)});
        part<QAction>(&window, "actionSaveFeatures")->trigger();
        QVERIFY(responder.succeeded());
    }
    {
        ModalResponder responder({chooseFile(png)});
        part<QAction>(&window, "actionSaveAnnotatedImage")->trigger();
        QVERIFY(responder.succeeded());
    }
    const QStringList range = {"--sigma", "4:8", "--scales", "3", "--polarity", "bright"};
    const QJsonArray saved = withoutTimes(fileBytes(json));
    QVERIFY(!saved.isEmpty());
    QCOMPARE(saved, withoutTimes(commandLineOutput(range + QStringList{"--format", "json", blobsPath})));

    const QString annotated = workDir.filePath(QStringLiteral("annotated"));
    QVERIFY(!commandLineOutput(range + QStringList{"--annotate", annotated, blobsPath}).isNull());
    QTRY_VERIFY(QFile::exists(png));
    const QImage picture(png);
    QVERIFY(countRed(picture) > 0);
    QCOMPARE(picture.convertToFormat(QImage::Format_RGB32),
             QImage(annotated + QStringLiteral("/blobs.png")).convertToFormat(QImage::Format_RGB32));
}

// A picture named on the command line opens as File > Open File opens it,
// warning alike, with the reason underneath.
void TstMainWindow::commandLinePictureOpens()
{
    QCOMPARE(pictureArgument({"hessian-maxima", blobsPath}), blobsPath);
    QCOMPARE(pictureArgument({"hessian-maxima", "--", "-dash.png"}), QStringLiteral("-dash.png"));
    QCOMPARE(pictureArgument({"hessian-maxima"}), QString());

    HessianMaximaMainWin window;
    window.show();
    QVERIFY(window.openPicture(pictureArgument({"hessian-maxima", blobsPath})));
    QVERIFY(startEnabledEverywhere(&window, true));

    QString warning;
    {
        ModalResponder responder({[&warning](QWidget *modal) {
            auto *box = qobject_cast<QMessageBox *>(modal);
            QVERIFY(box);
            warning = box->windowTitle() + '|' + box->text() + '|' + box->detailedText();
            box->button(QMessageBox::Ok)->click();
        }});
        QVERIFY(!window.openPicture(bombPath));
        QVERIFY(responder.succeeded());
    }
    QVERIFY2(warning.startsWith(QStringLiteral("Invalid image file|Image isn't loaded.\nBad or unknown image format.|"))
                 && warning.contains(QStringLiteral("65500 x 65500")),
             qPrintable(warning));
    QVERIFY(startEnabledEverywhere(&window, false));
}

// A file dropped on the window opens; the report of the picture before it
// goes, and the status bar tells the new picture's name, size and format.
void TstMainWindow::droppedFileOpensAndClearsTheReport()
{
    const QString grey = workDir.filePath(QStringLiteral("grey.png"));
    QVERIFY(discPicture().convertToFormat(QImage::Format_Grayscale8).scaled(120, 80).save(grey));
    HessianMaximaMainWin window;
    window.show();
    auto *statusBar = part<QStatusBar>(&window, "statusBar");
    QVERIFY(openThroughDialog(&window, blobsPath));
    QVERIFY(reportedCount(nextReport(&window)) > 0);

    QMimeData data;
    data.setUrls({QUrl::fromLocalFile(grey)});
    QDragEnterEvent enter(QPoint(100, 100), Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(&window, &enter);
    QVERIFY(enter.isAccepted());
    QDropEvent drop(QPointF(100, 100), Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(&window, &drop);
    QVERIFY(drop.isAccepted());
    auto *view = part<FeaturesWidget>(&window, "featuresWidget");
    QTRY_COMPARE(view->frameSize(), QSize(120, 80));
    QCOMPARE(statusBar->currentMessage(), QString());
    const QString line = part<QLabel>(&window, "pictureInfoLabel")->text();
    QVERIFY2(line.contains(QStringLiteral("grey.png")) && line.contains(QStringLiteral("120 \u00d7 80"))
                 && line.contains(QStringLiteral("8-bit grey")),
             qPrintable(line));
    QVERIFY(!part<QAction>(&window, "actionSaveFeatures")->isEnabled());
    QCOMPARE(part<ResponseHistogram>(&window, "thresholdHistogram")->candidates(), 0);
}

// With Live Update on, changes that come close together start one run, and
// of runs started one after another only the last is reported; a run held
// up shows that it is running until it reports.
void TstMainWindow::liveUpdateReportsOnlyTheLastRun()
{
    HessianMaximaMainWin window;
    window.show();
    QVERIFY(openThroughDialog(&window, blobsPath));
    auto *sigma = part<QDoubleSpinBox>(&window, "hessianSigmaSBox");
    auto *threshold = part<QDoubleSpinBox>(&window, "maxThresholdSBox");
    auto *busy = part<QProgressBar>(&window, "runProgressBar");
    QSignalSpy reports(part<QStatusBar>(&window, "statusBar"), &QStatusBar::messageChanged);
    const auto countAt = [](float s, float t) { return runDetectionJob(discPicture(), s, t).features.size(); };

    part<QAction>(&window, "actionLiveUpdate")->setChecked(true);
    sigma->setValue(3.0);
    threshold->setValue(20.0);
    threshold->setValue(30.0);
    QTRY_COMPARE(reports.count(), 1);
    QTest::qWait(400);
    QCOMPARE(reports.count(), 1);
    QCOMPARE(reportedCount(reports.first().first().toString()), countAt(3.0f, 30.0f));

    reports.clear();
    {
        PoolGate gate;
        threshold->setValue(60.0);
        QTRY_VERIFY(busy->isVisible());
        threshold->setValue(0.0);
        QTest::qWait(300);
        gate.release();
    }
    QTRY_COMPARE(reports.count(), 1);
    QCoreApplication::processEvents();
    QCOMPARE(reports.count(), 1);
    QCOMPARE(reportedCount(reports.first().first().toString()), countAt(3.0f, 0.0f));
    QVERIFY(!busy->isVisible());
}

// The histogram counts, for any threshold, the features a run with it
// keeps; a click on it sets the threshold, the ends of the range at its
// ends.
void TstMainWindow::histogramClickSetsTheThreshold()
{
    // Faint discs: responses within the threshold's range.
    QImage faint = discPicture();
    for (int y = 0; y < faint.height(); ++y)
        for (int x = 0; x < faint.width(); ++x) {
            const int grey = qGray(faint.pixel(x, y)) * 50 / 255;
            faint.setPixel(x, y, qRgb(grey, grey, grey));
        }
    const QString path = workDir.filePath(QStringLiteral("faint.png"));
    QVERIFY(faint.save(path));
    HessianMaximaMainWin window;
    window.show();
    part<QDoubleSpinBox>(&window, "hessianSigmaSBox")->setValue(4.0);
    QVERIFY(openThroughDialog(&window, path));
    QVERIFY(reportedCount(nextReport(&window)) > 0);
    auto *histogram = part<ResponseHistogram>(&window, "thresholdHistogram");
    auto *threshold = part<QDoubleSpinBox>(&window, "maxThresholdSBox");

    QTest::mouseClick(histogram, Qt::LeftButton, Qt::NoModifier, QPoint(0, histogram->height() / 3));
    QCOMPARE(threshold->value(), 0.0);
    QTest::mouseClick(histogram, Qt::LeftButton, Qt::NoModifier, QPoint(histogram->width() - 1, histogram->height() / 3));
    QCOMPARE(threshold->value(), 1000.0);
    int x = 0;
    while (histogram->thresholdAt(x) < 240.0)
        ++x;
    QTest::mouseClick(histogram, Qt::LeftButton, Qt::NoModifier, QPoint(x, histogram->height() / 3));
    const double picked = threshold->value();
    QVERIFY(picked >= 240.0 && picked < 270.0);
    const int kept = runDetectionJob(faint, 4.0f, (float)picked).features.size();
    QCOMPARE(histogram->kept(), kept);
    QVERIFY(kept > 0 && histogram->candidates() > kept);
}

void TstMainWindow::exitEndsTheProcessWithCodeZero_data()
{
    QTest::addColumn<QString>("mode");
    QTest::newRow("File, Exit") << "menu";
    QTest::newRow("Shift+X") << "shortcut";
    QTest::newRow("Shift+X during a run") << "mid-run";
    QTest::newRow("Shift+X amid fifty runs") << "mid-storm";
    QTest::newRow("Ctrl+Q") << "quit";
}

void TstMainWindow::exitEndsTheProcessWithCodeZero()
{
    QFETCH(QString, mode);
    QProcess child;
    child.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    // The child closes its window, which saves the settings: into the
    // test's folder.
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("XDG_CONFIG_HOME"), workDir.filePath(QStringLiteral("child-settings")));
    child.setProcessEnvironment(environment);
    child.start(QCoreApplication::applicationFilePath(), {QStringLiteral("--child"), mode, blobsPath});
    QVERIFY(child.waitForStarted());
    if (!child.waitForFinished(60000)) {
        child.kill();
        child.waitForFinished();
        QFAIL("the program did not end");
    }
    QCOMPARE(child.exitStatus(), QProcess::NormalExit);
    QCOMPARE(child.exitCode(), 0);
}

// The results: a row per feature with the writers' columns, sorted by a
// header; a selected row highlights its circle and brings it to the middle
// of a zoomed view; a click on a circle selects its row; Ctrl+C copies the
// selected rows; Save Features writes the table as it is sorted.
void TstMainWindow::resultsTableFollowsTheRunAndTheCircles()
{
    HessianMaximaMainWin window;
    window.resize(1000, 760);
    window.show();
    QVERIFY(activate(&window));
    part<QDoubleSpinBox>(&window, "hessianSigmaSBox")->setValue(4.0);
    QVERIFY(openThroughDialog(&window, blobsPath));
    auto *dock = part<QDockWidget>(&window, "resultsDock");
    QVERIFY(!dock->isVisible());
    QVERIFY(activate(&window));
    QTest::keyClick(&window, Qt::Key_R, Qt::ControlModifier);
    QVERIFY(dock->isVisible());
    const int count = reportedCount(nextReport(&window));
    QVERIFY(count >= 3);
    auto *table = part<QTableView>(&window, "resultsTable");
    auto *model = qobject_cast<FeatureTableModel *>(table->model());
    QVERIFY(model);
    QCOMPARE(model->rowCount(), count);
    QStringList headers;
    for (int c = 0; c < model->columnCount(); ++c)
        headers << model->headerData(c, Qt::Horizontal).toString();
    QCOMPARE(headers.join(','), QStringLiteral("x,y,x_subpixel,y_subpixel,sigma,response,polarity"));
    const QString summary = part<QLabel>(&window, "resultsSummary")->text();
    QVERIFY2(QRegularExpression(QStringLiteral("^%1 features, response [0-9.e+]+ to [0-9.e+]+$").arg(count))
                 .match(summary).hasMatch(),
             qPrintable(summary));

    // As a click does, whatever modifiers the keys before left behind.
    const auto selectRow = [table](int row) {
        table->selectionModel()->setCurrentIndex(table->model()->index(row, 0),
                                                 QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Rows);
    };
    table->sortByColumn(5, Qt::DescendingOrder);
    for (int row = 1; row < count; ++row)
        QVERIFY(model->index(row - 1, 5).data().toString().toDouble()
                >= model->index(row, 5).data().toString().toDouble());
    auto *view = part<FeaturesWidget>(&window, "featuresWidget");
    const QVector<Feature> features = model->picture().features;
    selectRow(0);
    QCOMPARE(view->highlightedFeature(), model->featureOfRow(0));
    QCOMPARE(model->index(0, 0).data().toString().toInt(), (int)features[model->featureOfRow(0)].x);

    // Zoomed in 8 times or more, the disc at (60, 50) comes to the middle.
    QVERIFY(activate(&window));
    for (int i = 0; i < 20 && view->scale() < 8.0; ++i)
        QTest::keyClick(&window, Qt::Key_Plus, Qt::ControlModifier);
    QVERIFY(view->scale() >= 8.0);
    int disc = -1;
    for (int i = 0; i < features.size(); ++i)
        if (features[i].x == 60 && features[i].y == 50)
            disc = i;
    QVERIFY(disc >= 0);
    selectRow(model->rowOfFeature(disc) == 0 ? 1 : 0);
    selectRow(model->rowOfFeature(disc));
    QCOMPARE(view->highlightedFeature(), disc);
    const QPointF middle(view->width() / 2.0, view->height() / 2.0);
    const QPointF discAt = view->toWidget(QPointF(60.5, 50.5));
    QVERIFY2(QLineF(discAt, middle).length() <= 1.0,
             qPrintable(QStringLiteral("%1, %2 in %3 x %4").arg(discAt.x()).arg(discAt.y()).arg(view->width()).arg(view->height())));

    // Fitted, a click on a circle selects its row and leaves the view.
    QTest::keyClick(&window, Qt::Key_0, Qt::ControlModifier);
    const int last = model->featureOfRow(count - 1);
    const QPoint onIt = view->toWidget(QPointF(features[last].x + 0.5, features[last].y + 0.5)).toPoint();
    QTest::mouseClick(view, Qt::LeftButton, Qt::NoModifier, onIt);
    QCOMPARE(table->currentIndex().row(), count - 1);
    QCOMPARE(view->highlightedFeature(), last);
    QVERIFY(view->isFitted());

    // Ctrl+C: the header and the selected rows, tab-separated.
    selectRow(0);
    table->selectionModel()->select(model->index(2, 0), QItemSelectionModel::Select | QItemSelectionModel::Rows);
    table->setFocus();
    QTest::keyClick(table, Qt::Key_C, Qt::ControlModifier);
    QString copied = headers.join('\t') + '\n';
    for (int row : {0, 2}) {
        QStringList cells;
        for (int c = 0; c < model->columnCount(); ++c)
            cells << model->index(row, c).data().toString();
        copied += cells.join('\t') + '\n';
    }
    QCOMPARE(QGuiApplication::clipboard()->text(), copied);

    // Saved: the table's rows in its order, the command line's rows.
    const QString csv = workDir.filePath(QStringLiteral("table.csv"));
    {
        ModalResponder responder({chooseFile(csv)});
        part<QAction>(&window, "actionSaveFeatures")->trigger();
        QVERIFY(responder.succeeded());
    }
    const QList<QByteArray> saved = fileBytes(csv).trimmed().split('\n');
    QCOMPARE(saved.size(), count + 1);
    QCOMPARE(saved[0], headers.join(',').toUtf8());
    for (int row = 0; row < count; ++row) {
        QStringList cells;
        for (int c = 0; c < model->columnCount(); ++c)
            cells << model->index(row, c).data().toString();
        QCOMPARE(saved[row + 1], cells.join(',').toUtf8());
    }
    QList<QByteArray> cli = commandLineOutput({"--sigma", "4", "--details", blobsPath}).trimmed().split('\n');
    QList<QByteArray> ours = saved;
    std::sort(cli.begin(), cli.end());
    std::sort(ours.begin(), ours.end());
    QCOMPARE(ours, cli);
}

namespace {

// The table's model, counting the cells the view asks for.
class CountingTableModel : public FeatureTableModel
{
public:
    QVariant data(const QModelIndex &index, int role) const override
    {
        ++asked;
        return FeatureTableModel::data(index, role);
    }
    mutable qint64 asked = 0;
};

} // namespace

// 100 000 features: the window's table asks for the cells it shows, not
// for every row, when it shows them, sorts them and scrolls to the end.
void TstMainWindow::resultsTableAsksOnlyForTheRowsInView()
{
    const int count = 100000;
    PictureResult picture;
    picture.features.resize(count);
    picture.measures.resize(count);
    for (int i = 0; i < count; ++i) {
        picture.features[i] = Feature{(float)(i % 1000), (float)(i / 1000)};
        picture.measures[i] = FeatureMeasure{(float)(i % 1000), (float)(i / 1000), 2.0f,
                                             (float)((i * 7919) % 100003), (int8_t)(i % 2 ? 1 : -1)};
    }
    HessianMaximaMainWin window;
    window.resize(1000, 760);
    window.show();
    part<QAction>(&window, "actionShowResults")->trigger();
    auto *table = part<QTableView>(&window, "resultsTable");
    CountingTableModel model;
    model.setPicture(picture);
    table->setModel(&model);
    table->viewport()->grab();
    QVERIFY2(model.asked < 20000, qPrintable(QString::number(model.asked)));
    table->sortByColumn(5, Qt::DescendingOrder);
    table->viewport()->grab();
    table->scrollToBottom();
    table->viewport()->grab();
    QVERIFY2(model.asked < 60000, qPrintable(QString::number(model.asked)));
    QCOMPARE(model.index(0, 5).data().toString(), QStringLiteral("100002"));
    QCOMPARE(model.index(count - 1, 5).data().toString(), QStringLiteral("0"));
    table->setModel(nullptr);
}

// A scale range draws each blob at its own radius, sqrt 2 sigma, not 3
// sigma; View > Show Features hides the circles, View > Colour by Polarity
// colours them by the features' polarities.
void TstMainWindow::scaleRangeCirclesAreTheBlobsAndTheViewToggles()
{
    HessianMaximaMainWin window;
    window.resize(1100, 800);
    window.show();
    part<QDoubleSpinBox>(&window, "hessianSigmaSBox")->setValue(2.0);
    part<QSpinBox>(&window, "scalesSBox")->setValue(4);
    part<QDoubleSpinBox>(&window, "sigmaMaxSBox")->setValue(8.0);
    QVERIFY(openThroughDialog(&window, blobsPath));
    QVERIFY(reportedCount(nextReport(&window)) >= 3);
    const PictureResult shown =
        qobject_cast<FeatureTableModel *>(part<QTableView>(&window, "resultsTable")->model())->picture();
    auto *view = part<FeaturesWidget>(&window, "featuresWidget");
    const QImage shot = view->grab().toImage();
    const QRect viewport = frameViewport(view->size(), discPicture().size());
    const double zoom = (double)viewport.width() / discPicture().width();
    for (int i = 0; i < shown.features.size(); ++i) {
        const Feature &f = shown.features[i];
        const double blob = 1.4142135623730951 * shown.measures[i].sigma;
        const QPointF centre(viewport.left() + (f.x + 0.5) * zoom, viewport.top() + (f.y + 0.5) * zoom);
        QVERIFY2(redNear(shot, centre + QPointF(blob * zoom, 0)), qPrintable(QString::number(blob)));
        QVERIFY(!redNear(shot, centre + QPointF(3.0 * shown.measures[i].sigma * zoom, 0)));
    }

    auto *showFeatures = part<QAction>(&window, "actionShowFeatures");
    QVERIFY(showFeatures->isChecked());
    showFeatures->trigger();
    QCOMPARE(countRed(view->grab().toImage()), 0);
    showFeatures->trigger();
    QVERIFY(countRed(view->grab().toImage()) > 0);
    auto *byPolarity = part<QAction>(&window, "actionColourByPolarity");
    QVERIFY(!byPolarity->isChecked() && view->circleLook().polarities.isEmpty());
    byPolarity->trigger();
    QCOMPARE(view->circleLook().polarities.size(), shown.features.size());
    byPolarity->trigger();
    QVERIFY(view->circleLook().polarities.isEmpty());
}

// A 12-bit picture stored in 16 bits (the discs at 1000 + 4 v): Auto
// stretches it by percentile, and its discs are found, as on the command
// line. Under None the detector would see five levels: the warning beside
// the status line says so through every run until the stretch or the
// picture changes.
void TstMainWindow::deepPictureDetectsByDefaultAndItsWarningStays()
{
    const QString deep = workDir.filePath(QStringLiteral("deep.png"));
    QVERIFY(writeDeepPicture(deep));
    HessianMaximaMainWin window;
    window.show();
    part<QDoubleSpinBox>(&window, "hessianSigmaSBox")->setValue(4.0);
    QVERIFY(openThroughDialog(&window, deep));
    auto *stretch = part<QComboBox>(&window, "stretchCBox");
    QCOMPARE(stretch->currentData().toInt(), (int)StretchMode::Default);
    QVERIFY2(stretch->toolTip().contains(QStringLiteral("Auto chose Percentile")), qPrintable(stretch->toolTip()));
    const int count = reportedCount(nextReport(&window));
    QVERIFY(count >= 3);
    QCOMPARE(count, commandLineOutput({"--sigma", "4", deep}).trimmed().count('\n'));
    auto *warning = part<QToolButton>(&window, "warningButton");
    QVERIFY(!warning->isVisible());

    const auto choose = [stretch](StretchMode mode) {
        const int item = stretch->findData((int)mode);
        stretch->setCurrentIndex(item);
        emit stretch->activated(item);
    };
    choose(StretchMode::None);
    QVERIFY(warning->isVisible());
    QCOMPARE(warning->text(), QStringLiteral("Levels 4\u20138 only"));
    QVERIFY(warning->toolTip().startsWith(QStringLiteral("deep.png uses only levels 4 to 8 of 0..255")));
    for (int run = 0; run < 2; ++run) {
        QCOMPARE(reportedCount(nextReport(&window)), 0);
        QVERIFY(warning->isVisible());
    }
    choose(StretchMode::Default);
    QVERIFY(!warning->isVisible());
    choose(StretchMode::None);
    QVERIFY(warning->isVisible());
    QVERIFY(openThroughDialog(&window, blobsPath));
    QVERIFY(!warning->isVisible());
}

// Hovering a menu item (which has no status tip) leaves the run's line; a
// tip shows while hovered and gives the line back. A file that cannot be
// opened turns saving off and is named in the status bar.
void TstMainWindow::menuTipsKeepTheLineAndAFailedOpenNamesItsFile()
{
    HessianMaximaMainWin window;
    window.show();
    QVERIFY(openThroughDialog(&window, blobsPath));
    const QString report = nextReport(&window);
    QVERIFY(reportedCount(report) > 0);
    auto *statusBar = part<QStatusBar>(&window, "statusBar");
    auto *menuBar = part<QWidget>(&window, "menuBar");
    for (const char *menu : {"menuFile", "menuView", "menuHelp"})
        for (QAction *item : part<QMenu>(&window, menu)->actions())
            item->showStatusText(menuBar);
    QCOMPARE(statusBar->currentMessage(), report);
    QStatusTipEvent tip(QStringLiteral("a tip"));
    QApplication::sendEvent(menuBar, &tip);
    QCOMPARE(statusBar->currentMessage(), QStringLiteral("a tip"));
    QStatusTipEvent gone{QString()};
    QApplication::sendEvent(menuBar, &gone);
    QCOMPARE(statusBar->currentMessage(), report);

    QVERIFY(part<QAction>(&window, "actionSaveFeatures")->isEnabled());
    const auto ok = [](QWidget *modal) {
        auto *box = qobject_cast<QMessageBox *>(modal);
        QVERIFY(box);
        box->button(QMessageBox::Ok)->click();
    };
    QVERIFY(openFile(&window, {chooseFile(badPath), ok}));
    QVERIFY(startEnabledEverywhere(&window, false));
    QVERIFY(!part<QAction>(&window, "actionSaveFeatures")->isEnabled());
    QVERIFY(!part<QAction>(&window, "actionSaveAnnotatedImage")->isEnabled());
    QVERIFY2(statusBar->currentMessage().startsWith(QStringLiteral("notes.png could not be opened: ")),
             qPrintable(statusBar->currentMessage()));
    QVERIFY(!part<QLabel>(&window, "pictureInfoLabel")->text().contains(QStringLiteral("blobs")));
}

// Escape stops a run: it reports "Cancelled" and nothing else changes. A
// Start has cleared the circles and the table already, as it always has; a
// live run leaves the last result up, and so does stopping it.
void TstMainWindow::stopCancelsTheRunAndChangesNothingElse()
{
    HessianMaximaMainWin window;
    window.show();
    QVERIFY(openThroughDialog(&window, blobsPath));
    QVERIFY(reportedCount(nextReport(&window)) > 0);
    auto *statusBar = part<QStatusBar>(&window, "statusBar");
    auto *stop = part<QAction>(&window, "actionStop");
    auto *view = part<QWidget>(&window, "featuresWidget");
    auto *model = part<QTableView>(&window, "resultsTable")->model();
    QVERIFY(!stop->isEnabled());
    {
        // The run waits in the pool's queue until the gate opens.
        PoolGate gate;
        part<QAction>(&window, "actionStartProcessing")->trigger();
        QVERIFY(stop->isEnabled());
        QVERIFY(activate(&window));
        QTest::keyClick(&window, Qt::Key_Escape);
        gate.release();
        QTRY_COMPARE_WITH_TIMEOUT(statusBar->currentMessage(), QStringLiteral("Cancelled"), 30000);
    }
    QVERIFY(!stop->isEnabled());
    QCOMPARE(countRed(view->grab().toImage()), 0);
    QCOMPARE(model->rowCount(), 0);
    QVERIFY(!part<QAction>(&window, "actionSaveFeatures")->isEnabled());

    const int count = reportedCount(nextReport(&window));
    QVERIFY(count > 0);
    const QImage before = view->grab().toImage();
    part<QAction>(&window, "actionLiveUpdate")->setChecked(true);
    {
        PoolGate gate;
        part<QDoubleSpinBox>(&window, "maxThresholdSBox")->setValue(50.0);
        QTRY_VERIFY(stop->isEnabled());
        stop->trigger();
        gate.release();
        QTRY_COMPARE_WITH_TIMEOUT(statusBar->currentMessage(), QStringLiteral("Cancelled"), 30000);
    }
    QCOMPARE(view->grab().toImage(), before);
    QCOMPARE(model->rowCount(), count);
    QVERIFY(part<QAction>(&window, "actionSaveFeatures")->isEnabled());
    // The next run is not stopped by the last Stop.
    QVERIFY(reportedCount(nextReport(&window)) > 0);
}

// The parameters, the stretch and the window's size come back in the next
// window; Open Recent lists the last ten files, the latest first, and
// drops one that is gone.
void TstMainWindow::settingsAndRecentFilesAreRemembered()
{
    {
        HessianMaximaMainWin window;
        window.show();
        part<QDoubleSpinBox>(&window, "hessianSigmaSBox")->setValue(7.5);
        part<QDoubleSpinBox>(&window, "maxThresholdSBox")->setValue(50.0);
        part<QSpinBox>(&window, "scalesSBox")->setValue(4);
        part<QDoubleSpinBox>(&window, "sigmaMaxSBox")->setValue(20.0);
        part<QComboBox>(&window, "polarityCBox")->setCurrentIndex(2);
        auto *stretch = part<QComboBox>(&window, "stretchCBox");
        stretch->setCurrentIndex(stretch->findData((int)StretchMode::MinMax));
        window.resize(880, 610);
        window.close();
    }
    HessianMaximaMainWin window;
    window.show();
    QCOMPARE(part<QDoubleSpinBox>(&window, "hessianSigmaSBox")->value(), 7.5);
    QCOMPARE(part<QDoubleSpinBox>(&window, "maxThresholdSBox")->value(), 50.0);
    QCOMPARE(part<QSpinBox>(&window, "scalesSBox")->value(), 4);
    QCOMPARE(part<QDoubleSpinBox>(&window, "sigmaMaxSBox")->value(), 20.0);
    QCOMPARE(part<QComboBox>(&window, "polarityCBox")->currentData().toInt(), (int)PolarityFilter::Dark);
    QCOMPARE(part<QComboBox>(&window, "stretchCBox")->currentData().toInt(), (int)StretchMode::MinMax);
    QCOMPARE(window.size(), QSize(880, 610));

    QDir(workDir.path()).mkdir(QStringLiteral("recent"));
    for (int i = 0; i < 12; ++i) {
        const QString copy = workDir.filePath(QStringLiteral("recent/r%1.png").arg(i));
        QFile::remove(copy);
        QVERIFY(QFile::copy(blobsPath, copy));
        QVERIFY(window.openPicture(copy));
    }
    auto *recent = part<QMenu>(&window, "menuRecent");
    emit recent->aboutToShow();
    QList<QAction *> items = recent->actions();
    QCOMPARE(items.size(), 10);
    QCOMPARE(items.first()->text(), QStringLiteral("&1 r11.png"));
    QCOMPARE(items.last()->text(), QStringLiteral("r2.png"));
    items[3]->trigger();
    QVERIFY(part<QLabel>(&window, "pictureInfoLabel")->toolTip().contains(QStringLiteral("r8.png")));

    QVERIFY(QFile::remove(workDir.filePath(QStringLiteral("recent/r5.png"))));
    emit recent->aboutToShow();
    {
        ModalResponder responder({[](QWidget *modal) { modal->close(); }});
        recent->actions()[6]->trigger();
        QVERIFY(responder.succeeded());
    }
    emit recent->aboutToShow();
    QCOMPARE(recent->actions().size(), 9);
    for (QAction *item : recent->actions())
        QVERIFY(!item->text().contains(QStringLiteral("r5.png")));
}

// Over the picture the status bar tells the pixel under the pointer: its
// value as stored and the level the detector sees; off it, the picture's
// line again.
void TstMainWindow::pixelUnderThePointer()
{
    const QString deep = workDir.filePath(QStringLiteral("deep.png"));
    QVERIFY(writeDeepPicture(deep));
    HessianMaximaMainWin window;
    window.show();
    auto *view = part<FeaturesWidget>(&window, "featuresWidget");
    auto *pixel = part<QLabel>(&window, "pixelInfoLabel");
    auto *picture = part<QLabel>(&window, "pictureInfoLabel");
    const auto pointAt = [view](double x, double y) {
        QMouseEvent move(QEvent::MouseMove, view->toWidget(QPointF(x + 0.5, y + 0.5)), Qt::NoButton, Qt::NoButton,
                         Qt::NoModifier);
        QApplication::sendEvent(view, &move);
    };
    QVERIFY(openThroughDialog(&window, blobsPath));
    pointAt(60, 50);
    QVERIFY(pixel->isVisible() && !picture->isVisible());
    QVERIFY2(QRegularExpression(QStringLiteral("^x 60, y 50   value 255(, 255, 255)?   level 255$"))
                 .match(pixel->text()).hasMatch(),
             qPrintable(pixel->text()));
    QVERIFY(openThroughDialog(&window, deep));
    pointAt(60, 50);
    QCOMPARE(pixel->text(), QStringLiteral("x 60, y 50   value 2020   level 255"));
    pointAt(3, 4);
    QCOMPARE(pixel->text(), QStringLiteral("x 3, y 4   value 1000   level 0"));
    QEvent leave(QEvent::Leave);
    QApplication::sendEvent(view, &leave);
    QVERIFY(!pixel->isVisible() && picture->isVisible());
}

// The picture's line (file name, size, format, zoom) gives way to the run's
// report: in a narrow window the report stays whole, left of every widget
// beside it, and the picture's line is shortened instead.
void TstMainWindow::runLineIsNotCoveredByThePictureLine()
{
    const QString longName = workDir.filePath(QStringLiteral("a-picture-with-a-rather-long-name-from-the-microscope.png"));
    QFile::remove(longName);
    QVERIFY(QFile::copy(blobsPath, longName));
    HessianMaximaMainWin window;
    window.resize(760, 560);
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    QVERIFY(openThroughDialog(&window, longName));
    const QString report = nextReport(&window);
    QVERIFY(report.startsWith(QStringLiteral("Success. Feature count: ")));
    auto *statusBar = part<QStatusBar>(&window, "statusBar");
    QTRY_COMPARE(statusBar->currentMessage(), report);
    statusBar->layout()->activate();
    int firstLeft = statusBar->width();
    for (QWidget *beside : statusBar->findChildren<QWidget *>(QString(), Qt::FindDirectChildrenOnly))
        if (beside->isVisible() && beside->width() > 0 && beside->x() > 0)
            firstLeft = std::min(firstLeft, beside->x());
    QVERIFY2(6 + QFontMetrics(statusBar->font()).horizontalAdvance(report) <= firstLeft,
             qPrintable(QStringLiteral("the report needs %1 px, the widgets beside it start at %2")
                            .arg(6 + QFontMetrics(statusBar->font()).horizontalAdvance(report))
                            .arg(firstLeft)));
}

// Help > About names the program and its version; the new controls carry
// tool tips of their own, the form's keep none.
void TstMainWindow::aboutAndToolTips()
{
    HessianMaximaMainWin window;
    window.show();
    QString about;
    {
        ModalResponder responder({[&about](QWidget *modal) {
            auto *box = qobject_cast<QMessageBox *>(modal);
            QVERIFY(box);
            about = box->text();
            box->close();
        }});
        part<QAction>(&window, "actionAbout")->trigger();
        QVERIFY(responder.succeeded());
    }
    QVERIFY2(QRegularExpression(QStringLiteral("hessian-maxima</b> \\d+\\.\\d+")).match(about).hasMatch(),
             qPrintable(about));
    for (const char *name : {"actionStop", "actionShowFeatures", "actionColourByPolarity", "actionShowResults",
                             "actionAbout", "actionLiveUpdate", "actionSaveFeatures"}) {
        auto *action = part<QAction>(&window, name);
        QVERIFY2(!action->toolTip().isEmpty() && action->toolTip() != action->text(), name);
    }
    for (const char *name : {"resultsTable", "pixelInfoLabel", "stopButton", "scalesSBox", "stretchCBox"})
        QVERIFY2(!part<QWidget>(&window, name)->toolTip().isEmpty(), name);
    for (const char *name : {"openFileButton", "startProcessingButton", "lblHessianSigma", "lblMaxThreshold",
                             "hessianSigmaSBox", "maxThresholdSBox"})
        QVERIFY2(part<QWidget>(&window, name)->toolTip().isEmpty(), name);
    QCOMPARE(part<QAction>(&window, "actionExit")->shortcuts(),
             (QList<QKeySequence>{QKeySequence(QStringLiteral("Shift+X")), QKeySequence(QStringLiteral("Ctrl+Q"))}));
}

// The program's own main with a scripted user: opens the window, optionally
// starts a run that the pool holds back until the window is gone, then
// leaves the way `mode` says.
static int runChild(int argc, char *argv[])
{
    QApplication application(argc, argv);
    const QString mode = QString::fromLocal8Bit(argv[2]);
    const QString image = argc > 3 ? QString::fromLocal8Bit(argv[3]) : QString();
    // Created only once the frame is loaded: image conversions on the GUI
    // thread use the same pool.
    std::unique_ptr<PoolGate> gate;

    int result;
    {
        HessianMaximaMainWin window;
        window.show();
        QTimer::singleShot(0, &window, [&] {
            if (mode.startsWith(QLatin1String("mid-"))) {
                if (!openThroughDialog(&window, image))
                    QCoreApplication::exit(3);
                const bool oneRun = mode == QLatin1String("mid-run");
                if (oneRun)
                    gate.reset(new PoolGate);
                for (int i = 0; i < (oneRun ? 1 : 50); ++i)
                    part<QAction>(&window, "actionStartProcessing")->trigger();
            }
            if (mode == QLatin1String("menu")) {
                part<QAction>(&window, "actionExit")->trigger();
            } else if (mode == QLatin1String("quit")) {
                activate(&window);
                QTest::keyClick(&window, Qt::Key_Q, Qt::ControlModifier);
            } else {
                activate(&window);
                QTest::keyClick(&window, Qt::Key_X, Qt::ShiftModifier);
            }
        });
        result = application.exec();
    }
    // The held-back run starts only now, with the window gone.
    gate.reset();
    return result;
}

int main(int argc, char *argv[])
{
    if (argc > 2 && qstrcmp(argv[1], "--child") == 0)
        return runChild(argc, argv);
    QApplication application(argc, argv);
    TstMainWindow test;
    QTEST_SET_MAIN_SOURCE_PATH
    return QTest::qExec(&test, argc, argv);
}

#include "tst_mainwindow.moc"
