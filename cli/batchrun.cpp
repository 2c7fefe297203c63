#include "batchrun.h"

#include "annotation.h"
#include "frameloading.h"
#include "parallelbands.h"
#include "runreport.h"
#include "sequencerun.h"
#include "streamingrun.h"
#include "videowriter.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>

#include <algorithm>
#include <climits>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <map>
#include <mutex>
#include <thread>
#include <vector>

namespace {

float median(std::vector<float> values)
{
    std::sort(values.begin(), values.end());
    const size_t middle = values.size() / 2;
    if (values.size() % 2 == 1)
        return values[middle];
    return (values[middle - 1] + values[middle]) / 2.0f;
}

// Whether the picture is run in bands; `error` says why one that must be
// cannot be.
bool streams(const InputPicture &input, PictureSource &source, const BatchSettings &settings, qint64 *pixels,
             QString *error)
{
    if (settings.stream == StreamChoice::Never || settings.detection.scales > 1)
        return false;
    QString reason;
    const bool possible = input.path != QLatin1String("-") && canStream(source, &reason, pixels);
    if (settings.stream == StreamChoice::Always) {
        if (!possible)
            *error = QStringLiteral("it cannot be read in bands (--stream): %1")
                         .arg(input.path == QLatin1String("-") ? QStringLiteral("standard input is read whole")
                                                               : reason);
        return possible;
    }
    return possible && *pixels > kAutoStreamPixels;
}

// The stretch a frame was made with, and its notice as a warning that
// points to the option.
void noteStretch(const StretchNotice &notice, const StretchUsed &used, PictureResult *picture)
{
    if (!notice.text.isEmpty())
        picture->warnings << (notice.narrow ? notice.text + QStringLiteral("; --stretch percentile or minmax spreads them")
                                            : notice.text);
    recordStretch(used, picture);
}

void runStreamedInput(PictureSource &source, const BatchSettings &settings, PictureResult *picture)
{
    StreamSettings stream;
    stream.detection = settings.detection;
    stream.stretch = settings.stretch;
    StreamedPicture streamed;
    if (!runStreamed(source, stream, &streamed, &picture->error)) {
        picture->status = kPictureUnreadable;
        return;
    }
    std::vector<float> times{streamed.result.elapsedMsec};
    for (int run = 1; run < settings.repeat && streamed.result.status == 0; ++run) {
        if (!runStreamed(source, stream, &streamed, &picture->error)) {
            picture->status = kPictureUnreadable;
            return;
        }
        times.push_back(streamed.result.elapsedMsec);
    }
    picture->streamed = true;
    picture->damage = streamed.damage;
    picture->width = (int)streamed.width;
    picture->height = (int)streamed.height;
    noteStretch(streamed.notice, streamed.stretch, picture);
    picture->status = streamed.result.status;
    picture->elapsedMsec = streamed.result.status == 0 ? median(times) : streamed.result.elapsedMsec;
    picture->features = streamed.result.features;
    picture->measures = streamed.result.measures;
    if (!settings.annotateFolder.isEmpty() && streamed.result.status == 0)
        picture->annotationError = QStringLiteral("a picture read in bands is not annotated: it is never whole in memory");
}

} // namespace

namespace {

PictureResult runPicture(const InputPicture &input, PictureSource &source, const BatchSettings &settings,
                         DetectionWorkspace *workspace, PictureResult picture)
{
    QString streamError;
    qint64 pixels = 0;
    if (streams(input, source, settings, &pixels, &streamError)) {
        PictureResult streamed = picture;
        runStreamedInput(source, settings, &streamed);
        // Chosen by size alone, a picture that fails in bands (a damaged
        // strip, say) is read whole, as it always was, where it may be.
        if (streamed.status != kPictureUnreadable || settings.stream == StreamChoice::Always
            || pixels > kMaxFramePixels)
            return streamed;
    }
    if (!streamError.isEmpty()) {
        picture.status = kPictureUnreadable;
        picture.error = streamError;
        return picture;
    }
    LoadedPicture loaded;
    LoadOptions options;
    options.stretch = settings.stretch;
    // The frame is drawn on only for an annotation.
    options.detectorInputOnly = settings.annotateFolder.isEmpty();
    options.threads = settings.detection.threads;
    if (!source.load(options, &loaded, &picture.error, &picture.damage)) {
        picture.status = kPictureUnreadable;
        return picture;
    }
    const QImage frame = loaded.frame;
    noteStretch(loaded.notice, loaded.stretch, &picture);
    picture.width = frame.width();
    picture.height = frame.height();

    DetectionResult result = runDetection(frame, settings.detection, workspace);
    std::vector<float> times{result.elapsedMsec};
    for (int run = 1; run < settings.repeat && result.status == 0; ++run) {
        result = runDetection(frame, settings.detection, workspace);
        times.push_back(result.elapsedMsec);
    }
    picture.status = result.status;
    picture.elapsedMsec = result.status == 0 ? median(times) : result.elapsedMsec;
    picture.features = result.features;
    picture.measures = result.measures;
    if (result.status != 0)
        return picture;
    const QString nothing = nothingSearched(settings.detection, frame.width(), frame.height());
    if (!nothing.isEmpty())
        picture.warnings << nothing;

    if (!settings.annotateFolder.isEmpty()) {
        const QString path = QDir(settings.annotateFolder).filePath(input.annotationName);
        QString error;
        if (!QDir().mkpath(QFileInfo(path).path()))
            error = QStringLiteral("its folder cannot be created");
        if (error.isEmpty() && !saveAnnotatedPicture(path, frame, result.features,
                                                      featureCircleLook(result.measures, settings.detection.scales > 1),
                                                      &error)
            && error.isEmpty())
            error = QStringLiteral("unknown error");
        if (!error.isEmpty())
            picture.annotationError = QStringLiteral("cannot write the annotated picture '%1': %2").arg(path, error);
    }
    return picture;
}

} // namespace

