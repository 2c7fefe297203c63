// hessian-maxima-bench: how fast the timed stages of a run are (the response
// map and the maxima search), for the straightforward reference, the vector
// path on one thread and on all threads, and an OpenCV pipeline, on a fixed
// synthetic frame. Before timing anything it checks that the vector path
// gives exactly the reference's response and features.
//
// Google Benchmark's own options work as usual; the closing table gives
// milliseconds per frame and the ratios.
//
// With --image FILE it compares on a real picture instead: the detection
// job that the window and hessian-maxima-cli run, and the OpenCV pipeline,
// taking turns, --repeat times each (default 50), at --sigma (default 5) and
// --threshold (default 100); it prints the two medians, as the command-line
// tool's --repeat does.
//
// --target NAME (AVX3, AVX2, SSE4, ...) times that vector code in the table
// instead of the one the core chooses for the processor.
//
// The table ends with how close the fast core on one thread and on all
// threads comes to the arithmetic bound: 6 (2r + 1) separate multiplies and
// adds per pixel at the peak rate that the machine measures for such pairs
// (all threads at once, the better of a measurement before and after the
// timings; one thread's bound is that rate shared by the threads).
// Then the grey conversion: the straightforward loop against the vector code.
//
// With --stages FOLDER it times, for each picture in it, the steps of a
// batch around the detector: reading the file, the whole detection job on
// one thread (set-up reused as a batch reuses it), its timed stages, and
// writing the feature rows; it prints the medians.
//
// --phases shows where the time of a run goes, for the best vector code the
// processor runs and the next one, taking turns --repeat times (default 50):
// the row passes, the column pass and the maxima search on one thread, in
// milliseconds, the two passes and the whole run also as a share of their
// arithmetic at the one-thread peak of the best vector code, with the ratio
// of each code's whole run to the first one's in the same turn.
//
// --decode FILE brings a JPEG file to the detector's input in five ways,
// taking turns --repeat times, after checking that all five give the same
// grey levels: Qt's JPEG reader and the job's grey conversion (how every
// JPEG was read before), the loader's own decoder to the 32-bit frame and
// the grey conversion, on one thread and on two, and the decoder straight
// to the grey levels, on one thread and on two. The file is read into
// memory once; each way allocates its frame anew, as a fresh run does.
//
// --single FILE times the steps of one picture's run as the command line
// takes them, the first in this process (so run it in a fresh process each
// time, as scripts/bench.sh single does): loading the file (decoding it to
// the detector's input), setting the detector up (mapping its buffers),
// the job outside its timed stages (grey input, measurements), the timed
// stages, writing the feature rows and releasing the memory. One line of
// milliseconds.
//
// --rerun WIDTHxHEIGHT times the window's runs of one picture at sigma 5,
// 2 and 5 again: each run setting its detector up and releasing it (runs
// started once the last one is done) and one workspace whose buffers the
// next sigma keeps (runs started while one is going), the two ways taking
// turns --repeat times (default
// 3, the frame a synthetic one of that size). Wall milliseconds of each
// run's whole job, and of the part outside its timed stages (set-up, grey
// input, measurements, release), which the other guests disturb less.
//
// --scale-space compares a whole scale-range run (every level's response and
// maxima, the scale comparison, the measurements, the overlap pruning) with
// the sum of its levels' single-scale runs (response, maxima search and
// measurements at each level's sigma), on all cores, the two taking turns
// --repeat times (default 50) on fixed synthetic frames; it prints the raw
// milliseconds and the ratio of each turn, with their spread.

#include "detectionjob.h"
#include "detectionpaths.h"
#include "frameloading.h"
#include "hessiandetector.h"
#include "localmaxima.h"
#include "parallelbands.h"
#include "featurewriter.h"
#include "inputfiles.h"
#include "jpegdecoder.h"
#include "greyconversion.h"
#include "scalespace.h"
#include "vectorkernels.h"

#ifdef HESSIAN_BENCH_OPENCV
#include "opencvpipeline.h"
#endif

#include <benchmark/benchmark.h>
#include <hwy/targets.h>

#include <QBuffer>
#include <QDir>
#include <QFile>
#include <QImageReader>
#include <QString>
#include <QStringList>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <time.h>
#include <unistd.h>

