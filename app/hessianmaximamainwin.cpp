#include "hessianmaximamainwin.h"
#include "ui_hessianmaximamainwin.h"

#include "detectionjob.h"
#include "eventhook.h"
#include "featurecircles.h"
#include "featurewriter.h"
#include "frameloading.h"
#include "frameviewnavigator.h"
#include "responsehistogram.h"
#include "runreport.h"
#include "runrequest.h"
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
#include <QMimeData>
#include <QProgressBar>
#include <QSpinBox>
#include <QString>
#include <QToolTip>
#include <QUrl>
#include <QtConcurrent>

#include <algorithm>

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
      runTurns(std::make_shared<RunTurns>())
{
    ui->setupUi(this);
    videoFrame.fill(QColor(0, 0, 0, 255));
    connect(&detectWatcher, &QFutureWatcherBase::finished, this,
            &HessianMaximaMainWin::finishDetectHessianDetMax);
    setUpTools();
}

HessianMaximaMainWin::~HessianMaximaMainWin()
{
    // Runs still in flight hold nothing of the window (see startRun), and
    // the watcher's destructor drops any finished() not yet delivered, so
    // there is nothing to wait for. The hooks go first: the widgets they
    // watch still see events (children leaving) once this class is gone.
    qDeleteAll(hooks);
    delete tools;
    delete ui;
}

void HessianMaximaMainWin::setUpTools()
{
    tools->setUp(this, ui);

    connect(tools->actionSaveFeatures, &QAction::triggered, this, &HessianMaximaMainWin::saveFeatures);
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
        fitPictureInfo();
    });

    // A passing note gives the status line back to the report it covered.
    connect(ui->statusBar, &QStatusBar::messageChanged, this, [this](const QString &message) {
        fitPictureInfo();
        if (!noteShown || !message.isEmpty())
            return;
        noteShown = false;
        if (!shownReport.isEmpty())
            ui->statusBar->showMessage(shownReport, 0);
    });

    hooks << new EventHook(ui->statusBar, [this](QEvent *event) {
        if (event->type() == QEvent::Resize)
            fitPictureInfo();
        return false;
    });
    setAcceptDrops(true);
    hooks << new EventHook(this, [this](QEvent *event) { return takeDrop(event); });
    hooks << new EventHook(ui->featuresWidget, [this](QEvent *event) {
        return event->type() == QEvent::ToolTip && showFeatureToolTip(static_cast<QHelpEvent *>(event));
    });
}

void HessianMaximaMainWin::openVideoFrame()
{
    // Formats that are always refused (drawings, and pictures whose size
    // cannot be known before decoding) are not offered.
    QString patterns;
    for (const QByteArray &format : openableImageFormats())
        patterns += QStringLiteral(" *.") + QString::fromLatin1(format);
    const QString filter = QStringLiteral("Images (") + patterns + QStringLiteral(")");

    const QString fileName = QFileDialog::getOpenFileName(
        this, QStringLiteral("Open image file"), QStringLiteral("./"), filter);
    if (fileName.isNull())
        return;
    openPicture(fileName);
}

