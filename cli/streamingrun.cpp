#include "streamingrun.h"

#include "decodermessages.h"
#include "detectionpaths.h"
#include "nativepictures.h"
#include "picturesource.h"

#include <QFile>
#include <QFileInfo>
#include <QImage>

#include <algorithm>
#include <cstring>
#include <memory>
#include <new>
#include <vector>

namespace {

// Bytes of samples read at once while rows are mapped or counted.
const qint64 kChunkBytes = qint64(16) << 20;

// A path as the streamed run takes it: a regular file, opened as a source.
std::unique_ptr<PictureSource> openPath(const QString &path, QString *error)
{
    const QFileInfo info(path);
    // Opening a named pipe would wait for a writer.
    if (info.exists() && !info.isDir() && !info.isFile()) {
        *error = QStringLiteral("pipes and devices are read whole");
        return nullptr;
    }
    return PictureSource::open(path, SourceOptions(), error);
}

// The native reader of a picture that can be read in bands; null with the
// reason otherwise.
NativePicture *streamable(PictureSource &source, QString *reason)
{
    NativePicture *native = source.bands(reason);
    if (!native)
        return nullptr;
    const NativeLayout &layout = native->layout();
    if (layout.width > kMaxStreamedSide || layout.height > kMaxStreamedSide) {
        *reason = QStringLiteral("it is %1 x %2 pixels; streamed pictures are at most %3 pixels on a side")
                      .arg(layout.width).arg(layout.height).arg(kMaxStreamedSide);
        return nullptr;
    }
    return native;
}

qint64 chunkRows(const NativePicture &native)
{
    return std::max<qint64>(1, kChunkBytes / std::max<qint64>(1, native.rowBytes()));
}

// Every sample of the picture, a chunk of rows at a time.
SamplePass filePass(NativePicture &native, std::vector<unsigned char> &chunk)
{
    return [&native, &chunk](const SampleFeed &feed, QString *error) {
        const NativeLayout &layout = native.layout();
        const qint64 rows = chunkRows(native);
        for (qint64 y = 0; y < layout.height; y += rows) {
            const qint64 count = std::min(rows, layout.height - y);
            if (!native.readRows(y, count, chunk.data(), error))
                return false;
            feed(chunk.data(), (size_t)(count * layout.width * layout.channels), 1);
        }
        return true;
    };
}

// Reads rows of the picture, mapped to grey levels, into a band.
class GreyRows
{
public:
    GreyRows(NativePicture &native, const ByteReduction &reduction, std::vector<unsigned char> &chunk,
             const HessianRunConfig &config)
        : native(native), reduction(reduction), chunk(chunk), config(config), lookUp(new (std::nothrow) ByteLookup)
    {
        // Without it (memory short), bytes are computed a sample at a time.
        if (lookUp)
            prepareByteLookup(lookUp.get(), native.layout().type, reduction);
    }

    bool read(qint64 first, qint64 count, unsigned char *grey, QString *error)
    {
        const NativeLayout &layout = native.layout();
        const qint64 rows = chunkRows(native);
        const size_t width = (size_t)layout.width;
        // 8-bit grey samples that are their own levels go straight into
        // the band.
        if (layout.channels == 1 && lookUp && lookUp->identity) {
            if (!native.readRows(first, count, grey, error))
                return false;
            greyLevelsAdd(grey, width * (size_t)count, &low, &high);
            return true;
        }
        for (qint64 y = first; y < first + count; y += rows) {
            const qint64 n = std::min(rows, first + count - y);
            if (!native.readRows(y, n, chunk.data(), error))
                return false;
            unsigned char *out = grey + (size_t)(y - first) * width;
            if (layout.channels == 1) {
                reduceToBytes(chunk.data(), layout.type, width * (size_t)n, 1, reduction, out, lookUp.get());
                greyLevelsAdd(out, width * (size_t)n, &low, &high);
                continue;
            }
            pixels.resize(width * (size_t)n);
            const size_t rowBytes = (size_t)native.rowBytes();
            for (qint64 row = 0; row < n; ++row)
                reduceToRgb32(chunk.data() + (size_t)row * rowBytes, layout.type, width, 3, reduction,
                              pixels.data() + (size_t)row * width, lookUp.get());
            colourLevelsAdd(pixels.data(), width * (size_t)n, &low, &high);
            convertRgb32ToGreyWith(pixels.data(), width, (uint32_t)width, (uint32_t)n, out, config);
        }
        return true;
    }

