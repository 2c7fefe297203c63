#include "sequencerun.h"

#include "parallelbands.h"

#include <QElapsedTimer>

#include <algorithm>
#include <condition_variable>
#include <deque>
#include <map>
#include <mutex>
#include <thread>
#include <vector>

namespace {

// The frames between the reader, the detecting threads and the caller.
// Frames are numbered in the order they are read (a frame's own number may
// skip); the caller takes them back in that order.
struct Pipeline {
    std::mutex mutex;
    std::condition_variable changed;
    std::deque<std::pair<qint64, FrameResult>> toDetect;
    std::map<qint64, FrameResult> detected;
    qint64 read = 0;        // frames read so far
    qint64 delivered = 0;   // frames handed over so far
    bool readerDone = false;
    bool stopping = false;
    FrameRead ending = FrameRead::End;
    QString error;
};

FrameResult frameResult(SourceFrame &frame)
{
    FrameResult result;
    result.index = frame.index;
    result.time = frame.time;
    result.hasTime = frame.hasTime;
    result.timeStamp = frame.timeStamp;
    result.frame = frame.picture.frame;
    result.stretch = frame.picture.stretch;
    result.notice = frame.picture.notice;
    result.damage = frame.damage;
    return result;
}

} // namespace

bool runSequence(PictureSource &source, const SequenceSettings &settings,
                 const std::function<bool(FrameResult &)> &deliver, SequenceTotals *totals,
                 const std::atomic<bool> *stop)
{
    *totals = SequenceTotals();
    QElapsedTimer clock;
    clock.start();
    if (!source.select(settings.frames, &totals->error))
        return false;

    const unsigned threads = settings.detection.threads > 0 ? settings.detection.threads : machineThreads();
    const int workers = std::max(1, settings.workers > 0 ? settings.workers : (int)threads);
    DetectionSettings each = settings.detection;
    each.threads = std::max(1u, threads / (unsigned)workers);
    // Frames read and not yet handed over: enough that no detecting thread
    // waits for the reader while the caller writes, few enough that memory
    // stays that of a handful of frames.
    const qint64 inFlight = 2 * (qint64)workers + 1;

    Pipeline p;
    const auto stopRequested = [&] { return p.stopping || (stop && stop->load()); };

    std::thread reader([&] {
        LoadOptions options;
        options.stretch = settings.stretch;
        // Frames are drawn on only by `finish`; this thread decodes beside
        // the detecting ones, on one core.
        options.detectorInputOnly = !settings.finish;
        options.threads = 1;
        std::unique_lock<std::mutex> lock(p.mutex);
        for (;;) {
            p.changed.wait(lock, [&] { return stopRequested() || p.read - p.delivered < inFlight; });
            if (stopRequested())
                break;
            lock.unlock();
            SourceFrame frame;
            QString error;
            const FrameRead got = source.next(options, &frame, &error);
            FrameResult result = got == FrameRead::Frame ? frameResult(frame) : FrameResult();
            frame = SourceFrame();  // the picture's buffer goes with the result alone
            lock.lock();
            if (got != FrameRead::Frame) {
                p.ending = got;
                p.error = error;
                break;
            }
            p.toDetect.emplace_back(p.read++, std::move(result));
            p.changed.notify_all();
        }
        p.readerDone = true;
        p.changed.notify_all();
    });

    std::vector<std::thread> detectors;
    for (int w = 0; w < workers; ++w) {
        detectors.emplace_back([&] {
            DetectionWorkspace workspace;
            std::unique_lock<std::mutex> lock(p.mutex);
            for (;;) {
                p.changed.wait(lock, [&] { return stopRequested() || !p.toDetect.empty() || p.readerDone; });
                if (stopRequested() || p.toDetect.empty())
                    return;
                std::pair<qint64, FrameResult> job = std::move(p.toDetect.front());
                p.toDetect.pop_front();
                lock.unlock();
                FrameResult &frame = job.second;
                frame.result = runDetection(frame.frame, each, &workspace);
                if (settings.finish)
                    settings.finish(frame);
                lock.lock();
                p.detected.emplace(job.first, std::move(frame));
                p.changed.notify_all();
            }
        });
    }

    {
        std::unique_lock<std::mutex> lock(p.mutex);
        for (;;) {
            // Wakes now and then to see a stop request from a signal handler.
            p.changed.wait_for(lock, std::chrono::milliseconds(100), [&] {
                return stopRequested() || p.detected.count(p.delivered) > 0
                       || (p.readerDone && p.delivered == p.read);
            });
            if (stopRequested())
                break;
            const auto next = p.detected.find(p.delivered);
            if (next == p.detected.end()) {
                if (p.readerDone && p.delivered == p.read)
                    break;
                continue;
            }
            FrameResult frame = std::move(next->second);
            p.detected.erase(next);
            lock.unlock();
            totals->features += frame.result.features.size();
            const bool more = deliver(frame);
            // Its buffer goes back to the decoder, to be decoded into again.
            QImage picture = std::move(frame.frame);
            frame = FrameResult();
            source.giveBack(std::move(picture));
            lock.lock();
            ++p.delivered;
            if (!more)
                p.stopping = true;
            p.changed.notify_all();
        }
        p.stopping = true;
        p.changed.notify_all();
    }
    // A live source may be waiting for its next frame.
    source.interrupt();
    reader.join();
    for (std::thread &detector : detectors)
        detector.join();

    totals->read = p.read;
    totals->delivered = p.delivered;
    totals->seconds = (double)clock.nsecsElapsed() / 1e9;
    totals->losses = source.losses();
    if (p.ending == FrameRead::Failed && !(stop && stop->load())) {
        totals->error = p.error;
        return false;
    }
    return true;
}
