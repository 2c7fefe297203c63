// The window's sequences: a multi-page TIFF, a FITS cube, numbered files, a
// video, a camera or a live stream, read through the file's one picture
// source by the frame player. The frame bar under the view, playback and
// its keys, each frame shown detected when Live Update is on or the
// sequence was started, the tracks of the frames detected, and Save
// Features writing every frame.

#include "hessianmaximamainwin.h"
#include "ui_hessianmaximamainwin.h"

#include "detectionjob.h"
#include "featurecountplot.h"
#include "featurewriter.h"
#include "frameplayer.h"
#include "frametracks.h"
#include "picturesource.h"
#include "runrequest.h"
#include "sequencetracks.h"
#include "windowsettings.h"
#include "windowtools.h"

#include <QAction>
#include <QCheckBox>
#include <QDoubleSpinBox>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFileInfo>
#include <QFutureWatcher>
#include <QGroupBox>
#include <QInputDialog>
#include <QLabel>
#include <QMessageBox>
#include <QProgressDialog>
#include <QSaveFile>
#include <QSignalBlocker>
#include <QSlider>
#include <QSpinBox>
#include <QStyle>
#include <QTimer>
#include <QToolButton>
#include <QtConcurrent>

#include <algorithm>
#include <atomic>
#include <mutex>
#include <thread>

namespace {

// "512 × 512  16-bit grey TIFF  100 frames"; a video's own description,
// which gives its size, and "250 frames" or "live".
QString sequenceSummary(const SourceInfo &info)
{
    const QString what = !info.description.isEmpty() ? info.description : QString::fromLatin1(info.format);
    QString frames;
    if (info.live)
        frames = QStringLiteral("live");
    else if (info.frames >= 0 && !what.endsWith(QLatin1String(" frames")))
        frames = QStringLiteral("%1%2 frames").arg(QLatin1String(info.framesExact ? "" : "about ")).arg(info.frames);
    // A video's description names its size already.
    if (info.kind == SourceKind::Video && !info.description.isEmpty())
        return QStringLiteral("%1  %2").arg(what, frames);
    return QStringLiteral("%1 \u00d7 %2  %3  %4").arg(info.width).arg(info.height).arg(what, frames).trimmed();
}

// The settings a run's features depend on: frames detected with others
// are not linked with its own.
QString runKey(const DetectionSettings &settings, const StretchUsed &stretch)
{
    return QStringLiteral("%1 %2 %3 %4 %5 %6")
        .arg((double)settings.sigma, 0, 'g', 9)
        .arg((double)settings.threshold, 0, 'g', 9)
        .arg(settings.scales)
        .arg((double)settings.sigmaMax, 0, 'g', 9)
        .arg((int)settings.polarity)
        .arg((int)stretch.mode);
}

// What saving every frame came to.
struct SequenceSaving {
    QString error;       // empty when it was saved or cancelled
    bool cancelled = false;
    qint64 frames = 0;
    qint64 features = 0;
    QString losses;      // frames that could not be read
};

} // namespace

void HessianMaximaMainWin::setUpSequenceTools()
{
    connect(player, &FramePlayer::frameReady, this, &HessianMaximaMainWin::takeFrame);
    connect(player, &FramePlayer::playingChanged, this, &HessianMaximaMainWin::playingChanged);
    connect(player, &FramePlayer::ended, this, [this](const QString &reason) {
        frameAsked = -1;
        const QString name = QFileInfo(pictureFileName).fileName();
        if (!reason.isEmpty())
            showNote(QStringLiteral("%1: %2").arg(name, reason));
        else if (player->isLive())
            showNote(QStringLiteral("%1: the stream has ended").arg(name));
    });
    connect(tools->actionPlay, &QAction::triggered, this, &HessianMaximaMainWin::togglePlay);
    // Steps count from the frame asked for last, so that keys pressed
    // faster than frames are read still move a frame each.
    connect(tools->actionNextFrame, &QAction::triggered, this,
            [this] { goToFrame((frameAsked >= 0 ? frameAsked : frameIndex) + 1); });
    connect(tools->actionPreviousFrame, &QAction::triggered, this,
            [this] { goToFrame(std::max<qint64>(0, (frameAsked >= 0 ? frameAsked : frameIndex) - 1)); });
    connect(tools->actionFirstFrame, &QAction::triggered, this, [this] { goToFrame(0); });
    connect(tools->actionLastFrame, &QAction::triggered, this, [this] {
        if (player->lastFrame() >= 0)
            goToFrame(player->lastFrame());
    });
    connect(tools->frameSlider, &QSlider::valueChanged, this, [this](int value) { goToFrame(value); });
    connect(tools->actionOpenCamera, &QAction::triggered, this, &HessianMaximaMainWin::chooseCamera);
    connect(tools->tracksBox, &QGroupBox::toggled, this, &HessianMaximaMainWin::showTracks);
    connect(tools->trackDistanceSBox, QOverload<double>::of(&QDoubleSpinBox::valueChanged), this,
            &HessianMaximaMainWin::showTracks);
    connect(tools->trackGapSBox, QOverload<int>::of(&QSpinBox::valueChanged), this,
            &HessianMaximaMainWin::showTracks);
    connect(tools->tailLengthSBox, QOverload<int>::of(&QSpinBox::valueChanged), this,
            &HessianMaximaMainWin::showTracks);
}

