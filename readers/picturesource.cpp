#include "picturesource.h"

#include "decodermessages.h"
#include "framepattern.h"
#include "imageheaders.h"
#include "videosource.h"

#include <QBuffer>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QImageReader>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <csignal>
#include <exception>
#include <mutex>
#include <new>
#include <thread>

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// Whatever a decoder or an allocation throws ends here, as a reason.
template <typename Step>
bool guarded(QString *error, Step step)
{
    try {
        return step();
    } catch (const std::bad_alloc &) {
        *error = QStringLiteral("not enough memory to read the image");
    } catch (const std::exception &exception) {
        *error = QStringLiteral("the image cannot be read: %1").arg(QString::fromLocal8Bit(exception.what()));
    }
    return false;
}

// The reason inside "the file is damaged (REASON)": a frame's loss is said
// within the file's damage.
QString damageReason(const QString &error)
{
    const QString wrapped = damagedMessage(QString());
    const QString start = wrapped.left(wrapped.size() - 1);
    return error.startsWith(start) && error.endsWith(QLatin1Char(')'))
               ? error.mid(start.size(), error.size() - start.size() - 1)
               : error;
}

// Where a source's bytes are: a file it opened (and may let go of and open
// again), or memory (what came from a pipe or a device), or a device it
// was given, random access.
class SourceBytes
{
public:
    // A file by name; false with the reason.
    bool openFile(const QString &path, QString *error)
    {
        fileName = path;
        file.reset(new QFile(path));
        if (!openPictureFile(file.get(), error))
            return false;
        return takeDevice(file.get(), error);
    }

    // A device given open: read where it is when it is random access,
    // whole into memory otherwise.
    bool openDevice(QIODevice *given, const QString &name, QString *error)
    {
        fileName = name;
        return takeDevice(given, error);
    }

    QIODevice *device() const { return current; }
    // The bytes came from a pipe or a device and are held in memory.
    bool inMemory() const { return current == &memory; }
    // A pipe or standard input that carries a video stream: its descriptor
    // (left open) and the bytes read from it to tell.
    int videoStream() const { return streamDescriptor; }
    const QByteArray &streamStart() const { return start; }
    const QString &name() const { return fileName; }

    // Closes a file opened here; reopen() opens it again.
    bool canRelease() const { return file && current == file.get(); }
    void release()
    {
        if (canRelease())
            file->close();
    }
    bool reopen(QString *error)
    {
        if (!canRelease() || file->isOpen())
            return true;
        // A file opened by descriptor forgets its name once closed.
        file.reset(new QFile(fileName));
        current = file.get();
        return openPictureFile(file.get(), error);
    }

private:
    bool takeDevice(QIODevice *given, QString *error)
    {
        if (!given->isSequential()) {
            current = given;
            return true;
        }
        // A pipe's first bytes, read past Qt's buffer, tell a video stream
        // (handed on as it comes) from a picture (read whole).
        const QFile *pipe = qobject_cast<const QFile *>(given);
        const int descriptor = pipe ? pipe->handle() : -1;
        if (descriptor >= 0) {
            start = readStart(descriptor);
            if (looksLikeVideo(start)) {
                streamDescriptor = descriptor;
                current = given;
                return true;
            }
        }
        if (!readWholeStream(given, &memory, error, start))
            return false;
        file.reset();
        current = &memory;
        return true;
    }

    // Up to kSniffBytes from a descriptor, fewer only at its end.
    static QByteArray readStart(int descriptor)
    {
        QByteArray bytes(kSniffBytes, '\0');
        int size = 0;
        while (size < bytes.size()) {
            const ssize_t count = ::read(descriptor, bytes.data() + size, (size_t)(bytes.size() - size));
            if (count < 0 && errno == EINTR)
                continue;
            if (count <= 0)
                break;
            size += (int)count;
        }
        bytes.resize(size);
        return bytes;
    }

    static const int kSniffBytes = 4096;
    int streamDescriptor = -1;
    QByteArray start;

    QString fileName;
    std::unique_ptr<QFile> file;
    QBuffer memory;
    QIODevice *current = nullptr;

public:
    // Whether the first bytes of a file are those of a container that holds
    // video (FFmpeg reads them): MP4 and QuickTime, Matroska and WebM, AVI,
    // NUT, MPEG transport and program streams, FLV, Ogg, ASF, YUV4MPEG, and
    // raw H.264, HEVC or MPEG video. Pictures are never taken for videos:
    // their readers come first for anything else.
    static bool looksLikeVideo(const QByteArray &b)
    {
        const auto at = [&](int offset, const char *text, int size) {
            return b.size() >= offset + size && std::memcmp(b.constData() + offset, text, (size_t)size) == 0;
        };
        for (const char *box : {"ftyp", "moov", "mdat", "free", "wide", "skip", "pnot"})
            if (at(4, box, 4))
                return !at(8, "heic", 4) && !at(8, "heix", 4) && !at(8, "mif1", 4) && !at(8, "avif", 4);
        return at(0, "\x1a\x45\xdf\xa3", 4) || (at(0, "RIFF", 4) && at(8, "AVI ", 4))
               || at(0, "nut/multimedia container", 24) || at(0, "FLV\x01", 4) || at(0, "OggS", 4)
               || at(0, "\x30\x26\xb2\x75\x8e\x66\xcf\x11", 8) || at(0, "YUV4MPEG2", 9)
               || at(0, "\x00\x00\x01\xba", 4) || at(0, "\x00\x00\x01\xb3", 4)
               || (at(0, "\x00\x00\x00\x01", 4) && b.size() > 4 && !(b[4] & 0x80))
               || (b.size() > 376 && b[0] == 0x47 && b[188] == 0x47 && b[376] == 0x47);
    }
};

