// hessian-maxima-bench: how fast the timed stages of a run are (the response
// map and the maxima search), for the straightforward reference, the vector
// path on one thread and on all threads, and an OpenCV pipeline, on a fixed
// synthetic frame. Before timing anything it checks that the vector path
// gives exactly the reference's response and features.
//
// Google Benchmark's own options work as usual; the closing table gives
// milliseconds per frame and the ratios.

#include "detectionpaths.h"
#include "hessiandetector.h"
#include "localmaxima.h"
#include "parallelbands.h"

#ifdef HESSIAN_BENCH_OPENCV
#include "opencvpipeline.h"
#endif

#include <benchmark/benchmark.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <vector>

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

bool checkEquivalence()
{
    bool allSame = true;
    for (const FrameSize &size : kSizes) {
        const Frame &frame = frameFor(size);
        for (float sigma : kSigmas) {
            const Result reference = detect(frame, sigma, HessianRunConfig{HESSIAN_PATH_REFERENCE, 1, 0});
            const Result one = detect(frame, sigma, HessianRunConfig{HESSIAN_PATH_VECTOR, 1, 0});
            const Result all = detect(frame, sigma, HessianRunConfig{HESSIAN_PATH_VECTOR, 0, 0});
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

// Keeps every run's milliseconds per frame for the closing table.
class TableReporter : public benchmark::ConsoleReporter
{
public:
    void ReportRuns(const std::vector<Run> &runs) override
    {
        benchmark::ConsoleReporter::ReportRuns(runs);
        for (const Run &run : runs)
            if (run.run_type == Run::RT_Iteration && !run.error_occurred)
                msecs[run.run_name.function_name] = run.real_accumulated_time * 1e3 / (double)run.iterations;
    }
    std::map<std::string, double> msecs;
};

const char *const kReference = "reference";
const char *const kFastOne = "fast-1-thread";
const char *const kFastAll = "fast-all-threads";
const char *const kOpenCv = "opencv";

std::string benchmarkName(const char *path, const FrameSize &size, float sigma)
{
    return std::string(path) + "/" + caseName(size, sigma);
}

// Wall-clock time, as the detection job measures it.
void timeInWallClock(benchmark::internal::Benchmark *benchmark)
{
    benchmark->UseRealTime()->Unit(benchmark::kMillisecond);
}

void registerBenchmarks()
{
    for (const FrameSize &size : kSizes)
        for (float sigma : kSigmas) {
            timeInWallClock(benchmark::RegisterBenchmark(
                benchmarkName(kReference, size, sigma).c_str(), timeDetector, size, sigma,
                HessianRunConfig{HESSIAN_PATH_REFERENCE, 1, 0}));
            timeInWallClock(benchmark::RegisterBenchmark(
                benchmarkName(kFastOne, size, sigma).c_str(), timeDetector, size, sigma,
                HessianRunConfig{HESSIAN_PATH_VECTOR, 1, 0}));
            timeInWallClock(benchmark::RegisterBenchmark(
                benchmarkName(kFastAll, size, sigma).c_str(), timeDetector, size, sigma,
                HessianRunConfig{HESSIAN_PATH_VECTOR, 0, 0}));
#ifdef HESSIAN_BENCH_OPENCV
            timeInWallClock(benchmark::RegisterBenchmark(
                benchmarkName(kOpenCv, size, sigma).c_str(), timeOpenCv, size, sigma));
#endif
        }
}

void printTable(const std::map<std::string, double> &msecs)
{
    auto find = [&msecs](const char *path, const FrameSize &size, float sigma) {
        const auto it = msecs.find(benchmarkName(path, size, sigma));
        return it == msecs.end() ? NAN : it->second;
    };
    const std::vector<VectorTarget> targets = vectorTargets();
    std::printf("\nms per frame (response + maxima), vector code %s, %u hardware threads\n\n",
                targets.empty() ? "none" : targets.front().name, machineThreads());
    std::printf("| frame | sigma | reference | fast, 1 thread | fast, %u threads | OpenCV, %u threads "
                "| fast vs reference | fast vs OpenCV |\n",
                machineThreads(), machineThreads());
    std::printf("|---|---:|---:|---:|---:|---:|---:|---:|\n");
    for (const FrameSize &size : kSizes)
        for (float sigma : kSigmas) {
            const double reference = find(kReference, size, sigma);
            const double one = find(kFastOne, size, sigma);
            const double all = find(kFastAll, size, sigma);
            const double opencv = find(kOpenCv, size, sigma);
            std::printf("| %u x %u | %g | %.2f | %.2f | %.2f | %.2f | %.1fx | %.2fx |\n", size.width,
                        size.height, (double)sigma, reference, one, all, opencv, reference / all,
                        opencv / all);
        }
}

} // namespace

int main(int argc, char **argv)
{
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 2;
    if (!checkEquivalence()) {
        std::fprintf(stderr, "hessian-maxima-bench: the fast path differs from the reference\n");
        return 1;
    }
    registerBenchmarks();
    TableReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    printTable(reporter.msecs);
    benchmark::Shutdown();
    return 0;
}