bool HessianMaximaMainWin::detectsFrames() const
{
    return (frameRuns || tools->actionLiveUpdate->isChecked()) && ui->actionStartProcessing->isEnabled();
}

// A sequence opened: its first frame shown as a picture is (a live source's
// once it comes), and the frame bar under the view.
bool HessianMaximaMainWin::openSequence(const QString &fileName, std::shared_ptr<PictureSource> source,
                                        QString *error)
{
    const SourceInfo info = source->info();
    LoadOptions options;
    options.keepSamples = true;
    options.stretch.mode = tools->stretch();
    std::shared_ptr<LoadedPicture> first;
    SourceFrame frame;
    if (!info.live) {
        const FrameRead got = source->next(options, &frame, error);
        if (got != FrameRead::Frame) {
            if (error->isEmpty())
                *error = QStringLiteral("no frame of it can be read");
            return false;
        }
        first = std::make_shared<LoadedPicture>(std::move(frame.picture));
    }
    closeSequence();
    sequenceOpen = true;
    player->setSource(source, options, info.live ? 0 : frame.index + 1);
    pictureFileName = fileName;
    tools->frameSlider->setVisible(!info.live);
    {
        const QSignalBlocker quiet(tools->frameSlider);
        tools->frameSlider->setRange(0, (int)std::min<qint64>(std::max<qint64>(0, player->lastFrame()), INT_MAX));
        tools->frameSlider->setValue(0);
    }
    for (QAction *action : {tools->actionPlay, tools->actionPreviousFrame, tools->actionNextFrame,
                            tools->actionFirstFrame, tools->actionLastFrame})
        action->setEnabled(!info.live || action == tools->actionPlay);
    tools->frameBar->show();
    tools->tracksBox->show();
    rememberOpenedPicture(fileName);
    if (info.live) {
        // Nothing to detect until the first frame comes; it plays at once.
        ui->startProcessingButton->setEnabled(false);
        ui->actionStartProcessing->setEnabled(false);
        forgetShownResult();
        tools->frameLabel->setText(QStringLiteral("Waiting for the first frame"));
        pictureSummary = sequenceSummary(info);
        setStandingLine(QStringLiteral("Waiting for frames from %1\u2026").arg(fileName));
        showZoom();
        player->play();
        return true;
    }
    frameIndex = frame.index;
    frameTime = frame.time;
    frameHasTime = frame.hasTime;
    QString damage = info.damage;
    if (damage.isEmpty())
        damage = frame.damage;
    showPicture(fileName, first, viewOf(*first), damage);
    pictureSummary = sequenceSummary(info);
    showZoom();
    showFramePosition(frameIndex, frameTime, frameHasTime);
    scheduleLiveRun();
    return true;
}

