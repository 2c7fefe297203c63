#ifndef DETECTIONJOB_H
#define DETECTIONJOB_H

#include "borderpadding.h"
#include "featuremeasures.h"
#include "hessiandetector.h"
#include "detectionresult.h"
#include "scalespace.h"

#include <QMutex>
#include <QString>
#include <QWaitCondition>

#include <atomic>
#include <memory>
#include <vector>

class QImage;

// A grey conversion: the frame's grey levels into `grey` (stride width).
using GreyConversion = void (*)(const QImage &frame, unsigned char *grey);

// Which features a run keeps, by polarity (featuremeasures.h).
enum class PolarityFilter { Both, Bright, Dark };

// A polarity filter as the front ends name it: "both", "bright" or "dark".
// False, and `filter` left alone, for any other text.
bool parsePolarityName(const QString &text, PolarityFilter *filter);

// How a run treats the picture's borders (borderpadding.h): Default is
// interior for a single sigma, as that run has always searched, and reflect
// for a scale range, so that a blob at an edge is found at its own scale.
enum class BorderChoice { Default, Interior, Reflect, Nearest, Constant };

// A border as the front ends name it: "interior", "reflect", "nearest" or
// "constant". False, and `choice` left alone, for any other text.
bool parseBorderName(const QString &text, BorderChoice *choice);

// The border a run with `scales` levels uses when asked for `choice`.
BorderMode resolvedBorder(BorderChoice choice, int scales);

// What a scale-range run uses unless told otherwise: the overlap allowed
// between two features' blobs, chosen by the accuracy benchmark
// (tools/accuracy, README), and as many scales as scikit-image's blob
// detectors take by default. The threshold is the single-scale one: a spot
// of contrast A peaks at a response of about A^2 / 16.
const float kDefaultOverlap = 0.1f;
const int kDefaultScales = 10;
// The most scales the front ends let a range have.
const int kMaxScales = 1000;

// What a run is asked to do. The defaults are the window's initial values.
struct DetectionSettings {
    float sigma = 5.0f;  // with a scale range, its smallest sigma
    float threshold = 100.0f;
    PolarityFilter polarity = PolarityFilter::Both;
    // Threads for the numeric stages; 0: every hardware thread. A batch that
    // runs one picture per core gives each run one.
    unsigned threads = 0;
    // Null: the usual conversion. Another one lets a test see which stages
    // the reported time covers.
    GreyConversion toGrey = nullptr;
    // 1: the single-scale run at sigma. 2 or more: a scale-range run over
    // that many log-spaced scales from sigma to sigmaMax (scalespace.h),
    // whose features' blobs overlap by at most `overlap` (1 keeps all).
    int scales = 1;
    float sigmaMax = 0.0f;
    // Not empty: a scale-range run at these sigmas (increasing, at least
    // two) instead of the log-spaced ones; sigma, sigmaMax and scales are
    // then its first, its last and its number.
    QVector<float> sigmaList;
    float overlap = kDefaultOverlap;
    // A run on the picture extended beyond its borders (BorderChoice) finds
    // the features of every pixel of it: the features and measures of a run
    // on the explicitly padded picture that lie in the picture, in its
    // coordinates.
    BorderChoice border = BorderChoice::Default;
    // The frame as a tile of a larger picture (featuremeasures.h): sub-pixel
    // positions are given in that picture; the features' pixels stay the
    // frame's own.
    FrameOrigin origin;
    // Also hand back the responses of the candidates (the record's
    // candidateResponses), for choosing a threshold. Costs a maxima search
    // after the timed span; a scale-range run runs its search again.
    bool candidates = false;
    // Raised by another thread to stop the run between bands of rows: the
    // run then fails with HESSIAN_CANCELLED. Must outlive the run.
    const std::atomic<bool> *cancel = nullptr;
};

// A detector record kept set up between runs, with its grey image, so that
// runs on pictures of the same size and sigma allocate nothing and take no
// page faults after the first; another sigma, or a picture of no more
// pixels, keeps the buffers too. One workspace serves one thread at a time.
class DetectionWorkspace
{
public:
    DetectionWorkspace() = default;
    ~DetectionWorkspace();
    DetectionWorkspace(const DetectionWorkspace &) = delete;
    DetectionWorkspace &operator=(const DetectionWorkspace &) = delete;