namespace {

struct FrameSize {
    uint32_t width;
    uint32_t height;
};

const FrameSize kSizes[] = {{1280, 720}, {1920, 1080}};
const float kSigmas[] = {2.0f, 5.0f, 10.0f, 30.0f};
const float kThreshold = 100.0f;

// Dark and bright discs of several sizes on a shaded background with a
// little noise, from a fixed seed: the same frame on every run.
std::vector<unsigned char> syntheticFrame(const FrameSize &size)
{
    std::vector<unsigned char> grey((size_t)size.width * size.height);
    uint32_t state = 12345;
    auto next = [&state] {
        state = state * 1664525u + 1013904223u;
        return state >> 8;
    };
    for (uint32_t y = 0; y < size.height; ++y)
        for (uint32_t x = 0; x < size.width; ++x)
            grey[(size_t)y * size.width + x] =
                (unsigned char)(60 + (x * 40) / size.width + (y * 40) / size.height + next() % 12);
    for (int blob = 0; blob < 400; ++blob) {
        const int cx = (int)(next() % size.width);
        const int cy = (int)(next() % size.height);
        const int radius = 2 + (int)(next() % 40);
        const int level = next() % 2 ? 230 : 15;
        for (int y = std::max(0, cy - radius); y < std::min((int)size.height, cy + radius + 1); ++y)
            for (int x = std::max(0, cx - radius); x < std::min((int)size.width, cx + radius + 1); ++x)
                if ((x - cx) * (x - cx) + (y - cy) * (y - cy) <= radius * radius)
                    grey[(size_t)y * size.width + x] = (unsigned char)(level + next() % 10);
    }
    return grey;
}

struct Frame {
    FrameSize size;
    std::vector<unsigned char> grey;
};

const Frame &frameFor(const FrameSize &size)
{
    static std::map<uint64_t, std::unique_ptr<Frame>> frames;
    std::unique_ptr<Frame> &frame = frames[((uint64_t)size.width << 32) | size.height];
    if (!frame)
        frame.reset(new Frame{size, syntheticFrame(size)});
    return *frame;
}

std::string caseName(const FrameSize &size, float sigma)
{
    char name[64];
    std::snprintf(name, sizeof name, "%ux%u/sigma:%g", size.width, size.height, (double)sigma);
    return name;
}

// One set-up detector for the whole benchmark, as the job has per run.
struct Detector {
    HessianDetector record = {};
    Detector(float sigma, const FrameSize &size)
    {
        if (initHessianDetector(&record, sigma, size.width, size.height) != 0)
            std::abort();
    }
    ~Detector() { releaseHessianDetector(&record); }
};

// The response on its valid region and the features of one run.
struct Result {
    std::vector<float> response;
    QVector<Feature> features;
};

Result detect(const Frame &frame, float sigma, const HessianRunConfig &config)
{
    Detector detector(sigma, frame.size);
    Result result;
    if (computeHessianResponseWith(&detector.record, frame.grey.data(), config) != 0
        || findLocalMaximaWith(detector.record.response, frame.size.width, frame.size.height,
                               kThreshold, detector.record.radius, result.features, config)
               != 0)
        std::abort();
    const uint32_t r = detector.record.radius;
    for (uint32_t y = r; y + r < frame.size.height; ++y) {
        const float *row = detector.record.response + (size_t)y * frame.size.width;
        result.response.insert(result.response.end(), row + r, row + frame.size.width - r);
    }
    return result;
}

bool identical(const Result &a, const Result &b)
{
    return a.response.size() == b.response.size()
           && std::memcmp(a.response.data(), b.response.data(), a.response.size() * sizeof(float)) == 0
           && a.features.size() == b.features.size()
           && std::memcmp(a.features.constData(), b.features.constData(),
                          (size_t)a.features.size() * sizeof(Feature))
                  == 0;
}

bool checkEquivalence(int64_t target)
{
    bool allSame = true;
    for (const FrameSize &size : kSizes) {
        const Frame &frame = frameFor(size);
        for (float sigma : kSigmas) {
            const Result reference = detect(frame, sigma, HessianRunConfig{HESSIAN_PATH_REFERENCE, 1, 0});
            const Result one = detect(frame, sigma, HessianRunConfig{HESSIAN_PATH_VECTOR, 1, target});
            const Result all = detect(frame, sigma, HessianRunConfig{HESSIAN_PATH_VECTOR, 0, target});
            const bool same = identical(reference, one) && identical(reference, all);
            std::printf("check %-24s %d features, fast path %s\n", caseName(size, sigma).c_str(),
                        reference.features.size(), same ? "identical" : "DIFFERENT");
            allSame = allSame && same;
        }
    }
    return allSame;
}

void timeDetector(benchmark::State &state, FrameSize size, float sigma, HessianRunConfig config)
{
    const Frame &frame = frameFor(size);
    Detector detector(sigma, size);
    QVector<Feature> features;
    for (auto _ : state) {
        computeHessianResponseWith(&detector.record, frame.grey.data(), config);
        findLocalMaximaWith(detector.record.response, size.width, size.height, kThreshold,
                            detector.record.radius, features, config);
        benchmark::DoNotOptimize(features.constData());
    }
}

#ifdef HESSIAN_BENCH_OPENCV
void timeOpenCv(benchmark::State &state, FrameSize size, float sigma)
{
    const Frame &frame = frameFor(size);
    OpenCvPipeline pipeline(frame.grey.data(), (int)size.width, (int)size.height, sigma,
                            (int)machineThreads());
    std::vector<Feature> features;
    for (auto _ : state) {
        pipeline.run(kThreshold, features);
        benchmark::DoNotOptimize(features.data());
    }
}
#endif

// The grey conversion of a 32-bit frame, as the job does it before its run.
void timeGrey(benchmark::State &state, FrameSize size, HessianRunConfig config)
{
    std::vector<uint32_t> pixels((size_t)size.width * size.height);
    uint32_t seed = 7;
    for (uint32_t &p : pixels)
        p = seed = seed * 1664525u + 1013904223u;
    std::vector<unsigned char> grey(pixels.size());
    for (auto _ : state) {
        convertRgb32ToGreyWith(pixels.data(), size.width, size.width, size.height, grey.data(), config);
        benchmark::DoNotOptimize(grey.data());
    }
}

// The vector code compiled for that target, or null.
const VectorKernels *compiledKernels(int64_t target)
{
    for (size_t i = 0; i < compiledVectorKernelCount(); ++i)
        if (compiledVectorKernels(i).target == target)
            return &compiledVectorKernels(i);
    return nullptr;
}

// Multiply-add pairs per second on every hardware thread at once, the best
// of a few tries with each of the two best vector codes (the bound is the
// machine's, whichever code reaches it): the core's own measure of its
// arithmetic (separate vector multiplies and adds, never fused, in
// independent chains).
double peakPairsPerSecond(const VectorKernels *kernel);

double peakPairsPerSecond()
{
    double best = 0.0;
    const std::vector<VectorTarget> targets = vectorTargets();
    for (size_t i = 0; i < targets.size() && i < 2; ++i)
        best = std::max(best, peakPairsPerSecond(compiledKernels(targets[i].target)));
    return targets.empty() ? NAN : best;
}

double peakPairsPerSecond(const VectorKernels *kernel)
{
    if (!kernel)
        return 0.0;
    const unsigned threads = machineThreads();
    const size_t rounds = 20000000;
    double best = 0.0;
    for (int attempt = 0; attempt < 3; ++attempt) {
        std::vector<double> pairs(threads);
        std::vector<float> sinks(threads);
        const auto start = std::chrono::steady_clock::now();
        std::vector<std::thread> workers;
        for (unsigned t = 0; t < threads; ++t)
            workers.emplace_back([&, t] { pairs[t] = kernel->mulAddPairs(rounds, &sinks[t]); });
        for (std::thread &worker : workers)
            worker.join();
        const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        double total = 0.0;
        for (double p : pairs)
            total += p;
        best = std::max(best, total / seconds);
    }
    return best;
}

uint32_t radiusFor(float sigma)
{
    HessianDetector probe = {};
    initHessianDetector(&probe, sigma, 1, 1);
    const uint32_t radius = probe.radius;
    releaseHessianDetector(&probe);
    return radius;
}

// Keeps each benchmark's milliseconds per frame for the closing table: with
// --benchmark_repetitions, the best repetition, the one least disturbed by
// whatever else the machine was doing.
class TableReporter : public benchmark::ConsoleReporter
{
public:
    void ReportRuns(const std::vector<Run> &runs) override
    {
        benchmark::ConsoleReporter::ReportRuns(runs);
        for (const Run &run : runs) {
            if (run.run_type != Run::RT_Iteration || run.error_occurred || run.iterations == 0)
                continue;
            const double msec = run.real_accumulated_time * 1e3 / (double)run.iterations;
            const auto it = msecs.find(run.run_name.function_name);
            if (it == msecs.end() || msec < it->second)
                msecs[run.run_name.function_name] = msec;
        }
    }
    std::map<std::string, double> msecs;
};

const char *const kReference = "reference";
const char *const kFastOne = "fast-1-thread";
const char *const kFastAll = "fast-all-threads";
const char *const kOpenCv = "opencv";
const char *const kGreyReference = "grey-reference";
const char *const kGreyOne = "grey-fast-1-thread";
const char *const kGreyAll = "grey-fast-all-threads";
const FrameSize kGreySize = {1920, 1080};

std::string benchmarkName(const char *path, const FrameSize &size, float sigma)
{
    return std::string(path) + "/" + caseName(size, sigma);
}

// Wall-clock time, as the detection job measures it.
void timeInWallClock(benchmark::internal::Benchmark *benchmark)
{
    benchmark->UseRealTime()->Unit(benchmark::kMillisecond);
}

void registerBenchmarks(int64_t target)
{
    timeInWallClock(benchmark::RegisterBenchmark(benchmarkName(kGreyReference, kGreySize, 0).c_str(), timeGrey,
                                                 kGreySize, HessianRunConfig{HESSIAN_PATH_REFERENCE, 1, 0}));
    timeInWallClock(benchmark::RegisterBenchmark(benchmarkName(kGreyOne, kGreySize, 0).c_str(), timeGrey,
                                                 kGreySize, HessianRunConfig{HESSIAN_PATH_VECTOR, 1, target}));
    timeInWallClock(benchmark::RegisterBenchmark(benchmarkName(kGreyAll, kGreySize, 0).c_str(), timeGrey,
                                                 kGreySize, HessianRunConfig{HESSIAN_PATH_VECTOR, 0, target}));
    for (const FrameSize &size : kSizes)
        for (float sigma : kSigmas) {
            timeInWallClock(benchmark::RegisterBenchmark(
                benchmarkName(kReference, size, sigma).c_str(), timeDetector, size, sigma,
                HessianRunConfig{HESSIAN_PATH_REFERENCE, 1, 0}));
            timeInWallClock(benchmark::RegisterBenchmark(
                benchmarkName(kFastOne, size, sigma).c_str(), timeDetector, size, sigma,
                HessianRunConfig{HESSIAN_PATH_VECTOR, 1, target}));
            timeInWallClock(benchmark::RegisterBenchmark(
                benchmarkName(kFastAll, size, sigma).c_str(), timeDetector, size, sigma,
                HessianRunConfig{HESSIAN_PATH_VECTOR, 0, target}));
#ifdef HESSIAN_BENCH_OPENCV
            timeInWallClock(benchmark::RegisterBenchmark(
                benchmarkName(kOpenCv, size, sigma).c_str(), timeOpenCv, size, sigma));
#endif
        }
}

void printTable(const std::map<std::string, double> &msecs, const char *targetName, double peak)
{
    auto find = [&msecs](const char *path, const FrameSize &size, float sigma) {
        const auto it = msecs.find(benchmarkName(path, size, sigma));
        return it == msecs.end() ? NAN : it->second;
    };
    std::printf("\nms per frame (response + maxima), vector code %s, %u hardware threads\n\n",
                targetName, machineThreads());
    std::printf("| frame | sigma | reference | fast, 1 thread | fast, %u threads | OpenCV, %u threads "
                "| fast vs reference | fast vs OpenCV | of the bound, 1 thread | of the bound, %u threads |\n",
                machineThreads(), machineThreads(), machineThreads());
    std::printf("|---|---:|---:|---:|---:|---:|---:|---:|---:|---:|\n");
    for (const FrameSize &size : kSizes)
        for (float sigma : kSigmas) {
            const double reference = find(kReference, size, sigma);
            const double one = find(kFastOne, size, sigma);
            const double all = find(kFastAll, size, sigma);
            const double opencv = find(kOpenCv, size, sigma);
            if (std::isnan(reference) && std::isnan(one) && std::isnan(all) && std::isnan(opencv))
                continue;  // filtered out
            const double pairs = (double)size.width * size.height * 6.0 * (2.0 * radiusFor(sigma) + 1.0);
            const double boundMsec = pairs / peak * 1e3;
            std::printf("| %u x %u | %g | %.2f | %.2f | %.2f | %.2f | %.1fx | %.2fx | %.0f%% | %.0f%% |\n",
                        size.width, size.height, (double)sigma, reference, one, all, opencv, reference / all,
                        opencv / all, 100.0 * boundMsec * machineThreads() / one, 100.0 * boundMsec / all);
        }
    std::printf("\narithmetic peak: %.1f G multiply-add pairs per second on %u threads\n", peak / 1e9,
                machineThreads());
    auto grey = [&](const char *path) {
        const auto it = msecs.find(benchmarkName(path, kGreySize, 0));
        return it == msecs.end() ? NAN : it->second;
    };
    std::printf("grey conversion of %u x %u: reference %.3f ms, vector code on 1 thread %.3f ms (%.1fx), "
                "on %u threads %.3f ms (%.1fx)\n",
                kGreySize.width, kGreySize.height, grey(kGreyReference), grey(kGreyOne),
                grey(kGreyReference) / grey(kGreyOne), machineThreads(), grey(kGreyAll),
                grey(kGreyReference) / grey(kGreyAll));
}

double median(std::vector<double> values);

// The batch's steps around the detector, picture by picture.
int timeStages(const QString &folder, float sigma, float threshold)
{
    const QVector<InputPicture> pictures = expandInputs({folder}, false);
    std::vector<double> read, job, timed, rows;
    DetectionWorkspace workspace;
    DetectionSettings settings;
    settings.sigma = sigma;
    settings.threshold = threshold;
    settings.threads = 1;
    const auto since = [](std::chrono::steady_clock::time_point start) {
        return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
    };
    for (const InputPicture &picture : pictures) {
        QImage frame;
        QString error;
        auto start = std::chrono::steady_clock::now();
        if (!loadFrame(picture.path, &frame, &error))
            continue;
        read.push_back(since(start));
        start = std::chrono::steady_clock::now();
        const DetectionResult result = runDetection(frame, settings, &workspace);
        job.push_back(since(start));
        timed.push_back(result.elapsedMsec);
        PictureResult written;
        written.file = picture.path;
        written.features = result.features;
        written.measures = result.measures;
        QBuffer sink;
        sink.open(QIODevice::WriteOnly);
        FeatureTableWriter writer(&sink, TableFormat::Csv, true, true);
        start = std::chrono::steady_clock::now();
        writer.write(written);
        rows.push_back(since(start));
    }
    if (job.empty()) {
        std::fprintf(stderr, "hessian-maxima-bench: no pictures read in '%s'\n", qPrintable(folder));
        return 1;
    }
    std::vector<double> outside(job.size());
    for (size_t i = 0; i < job.size(); ++i)
        outside[i] = job[i] - timed[i] + rows[i];
    std::printf("%zu pictures of %s, sigma %g, one thread each, median ms per picture:\n", job.size(),
                qPrintable(folder), (double)sigma);
    std::printf("  reading the file:                  %8.2f\n", median(read));
    std::printf("  timed stages (response, maxima):   %8.2f\n", median(timed));
    std::printf("  the job around them:               %8.2f\n", median(job) - median(timed));
    std::printf("  writing the rows (--details):      %8.2f\n", median(rows));
    std::printf("  outside the timed stages, not reading: %.2f, %.0f%% of the timed stages\n", median(outside),
                100.0 * median(outside) / median(timed));
    return 0;
}

struct ImageComparison {
    std::string target;  // --target: the vector code of the table, best if empty
    bool scaleSpace = false;
    bool phases = false;
    QString image;
    QString stages;
    QString decode;
    QString single;
    QString rerun;
    float sigma = 5.0f;
    float threshold = kThreshold;
    int repeat = 50;
};

// Takes this program's own options out of argv, leaving Google Benchmark's.
// Returns false on a malformed option.
bool takeImageOptions(int *argc, char **argv, ImageComparison *comparison)
{
    int kept = 1;
    bool ok = true;
    for (int i = 1; i < *argc; ++i) {
        const std::string argument = argv[i];
        auto value = [&](const char *name, std::string *out) {
            const std::string prefix = std::string(name) + "=";
            if (argument == name && i + 1 < *argc) {
                *out = argv[++i];
                return true;
            }
            if (argument.compare(0, prefix.size(), prefix) == 0) {
                *out = argument.substr(prefix.size());
                return true;
            }
            return false;
        };
        std::string text;
        bool numberOk = true;
        if (argument == "--scale-space")
            comparison->scaleSpace = true;
        else if (argument == "--phases")
            comparison->phases = true;
        else if (value("--target", &text))
            comparison->target = text;
        else if (value("--stages", &text))
            comparison->stages = QString::fromLocal8Bit(text.c_str());
        else if (value("--rerun", &text))
            comparison->rerun = QString::fromLocal8Bit(text.c_str());
        else if (value("--single", &text))
            comparison->single = QString::fromLocal8Bit(text.c_str());
        else if (value("--decode", &text))
            comparison->decode = QString::fromLocal8Bit(text.c_str());
        else if (value("--image", &text))
            comparison->image = QString::fromLocal8Bit(text.c_str());
        else if (value("--sigma", &text))
            comparison->sigma = QString::fromStdString(text).toFloat(&numberOk);
        else if (value("--threshold", &text))
            comparison->threshold = QString::fromStdString(text).toFloat(&numberOk);
        else if (value("--repeat", &text))
            comparison->repeat = QString::fromStdString(text).toInt(&numberOk);
        else
            argv[kept++] = argv[i];
        ok = ok && numberOk;
    }
    *argc = kept;
    return ok && comparison->repeat >= 1 && comparison->sigma > 0.0f;
}

double median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    const size_t middle = values.size() / 2;
    return values.size() % 2 ? values[middle] : (values[middle - 1] + values[middle]) / 2.0;
}