// A picture file: one still picture (a native reader's, PGM/PPM, 16-bit
// PNG, TIFF, FITS, or Qt's), or the frames of a multi-page TIFF file or a
// FITS cube, read by the native reader page by page or plane by plane.
class FileSource : public PictureSource
{
public:
    bool identify(QString *error)
    {
        // What the readers say while the file is looked at goes into the
        // reasons, not to standard error.
        DecoderMessages messages;
        QString refusal;
        native = openNativePicture(bytes.device(), bytes.name(), &refusal);
        if (!native && !refusal.isEmpty()) {
            *error = refusal;
            return false;
        }
        SourceInfo &info = sourceInfo;
        if (native) {
            isNative = true;
            const NativeLayout &layout = native->layout();
            info.width = layout.width;
            info.height = layout.height;
            info.bitsPerSample = (int)layout.bitsPerSample;
            info.description = layout.description;
            info.format = layout.format;
            info.streamable = layout.streamable;
            info.notStreamable = layout.notStreamable;
            if (bytes.inMemory()) {
                info.streamable = false;
                info.notStreamable = QStringLiteral("pipes and devices are read whole");
            }
            info.damage = layout.damage;
            const NativeFrames &frames = native->frames();
            info.taken = frames.taken;
            if (frames.count > 1) {
                info.kind = layout.format == "fits" ? SourceKind::Planes : SourceKind::Pages;
                info.frames = frames.count;
                info.timed = frames.interval > 0.0;
                info.frameRate = frames.interval > 0.0 ? 1.0 / frames.interval : 0.0;
                if (info.kind == SourceKind::Pages)
                    info.description += QStringLiteral(", %1 frames").arg(frames.count);
                frameLosses.file = frames.damage;
            }
            return true;
        }
        inspection = inspectForQt(bytes.device(), bytes.name());
        if (!inspection.refusal.isEmpty()) {
            *error = inspection.refusal;
            return false;
        }
        inspected = true;
        info.format = inspection.format;
        info.width = inspection.size.width();
        info.height = inspection.size.height();
        info.notStreamable = QStringLiteral("only raw PGM and PPM, TIFF and FITS pictures are read in bands");
        return true;
    }

    bool load(const LoadOptions &options, LoadedPicture *picture, QString *error, QString *damage) override
    {
        if (damage)
            damage->clear();
        return guarded(error, [&] {
            // The picture as opened: a sequence's first frame as a still
            // picture, with the whole file's damage.
            if (framesRead)
                native.reset();
            framesRead = false;
            return acquire(error)
                   && readPictureFrom(bytes.device(), bytes.name(), native.get(), inspected ? &inspection : nullptr,
                                      options, picture, error, damage);
        });
    }

    NativePicture *bands(QString *reason) override
    {
        if (!sourceInfo.streamable) {
            *reason = sourceInfo.notStreamable;
            return nullptr;
        }
        // The picture as opened, as load() reads it.
        if (framesRead)
            native.reset();
        framesRead = false;
        return acquire(reason) ? native.get() : nullptr;
    }

    FrameRead next(const LoadOptions &options, SourceFrame *frame, QString *error) override
    {
        for (;;) {
            const qint64 index = range.nextFrom(cursor);
            if (index < 0 || index >= sourceInfo.frames)
                return FrameRead::End;
            cursor = index + 1;
            *frame = SourceFrame();
            frame->index = index;
            if (!sourceInfo.isSequence())
                return load(options, &frame->picture, error, &frame->damage) ? FrameRead::Frame : FrameRead::Failed;
            QString reason;
            const bool read = guarded(&reason, [&] {
                if (!acquire(&reason))
                    return false;
                framesRead = true;
                DecoderMessages messages;
                return native->selectFrame(index, &reason)
                       && readPictureFrom(bytes.device(), bytes.name(), native.get(), nullptr, options,
                                          &frame->picture, &reason, &frame->damage);
            });
            if (!read) {
                frameLosses.addLost(index, range.step, damageReason(reason));
                continue;
            }
            const double interval = native->frames().interval;
            if (interval > 0.0) {
                frame->hasTime = true;
                frame->time = (double)index * interval;
            }
            if (!frame->damage.isEmpty())
                frameLosses.addDamaged(index, range.step, frame->damage);
            return FrameRead::Frame;
        }
    }

