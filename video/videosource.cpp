#include "videosource.h"

#include "picturelimits.h"
#include "videomodule.h"

#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>
#include <vector>

// The reading side of a source: a thread that decodes ahead into a short
// queue, and the buffers that frames go back to when the reader lets them
// go. A file's queue waits for its reader; a live source's keeps only the
// newest frame.
class VideoModuleSource
{
public:
    VideoModuleSource(std::unique_ptr<VideoDecoder> decoder, const VideoOptions &options)
        : decoder(std::move(decoder)), videoInfo(this->decoder->info())
    {
        const bool live = videoInfo.live;
        newestWins = options.pacing == VideoOptions::Pacing::NewestWins
            || (options.pacing == VideoOptions::Pacing::Auto && live);
        capacity = newestWins ? 1 : std::max(1, options.readAhead);
        reader = std::thread([this] { run(); });
    }

    ~VideoModuleSource()
    {
        {
            std::lock_guard<std::mutex> lock(mutex);
            stopping = true;
        }
        decoder->interrupt();
        changed.notify_all();
        reader.join();
    }

    const VideoInfo &info() const { return videoInfo; }

    VideoRead next(VideoFrame *frame, QString *error)
    {
        std::unique_lock<std::mutex> lock(mutex);
        keepSpare(std::move(frame->image));
        *frame = VideoFrame();
        changed.wait(lock, [this] { return !queue.empty() || ended || interrupted; });
        if (interrupted) {
            *error = QStringLiteral("interrupted");
            return VideoRead::Failed;
        }
        if (!queue.empty()) {
            *frame = std::move(queue.front());
            queue.pop_front();
            changed.notify_all();
            return VideoRead::Frame;
        }
        if (endState == VideoRead::Failed)
            *error = endError;
        return endState;
    }

    bool seek(qint64 index, QString *error)
    {
        std::unique_lock<std::mutex> lock(mutex);
        if (!videoInfo.seekable) {
            *error = QStringLiteral("a live source cannot seek");
            return false;
        }
        if (index < 0) {
            *error = QStringLiteral("no frame %1").arg(index);
            return false;
        }
        while (!queue.empty()) {
            keepSpare(std::move(queue.front().image));
            queue.pop_front();
        }
        ++generation;
        seekTarget = index;
        seekAnswered = false;
        changed.notify_all();
        changed.wait(lock, [this] { return seekAnswered || interrupted; });
        if (!seekAnswered) {
            *error = QStringLiteral("interrupted");
            return false;
        }
        if (!seekSucceeded)
            *error = seekError;
        return seekSucceeded;
    }

    VideoDamage damage() const
    {
        std::lock_guard<std::mutex> lock(mutex);
        VideoDamage d = damageSeen;
        d.droppedFrames = dropped;
        return d;
    }

    QStringList messages() const { return decoder->messages(); }

    void interrupt()
    {
        {
            std::lock_guard<std::mutex> lock(mutex);
            interrupted = true;
        }
        decoder->interrupt();
        changed.notify_all();
    }

private:
    // A buffer the reader has let go of, for the decoder to fill again. The
    // few kept are enough for a reader that lets each frame go before the
    // next; frames the reader keeps are its own memory.
    void keepSpare(QImage image)
    {
        if (!image.isNull() && spares.size() < (size_t)capacity + 2)
            spares.push_back(std::move(image));
    }

    QImage takeSpare()
    {
        while (!spares.empty()) {
            QImage image = std::move(spares.back());
            spares.pop_back();
            if (image.isDetached())
                return image;
        }
        return QImage();
    }

    void run()
    {
        std::unique_lock<std::mutex> lock(mutex);
        for (;;) {
            // A new buffer only when the reader has every frame decoded so
            // far: ahead of it, the decoder fills the buffers it gives back.
            // Otherwise a reader that stalls now and then would have the
            // decoder make a queue's worth of frames more each time it
            // falls behind, and a long video would peak above a short one.
            changed.wait(lock, [this] {
                return stopping || seekTarget >= 0
                       || (!ended && (newestWins || ((int)queue.size() < capacity && (queue.empty() || !spares.empty()))));
            });
            if (stopping)
                return;
            if (seekTarget >= 0) {
                const qint64 target = seekTarget;
                seekTarget = -1;
                lock.unlock();
                QString reason;
                const bool ok = decoder->seek(target, &reason);
                lock.lock();
                seekSucceeded = ok;
                seekError = reason;
                seekAnswered = true;
                ended = false;
                damageSeen = decoder->damage();
                changed.notify_all();
                continue;
            }
            VideoFrame frame;
            frame.image = takeSpare();
            const quint64 started = generation;
            lock.unlock();
            QString reason;
            const VideoRead read = decoder->decode(&frame, &reason);
            lock.lock();
            damageSeen = decoder->damage();
            if (started != generation) {
                // A seek came in meanwhile: this frame is from before it.
                keepSpare(std::move(frame.image));
                continue;
            }
            if (read == VideoRead::Frame) {
                if (newestWins && (int)queue.size() >= capacity) {
                    keepSpare(std::move(queue.front().image));
                    queue.pop_front();
                    ++dropped;
                }
                queue.push_back(std::move(frame));
            } else {
                ended = true;
                endState = read;
                endError = reason;
            }
            changed.notify_all();
        }
    }

