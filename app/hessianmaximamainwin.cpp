#include "hessianmaximamainwin.h"
#include "ui_hessianmaximamainwin.h"

#include "detectionjob.h"
#include "detectionpaths.h"
#include "eventhook.h"
#include "featurecircles.h"
#include "featuretablemodel.h"
#include "featurewriter.h"
#include "frameloading.h"
#include "frameplayer.h"
#include "frameviewnavigator.h"
#include "picturesource.h"
#include "responsehistogram.h"
#include "runreport.h"
#include "runrequest.h"
#include "windowsettings.h"
#include "windowtools.h"

#include <QAction>
#include <QByteArray>
#include <QColor>
#include <QComboBox>
#include <QDoubleSpinBox>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QFileDialog>
#include <QDir>
#include <QFileInfo>
#include <QFontMetrics>
#include <QHelpEvent>
#include <QImageReader>
#include <QLabel>
#include <QMessageBox>
#include <QMenu>
#include <QMimeData>
#include <QProgressBar>
#include <QSpinBox>
#include <QString>
#include <QTableView>
#include <QToolButton>
#include <QToolTip>
#include <QUrl>
#include <QtConcurrent>

#include <algorithm>
#include <cmath>

namespace {

// A run that takes longer than this shows that it is running.
const int kBusySignMsec = 300;
// Live update waits this long after the last change before it runs.
const int kLiveRunPauseMsec = 150;

// How a picture's pixels are stored in its file, as a person says it.
QString pixelFormatName(QImage::Format format)
{
    switch (format) {
    case QImage::Format_Mono:
    case QImage::Format_MonoLSB:
        return QStringLiteral("1-bit");
    case QImage::Format_Indexed8:
        return QStringLiteral("palette");
    case QImage::Format_Alpha8:
    case QImage::Format_Grayscale8:
        return QStringLiteral("8-bit grey");
    case QImage::Format_Grayscale16:
        return QStringLiteral("16-bit grey");
    case QImage::Format_RGBA64:
    case QImage::Format_RGBA64_Premultiplied:
        return QStringLiteral("16-bit RGBA");
    case QImage::Format_RGBX64:
        return QStringLiteral("16-bit RGB");
    case QImage::Format_ARGB32:
    case QImage::Format_ARGB32_Premultiplied:
    case QImage::Format_RGBA8888:
    case QImage::Format_RGBA8888_Premultiplied:
        return QStringLiteral("8-bit RGBA");
    case QImage::Format_A2BGR30_Premultiplied:
    case QImage::Format_A2RGB30_Premultiplied:
    case QImage::Format_BGR30:
    case QImage::Format_RGB30:
        return QStringLiteral("10-bit RGB");
    case QImage::Format_Invalid:
        return QString();
    default:
        return QStringLiteral("8-bit RGB");
    }
}

// The picture's size and its file's own pixel format: the loader's
// description of a picture it reads with its samples, otherwise read from
// the header (the frame's when the header does not say), e.g. "4000 × 3000
// 8-bit RGB"; and its file format, e.g. "JPEG" ("FITS" for the one kind
// of described picture Qt does not read).
QString describePicture(const QString &fileName, const LoadedPicture &picture, QString *fileFormat)
{
    QImageReader reader(fileName);
    QString format = picture.description;
    if (format.isEmpty())
        format = pixelFormatName(reader.imageFormat());
    if (format.isEmpty())
        format = pixelFormatName(picture.frame.format());
    *fileFormat = QString::fromLatin1(reader.format()).toUpper();
    if (fileFormat->isEmpty() && !picture.description.isEmpty())
        *fileFormat = QStringLiteral("FITS");
    return QStringLiteral("%1 \u00d7 %2  %3").arg(picture.frame.width()).arg(picture.frame.height()).arg(format);
}

QString featureDescription(int index, int count, const Feature &feature, const FeatureMeasure &measure)
{
    return QStringLiteral("Feature %1 of %2\nx %3, y %4\nsub-pixel %5, %6\nresponse %7\nsigma %8\npolarity %9")
        .arg(index + 1)
        .arg(count)
        .arg((int)feature.x)
        .arg((int)feature.y)
        .arg((double)measure.xSubpixel, 0, 'f', 3)
        .arg((double)measure.ySubpixel, 0, 'f', 3)
        .arg((double)measure.response, 0, 'g', 7)
        .arg((double)measure.sigma, 0, 'g', 5)
        .arg(QLatin1String(polarityName(measure.polarity)));
}

// The local files a drag carries.
QStringList draggedFiles(const QMimeData *data)
{
    QStringList files;
    if (!data)
        return files;
    for (const QUrl &url : data->urls())
        if (url.isLocalFile())
            files << url.toLocalFile();
    return files;
}

} // namespace

