// The detection job: the only code that runs off the GUI thread. It works on
// its own copy of the frame and its own locals (or a workspace that one
// thread lends it), and returns a plain record.

#include "detectionjob.h"

#include "candidateresponses.h"
#include "detectionpaths.h"
#include "greyconversion.h"
#include "localmaxima.h"
#include "runreport.h"

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

// The frame's grey levels extended by `margin` on every side as `mode`
// says, into the workspace's grey image (width + 2 margin wide): from the
// frame itself when it is 8-bit grey without padding, otherwise converted
// first. False when memory is short.
bool paddedGreyInput(const QImage &frame, uint32_t margin, BorderMode mode, DetectionWorkspace &space,
                     GreyConversion toGrey, const HessianRunConfig &config)
{
    const uint32_t width = (uint32_t)frame.width(), height = (uint32_t)frame.height();
    const unsigned char *grey = nullptr;
    if (!toGrey && frame.format() == QImage::Format_Grayscale8 && frame.bytesPerLine() == frame.width()) {
        grey = frame.constBits();
    } else {
        unsigned char *room = space.unpaddedGrey((size_t)width * height);
        if (!room)
            return false;
        if (toGrey)
            toGrey(frame, room);
        else
            convertToGrey(frame, room, config);
        grey = room;
    }
    return padGreyRows(grey, width, 0, height, height, -(int64_t)margin, height + 2 * margin, margin, mode,
                       space.grey())
           == HESSIAN_OK;
}

// The features of a run on the frame padded by `margin` that lie in the
// frame, their pixels moved to the frame's coordinates (their measures are
// already in the picture's: the run's origin was moved by the margin).
void keepFramePart(uint32_t margin, uint32_t width, uint32_t height, QVector<Feature> &features,
                   QVector<FeatureMeasure> &measures)
{
    if (margin == 0)
        return;
    keepFeaturesWhere(features, measures, [&](int i) {
        const uint32_t x = (uint32_t)features[i].x, y = (uint32_t)features[i].y;
        return x >= margin && y >= margin && x - margin < width && y - margin < height;
    });
    for (Feature &f : features) {
        f.x = (float)((uint32_t)f.x - margin);
        f.y = (float)((uint32_t)f.y - margin);
    }
}

// The origin of a run on the frame padded by `margin`.
FrameOrigin paddedOrigin(FrameOrigin origin, uint32_t margin)
{
    origin.x -= margin;
    origin.y -= margin;
    return origin;
}

// How a run extends the frame: the border, the margin it pads by (0 for
// interior) and the size of the padded frame.
struct PaddedFrame {
    BorderMode border = BORDER_INTERIOR;
    uint32_t margin = 0;
    uint32_t width = 0;
    uint32_t height = 0;
};