int compareOnImage(const ImageComparison &comparison)
{
    QImage frame;
    QString error;
    if (!loadFrame(comparison.image, &frame, &error)) {
        std::fprintf(stderr, "hessian-maxima-bench: cannot read image '%s': %s\n",
                     qPrintable(comparison.image), qPrintable(error));
        return 1;
    }
    std::vector<unsigned char> grey((size_t)frame.width() * frame.height());
    convertFrameToGrey(frame, grey.data());

#ifdef HESSIAN_BENCH_OPENCV
    OpenCvPipeline pipeline(grey.data(), frame.width(), frame.height(), comparison.sigma,
                            (int)machineThreads());
#endif
    std::vector<double> job, opencv;
    size_t features = 0, opencvFeatures = 0;
    for (int run = 0; run < comparison.repeat; ++run) {
        const DetectionResult result = runDetectionJob(frame, comparison.sigma, comparison.threshold);
        if (result.status != 0) {
            std::fprintf(stderr, "hessian-maxima-bench: detection failed (%d)\n", result.status);
            return 1;
        }
        job.push_back(result.elapsedMsec);
        features = (size_t)result.features.size();
#ifdef HESSIAN_BENCH_OPENCV
        std::vector<Feature> found;
        const auto start = std::chrono::steady_clock::now();
        pipeline.run(comparison.threshold, found);
        opencv.push_back(std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count());
        opencvFeatures = found.size();
#endif
    }

    std::printf("%s, %d x %d, sigma %g, threshold %g, %d runs each, median ms per frame\n",
                qPrintable(comparison.image), frame.width(), frame.height(),
                (double)comparison.sigma, (double)comparison.threshold, comparison.repeat);
    std::printf("  detection job (as hessian-maxima-cli --repeat): %8.2f ms  %zu features\n",
                median(job), features);
#ifdef HESSIAN_BENCH_OPENCV
    std::printf("  OpenCV pipeline, %u threads:                    %8.2f ms  %zu features\n",
                machineThreads(), median(opencv), opencvFeatures);
    std::printf("  detection job is %.2fx faster\n", median(opencv) / median(job));
#endif
    return 0;
}