QString pictureArgument(const QStringList &arguments)
{
    bool options = true;
    for (int i = 1; i < arguments.size(); ++i) {
        const QString &argument = arguments[i];
        if (options && argument == QLatin1String("--"))
            options = false;
        else if (!options || !argument.startsWith(QLatin1Char('-')))
            return argument;
    }
    return QString();
}

HessianMaximaMainWin::HessianMaximaMainWin(QWidget *parent)
    : QMainWindow(parent),
      ui(new Ui::HessianMaximaMainWin),
      videoFrame(1280, 720, QImage::Format_RGB888),
      tools(new WindowTools),
      lastRun(new RunRequest),
      shownResult{QVector<Feature>(), -1, 0.0f, QVector<FeatureMeasure>()},
      runCancel(std::make_shared<std::atomic<bool>>(false)),
      runTurns(std::make_shared<RunTurns>()),
      player(new FramePlayer(this))
{
    ui->setupUi(this);
    videoFrame.fill(QColor(0, 0, 0, 255));
    connect(&detectWatcher, &QFutureWatcherBase::finished, this,
            &HessianMaximaMainWin::finishDetectHessianDetMax);
    setUpTools();
    setUpSequenceTools();
    restoreWindowSettings(this, ui, tools);
}

HessianMaximaMainWin::~HessianMaximaMainWin()
{
    // Runs still in flight hold nothing of the window (see startRun), and
    // the watcher's destructor drops any finished() not yet delivered, so
    // there is nothing to wait for. The hooks go first: the widgets they
    // watch still see events (children leaving) once this class is gone.
    qDeleteAll(hooks);
    // The player goes before what its signals reach: it stops its reading
    // (a live source's wait is interrupted) and waits for the read in flight.
    player->disconnect(this);
    delete player;
    delete tools;
    delete ui;
}

void HessianMaximaMainWin::setUpTools()
{
    tools->setUp(this, ui);

    connect(tools->actionSaveFeatures, &QAction::triggered, this, &HessianMaximaMainWin::saveFeatures);
    connect(tools->actionStop, &QAction::triggered, this, &HessianMaximaMainWin::cancelRun);
    connect(tools->menuRecent, &QMenu::aboutToShow, this, &HessianMaximaMainWin::showRecentFiles);
    connect(tools->actionAbout, &QAction::triggered, this, &HessianMaximaMainWin::showAbout);
    connect(tools->actionShowFeatures, &QAction::toggled, ui->featuresWidget, &FeaturesWidget::setFeaturesShown);
    connect(tools->actionColourByPolarity, &QAction::toggled, ui->featuresWidget,
            &FeaturesWidget::setColourByPolarity);
    connect(tools->resultsTable->selectionModel(), &QItemSelectionModel::currentRowChanged, this,
            &HessianMaximaMainWin::resultRowChosen);
    connect(tools->resultsTable->selectionModel(), &QItemSelectionModel::selectionChanged, this,
            &HessianMaximaMainWin::resultRowChosen);
    connect(tools->warningButton, &QToolButton::clicked, this, [this] { showNote(pictureWarning); });
    connect(tools->actionSaveAnnotatedImage, &QAction::triggered, this, &HessianMaximaMainWin::saveAnnotatedImage);
    connect(tools->navigator, &FrameViewNavigator::viewChanged, this, &HessianMaximaMainWin::showZoom);

    liveRun.setSingleShot(true);
    liveRun.setInterval(kLiveRunPauseMsec);
    connect(&liveRun, &QTimer::timeout, this, [this] {
        if (ui->actionStartProcessing->isEnabled())
            startRun(true);
    });
    connect(tools->actionLiveUpdate, &QAction::toggled, this, &HessianMaximaMainWin::scheduleLiveRun);
    connect(ui->hessianSigmaSBox, QOverload<double>::of(&QDoubleSpinBox::valueChanged), this,
            &HessianMaximaMainWin::scheduleLiveRun);
    connect(ui->maxThresholdSBox, QOverload<double>::of(&QDoubleSpinBox::valueChanged), this,
            &HessianMaximaMainWin::scheduleLiveRun);
    connect(tools->scalesSBox, QOverload<int>::of(&QSpinBox::valueChanged), this,
            &HessianMaximaMainWin::scheduleLiveRun);
    connect(tools->sigmaMaxSBox, QOverload<double>::of(&QDoubleSpinBox::valueChanged), this, [this] {
        if (tools->scalesSBox->value() > 1)
            scheduleLiveRun();
    });
    connect(tools->polarityCBox, QOverload<int>::of(&QComboBox::currentIndexChanged), this,
            &HessianMaximaMainWin::scheduleLiveRun);
    connect(tools->stretchCBox, QOverload<int>::of(&QComboBox::activated), this, [this] {
        applyStretch();
        scheduleLiveRun();
    });

    busySign.setSingleShot(true);
    busySign.setInterval(kBusySignMsec);
    connect(&busySign, &QTimer::timeout, this, [this] {
        tools->runProgressBar->show();
        tools->stopButton->show();
        fitPictureInfo();
    });

    // A passing note gives the status line back to the line it covered.
    connect(ui->statusBar, &QStatusBar::messageChanged, this, [this](const QString &message) {
        fitPictureInfo();
        if (!noteShown || !message.isEmpty())
            return;
        noteShown = false;
        if (!standingLine.isEmpty())
            ui->statusBar->showMessage(standingLine, 0);
    });

    hooks << new EventHook(ui->statusBar, [this](QEvent *event) {
        if (event->type() == QEvent::Resize)
            fitPictureInfo();
        return false;
    });
    setAcceptDrops(true);
    hooks << new EventHook(this, [this](QEvent *event) { return takeWindowEvent(event); });
    ui->featuresWidget->setMouseTracking(true);
    hooks << new EventHook(ui->featuresWidget, [this](QEvent *event) {
        if (event->type() == QEvent::ToolTip)
            return showFeatureToolTip(static_cast<QHelpEvent *>(event));
        return trackPointer(event);
    });
    hooks << new EventHook(tools->resultsTable, [this](QEvent *event) { return takeTableKey(event); });
}

