#include "frameloading.h"

#include "decodermessages.h"
#include "parallelbands.h"
#include "imageheaders.h"
#include "jpegdecoder.h"
#include "pngcheck.h"
#include "tiffcheck.h"

#include <QBuffer>
#include <QFile>
#include <QFileInfo>
#include <QImageReader>
#include <QLocale>
#include <QRegularExpression>
#include <QTransform>

#include <algorithm>
#include <climits>
#include <cstring>
#include <new>

#ifdef Q_OS_UNIX
#include <fcntl.h>
#include <unistd.h>
#endif

namespace {

// The formats whose readers decode the picture at a size known before
// decoding: the one QImageReader::size() gives, or for bmp, gif, ico, png
// and the PNM formats the one read from the header here. Everything else
// is refused: Qt's MNG reader cannot tell the size before decoding, an
// ICNS file holds PNG and JPEG 2000 streams of any size behind the sizes
// its icon types give, SVG is a drawing, and other plug-ins have not been
// looked at.
const char *const kCheckedFormats[] = {"bmp", "cur", "gif", "ico", "jpeg", "jpg", "pbm", "pgm", "png",
                                       "ppm", "tga", "tif", "tiff", "wbmp", "webp", "xbm", "xpm"};

bool isChecked(const QByteArray &format)
{
    for (const char *checked : kCheckedFormats)
        if (format == checked)
            return true;
    return false;
}

// Read whole from pipes and devices, so that every header can be looked at
// before decoding; a file has no such limit.
const qint64 kMaxStreamBytes = qint64(256) << 20;

QString tooLargeMessage(qint64 width, qint64 height)
{
    return QStringLiteral("the image is too large: %1 x %2 pixels, the limit is %3 pixels (256 megapixels)")
        .arg(width)
        .arg(height)
        .arg(kMaxFramePixels);
}

// In 64 bits without overflow, for any size a header may give.
bool exceedsLimit(qint64 width, qint64 height)
{
    return width > 0 && height > kMaxFramePixels / width;
}

const QString kCutShort = QStringLiteral("cut short");

// Hands a device to the readers unchanged, and notes whether a reader
// asked for more than the device holds while it decoded: the readers of
// BMP, GIF and XBM files decode what is there and fill in the rest.
class WatchedDevice : public QIODevice
{
public:
    explicit WatchedDevice(QIODevice *source) : source(source), origin(source->pos())
    {
        open(QIODevice::ReadOnly | QIODevice::Unbuffered);
        const QByteArray kind = bytesAt(source, origin, 2);
        text = kind == "P1" || kind == "P2" || kind == "P3";
    }

    // A PBM, PGM or PPM file of text samples.
    bool textPnm() const { return text; }

    void startWatching() { watching = true; }
    bool foundNothingLeft() const { return nothingLeft; }
    bool cameUpShort() const { return cameShort; }

    bool isSequential() const override { return source->isSequential(); }
    qint64 size() const override { return source->size() - origin; }
    bool seek(qint64 position) override
    {
        return QIODevice::seek(position) && source->seek(origin + position);
    }

protected:
    qint64 readData(char *data, qint64 maxSize) override
    {
        const qint64 count = source->read(data, maxSize);
        note(count, maxSize);
        return count;
    }
    qint64 readLineData(char *data, qint64 maxSize) override
    {
        // QIODevice::readLine leaves room for a terminating zero, which the
        // source's readLine writes.
        const qint64 count = source->readLine(data, maxSize + 1);
        note(count, 1);
        return count;
    }
    qint64 writeData(const char *, qint64) override { return -1; }

private:
    void note(qint64 count, qint64 wanted)
    {
        if (!watching || wanted <= 0)
            return;
        if (count <= 0)
            nothingLeft = true;
        else if (count < wanted)
            cameShort = true;
    }