    bool select(const FrameRange &selected, QString *) override
    {
        range = selected;
        cursor = 0;
        return true;
    }

    void release() override
    {
        if (!bytes.canRelease())
            return;
        native.reset();
        bytes.release();
    }

    SourceBytes bytes;

private:
    // The file open again, and its native reader, after release().
    bool acquire(QString *error)
    {
        if (!bytes.reopen(error))
            return false;
        if (isNative && !native) {
            DecoderMessages messages;
            QString refusal;
            native = openNativePicture(bytes.device(), bytes.name(), &refusal);
            if (!native) {
                *error = refusal.isEmpty() ? QStringLiteral("the file changed since it was opened") : refusal;
                return false;
            }
        }
        return true;
    }

    std::unique_ptr<NativePicture> native;
    bool isNative = false;
    QtInspection inspection;
    bool inspected = false;
    bool framesRead = false;  // the native reader is on another frame than the first
    qint64 cursor = 0;        // the next frame number looked at
};

// Numbered picture files: a folder's pictures in natural order, or the
// files a printf pattern names. Each frame is its own file, read as the
// command line reads a picture; a file that cannot be read is a lost frame,
// and so is a number missing from a pattern's files.
class FileSequence : public PictureSource
{
public:
    // The folder's regular files whose content a reader knows.
    bool listFolder(const QString &folder, QString *error)
    {
        const QDir dir(folder);
        if (!dir.isReadable()) {
            *error = QStringLiteral("the folder cannot be read (permission denied)");
            return false;
        }
        QStringList names;
        for (const QFileInfo &entry : dir.entryInfoList(QDir::Files, QDir::NoSort))
            if (isRegularPath(entry.filePath()) && holdsPicture(entry.filePath()))
                names << entry.fileName();
        std::sort(names.begin(), names.end(), naturalLess);
        for (const QString &name : names)
            paths << dir.filePath(name);
        if (paths.isEmpty()) {
            *error = QStringLiteral("no pictures in it");
            return false;
        }
        sourceInfo.frames = paths.size();
        sourceInfo.description = QStringLiteral("%1 pictures").arg(paths.size());
        return identifyFirst(error);
    }

    // The files of the folder that the pattern names exactly.
    bool listPattern(const QString &folder, const FramePattern &pattern, const QString &text, QString *error)
    {
        const QDir dir(folder.isEmpty() ? QStringLiteral(".") : folder);
        for (const QFileInfo &entry : dir.entryInfoList(QDir::Files, QDir::NoSort)) {
            qint64 number = 0;
            if (framePatternNumber(pattern, entry.fileName(), &number) && isRegularPath(entry.filePath()))
                numbered.push_back({number, entry.filePath()});
        }
        if (numbered.empty()) {
            *error = QStringLiteral("no file is named as '%1' says").arg(text);
            return false;
        }
        std::sort(numbered.begin(), numbered.end(),
                  [](const Numbered &a, const Numbered &b) { return a.number < b.number; });
        firstNumber = numbered.front().number;
        this->pattern = pattern;
        this->folder = dir;
        sourceInfo.frames = numbered.back().number - firstNumber + 1;
        sourceInfo.description = QStringLiteral("%1 pictures numbered %2 to %3")
                                     .arg(numbered.size()).arg(firstNumber).arg(numbered.back().number);
        return identifyFirst(error);
    }

    bool load(const LoadOptions &options, LoadedPicture *picture, QString *error, QString *damage) override
    {
        return first->load(options, picture, error, damage);
    }

    bool select(const FrameRange &selected, QString *) override
    {
        range = selected;
        cursor = 0;
        return true;
    }

    FrameRead next(const LoadOptions &options, SourceFrame *frame, QString *) override
    {
        for (;;) {
            const qint64 index = range.nextFrom(cursor);
            if (index < 0 || index >= sourceInfo.frames)
                return FrameRead::End;
            cursor = index + 1;
            const QString path = pathOf(index);
            if (path.isEmpty()) {
                // The numbers missing up to the next file are lost at once.
                const qint64 present = nextPresent(index);
                const qint64 gapEnd = present < 0 ? sourceInfo.frames : present;
                const qint64 last = std::min(gapEnd, range.end < 0 ? gapEnd : range.end) - 1;
                const qint64 count = (last - index) / range.step + 1;
                frameLosses.addLost(index, range.step,
                                    QStringLiteral("no file %1").arg(framePatternName(pattern, firstNumber + index)),
                                    count);
                cursor = index + (count - 1) * range.step + 1;
                continue;
            }
            *frame = SourceFrame();
            frame->index = index;
            QString reason;
            std::unique_ptr<PictureSource> source = PictureSource::open(path, SourceOptions(), &reason);
            if (!source || !source->load(options, &frame->picture, &reason, &frame->damage)) {
                frameLosses.addLost(index, range.step,
                                    QStringLiteral("%1: %2").arg(QFileInfo(path).fileName(), damageReason(reason)));
                continue;
            }
            if (!frame->damage.isEmpty())
                frameLosses.addDamaged(index, range.step,
                                       QStringLiteral("%1: %2").arg(QFileInfo(path).fileName(), frame->damage));
            return FrameRead::Frame;
        }
    }

private:
    struct Numbered {
        qint64 number;
        QString path;
    };

