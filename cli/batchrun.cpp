#include "batchrun.h"

#include "annotation.h"
#include "frameloading.h"
#include "parallelbands.h"
#include "runreport.h"
#include "streamingrun.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <algorithm>
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

bool loadInput(const InputPicture &input, const BatchSettings &settings, LoadedPicture *picture, QString *error,
               QString *damage)
{
    LoadOptions options;
    options.stretch = settings.stretch;
    // The frame is drawn on only for an annotation.
    options.detectorInputOnly = settings.annotateFolder.isEmpty();
    options.threads = settings.detection.threads;
    if (input.path != QLatin1String("-"))
        return loadPicture(input.path, options, picture, error, damage);
    // A pipe: the loader reads it into memory, up to its limit.
    QFile in;
    if (!in.open(stdin, QIODevice::ReadOnly)) {
        *error = in.errorString();
        return false;
    }
    return loadPicture(&in, options, picture, error, damage);
}

// Whether the picture is run in bands; `error` says why one that must be
// cannot be.
bool streams(const InputPicture &input, const BatchSettings &settings, qint64 *pixels, QString *error)
{
    if (settings.stream == StreamChoice::Never || settings.detection.scales > 1)
        return false;
    QString reason;
    const bool possible = input.path != QLatin1String("-") && canStream(input.path, &reason, pixels);
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

void runStreamedInput(const InputPicture &input, const BatchSettings &settings, PictureResult *picture)
{
    StreamSettings stream;
    stream.detection = settings.detection;
    stream.stretch = settings.stretch;
    StreamedPicture streamed;
    if (!runStreamed(input.path, stream, &streamed, &picture->error)) {
        picture->status = kPictureUnreadable;
        return;
    }
    std::vector<float> times{streamed.result.elapsedMsec};
    for (int run = 1; run < settings.repeat && streamed.result.status == 0; ++run) {
        if (!runStreamed(input.path, stream, &streamed, &picture->error)) {
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

PictureResult processPicture(const InputPicture &input, const BatchSettings &settings,
                             DetectionWorkspace *workspace)
{
    PictureResult picture;
    picture.file = input.path;
    recordRunSettings(settings.detection, &picture);
    if (!input.error.isEmpty()) {
        picture.status = kPictureUnreadable;
        picture.error = input.error;
        return picture;
    }
    QString streamError;
    qint64 pixels = 0;
    if (streams(input, settings, &pixels, &streamError)) {
        PictureResult streamed = picture;
        runStreamedInput(input, settings, &streamed);
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
    if (!loadInput(input, settings, &loaded, &picture.error, &picture.damage)) {
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