    std::unique_ptr<VideoDecoder> decoder;
    const VideoInfo videoInfo;
    bool newestWins = false;
    int capacity = 1;

    mutable std::mutex mutex;
    std::condition_variable changed;
    // Everything below is guarded by `mutex`.
    std::deque<VideoFrame> queue;
    std::vector<QImage> spares;
    bool stopping = false;
    bool interrupted = false;
    bool ended = false;  // the decoder has returned End or Failed
    VideoRead endState = VideoRead::End;
    QString endError;
    qint64 seekTarget = -1;  // a seek for the reader thread to make
    quint64 generation = 0;  // seeks made so far
    bool seekAnswered = false;
    bool seekSucceeded = false;
    QString seekError;
    qint64 dropped = 0;
    VideoDamage damageSeen;
    std::thread reader;  // last: starts when everything else is set
};

namespace {

std::unique_ptr<VideoSource> openInput(const VideoInput &input, VideoOptions options, QString *error,
                                       std::unique_ptr<VideoSource> (*make)(std::unique_ptr<VideoModuleSource>))
{
    const VideoModuleTable *module = videoModule(error);
    if (!module)
        return nullptr;
    if (options.maxFramePixels <= 0 || options.maxFramePixels > kMaxFramePixels)
        options.maxFramePixels = kMaxFramePixels;
    if (options.decoderThreads <= 0)
        options.decoderThreads = std::max(1, (int)std::thread::hardware_concurrency() - 1);
    std::unique_ptr<VideoDecoder> decoder(module->openDecoder(input, options, error));
    if (!decoder)
        return nullptr;
    return make(std::make_unique<VideoModuleSource>(std::move(decoder), options));
}

}  // namespace

VideoSource::VideoSource(std::unique_ptr<VideoModuleSource> source) : d(std::move(source)) {}

VideoSource::~VideoSource() = default;

std::unique_ptr<VideoSource> VideoSource::open(const QString &path, const VideoOptions &options, QString *error)
{
    VideoInput input;
    input.path = path;
    return openInput(input, options, error, [](std::unique_ptr<VideoModuleSource> s) {
        return std::unique_ptr<VideoSource>(new VideoSource(std::move(s)));
    });
}

std::unique_ptr<VideoSource> VideoSource::openBytes(const QByteArray &bytes, const VideoOptions &options,
                                                    QString *error)
{
    VideoInput input;
    input.bytes = bytes;
    input.inMemory = true;
    return openInput(input, options, error, [](std::unique_ptr<VideoModuleSource> s) {
        return std::unique_ptr<VideoSource>(new VideoSource(std::move(s)));
    });
}

const VideoInfo &VideoSource::info() const
{
    return d->info();
}

VideoRead VideoSource::next(VideoFrame *frame, QString *error)
{
    return d->next(frame, error);
}

bool VideoSource::seek(qint64 index, QString *error)
{
    return d->seek(index, error);
}

VideoDamage VideoSource::damage() const
{
    return d->damage();
}

QStringList VideoSource::messages() const
{
    return d->messages();
}

void VideoSource::interrupt()
{
    d->interrupt();
}

QString videoLibraryVersions(QString *error)
{
    const VideoModuleTable *module = videoModule(error);
    return module ? module->libraryVersions() : QString();
}

namespace {

QString spanText(const VideoDamage::Span &span)
{
    if (span.first == span.last)
        return QStringLiteral("frame %1 (%2 s)").arg(span.first).arg(span.from, 0, 'f', 3);
    return QStringLiteral("frames %1-%2 (%3-%4 s)")
        .arg(span.first)
        .arg(span.last)
        .arg(span.from, 0, 'f', 3)
        .arg(span.to, 0, 'f', 3);
}

QString spansText(const QVector<VideoDamage::Span> &spans, qint64 count, const char *what)
{
    // A badly damaged stream is named by its first few spans.
    const int shown = 8;
    QStringList parts;
    for (int i = 0; i < spans.size() && i < shown; ++i)
        parts << spanText(spans[i]);
    QString text = parts.join(QStringLiteral(", "));
    if (spans.size() > shown)
        text += QStringLiteral(" and %1 more spans").arg(spans.size() - shown);
    return QStringLiteral("%1 %2 frame%3: %4").arg(count).arg(QLatin1String(what)).arg(count == 1 ? "" : "s").arg(text);
}

}  // namespace

QString VideoDamage::text() const
{
    QStringList parts;
    if (lostFrames > 0)
        parts << spansText(lost, lostFrames, "lost");
    if (concealedFrames > 0)
        parts << spansText(concealed, concealedFrames, "concealed");
    if (cutShort)
        parts << QStringLiteral("cut short");
    return parts.join(QStringLiteral("; "));
}
