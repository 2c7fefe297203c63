#include "detectionjob.h"
#include "detectionpaths.h"
#include "runreport.h"
#include "testimages.h"

#include <QElapsedTimer>
#include <QtConcurrent>
#include <QtTest>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <thread>
#include <vector>

#if defined(__linux__)
#include <sys/resource.h>
#endif

namespace {

std::vector<unsigned char> greyOf(const QImage &frame)
{
    std::vector<unsigned char> grey((size_t)frame.width() * frame.height());
    convertFrameToGrey(frame, grey.data());
    return grey;
}

int greyOfPixel(QRgb pixel)
{
    QImage frame(1, 1, QImage::Format_ARGB32);
    frame.setPixel(0, 0, pixel);
    return greyOf(frame)[0];
}

// The picture's position that position p of an axis of n pixels extended
// by `mode` reads, or -1 for the constant: scipy.ndimage's rules, written
// out step by step.
int extendedPosition(int p, int n, BorderChoice mode)
{
    if (mode == BorderChoice::Constant)
        return p >= 0 && p < n ? p : -1;
    if (mode == BorderChoice::Nearest)
        return std::min(std::max(p, 0), n - 1);
    while (p < 0 || p >= n)
        p = p < 0 ? -p - 1 : 2 * n - 1 - p;
    return p;
}

// Bit for bit, field by field (a measure has padding bytes).
bool sameMeasure(const FeatureMeasure &a, const FeatureMeasure &b)
{
    return std::memcmp(&a.xSubpixel, &b.xSubpixel, sizeof(float)) == 0
           && std::memcmp(&a.ySubpixel, &b.ySubpixel, sizeof(float)) == 0
           && std::memcmp(&a.sigma, &b.sigma, sizeof(float)) == 0
           && std::memcmp(&a.response, &b.response, sizeof(float)) == 0 && a.polarity == b.polarity;
}

bool sameMeasures(const DetectionResult &a, const DetectionResult &b)
{
    if (a.features.size() != b.features.size() || a.measures.size() != b.measures.size()
        || std::memcmp(a.features.constData(), b.features.constData(), a.features.size() * sizeof(Feature)) != 0)
        return false;
    for (int i = 0; i < a.measures.size(); ++i)
        if (!sameMeasure(a.measures[i], b.measures[i]))
            return false;
    return true;
}

const int kSlowGreyMsec = 200;

void slowGreyConversion(const QImage &frame, unsigned char *grey)
{
    std::this_thread::sleep_for(std::chrono::milliseconds(kSlowGreyMsec));
    convertFrameToGrey(frame, grey);
}

} // namespace

class TestDetectionJob : public QObject
{
    Q_OBJECT

private slots:
    void greyConversion();
    void alphaPaddingAndLayoutDoNotMatter();
    void failedSetUpReportsNoTime();
    void runFindsTheBlobs();
    void onlyTheResponseAndTheMaximaAreTimed();
    void runsTakeTurnsAndSupersededOnesGiveUp();
    void emptyResultIsSuccess();
    void candidatesCountWhatEachThresholdKeeps_data();
    void candidatesCountWhatEachThresholdKeeps();
    void extendedBordersAreThePaddedPicture_data();
    void extendedBordersAreThePaddedPicture();
    void workspaceRunsTakeNoPageFaults();
    void workspaceGivesFreshRunsResultsWhateverCameBefore();
    void reportFormatting_data();
    void reportFormatting();
    void cancelStopsTheRunAndOnlyThen_data();
    void cancelStopsTheRunAndOnlyThen();
    void nothingSearchedWhenTheKernelCoversThePicture();
};

// (B 0.114 + G 0.587) + R 0.299 in float, truncated: (1, 233, 245) gives
// 164 only in this order; any other order, or double weights, gives 165.
void TestDetectionJob::greyConversion()
{
    QCOMPARE(greyOfPixel(qRgb(255, 0, 0)), 76);
    QCOMPARE(greyOfPixel(qRgb(0, 255, 0)), 149);
    QCOMPARE(greyOfPixel(qRgb(0, 0, 255)), 29);
    QCOMPARE(greyOfPixel(qRgb(1, 233, 245)), 164);
    for (int v = 0; v < 256; ++v)
        QCOMPARE(greyOfPixel(qRgb(v, v, v)), v);
}