struct ScaleRange {
    FrameSize size;
    float low;
    float high;
    uint32_t scales;
};

const ScaleRange kScaleRanges[] = {{{1920, 1080}, 1.5f, 15.0f, 12}, {{1920, 1080}, 2.0f, 30.0f, 8},
                                   {{4000, 3000}, 1.5f, 15.0f, 12}};

double elapsedMsec(std::chrono::steady_clock::time_point start)
{
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
}

// The scale-range run against its levels run one by one as single-scale
// runs, each set up beforehand, as a workspace keeps them between pictures.
// The steps of a fresh process's first picture (--single).
int timeSinglePicture(const QString &path, float sigma, float threshold)
{
    using Clock = std::chrono::steady_clock;
    const auto since = [](Clock::time_point start) {
        return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
    };
    auto start = Clock::now();
    LoadOptions options;
    options.detectorInputOnly = true;
    std::unique_ptr<LoadedPicture> loaded(new LoadedPicture);
    QString error, damage;
    if (!loadPicture(path, options, loaded.get(), &error, &damage)) {
        std::fprintf(stderr, "hessian-maxima-bench: cannot read '%s': %s\n", qPrintable(path), qPrintable(error));
        return 1;
    }
    const double load = since(start);
    DetectionSettings settings;
    settings.sigma = sigma;
    settings.threshold = threshold;
    std::unique_ptr<DetectionWorkspace> workspace(new DetectionWorkspace);
    start = Clock::now();
    const int status = workspace->prepare(sigma, (uint32_t)loaded->frame.width(), (uint32_t)loaded->frame.height());
    const double setUp = since(start);
    start = Clock::now();
    const DetectionResult result = runDetection(loaded->frame, settings, workspace.get());
    const double job = since(start);
    if (status != HESSIAN_OK || result.status != HESSIAN_OK) {
        std::fprintf(stderr, "hessian-maxima-bench: the run failed (%d)\n", result.status);
        return 1;
    }
    PictureResult picture;
    picture.file = path;
    picture.features = result.features;
    picture.measures = result.measures;
    QBuffer sink;
    sink.open(QIODevice::WriteOnly);
    start = Clock::now();
    FeatureTableWriter writer(&sink, TableFormat::Csv, false, false);
    writer.write(picture);
    const double rows = since(start);
    start = Clock::now();
    workspace.reset();
    loaded.reset();
    const double release = since(start);
    std::printf("load %.3f set-up %.3f job-untimed %.3f timed %.3f writing %.3f release %.3f features %d\n", load,
                setUp, job - (double)result.elapsedMsec, (double)result.elapsedMsec, rows, release,
                (int)result.features.size());
    return 0;
}