bool HessianMaximaMainWin::takeWindowEvent(QEvent *event)
{
    switch (event->type()) {
    case QEvent::StatusTip:
        return takeStatusTip(static_cast<QStatusTipEvent *>(event));
    case QEvent::Close:
        saveWindowSettings(this, ui, tools);
        return false;
    default:
        return takeDrop(event);
    }
}

void HessianMaximaMainWin::openVideoFrame()
{
    // Formats that are always refused (drawings, and pictures whose size
    // cannot be known before decoding) are not offered.
    QString patterns;
    for (const QByteArray &format : openableImageFormats())
        patterns += QStringLiteral(" *.") + QString::fromLatin1(format);
    // Videos follow, and everything else (numbered pictures, streams saved
    // to a file) under All files.
    const QString filter = QStringLiteral("Images (") + patterns
                           + QStringLiteral(");;Videos (*.mp4 *.mkv *.avi *.mov *.webm *.m4v *.mpg *.ts *.nut)"
                                            ";;All files (*)");

    // The folder the last picture came from, once there is one.
    const QString folder = lastPictureFolder();
    const QString fileName = QFileDialog::getOpenFileName(
        this, QStringLiteral("Open image file"), folder.isEmpty() ? QStringLiteral("./") : folder, filter);
    if (fileName.isNull())
        return;
    openPicture(fileName);
}

bool HessianMaximaMainWin::openPicture(const QString &fileName)
{
    // Read as the command-line tool reads it, through the file's one
    // source: size claims checked before decoding, shown upright, and
    // brought once to the 32-bit layout the detection job reads. A
    // sequence (pages, planes, numbered files, a video) shows its first
    // frame and plays from there. Every refusal gets the same warning,
    // with the reason underneath.
    QString error;
    QString damage;
    std::shared_ptr<PictureSource> source(PictureSource::open(fileName, SourceOptions(), &error));
    if (source && source->info().isSequence()) {
        if (openSequence(fileName, source, &error))
            return true;
        warnNotOpened(fileName, error);
        return false;
    }
    LoadOptions options;
    options.keepSamples = true;
    options.stretch.mode = tools->stretch();
    std::shared_ptr<LoadedPicture> loaded(new LoadedPicture);
    if (source && source->load(options, loaded.get(), &error, &damage)) {
        source.reset();
        closeSequence();
        showPicture(fileName, loaded, viewOf(*loaded), damage);
        rememberOpenedPicture(fileName);
        scheduleLiveRun();
        return true;
    }
    warnNotOpened(fileName, error);
    return false;
}

