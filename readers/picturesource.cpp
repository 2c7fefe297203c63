#include "picturesource.h"

#include "decodermessages.h"
#include "framepattern.h"

#include <QBuffer>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QImageReader>

#include <algorithm>
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

std::unique_ptr<PictureSource> opened(std::unique_ptr<FileSource> source, bool bytesOpen, QString *error)
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
    std::unique_ptr<FileSource> source(new FileSource);
    const bool bytesOpen = guarded(error, [&] { return source->bytes.openFile(path, error); });
    return opened(std::move(source), bytesOpen, error);
}

std::unique_ptr<PictureSource> PictureSource::open(QIODevice *device, const QString &fileName,
                                                   const SourceOptions &, QString *error)
{
    std::unique_ptr<FileSource> source(new FileSource);
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