    static bool isRegularPath(const QString &path)
    {
        const QFileInfo info(path);
        return info.isFile() && !info.isHidden();
    }

    // The first file that opens describes the sequence.
    bool identifyFirst(QString *error)
    {
        QString firstError;
        for (qint64 index = 0; index < sourceInfo.frames && !first; ++index) {
            const QString path = pathOf(index);
            if (path.isEmpty())
                continue;
            QString reason;
            first = PictureSource::open(path, SourceOptions(), &reason);
            if (first)
                first->release();
            else if (firstError.isEmpty())
                firstError = QStringLiteral("%1: %2").arg(QFileInfo(path).fileName(), reason);
        }
        if (!first) {
            *error = QStringLiteral("none of its files can be read (%1)").arg(firstError);
            return false;
        }
        const SourceInfo &one = first->info();
        sourceInfo.kind = SourceKind::Files;
        sourceInfo.format = one.format;
        sourceInfo.width = one.width;
        sourceInfo.height = one.height;
        sourceInfo.bitsPerSample = one.bitsPerSample;
        sourceInfo.notStreamable = QStringLiteral("sequences are read frame by frame");
        return true;
    }

    QString pathOf(qint64 index) const
    {
        if (!paths.isEmpty())
            return index < paths.size() ? paths[(int)index] : QString();
        const qint64 number = firstNumber + index;
        const auto found = std::lower_bound(numbered.begin(), numbered.end(), number,
                                            [](const Numbered &n, qint64 value) { return n.number < value; });
        return found != numbered.end() && found->number == number ? found->path : QString();
    }

    // The frame of the next file present after frame `index`, or -1.
    qint64 nextPresent(qint64 index) const
    {
        const qint64 number = firstNumber + index;
        const auto found = std::upper_bound(numbered.begin(), numbered.end(), number,
                                            [](qint64 value, const Numbered &n) { return value < n.number; });
        return found == numbered.end() ? -1 : found->number - firstNumber;
    }

    QStringList paths;               // a folder's files, in order
    std::vector<Numbered> numbered;  // a pattern's files, by number
    qint64 firstNumber = 0;
    FramePattern pattern;
    QDir folder;
    std::unique_ptr<PictureSource> first;
    qint64 cursor = 0;
};

// A stream's bytes handed on to the video decoder through a pipe of its
// own: the bytes already read to tell what it is, then the rest as it
// comes. The decoder opens the pipe's reading end by name (/dev/fd/N), as
// it opens any pipe.
class StreamRelay
{
public:
    ~StreamRelay()
    {
        stopping = true;
        if (thread.joinable())
            thread.join();
        for (int descriptor : {input, readEnd, writeEnd})
            if (descriptor >= 0)
                ::close(descriptor);
    }

    // False with the reason when the pipe cannot be made.
    bool start(int from, const QByteArray &first, QString *error)
    {
        int ends[2] = {-1, -1};
        input = ::fcntl(from, F_DUPFD_CLOEXEC, 0);
        if (input < 0 || ::pipe2(ends, O_CLOEXEC) != 0) {
            *error = QStringLiteral("cannot pass the stream on: %1").arg(QString::fromLocal8Bit(std::strerror(errno)));
            return false;
        }
        readEnd = ends[0];
        writeEnd = ends[1];
        thread = std::thread([this, first] { run(first); });
        return true;
    }

    QString readPath() const { return QStringLiteral("/dev/fd/%1").arg(readEnd); }

    // Once the decoder has opened its own end.
    void closeReadEnd()
    {
        ::close(readEnd);
        readEnd = -1;
    }

private:
    void run(QByteArray pending)
    {
        // A decoder that stops reading makes writes fail (EPIPE): the
        // signal that comes with it is kept from the process.
        sigset_t pipeSignal;
        sigemptyset(&pipeSignal);
        sigaddset(&pipeSignal, SIGPIPE);
        pthread_sigmask(SIG_BLOCK, &pipeSignal, nullptr);
        QByteArray buffer(1 << 16, '\0');
        while (!stopping) {
            if (pending.isEmpty()) {
                if (!wait(input, POLLIN))
                    continue;
                const ssize_t count = ::read(input, buffer.data(), (size_t)buffer.size());
                if (count < 0 && errno == EINTR)
                    continue;
                if (count <= 0)
                    break;
                pending = buffer.left((int)count);
            }
            if (!wait(writeEnd, POLLOUT))
                continue;
            const ssize_t written = ::write(writeEnd, pending.constData(), (size_t)pending.size());
            if (written < 0 && (errno == EINTR || errno == EAGAIN))
                continue;
            if (written <= 0)
                break;
            pending.remove(0, (int)written);
        }
        const timespec now = {0, 0};
        sigtimedwait(&pipeSignal, nullptr, &now);
        // The decoder sees the stream's end.
        ::close(writeEnd);
        writeEnd = -1;
    }