// The window's runs of one picture at other sigmas, without and with a
// workspace (--rerun).
int timeReruns(const QString &size, int repeat)
{
    const QStringList sides = size.split(QLatin1Char('x'));
    FrameSize frameSize{0, 0};
    if (sides.size() == 2)
        frameSize = FrameSize{sides[0].toUInt(), sides[1].toUInt()};
    if (frameSize.width == 0 || frameSize.height == 0) {
        std::fprintf(stderr, "hessian-maxima-bench: --rerun takes WIDTHxHEIGHT\n");
        return 2;
    }
    const std::vector<unsigned char> grey = syntheticFrame(frameSize);
    const QImage frame(grey.data(), (int)frameSize.width, (int)frameSize.height, (int)frameSize.width,
                       QImage::Format_Grayscale8);
    const float sigmas[] = {5.0f, 2.0f, 5.0f};
    std::vector<double> msecs[2][3], outside[2][3];
    for (int turn = 0; turn < repeat; ++turn) {
        for (int k = 0; k < 2; ++k) {
            const int way = (k + turn) % 2;
            std::unique_ptr<DetectionWorkspace> workspace(way ? new DetectionWorkspace : nullptr);
            for (int i = 0; i < 3; ++i) {
                DetectionSettings settings;
                settings.sigma = sigmas[i];
                const auto start = std::chrono::steady_clock::now();
                const DetectionResult result = runDetection(frame, settings, workspace.get());
                msecs[way][i].push_back(
                    std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count());
                outside[way][i].push_back(msecs[way][i].back() - (double)result.elapsedMsec);
                if (result.status != HESSIAN_OK) {
                    std::fprintf(stderr, "hessian-maxima-bench: the run failed (%d)\n", result.status);
                    return 1;
                }
            }
        }
    }
    std::printf("%u x %u, runs at sigma 5, 2 and 5 again, %d turns, wall ms of each run's job (outside its timed "
                "stages), median:\n",
                frameSize.width, frameSize.height, repeat);
    const char *names[2] = {"each run sets up and releases", "one workspace kept"};
    for (int way = 0; way < 2; ++way) {
        std::printf("  %-40s", names[way]);
        for (int i = 0; i < 3; ++i)
            std::printf("  sigma %g: %8.1f (%7.1f)", (double)sigmas[i], median(msecs[way][i]), median(outside[way][i]));
        std::printf("\n");
    }
    return 0;
}