void HessianMaximaMainWin::closeSequence()
{
    player->close();
    sequenceOpen = false;
    frameIndex = -1;
    frameTime = 0.0;
    frameHasTime = false;
    frameRuns = false;
    frameAsked = -1;
    framesDropped = 0;
    pendingView = QImage();
    framesSeen.clear();
    framesSeenSettings.clear();
    shownTracks.clear();
    tools->frameBar->hide();
    tools->featureCountPlot->hide();
    tools->featureCountPlot->setCounts(QMap<qint64, int>(), -1);
    tools->tracksBox->hide();
    tools->playbackRateLabel->hide();
    for (QAction *action : {tools->actionPlay, tools->actionPreviousFrame, tools->actionNextFrame,
                            tools->actionFirstFrame, tools->actionLastFrame})
        action->setEnabled(false);
}

// A frame read: the detector's input at once; the view when its run
// reports (so that a frame and its circles come together), or at once when
// frames are not detected.
void HessianMaximaMainWin::takeFrame(const PlayerFrame &frame)
{
    if (!sequenceOpen)
        return;
    const bool first = frameIndex < 0;
    const QImage &view = frame.view;
    picture = frame.picture;
    videoFrame = picture->frame;
    frameStretch = picture->stretch;
    frameIndex = frame.index;
    frameTime = frame.time;
    frameHasTime = frame.hasTime;
    framesDropped = frame.dropped;
    if (frame.index == frameAsked)
        frameAsked = -1;
    if (first) {
        // A live source's first frame: shown as a picture opened is.
        const QString summary = pictureSummary;
        showPicture(pictureFileName, frame.picture, view, frame.damage);
        pictureSummary = summary;
        showZoom();
        showFramePosition(frame.index, frame.time, frame.hasTime);
        player->frameShown();
        scheduleLiveRun();
        return;
    }
    if (detectsFrames()) {
        pendingView = view;
        startRun(true, view);
        return;
    }
    ui->featuresWidget->setVideoFrame(view);
    ui->featuresWidget->clearFeatures();
    forgetShownResult();
    showFramePosition(frame.index, frame.time, frame.hasTime);
    player->frameShown();
    showPlaybackRate();
}

void HessianMaximaMainWin::showFrameView(const RunRequest &run)
{
    ui->featuresWidget->setVideoFrame(run.view);
    if (run.view.cacheKey() == pendingView.cacheKey())
        pendingView = QImage();
    showFramePosition(run.frameIndex, run.time, run.hasTime);
}

// "Frame 12 / 299   t 0.480 s": the frame's number from 0, as the tables
// count frames, the last one's, and its time when it has one.
void HessianMaximaMainWin::showFramePosition(qint64 index, double time, bool hasTime)
{
    const qint64 last = player->lastFrame();
    QString text = QStringLiteral("Frame %1").arg(index);
    if (last >= 0)
        text += QStringLiteral(" / %1").arg(last);
    if (hasTime)
        text += QStringLiteral("   t %1 s").arg(time, 0, 'f', 3);
    tools->frameLabel->setText(text);
    tools->featureCountPlot->setCurrentFrame(index);
    if (last >= 0 && index >= 0) {
        const QSignalBlocker quiet(tools->frameSlider);
        tools->frameSlider->setValue((int)std::min<qint64>(index, INT_MAX));
    }
}

void HessianMaximaMainWin::goToFrame(qint64 index)
{
    if (!sequenceOpen || player->isLive())
        return;
    const qint64 last = player->lastFrame();
    frameAsked = std::max<qint64>(0, last >= 0 ? std::min(index, last) : index);
    player->pause();
    player->showFrame(frameAsked);
}

void HessianMaximaMainWin::togglePlay()
{
    if (!sequenceOpen)
        return;
    if (player->isPlaying())
        player->pause();
    else
        player->play();
}

void HessianMaximaMainWin::playingChanged(bool playing)
{
    tools->actionPlay->setText(playing ? QStringLiteral("Pause") : QStringLiteral("Play"));
    tools->actionPlay->setIcon(style()->standardIcon(playing ? QStyle::SP_MediaPause : QStyle::SP_MediaPlay));
    if (!playing)
        tools->playbackRateLabel->hide();
    fitPictureInfo();
}

