// The detection job: the only code that runs off the GUI thread. It works on
// its own copy of the frame and its own locals, and returns a plain record.

#include "detectionjob.h"

#include "hessiandetector.h"
#include "localmaxima.h"

#include <QElapsedTimer>
#include <QImage>

#include <cstdlib>

namespace {

// Frames are read as 32-bit pixels with blue, green, red in the low three
// bytes; the alpha byte of the two ARGB32 layouts is ignored and
// premultiplied channels are taken as stored.
bool readableAsIs(const QImage &frame)
{
    switch (frame.format()) {
    case QImage::Format_RGB32:
    case QImage::Format_ARGB32:
    case QImage::Format_ARGB32_Premultiplied:
        return true;
    default:
        return false;
    }
}

DetectionResult failedResult(int status, float elapsedMsec)
{
    return DetectionResult{QVector<Feature>(), status, elapsedMsec};
}

} // namespace

// g = (B * 0.114 + G * 0.587) + R * 0.299 in float, in exactly this order,
// truncated toward zero. White gives exactly 255 and every grey v gives v,
// so nothing needs clamping.
void convertFrameToGrey(const QImage &frame, unsigned char *grey)
{
    const int width = frame.width();
    const int height = frame.height();
    for (int y = 0; y < height; ++y) {
        const QRgb *pixels = reinterpret_cast<const QRgb *>(frame.constScanLine(y));
        unsigned char *greyRow = grey + (size_t)y * (size_t)width;
        for (int x = 0; x < width; ++x) {
            const QRgb p = pixels[x];
            const float g = ((float)qBlue(p) * 0.114f + (float)qGreen(p) * 0.587f)
                            + (float)qRed(p) * 0.299f;
            greyRow[x] = (unsigned char)(int)g;
        }
    }
}

DetectionResult runDetectionJob(const QImage &frame, float sigma, float threshold)
{
    // The loaders hand over 32-bit RGB frames; anything else is brought to
    // that layout here rather than read out of bounds.
    const QImage source = readableAsIs(frame) ? frame : frame.convertToFormat(QImage::Format_RGB32);
    if (source.isNull() && !frame.isNull())
        return failedResult(HESSIAN_NO_MEMORY, 0.0f);

    HessianDetector detector = {};
    int status = initHessianDetector(&detector, sigma, (uint32_t)source.width(), (uint32_t)source.height());
    if (status != HESSIAN_OK)
        return failedResult(status, 0.0f);

    const size_t pixels = (size_t)detector.width * detector.height;
    unsigned char *grey = (unsigned char *)std::malloc(pixels ? pixels : 1);
    if (!grey) {
        releaseHessianDetector(&detector);
        return failedResult(HESSIAN_NO_MEMORY, 0.0f);
    }
    convertFrameToGrey(source, grey);

    // Only the two numeric stages are timed, on a monotonic clock with
    // nanosecond resolution.
    QVector<Feature> features;
    QElapsedTimer stopwatch;
    stopwatch.start();
    status = computeHessianResponse(&detector, grey);
    if (status == HESSIAN_OK)
        status = findLocalMaxima(detector.response, detector.width, detector.height, threshold,
                                 detector.radius, features);
    const float elapsedMsec = (float)((double)stopwatch.nsecsElapsed() / 1.0e6);

    std::free(grey);
    releaseHessianDetector(&detector);

    if (status != HESSIAN_OK)
        return failedResult(status, elapsedMsec);
    return DetectionResult{features, HESSIAN_OK, elapsedMsec};
}

quint64 RunTurns::start()
{
    QMutexLocker locker(&mutex);
    ++latest;
    changed.wakeAll();
    return latest;
}

bool RunTurns::begin(quint64 run)
{
    QMutexLocker locker(&mutex);
    while (running && run == latest)
        changed.wait(&mutex);
    if (run != latest)
        return false;
    running = true;
    return true;
}

void RunTurns::end()
{
    QMutexLocker locker(&mutex);
    running = false;
    changed.wakeAll();
}

DetectionResult runInTurn(const std::shared_ptr<RunTurns> &turns, quint64 run, const QImage &frame, float sigma,
                          float threshold)
{
    if (!turns->begin(run))
        return failedResult(HESSIAN_BAD_SIGMA, 0.0f);  // any failure: never shown
    // The turn passes on even when the job throws (out of memory).
    struct EndTurn {
        RunTurns *turns;
        ~EndTurn() { turns->end(); }
    } endTurn{turns.get()};
    return runDetectionJob(frame, sigma, threshold);
}

HessianMaximaMainWin::_HessianDetMaxResult
HessianMaximaMainWin::detectHessianDetMax(const QImage &frame, float sigma, float threshold)
{
    return runDetectionJob(frame, sigma, threshold);
}