// Returns the status of setting the run's kernels up, or HESSIAN_NO_MEMORY
// for a padded size beyond the detector's 32-bit sizes.
int paddedFrameOf(const QImage &frame, const DetectionSettings &settings, PaddedFrame *padded)
{
    // An empty frame has nothing to extend.
    padded->border = frame.width() == 0 || frame.height() == 0
                         ? BORDER_INTERIOR
                         : resolvedBorder(settings.border,
                                          settings.sigmaList.isEmpty() ? settings.scales : settings.sigmaList.size());
    const int status = padded->border == BORDER_INTERIOR ? HESSIAN_OK : runMargin(settings, &padded->margin);
    if (status != HESSIAN_OK)
        return status;
    const uint64_t w = (uint64_t)frame.width() + 2 * (uint64_t)padded->margin;
    const uint64_t h = (uint64_t)frame.height() + 2 * (uint64_t)padded->margin;
    if (w > UINT32_MAX || h > UINT32_MAX)
        return HESSIAN_NO_MEMORY;
    padded->width = (uint32_t)w;
    padded->height = (uint32_t)h;
    return HESSIAN_OK;
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
// the wanted polarity that lie in the frame (padded by `margin`), pruned.
int scaleRangeFeatures(const DetectionSettings &settings, float threshold, uint32_t margin,
                       const HessianRunConfig &config, DetectionWorkspace &space, QVector<Feature> &features,
                       QVector<FeatureMeasure> &measures)
{
    const HessianScaleSpace *levels = space.scaleSpace();
    int status = findScaleSpaceMaxima(space.scaleSpace(), space.grey(), threshold, config, features, measures,
                                      paddedOrigin(settings.origin, margin));
    if (status == HESSIAN_OK) {
        keepFramePart(margin, levels->width - 2 * margin, levels->height - 2 * margin, features, measures);
        keepPolarity(settings.polarity, features, measures);
        status = pruneOverlappingFeatures(features, measures, settings.overlap, kBlobRadiusPerSigma);
    }
    return status;
}

// The candidates of a scale-range run: the same search again, at the floor.
// A threshold above it keeps exactly the candidates above the threshold:
// the threshold gates only a feature's own pixel, and the pruning, strongest
// first, weighs a feature only against stronger ones.
QVector<float> scaleRangeCandidates(const DetectionSettings &settings, uint32_t margin,
                                    const HessianRunConfig &config, DetectionWorkspace &space)
{
    QVector<Feature> features;
    QVector<FeatureMeasure> measures;
    if (scaleRangeFeatures(settings, candidateFloor(settings), margin, config, space, features, measures)
        != HESSIAN_OK)
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
    PaddedFrame padded;
    int status = paddedFrameOf(source, settings, &padded);
    if (status != HESSIAN_OK)
        return failedResult(status, 0.0f);
    const uint32_t margin = padded.margin;
    status = settings.sigmaList.isEmpty() ? space.prepareRange(settings.sigma, settings.sigmaMax,
                                                                (uint32_t)settings.scales, padded.width, padded.height)
                                          : space.prepareRange(settings.sigmaList, padded.width, padded.height);
    if (status != HESSIAN_OK)
        return failedResult(status, 0.0f);
    const HessianRunConfig config = runConfig(settings);
    if (margin == 0)
        convertToGrey(source, space.grey(), config);
    else if (!paddedGreyInput(source, margin, padded.border, space, nullptr, config))
        return failedResult(HESSIAN_NO_MEMORY, 0.0f);

    QVector<Feature> features;
    QVector<FeatureMeasure> measures;
    QElapsedTimer stopwatch;
    stopwatch.start();
    status = scaleRangeFeatures(settings, settings.threshold, margin, config, space, features, measures);
    const float elapsedMsec = (float)((double)stopwatch.nsecsElapsed() / 1.0e6);
    if (status != HESSIAN_OK)
        return failedResult(status, elapsedMsec);
    DetectionResult result{features, HESSIAN_OK, elapsedMsec, measures};
    if (settings.candidates)
        result.candidateResponses = scaleRangeCandidates(settings, margin, config, space);
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
    releaseHessianScaleSpace(&levels);
    // Another sigma, or a frame of no more pixels, keeps the buffers.
    const int status = reinitHessianDetector(&record, sigma, width, height);
    if (status != HESSIAN_OK) {
        release();
        return status;
    }
    if (!allocateGrey(width, height))
        return HESSIAN_NO_MEMORY;
    preparedSigma = sigma;
    return HESSIAN_OK;
}

bool DetectionWorkspace::allocateGrey(uint32_t width, uint32_t height)
{
    const size_t pixels = std::max<size_t>((size_t)width * height, 1);
    if (greyImage && pixels <= greyCapacity)
        return true;
    std::free(greyImage);
    greyImage = (unsigned char *)allocateFrameBuffer(pixels);
    greyCapacity = greyImage ? pixels : 0;
    if (!greyImage)
        release();
    return greyImage != nullptr;
}

int DetectionWorkspace::prepareRange(float sigmaMin, float sigmaMax, uint32_t scales, uint32_t width,
                                     uint32_t height)
{
    if (levels.levelCount == scales && greyImage && levels.width == width && levels.height == height
        && levels.sigmas[0] == sigmaMin && levels.sigmas[scales - 1] == sigmaMax && levels.logStep > 0.0)
        return HESSIAN_OK;
    releaseRecords();
    const int status = initHessianScaleSpace(&levels, sigmaMin, sigmaMax, scales, width, height);
    if (status != HESSIAN_OK)
        return status;
    return allocateGrey(width, height) ? HESSIAN_OK : HESSIAN_NO_MEMORY;
}

int DetectionWorkspace::prepareRange(const QVector<float> &sigmas, uint32_t width, uint32_t height)
{
    const uint32_t count = (uint32_t)sigmas.size();
    if (count > 0 && levels.levelCount == count && greyImage && levels.width == width && levels.height == height
        && std::memcmp(levels.sigmas, sigmas.constData(), count * sizeof(float)) == 0 && levels.logStep == 0.0)
        return HESSIAN_OK;
    releaseRecords();
    const int status = initHessianScaleSpaceAt(&levels, sigmas.constData(), count, width, height);
    if (status != HESSIAN_OK)
        return status;
    return allocateGrey(width, height) ? HESSIAN_OK : HESSIAN_NO_MEMORY;
}

unsigned char *DetectionWorkspace::unpaddedGrey(size_t bytes)
{
    try {
        unpadded.resize(std::max<size_t>(bytes, 1));
    } catch (const std::bad_alloc &) {
        return nullptr;
    }
    return unpadded.data();
}

void DetectionWorkspace::releaseRecords()
{
    releaseHessianDetector(&record);
    releaseHessianScaleSpace(&levels);
}

void DetectionWorkspace::release()
{
    std::free(greyImage);
    greyImage = nullptr;
    greyCapacity = 0;
    releaseRecords();
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
    if (settings.scales > 1 || !settings.sigmaList.isEmpty())
        return runScaleRange(source, settings, space);
    PaddedFrame padded;
    int status = paddedFrameOf(source, settings, &padded);
    if (status != HESSIAN_OK)
        return failedResult(status, 0.0f);
    const uint32_t margin = padded.margin;
    status = space.prepare(settings.sigma, padded.width, padded.height);
    if (status != HESSIAN_OK)
        return failedResult(status, 0.0f);
    HessianDetector *detector = space.detector();
    const HessianRunConfig config = runConfig(settings);
    const unsigned char *grey = space.grey();
    if (margin > 0) {
        if (!paddedGreyInput(source, margin, padded.border, space, settings.toGrey, config)) {
            if (!workspace)
                space.release();
            return failedResult(HESSIAN_NO_MEMORY, 0.0f);
        }
    } else if (settings.toGrey) {
        settings.toGrey(source, space.grey());
    } else {
        grey = greyInput(source, space.grey(), config);
    }

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
        status = measureFeatures(detector, settings.sigma, features, measures.data(),
                                 paddedOrigin(settings.origin, margin));
    }
    // Read from the same map before it is released; a failure here leaves
    // the run's own result whole, without candidates.
    QVector<float> candidates;
    if (status == HESSIAN_OK && settings.candidates)
        findCandidateResponses(detector, candidateFloor(settings), wantedPolarity(settings.polarity), config,
                               candidates, margin);
    if (!workspace)
        space.release();

    if (status == HESSIAN_OK && runCancelled(config))
        status = HESSIAN_CANCELLED;
    if (status != HESSIAN_OK)
        return failedResult(status, elapsedMsec);
    keepFramePart(margin, (uint32_t)source.width(), (uint32_t)source.height(), features, measures);
    keepPolarity(settings.polarity, features, measures);
    return DetectionResult{features, HESSIAN_OK, elapsedMsec, measures, candidates};
}