// The alpha byte is ignored, padded scan lines are followed, and a frame in
// another layout is brought to 32 bits rather than misread.
void TestDetectionJob::alphaPaddingAndLayoutDoNotMatter()
{
    const QImage packed = blobPicture(61, 47);
    QImage translucent = packed.convertToFormat(QImage::Format_ARGB32);
    for (int y = 0; y < translucent.height(); ++y) {
        QRgb *line = reinterpret_cast<QRgb *>(translucent.scanLine(y));
        for (int x = 0; x < translucent.width(); ++x)
            line[x] = (line[x] & 0x00FFFFFFu) | ((uint)((x * 7 + y) % 256) << 24);
    }
    const int stride = 61 * 4 + 20;
    std::vector<uchar> memory((size_t)stride * 47, 0xEE);
    for (int y = 0; y < 47; ++y)
        std::memcpy(&memory[(size_t)y * stride], packed.constScanLine(y), 61 * 4);
    const QImage padded(memory.data(), 61, 47, stride, QImage::Format_RGB32);

    QCOMPARE(greyOf(translucent), greyOf(packed));
    QCOMPARE(greyOf(padded), greyOf(packed));
    const QString expected = featureList(runDetectionJob(packed, 2.0f, 10.0f).features);
    QVERIFY(!expected.isEmpty());
    for (const QImage &frame : {translucent, padded, packed.convertToFormat(QImage::Format_RGB888)})
        QCOMPARE(featureList(runDetectionJob(frame, 2.0f, 10.0f).features), expected);
}

void TestDetectionJob::failedSetUpReportsNoTime()
{
    const QImage frame = blobPicture(40, 40);
    DetectionResult result = runDetectionJob(frame, -1.0f, 0.0f);
    QCOMPARE(result.status, -1);
    QVERIFY(result.features.isEmpty());
    QCOMPARE(result.elapsedMsec, 0.0f);

    result = runDetectionJob(frame, 0.0f, 0.0f);
    QCOMPARE(result.status, -2);
    QVERIFY(result.features.isEmpty());
    QCOMPARE(result.elapsedMsec, 0.0f);
}

// The disc of the core's tests, painted as a colour frame: one feature at
// (20, 20) for sigma 2.
static QImage discFrame()
{
    QImage frame(40, 40, QImage::Format_RGB32);
    frame.fill(Qt::black);
    for (int y = 0; y < 40; ++y)
        for (int x = 0; x < 40; ++x)
            if ((x - 20) * (x - 20) + (y - 20) * (y - 20) <= 9)
                frame.setPixel(x, y, qRgb(200, 200, 200));
    return frame;
}

static DetectionSettings discSettings()
{
    DetectionSettings settings;
    settings.sigma = 2.0f;
    return settings;
}

void TestDetectionJob::runFindsTheBlobs()
{
    const DetectionResult result = runDetectionJob(discFrame(), 2.0f, 100.0f);
    QCOMPARE(result.status, 0);
    QCOMPARE(featureList(result.features), QString("(20, 20)"));
    QVERIFY(result.elapsedMsec >= 0.0f);
}

// The reported time is in milliseconds and covers the response map and the
// maxima search only: on a large frame they are most of the job (a
// thousandth of it would be microseconds shown as milliseconds), and a slow
// grey conversion is no part of it.
void TestDetectionJob::onlyTheResponseAndTheMaximaAreTimed()
{
    QImage frame(1280, 720, QImage::Format_RGB32);
    frame.fill(qRgb(90, 90, 90));
    QElapsedTimer job;
    job.start();
    DetectionResult result = runDetectionJob(frame, 10.0f, 100.0f);
    const double jobMsec = (double)job.nsecsElapsed() / 1.0e6;
    QVERIFY2(result.elapsedMsec > 0.0f && result.elapsedMsec <= jobMsec && result.elapsedMsec * 100.0 > jobMsec,
             qPrintable(QString("%1 ms reported, the job took %2 ms").arg(result.elapsedMsec).arg(jobMsec)));

    job.restart();
    result = runDetectionJob(frame.copy(0, 0, 64, 64), 2.0f, 100.0f, slowGreyConversion);
    QVERIFY(job.elapsed() >= kSlowGreyMsec);
    QVERIFY2(result.elapsedMsec < kSlowGreyMsec, qPrintable(QString("%1 ms reported").arg(result.elapsedMsec)));
}

