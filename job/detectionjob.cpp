// The detection job: the only code that runs off the GUI thread. It works on
// its own copy of the frame and its own locals (or a workspace that one
// thread lends it), and returns a plain record.

#include "detectionjob.h"

#include "candidateresponses.h"
#include "detectionpaths.h"
#include "greyconversion.h"
#include "localmaxima.h"

#include <QElapsedTimer>
#include <QImage>

#include <algorithm>
#include <cstdlib>
#include <cstring>

namespace {

// Frames are read as 32-bit pixels with blue, green, red in the low three
// bytes; the alpha byte of the two ARGB32 layouts is ignored and
// premultiplied channels are taken as stored. 8-bit grey frames are the
// detector's input already: a grey level v converts to exactly v.
bool readableAsIs(const QImage &frame)
{
    switch (frame.format()) {
    case QImage::Format_RGB32:
    case QImage::Format_ARGB32:
    case QImage::Format_ARGB32_Premultiplied:
    case QImage::Format_Grayscale8:
        return true;
    default:
        return false;
    }
}

DetectionResult failedResult(int status, float elapsedMsec)
{
    return DetectionResult{QVector<Feature>(), status, elapsedMsec, QVector<FeatureMeasure>()};
}

HessianRunConfig runConfig(const DetectionSettings &settings)
{
    HessianRunConfig config = defaultRunConfig();
    config.threads = settings.threads;
    config.cancel = settings.cancel;
    return config;
}

void convertToGrey(const QImage &frame, unsigned char *grey, const HessianRunConfig &config)
{
    const uint32_t width = (uint32_t)frame.width();
    const uint32_t height = (uint32_t)frame.height();
    if (frame.format() == QImage::Format_Grayscale8) {
        for (uint32_t y = 0; y < height; ++y)
            std::memcpy(grey + (size_t)y * width, frame.constScanLine((int)y), width);
        return;
    }
    if (width == 0 || height == 0)
        return;
    convertRgb32ToGreyWith(reinterpret_cast<const uint32_t *>(frame.constBits()),
                           (size_t)frame.bytesPerLine() / 4, width, height, grey, config);
}

// The detector's input: an 8-bit grey frame without padding is used as it
// is, anything else is converted into `room`.
const unsigned char *greyInput(const QImage &frame, unsigned char *room, const HessianRunConfig &config)
{
    if (frame.format() == QImage::Format_Grayscale8 && frame.bytesPerLine() == frame.width())
        return frame.constBits();
    convertToGrey(frame, room, config);
    return room;
}

// FEATURE_BRIGHT or FEATURE_DARK, or 0 for both.
int8_t wantedPolarity(PolarityFilter filter)
{
    return filter == PolarityFilter::Both ? 0 : filter == PolarityFilter::Bright ? FEATURE_BRIGHT : FEATURE_DARK;
}

// The lowest threshold whose features the candidates cover: the window's
// lowest, 0, or the run's own when it is below that.
float candidateFloor(const DetectionSettings &settings)
{
    return std::min(0.0f, settings.threshold);
}

// Keeps the features (and their measures) of the wanted polarity, in order.
void keepPolarity(PolarityFilter filter, QVector<Feature> &features, QVector<FeatureMeasure> &measures)
{
    if (filter == PolarityFilter::Both)
        return;
    const int8_t wanted = wantedPolarity(filter);
    keepFeaturesWhere(features, measures, [&](int i) { return measures[i].polarity == wanted; });
}

// The features a scale-range search at `threshold` keeps: its maxima of
// the wanted polarity, pruned.
int scaleRangeFeatures(const DetectionSettings &settings, float threshold, const HessianRunConfig &config,
                       DetectionWorkspace &space, QVector<Feature> &features, QVector<FeatureMeasure> &measures)
{
    int status = findScaleSpaceMaxima(space.scaleSpace(), space.grey(), threshold, config, features, measures,
                                      settings.origin);
    if (status == HESSIAN_OK) {
        keepPolarity(settings.polarity, features, measures);
        status = pruneOverlappingFeatures(features, measures, settings.overlap, kBlobRadiusPerSigma);
    }
    return status;
}

// The candidates of a scale-range run: the same search again, at the floor.
// A threshold above it keeps exactly the candidates above the threshold:
// the threshold gates only a feature's own pixel, and the pruning, strongest
// first, weighs a feature only against stronger ones.
QVector<float> scaleRangeCandidates(const DetectionSettings &settings, const HessianRunConfig &config,
                                    DetectionWorkspace &space)
{
    QVector<Feature> features;
    QVector<FeatureMeasure> measures;
    if (scaleRangeFeatures(settings, candidateFloor(settings), config, space, features, measures) != HESSIAN_OK)
        return QVector<float>();
    QVector<float> responses(measures.size());
    for (int i = 0; i < measures.size(); ++i)
        responses[i] = measures[i].response;
    std::sort(responses.begin(), responses.end());
    return responses;
}

DetectionResult runScaleRange(const QImage &source, const DetectionSettings &settings,
                              DetectionWorkspace &space)
{
    int status = space.prepareRange(settings.sigma, settings.sigmaMax, (uint32_t)settings.scales,
                                    (uint32_t)source.width(), (uint32_t)source.height());
    if (status != HESSIAN_OK)
        return failedResult(status, 0.0f);
    const HessianRunConfig config = runConfig(settings);
    convertToGrey(source, space.grey(), config);

    QVector<Feature> features;
    QVector<FeatureMeasure> measures;
    QElapsedTimer stopwatch;
    stopwatch.start();
    status = scaleRangeFeatures(settings, settings.threshold, config, space, features, measures);
    const float elapsedMsec = (float)((double)stopwatch.nsecsElapsed() / 1.0e6);
    if (status != HESSIAN_OK)
        return failedResult(status, elapsedMsec);
    DetectionResult result{features, HESSIAN_OK, elapsedMsec, measures};
    if (settings.candidates)
        result.candidateResponses = scaleRangeCandidates(settings, config, space);
    if (runCancelled(config))
        return failedResult(HESSIAN_CANCELLED, elapsedMsec);
    return result;
}

} // namespace