// The ways --decode compares, each giving the detector's grey levels.
int compareJpegDecoding(const QString &path, int repeat)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        std::fprintf(stderr, "hessian-maxima-bench: cannot read '%s'\n", qPrintable(path));
        return 1;
    }
    const QByteArray bytes = file.readAll();
    const auto *data = reinterpret_cast<const unsigned char *>(bytes.constData());
    std::vector<unsigned char> grey;
    // The grey levels of a frame, converted as the job converts it.
    const auto toGrey = [&](const QImage &frame) {
        grey.resize((size_t)frame.width() * (size_t)frame.height());
        convertFrameToGrey(frame, grey.data());
        return frame.size();
    };
    const auto own = [&](JpegTarget target, unsigned threads) {
        DecodedJpeg decoded;
        if (!decodePlainJpeg(data, (size_t)bytes.size(), target, qint64(1) << 28, &decoded, threads))
            return QSize();
        if (target == JpegTarget::Frame)
            return toGrey(decoded.image);
        grey.assign(decoded.image.constBits(), decoded.image.constBits() + decoded.image.sizeInBytes());
        return decoded.image.size();
    };
    struct Way {
        const char *name;
        std::function<QSize()> run;
    };
    const std::vector<Way> ways{
        {"Qt's reader, grey conversion", [&] {
             QBuffer buffer;
             buffer.setData(bytes);
             buffer.open(QIODevice::ReadOnly);
             QImageReader reader(&buffer, "jpeg");
             reader.setAutoTransform(true);
             const QImage frame = toDetectionLayout(reader.read());
             return frame.isNull() ? QSize() : toGrey(frame);
         }},
        {"decoder to the frame, grey conversion, 1 thread", [&] { return own(JpegTarget::Frame, 1); }},
        {"decoder to the frame, grey conversion, 2 threads", [&] { return own(JpegTarget::Frame, 2); }},
        {"decoder to the grey levels, 1 thread", [&] { return own(JpegTarget::Grey, 1); }},
        {"decoder to the grey levels, 2 threads", [&] { return own(JpegTarget::Grey, 2); }},
    };
    // The orientation is left out: Qt's reader applies it, the decoder
    // hands it over, so the check asks for a file without one.
    std::vector<unsigned char> first;
    QSize size;
    for (const Way &way : ways) {
        size = way.run();
        if (!size.isValid()) {
            std::fprintf(stderr, "hessian-maxima-bench: '%s' is not a plain JPEG file (%s failed)\n",
                         qPrintable(path), way.name);
            return 1;
        }
        if (first.empty())
            first = grey;
        else if (grey != first) {
            std::fprintf(stderr, "hessian-maxima-bench: %s gives other grey levels than Qt's reader "
                                 "(a file with an EXIF orientation?)\n", way.name);
            return 1;
        }
    }
    std::vector<std::vector<double>> msecs(ways.size()), ratios(ways.size());
    for (int turn = 0; turn < repeat; ++turn) {
        std::vector<double> times(ways.size());
        // Each turn starts with another way, so that none always runs first.
        for (size_t k = 0; k < ways.size(); ++k) {
            const size_t w = (k + (size_t)turn) % ways.size();
            const auto start = std::chrono::steady_clock::now();
            ways[w].run();
            times[w] = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
        }
        for (size_t w = 0; w < ways.size(); ++w) {
            msecs[w].push_back(times[w]);
            ratios[w].push_back(times[w] / times[0]);
        }
    }
    std::printf("%s: %d x %d, %lld bytes, %d turns, milliseconds (wall clock) and the ratio to Qt's reader in the "
                "same turn, median [quartiles]:\n",
                qPrintable(path), size.width(), size.height(), (long long)bytes.size(), repeat);
    for (size_t w = 0; w < ways.size(); ++w) {
        std::vector<double> &ratio = ratios[w];
        std::sort(ratio.begin(), ratio.end());
        std::printf("  %-50s best %7.2f  median %7.2f  ratio %.3f [%.3f..%.3f]\n", ways[w].name,
                    *std::min_element(msecs[w].begin(), msecs[w].end()), median(msecs[w]), median(ratio),
                    ratio[ratio.size() / 4], ratio[(3 * ratio.size()) / 4]);
    }
    return 0;
}