// A window run waits for the one in progress and gives up, without
// running, when a later one is started meanwhile; the latest runs once the
// one in progress is done.
void TestDetectionJob::runsTakeTurnsAndSupersededOnesGiveUp()
{
    const auto turns = std::make_shared<RunTurns>();
    QVERIFY(turns->begin(turns->start()));  // in progress
    const quint64 second = turns->start();
    QFuture<DetectionResult> waiting = QtConcurrent::run(&runInTurn, turns, second, discFrame(), discSettings());
    QThread::msleep(50);
    QVERIFY(!waiting.isFinished());
    const quint64 third = turns->start();
    const DetectionResult superseded = waiting.result();
    QVERIFY(superseded.status != 0);
    QVERIFY(superseded.features.isEmpty());
    QCOMPARE(superseded.elapsedMsec, 0.0f);

    QFuture<DetectionResult> last = QtConcurrent::run(&runInTurn, turns, third, discFrame(), discSettings());
    turns->end();
    QCOMPARE(last.result().status, 0);
    QCOMPARE(featureList(last.result().features), QString("(20, 20)"));
}

void TestDetectionJob::emptyResultIsSuccess()
{
    QImage frame(50, 50, QImage::Format_RGB32);
    frame.fill(qRgb(90, 90, 90));
    DetectionResult result = runDetectionJob(frame, 2.0f, 0.0f);
    QCOMPARE(result.status, 0);
    QVERIFY(result.features.isEmpty());

    // Frames smaller than the kernel and empty frames are no failure either.
    result = runDetectionJob(QImage(5, 5, QImage::Format_RGB32), 5.0f, 0.0f);
    QCOMPARE(result.status, 0);
    QVERIFY(result.features.isEmpty());
    result = runDetectionJob(QImage(), 5.0f, 0.0f);
    QCOMPARE(result.status, 0);
    QVERIFY(result.features.isEmpty());

    // So are they for scale ranges, whose border is extended.
    DetectionSettings range;
    range.scales = 4;
    range.sigmaMax = 9.0f;
    QImage tiny(3, 2, QImage::Format_RGB32);
    tiny.fill(qRgb(10, 200, 30));
    for (const QImage &small : {QImage(), tiny}) {
        result = runDetection(small, range);
        QCOMPARE(result.status, 0);
    }
}

void TestDetectionJob::candidatesCountWhatEachThresholdKeeps_data()
{
    QTest::addColumn<int>("scales");
    QTest::addColumn<int>("polarity");
    QTest::newRow("single scale") << 1 << (int)PolarityFilter::Both;
    QTest::newRow("dark only") << 1 << (int)PolarityFilter::Dark;
    QTest::newRow("scale range") << 4 << (int)PolarityFilter::Both;
}

// The candidates of one run say how many features a run at any threshold
// down to 0 keeps: those with a response above it.
void TestDetectionJob::candidatesCountWhatEachThresholdKeeps()
{
    QFETCH(int, scales);
    QFETCH(int, polarity);
    const QImage frame = blobPicture(160, 120);
    DetectionSettings settings;
    settings.sigma = 2.0f;
    settings.scales = scales;
    settings.sigmaMax = 5.0f;
    settings.polarity = (PolarityFilter)polarity;
    settings.threshold = 40.0f;
    settings.candidates = true;
    const QVector<float> candidates = runDetection(frame, settings).candidateResponses;
    QVERIFY(std::is_sorted(candidates.begin(), candidates.end()));

    settings.candidates = false;
    for (float threshold : {0.0f, 5.0f, 40.0f, 150.0f}) {
        settings.threshold = threshold;
        const DetectionResult run = runDetection(frame, settings);
        const int above = (int)(candidates.end() - std::upper_bound(candidates.begin(), candidates.end(), threshold));
        QCOMPARE(above, run.features.size());
        QVERIFY(run.candidateResponses.isEmpty());
    }
    QVERIFY(candidates.first() > 0.0f && candidates.size() > runDetection(frame, settings).features.size());
}

void TestDetectionJob::extendedBordersAreThePaddedPicture_data()
{
    QTest::addColumn<int>("scales");
    QTest::addColumn<int>("mode");
    QTest::addColumn<int>("width");
    QTest::addColumn<int>("height");
    QTest::newRow("single sigma, reflect") << 1 << (int)BorderChoice::Reflect << 97 << 61;
    QTest::newRow("single sigma, nearest") << 1 << (int)BorderChoice::Nearest << 97 << 61;
    QTest::newRow("single sigma, constant") << 1 << (int)BorderChoice::Constant << 97 << 61;
    QTest::newRow("range, reflect by default") << 5 << (int)BorderChoice::Default << 97 << 61;
    QTest::newRow("range, nearest") << 5 << (int)BorderChoice::Nearest << 97 << 61;
    QTest::newRow("range, constant") << 5 << (int)BorderChoice::Constant << 97 << 61;
    // Narrower than the margin: the reflection repeats.
    QTest::newRow("range, reflect, a small picture") << 5 << (int)BorderChoice::Reflect << 13 << 9;
}