PictureResult processPicture(const InputPicture &input, const BatchSettings &settings,
                             DetectionWorkspace *workspace)
{
    PictureResult picture;
    picture.file = input.path;
    recordRunSettings(settings.detection, &picture);
    std::shared_ptr<PictureSource> source;
    if (input.error.isEmpty())
        source = openInput(input, settings.source, &picture.error);
    else
        picture.error = input.error;
    if (!source) {
        picture.status = kPictureUnreadable;
        return picture;
    }
    picture = runPicture(input, *source, settings, workspace, picture);
    // Its file and readers are not needed any more.
    source->release();
    return picture;
}

bool isVideoName(const QString &path)
{
    return path.endsWith(QLatin1String(".mkv"), Qt::CaseInsensitive)
           || path.endsWith(QLatin1String(".mp4"), Qt::CaseInsensitive);
}

bool isSequenceInput(const InputPicture &input)
{
    return input.error.isEmpty() && input.source && input.source->info().isSequence();
}

PictureResult sequenceRecord(const InputPicture &input, const BatchSettings &settings)
{
    PictureResult sequence;
    sequence.file = input.path;
    recordRunSettings(settings.detection, &sequence);
    sequence.sequence = true;
    sequence.link = settings.link;
    if (!input.source)
        return sequence;
    const SourceInfo &info = input.source->info();
    sequence.width = (int)std::min<qint64>(info.width, INT_MAX);
    sequence.height = (int)std::min<qint64>(info.height, INT_MAX);
    sequence.frames = info.frames;
    sequence.timed = info.timed;
    sequence.taken = info.taken;
    // Each frame's own range: the stretch is named, its lo and hi are the frames'.
    if (settings.stretch.mode == StretchMode::MinMax || settings.stretch.mode == StretchMode::Percentile) {
        StretchUsed named;
        named.mode = settings.stretch.mode;
        named.low = settings.stretch.low;
        named.high = settings.stretch.high;
        sequence.stretch = stretchName(named);
    }
    return sequence;
}

QString sequenceAnnotationFolder(const InputPicture &input, const QString &annotateFolder)
{
    QString name = input.annotationName;
    if (name.endsWith(QLatin1String(".png")))
        name.chop(4);
    // A pattern's number is not part of its folder's name.
    name.remove(QRegularExpression(QStringLiteral("%0?[1-9]?d")));
    if (name.isEmpty() || name.endsWith(QLatin1Char('/')))
        name += QStringLiteral("frames");
    return QDir(annotateFolder).filePath(name);
}

namespace {

// The stretch's notices of a sequence's frames, told once for them all.
struct NoticeTally {
    qint64 narrow = 0;
    qint64 flat = 0;
    QString firstNarrow;  // "frame 3 uses only levels 3 to 20 of 0..255 (...)"
    QString firstFlat;

    void add(const FrameResult &frame)
    {
        if (frame.notice.text.isEmpty())
            return;
        qint64 &count = frame.notice.narrow ? narrow : flat;
        if (count++ > 0)
            return;
        if (frame.notice.narrow)
            firstNarrow = QStringLiteral("frame %1: levels %2 to %3")
                              .arg(frame.index).arg(frame.notice.lowest).arg(frame.notice.highest);
        else
            firstFlat = QStringLiteral("frame %1 %2").arg(frame.index).arg(frame.notice.text);
    }

    void warn(qint64 frames, QStringList *warnings) const
    {
        if (narrow > 0)
            *warnings << QStringLiteral("%1 of %2 frames use less than 1/8 of the 256 levels (%3); "
                                        "--stretch percentile or minmax spreads them")
                             .arg(narrow).arg(frames).arg(firstNarrow);
        if (flat > 0)
            *warnings << QStringLiteral("%1 of %2 frames are flat (%3)").arg(flat).arg(frames).arg(firstFlat);
    }
};

} // namespace