bool HessianMaximaMainWin::openPicture(const QString &fileName)
{
    // Read as the command-line tool reads it: size claims checked before
    // decoding, shown upright, and brought once to the 32-bit layout the
    // detection job reads. Every refusal gets the same warning, with the
    // reason underneath.
    QString error;
    QString damage;
    LoadOptions options;
    options.keepSamples = true;
    std::unique_ptr<LoadedPicture> loaded(new LoadedPicture);
    if (loadPicture(fileName, options, loaded.get(), &error, &damage)) {
        picture = std::move(loaded);
        videoFrame = picture->frame;
        frameStretch = picture->stretch;
        tools->showStretch(picture->stretch.mode);
        ui->startProcessingButton->setEnabled(true);
        ui->actionStartProcessing->setEnabled(true);
        // Deeper pictures are always shown stretched, whatever detection
        // is given; the others as they are.
        QImage shown = picture->qtFrame.isNull() ? videoFrame : picture->qtFrame;
        if (picture->samples && picture->bitsPerSample > 8) {
            StretchUsed used;
            StretchNotice notice;
            QString viewError;
            StretchChoice view;
            view.mode = StretchMode::Percentile;
            if (!restretchPicture(*picture, view, &shown, &used, &notice, &viewError))
                shown = videoFrame;
        }
        ui->featuresWidget->setVideoFrame(shown);
        ui->featuresWidget->clearFeatures();
        // Beside that: the new picture fitted, the old result's report,
        // histogram and saving gone, and the new picture's name, size and format shown.
        tools->navigator->fitToWindow();
        forgetShownResult();
        tools->thresholdHistogram->setResponses(QVector<float>());
        shownReport.clear();
        ui->statusBar->clearMessage();
        pictureFileName = fileName;
        QString fileFormat;
        pictureSummary = describePicture(fileName, *picture, &fileFormat);
        tools->pictureInfoLabel->setToolTip(
            QStringLiteral("%1\n%2 %3").arg(QDir::toNativeSeparators(QFileInfo(fileName).absoluteFilePath()),
                                            fileFormat, pictureSummary));
        // A damaged file opens with what could be read, and says so until
        // the next message.
        if (!damage.isEmpty())
            ui->statusBar->showMessage(QStringLiteral("%1: damaged file (%2); the part that could be read is shown")
                                           .arg(QFileInfo(fileName).fileName(), damage),
                                       0);
        else if (!picture->notice.text.isEmpty())
            showStretchNotice(picture->notice);
        showZoom();
        scheduleLiveRun();
        return true;
    }
    QMessageBox warning(QMessageBox::Warning, QStringLiteral("Invalid image file"),
                        QStringLiteral("Image isn't loaded.\nBad or unknown image format."), QMessageBox::Ok, this);
    warning.setDetailedText(QStringLiteral("%1: %2").arg(fileName, error));
    warning.exec();
    ui->startProcessingButton->setEnabled(false);
    ui->actionStartProcessing->setEnabled(false);
    return false;
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
    startRun(false);
}

// Runs the detection job on the current frame with the controls' values.
// With one scale and both polarities it is exactly the run that
// detectHessianDetMax makes.
void HessianMaximaMainWin::startRun(bool live)
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
    *lastRun = request;

    // The task runs the same job as detectHessianDetMax but does not hold
    // the window: a run may outlive it when the window closes mid-run, and
    // the task then owns everything it touches (its frame copy, its
    // settings and a share of the turns).
    const quint64 run = runTurns->start();
    detectFuture = QtConcurrent::run([turns = runTurns, run, frame = videoFrame, settings = request.settings] {
        return runInTurn(turns, run, frame, settings);
    });
    detectWatcher.setFuture(detectFuture);
    if (!busySign.isActive() && !tools->runProgressBar->isVisible())
        busySign.start();
}

void HessianMaximaMainWin::finishDetectHessianDetMax()
{
    // A task that ended by an exception leaves no result: report that as a
    // failure instead of rethrowing it into the event loop.
    const _HessianDetMaxResult result = detectWatcher.future().resultCount() > 0
        ? detectWatcher.result()
        : _HessianDetMaxResult{QVector<Feature>(), -1, 0.0f, QVector<FeatureMeasure>()};
    const RunRequest &run = *lastRun;
    // A scale range gives each circle its own radius, its blob's; a live
    // run, which left the old circles up, sets the radius of its own.
    ui->featuresWidget->setFeatureRadii(run.settings.scales > 1 && result.status == 0
                                            ? featureCircleRadii(result.measures, true)
                                            : QVector<float>());
    ui->featuresWidget->setFeaturePolarities(featurePolarities(result.measures));
    if (run.live)
        ui->featuresWidget->setFeatureScale(run.settings.sigma);
    ui->featuresWidget->setFeatures(result.features);
    shownReport = runReport(result);
    noteShown = false;
    ui->statusBar->showMessage(shownReport, 0);

    busySign.stop();
    tools->runProgressBar->hide();
    shownRun.reset(new RunRequest(run));
    shownResult = result;
    const bool saved = result.status == 0;
    tools->actionSaveFeatures->setEnabled(saved);
    tools->actionSaveAnnotatedImage->setEnabled(saved);
    tools->thresholdHistogram->setResponses(saved ? result.candidateResponses : QVector<float>());
    const bool many = result.features.size() > FeaturesWidget::kCirclesAtOnce;
    tools->circleCountLabel->setText(many ? QStringLiteral("%1 circles").arg(result.features.size()) : QString());
    tools->circleCountLabel->setVisible(many);
    fitPictureInfo();
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
    if (!notice.text.isEmpty())
        showStretchNotice(notice);
}

