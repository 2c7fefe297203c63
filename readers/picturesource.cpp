#include "picturesource.h"

#include "decodermessages.h"

#include <QBuffer>
#include <QFile>

#include <exception>
#include <new>

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
        if (!readWholeStream(given, &memory, error))
            return false;
        file.reset();
        current = &memory;
        return true;
    }

    QString fileName;
    std::unique_ptr<QFile> file;
    QBuffer memory;
    QIODevice *current = nullptr;
};

// One still picture: a native reader's (PGM/PPM, 16-bit PNG, TIFF, FITS)
// or Qt's.
class StillSource : public PictureSource
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
        return acquire(reason) ? native.get() : nullptr;
    }

    FrameRead next(const LoadOptions &options, SourceFrame *frame, QString *error) override
    {
        if (handedOut)
            return FrameRead::End;
        handedOut = true;
        *frame = SourceFrame();
        frame->index = 0;
        return load(options, &frame->picture, error, &frame->damage) ? FrameRead::Frame : FrameRead::Failed;
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
    bool handedOut = false;
};

std::unique_ptr<PictureSource> opened(std::unique_ptr<StillSource> source, bool bytesOpen, QString *error)
{
    if (!bytesOpen)
        return nullptr;
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

std::unique_ptr<PictureSource> PictureSource::open(const QString &path, const SourceOptions &, QString *error)
{
    std::unique_ptr<StillSource> source(new StillSource);
    const bool bytesOpen = guarded(error, [&] { return source->bytes.openFile(path, error); });
    return opened(std::move(source), bytesOpen, error);
}

std::unique_ptr<PictureSource> PictureSource::open(QIODevice *device, const QString &fileName,
                                                   const SourceOptions &, QString *error)
{
    std::unique_ptr<StillSource> source(new StillSource);
    const bool bytesOpen = guarded(error, [&] { return source->bytes.openDevice(device, fileName, error); });
    return opened(std::move(source), bytesOpen, error);
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