PictureResult runSequenceInput(const InputPicture &input, const BatchSettings &settings,
                               const std::function<bool(const PictureResult &)> &deliverFrame,
                               const std::atomic<bool> *stop)
{
    PictureResult sequence = sequenceRecord(input, settings);
    std::shared_ptr<PictureSource> source = openInput(input, settings.source, &sequence.error);
    if (!source) {
        sequence.status = kPictureUnreadable;
        return sequence;
    }

    SequenceSettings run;
    run.detection = settings.detection;
    run.stretch = settings.stretch;
    run.frames = settings.frames;
    // --jobs: frames in flight at once, as it is pictures for a batch.
    run.workers = settings.jobs;
    QString annotationFolder;
    if (!settings.annotateFolder.isEmpty()) {
        annotationFolder = sequenceAnnotationFolder(input, settings.annotateFolder);
        if (!QDir().mkpath(annotationFolder))
            sequence.annotationError = QStringLiteral("cannot create the folder '%1' for its frames").arg(annotationFolder);
        else
            // Each frame's picture is drawn and written on its detecting thread.
            run.finish = [&](FrameResult &frame) {
                if (frame.result.status != 0)
                    return;
                const QString path = QDir(annotationFolder).filePath(QStringLiteral("%1.png").arg(frame.index, 6, 10, QLatin1Char('0')));
                if (!saveAnnotatedPicture(path, frame.frame, frame.result.features,
                                          featureCircleLook(frame.result.measures, settings.detection.scales > 1),
                                          &frame.finishError)
                    && frame.finishError.isEmpty())
                    frame.finishError = QStringLiteral("unknown error");
                if (!frame.finishError.isEmpty())
                    frame.finishError = QStringLiteral("cannot write the annotated picture '%1': %2").arg(path, frame.finishError);
            };
    }

    // The annotated video: its frames drawn on the detecting threads,
    // written here in order, the writer opened with the first frame's size.
    std::unique_ptr<VideoWriter> video;
    if (!settings.annotateVideo.isEmpty())
        run.finish = [&](FrameResult &frame) {
            if (frame.result.status == 0)
                frame.annotated = annotatedPicture(
                    frame.frame, frame.result.features,
                    featureCircleLook(frame.result.measures, settings.detection.scales > 1));
        };
    const SourceInfo &info = source->info();
    const auto writeVideo = [&](const FrameResult &frame) {
        if (!sequence.annotationError.isEmpty() || frame.annotated.isNull())
            return;
        QString error;
        if (!video) {
            VideoWriterOptions options;
            options.width = frame.annotated.width();
            options.height = frame.annotated.height();
            // A video's own clock; frames of other sequences at their rate.
            const bool stamped = info.timeBaseNumerator > 0 && info.timeBaseDenominator > 0;
            options.timeBaseNumerator = stamped ? info.timeBaseNumerator : 1;
            options.timeBaseDenominator = stamped ? info.timeBaseDenominator : 25;
            options.frameRate = info.frameRate > 0.0 ? info.frameRate : 25.0;
            if (!stamped && info.frameRate > 0.0) {
                options.timeBaseNumerator = 1;
                options.timeBaseDenominator = std::max(1, (int)std::lround(info.frameRate));
            }
            video = VideoWriter::open(settings.annotateVideo, options, &error);
        }
        const bool stamped = info.timeBaseDenominator > 0 && frame.hasTime;
        if (video && video->write(frame.annotated, stamped ? frame.timeStamp : -1, &error))
            return;
        sequence.annotationError =
            QStringLiteral("cannot write the annotated video '%1': %2").arg(settings.annotateVideo, error);
        video.reset();
    };

    NoticeTally notices;
    qint64 failedFrames = 0;
    float elapsed = 0.0f;
    const auto deliver = [&](FrameResult &frame) {
        writeVideo(frame);
        PictureResult one;
        one.file = sequence.file;
        one.frame = frame.index;
        one.time = frame.time;
        one.hasTime = frame.hasTime;
        one.width = frame.frame.width();
        one.height = frame.frame.height();
        one.status = frame.result.status;
        one.features = frame.result.features;
        one.measures = frame.result.measures;
        // The stretch the frames are made with, by name (each frame its own
        // range): the first frame's tells the sequence's.
        if (frame.stretch.mode != StretchMode::None)
            one.stretch = stretchName(frame.stretch);
        if (sequence.stretch.isEmpty())
            sequence.stretch = one.stretch;
        elapsed += frame.result.elapsedMsec;
        notices.add(frame);
        if (frame.result.status != 0 && failedFrames++ == 0) {
            // The first failing run speaks for all.
            sequence.status = frame.result.status;
            sequence.width = one.width;
            sequence.height = one.height;
        }
        if (!frame.finishError.isEmpty() && sequence.annotationError.isEmpty())
            sequence.annotationError = frame.finishError;
        return deliverFrame(one);
    };
    SequenceTotals totals;
    const bool whole = runSequence(*source, run, deliver, &totals, stop);
    source->release();
    QString videoError;
    if (video && !video->finish(&videoError) && sequence.annotationError.isEmpty())
        sequence.annotationError =
            QStringLiteral("cannot write the annotated video '%1': %2").arg(settings.annotateVideo, videoError);

    sequence.framesRead = totals.delivered;
    sequence.featureCount = totals.features;
    sequence.framesLost = totals.losses.lostCount;
    sequence.framesDropped = totals.losses.dropped;
    sequence.framesPerSecond = totals.seconds > 0.0 ? totals.delivered / totals.seconds : 0.0;
    sequence.elapsedMsec = elapsed;
    QStringList damage;
    if (totals.losses.any())
        damage << totals.losses.text();
    if (!whole && totals.delivered > 0)
        damage << QStringLiteral("reading stopped after frame %1: %2").arg(totals.delivered).arg(totals.error);
    sequence.damage = damage.join(QStringLiteral("; "));
    // What of the file the frames are, when not all of it (an ImageJ
    // hyperstack's first channel, say): said once, beside the results.
    if (!sequence.taken.isEmpty())
        sequence.warnings.prepend(QStringLiteral("frames are %1").arg(sequence.taken));
    notices.warn(totals.delivered, &sequence.warnings);
    // A kernel wider than the frames: nothing could be searched.
    const QString nothing = nothingSearchedReason(largestKernelRadius(settings.detection), sequence.width, sequence.height);
    if (totals.delivered > 0 && !nothing.isEmpty())
        sequence.warnings << nothing;
    // Nothing read at all is a file that could not be read.
    if (totals.delivered == 0 && !(stop && stop->load()) && (!whole || totals.losses.lostCount > 0)) {
        sequence.status = kPictureUnreadable;
        sequence.error = !whole ? totals.error : QStringLiteral("no frame can be read: %1").arg(totals.losses.text());
        sequence.damage.clear();
    }
    return sequence;
}