DetectionWorkspace::~DetectionWorkspace()
{
    release();
}

int DetectionWorkspace::prepare(float sigma, uint32_t width, uint32_t height)
{
    if (record.radius != 0 && greyImage && record.width == width && record.height == height
        && preparedSigma == sigma)
        return HESSIAN_OK;
    release();
    const int status = initHessianDetector(&record, sigma, width, height);
    if (status != HESSIAN_OK)
        return status;
    if (!allocateGrey(width, height))
        return HESSIAN_NO_MEMORY;
    preparedSigma = sigma;
    return HESSIAN_OK;
}

bool DetectionWorkspace::allocateGrey(uint32_t width, uint32_t height)
{
    const size_t pixels = (size_t)width * height;
    greyImage = (unsigned char *)allocateFrameBuffer(pixels ? pixels : 1);
    if (!greyImage)
        release();
    return greyImage != nullptr;
}

int DetectionWorkspace::prepareRange(float sigmaMin, float sigmaMax, uint32_t scales, uint32_t width,
                                     uint32_t height)
{
    if (levels.levelCount == scales && greyImage && levels.width == width && levels.height == height
        && levels.sigmas[0] == sigmaMin && levels.sigmas[scales - 1] == sigmaMax)
        return HESSIAN_OK;
    release();
    const int status = initHessianScaleSpace(&levels, sigmaMin, sigmaMax, scales, width, height);
    if (status != HESSIAN_OK)
        return status;
    return allocateGrey(width, height) ? HESSIAN_OK : HESSIAN_NO_MEMORY;
}

void DetectionWorkspace::release()
{
    std::free(greyImage);
    greyImage = nullptr;
    releaseHessianDetector(&record);
    releaseHessianScaleSpace(&levels);
}

bool parsePolarityName(const QString &text, PolarityFilter *filter)
{
    if (text == QLatin1String("both"))
        *filter = PolarityFilter::Both;
    else if (text == QLatin1String("bright"))
        *filter = PolarityFilter::Bright;
    else if (text == QLatin1String("dark"))
        *filter = PolarityFilter::Dark;
    else
        return false;
    return true;
}

void convertFrameToGrey(const QImage &frame, unsigned char *grey)
{
    convertToGrey(frame, grey, defaultRunConfig());
}