    // Whether `descriptor` is ready within a tenth of a second (then the
    // stop flag is looked at again).
    bool wait(int descriptor, short events)
    {
        pollfd ready = {descriptor, events, 0};
        return ::poll(&ready, 1, 100) > 0;
    }

    int input = -1;
    int readEnd = -1;
    int writeEnd = -1;
    std::atomic<bool> stopping{false};
    std::thread thread;
};

// A video file, a camera, or a video stream on a pipe or standard input,
// decoded by FFmpeg's libraries ahead of the reader (video/videosource.h).
// Frames are the stream's in time-stamp order, lost ones counted; a
// selection seeks to its first frame in a file (exactly) and passes over
// the rest of a live source's frames before it.
class VideoSequence : public PictureSource
{
public:
    explicit VideoSequence(const SourceOptions &options) : sourceOptions(options) {}

    ~VideoSequence() override { video.reset(); }

    bool openPath(const QString &path, QString *error)
    {
        this->path = path;
        return openVideo(error);
    }

    bool openStream(int descriptor, const QByteArray &start, QString *error)
    {
        relay.reset(new StreamRelay);
        if (!relay->start(descriptor, start, error))
            return false;
        path = relay->readPath();
        const bool opened = openVideo(error);
        relay->closeReadEnd();
        return opened;
    }

    bool load(const LoadOptions &options, LoadedPicture *picture, QString *error, QString *damage) override
    {
        // The first frame of a file; of a live source, the next one.
        if (damage)
            damage->clear();
        if (!acquire(error))
            return false;
        if (started && sourceInfo.live == false && !video->seek(0, error))
            return false;
        started = false;
        const FrameRange all;
        range = all;
        SourceFrame frame;
        const FrameRead read = next(options, &frame, error);
        if (read == FrameRead::End)
            *error = QStringLiteral("the video holds no frame that can be decoded");
        if (read != FrameRead::Frame)
            return false;
        *picture = frame.picture;
        if (damage)
            *damage = frame.damage;
        // The next read begins again at the start.
        pending.reset(new SourceFrame(frame));
        return true;
    }

    bool select(const FrameRange &selected, QString *error) override
    {
        range = selected;
        if (!acquire(error))
            return false;
        if (selected.first > 0 && video->info().seekable) {
            pending.reset();
            started = true;
            return video->seek(selected.first, error);
        }
        if (started && !sourceInfo.live) {
            pending.reset();
            return video->seek(0, error);
        }
        return true;
    }

    FrameRead next(const LoadOptions &options, SourceFrame *frame, QString *error) override
    {
        if (!acquire(error))
            return FrameRead::Failed;
        if (pending) {
            std::unique_ptr<SourceFrame> kept = std::move(pending);
            if (range.contains(kept->index)) {
                *frame = *kept;
                return FrameRead::Frame;
            }
        }
        started = true;
        for (;;) {
            VideoFrame decoded;
            {
                std::lock_guard<std::mutex> lock(sparesMutex);
                if (!spares.empty()) {
                    decoded.image = std::move(spares.back());
                    spares.pop_back();
                }
            }
            const VideoRead read = video->next(&decoded, error);
            const VideoDamage damage = video->damage();
            // Every frame the source replaced counts, also before the first
            // read: a pipe can deliver a whole stream while the run sets up.
            frameLosses.dropped = damage.droppedFrames;
            if (read != VideoRead::Frame) {
                noteLosses(damage);
                return read == VideoRead::End ? FrameRead::End : FrameRead::Failed;
            }
            if (range.end >= 0 && decoded.index >= range.end) {
                noteLosses(damage);
                return FrameRead::End;
            }
            lastIndex = decoded.index;
            if (decoded.hasTime)
                lastTime = decoded.time;
            if (!range.contains(decoded.index)) {
                giveBack(std::move(decoded.image));
                continue;
            }
            *frame = SourceFrame();
            frame->index = decoded.index;
            frame->time = decoded.time;
            frame->hasTime = decoded.hasTime;
            frame->timeStamp = decoded.timeStamp;
            frame->picture.bitsPerSample = 8;
            frame->picture.description = sourceInfo.description;
            // Video frames are 8 bits: "none" keeps them as decoded (and
            // their levels are not looked at); a stretch maps each by its
            // own range.
            const StretchMode mode = resolvedStretchMode(options.stretch.mode, true, SAMPLE_U8);
            if (mode == StretchMode::None) {
                frame->picture.frame = decoded.image;
            } else if (!stretchFrame(decoded.image, options.stretch, &frame->picture.frame, &frame->picture.stretch,
                                     &frame->picture.notice, error)) {
                return FrameRead::Failed;
            }
            if (decoded.concealed) {
                frame->damage = QStringLiteral("the decoder filled in parts of it that were missing");
                frameLosses.addDamaged(decoded.index, range.step, frame->damage);
            }
            return FrameRead::Frame;
        }
    }