// A picture (or a sequence's first frame) loaded: it becomes the detector's
// input and the view's picture, with its name, size and format.
void HessianMaximaMainWin::showPicture(const QString &fileName, std::shared_ptr<LoadedPicture> loaded,
                                       const QImage &shown, const QString &damage)
{
    picture = std::move(loaded);
    videoFrame = picture->frame;
    frameStretch = picture->stretch;
    tools->showAutoStretch(tools->stretch() == StretchMode::Default ? picture->stretch.mode : StretchMode::Default);
    ui->startProcessingButton->setEnabled(true);
    ui->actionStartProcessing->setEnabled(true);
    ui->featuresWidget->setVideoFrame(shown);
    ui->featuresWidget->clearFeatures();
    // Beside that: the new picture fitted, the old result's report,
    // histogram and saving gone, and the new picture's name, size and format shown.
    tools->navigator->fitToWindow();
    forgetShownResult();
    tools->thresholdHistogram->setResponses(QVector<float>());
    pictureFileName = fileName;
    QString fileFormat;
    pictureSummary = describePicture(fileName, *picture, &fileFormat);
    tools->pictureInfoLabel->setToolTip(
        QStringLiteral("%1\n%2 %3").arg(QDir::toNativeSeparators(QFileInfo(fileName).absoluteFilePath()),
                                        fileFormat, pictureSummary));
    // A damaged file opens with what could be read, and says so until
    // the next run; the indicator beside says it until the next picture.
    pictureDamage = damage;
    setStandingLine(damage.isEmpty() ? QString()
                                     : QStringLiteral("%1: damaged file (%2); the part that could be read is shown")
                                           .arg(QFileInfo(fileName).fileName(), damage));
    showPictureWarning(picture->notice, damage);
    if (damage.isEmpty() && !picture->notice.text.isEmpty())
        showNote(pictureWarning);
    showZoom();
}

void HessianMaximaMainWin::warnNotOpened(const QString &fileName, const QString &error)
{
    QMessageBox warning(QMessageBox::Warning, QStringLiteral("Invalid image file"),
                        QStringLiteral("Image isn't loaded.\nBad or unknown image format."), QMessageBox::Ok, this);
    warning.setDetailedText(QStringLiteral("%1: %2").arg(fileName, error));
    warning.exec();
    ui->startProcessingButton->setEnabled(false);
    ui->actionStartProcessing->setEnabled(false);
    // Saving follows Start: the picture shown is no longer the one asked
    // for. The status bar names the file that failed, not the picture still
    // on screen.
    tools->actionSaveFeatures->setEnabled(false);
    tools->actionSaveAnnotatedImage->setEnabled(false);
    pictureSummary.clear();
    tools->pictureInfoLabel->clear();
    tools->pictureInfoLabel->setToolTip(QString());
    setStandingLine(QStringLiteral("%1 could not be opened: %2").arg(QFileInfo(fileName).fileName(), error));
    forgetRecentPicture(fileName);
}

HessianMaximaMainWin::_HessianDetMaxResult
HessianMaximaMainWin::detectHessianDetMax(const QImage &frame, float sigma, float threshold)
{
    return runDetectionJob(frame, sigma, threshold);
}

void HessianMaximaMainWin::executeDetectHessianDetMax()
{
    ui->featuresWidget->clearFeatures();
    ui->featuresWidget->setFeatureScale((float)ui->hessianSigmaSBox->value());
    forgetShownResult();
    // On a sequence, Start goes on with every frame shown from now on.
    frameRuns = sequenceOpen;
    startRun(false);
}