// "Playing: 23.9 fps", frames shown per second over the last second, and
// a live source's frames dropped so far ("Playing: 12.0 fps, 130 dropped").
void HessianMaximaMainWin::showPlaybackRate()
{
    const double rate = player->achievedRate();
    if (!player->isPlaying() || rate <= 0.0)
        return;
    tools->playbackRateLabel->setText(
        QStringLiteral("Playing: %1 fps").arg(rate, 0, 'f', 1)
        + (framesDropped > 0 ? QStringLiteral(", %1 dropped").arg(framesDropped) : QString()));
    if (!tools->playbackRateLabel->isVisible()) {
        tools->playbackRateLabel->show();
        fitPictureInfo();
    }
}

// A run on a sequence's frame reported: its features join the frames seen
// (for the tracks), and playback goes on.
void HessianMaximaMainWin::frameRunReported(const RunRequest &run, const _HessianDetMaxResult &result)
{
    if (!sequenceOpen || run.frameIndex < 0)
        return;
    const bool cancelled = (run.cancel && run.cancel->load()) || result.status == HESSIAN_CANCELLED;
    if (!cancelled && result.status == 0) {
        const QString key = runKey(run.settings, run.stretch);
        if (key != framesSeenSettings) {
            framesSeen.clear();
            framesSeenSettings = key;
        }
        QVector<QPointF> positions;
        positions.reserve(result.measures.size());
        for (const FeatureMeasure &measure : result.measures)
            positions << QPointF(measure.xSubpixel, measure.ySubpixel);
        framesSeen.setFrame(run.frameIndex, positions);
        showTracks();
        QMap<qint64, int> counts;
        for (auto frame = framesSeen.frames().constBegin(); frame != framesSeen.frames().constEnd(); ++frame)
            counts.insert(frame.key(), frame.value().size());
        tools->featureCountPlot->setCounts(counts, player->lastFrame());
        tools->featureCountPlot->setCurrentFrame(run.frameIndex);
        tools->featureCountPlot->show();
    }
    player->frameShown();
    showPlaybackRate();
}

// Each circle's tail: the tracks of the frames seen, linked with the box's
// settings, for the run shown.
void HessianMaximaMainWin::showTracks()
{
    shownTracks.clear();
    QVector<QPolygonF> tails;
    if (tools->tracksBox->isChecked() && sequenceOpen && shownRun && shownRun->frameIndex >= 0
        && shownResult.status == 0 && framesSeen.frames().contains(shownRun->frameIndex)
        && runKey(shownRun->settings, shownRun->stretch) == framesSeenSettings) {
        FrameTrackSettings settings;
        settings.maxDistance = tools->trackDistanceSBox->value();
        settings.gap = tools->trackGapSBox->value();
        settings.tailLength = tools->tailLengthSBox->value();
        QString error;
        if (!framesSeen.featureTracks(shownRun->frameIndex, settings, &shownTracks, &error))
            showNote(error);
        for (const FeatureTrack &track : shownTracks)
            tails << track.tail;
    }
    ui->featuresWidget->setFeatureTails(tails);
}

void HessianMaximaMainWin::chooseCamera()
{
    bool ok = false;
    const QString path = QInputDialog::getText(
        this, QStringLiteral("Open Camera"),
        QStringLiteral("Camera device (e.g. /dev/video0) or live stream:"), QLineEdit::Normal,
        QStringLiteral("/dev/video0"), &ok);
    if (ok && !path.trimmed().isEmpty())
        openCamera(path.trimmed());
}

namespace {

// A camera or a stream being opened on a thread of its own: opening waits
// for the camera to start or for a stream's first bytes, which may never
// come. The thread holds this alone once the window has given up on it,
// and ends when the source does (a stream's writer leaving, a network
// time-out).
struct CameraOpening {
    std::mutex mutex;
    bool done = false;
    std::shared_ptr<PictureSource> source;
    QString error;
};

} // namespace