    void giveBack(QImage picture) override
    {
        if (picture.isNull())
            return;
        std::lock_guard<std::mutex> lock(sparesMutex);
        if (spares.size() < 8)
            spares.push_back(std::move(picture));
    }

    void interrupt() override
    {
        if (video)
            video->interrupt();
    }

    void release() override
    {
        // A file is opened again when read; a stream stays as it is.
        if (relay || sourceInfo.live)
            return;
        video.reset();
        pending.reset();
        started = false;
    }

private:
    bool openVideo(QString *error)
    {
        VideoOptions options;
        options.luma = sourceOptions.luma;
        options.autorotate = sourceOptions.autorotate;
        if (sourceOptions.allFrames)
            options.pacing = VideoOptions::Pacing::KeepAll;
        video = VideoSource::open(path, options, error);
        if (!video)
            return false;
        const VideoInfo &v = video->info();
        SourceInfo &info = sourceInfo;
        info.kind = SourceKind::Video;
        info.format = v.container.toLatin1();
        info.description = v.description;
        info.width = v.width;
        info.height = v.height;
        info.bitsPerSample = 8;
        info.frames = v.frameCount;
        info.framesExact = v.frameCountExact;
        info.timed = true;
        info.live = v.live;
        info.frameRate = v.frameRate;
        info.timeBaseNumerator = v.timeBaseNumerator;
        info.timeBaseDenominator = v.timeBaseDenominator;
        info.notStreamable = QStringLiteral("videos are read frame by frame");
        return true;
    }

    bool acquire(QString *error)
    {
        return video || openVideo(error);
    }

    // The frames the decoder lost among those selected, and a file cut
    // short, once the reading ends.
    void noteLosses(const VideoDamage &damage)
    {
        if (lossesNoted)
            return;
        lossesNoted = true;
        for (const VideoDamage::Span &span : damage.lost) {
            const qint64 first = range.nextFrom(span.first);
            if (first < 0 || first > span.last)
                continue;
            const qint64 last = range.end >= 0 ? std::min(span.last, range.end - 1) : span.last;
            if (first > last)
                continue;
            frameLosses.addLost(first, range.step, QStringLiteral("not decoded"), (last - first) / range.step + 1);
        }
        if (damage.cutShort || (range.end < 0 && endsEarly())) {
            frameLosses.file = QStringLiteral("the file is cut short");
            // Frames the container's estimate says were to come.
            const VideoInfo &v = video->info();
            const qint64 from = range.nextFrom(lastIndex + 1);
            if (!damage.cutShort && from >= 0 && v.frameCount > from)
                frameLosses.addLost(from, range.step, QStringLiteral("past the end of the data, as the container's "
                                                                     "duration counts them"),
                                    (v.frameCount - 1 - from) / range.step + 1);
        }
    }

    // A file whose container does not count its frames (Matroska, MPEG-TS,
    // ...) that ends before its stated duration, or whose demuxer said it
    // ended early: the decoder's end looks like any other.
    bool endsEarly() const
    {
        const VideoInfo &v = video->info();
        if (v.live || v.frameCountExact)
            return false;
        for (const QString &message : video->messages())
            if (message.contains(QLatin1String("ended prematurely"), Qt::CaseInsensitive)
                || message.contains(QLatin1String("truncat"), Qt::CaseInsensitive))
                return true;
        // Half a second, or two frames, of slack for streams a little
        // shorter than the container (an audio track's end).
        const double slack = std::max(0.5, v.frameRate > 0.0 ? 2.0 / v.frameRate : 0.0);
        return v.duration > 0.0 && lastTime >= 0.0 && lastTime + slack < v.duration;
    }

    SourceOptions sourceOptions;
    QString path;
    std::unique_ptr<StreamRelay> relay;  // before the video: it outlives the decoder's reads
    std::unique_ptr<VideoSource> video;
    std::unique_ptr<SourceFrame> pending;  // read by load(), handed out next
    bool started = false;                  // frames have been read past the first
    bool lossesNoted = false;
    qint64 lastIndex = -1;      // the last frame decoded, and its time
    double lastTime = -1.0;
    std::mutex sparesMutex;
    std::vector<QImage> spares;
};