DetectionResult runDetection(const QImage &frame, const DetectionSettings &settings,
                             DetectionWorkspace *workspace)
{
    // The loaders hand over 32-bit RGB or 8-bit grey frames; anything else
    // is brought to the 32-bit layout here rather than read out of bounds.
    const QImage source = readableAsIs(frame) ? frame : frame.convertToFormat(QImage::Format_RGB32);
    if (source.isNull() && !frame.isNull())
        return failedResult(HESSIAN_NO_MEMORY, 0.0f);

    DetectionWorkspace ownWorkspace;
    DetectionWorkspace &space = workspace ? *workspace : ownWorkspace;
    if (settings.scales > 1)
        return runScaleRange(source, settings, space);
    int status = space.prepare(settings.sigma, (uint32_t)source.width(), (uint32_t)source.height());
    if (status != HESSIAN_OK)
        return failedResult(status, 0.0f);
    HessianDetector *detector = space.detector();
    const HessianRunConfig config = runConfig(settings);
    const unsigned char *grey = space.grey();
    if (settings.toGrey)
        settings.toGrey(source, space.grey());
    else
        grey = greyInput(source, space.grey(), config);

    // Only the two numeric stages are timed, on a monotonic clock with
    // nanosecond resolution.
    QVector<Feature> features;
    QElapsedTimer stopwatch;
    stopwatch.start();
    status = computeHessianResponseWith(detector, grey, config);
    if (status == HESSIAN_OK)
        status = findLocalMaximaWith(detector->response, detector->width, detector->height,
                                     settings.threshold, detector->radius, features, config);
    const float elapsedMsec = (float)((double)stopwatch.nsecsElapsed() / 1.0e6);

    QVector<FeatureMeasure> measures;
    if (status == HESSIAN_OK) {
        measures.resize(features.size());
        status = measureFeatures(detector, settings.sigma, features, measures.data(), settings.origin);
    }
    // Read from the same map before it is released; a failure here leaves
    // the run's own result whole, without candidates.
    QVector<float> candidates;
    if (status == HESSIAN_OK && settings.candidates)
        findCandidateResponses(detector, candidateFloor(settings), wantedPolarity(settings.polarity), config,
                               candidates);
    if (!workspace)
        space.release();

    if (status == HESSIAN_OK && runCancelled(config))
        status = HESSIAN_CANCELLED;
    if (status != HESSIAN_OK)
        return failedResult(status, elapsedMsec);
    keepPolarity(settings.polarity, features, measures);
    return DetectionResult{features, HESSIAN_OK, elapsedMsec, measures, candidates};
}

uint32_t largestKernelRadius(const DetectionSettings &settings)
{
    if (settings.scales <= 1) {
        HessianDetector probe = {};
        const int status = initHessianDetector(&probe, settings.sigma, 0, 0);
        const uint32_t radius = status == HESSIAN_OK ? probe.radius : 0;
        releaseHessianDetector(&probe);
        return radius;
    }
    HessianScaleSpace probe = {};
    const int status = initHessianScaleSpace(&probe, settings.sigma, settings.sigmaMax, (uint32_t)settings.scales, 0, 0);
    const uint32_t radius = status == HESSIAN_OK ? probe.levels[settings.scales - 1].radius : 0;
    releaseHessianScaleSpace(&probe);
    return radius;
}

DetectionResult runDetectionJob(const QImage &frame, float sigma, float threshold, GreyConversion toGrey)
{
    DetectionSettings settings;
    settings.sigma = sigma;
    settings.threshold = threshold;
    settings.toGrey = toGrey;
    return runDetection(frame, settings);
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

DetectionResult runInTurn(const std::shared_ptr<RunTurns> &turns, quint64 run, const QImage &frame,
                          const DetectionSettings &settings)
{
    if (!turns->begin(run))
        return failedResult(HESSIAN_BAD_SIGMA, 0.0f);  // any failure: never shown
    // The turn passes on even when the job throws (out of memory).
    struct EndTurn {
        RunTurns *turns;
        ~EndTurn() { turns->end(); }
    } endTurn{turns.get()};
    return runDetection(frame, settings);
}