    QIODevice *source;
    qint64 origin;
    bool text = false;
    bool watching = false;
    bool nothingLeft = false;
    bool cameShort = false;
};

// Whether the reader wanted more of the file than there is. Most readers
// ask for what the format says comes next; the WebP and XPM readers read on
// to the end of the file, and the JPEG and GIF readers read blocks, the
// last one short.
bool ranOutOfFile(const QByteArray &format, const WatchedDevice &device)
{
    if (format == "webp" || format == "xpm")
        return false;
    // The text kinds of PNM may end in a number that reaches the end of
    // the file; whether all are there is counted instead (pnmTextDamage).
    if (device.textPnm())
        return false;
    const bool readsBlocks = format == "jpeg" || format == "gif";
    return device.foundNothingLeft() || (!readsBlocks && device.cameUpShort());
}

// What is wrong with the parts of a file the reader did not need for the
// picture: the pictures after the first, the end of the file.
QString structureDamage(const QByteArray &format, QIODevice *device)
{
    if (format == "gif")
        return gifStructureDamage(device);
    if (format == "ico")
        return iconDirectoryDamage(device);
    if (format == "tiff")
        return tiffStructureDamage(device);
    if (format == "pbm" || format == "pgm" || format == "ppm")
        return pnmTextDamage(device);
    return declaredLengthDamage(device, format);
}

// Drawings, not pictures: Qt's SVG reader follows references to other
// files (one that refers to itself recurses until the stack overflows) and
// needs a GUI application to draw text (the command-line tool would crash).
// A drawing reaches the SVG reader only when its content says SVG (see
// detectFormat).
bool isVectorDrawing(const QByteArray &format)
{
    return format == "svg" || format == "svgz";
}

bool hasDrawingName(const QString &fileName)
{
    const QString suffix = QFileInfo(fileName).suffix().toLower();
    return suffix == QLatin1String("svg") || suffix == QLatin1String("svgz");
}

const QString kDrawingMessage =
    QStringLiteral("vector drawings (SVG) are not read; export the picture to a raster format");

// Whether a decoder's message, given while it read the picture, means that
// the file is damaged. A few only remark on what the decoder skipped.
bool meansDamage(const DecoderMessages::Message &message)
{
    // Tags libtiff does not know or ignores; its errors stop the reading.
    if (message.source == DecoderMessages::Message::TiffWarning)
        return false;
    // A colour profile, which the detector does not use.
    if (message.category == QLatin1String("qt.gui.icc"))
        return false;
    const QString &text = message.text;
    static const QString pngWarning = QStringLiteral("libpng warning: ");
    if (text.startsWith(pngWarning) && !pngWarningMeansDamage(text.mid(pngWarning.size())))
        return false;
    // libjpeg on markers of other programs.
    return !text.startsWith(QLatin1String("Warning: unknown JFIF revision"))
           && !text.startsWith(QLatin1String("Unknown Adobe color transform"));
}

QString firstDamage(const QVector<DecoderMessages::Message> &messages)
{
    for (const DecoderMessages::Message &message : messages)
        if (meansDamage(message))
            return message.text;
    return QString();
}


// One name for each format whose reader is known under two.
QByteArray canonicalFormat(const QByteArray &format)
{
    if (format == "jpg")
        return "jpeg";
    if (format == "tif")
        return "tiff";
    if (format == "cur")
        return "ico";
    return format;
}

// The format whose reader reads the file: the one its name gives, if that
// reader confirms it from the content, otherwise the first that knows the
// content. A TGA file has no signature at its start and looks like a
// cursor to the readers that look first. A name never selects the drawing
// reader: it takes any file named .svg, so a PNG named .svg is a PNG.
QByteArray detectFormat(QIODevice *device, const QString &fileName, QString *unknown)
{
    const QByteArray suffix = QFileInfo(fileName).suffix().toLower().toLatin1();
    if (isChecked(suffix)) {
        QImageReader byName(device, suffix);
        byName.setAutoDetectImageFormat(false);
        const bool confirmed = byName.canRead();
        device->seek(0);
        if (confirmed)
            return canonicalFormat(suffix);
    }
    QImageReader byContent(device);
    byContent.setDecideFormatFromContent(true);
    const QByteArray format = byContent.format();
    device->seek(0);
    if (format.isEmpty())
        *unknown = byContent.errorString();
    return canonicalFormat(format);
}

} // namespace

QtInspection inspectForQt(QIODevice *device, const QString &fileName)
{
    QtInspection inspection;
    // Qt's check whether a file is an X bitmap decodes all of it: the size
    // it claims is checked before that.
    const QSize bitmap = xbmDefinedSize(device);
    if (bitmap.isValid() && exceedsLimit(bitmap.width(), bitmap.height())) {
        inspection.size = bitmap;
        inspection.refusal = tooLargeMessage(bitmap.width(), bitmap.height());
        return inspection;
    }

    QString unknown;
    inspection.format = detectFormat(device, fileName, &unknown);
    const QByteArray &format = inspection.format;
    if (format.isEmpty()) {
        if (device->size() == 0)
            inspection.refusal = QStringLiteral("the file is empty");
        else if (hasDrawingName(fileName))
            inspection.refusal = kDrawingMessage;
        else
            inspection.refusal = unknown;  // no reader for it
        return inspection;
    }
    if (isVectorDrawing(format)) {
        inspection.refusal = kDrawingMessage;
        return inspection;
    }
    if (!isChecked(format)) {
        // Qt's MNG reader took 16 GiB for 100 bytes claiming 65535 x 65535.
        inspection.refusal = QStringLiteral("%1 pictures are not read: the picture's size cannot be read before "
                                            "decoding it, so the size limit cannot be checked")
                                 .arg(QString::fromLatin1(format.toUpper()));
        return inspection;
    }

    QSize size;
    if (format == "png") {
        // Not the reader's size(): libpng prints what it cannot read in the
        // header to standard error.
        size = pngHeaderSize(device);
        inspection.pngOffset = 0;
        inspection.pngLength = device->size();
    } else if (format == "gif") {
        size = gifCanvasSize(device);
    } else if (format == "ico") {
        const IconPicture icon = firstIconPicture(device);
        size = icon.size;
        inspection.pngOffset = icon.pngOffset;
        inspection.pngLength = icon.pngLength;
    } else if (format == "bmp") {
        // Not the reader's size(): it gives a negative height for a bitmap
        // stored top row first.
        size = bmpHeaderSize(device);
    } else if (format == "pbm" || format == "pgm" || format == "ppm") {
        size = pnmHeaderSize(device);
    } else {
        QImageReader reader(device, format);
        reader.setAutoDetectImageFormat(false);
        size = reader.size();
        device->seek(0);
        if (!size.isValid()) {
            inspection.refusal = QStringLiteral("the image header cannot be read: the file is damaged or cut short, "
                                                "or the %1 reader refuses the size it claims")
                                     .arg(QString::fromLatin1(format.toUpper()));
            return inspection;
        }
    }
    if (!size.isValid()) {
        inspection.refusal = QStringLiteral("the image header cannot be read; the file is damaged or cut short");
        return inspection;
    }
    inspection.size = size;
    if (exceedsLimit(size.width(), size.height()))
        inspection.refusal = tooLargeMessage(size.width(), size.height());
    return inspection;
}