// Runs the detection job on the current frame with the controls' values.
// With one scale and both polarities it is exactly the run that
// detectHessianDetMax makes.
void HessianMaximaMainWin::startRun(bool live, const QImage &view)
{
    const double threshold = ui->maxThresholdSBox->value();
    const double sigma = ui->hessianSigmaSBox->value();

    RunRequest request;
    request.settings.sigma = (float)sigma;
    request.settings.threshold = (float)threshold;
    request.settings.polarity = tools->polarity();
    request.settings.scales = tools->scalesSBox->value();
    if (request.settings.scales > 1)
        request.settings.sigmaMax = (float)tools->sigmaMaxSBox->value();
    request.settings.candidates = true;
    request.frame = videoFrame;
    request.fileName = pictureFileName;
    request.stretch = frameStretch;
    request.live = live;
    request.cancel = runCancel;
    request.frameIndex = sequenceOpen ? frameIndex : -1;
    request.time = frameTime;
    request.hasTime = frameHasTime;
    // A frame waiting to be shown goes with the run that replaces its own.
    request.view = view.isNull() && sequenceOpen ? pendingView : view;
    *lastRun = request;

    // The task runs the same job as detectHessianDetMax but does not hold
    // the window: a run may outlive it when the window closes mid-run, and
    // the task then owns everything it touches (its frame copy, its
    // settings, its cancel flag and a share of the turns).
    const quint64 run = runTurns->start();
    detectFuture = QtConcurrent::run(
        [turns = runTurns, run, frame = videoFrame, settings = request.settings, cancel = runCancel] {
            DetectionSettings watched = settings;
            watched.cancel = cancel.get();
            return runInTurn(turns, run, frame, watched);
        });
    detectWatcher.setFuture(detectFuture);
    tools->actionStop->setEnabled(true);
    if (!busySign.isActive() && !tools->runProgressBar->isVisible())
        busySign.start();
}

// Stops the runs in progress or waiting: each gives up before its next band
// of rows and reports "Cancelled". Later runs get a fresh flag.
void HessianMaximaMainWin::cancelRun()
{
    // A sequence started with Start stops detecting its frames too.
    frameRuns = false;
    if (!tools->actionStop->isEnabled())
        return;
    runCancel->store(true);
    runCancel = std::make_shared<std::atomic<bool>>(false);
    liveRun.stop();
}

void HessianMaximaMainWin::finishDetectHessianDetMax()
{
    // A task that ended by an exception leaves no result: report that as a
    // failure instead of rethrowing it into the event loop.
    const _HessianDetMaxResult result = detectWatcher.future().resultCount() > 0
        ? detectWatcher.result()
        : _HessianDetMaxResult{QVector<Feature>(), -1, 0.0f, QVector<FeatureMeasure>()};
    const RunRequest &run = *lastRun;
    busySign.stop();
    tools->runProgressBar->hide();
    tools->stopButton->hide();
    tools->actionStop->setEnabled(false);
    // A frame read during playback or a step is shown with its circles.
    if (!run.view.isNull())
        showFrameView(run);
    // A run that was stopped says so and leaves everything else as it was,
    // even when it had finished before it could notice.
    if ((run.cancel && run.cancel->load()) || result.status == HESSIAN_CANCELLED) {
        setStandingLine(runReport(_HessianDetMaxResult{QVector<Feature>(), HESSIAN_CANCELLED, 0.0f,
                                                       QVector<FeatureMeasure>()}));
        fitPictureInfo();
        if (!run.view.isNull())
            ui->featuresWidget->clearFeatures();
        frameRunReported(run, result);
        return;
    }
    // A scale range gives each circle its own radius, its blob's; a live
    // run, which left the old circles up, sets the radius of its own.
    ui->featuresWidget->setFeatureRadii(run.settings.scales > 1 && result.status == 0
                                            ? featureCircleRadii(result.measures, true)
                                            : QVector<float>());
    ui->featuresWidget->setFeaturePolarities(featurePolarities(result.measures));
    if (run.live)
        ui->featuresWidget->setFeatureScale(run.settings.sigma);
    ui->featuresWidget->setFeatures(result.features);
    setStandingLine(runReport(result));

    shownRun.reset(new RunRequest(run));
    shownResult = result;
    const bool saved = result.status == 0;
    tools->actionSaveFeatures->setEnabled(saved);
    tools->actionSaveAnnotatedImage->setEnabled(saved);
    tools->thresholdHistogram->setResponses(saved ? result.candidateResponses : QVector<float>());
    showResultsOf(run, result);
    const bool many = result.features.size() > FeaturesWidget::kCirclesAtOnce;
    tools->circleCountLabel->setText(many ? QStringLiteral("%1 circles").arg(result.features.size()) : QString());
    tools->circleCountLabel->setVisible(many);
    fitPictureInfo();
    frameRunReported(run, result);
}

void HessianMaximaMainWin::scheduleLiveRun()
{
    if (tools->actionLiveUpdate->isChecked())
        liveRun.start();
}

// The circles are gone, or belong to another picture: nothing to save,
// describe or count.
void HessianMaximaMainWin::forgetShownResult()
{
    shownRun.reset();
    shownResult = _HessianDetMaxResult{QVector<Feature>(), -1, 0.0f, QVector<FeatureMeasure>()};
    tools->actionSaveFeatures->setEnabled(false);
    tools->actionSaveAnnotatedImage->setEnabled(false);
    tools->circleCountLabel->hide();
    shownTracks.clear();
    clearResults();
}