// A run with the border extended gives exactly what a run on the picture
// padded by hand gives within the picture, in the picture's coordinates,
// pruned after the rest is left out; a single sigma keeps every feature of
// the interior run as it was.
void TestDetectionJob::extendedBordersAreThePaddedPicture()
{
    QFETCH(int, scales);
    QFETCH(int, mode);
    QFETCH(int, width);
    QFETCH(int, height);
    const QImage frame = blobPicture(width, height);
    DetectionSettings settings;
    settings.sigma = 2.0f;
    settings.scales = scales;
    settings.sigmaMax = 6.0f;
    settings.threshold = 5.0f;
    settings.border = (BorderChoice)mode;
    const DetectionResult extended = runDetection(frame, settings);
    QCOMPARE(extended.status, 0);

    uint32_t margin = 0;
    QCOMPARE(runMargin(settings, &margin), 0);
    const int m = (int)margin;
    const BorderChoice extension = scales > 1 && mode == (int)BorderChoice::Default ? BorderChoice::Reflect
                                                                                     : (BorderChoice)mode;
    const std::vector<unsigned char> grey = greyOf(frame);
    QImage padded(width + 2 * m, height + 2 * m, QImage::Format_Grayscale8);
    for (int y = 0; y < padded.height(); ++y)
        for (int x = 0; x < padded.width(); ++x) {
            const int sx = extendedPosition(x - m, width, extension), sy = extendedPosition(y - m, height, extension);
            padded.scanLine(y)[x] = sx < 0 || sy < 0 ? 0 : grey[(size_t)sy * width + sx];
        }
    DetectionSettings plain = settings;
    plain.border = BorderChoice::Interior;
    plain.origin.x = plain.origin.y = -m;
    plain.overlap = 1.0f;
    DetectionResult expected = runDetection(padded, plain);
    QCOMPARE(expected.status, 0);
    int kept = 0;
    for (int i = 0; i < expected.features.size(); ++i) {
        const int x = (int)expected.features[i].x - m, y = (int)expected.features[i].y - m;
        if (x < 0 || y < 0 || x >= width || y >= height)
            continue;
        expected.features[kept] = Feature{(float)x, (float)y};
        expected.measures[kept++] = expected.measures[i];
    }
    expected.features.resize(kept);
    expected.measures.resize(kept);
    if (scales > 1)
        QCOMPARE(pruneOverlappingFeatures(expected.features, expected.measures, settings.overlap, kBlobRadiusPerSigma),
                 0);
    QVERIFY(!extended.features.isEmpty());
    QVERIFY(sameMeasures(extended, expected));

    // Features within the margin of the border: the reason for extending it.
    const auto nearBorder = [&](const Feature &f) {
        return f.x < m || f.y < m || f.x >= width - m || f.y >= height - m;
    };
    QVERIFY(std::any_of(extended.features.begin(), extended.features.end(), nearBorder));
    if (scales == 1) {
        settings.border = BorderChoice::Default;
        const DetectionResult interior = runDetection(frame, settings);
        QVERIFY(interior.features.size() < extended.features.size());
        for (int i = 0; i < interior.features.size(); ++i) {
            const Feature &f = interior.features[i];
            const auto at = std::find_if(extended.features.begin(), extended.features.end(),
                                         [&](const Feature &g) { return g.x == f.x && g.y == f.y; });
            QVERIFY(at != extended.features.end());
            QVERIFY(sameMeasure(extended.measures[(int)(at - extended.features.begin())], interior.measures[i]));
        }
    }
}

// A batch reuses one workspace for pictures of one size: after the first
// run, a run maps no new memory (a 1280 x 720 frame spans some 4000 pages).
void TestDetectionJob::workspaceRunsTakeNoPageFaults()
{
    // Not under the address sanitizer, which maps pages of its own.
#if defined(__linux__) && !defined(__SANITIZE_ADDRESS__)
    const QImage frame = blobPicture(1280, 720);
    const auto minorFaults = [] {
        rusage usage;
        getrusage(RUSAGE_SELF, &usage);
        return usage.ru_minflt;
    };
    DetectionWorkspace workspace;
    DetectionSettings settings;
    const DetectionResult first = runDetection(frame, settings, &workspace);
    QCOMPARE(first.status, 0);
    const long before = minorFaults();
    const DetectionResult second = runDetection(frame, settings, &workspace);
    const long faults = minorFaults() - before;
    QCOMPARE(featureList(second.features), featureList(first.features));
    QVERIFY2(faults < 16, qPrintable(QStringLiteral("%1 page faults in a run").arg(faults)));
#else
    QSKIP("counts the page faults of a run through getrusage, without a sanitizer");
#endif
}