namespace {

QImage clearedImage(const QSize &size, QImage::Format layout)
{
    QImage image(size, layout);
    image.fill(0);
    return image;
}

// Reads the picture into `image` (which the bitmap reader fills in when it
// has the right size and layout), upright as image viewers show
// photographs; `error` is the reader's when it fails.
bool decode(QIODevice *device, const QtInspection &inspection, QImage *image, QString *error)
{
    QImageReader reader(device, inspection.format);
    reader.setAutoDetectImageFormat(false);
    reader.setAutoTransform(true);
    if (reader.read(image))
        return true;
    *error = reader.errorString();
    return false;
}

// `known`: the file's inspection when it was made already (null: made here).
bool readFrame(QIODevice *source, const QString &fileName, const QtInspection *known, QImage *frame, QString *error,
               QString *damage)
{
    // Everything the decoders say while this thread reads the file ends up
    // in the error or the damage report, not on standard error.
    DecoderMessages messages;
    WatchedDevice device(source);
    const QtInspection inspection = known ? *known : inspectForQt(&device, fileName);
    if (!inspection.refusal.isEmpty()) {
        *error = inspection.refusal;
        return false;
    }
    if (inspection.pngOffset >= 0) {
        const QString pngError = pngReadError(&device, inspection.pngOffset, inspection.pngLength);
        if (!pngError.isEmpty()) {
            *error = damagedMessage(pngError);
            return false;
        }
    }

    // The layout the bitmap reader says it decodes to, into a cleared image.
    QImage::Format expectedLayout = QImage::Format_Invalid;
    QImage image;
    if (inspection.format == "bmp") {
        QImageReader reader(&device, inspection.format);
        expectedLayout = reader.imageFormat();
        device.seek(0);
        if (expectedLayout == QImage::Format_Invalid)
            expectedLayout = QImage::Format_RGB32;
        image = clearedImage(inspection.size, expectedLayout);
    }
    messages.take();  // what the format checks said about other formats
    device.startWatching();
    QString readError;
    bool read = decode(&device, inspection, &image, &readError);
    // Qt's bitmap reader leaves the pixels it finds no data for (past the
    // end of a file cut short, skipped by run-length codes) as the
    // allocator left them: the features would change from run to run. It
    // writes into an image of the size and layout it decodes to when it is
    // given one, so it gets a cleared one, and a second one when the layout
    // it chose was not the one expected.
    if (read && inspection.format == "bmp" && image.format() != expectedLayout) {
        image = clearedImage(image.size(), image.format());
        device.seek(0);
        read = decode(&device, inspection, &image, &readError);
    }
    if (!read) {
        const QVector<DecoderMessages::Message> said = messages.take();
        *error = said.isEmpty() && ranOutOfFile(inspection.format, device) ? damagedMessage(kCutShort)
                 : said.isEmpty() ? readError
                                  : readError + QStringLiteral(": ") + said.first().text;
        return false;
    }
    // For a header that claimed less than the picture holds.
    if (exceedsLimit(image.width(), image.height())) {
        *error = tooLargeMessage(image.width(), image.height());
        return false;
    }
    QImage converted = toDetectionLayout(image);
    if (converted.isNull()) {
        *error = QStringLiteral("not enough memory to convert the image");
        return false;
    }

    QString found = firstDamage(messages.take());
    if (found.isEmpty() && ranOutOfFile(inspection.format, device))
        found = kCutShort;
    if (found.isEmpty())
        found = structureDamage(inspection.format, &device);
    if (found.isEmpty())
        found = firstDamage(messages.take());  // libtiff on the other pages
    if (damage)
        *damage = found;
    *frame = converted;
    return true;
}

} // namespace

bool readWholeStream(QIODevice *device, QBuffer *buffer, QString *error, const QByteArray &start)
{
    QByteArray bytes;
    // Only the pages written are mapped.
    bytes.resize((int)kMaxStreamBytes + 1);
    qint64 size = std::min<qint64>(start.size(), bytes.size());
    std::memcpy(bytes.data(), start.constData(), (size_t)size);
    for (;;) {
        const qint64 count = device->read(bytes.data() + size, bytes.size() - size);
        if (count <= 0)
            break;
        size += count;
        if (size == bytes.size()) {
            *error = QStringLiteral("more than 256 MB come from this pipe or device; save the picture to a file");
            return false;
        }
    }
    bytes.resize((int)size);
    bytes.squeeze();
    buffer->setData(bytes);
    buffer->open(QIODevice::ReadOnly);
    return true;
}