// The stretch chosen in the window, applied to the picture kept: the
// detector's input changes, the view does not.
void HessianMaximaMainWin::applyStretch()
{
    if (!picture)
        return;
    StretchChoice choice;
    choice.mode = tools->stretch();
    QImage frame;
    StretchUsed used;
    StretchNotice notice;
    QString error;
    if (!restretchPicture(*picture, choice, &frame, &used, &notice, &error)) {
        showNote(QStringLiteral("%1: %2").arg(QFileInfo(pictureFileName).fileName(), error));
        return;
    }
    videoFrame = frame;
    frameStretch = used;
    LoadOptions later;
    later.keepSamples = true;
    later.stretch = choice;
    player->setLoadOptions(later);
    tools->showAutoStretch(choice.mode == StretchMode::Default ? used.mode : StretchMode::Default);
    showPictureWarning(notice, pictureDamage);
    if (!notice.text.isEmpty())
        showNote(pictureWarning);
}

void HessianMaximaMainWin::showRecentFiles()
{
    QMenu *menu = tools->menuRecent;
    menu->clear();
    const QStringList files = recentPictureFiles();
    for (int i = 0; i < files.size(); ++i) {
        const QString file = files[i];
        // The first nine get a number to choose them by.
        const QString name = QFileInfo(file).fileName().replace(QLatin1Char('&'), QLatin1String("&&"));
        QAction *item = menu->addAction(i < 9 ? QStringLiteral("&%1 %2").arg(i + 1).arg(name) : name);
        item->setToolTip(QDir::toNativeSeparators(file));
        connect(item, &QAction::triggered, this, [this, file] { openPicture(file); });
    }
    if (files.isEmpty())
        menu->addAction(QStringLiteral("No recent files"))->setEnabled(false);
}

void HessianMaximaMainWin::showAbout()
{
    QMessageBox::about(this, QStringLiteral("About hessian-maxima"),
                       QStringLiteral("<p><b>hessian-maxima</b> %1</p>"
                                      "<p>Finds blobs in pictures: the local maxima of the determinant of the "
                                      "Hessian at a Gaussian scale, or over a range of scales.</p>"
                                      "<p>The same detector runs as <tt>hessian-maxima-cli</tt> on the command line "
                                      "and as the Python package <tt>hessian_maxima</tt>.</p>"
                                      "<p>Built with Qt %2, running on Qt %3.</p>")
                           .arg(QStringLiteral(HESSIAN_VERSION), QStringLiteral(QT_VERSION_STR),
                                QString::fromLatin1(qVersion())));
}

bool HessianMaximaMainWin::showFeatureToolTip(QHelpEvent *event)
{
    const int index = ui->featuresWidget->featureAt(event->pos());
    if (index < 0 || index >= shownResult.measures.size() || index >= shownResult.features.size()) {
        QToolTip::hideText();
        event->ignore();
        return true;
    }
    QString tip = featureDescription(index, shownResult.features.size(), shownResult.features[index],
                                     shownResult.measures[index]);
    if (index < shownTracks.size() && shownTracks[index].track >= 0) {
        const FeatureTrack &track = shownTracks[index];
        tip += QStringLiteral("\ntrack %1, %2 frame%3").arg(track.track).arg(track.length)
                   .arg(QLatin1String(track.length == 1 ? "" : "s"));
        if (std::isfinite(track.speed))
            tip += QStringLiteral("\nspeed %1 px/frame").arg(track.speed, 0, 'f', 2);
    }
    QToolTip::showText(event->globalPos(), tip, ui->featuresWidget);
    return true;
}

bool HessianMaximaMainWin::takeDrop(QEvent *event)
{
    switch (event->type()) {
    case QEvent::DragEnter:
    case QEvent::DragMove: {
        auto *drag = static_cast<QDragMoveEvent *>(event);
        if (draggedFiles(drag->mimeData()).isEmpty())
            return false;
        drag->acceptProposedAction();
        return true;
    }
    case QEvent::Drop: {
        auto *drop = static_cast<QDropEvent *>(event);
        const QStringList files = draggedFiles(drop->mimeData());
        if (files.isEmpty())
            return false;
        drop->acceptProposedAction();
        // Opened once the drop is over: a warning must not hold up the
        // program the file came from.
        const QString file = files.first();
        QTimer::singleShot(0, this, [this, file] { openPicture(file); });
        return true;
    }
    default:
        return false;
    }
}