    // The lowest and highest level of the rows read (see frameLevels).
    unsigned char low = 255;
    unsigned char high = 0;

private:
    NativePicture &native;
    ByteReduction reduction;
    std::vector<unsigned char> &chunk;
    HessianRunConfig config;
    std::vector<uint32_t> pixels;
    std::unique_ptr<ByteLookup> lookUp;
};

uint32_t kernelRadius(float sigma)
{
    HessianDetector probe = {};
    const int status = initHessianDetector(&probe, sigma, 1, 1);
    const uint32_t radius = status == HESSIAN_OK ? probe.radius : 0;
    releaseHessianDetector(&probe);
    return radius;
}

} // namespace

qint64 streamBandRows(qint64 width, uint32_t radius, qint64 readerBytes, qint64 pad)
{
    const qint64 overlap = 2 * (qint64)radius + 2;
    const qint64 pixels = std::max<qint64>(1, width);
    const qint64 rowBytes = pad > 0 ? pixels + (pixels + 2 * pad) * kBandBytesPerPixel : pixels * kBandBytesPerPixel;
    const qint64 fit = std::max<qint64>(0, kBandBudgetBytes - readerBytes) / rowBytes - overlap;
    return std::max<qint64>(0, std::min(24 * overlap, fit));
}

bool canStream(PictureSource &source, QString *reason, qint64 *pixels)
{
    DecoderMessages messages;
    const NativePicture *native = streamable(source, reason);
    if (native && pixels)
        *pixels = native->layout().width * native->layout().height;
    return native != nullptr;
}

bool canStream(const QString &path, QString *reason, qint64 *pixels)
{
    const std::unique_ptr<PictureSource> source = openPath(path, reason);
    return source && canStream(*source, reason, pixels);
}