// Opens the file without waiting: a named pipe that nobody writes to would
// hold the open (and the window) for ever. It then reads as empty.
bool openForReading(QFile *file)
{
#ifdef Q_OS_UNIX
    const int descriptor = ::open(QFile::encodeName(file->fileName()).constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (descriptor < 0)
        return false;
    // Reads wait for data again, as a pipe's reader expects.
    ::fcntl(descriptor, F_SETFL, ::fcntl(descriptor, F_GETFL) & ~O_NONBLOCK);
    if (file->open(descriptor, QIODevice::ReadOnly, QFileDevice::AutoCloseHandle))
        return true;
    ::close(descriptor);
    return false;
#else
    return file->open(QIODevice::ReadOnly);
#endif
}

namespace {

// The picture upright, as a TIFF orientation tag says it is shown, turned
// as Qt's readers turn it: mirrored or flipped first, then rotated.
QImage upright(const QImage &stored, int orientation)
{
    switch (orientation) {
    case 2:
        return stored.mirrored(true, false);
    case 3:
        return stored.mirrored(true, true);
    case 4:
        return stored.mirrored(false, true);
    case 5:
        return stored.mirrored(false, true).transformed(QTransform().rotate(90));
    case 6:
        return stored.transformed(QTransform().rotate(90));
    case 7:
        return stored.mirrored(true, false).transformed(QTransform().rotate(90));
    case 8:
        return stored.transformed(QTransform().rotate(270));
    default:
        return stored;
    }
}

// The frame of stored samples, reduced to bytes as `reduction` says, upright.
QImage frameFromSamples(const PictureSamples &samples, const ByteReduction &reduction)
{
    const NativeLayout &layout = samples.layout;
    const bool colour = layout.channels == 3;
    QImage frame((int)layout.width, (int)layout.height, colour ? QImage::Format_RGB32 : QImage::Format_Grayscale8);
    if (frame.isNull())
        return frame;
    const size_t rowBytes = (size_t)(layout.width * layout.channels) * sampleBytes(layout.type);
    // The bytes through a look-up made once (a sample at a time without
    // one, as when memory is short).
    std::unique_ptr<ByteLookup> lookUp(new (std::nothrow) ByteLookup);
    if (lookUp)
        prepareByteLookup(lookUp.get(), layout.type, reduction);
    for (qint64 y = 0; y < layout.height; ++y) {
        const unsigned char *row = samples.bytes.data() + (size_t)y * rowBytes;
        if (colour)
            reduceToRgb32(row, layout.type, (size_t)layout.width, 3, reduction,
                          reinterpret_cast<uint32_t *>(frame.scanLine((int)y)), lookUp.get());
        else
            reduceToBytes(row, layout.type, (size_t)layout.width, 1, reduction, frame.scanLine((int)y),
                          lookUp.get());
    }
    return upright(frame, layout.orientation);
}

// Every sample of a picture's kept samples, in one piece.
SamplePass wholePass(const PictureSamples &samples)
{
    return [&samples](const SampleFeed &feed, QString *) {
        feed(samples.bytes.data(), samples.bytes.size() / sampleBytes(samples.layout.type), 1);
        return true;
    };
}

// Every channel level of an 8-bit frame (grey, or blue, green and red).
SamplePass framePass(const QImage &frame)
{
    return [&frame](const SampleFeed &feed, QString *) {
        const bool grey = frame.format() == QImage::Format_Grayscale8;
        for (int y = 0; y < frame.height(); ++y) {
            const uchar *row = frame.constScanLine(y);
            if (grey)
                feed(row, (size_t)frame.width(), 1);
            else
                for (int channel = 0; channel < 3; ++channel)
                    feed(row + channel, (size_t)frame.width(), 4);
        }
        return true;
    };
}

// An 8-bit frame stretched channel by channel.
QImage stretchedFrame(const QImage &frame, const StretchUsed &used)
{
    uchar table[256];
    for (int level = 0; level < 256; ++level)
        table[level] = stretchValue(level, used.lo, used.hi);
    QImage stretched = frame.copy();
    if (stretched.isNull())
        return stretched;
    const bool grey = frame.format() == QImage::Format_Grayscale8;
    for (int y = 0; y < stretched.height(); ++y) {
        uchar *row = stretched.scanLine(y);
        for (int x = 0; x < stretched.width(); ++x) {
            if (grey) {
                row[x] = table[row[x]];
            } else {
                for (int channel = 0; channel < 3; ++channel)
                    row[4 * x + channel] = table[row[4 * x + channel]];
            }
        }
    }
    return stretched;
}

// The lowest and the highest channel level of a frame, when known already.
struct KnownLevels {
    bool known = false;
    int lowest = 0;
    int highest = 0;
};

// The frame for a stretch: from the samples when there are any, otherwise
// from the 8-bit frame of Qt's readers (whose levels `levels` may know).
bool mapPicture(const PictureSamples *samples, const QImage &qtFrame, const StretchChoice &choice, QImage *frame,
                StretchUsed *used, StretchNotice *notice, QString *error, const KnownLevels &levels = KnownLevels())
{
    StretchChoice resolved = choice;
    resolved.mode = samples ? resolvedStretchMode(choice.mode, samples->layout.qtReads, samples->layout.type)
                            : resolvedStretchMode(choice.mode, true, SAMPLE_U8);
    if (resolved.mode == StretchMode::None && !qtFrame.isNull()) {
        *used = StretchUsed();
        *frame = qtFrame;
    } else if (samples) {
        if (!findStretchRange(resolved, samples->layout.type, wholePass(*samples), used, error))
            return false;
        *frame = frameFromSamples(*samples, used->mode == StretchMode::None
                                                ? samples->layout.none
                                                : ByteReduction{REDUCE_STRETCH, used->lo, used->hi, 0});
    } else {
        if (!findStretchRange(resolved, SAMPLE_U8, framePass(qtFrame), used, error))
            return false;
        *frame = stretchedFrame(qtFrame, *used);
    }
    if (frame->isNull()) {
        *error = QStringLiteral("not enough memory to convert the image");
        return false;
    }
    int lowest = levels.lowest, highest = levels.highest;
    if (used->mode == StretchMode::None && !levels.known)
        frameLevels(*frame, &lowest, &highest);
    *notice = stretchNotice(*used, lowest, highest);
    return true;
}

// A file that starts as a JPEG does, decoded without Qt's reader when it is
// plain (jpegdecoder.h), and turned upright as Qt's reader turns it; its
// levels known. False, the device where it was, for anything else: Qt's
// reader then reads it, and says what is wrong. `inspection`, when made
// already, decides: a JPEG that Qt's reader would not be given is not
// decoded here either.
bool readPlainJpeg(QIODevice *device, const QtInspection *inspection, JpegTarget target, unsigned threads,
                   QImage *frame, KnownLevels *levels)
{
    // HESSIAN_QT_JPEG (anything but 0) hands every JPEG to Qt's reader, so
    // that the two can be compared.
    const QByteArray throughQt = qgetenv("HESSIAN_QT_JPEG");
    if (!throughQt.isEmpty() && throughQt != "0")
        return false;
    if (inspection && (inspection->format != "jpeg" || !inspection->refusal.isEmpty()))
        return false;
    // From the start, as the format checks read it; within what a
    // QByteArray holds.
    if (device->pos() != 0 || device->size() > (qint64(1) << 30)
        || bytesAt(device, 0, 2) != QByteArray("\xff\xd8", 2))
        return false;
    // A header that Qt's format check would take for an X bitmap's is
    // looked at as one (see inspectForQt).
    if (!inspection && xbmDefinedSize(device).isValid())
        return false;
    const QBuffer *buffer = qobject_cast<const QBuffer *>(device);
    const QByteArray bytes = buffer ? buffer->data() : device->readAll();
    // Whatever Qt says of a colour profile (nothing that counts as damage).
    DecoderMessages messages;
    DecodedJpeg decoded;
    const bool decodedHere = decodePlainJpeg(reinterpret_cast<const unsigned char *>(bytes.constData()),
                                             (size_t)bytes.size(), target, kMaxFramePixels, &decoded, threads);
    const QImage shown = decodedHere ? upright(decoded.image, decoded.orientation) : QImage();
    if (shown.isNull()) {
        device->seek(0);
        return false;
    }
    *frame = shown;
    levels->known = true;
    levels->lowest = decoded.lowest;
    levels->highest = decoded.highest;
    return true;
}

// Whether the frame of Qt's readers holds the picture's samples as they
// are (8 bits that "none" leaves alone), so that stretching its levels is
// stretching the samples. Not so for a PGM or PPM whose maximum is not 255:
// Qt scales it.
bool qtFrameHoldsSamples(const NativeLayout &layout)
{
    const ByteReduction &none = layout.none;
    const bool unchanged = none.kind == REDUCE_PNM_SCALE
                               ? none.maxval == 255
                               : none.kind == REDUCE_STRETCH && none.lo == 0.0 && none.hi == 255.0;
    return layout.qtFrameForNone && layout.type == SAMPLE_U8 && unchanged;
}

// Reads the samples of a picture whole. The room is reserved at once but
// filled a few rows at a time, so that memory is taken as the file's data
// comes: a header of a few bytes that claims a large picture fails on its
// first rows, not after gigabytes were cleared for it.
bool readSamples(NativePicture &native, PictureSamples *samples, QString *error)
{
    samples->layout = native.layout();
    const qint64 rowBytes = native.rowBytes(), height = native.layout().height;
    const qint64 step = std::max<qint64>(1, (qint64(4) << 20) / rowBytes);
    try {
        samples->bytes.reserve((size_t)(rowBytes * height));
        for (qint64 y = 0; y < height; y += step) {
            const qint64 count = std::min(step, height - y);
            samples->bytes.resize((size_t)(rowBytes * (y + count)));
            if (!native.readRows(y, count, samples->bytes.data() + (size_t)(rowBytes * y), error))
                return false;
        }
    } catch (const std::bad_alloc &) {
        *error = QStringLiteral("not enough memory to read the image");
        return false;
    }
    // What the reader found wrong while it read (a PNG's chunks, a text
    // PNM's numbers).
    samples->layout.damage = native.layout().damage;
    return true;
}

} // namespace

bool readPictureFrom(QIODevice *device, const QString &fileName, NativePicture *native,
                     const QtInspection *inspection, const LoadOptions &options, LoadedPicture *picture,
                     QString *error, QString *damage)
{
    if (damage)
        damage->clear();
    std::shared_ptr<PictureSamples> samples;
    QImage qtFrame;
    KnownLevels levels;
    if (native) {
        const NativeLayout &layout = native->layout();
        if (exceedsLimit(layout.width, layout.height)) {
            *error = tooLargeMessage(layout.width, layout.height);
            return false;
        }
        const bool qtNone = layout.qtFrameForNone
                            && resolvedStretchMode(options.stretch.mode, layout.qtReads, layout.type) == StretchMode::None;
        if (qtNone && !readFrame(device, fileName, inspection, &qtFrame, error, damage))
            return false;
        if (!qtNone || (options.keepSamples && !qtFrameHoldsSamples(layout))) {
            samples = std::make_shared<PictureSamples>();
            if (!readSamples(*native, samples.get(), error))
                return false;
        }
        // Qt's frame as well, read from the start: the samples were read
        // through the same device.
        if (!qtNone && layout.qtFrameForNone && options.keepSamples
            && !(device->seek(0) && readFrame(device, fileName, inspection, &qtFrame, error, damage)))
            return false;
        // The native reader's verdict holds in every mode, whether or not
        // Qt's frame is used.
        if (damage && !native->layout().damage.isEmpty())
            *damage = native->layout().damage;
        picture->bitsPerSample = (int)layout.bitsPerSample;
        picture->description = layout.description;
    } else {
        const bool greyWillDo = options.detectorInputOnly && !options.keepSamples
                                && resolvedStretchMode(options.stretch.mode, true, SAMPLE_U8) == StretchMode::None;
        if (!readPlainJpeg(device, inspection, greyWillDo ? JpegTarget::Grey : JpegTarget::Frame, options.threads,
                           &qtFrame, &levels)
            && !readFrame(device, fileName, inspection, &qtFrame, error, damage))
            return false;
        picture->bitsPerSample = 8;
        picture->description.clear();
    }
    if (!mapPicture(samples.get(), qtFrame, options.stretch, &picture->frame, &picture->stretch, &picture->notice,
                    error, levels))
        return false;
    picture->samples = options.keepSamples ? samples : nullptr;
    picture->qtFrame = options.keepSamples ? qtFrame : QImage();
    return true;
}

QImage toDetectionLayout(const QImage &image)
{
    // 8-bit grey is the detector's input already: no conversion either way.
    if (image.format() == QImage::Format_RGB32 || image.format() == QImage::Format_Grayscale8)
        return image;
    // A grey picture stays grey (v / 257 rounded, the level the 32-bit
    // layout would give each channel).
    if (image.format() == QImage::Format_Grayscale16)
        return image.convertToFormat(QImage::Format_Grayscale8);
    return image.convertToFormat(QImage::Format_RGB32);
}

bool openPictureFile(QFile *file, QString *error)
{
    const QFileInfo info(file->fileName());
    if (info.isDir()) {
        *error = QStringLiteral("it is a folder, not a picture");
        return false;
    }
    if (!openForReading(file)) {
        if (!info.exists())
            *error = QStringLiteral("File not found");
        else if (!info.isReadable())
            *error = QStringLiteral("permission denied");
        else
            *error = file->errorString();
        return false;
    }
    return true;
}

bool stretchFrame(const QImage &frame, const StretchChoice &choice, QImage *stretched, StretchUsed *used,
                  StretchNotice *notice, QString *error)
{
    return mapPicture(nullptr, frame, choice, stretched, used, notice, error);
}

bool restretchPicture(const LoadedPicture &picture, const StretchChoice &choice, QImage *frame, StretchUsed *used,
                      StretchNotice *notice, QString *error)
{
    if (!picture.samples && picture.qtFrame.isNull()) {
        *error = QStringLiteral("the picture was not kept");
        return false;
    }
    return mapPicture(picture.samples.get(), picture.qtFrame, choice, frame, used, notice, error);
}

QString stretchName(const StretchUsed &stretch)
{
    switch (stretch.mode) {
    case StretchMode::MinMax:
        return QStringLiteral("minmax");
    case StretchMode::Percentile:
        return QStringLiteral("percentile:%1:%2").arg(stretch.low).arg(stretch.high);
    default:
        return QStringLiteral("none");
    }
}

bool parseStretchName(const QString &text, StretchChoice *choice)
{
    if (text == QLatin1String("none") || text == QLatin1String("minmax")) {
        choice->mode = text == QLatin1String("none") ? StretchMode::None : StretchMode::MinMax;
        return true;
    }
    const QStringList parts = text.split(QLatin1Char(':'));
    if (parts.first() != QLatin1String("percentile") || (parts.size() != 1 && parts.size() != 3))
        return false;
    double low = StretchChoice().low, high = StretchChoice().high;
    if (parts.size() == 3) {
        bool lowRead = false, highRead = false;
        low = QLocale::c().toDouble(parts[1], &lowRead);
        high = QLocale::c().toDouble(parts[2], &highRead);
        if (!lowRead || !highRead || !(low >= 0.0 && low < high && high <= 100.0))
            return false;
    }
    choice->mode = StretchMode::Percentile;
    choice->low = low;
    choice->high = high;
    return true;
}

StretchMode resolvedStretchMode(StretchMode asked, bool qtReads, SampleType type)
{
    if (asked != StretchMode::Default)
        return asked;
    return qtReads && type == SAMPLE_U8 ? StretchMode::None : StretchMode::Percentile;
}

namespace {

// One pass over the bands of samples, `threads` at a time: begin(worker)
// before a worker's first band, feed(worker, band) for the band's samples,
// the bands taken in turn by whichever worker is free. False with the
// reason of the first band (in band order) that could not be read.
bool passOverBands(unsigned bands, const BandSamplePass &pass,
                   const std::function<SampleFeed(unsigned worker, unsigned band)> &feedOf, QString *error)
{
    if (bands == 1)
        return pass(0, feedOf(0, 0), error);
    const unsigned threads = std::min(bands, machineThreads());
    std::vector<QString> errors(bands);
    const int status = runInBands(threads, bands, 0, bands, [&](unsigned worker, unsigned, uint32_t first, uint32_t last) {
        for (uint32_t band = first; band < last; ++band)
            if (!pass(band, feedOf(worker, band), &errors[band]))
                return -1;
        return 0;
    });
    if (status == 0)
        return true;
    for (const QString &reason : errors)
        if (!reason.isEmpty()) {
            *error = reason;
            break;
        }
    return false;
}

} // namespace

bool findStretchRange(const StretchChoice &choice, SampleType type, const SamplePass &pass, StretchUsed *used,
                      QString *error)
{
    return findStretchRangeInBands(choice, type, 1, [&pass](unsigned, const SampleFeed &feed, QString *reason) {
        return pass(feed, reason);
    }, used, error);
}

bool findStretchRangeInBands(const StretchChoice &choice, SampleType type, unsigned bands,
                             const BandSamplePass &pass, StretchUsed *used, QString *error)
{
    *used = StretchUsed();
    used->mode = choice.mode == StretchMode::Default ? StretchMode::None : choice.mode;
    if (used->mode == StretchMode::None)
        return true;
    bands = std::max(bands, 1u);
    const QString noNumbers = QStringLiteral("the picture holds no numbers: every sample is blank, not a number "
                                             "(NaN) or infinite");
    const QString noMemory = QStringLiteral("not enough memory to find the percentiles");
    if (used->mode == StretchMode::MinMax) {
        // An extent a band, folded in band order, so that the threads cannot
        // change which of two equal values (0 and -0) is taken.
        std::vector<SampleExtent> extents(bands);
        for (SampleExtent &extent : extents)
            sampleExtentStart(&extent);
        if (!passOverBands(bands, pass, [&](unsigned, unsigned band) {
                return SampleFeed([&extents, band, type](const void *samples, size_t count, size_t stride) {
                    sampleExtentAdd(&extents[band], samples, type, count, stride);
                });
            }, error))
            return false;
        SampleExtent extent = extents[0];
        for (unsigned band = 1; band < bands; ++band) {
            const SampleExtent &more = extents[band];
            if (more.count == 0)
                continue;
            if (extent.count == 0 || more.min < extent.min)
                extent.min = more.min;
            if (extent.count == 0 || more.max > extent.max)
                extent.max = more.max;
            extent.count += more.count;
        }
        if (extent.count == 0) {
            *error = noNumbers;
            return false;
        }
        used->lo = extent.min;
        used->hi = extent.max;
        return true;
    }
    // The first pass counts the samples' top 16 bits and finds their number
    // and extent at once; samples of at most 16 bits need no other. Each
    // thread counts into a share of its own; the shares' counts add up.
    used->low = choice.low;
    used->high = choice.high;
    RankSearch search;
    if (rankSearchStart(&search, type, 0, 0) != 0) {
        *error = noMemory;
        return false;
    }
    const unsigned workers = bands == 1 ? 1 : std::min(bands, machineThreads());
    std::vector<RankSearch> shares(workers);
    bool found = false;
    for (bool first = true; !found; first = false) {
        unsigned split = 0;
        while (split < workers && rankSearchSplit(&search, &shares[split]) == 0)
            ++split;
        const bool read = split == workers && passOverBands(bands, pass, [&](unsigned worker, unsigned) {
            RankSearch *share = &shares[worker];
            return SampleFeed([share](const void *samples, size_t count, size_t stride) {
                rankSearchAdd(share, samples, count, stride);
            });
        }, error);
        if (split < workers)
            *error = noMemory;
        for (unsigned worker = 0; worker < split; ++worker)
            rankSearchJoin(&search, &shares[worker]);
        if (!read || search.numbers == 0) {
            if (read)
                *error = noNumbers;
            rankSearchRelease(&search);
            return false;
        }
        if (first)
            rankSearchSetRanks(&search, percentileRank(choice.low, search.numbers),
                               percentileRank(choice.high, search.numbers));
        found = rankSearchEndPass(&search);
    }
    used->lo = rankSearchValue(&search, 0);
    used->hi = rankSearchValue(&search, 1);
    widenEqualPercentiles(used, rankSearchExtreme(&search, 0), rankSearchExtreme(&search, 1));
    rankSearchRelease(&search);
    return true;
}

void widenEqualPercentiles(StretchUsed *used, double lowest, double highest)
{
    if (used->mode != StretchMode::Percentile || used->hi > used->lo || !(lowest < highest))
        return;
    used->lo = lowest;
    used->hi = highest;
    used->widened = true;
}

int storedSamplesAt(const PictureSamples &samples, qint64 x, qint64 y, double values[3])
{
    const NativeLayout &layout = samples.layout;
    const qint64 w = layout.width, h = layout.height;
    // Shown (x, y) back to stored (sx, sy): upright()'s turns undone.
    qint64 sx = x, sy = y;
    switch (layout.orientation) {
    case 2: sx = w - 1 - x; break;
    case 3: sx = w - 1 - x; sy = h - 1 - y; break;
    case 4: sy = h - 1 - y; break;
    case 5: sx = y; sy = x; break;
    case 6: sx = y; sy = h - 1 - x; break;
    case 7: sx = w - 1 - y; sy = h - 1 - x; break;
    case 8: sx = w - 1 - y; sy = x; break;
    default: break;
    }
    if (sx < 0 || sy < 0 || sx >= w || sy >= h)
        return 0;
    const size_t first = ((size_t)sy * (size_t)w + (size_t)sx) * layout.channels;
    if ((first + layout.channels) * sampleBytes(layout.type) > samples.bytes.size())
        return 0;
    const int count = layout.channels == 3 ? 3 : 1;
    for (int c = 0; c < count; ++c)
        values[c] = sampleValue(samples.bytes.data(), layout.type, first + (size_t)c);
    return count;
}

StretchNotice stretchNotice(const StretchUsed &used, int lowestLevel, int highestLevel)
{
    StretchNotice notice;
    if (used.mode != StretchMode::None) {
        if (used.widened)
            notice.text = QStringLiteral("is flat between its %1 and %2 percentiles but not constant, so its "
                                         "minmax range %3 to %4 was used instead")
                              .arg(used.low).arg(used.high).arg(used.lo, 0, 'g', 9).arg(used.hi, 0, 'g', 9);
        else if (!(used.hi > used.lo))
            notice.text = QStringLiteral("is flat: its %1 range is %2 to %3, so every pixel maps to 0 and there "
                                         "are no features")
                              .arg(stretchName(used)).arg(used.lo, 0, 'g', 9).arg(used.hi, 0, 'g', 9);
        return notice;
    }
    if (highestLevel - lowestLevel < 32) {
        notice.narrow = true;
        notice.lowest = lowestLevel;
        notice.highest = highestLevel;
        notice.text = QStringLiteral("uses only levels %1 to %2 of 0..255 (less than 1/8 of the range)")
                          .arg(lowestLevel).arg(highestLevel);
    }
    return notice;
}

void frameLevels(const QImage &frame, int *lowest, int *highest)
{
    unsigned char low = 255, high = 0;
    const bool grey = frame.format() == QImage::Format_Grayscale8;
    const int width = frame.width(), height = frame.height();
    for (int y = 0; y < height; ++y) {
        if (grey)
            greyLevelsAdd(frame.constScanLine(y), (size_t)width, &low, &high);
        else
            colourLevelsAdd(reinterpret_cast<const uint32_t *>(frame.constScanLine(y)), (size_t)width, &low, &high);
    }
    *lowest = std::min(low, high);
    *highest = high;
}

QSize frameSizeBeforeDecoding(QIODevice *device)
{
    DecoderMessages messages;
    QString refusal;
    const std::unique_ptr<NativePicture> native = openNativePicture(device, QString(), &refusal);
    if (native)
        return QSize((int)std::min<qint64>(native->layout().width, INT_MAX),
                     (int)std::min<qint64>(native->layout().height, INT_MAX));
    if (!refusal.isEmpty())
        return QSize();
    WatchedDevice watched(device);
    return inspectForQt(&watched, QString()).size;
}

QList<QByteArray> openableImageFormats()
{
    QList<QByteArray> formats = QImageReader::supportedImageFormats();
    formats.erase(std::remove_if(formats.begin(), formats.end(), [](const QByteArray &f) { return !isChecked(f); }),
                  formats.end());
    formats << "fits" << "fit" << "fts";  // read by cfitsio
    return formats;
}