// One workspace through pictures of other sizes and contents, sigmas,
// scale ranges and borders gives each run the features and measures of a
// run on fresh memory; a new sigma or a smaller picture maps nothing new.
void TestDetectionJob::workspaceGivesFreshRunsResultsWhateverCameBefore()
{
    struct Step {
        QImage frame;
        float sigma;
        int scales;
        BorderChoice border;
        bool mapsNothing;
    };
    const QImage large = blobPicture(300, 200);
    QImage other = blobPicture(250, 120).mirrored(true, false);
    const QVector<Step> steps{
        {large, 5.0f, 1, BorderChoice::Default, false},
        {large, 2.0f, 1, BorderChoice::Default, true},
        {other, 3.0f, 1, BorderChoice::Default, true},
        {large, 1.5f, 3, BorderChoice::Default, false},
        {other, 4.0f, 1, BorderChoice::Reflect, false},
        {large, 2.5f, 1, BorderChoice::Nearest, false},
        {blobPicture(64, 300), 2.0f, 1, BorderChoice::Default, true},
        {blobPicture(420, 260), 6.0f, 1, BorderChoice::Default, false},
        {large, 5.0f, 1, BorderChoice::Default, true},
    };
#if defined(__linux__) && !defined(__SANITIZE_ADDRESS__)
    const auto minorFaults = [] {
        rusage usage;
        getrusage(RUSAGE_SELF, &usage);
        return usage.ru_minflt;
    };
#else
    const auto minorFaults = [] { return 0L; };
#endif
    DetectionWorkspace workspace;
    for (int i = 0; i < steps.size(); ++i) {
        const Step &step = steps[i];
        DetectionSettings settings;
        settings.sigma = step.sigma;
        settings.threshold = 20.0f;
        settings.scales = step.scales;
        settings.sigmaMax = step.sigma * 3.0f;
        settings.border = step.border;
        const long before = minorFaults();
        const DetectionResult reused = runDetection(step.frame, settings, &workspace);
        const long faults = minorFaults() - before;
        const DetectionResult fresh = runDetection(step.frame, settings);
        QCOMPARE(reused.status, 0);
        QVERIFY2(!fresh.features.isEmpty(), qPrintable(QString::number(i)));
        QVERIFY2(sameMeasures(reused, fresh), qPrintable(QStringLiteral("step %1").arg(i)));
        if (step.mapsNothing)
            QVERIFY2(faults < 16, qPrintable(QStringLiteral("step %1: %2 page faults").arg(i).arg(faults)));
    }
}

void TestDetectionJob::reportFormatting_data()
{
    QTest::addColumn<int>("count");
    QTest::addColumn<float>("msec");
    QTest::addColumn<int>("status");
    QTest::addColumn<QString>("text");
    const QString success("Success. Feature count: %1. Time per frame: %2 msec. Frames per second: %3");
    QTest::newRow("example") << 37 << 42.0f << 0 << success.arg("37", "42.00", "23.8095");
    QTest::newRow("one second") << 0 << 1000.0f << 0 << success.arg("0", "1000.00", "1.0000");
    QTest::newRow("two seconds") << 5 << 2000.0f << 0 << success.arg("5", "2000.00", "0.5000");
    QTest::newRow("three ms") << 12345 << 3.0f << 0 << success.arg("12345", "3.00", "333.3333");
    QTest::newRow("fractional ms") << 1 << 0.25f << 0 << success.arg("1", "0.25", "4000.0000");
    QTest::newRow("zero time: inf, padded") << 2 << 0.0f << 0 << success.arg("2", "0.00", "   inf");
    QTest::newRow("failure") << 0 << 0.0f << -2 << QString("Failed");
    QTest::newRow("failure with time") << 0 << 17.0f << -5 << QString("Failed");
    QTest::newRow("cancelled") << 0 << 3.0f << -7 << QString("Cancelled");
}

