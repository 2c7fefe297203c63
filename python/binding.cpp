// hessian_maxima._core: the detection job, the response map, the loader and
// the overlap pruning for Python. Every run goes through the same code as
// the command-line tool (runDetection, loadFrame, the core); this file only
// moves pixels between numpy arrays and frames, and results back.

// Python's headers first: they must precede the system's, and Qt's `slots`
// macro would break theirs.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include "detectionjob.h"
#include "frameloading.h"
#include "scalespace.h"

#include <QImage>
#include <QString>

#include <algorithm>
#include <atomic>
#include <climits>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <limits>
#include <string>

namespace py = pybind11;

namespace {

// One feature as numpy sees it: hessian_maxima.FEATURE_DTYPE, packed.
#pragma pack(push, 1)
struct FeatureRecord {
    int32_t x;
    int32_t y;
    float x_subpixel;
    float y_subpixel;
    float sigma;
    float response;
    int8_t polarity;
};
#pragma pack(pop)
static_assert(sizeof(FeatureRecord) == 25, "the record must be packed");

// Runs inside the detector right now, with the interpreter lock released.
std::atomic<int> runsInProgress{0};

struct RunInProgress {
    RunInProgress() { runsInProgress.fetch_add(1); }
    ~RunInProgress() { runsInProgress.fetch_sub(1); }
};

// A uint8 array of H x W (grey) or H x W x 3 or 4 (RGB, RGBA): where its
// pixels are, read while the interpreter lock is held.
struct PixelSource {
    const unsigned char *data = nullptr;
    int width = 0;
    int height = 0;
    int channels = 1;  // 1 grey, 3 or 4 colour
    ptrdiff_t rowStride = 0;
    ptrdiff_t pixelStride = 0;
    ptrdiff_t channelStride = 0;
};

PixelSource pixelSource(const py::array &image)
{
    if (!image.dtype().is(py::dtype::of<uint8_t>()))
        throw py::value_error("the image must be uint8 here, not " + std::string(py::str(image.dtype())));
    const py::ssize_t dims = image.ndim();
    if (dims != 2 && !(dims == 3 && (image.shape(2) == 3 || image.shape(2) == 4))) {
        std::string shape;
        for (py::ssize_t d = 0; d < dims; ++d)
            shape += (d ? ", " : "") + std::to_string(image.shape(d));
        throw py::value_error("the image must be H x W (grey), H x W x 3 (RGB) or H x W x 4 (RGBA), not of shape ("
                              + shape + (dims == 1 ? ",)" : ")"));
    }
    if (image.shape(0) > INT_MAX || image.shape(1) > INT_MAX)
        throw py::value_error("the image is too large for one run: " + std::to_string(image.shape(1)) + " x "
                              + std::to_string(image.shape(0)) + " pixels (hessian_maxima.dask.detect_array "
                              "runs arrays of any size)");
    PixelSource source;
    source.data = static_cast<const unsigned char *>(image.data());
    source.height = (int)image.shape(0);
    source.width = (int)image.shape(1);
    source.channels = dims == 2 ? 1 : (int)image.shape(2);
    source.rowStride = image.strides(0);
    source.pixelStride = image.strides(1);
    source.channelStride = dims == 2 ? 0 : image.strides(2);
    return source;
}

// The frame a run takes, as the loader would hand it over: 8-bit grey, or
// 32-bit 0xFFRRGGBB pixels that the job converts to grey itself. Grey rows
// of adjacent bytes are used where they lie; anything else is copied.
// Without the interpreter lock: it reads only the array's memory.
QImage frameFor(const PixelSource &source)
{
    const int width = source.width, height = source.height;
    if (width == 0 || height == 0)
        return QImage();
    if (source.channels == 1 && source.pixelStride == 1 && source.rowStride >= width && source.rowStride <= INT_MAX) {
        QImage shared(source.data, width, height, (int)source.rowStride, QImage::Format_Grayscale8);
        if (!shared.isNull())
            return shared;
    }
    QImage frame(width, height, source.channels == 1 ? QImage::Format_Grayscale8 : QImage::Format_RGB32);
    if (frame.isNull())
        return frame;
    for (int y = 0; y < height; ++y) {
        const unsigned char *row = source.data + y * source.rowStride;
        if (source.channels == 1) {
            unsigned char *out = frame.scanLine(y);
            for (int x = 0; x < width; ++x)
                out[x] = row[x * source.pixelStride];
            continue;
        }
        uint32_t *out = reinterpret_cast<uint32_t *>(frame.scanLine(y));
        const ptrdiff_t c = source.channelStride;
        for (int x = 0; x < width; ++x) {
            const unsigned char *pixel = row + x * source.pixelStride;
            out[x] = 0xff000000u | (uint32_t)pixel[0] << 16 | (uint32_t)pixel[c] << 8 | (uint32_t)pixel[2 * c];
        }
    }
    return frame;
}

[[noreturn]] void throwStatus(int status, float sigma, int width, int height)
{
    char sigmaText[32];
    std::snprintf(sigmaText, sizeof sigmaText, "%g", (double)sigma);
    switch (status) {
    case HESSIAN_BAD_SIGMA:
        throw py::value_error(std::string("sigma ") + sigmaText + " is too large for the detector");
    case HESSIAN_BAD_GAUSS:
    case HESSIAN_BAD_D1:
    case HESSIAN_BAD_D2:
        throw py::value_error(std::string("the kernels for sigma ") + sigmaText + " cannot be built (sigma too small)");
    case HESSIAN_NO_MEMORY:
        throw std::bad_alloc();
    default:
        throw std::runtime_error("the detector failed with status " + std::to_string(status) + " on "
                                 + std::to_string(width) + " x " + std::to_string(height) + " pixels");
    }
}

// pybind11 turns std::bad_alloc into MemoryError; this one says what for.
[[noreturn]] void throwNoMemory(int width, int height)
{
    PyErr_SetString(PyExc_MemoryError, ("not enough memory to run the detector on " + std::to_string(width) + " x "
                                        + std::to_string(height) + " pixels").c_str());
    throw py::error_already_set();
}

py::array featureArray(const QVector<Feature> &features, const QVector<FeatureMeasure> &measures,
                       int64_t originX = 0, int64_t originY = 0)
{
    py::array_t<FeatureRecord> table((py::ssize_t)features.size());
    FeatureRecord *out = table.mutable_data();
    for (int i = 0; i < features.size(); ++i) {
        const FeatureMeasure &m = measures[i];
        out[i] = FeatureRecord{(int32_t)((int64_t)features[i].x + originX), (int32_t)((int64_t)features[i].y + originY),
                               m.xSubpixel, m.ySubpixel, m.sigma, m.response, m.polarity};
    }
    return std::move(table);
}

PolarityFilter polarityFilter(const std::string &polarity)
{
    if (polarity == "both")
        return PolarityFilter::Both;
    if (polarity == "bright")
        return PolarityFilter::Bright;
    if (polarity == "dark")
        return PolarityFilter::Dark;
    throw py::value_error("polarity must be 'both', 'bright' or 'dark', not '" + polarity + "'");
}

// The largest kernel radius of a run at sigma (a range up to sigmaMax over
// `scales` scales when scales > 1), from the core's own set-up; refuses
// what the set-up refuses, as the command line does before it runs.
uint32_t kernelRadius(float sigma, float sigmaMax, int scales)
{
    if (scales <= 1) {
        HessianDetector probe = {};
        const int status = initHessianDetector(&probe, sigma, 0, 0);
        const uint32_t radius = probe.radius;
        releaseHessianDetector(&probe);
        if (status != HESSIAN_OK)
            throwStatus(status, sigma, 0, 0);
        return radius;
    }
    HessianScaleSpace probe = {};
    const int status = initHessianScaleSpace(&probe, sigma, sigmaMax, (uint32_t)scales, 0, 0);
    const uint32_t radius = status == HESSIAN_OK ? probe.levels[scales - 1].radius : 0;
    releaseHessianScaleSpace(&probe);
    if (status == HESSIAN_BAD_SIGMA)
        throw py::value_error("the scale range " + std::to_string(sigma) + ":" + std::to_string(sigmaMax) + " with "
                              + std::to_string(scales) + " scales cannot be set up: its scales are not distinct "
                              "or too large");
    if (status != HESSIAN_OK)
        throw py::value_error("the scale range " + std::to_string(sigma) + ":" + std::to_string(sigmaMax)
                              + " cannot be set up: its smallest sigma is too small");
    return radius;
}

py::array detect(const py::array &image, float sigma, float threshold, int scales, float sigmaMax,
                 const std::string &polarity, float overlap, unsigned threads, uint32_t originX, uint32_t originY)
{
    DetectionSettings settings;
    settings.sigma = sigma;
    settings.threshold = threshold;
    settings.polarity = polarityFilter(polarity);
    settings.threads = threads;
    settings.scales = scales;
    settings.sigmaMax = scales > 1 ? sigmaMax : 0.0f;
    settings.overlap = overlap;
    settings.origin.x = originX;
    settings.origin.y = originY;
    kernelRadius(sigma, sigmaMax, scales);  // refuses settings the run would refuse

    const PixelSource source = pixelSource(image);
    DetectionResult result;
    bool noFrame = false;
    {
        py::gil_scoped_release unlocked;
        RunInProgress running;
        const QImage frame = frameFor(source);
        noFrame = frame.isNull() && source.width > 0 && source.height > 0;
        if (!noFrame)
            result = runDetection(frame, settings);
    }
    if (noFrame || result.status == HESSIAN_NO_MEMORY)
        throwNoMemory(source.width, source.height);
    if (result.status != HESSIAN_OK)
        throwStatus(result.status, std::max(sigma, settings.sigmaMax), source.width, source.height);
    return featureArray(result.features, result.measures, originX, originY);
}

py::array response(const py::array &image, float sigma, unsigned threads)
{
    kernelRadius(sigma, sigma, 1);
    const PixelSource source = pixelSource(image);
    py::array_t<float> map({(py::ssize_t)source.height, (py::ssize_t)source.width});
    float *out = map.mutable_data();
    int status = HESSIAN_OK;
    bool noFrame = false;
    {
        py::gil_scoped_release unlocked;
        RunInProgress running;
        const QImage frame = frameFor(source);
        noFrame = frame.isNull() && source.width > 0 && source.height > 0;
        DetectionWorkspace space;
        if (!noFrame)
            status = space.prepare(sigma, (uint32_t)source.width, (uint32_t)source.height);
        if (!noFrame && status == HESSIAN_OK) {
            HessianRunConfig config = defaultRunConfig();
            config.threads = threads;
            convertFrameToGrey(frame, space.grey());
            HessianDetector *detector = space.detector();
            status = computeHessianResponseWith(detector, space.grey(), config);
            // The map is written on the valid region only.
            const size_t width = (size_t)source.width, height = (size_t)source.height, r = detector->radius;
            for (size_t y = 0; y < height && status == HESSIAN_OK; ++y)
                for (size_t x = 0; x < width; ++x)
                    out[y * width + x] = y >= r && y + r < height && x >= r && x + r < width
                                             ? detector->response[y * width + x]
                                             : std::numeric_limits<float>::quiet_NaN();
        }
    }
    if (noFrame || status == HESSIAN_NO_MEMORY)
        throwNoMemory(source.width, source.height);
    if (status != HESSIAN_OK)
        throwStatus(status, sigma, source.width, source.height);
    return std::move(map);
}

// The picture as the command line reads it, as an array detect() takes
// (grey H x W, or H x W x 3 in R, G, B order), and what is damaged in the
// file (empty when nothing); an unreadable file gives None and the reason.
py::tuple load(const std::string &path)
{
    QImage frame;
    QString error, damage;
    bool loaded = false;
    {
        py::gil_scoped_release unlocked;
        loaded = loadFrame(QString::fromStdString(path), &frame, &error, &damage);
    }
    if (!loaded)
        return py::make_tuple(py::none(), error.toStdString());
    const bool grey = frame.format() == QImage::Format_Grayscale8;
    if (!grey && frame.format() != QImage::Format_RGB32)
        frame = frame.convertToFormat(QImage::Format_RGB32);
    if (frame.isNull())
        throwNoMemory(0, 0);
    const py::ssize_t width = frame.width(), height = frame.height();
    py::array_t<uint8_t> pixels = grey ? py::array_t<uint8_t>({height, width}) : py::array_t<uint8_t>({height, width, (py::ssize_t)3});
    uint8_t *out = pixels.mutable_data();
    {
        py::gil_scoped_release unlocked;
        for (py::ssize_t y = 0; y < height; ++y) {
            if (grey) {
                std::memcpy(out + y * width, frame.constScanLine((int)y), (size_t)width);
                continue;
            }
            const uint32_t *row = reinterpret_cast<const uint32_t *>(frame.constScanLine((int)y));
            uint8_t *o = out + y * width * 3;
            for (py::ssize_t x = 0; x < width; ++x) {
                o[3 * x] = (uint8_t)(row[x] >> 16);
                o[3 * x + 1] = (uint8_t)(row[x] >> 8);
                o[3 * x + 2] = (uint8_t)row[x];
            }
        }
    }
    return py::make_tuple(std::move(pixels), damage.toStdString());
}

// The overlap pruning of scale-range runs on a feature table gathered from
// several runs, in row-major then scale order: the kept features.
py::array prune(const py::array_t<FeatureRecord, py::array::c_style> &table, double overlap)
{
    const FeatureRecord *in = table.data();
    const py::ssize_t count = table.size();
    if (count > INT_MAX)
        throw py::value_error("too many features to prune at once");
    QVector<Feature> features((int)count);
    QVector<FeatureMeasure> measures((int)count);
    for (py::ssize_t i = 0; i < count; ++i) {
        features[(int)i] = Feature{(float)in[i].x, (float)in[i].y};
        measures[(int)i] = FeatureMeasure{in[i].x_subpixel, in[i].y_subpixel, in[i].sigma, in[i].response,
                                          in[i].polarity};
    }
    int status;
    {
        py::gil_scoped_release unlocked;
        status = pruneOverlappingFeatures(features, measures, overlap, kBlobRadiusPerSigma);
    }
    if (status != HESSIAN_OK)
        throw std::bad_alloc();
    return featureArray(features, measures);
}

} // namespace