bool HessianMaximaMainWin::openCamera(const QString &path)
{
    auto opening = std::make_shared<CameraOpening>();
    std::thread([opening, path] {
        QString error;
        std::shared_ptr<PictureSource> source(PictureSource::open(path, SourceOptions(), &error));
        const std::lock_guard<std::mutex> lock(opening->mutex);
        opening->source = std::move(source);
        opening->error = error;
        opening->done = true;
    }).detach();
    const auto done = [opening] {
        const std::lock_guard<std::mutex> lock(opening->mutex);
        return opening->done;
    };

    QProgressDialog progress(QStringLiteral("Opening %1\u2026").arg(path), QStringLiteral("Cancel"), 0, 0, this);
    progress.setWindowTitle(QStringLiteral("Open Camera"));
    progress.setWindowModality(Qt::WindowModal);
    progress.setMinimumDuration(300);
    QEventLoop wait;
    QTimer poll;
    connect(&poll, &QTimer::timeout, &wait, [&] {
        if (done() || progress.wasCanceled())
            wait.quit();
    });
    connect(&progress, &QProgressDialog::canceled, &wait, &QEventLoop::quit);
    poll.start(20);
    if (!done())
        wait.exec();
    poll.stop();
    progress.reset();
    if (!done()) {
        setStandingLine(QStringLiteral("Opening %1 was cancelled").arg(path));
        return false;
    }

    std::shared_ptr<PictureSource> source;
    QString error;
    {
        const std::lock_guard<std::mutex> lock(opening->mutex);
        source = std::move(opening->source);
        error = opening->error;
    }
    if (source && !source->info().isSequence())
        error = QStringLiteral("it is a still picture, not a camera or a stream");
    else if (source && openSequence(path, source, &error))
        return true;
    QMessageBox warning(QMessageBox::Warning, QStringLiteral("Open Camera"),
                        QStringLiteral("%1 could not be opened.").arg(path), QMessageBox::Ok, this);
    warning.setDetailedText(QStringLiteral("%1: %2").arg(path, error));
    warning.exec();
    setStandingLine(QStringLiteral("%1 could not be opened: %2").arg(path, error));
    return false;
}

