// Fuzzes what happens to a file a person picks: the bytes go through the
// program's frame loading (every installed Qt image plug-in, format detected
// from the content) and, when a frame comes out, through the detection job.
// Either a refusal with a reason or a successful run must come out.
//
// Input: byte 0 picks sigma in 0.5..6, bytes 1-2 the threshold (a signed
// 16-bit number of eighths; its lowest two bits also pick the stretch:
// the picture's default, minmax or percentile), the rest is the file.

#include "detectionjob.h"
#include "frameloading.h"
#include "hessiandetector.h"

#include <QBuffer>
#include <QByteArray>
#include <QCoreApplication>
#include <QImageReader>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

namespace {

// Fuzzing only: the program opens frames up to kMaxFramePixels, but one
// execution must stay well under a second, so larger header claims are
// skipped before decoding and larger decoded frames are not searched.
const qint64 kFuzzMaxPixels = qint64(1) << 20;

const size_t kHeaderBytes = 3;

void check(bool condition, const char *what)
{
    if (!condition) {
        std::fprintf(stderr, "fuzz_load_job: broken: %s\n", what);
        std::abort();
    }
}

// Hostile files make the plug-ins warn a lot; only a fatal message matters.
void quietMessages(QtMsgType type, const QMessageLogContext &, const QString &message)
{
    if (type == QtFatalMsg) {
        std::fprintf(stderr, "%s\n", message.toLocal8Bit().constData());
        std::abort();
    }
}

// The size the loader checks against the limit before decoding, found the
// way it finds it; invalid when it refuses the file before decoding.
QSize checkedSize(const QByteArray &file)
{
    QByteArray copy = file;
    QBuffer buffer(&copy);
    buffer.open(QIODevice::ReadOnly);
    return frameSizeBeforeDecoding(&buffer);
}

qint64 pixelsOf(QSize size)
{
    return (qint64)size.width() * size.height();
}

void checkFeatures(const DetectionResult &result, const QImage &frame, float sigma)
{
    check(result.status == HESSIAN_OK, "the job failed on a small frame at a usable sigma");
    // Radius of the kernels: at most 3 sigma + 0.5; features keep one more.
    const float margin = std::floor(3.0f * sigma + 0.5f) + 1.0f;
    for (int i = 0; i < result.features.size(); ++i) {
        const Feature &f = result.features[i];
        check(f.x == std::floor(f.x) && f.y == std::floor(f.y), "feature not on a pixel");
        check(f.x >= margin && f.x < frame.width() - margin && f.y >= margin
                  && f.y < frame.height() - margin,
              "feature inside the border margin");
        if (i > 0) {
            const Feature &p = result.features[i - 1];
            check(p.y < f.y || (p.y == f.y && p.x < f.x), "features not in row-major order");
        }
    }
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *argc, char ***argv)
{
    qInstallMessageHandler(quietMessages);
    // Lives for the whole run: the image plug-ins are found through it.
    static QCoreApplication application(*argc, *argv);
    const QList<QByteArray> formats = QImageReader::supportedImageFormats();
    for (const char *needed : {"png", "jpeg", "gif", "bmp", "ppm", "tiff", "webp"})
        if (!formats.contains(needed)) {
            std::fprintf(stderr, "fuzz_load_job: no Qt image plug-in for %s\n", needed);
            std::abort();
        }
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < kHeaderBytes)
        return 0;
    const float sigma = 0.5f + (float)data[0] * (5.5f / 255.0f);
    const float threshold = (float)(int16_t)(data[1] | data[2] << 8) / 8.0f;
    QByteArray file((const char *)data + kHeaderBytes, (int)(size - kHeaderBytes));

    const QSize checked = checkedSize(file);
    const bool refusedClaim = checked.isValid() && pixelsOf(checked) > kMaxFramePixels;
    if (!refusedClaim && pixelsOf(checked) > kFuzzMaxPixels)
        return 0;

    QBuffer device(&file);
    device.open(QIODevice::ReadOnly);
    LoadOptions options;
    const int stretch = data[1] & 3;
    options.stretch.mode = stretch == 1 ? StretchMode::MinMax : stretch == 2 ? StretchMode::Percentile
                                                                             : StretchMode::Default;
    LoadedPicture picture;
    QString error;
    QString damage = QStringLiteral("not set");
    const bool loaded = loadPicture(&device, options, &picture, &error, &damage);
    const QImage frame = loaded ? picture.frame : QImage();
    if (refusedClaim)
        check(!loaded, "a frame over the pixel limit was decoded");
    if (!loaded) {
        check(!error.isEmpty(), "a refusal without a reason");
        check(picture.frame.isNull(), "a refusal changed the frame");
        return 0;
    }
    check(!frame.isNull() && (frame.format() == QImage::Format_RGB32 || frame.format() == QImage::Format_Grayscale8),
          "a loaded frame is empty or not in the detection layout");
    check(damage != QLatin1String("not set"), "the damage report was not set");
    check(pixelsOf(frame.size()) <= kMaxFramePixels, "a loaded frame is over the pixel limit");
    // The limit is checked on the size found before decoding: a frame larger
    // than that, or one without it, got past the check.
    check(checked.isValid(), "a frame was decoded without its size known in advance");
    check(pixelsOf(frame.size()) <= pixelsOf(checked), "a frame is larger than the size checked before decoding");
    if (pixelsOf(frame.size()) > kFuzzMaxPixels)
        return 0;

    checkFeatures(runDetectionJob(frame, sigma, threshold), frame, sigma);
    return 0;
}