void TestDetectionJob::reportFormatting()
{
    QFETCH(int, count);
    QFETCH(float, msec);
    QFETCH(int, status);
    QFETCH(QString, text);
    QCOMPARE(runReport(DetectionResult{QVector<Feature>(count, Feature{0, 0}), status, msec, {}}), text);
}

void TestDetectionJob::cancelStopsTheRunAndOnlyThen_data()
{
    QTest::addColumn<int>("scales");
    QTest::newRow("single sigma") << 1;
    QTest::newRow("scale range") << 4;
}

// A flag that stays down leaves every feature and measure as a run without
// one; raised before the run, or by the grey conversion (after which come
// the bands of the response), it stops the run as cancelled, with nothing.
void TestDetectionJob::cancelStopsTheRunAndOnlyThen()
{
    QFETCH(int, scales);
    const QImage frame = blobPicture(320, 240);
    DetectionSettings settings;
    settings.sigma = 2.0f;
    settings.scales = scales;
    settings.sigmaMax = 6.0f;
    settings.threshold = 10.0f;
    const DetectionResult plain = runDetection(frame, settings);
    QCOMPARE(plain.status, 0);
    QVERIFY(!plain.features.isEmpty());

    std::atomic<bool> flag{false};
    settings.cancel = &flag;
    const DetectionResult watched = runDetection(frame, settings);
    QCOMPARE(watched.status, 0);
    QCOMPARE(featureList(watched.features), featureList(plain.features));
    QCOMPARE(watched.measures.size(), plain.measures.size());
    for (int i = 0; i < plain.measures.size(); ++i) {
        const FeatureMeasure &a = watched.measures[i], &b = plain.measures[i];
        QVERIFY(a.xSubpixel == b.xSubpixel && a.ySubpixel == b.ySubpixel && a.sigma == b.sigma
                && a.response == b.response && a.polarity == b.polarity);
    }

    flag = true;
    DetectionResult cancelled = runDetection(frame, settings);
    QCOMPARE(cancelled.status, HESSIAN_CANCELLED);
    QVERIFY(cancelled.features.isEmpty() && cancelled.measures.isEmpty());
    QCOMPARE(runReport(cancelled), QStringLiteral("Cancelled"));

    if (scales == 1) {
        static std::atomic<bool> raisedByGrey{false};
        raisedByGrey = false;
        settings.cancel = &raisedByGrey;
        settings.toGrey = [](const QImage &source, unsigned char *grey) {
            convertFrameToGrey(source, grey);
            raisedByGrey = true;
        };
        cancelled = runDetection(frame, settings);
        QCOMPARE(cancelled.status, HESSIAN_CANCELLED);
        QVERIFY(cancelled.features.isEmpty());
    }
}

// Features lie at least r + 1 from every border: a picture with no such
// pixel is searched nowhere, and the reason says so; one more pixel each way
// and it is searched.
void TestDetectionJob::nothingSearchedWhenTheKernelCoversThePicture()
{
    DetectionSettings settings;
    settings.sigma = 1000.0f;
    QCOMPARE(largestKernelRadius(settings), 3000u);
    const QString reason = nothingSearchedReason(3000, 384, 303);
    QVERIFY2(reason.contains("radius 3000") && reason.contains("384 x 303") && reason.contains("3001"),
             qPrintable(reason));
    settings.sigma = 2.0f;
    settings.scales = 4;
    settings.sigmaMax = 5.0f;
    QCOMPARE(largestKernelRadius(settings), 15u);
    QVERIFY(!nothingSearchedReason(15, 32, 40).isEmpty());
    QVERIFY(!nothingSearchedReason(15, 40, 32).isEmpty());
    QVERIFY(nothingSearchedReason(15, 33, 33).isEmpty());
    // As the front ends ask: a border extended (a range's default) searches
    // every pixel, so only an interior run can search nothing.
    QVERIFY(nothingSearched(settings, 32, 40).isEmpty());
    settings.border = BorderChoice::Interior;
    QCOMPARE(nothingSearched(settings, 32, 40), nothingSearchedReason(15, 32, 40));
    settings.scales = 1;
    settings.border = BorderChoice::Default;
    QCOMPARE(nothingSearched(settings, 12, 12), nothingSearchedReason(6, 12, 12));
    settings.border = BorderChoice::Nearest;
    QVERIFY(nothingSearched(settings, 12, 12).isEmpty());
}

QTEST_APPLESS_MAIN(TestDetectionJob)
#include "tst_detectionjob.moc"