int runBatch(const QVector<InputPicture> &inputs, const BatchSettings &settings,
             const std::function<bool(const PictureResult &)> &deliver, const std::atomic<bool> *stop,
             const PictureProcess &process)
{
    const int total = inputs.size();
    const unsigned cores = machineThreads();
    const int jobs = std::max(1, std::min(settings.jobs > 0 ? settings.jobs : (int)cores, total));
    // Pictures in flight share the cores; one alone gets them all as bands.
    BatchSettings each = settings;
    if (each.detection.threads == 0)
        each.detection.threads = std::max(1u, cores / (unsigned)jobs);

    // Results wait here until every earlier one has been delivered; workers
    // run at most `window` pictures ahead of delivery, so that a slow
    // picture does not pile up the results behind it.
    const int window = 2 * jobs;
    std::mutex mutex;
    std::condition_variable changed;
    std::map<int, PictureResult> ready;
    int next = 0;        // next input to take
    int delivered = 0;   // results handed over so far
    bool stopping = false;
    const auto stopRequested = [&] { return stopping || (stop && stop->load()); };

    const auto work = [&] {
        DetectionWorkspace workspace;
        std::unique_lock<std::mutex> lock(mutex);
        for (;;) {
            changed.wait(lock, [&] { return stopRequested() || next >= total || next < delivered + window; });
            if (stopRequested() || next >= total)
                return;
            const int index = next++;
            lock.unlock();
            PictureResult result = process(inputs[index], each, &workspace);
            lock.lock();
            ready.emplace(index, std::move(result));
            changed.notify_all();
        }
    };
    std::vector<std::thread> workers;
    for (int j = 0; j < jobs; ++j)
        workers.emplace_back(work);

    {
        std::unique_lock<std::mutex> lock(mutex);
        while (delivered < total) {
            // Wakes now and then to see a stop request from a signal handler.
            changed.wait_for(lock, std::chrono::milliseconds(100), [&] {
                return ready.count(delivered) > 0 || stopRequested();
            });
            if (stopRequested() && ready.count(delivered) == 0)
                break;
            if (ready.count(delivered) == 0)
                continue;
            PictureResult result = std::move(ready[delivered]);
            ready.erase(delivered);
            lock.unlock();
            const bool more = deliver(result);
            lock.lock();
            ++delivered;
            if (!more)
                stopping = true;
            changed.notify_all();
        }
        stopping = true;
        changed.notify_all();
    }
    for (std::thread &worker : workers)
        worker.join();
    return delivered;
}