void HessianMaximaMainWin::showStretchNotice(const StretchNotice &notice)
{
    const QString name = QFileInfo(pictureFileName).fileName();
    showNote(notice.narrow ? QStringLiteral("%1 uses only levels %2 to %3 of 0..255; Stretch Intensities spreads them")
                                 .arg(name).arg(notice.lowest).arg(notice.highest)
                           : QStringLiteral("%1 %2").arg(name, notice.text));
}

void HessianMaximaMainWin::showNote(const QString &note)
{
    noteShown = false;
    ui->statusBar->showMessage(note, 5000);
    noteShown = true;
}

void HessianMaximaMainWin::showZoom()
{
    if (pictureSummary.isEmpty())
        return;
    const double zoom = ui->featuresWidget->scale() * 100.0;
    pictureZoom = QStringLiteral("%1%2%").arg(ui->featuresWidget->isFitted() ? QStringLiteral("fitted ") : QString())
                      .arg(zoom, 0, 'f', zoom < 10 ? 1 : 0);
    fitPictureInfo();
}

// The picture's line shares the status bar with the report, which comes
// first: as much of the line as fits, the zoom last to go, then the size
// and format, the file name (shortened in the middle) first.
void HessianMaximaMainWin::fitPictureInfo()
{
    if (pictureSummary.isEmpty())
        return;
    const QFontMetrics metrics(tools->pictureInfoLabel->font());
    const int gap = 2 * metrics.averageCharWidth();
    int room = ui->statusBar->width() - metrics.horizontalAdvance(ui->statusBar->currentMessage()) - 3 * gap;
    for (QWidget *other : {(QWidget *)tools->runProgressBar, (QWidget *)tools->circleCountLabel})
        if (other->isVisibleTo(ui->statusBar))
            room -= other->sizeHint().width() + gap;
    const QString rest = QStringLiteral("  %1  %2").arg(pictureSummary, pictureZoom);
    const QString name = QFileInfo(pictureFileName).fileName();
    const int nameRoom = room - metrics.horizontalAdvance(rest);
    QString line;
    if (nameRoom >= std::min(metrics.horizontalAdvance(name), 8 * metrics.averageCharWidth()))
        line = metrics.elidedText(name, Qt::ElideMiddle, nameRoom) + rest;
    else if (metrics.horizontalAdvance(rest) <= room)
        line = rest.trimmed();
    else if (metrics.horizontalAdvance(pictureZoom) <= room)
        line = pictureZoom;
    tools->pictureInfoLabel->setText(line);
}

bool HessianMaximaMainWin::showFeatureToolTip(QHelpEvent *event)
{
    const int index = ui->featuresWidget->featureAt(event->pos());
    if (index < 0 || index >= shownResult.measures.size() || index >= shownResult.features.size()) {
        QToolTip::hideText();
        event->ignore();
        return true;
    }
    QToolTip::showText(event->globalPos(),
                       featureDescription(index, shownResult.features.size(), shownResult.features[index],
                                          shownResult.measures[index]),
                       ui->featuresWidget);
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