int compareScaleSpace(int repeat)
{
    const HessianRunConfig config = defaultRunConfig();
    std::printf("scale-range run vs the sum of its levels' single-scale runs (response, maxima, measurements),\n"
                "%u threads, threshold %g, %d turns each, alternating; ms per frame\n\n",
                machineThreads(), (double)kThreshold, repeat);
    std::printf("| frame | sigma | scales | range run: min / median | sum of levels: min / median "
                "| ratio per turn: min / median / max | features |\n|---|---|---:|---|---|---|---:|\n");
    for (const ScaleRange &range : kScaleRanges) {
        const Frame &frame = frameFor(range.size);
        HessianScaleSpace space = {};
        if (initHessianScaleSpace(&space, range.low, range.high, range.scales, range.size.width,
                                  range.size.height) != 0)
            std::abort();
        std::vector<std::unique_ptr<Detector>> levels;
        for (uint32_t i = 0; i < range.scales; ++i)
            levels.emplace_back(new Detector(space.sigmas[i], range.size));

        std::vector<double> whole, sum, ratio;
        int found = 0;
        for (int turn = 0; turn < repeat + 1; ++turn) {
            QVector<Feature> features;
            QVector<FeatureMeasure> measures;
            auto start = std::chrono::steady_clock::now();
            if (findScaleSpaceMaxima(&space, frame.grey.data(), kThreshold, config, features, measures) != 0
                || pruneOverlappingFeatures(features, measures, kDefaultOverlap, kBlobRadiusPerSigma) != 0)
                std::abort();
            const double a = elapsedMsec(start);
            found = features.size();

            start = std::chrono::steady_clock::now();
            for (uint32_t i = 0; i < range.scales; ++i) {
                HessianDetector &record = levels[i]->record;
                QVector<Feature> single;
                if (computeHessianResponseWith(&record, frame.grey.data(), config) != 0
                    || findLocalMaximaWith(record.response, record.width, record.height, kThreshold,
                                           record.radius, single, config) != 0)
                    std::abort();
                QVector<FeatureMeasure> singleMeasures(single.size());
                measureFeatures(&record, space.sigmas[i], single, singleMeasures.data());
                benchmark::DoNotOptimize(singleMeasures.constData());
            }
            const double b = elapsedMsec(start);
            if (turn == 0)
                continue;  // the first turn warms the caches and starts the processors
            whole.push_back(a);
            sum.push_back(b);
            ratio.push_back(a / b);
        }
        releaseHessianScaleSpace(&space);
        std::sort(ratio.begin(), ratio.end());
        std::printf("| %u x %u | %g:%g | %u | %.2f / %.2f | %.2f / %.2f | %.3f / %.3f / %.3f | %d |\n",
                    range.size.width, range.size.height, (double)range.low, (double)range.high, range.scales,
                    *std::min_element(whole.begin(), whole.end()), median(whole),
                    *std::min_element(sum.begin(), sum.end()), median(sum), ratio.front(), median(ratio),
                    ratio.back(), found);
    }
    return 0;
}