namespace {

bool runBands(PictureSource &source, const StreamSettings &settings, StreamedPicture *picture, QString *error)
{
    DecoderMessages messages;
    QString reason;
    NativePicture *native = streamable(source, &reason);
    if (!native) {
        *error = QStringLiteral("it cannot be read in bands: %1").arg(reason);
        return false;
    }
    const NativeLayout &layout = native->layout();
    picture->width = layout.width;
    picture->height = layout.height;
    picture->bitsPerSample = (int)layout.bitsPerSample;
    // The band's height, from what the picture's rows, the kernel's margin
    // and the reader's buffers take, before anything is allocated.
    const uint32_t radius = kernelRadius(settings.detection.sigma);
    const qint64 margin = radius + 1;
    // With the border extended, each band is run padded as the whole
    // picture would be around it: by the margin on either side, and above
    // the first row and below the last (which the band then holds).
    const BorderMode border = resolvedBorder(settings.detection.border, 1);
    const qint64 pad = border == BORDER_INTERIOR ? 0 : margin;
    const qint64 chunkBytes = chunkRows(*native) * native->rowBytes();
    const qint64 own = settings.bandRows > 0
                           ? settings.bandRows
                           : streamBandRows(layout.width, radius, chunkBytes + layout.bufferBytes, pad);
    if (own == 0 && radius > 0) {
        *error = QStringLiteral("it cannot be read in bands: a band of its %1-pixel rows at sigma %2 needs %3 rows "
                                "with its margins, more than the %4 MB a band may take")
                     .arg(layout.width).arg(settings.detection.sigma).arg(2 * (qint64)radius + 3)
                     .arg(kBandBudgetBytes >> 20);
        return false;
    }
    std::vector<unsigned char> chunk;
    try {
        chunk.resize((size_t)chunkBytes);
    } catch (const std::bad_alloc &) {
        *error = QStringLiteral("not enough memory to read the picture");
        return false;
    }

    StretchChoice choice = settings.stretch;
    choice.mode = resolvedStretchMode(choice.mode, layout.qtReads, layout.type);
    if (!findStretchRange(choice, layout.type, filePass(*native, chunk), &picture->stretch, error))
        return false;
    const ByteReduction reduction = picture->stretch.mode == StretchMode::None
                                        ? layout.none
                                        : ByteReduction{REDUCE_STRETCH, picture->stretch.lo, picture->stretch.hi, 0};
    DetectionSettings detection = settings.detection;
    HessianRunConfig config = defaultRunConfig();
    config.threads = detection.threads;
    GreyRows rows(*native, reduction, chunk, config);

    detection.candidates = false;
    DetectionResult &result = picture->result;
    result = DetectionResult{QVector<Feature>(), HESSIAN_OK, 0.0f, QVector<FeatureMeasure>()};
    if (radius == 0) {
        result = runDetection(QImage(), detection);  // the set-up's own failure
        return true;
    }
    const qint64 width = layout.width;
    std::unique_ptr<unsigned char, void (*)(void *)> band(
        (unsigned char *)allocateFrameBuffer((size_t)(width * std::min(layout.height, own + 2 * margin))), std::free);
    if (!band) {
        *error = QStringLiteral("not enough memory for a band of %1 rows").arg(own + 2 * margin);
        return false;
    }

    const qint64 paddedWidth = pad ? width + 2 * pad : 0;
    const qint64 paddedRows = std::min(layout.height, own) + 2 * margin;
    std::unique_ptr<unsigned char, void (*)(void *)> padded(
        paddedWidth ? (unsigned char *)allocateFrameBuffer((size_t)(paddedWidth * paddedRows)) : nullptr, std::free);
    if (paddedWidth && !padded) {
        *error = QStringLiteral("not enough memory for a band of %1 rows").arg(paddedRows);
        return false;
    }
    detection.border = BorderChoice::Interior;

    // Set up once for the tallest band: the first and the last band, which
    // are shorter, then fit in its buffers instead of being mapped apart.
    DetectionWorkspace workspace;
    workspace.prepare(detection.sigma, (uint32_t)(paddedWidth ? paddedWidth : width),
                      (uint32_t)(paddedWidth ? paddedRows : std::min(layout.height, own + 2 * margin)));
    qint64 bandTop = 0, bandEnd = 0;  // the rows in `band`
    for (qint64 first = 0; first < layout.height; first += own) {
        const qint64 top = std::max<qint64>(0, first - margin);
        const qint64 end = std::min(layout.height, first + own + margin);
        // The rows the last band shares with this one move up; the rest are read.
        const qint64 kept = bandEnd > top ? bandEnd - top : 0;
        if (kept > 0)
            std::memmove(band.get(), band.get() + (size_t)((top - bandTop) * width), (size_t)(kept * width));
        if (!rows.read(top + kept, end - top - kept, band.get() + (size_t)(kept * width), error))
            return false;
        bandTop = top;
        bandEnd = end;

        // The rows the band's run covers: from `frameTop` of the picture,
        // `frameColumn` columns left of it.
        qint64 frameTop = top, frameColumn = 0;
        QImage frame(band.get(), (int)width, (int)(end - top), (int)width, QImage::Format_Grayscale8);
        if (paddedWidth) {
            frameTop = first - margin;
            frameColumn = margin;
            const qint64 frameRows = std::min(layout.height, first + own) + margin - frameTop;
            if (padGreyRows(band.get(), (uint32_t)width, top, (uint32_t)(end - top), layout.height, frameTop,
                            (uint32_t)frameRows, (uint32_t)margin, border, padded.get())
                != HESSIAN_OK) {
                *error = QStringLiteral("not enough memory for a band of %1 rows").arg(frameRows);
                return false;
            }
            frame = QImage(padded.get(), (int)paddedWidth, (int)frameRows, (int)paddedWidth, QImage::Format_Grayscale8);
        }
        detection.origin.x = -frameColumn;
        detection.origin.y = frameTop;
        DetectionResult part = runDetection(frame, detection, &workspace);
        for (Feature &feature : part.features) {
            feature.x = (float)((qint64)feature.x - frameColumn);
            feature.y = (float)((qint64)feature.y + frameTop);
        }
        ++picture->bands;
        result.elapsedMsec += part.elapsedMsec;
        if (part.status != HESSIAN_OK) {
            result.status = part.status;
            result.features.clear();
            result.measures.clear();
            return true;
        }
        result.features += part.features;
        result.measures += part.measures;
        // Without padding, the band that reaches the last row covers every
        // row left that a run searches.
        if (!paddedWidth && end == layout.height)
            break;
    }
    picture->notice = stretchNotice(picture->stretch, std::min(rows.low, rows.high), rows.high);
    picture->damage = layout.damage;
    return true;
}

} // namespace

bool runStreamed(const QString &path, const StreamSettings &settings, StreamedPicture *picture, QString *error)
{
    const std::unique_ptr<PictureSource> source = openPath(path, error);
    return source && runStreamed(*source, settings, picture, error);
}

bool runStreamed(PictureSource &source, const StreamSettings &settings, StreamedPicture *picture, QString *error)
{
    try {
        return runBands(source, settings, picture, error);
    } catch (const std::bad_alloc &) {
        *error = QStringLiteral("not enough memory to read the picture");
    } catch (const std::exception &exception) {
        *error = QStringLiteral("the picture cannot be read: %1").arg(QString::fromLocal8Bit(exception.what()));
    }
    return false;
}