    // The record set up for sigma and the size (kept when they match the
    // last ones, its buffers kept when they hold the size), and a grey
    // image of that size; status as set-up gives it.
    int prepare(float sigma, uint32_t width, uint32_t height);
    HessianDetector *detector() { return &record; }
    // The same for scale-range runs, which need a scale-space record instead.
    int prepareRange(float sigmaMin, float sigmaMax, uint32_t scales, uint32_t width, uint32_t height);
    // The same for a range at the sigmas given.
    int prepareRange(const QVector<float> &sigmas, uint32_t width, uint32_t height);
    HessianScaleSpace *scaleSpace() { return &levels; }
    unsigned char *grey() { return greyImage; }
    // Room for a frame's own grey levels before they are padded.
    unsigned char *unpaddedGrey(size_t bytes);
    void release();

private:
    // The grey image beside a record just set up (the one there when it
    // holds the size); on failure releases all.
    bool allocateGrey(uint32_t width, uint32_t height);
    // Both records, the grey image kept.
    void releaseRecords();

    HessianDetector record = {};
    HessianScaleSpace levels = {};
    unsigned char *greyImage = nullptr;
    size_t greyCapacity = 0;  // bytes greyImage holds
    float preparedSigma = 0.0f;
    std::vector<unsigned char> unpadded;
};

// One complete detection run over a frame: grey conversion, detector set-up,
// the timed response computation and maxima search, then, outside the timed
// span, the measurements of every feature and the polarity filter, and
// release. The window's detectHessianDetMax and the command-line tool both
// run this. Without a workspace the run sets up and releases its own record.
// A scale-range run times the whole search instead: every level's response
// and maxima, the measurements it takes while each level is at hand, the
// polarity filter and the overlap pruning (which, after the filter, only
// weighs features of the kind kept).
DetectionResult runDetection(const QImage &frame, const DetectionSettings &settings,
                             DetectionWorkspace *workspace = nullptr);

// How far every result of a run at these settings reads around its pixel:
// what a picture is padded by when its border is extended, and what a tile
// needs of its neighbours to give the features of the whole picture. A
// single sigma: its kernel radius + 1; a range: scaleSpaceMargin. Returns
// the status of setting the run's kernels up.
int runMargin(const DetectionSettings &settings, uint32_t *margin);

// The radius of the largest kernel a run with these settings sets up (its
// sigma's, or a range's largest sigma's); 0 when set-up refuses them.
uint32_t largestKernelRadius(const DetectionSettings &settings);

// Why a run with these settings finds nothing on width x height pixels,
// whatever they hold (nothingSearchedReason of its largest kernel), or an
// empty string: a run that extends the picture's border searches every
// pixel of it.
QString nothingSearched(const DetectionSettings &settings, int width, int height);

// The plain run: sigma and threshold, every feature kept.
DetectionResult runDetectionJob(const QImage &frame, float sigma, float threshold,
                                GreyConversion toGrey = nullptr);

// The turns of the runs the window starts. Only the latest run is ever
// reported, so a run waits until the one in progress is done, and gives up
// without touching its frame as soon as a later one has been started: a
// storm of starts costs the run in progress and the last one, one after
// the other, on any number of cores.
class RunTurns
{
public:
    // The number of a run being started; the runs still waiting give up.
    quint64 start();
    // Waits for the run's turn: true when it has come, false when a later
    // run has been started. A run that got its turn calls end().
    bool begin(quint64 run);
    void end();
    // The workspace of the run whose turn it is, from begin() to end(): a
    // run started while another was going keeps its buffers (a storm of
    // starts at other sigmas maps no memory again); the last run gives
    // them back as it ends.
    DetectionWorkspace *workspace() { return &space; }

private:
    DetectionWorkspace space;
    QMutex mutex;
    QWaitCondition changed;
    quint64 latest = 0;
    quint64 current = 0;  // the run whose turn it is
    bool running = false;
};

// The job as the window starts it, in its turn. A run that gives up
// returns a record that is never shown; it says "failed" and holds nothing.
DetectionResult runInTurn(const std::shared_ptr<RunTurns> &turns, quint64 run, const QImage &frame,
                          const DetectionSettings &settings);

// Grey level of every pixel of a frame in the 32-bit RGB layout (or of an
// 8-bit grey frame, taken as it is), written to `grey` (width * height
// bytes, stride width).
void convertFrameToGrey(const QImage &frame, unsigned char *grey);

#endif // DETECTIONJOB_H
