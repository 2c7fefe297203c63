#include "frameplayer.h"

#include <QtConcurrent>

#include <algorithm>
#include <cmath>

struct FramePlayer::ReadOutcome {
    FrameRead got = FrameRead::Failed;
    PlayerFrame frame;
    QString error;
    // The source the frame came from (its generation): a read that
    // finishes after the source was replaced or closed is dropped.
    quint64 generation = 0;
};

namespace {

// The achieved rate counts the frames shown over about this long.
const qint64 kRateWindowMsec = 1000;

} // namespace

// What the view shows of a picture: deeper pictures always stretched,
// whatever detection is given; the others as they are.
QImage viewOf(const LoadedPicture &picture)
{
    QImage shown = picture.qtFrame.isNull() ? picture.frame : picture.qtFrame;
    if (picture.samples && picture.bitsPerSample > 8) {
        StretchUsed used;
        StretchNotice notice;
        QString viewError;
        StretchChoice view;
        view.mode = StretchMode::Percentile;
        if (!restretchPicture(picture, view, &shown, &used, &notice, &viewError))
            shown = picture.frame;
    }
    return shown;
}

FramePlayer::FramePlayer(QObject *parent) : QObject(parent)
{
    readThread.setMaxThreadCount(1);
    readThread.setExpiryTimeout(-1);
    connect(&reading, &QFutureWatcherBase::finished, this, &FramePlayer::readDone);
    pace.setSingleShot(true);
    // A frame every 40 ms wants better than the coarse timer's 5 %.
    pace.setTimerType(Qt::PreciseTimer);
    connect(&pace, &QTimer::timeout, this, &FramePlayer::advance);
    clock.start();
}

FramePlayer::~FramePlayer()
{
    close();
    readThread.waitForDone();
}

void FramePlayer::setSource(std::shared_ptr<PictureSource> opened, const LoadOptions &options, qint64 next)
{
    close();
    source = std::move(opened);
    loadOptions = options;
    nextIndex = next;
}

void FramePlayer::close()
{
    pause();
    // A read in flight keeps its share of the source and is dropped when
    // it reports; a live source waiting for its next frame gives up now.
    if (source && reading.isRunning())
        source->interrupt();
    source.reset();
    ++generation;
    wanted = -2;
    waitingForShow = false;
}

qint64 FramePlayer::lastFrame() const
{
    if (!source || source->info().live || source->info().frames < 1)
        return -1;
    return source->info().frames - 1;
}

void FramePlayer::showFrame(qint64 index)
{
    if (!source)
        return;
    if (!isLive()) {
        const qint64 last = lastFrame();
        index = std::max<qint64>(0, last >= 0 ? std::min(index, last) : index);
    }
    if (reading.isRunning()) {
        wanted = index;
        return;
    }
    startRead(index);
}

void FramePlayer::startRead(qint64 index)
{
    // A live source has no frame numbers to go to: its newest frame comes.
    const bool seek = !isLive() && index != nextIndex;
    waitingForShow = true;
    reading.setFuture(QtConcurrent::run(&readThread, [source = source, index, seek, options = loadOptions,
                                                      generation = generation] {
        auto outcome = std::make_shared<ReadOutcome>();
        outcome->generation = generation;
        if (seek) {
            FrameRange range;
            range.first = index;
            if (!source->select(range, &outcome->error))
                return outcome;
        }
        SourceFrame frame;
        outcome->got = source->next(options, &frame, &outcome->error);
        if (outcome->got == FrameRead::Frame) {
            outcome->frame.index = frame.index;
            outcome->frame.time = frame.time;
            outcome->frame.hasTime = frame.hasTime;
            outcome->frame.damage = frame.damage;
            outcome->frame.dropped = source->losses().dropped;
            outcome->frame.picture = std::make_shared<LoadedPicture>(std::move(frame.picture));
            // A deep frame's view is stretched here, not on the GUI thread.
            outcome->frame.view = viewOf(*outcome->frame.picture);
        }
        return outcome;
    }));
}

void FramePlayer::readDone()
{
    const std::shared_ptr<ReadOutcome> outcome =
        reading.future().resultCount() > 0 ? reading.result() : std::shared_ptr<ReadOutcome>();
    if (!source || !outcome || outcome->generation != generation) {
        // A read of a source let go since: the frame asked of the new one
        // meanwhile is read now.
        waitingForShow = false;
        if (source && wanted != -2) {
            const qint64 index = wanted;
            wanted = -2;
            startRead(index);
        }
        return;
    }
    if (wanted != -2) {
        // A later ask replaces this frame before it is shown.
        const qint64 index = wanted;
        wanted = -2;
        if (outcome->got == FrameRead::Frame)
            nextIndex = outcome->frame.index + 1;
        startRead(index);
        return;
    }
    if (outcome->got != FrameRead::Frame) {
        waitingForShow = false;
        // The selection is spent: the next read seeks again.
        nextIndex = -1;
        const bool wasPlaying = playing;
        pause();
        if (wasPlaying || outcome->got == FrameRead::Failed)
            emit ended(outcome->got == FrameRead::Failed ? outcome->error : QString());
        return;
    }
    nextIndex = outcome->frame.index + 1;
    emit frameReady(outcome->frame);
}

void FramePlayer::play()
{
    if (!source || playing)
        return;
    const qint64 last = lastFrame();
    playing = true;
    shownAt.clear();
    emit playingChanged(true);
    // From the start again once at the end.
    if (last >= 0 && nextIndex > last)
        nextIndex = -1;
    if (!waitingForShow && !reading.isRunning()) {
        dueAt = clock.elapsed() + frameInterval();
        showFrame(nextIndex < 0 ? 0 : nextIndex);
    }
}

void FramePlayer::pause()
{
    pace.stop();
    if (!playing)
        return;
    playing = false;
    emit playingChanged(false);
}

void FramePlayer::frameShown()
{
    if (!waitingForShow)
        return;
    waitingForShow = false;
    if (!playing)
        return;
    shownAt.append(clock.elapsed());
    while (shownAt.size() > 2 && shownAt.last() - shownAt.first() > kRateWindowMsec)
        shownAt.removeFirst();
    // The next frame when it is due (a live source: as soon as this one is
    // shown, its newest frame).
    pace.start((int)std::max<qint64>(0, dueAt - clock.elapsed()));
}

// Milliseconds between frames: the sequence's own rate, a live source's
// frames as they come.
qint64 FramePlayer::frameInterval() const
{
    if (!source || isLive())
        return 0;
    const double rate = source->info().frameRate > 0.0 ? source->info().frameRate : kDefaultRate;
    return std::max<qint64>(1, (qint64)std::lround(1000.0 / rate));
}

void FramePlayer::advance()
{
    if (!playing || !source)
        return;
    const qint64 last = lastFrame();
    if (!isLive() && last >= 0 && nextIndex > last) {
        pause();
        emit ended(QString());
        return;
    }
    // Frames are asked for on a fixed beat, so that the rate holds; one that
    // came a whole frame late starts the beat again.
    const qint64 now = clock.elapsed();
    if (now - dueAt > frameInterval())
        dueAt = now;
    dueAt += frameInterval();
    showFrame(isLive() ? 0 : nextIndex);
}

double FramePlayer::achievedRate() const
{
    if (shownAt.size() < 2 || shownAt.last() == shownAt.first())
        return 0.0;
    return (shownAt.size() - 1) * 1000.0 / (double)(shownAt.last() - shownAt.first());
}