namespace {

// What a run at these settings sets up, without a picture: the radius of
// its largest kernel and how far its results read (its margin).
struct KernelReach {
    uint32_t radius = 0;
    uint32_t margin = 0;
};

int probeKernels(const DetectionSettings &settings, KernelReach *reach)
{
    *reach = KernelReach();
    if (settings.scales <= 1 && settings.sigmaList.isEmpty()) {
        HessianDetector probe = {};
        const int status = initHessianDetector(&probe, settings.sigma, 0, 0);
        if (status == HESSIAN_OK) {
            reach->radius = probe.radius;
            reach->margin = probe.radius + 1;
        }
        releaseHessianDetector(&probe);
        return status;
    }
    HessianScaleSpace probe = {};
    const int status = settings.sigmaList.isEmpty()
                           ? initHessianScaleSpace(&probe, settings.sigma, settings.sigmaMax,
                                                   (uint32_t)settings.scales, 0, 0)
                           : initHessianScaleSpaceAt(&probe, settings.sigmaList.constData(),
                                                     (uint32_t)settings.sigmaList.size(), 0, 0);
    if (status == HESSIAN_OK) {
        reach->radius = probe.levels[probe.levelCount - 1].radius;
        reach->margin = scaleSpaceMargin(&probe);
    }
    releaseHessianScaleSpace(&probe);
    return status;
}

} // namespace

int runMargin(const DetectionSettings &settings, uint32_t *margin)
{
    KernelReach reach;
    const int status = probeKernels(settings, &reach);
    *margin = reach.margin;
    return status;
}

uint32_t largestKernelRadius(const DetectionSettings &settings)
{
    KernelReach reach;
    probeKernels(settings, &reach);
    return reach.radius;
}

QString nothingSearched(const DetectionSettings &settings, int width, int height)
{
    const int scales = settings.sigmaList.isEmpty() ? settings.scales : settings.sigmaList.size();
    if (resolvedBorder(settings.border, scales) != BORDER_INTERIOR)
        return QString();
    return nothingSearchedReason(largestKernelRadius(settings), width, height);
}

bool parseBorderName(const QString &text, BorderChoice *choice)
{
    if (text == QLatin1String("interior"))
        *choice = BorderChoice::Interior;
    else if (text == QLatin1String("reflect"))
        *choice = BorderChoice::Reflect;
    else if (text == QLatin1String("nearest"))
        *choice = BorderChoice::Nearest;
    else if (text == QLatin1String("constant"))
        *choice = BorderChoice::Constant;
    else
        return false;
    return true;
}

BorderMode resolvedBorder(BorderChoice choice, int scales)
{
    switch (choice) {
    case BorderChoice::Interior:
        return BORDER_INTERIOR;
    case BorderChoice::Reflect:
        return BORDER_REFLECT;
    case BorderChoice::Nearest:
        return BORDER_NEAREST;
    case BorderChoice::Constant:
        return BORDER_CONSTANT;
    case BorderChoice::Default:
        break;
    }
    return scales > 1 ? BORDER_REFLECT : BORDER_INTERIOR;
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
    current = run;
    return true;
}

void RunTurns::end()
{
    QMutexLocker locker(&mutex);
    // The buffers wait only for a run already started: a window that is
    // done holds no detector.
    if (current == latest)
        space.release();
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
    return runDetection(frame, settings, turns->workspace());
}