std::unique_ptr<PictureSource> opened(std::unique_ptr<FileSource> source, bool bytesOpen,
                                     const SourceOptions &options, QString *error)
{
    if (!bytesOpen)
        return nullptr;
    // A video stream on a pipe, or a video file: FFmpeg's.
    SourceBytes &bytes = source->bytes;
    const bool streamed = bytes.videoStream() >= 0;
    if (streamed || (!bytes.inMemory() && SourceBytes::looksLikeVideo(bytesAt(bytes.device(), 0, 400)))) {
        std::unique_ptr<VideoSequence> video(new VideoSequence(options));
        const bool open = guarded(error, [&] {
            return streamed ? video->openStream(bytes.videoStream(), bytes.streamStart(), error)
                            : video->openPath(bytes.name(), error);
        });
        return open ? std::unique_ptr<PictureSource>(video.release()) : nullptr;
    }
    const bool identified = guarded(error, [&] { return source->identify(error); });
    if (!identified)
        return nullptr;
    return std::unique_ptr<PictureSource>(source.release());
}

} // namespace

NativePicture *PictureSource::bands(QString *reason)
{
    *reason = QStringLiteral("only single pictures are read in bands");
    return nullptr;
}

FrameRead PictureSource::next(const LoadOptions &, SourceFrame *, QString *)
{
    return FrameRead::End;
}

bool PictureSource::select(const FrameRange &selected, QString *)
{
    range = selected;
    return true;
}

std::unique_ptr<PictureSource> PictureSource::open(const QString &path, const SourceOptions &options, QString *error)
{
    const QFileInfo info(path);
    if (options.folderSequence && info.isDir()) {
        std::unique_ptr<FileSequence> files(new FileSequence);
        if (!guarded(error, [&] { return files->listFolder(path, error); }))
            return nullptr;
        return std::unique_ptr<PictureSource>(files.release());
    }
    FramePattern pattern;
    if (path != QLatin1String("-") && !info.exists() && parseFramePattern(info.fileName(), &pattern)
        && !parseFramePattern(info.path(), &pattern)) {
        std::unique_ptr<FileSequence> files(new FileSequence);
        if (!guarded(error, [&] { return files->listPattern(info.path(), pattern, path, error); }))
            return nullptr;
        return std::unique_ptr<PictureSource>(files.release());
    }
    // Live streams named by a URL (rtsp://, udp://, http://, ...): FFmpeg's.
    static const QRegularExpression streamAddress(QStringLiteral("^[A-Za-z][A-Za-z0-9+.-]*://."));
    if (!info.exists() && streamAddress.match(path).hasMatch()) {
        std::unique_ptr<VideoSequence> video(new VideoSequence(options));
        if (!guarded(error, [&] { return video->openPath(path, error); }))
            return nullptr;
        return std::unique_ptr<PictureSource>(video.release());
    }
    // Cameras (character devices): FFmpeg's, never read as a file.
    struct stat status {};
    if (path != QLatin1String("-") && ::stat(QFile::encodeName(path).constData(), &status) == 0
        && S_ISCHR(status.st_mode)) {
        std::unique_ptr<VideoSequence> video(new VideoSequence(options));
        if (!guarded(error, [&] { return video->openPath(path, error); }))
            return nullptr;
        return std::unique_ptr<PictureSource>(video.release());
    }
    std::unique_ptr<FileSource> source(new FileSource);
    const bool bytesOpen = guarded(error, [&] { return source->bytes.openFile(path, error); });
    return opened(std::move(source), bytesOpen, options, error);
}

std::unique_ptr<PictureSource> PictureSource::open(QIODevice *device, const QString &fileName,
                                                   const SourceOptions &options, QString *error)
{
    std::unique_ptr<FileSource> source(new FileSource);
    const bool bytesOpen = guarded(error, [&] { return source->bytes.openDevice(device, fileName, error); });
    return opened(std::move(source), bytesOpen, options, error);
}

// ---- loadFrame and loadPicture (frameloading.h): a source opened and read.

bool loadPicture(const QString &fileName, const LoadOptions &options, LoadedPicture *picture, QString *error,
                 QString *damage)
{
    if (damage)
        damage->clear();
    std::unique_ptr<PictureSource> source = PictureSource::open(fileName, SourceOptions(), error);
    return source && source->load(options, picture, error, damage);
}

bool loadPicture(QIODevice *device, const LoadOptions &options, LoadedPicture *picture, QString *error,
                 QString *damage)
{
    if (damage)
        damage->clear();
    // An open file's name counts as it does for a file opened here.
    const QFile *file = qobject_cast<const QFile *>(device);
    std::unique_ptr<PictureSource> source =
        PictureSource::open(device, file ? file->fileName() : QString(), SourceOptions(), error);
    return source && source->load(options, picture, error, damage);
}

bool loadFrame(const QString &fileName, QImage *frame, QString *error, QString *damage)
{
    LoadedPicture picture;
    if (!loadPicture(fileName, LoadOptions(), &picture, error, damage))
        return false;
    *frame = picture.frame;
    return true;
}

bool loadFrame(QIODevice *device, QImage *frame, QString *error, QString *damage)
{
    LoadedPicture picture;
    if (!loadPicture(device, LoadOptions(), &picture, error, damage))
        return false;
    *frame = picture.frame;
    return true;
}