// The phases of single-scale runs, vector code by vector code, taking turns.
int profilePhases(int repeat)
{
    struct Code {
        const VectorTarget *target;
        const VectorKernels *kernels;
    };
    const std::vector<VectorTarget> targets = vectorTargets();
    std::vector<Code> codes;
    // The best vector code and the next one (AVX-512 and AVX2, say).
    for (const VectorTarget &target : targets)
        if (codes.size() < 2 && !(target.target & (HWY_EMU128 | HWY_SCALAR)))
            codes.push_back(Code{&target, compiledKernels(target.target)});
    if (codes.empty()) {
        std::fprintf(stderr, "hessian-maxima-bench: no vector code to profile\n");
        return 1;
    }
    // The calling thread's own processor time: a turn the system gives to a
    // neighbour for a while does not count.
    const auto now = [] {
#if defined(_POSIX_THREAD_CPUTIME) && _POSIX_THREAD_CPUTIME >= 0
        timespec t;
        clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
        return (double)t.tv_sec * 1e3 + (double)t.tv_nsec * 1e-6;
#else
        return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now().time_since_epoch()).count();
#endif
    };
    std::printf("phases of a run on one thread, best of %d turns, ms of processor time (share of the one-thread bound);\n"
                "ratio: the whole run against %s's in the same turn, median [min..max]\n\n",
                repeat, codes[0].target->name);
    std::printf("| frame | sigma | code | row passes | column pass | maxima | whole run | ratio |\n"
                "|---|---:|---|---:|---:|---:|---:|---|\n");
    double peak = 0.0;  // multiply-add pairs a millisecond, one thread, the better code
    for (const FrameSize &size : kSizes) {
        const Frame &frame = frameFor(size);
        for (float sigma : kSigmas) {
            Detector detector(sigma, size);
            HessianDetector &det = detector.record;
            const uint32_t r = det.radius, width = size.width, height = size.height;
            size_t floats = 0;
            for (const Code &code : codes)
                floats = std::max(floats, code.kernels->scratchFloats(width, height, r));
            std::vector<float> room(floats + 16);
            float *scratch = reinterpret_cast<float *>((reinterpret_cast<uintptr_t>(room.data()) + 63) & ~uintptr_t(63));
            std::vector<std::vector<double>> rows(codes.size()), columns(codes.size()), maxima(codes.size()),
                whole(codes.size());
            QVector<Feature> features;
            for (int turn = 0; turn <= repeat; ++turn) {
                float sink;
                for (const Code &code : codes) {
                    const double start = now();
                    const double pairs = code.kernels->mulAddPairs(1000000, &sink);
                    peak = std::max(peak, pairs / (now() - start));
                }
                // Each turn starts with another code: the first of a turn
                // runs after the peak measurement, with other caches.
                for (size_t i = 0; i < codes.size(); ++i) {
                    const size_t c = (i + (size_t)turn) % codes.size();
                    const VectorKernels &k = *codes[c].kernels;
                    const double t0 = now();
                    k.rowPasses(&det, frame.grey.data(), 0, height, scratch);
                    const double t1 = now();
                    k.columnPass(&det, r, height - r, scratch);
                    const double t2 = now();
                    features.clear();
                    k.maximaRows(det.response, width, r + 1, height - r - 1, r + 1, kThreshold, features);
                    const double t3 = now();
                    const double a = t1 - t0, b = t2 - t1, m = t3 - t2;
                    if (turn == 0)
                        continue;  // warms the caches
                    rows[c].push_back(a);
                    columns[c].push_back(b);
                    maxima[c].push_back(m);
                    whole[c].push_back(a + b + m);
                }
            }
            const double taps = 2.0 * r + 1.0;
            const double rowPairs = (double)(width - 2 * r) * height * 3.0 * taps;
            const double columnPairs = (double)(width - 2 * r) * (height - 2 * r) * 3.0 * taps;
            const double runPairs = (double)width * height * 6.0 * taps;
            const auto best = [](const std::vector<double> &v) { return *std::min_element(v.begin(), v.end()); };
            for (size_t c = 0; c < codes.size(); ++c) {
                std::vector<double> ratio;
                for (size_t t = 0; t < whole[c].size(); ++t)
                    ratio.push_back(whole[c][t] / whole[0][t]);
                std::sort(ratio.begin(), ratio.end());
                std::printf("| %u x %u | %g | %s | %.2f (%.0f%%) | %.2f (%.0f%%) | %.2f | %.2f (%.0f%%) "
                            "| %.3f [%.3f..%.3f] |\n",
                            width, height, (double)sigma, codes[c].target->name, best(rows[c]),
                            100.0 * rowPairs / peak / best(rows[c]), best(columns[c]),
                            100.0 * columnPairs / peak / best(columns[c]), best(maxima[c]), best(whole[c]),
                            100.0 * runPairs / peak / best(whole[c]), median(ratio), ratio.front(), ratio.back());
            }
        }
    }
    std::printf("\none-thread arithmetic peak: %.1f G multiply-add pairs per second\n", peak / 1e6);
    return 0;
}

} // namespace

int main(int argc, char **argv)
{
    ImageComparison comparison;
    if (!takeImageOptions(&argc, argv, &comparison)) {
        std::fprintf(stderr, "hessian-maxima-bench: bad --sigma, --threshold or --repeat\n");
        return 2;
    }
    if (!comparison.image.isEmpty())
        return compareOnImage(comparison);
    if (!comparison.rerun.isEmpty())
        return timeReruns(comparison.rerun, comparison.repeat);
    if (!comparison.single.isEmpty())
        return timeSinglePicture(comparison.single, comparison.sigma, comparison.threshold);
    if (!comparison.decode.isEmpty())
        return compareJpegDecoding(comparison.decode, comparison.repeat);
    if (!comparison.stages.isEmpty())
        return timeStages(comparison.stages, comparison.sigma, comparison.threshold);
    if (comparison.scaleSpace)
        return compareScaleSpace(comparison.repeat);
    if (comparison.phases)
        return profilePhases(comparison.repeat);

    // The table's vector code: the best this processor runs, or the one
    // --target names (AVX2 on a processor with AVX-512, say).
    const std::vector<VectorTarget> targets = vectorTargets();
    // Without --target the core's own choice.
    const VectorTarget *target = nullptr;
    std::string targetName = "none";
    for (const VectorTarget &candidate : targets)
        if (candidate.target == chosenVectorTarget())
            targetName = candidate.name;
    if (!comparison.target.empty()) {
        target = nullptr;
        for (const VectorTarget &candidate : targets)
            if (comparison.target == candidate.name)
                target = &candidate;
        if (!target) {
            std::fprintf(stderr, "hessian-maxima-bench: no vector code '%s' here; this processor runs:",
                         comparison.target.c_str());
            for (const VectorTarget &candidate : targets)
                std::fprintf(stderr, " %s", candidate.name);
            std::fprintf(stderr, "\n");
            return 2;
        }
    }
    const int64_t targetBit = target ? target->target : 0;
    if (target)
        targetName = target->name;

    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 2;
    if (!checkEquivalence(targetBit)) {
        std::fprintf(stderr, "hessian-maxima-bench: the fast path differs from the reference\n");
        return 1;
    }
    registerBenchmarks(targetBit);
    TableReporter reporter;
    // The peak before and after the timings, the higher: the neighbours on a
    // shared machine can only lower it, and a low peak would flatter the
    // table's last column.
    const double peakBefore = peakPairsPerSecond();
    benchmark::RunSpecifiedBenchmarks(&reporter);
    printTable(reporter.msecs, targetName.c_str(), std::max(peakBefore, peakPairsPerSecond()));
    benchmark::Shutdown();
    return 0;
}