PYBIND11_MODULE(_core, module)
{
    PYBIND11_NUMPY_DTYPE(FeatureRecord, x, y, x_subpixel, y_subpixel, sigma, response, polarity);
    module.doc() = "The detector itself; use the functions of hessian_maxima.";
    module.attr("FEATURE_DTYPE") = py::dtype::of<FeatureRecord>();
    module.attr("BLOB_RADIUS_PER_SIGMA") = kBlobRadiusPerSigma;
    module.def("detect", &detect, py::arg("image"), py::arg("sigma"), py::arg("threshold"), py::arg("scales"),
               py::arg("sigma_max"), py::arg("polarity"), py::arg("overlap"), py::arg("threads"),
               py::arg("origin_x") = 0, py::arg("origin_y") = 0);
    module.def("response", &response, py::arg("image"), py::arg("sigma"), py::arg("threads"));
    module.def("load", &load, py::arg("path"));
    module.def("prune", &prune, py::arg("features"), py::arg("overlap"));
    module.def("kernel_radius", &kernelRadius, py::arg("sigma"), py::arg("sigma_max"), py::arg("scales"),
               "The largest kernel radius of a run, floor(3 sigma + 0.5) of its largest sigma.");
    module.def("_runs_in_progress", [] { return runsInProgress.load(); },
               "How many runs are inside the detector now, without the interpreter lock (for tests).");
}