// ---- Frames

qint64 FrameRange::nextFrom(qint64 index) const
{
    qint64 at = first;
    if (index > first)
        at = first + (index - first + step - 1) / step * step;
    return end >= 0 && at >= end ? -1 : at;
}

bool parseFrameRange(const QString &text, FrameRange *range)
{
    const QStringList parts = text.split(QLatin1Char(':'));
    if (parts.size() > 3)
        return false;
    const auto number = [](const QString &part, qint64 lowest, qint64 *value) {
        bool ok = false;
        const qint64 n = part.toLongLong(&ok);
        if (!ok || n < lowest || part.startsWith(QLatin1Char('+')))
            return false;
        *value = n;
        return true;
    };
    FrameRange read;
    if (parts.size() == 1) {
        if (!number(parts[0], 0, &read.first))
            return false;
        read.end = read.first + 1;
    } else {
        if (!parts[0].isEmpty() && !number(parts[0], 0, &read.first))
            return false;
        if (!parts[1].isEmpty() && (!number(parts[1], 0, &read.end) || read.end <= read.first))
            return false;
        if (parts.size() == 3 && !parts[2].isEmpty() && !number(parts[2], 1, &read.step))
            return false;
    }
    *range = read;
    return true;
}

namespace {

// Notes frame `index` in `spans`, joining it to the last span when it
// follows that span by `step` for the same reason.
void note(QVector<FrameSpan> &spans, qint64 *total, qint64 index, qint64 step, const QString &reason, qint64 count)
{
    *total += count;
    const qint64 last = index + (count - 1) * step;
    if (!spans.isEmpty() && spans.last().reason == reason && spans.last().last + step == index) {
        spans.last().last = last;
        spans.last().count += count;
        return;
    }
    spans.append(FrameSpan{index, last, count, reason});
}

QString spansText(const QVector<FrameSpan> &spans, qint64 total, const char *what)
{
    if (spans.isEmpty())
        return QString();
    // A few spans, each with its reason; the rest counted.
    const int shown = std::min(spans.size(), 8);
    QStringList parts;
    for (int i = 0; i < shown; ++i) {
        const FrameSpan &span = spans[i];
        const QString frames = span.first == span.last ? QStringLiteral("frame %1").arg(span.first)
                                                       : QStringLiteral("frames %1-%2").arg(span.first).arg(span.last);
        parts << QStringLiteral("%1 (%2)").arg(frames, span.reason);
    }
    if (spans.size() > shown)
        parts << QStringLiteral("and %1 more").arg(spans.size() - shown);
    return QStringLiteral("%1 %2 frame%3: %4")
        .arg(total).arg(QLatin1String(what)).arg(QLatin1String(total == 1 ? "" : "s"))
        .arg(parts.join(QStringLiteral(", ")));
}

} // namespace

void FrameLosses::addLost(qint64 index, qint64 step, const QString &reason, qint64 count)
{
    note(lost, &lostCount, index, step, reason, count);
}

void FrameLosses::addDamaged(qint64 index, qint64 step, const QString &reason)
{
    note(damaged, &damagedCount, index, step, reason, 1);
}

QString FrameLosses::text() const
{
    QStringList parts;
    for (const QString &part : {spansText(lost, lostCount, "lost"), spansText(damaged, damagedCount, "damaged"), file})
        if (!part.isEmpty())
            parts << part;
    return parts.join(QStringLiteral("; "));
}

// ---- Files

bool holdsPicture(const QString &path)
{
    // FITS images are read by cfitsio, not by a Qt plug-in.
    QFile file(path);
    if (file.open(QIODevice::ReadOnly) && looksLikeFits(file.read(80)))
        return true;
    QImageReader reader(path);
    reader.setDecideFormatFromContent(true);
    return reader.canRead();
}

bool naturalLess(const QString &a, const QString &b)
{
    int i = 0, j = 0;
    while (i < a.size() && j < b.size()) {
        if (a[i].isDigit() && b[j].isDigit()) {
            // Runs of digits: fewer digits (leading zeros aside) is smaller.
            int ie = i, je = j;
            while (ie < a.size() && a[ie].isDigit())
                ++ie;
            while (je < b.size() && b[je].isDigit())
                ++je;
            int is = i, js = j;
            while (is < ie - 1 && a[is] == QLatin1Char('0'))
                ++is;
            while (js < je - 1 && b[js] == QLatin1Char('0'))
                ++js;
            if (ie - is != je - js)
                return ie - is < je - js;
            for (int k = 0; k < ie - is; ++k)
                if (a[is + k] != b[js + k])
                    return a[is + k] < b[js + k];
            i = ie;
            j = je;
            continue;
        }
        if (a[i] != b[j])
            return a[i] < b[j];
        ++i;
        ++j;
    }
    if (a.size() - i != b.size() - j)
        return a.size() - i < b.size() - j;
    return a < b;  // equal but for leading zeros: a fixed order still
}