// Every frame of the sequence, detected with the settings of the run shown
// and written frame by frame as the command line writes a sequence, on a
// pool thread from a source of its own; the file appears only when whole.
void HessianMaximaMainWin::saveSequenceFeatures(const QString &path, bool json)
{
    const qint64 frames = player->lastFrame() + 1;
    QProgressDialog progress(QStringLiteral("Saving the features of every frame to %1\u2026")
                                 .arg(QFileInfo(path).fileName()),
                             QStringLiteral("Cancel"), 0, (int)std::min<qint64>(std::max<qint64>(frames, 0), INT_MAX),
                             this);
    progress.setWindowTitle(QStringLiteral("Save Features"));
    progress.setWindowModality(Qt::WindowModal);
    progress.setMinimumDuration(0);
    progress.setValue(0);

    auto cancel = std::make_shared<std::atomic<bool>>(false);
    auto done = std::make_shared<std::atomic<qint64>>(0);
    DetectionSettings settings = shownRun->settings;
    settings.candidates = false;
    settings.cancel = nullptr;
    StretchChoice stretch;
    stretch.mode = tools->stretch();
    const QString fileName = pictureFileName;
    // With Tracks on, the saved table carries the track column the command
    // line's --track gives, linked with the box's settings.
    TrackLinkSettings link;
    if (tools->tracksBox->isChecked()) {
        link.maxDistance = tools->trackDistanceSBox->value();
        link.gap = tools->trackGapSBox->value();
    }
    const bool linking = link.maxDistance > 0.0;

    QFutureWatcher<SequenceSaving> saving;
    QEventLoop wait;
    connect(&saving, &QFutureWatcherBase::finished, &wait, &QEventLoop::quit);
    connect(&progress, &QProgressDialog::canceled, &wait, [cancel] { cancel->store(true); });
    QTimer tick;
    connect(&tick, &QTimer::timeout, &progress, [&] {
        if (progress.wasCanceled())
            cancel->store(true);
        else
            progress.setValue((int)std::min<qint64>(done->load(), progress.maximum()));
    });
    tick.start(50);
    saving.setFuture(QtConcurrent::run([=]() {
        SequenceSaving outcome;
        std::unique_ptr<PictureSource> source = PictureSource::open(fileName, SourceOptions(), &outcome.error);
        if (!source)
            return outcome;
        const SourceInfo &info = source->info();
        QSaveFile file(path);
        FeatureTableWriter writer(&file, json ? TableFormat::Json : TableFormat::Csv, true, false,
                                  info.timed ? FrameColumns::FrameAndTime : FrameColumns::Frame, linking);
        PictureResult sequence;
        sequence.file = fileName;
        recordRunSettings(settings, &sequence);
        sequence.sequence = true;
        sequence.link = link;
        QVector<PictureResult> held;  // with Tracks on, until the last frame
        sequence.width = (int)std::min<qint64>(info.width, INT_MAX);
        sequence.height = (int)std::min<qint64>(info.height, INT_MAX);
        sequence.frames = info.frames;
        sequence.timed = info.timed;
        sequence.taken = info.taken;
        if (!file.open(QIODevice::WriteOnly) || !writer.begin() || !writer.beginSequence(sequence)) {
            outcome.error = file.errorString();
            return outcome;
        }
        QElapsedTimer clock;
        clock.start();
        DetectionWorkspace workspace;
        LoadOptions options;
        options.stretch = stretch;
        for (;;) {
            if (cancel->load()) {
                file.cancelWriting();
                outcome.cancelled = true;
                return outcome;
            }
            SourceFrame frame;
            QString error;
            const FrameRead got = source->next(options, &frame, &error);
            if (got == FrameRead::End)
                break;
            if (got == FrameRead::Failed) {
                file.cancelWriting();
                outcome.error = error;
                return outcome;
            }
            const DetectionResult result = runDetection(frame.picture.frame, settings, &workspace);
            PictureResult one;
            one.file = fileName;
            one.frame = frame.index;
            one.time = frame.time;
            one.hasTime = frame.hasTime;
            one.width = frame.picture.frame.width();
            one.height = frame.picture.frame.height();
            one.status = result.status;
            one.features = result.features;
            one.measures = result.measures;
            if (frame.picture.stretch.mode != StretchMode::None)
                one.stretch = stretchName(frame.picture.stretch);
            if (sequence.stretch.isEmpty())
                sequence.stretch = one.stretch;
            if (result.status != 0 && sequence.status == 0)
                sequence.status = result.status;
            if (linking) {
                held << one;
            } else if (!writer.writeFrame(one)) {
                file.cancelWriting();
                outcome.error = file.errorString();
                return outcome;
            }
            ++outcome.frames;
            outcome.features += result.features.size();
            done->store(frame.index + 1);
        }
        if (linking) {
            SequenceTracks tracks;
            if (!linkSequenceFrames(&held, FrameRange(), link, &tracks, &outcome.error)) {
                file.cancelWriting();
                return outcome;
            }
            for (const PictureResult &one : held)
                if (!writer.writeFrame(one)) {
                    file.cancelWriting();
                    outcome.error = file.errorString();
                    return outcome;
                }
        }
        const FrameLosses &losses = source->losses();
        sequence.framesRead = outcome.frames;
        sequence.featureCount = outcome.features;
        sequence.framesLost = losses.lostCount;
        sequence.framesDropped = losses.dropped;
        sequence.damage = losses.text();
        const double seconds = clock.nsecsElapsed() / 1e9;
        sequence.framesPerSecond = seconds > 0.0 ? outcome.frames / seconds : 0.0;
        outcome.losses = losses.text();
        if (!writer.endSequence(sequence) || !writer.finish() || !file.commit())
            outcome.error = file.errorString();
        return outcome;
    }));
    wait.exec();
    tick.stop();
    progress.reset();
    const SequenceSaving outcome = saving.result();
    if (outcome.cancelled) {
        showNote(QStringLiteral("Saving cancelled: %1 was not written").arg(QFileInfo(path).fileName()));
        return;
    }
    if (!outcome.error.isEmpty()) {
        QMessageBox warning(QMessageBox::Warning, QStringLiteral("Save Features"),
                            QStringLiteral("The features could not be saved to %1.").arg(QFileInfo(path).fileName()),
                            QMessageBox::Ok, this);
        warning.setDetailedText(QStringLiteral("%1: %2").arg(path, outcome.error));
        warning.exec();
        return;
    }
    showNote(QStringLiteral("%1 features of %2 frames saved to %3%4")
                 .arg(outcome.features)
                 .arg(outcome.frames)
                 .arg(QFileInfo(path).fileName(),
                      outcome.losses.isEmpty() ? QString() : QStringLiteral(" (%1)").arg(outcome.losses)));
}
