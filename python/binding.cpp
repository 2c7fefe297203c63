// hessian_maxima._core: the detection job, the response map, the loader,
// the mapping of deeper samples to 8 bits and the overlap pruning for
// Python. Every run goes through the same code as the command-line tool
// (runDetection, loadPicture, findStretchRange, the core); this file only
// moves samples between numpy arrays and frames, and results back.

// Python's headers first: they must precede the system's, and Qt's `slots`
// macro would break theirs.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include "detectionjob.h"
#include "frameloading.h"
#include "intensitystretch.h"
#include "nativepictures.h"
#include "picturesource.h"
#include "parallelbands.h"
#include "runreport.h"
#include "scalespace.h"
#include "spotfit.h"
#include "tracklinking.h"

#include <QImage>
#include <QString>

#include <algorithm>
#include <atomic>
#include <climits>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <memory>
#include <string>
#include <vector>

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

// The numpy dtypes of the samples the loader knows, and their names.
struct SampleDtype {
    SampleType type;
    const char *name;
};
const SampleDtype kSampleDtypes[] = {{SAMPLE_U8, "uint8"},   {SAMPLE_U16, "uint16"},   {SAMPLE_I16, "int16"},
                                     {SAMPLE_U32, "uint32"}, {SAMPLE_I32, "int32"},    {SAMPLE_F32, "float32"},
                                     {SAMPLE_F64, "float64"}};

// The sample type of a dtype in the machine's byte order (the package
// brings arrays to it); ValueError for the others.
SampleType sampleType(const py::dtype &dtype)
{
    for (const SampleDtype &known : kSampleDtypes)
        if (dtype.equal(py::dtype(known.name)))
            return known.type;
    throw py::value_error("the image must be uint8, uint16, int16, uint32, int32, float32 or float64, not "
                          + std::string(py::str(py::handle(dtype))));
}

// An array of H x W (grey) or H x W x 3 or 4 (RGB, RGBA) samples: where
// they are, read while the interpreter lock is held.
struct PixelSource {
    const unsigned char *data = nullptr;
    SampleType type = SAMPLE_U8;
    int width = 0;
    int height = 0;
    int channels = 1;  // 1 grey, 3 or 4 colour
    ptrdiff_t rowStride = 0;  // bytes
    ptrdiff_t pixelStride = 0;
    ptrdiff_t channelStride = 0;

    const unsigned char *sample(int y, int x, int channel) const
    {
        return data + y * rowStride + x * pixelStride + channel * channelStride;
    }
    // Calls use(samples, count, stride) for every row of every colour
    // channel (alpha left out), `stride` counted in samples.
    template <typename Use>
    void forEachRun(Use use) const
    {
        const size_t stride = (size_t)pixelStride / sampleBytes(type);
        for (int y = 0; y < height; ++y)
            for (int channel = 0; channel < std::min(channels, 3); ++channel)
                use(sample(y, 0, channel), (size_t)width, stride);
    }
    // The same for rows first <= y < last, rows that follow each other in
    // memory handed over as one run.
    template <typename Use>
    void forEachRunOfRows(int first, int last, Use use) const
    {
        const size_t stride = (size_t)pixelStride / sampleBytes(type);
        const bool joined = rowStride == (ptrdiff_t)width * pixelStride;
        for (int y = first; y < last; y = joined ? last : y + 1)
            for (int channel = 0; channel < std::min(channels, 3); ++channel)
                use(sample(y, 0, channel), (size_t)width * (size_t)(joined ? last - y : 1), stride);
    }
};

// Bands of rows for work over a whole array on every core: a few per
// thread, so that a thread that starts late holds up nobody.
unsigned rowBands(int height)
{
    return (unsigned)std::max(1, std::min(height, (int)(4 * machineThreads())));
}

// Row `band` of `bands` bands of `height` rows: [first, last).
void bandRows(unsigned band, unsigned bands, int height, int *first, int *last)
{
    *first = (int)((int64_t)height * band / bands);
    *last = (int)((int64_t)height * (band + 1) / bands);
}

// A run holds the picture several times over (about 16 bytes a pixel at
// its peak), so arrays get the loader's limit for a whole frame, checked
// from the shape alone, before any pass over the samples or any copy: a
// broadcast view costs nothing until it is read.
void checkRunSize(py::ssize_t height, py::ssize_t width)
{
    if (height <= INT_MAX && width <= INT_MAX && (uint64_t)height * (uint64_t)width <= (uint64_t)kMaxFramePixels)
        return;
    throw py::value_error("the image is too large for one run: " + std::to_string(width) + " x "
                          + std::to_string(height) + " pixels, the limit is " + std::to_string(kMaxFramePixels)
                          + " pixels (256 megapixels); hessian_maxima.dask.detect_array runs larger arrays "
                          "in chunks");
}

// anyType: for the stretch, which takes every sample type; the run itself
// takes uint8 only.
PixelSource pixelSource(const py::array &image, bool anyType = false)
{
    const SampleType type = sampleType(image.dtype());
    if (type != SAMPLE_U8 && !anyType)
        throw py::value_error("the image must be uint8 here, not " + std::string(py::str(image.dtype())));
    const py::ssize_t dims = image.ndim();
    if (dims != 2 && !(dims == 3 && (image.shape(2) == 3 || image.shape(2) == 4))) {
        std::string shape;
        for (py::ssize_t d = 0; d < dims; ++d)
            shape += (d ? ", " : "") + std::to_string(image.shape(d));
        throw py::value_error("the image must be H x W (grey), H x W x 3 (RGB) or H x W x 4 (RGBA), not of shape ("
                              + shape + (dims == 1 ? ",)" : ")"));
    }
    checkRunSize(image.shape(0), image.shape(1));
    // The core's stretch reads samples a whole number of samples apart,
    // forwards (frameFor reads bytes any way).
    const py::ssize_t size = (py::ssize_t)sampleBytes(type);
    if (anyType && (image.strides(1) < 0 || image.strides(1) % size != 0))
        throw py::value_error("the image's columns must lie a whole number of samples apart, forwards "
                              "(numpy.ascontiguousarray makes them so)");
    PixelSource source;
    source.data = static_cast<const unsigned char *>(image.data());
    source.type = type;
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

// pybind11 turns std::bad_alloc into MemoryError; this one says what for.
[[noreturn]] void throwNoMemory(int width, int height)
{
    PyErr_SetString(PyExc_MemoryError,
                    runFailureReason(HESSIAN_NO_MEMORY, 0.0f, 0.0f, width, height).toStdString().c_str());
    throw py::error_already_set();
}

// A failed run as the command line words it: settings the detector cannot
// take are a ValueError.
[[noreturn]] void throwStatus(int status, float sigma, float sigmaMax, int width, int height)
{
    if (status == HESSIAN_NO_MEMORY)
        throw std::bad_alloc();
    const std::string reason = runFailureReason(status, sigma, sigmaMax, width, height).toStdString();
    switch (status) {
    case HESSIAN_BAD_SIGMA:
    case HESSIAN_BAD_GAUSS:
    case HESSIAN_BAD_D1:
    case HESSIAN_BAD_D2:
        throw py::value_error(reason);
    default:
        throw std::runtime_error(reason + " on " + std::to_string(width) + " x " + std::to_string(height)
                                 + " pixels");
    }
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
    PolarityFilter filter = PolarityFilter::Both;
    if (!parsePolarityName(QString::fromStdString(polarity), &filter))
        throw py::value_error("polarity must be 'both', 'bright' or 'dark', not '" + polarity + "'");
    return filter;
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
            throwStatus(status, sigma, 0.0f, 0, 0);
        return radius;
    }
    HessianScaleSpace probe = {};
    const int status = initHessianScaleSpace(&probe, sigma, sigmaMax, (uint32_t)scales, 0, 0);
    const uint32_t radius = status == HESSIAN_OK ? probe.levels[scales - 1].radius : 0;
    releaseHessianScaleSpace(&probe);
    if (status != HESSIAN_OK)
        throw py::value_error(scaleRangeFailureReason(status, sigma, sigmaMax, scales).toStdString());
    return radius;
}

// None: the run's default; otherwise a name as --border takes it.
BorderChoice borderChoice(const py::object &border)
{
    BorderChoice choice = BorderChoice::Default;
    if (!border.is_none()
        && !(py::isinstance<py::str>(border) && parseBorderName(QString::fromStdString(border.cast<std::string>()), &choice)))
        throw py::value_error("border must be None, 'reflect', 'nearest', 'constant' or 'interior', not "
                              + std::string(py::repr(border)));
    return choice;
}

// The settings of a run as detect() and run_margin() take them; `sigmas`,
// when not None, the levels of a range (increasing floats) instead of the
// log-spaced ones. Refuses settings the run would refuse.
DetectionSettings runSettings(float sigma, int scales, float sigmaMax, const py::object &border,
                              const py::object &sigmas)
{
    DetectionSettings settings;
    settings.sigma = sigma;
    settings.scales = scales;
    settings.sigmaMax = scales > 1 ? sigmaMax : 0.0f;
    settings.border = borderChoice(border);
    if (!sigmas.is_none()) {
        for (const py::handle &value : sigmas)
            settings.sigmaList.append(value.cast<float>());
        if (settings.sigmaList.isEmpty())
            throw py::value_error("a list of sigmas must hold at least one");
        settings.sigma = settings.sigmaList.first();
        settings.sigmaMax = settings.sigmaList.last();
        settings.scales = settings.sigmaList.size();
    }
    uint32_t margin = 0;
    const int status = runMargin(settings, &margin);
    if (status != HESSIAN_OK) {
        if (settings.scales > 1)
            throw py::value_error(scaleRangeFailureReason(status, settings.sigma, settings.sigmaMax, settings.scales)
                                      .toStdString());
        throwStatus(status, settings.sigma, 0.0f, 0, 0);
    }
    return settings;
}

// How far a run's results read around their pixels (runMargin).
uint32_t marginOfRun(float sigma, int scales, float sigmaMax, const py::object &sigmas)
{
    uint32_t margin = 0;
    runMargin(runSettings(sigma, scales, sigmaMax, py::none(), sigmas), &margin);
    return margin;
}

py::array detect(const py::array &image, float sigma, float threshold, int scales, float sigmaMax,
                 const std::string &polarity, float overlap, unsigned threads, int64_t originX, int64_t originY,
                 const py::object &border, const py::object &sigmas)
{
    DetectionSettings settings = runSettings(sigma, scales, sigmaMax, border, sigmas);
    settings.threshold = threshold;
    settings.polarity = polarityFilter(polarity);
    settings.threads = threads;
    settings.overlap = overlap;
    settings.origin.x = originX;
    settings.origin.y = originY;

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
        throwStatus(result.status, settings.sigma, settings.sigmaMax, source.width, source.height);
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
        throwStatus(status, sigma, 0.0f, source.width, source.height);
    return std::move(map);
}

// The stretch a Python caller asks for: None (the picture's default) or a
// name as --stretch takes it.
StretchChoice stretchChoice(const py::object &stretch)
{
    StretchChoice choice;
    if (stretch.is_none())
        return choice;
    const std::string expected = "'none', 'minmax', 'percentile' or 'percentile:LOW:HIGH' (percentages, "
                                 "0 <= LOW < HIGH <= 100)";
    if (!py::isinstance<py::str>(stretch))
        throw py::value_error("stretch must be None or one of " + expected + ", not "
                              + std::string(py::repr(stretch)));
    const std::string text = stretch.cast<std::string>();
    if (!parseStretchName(QString::fromStdString(text), &choice))
        throw py::value_error("stretch must be None or one of " + expected + ", not '" + text + "'");
    return choice;
}

const char *modeName(StretchMode mode)
{
    switch (mode) {
    case StretchMode::MinMax:
        return "minmax";
    case StretchMode::Percentile:
        return "percentile";
    default:
        return "none";
    }
}

StretchMode modeOfName(const std::string &name)
{
    return name == "minmax" ? StretchMode::MinMax : name == "percentile" ? StretchMode::Percentile : StretchMode::None;
}

// How an array of `dtype` is mapped under `stretch`, as the loader maps a
// TIFF of the same samples: the mode (the default resolved), its
// percentages, and the reduction "none" gives (kind, lo, hi).
py::tuple stretchPlan(const py::dtype &dtype, const py::object &stretch)
{
    const SampleType type = sampleType(dtype);
    const StretchChoice choice = stretchChoice(stretch);
    const ByteReduction none = noneReduction(type);
    return py::make_tuple(modeName(resolvedStretchMode(choice.mode, qtReadsSamples(type), type)), choice.low, choice.high,
                          (int)none.kind, none.lo, none.hi);
}

// The array's samples reduced to bytes (kind and lo, hi of a
// ByteReduction): uint8 H x W, or H x W x 3 for colour (alpha left out).
py::array reduceImage(const py::array &image, int kind, double lo, double hi)
{
    const PixelSource source = pixelSource(image, true);
    if (kind != REDUCE_STRETCH && !(kind == REDUCE_ROUND_257 && source.type == SAMPLE_U16))
        throw py::value_error("no such reduction for " + std::string(py::str(image.dtype())) + " samples");
    const ByteReduction reduction{(ByteReductionKind)kind, lo, hi, 0};
    const py::ssize_t height = source.height, width = source.width, channels = std::min(source.channels, 3);
    py::array_t<uint8_t> pixels = channels == 1 ? py::array_t<uint8_t>({height, width})
                                                : py::array_t<uint8_t>({height, width, channels});
    uint8_t *out = pixels.mutable_data();
    int status = 0;
    {
        py::gil_scoped_release unlocked;
        std::unique_ptr<ByteLookup> lookUp(new ByteLookup);
        prepareByteLookup(lookUp.get(), source.type, reduction);
        const unsigned bands = rowBands(source.height);
        // Every band's rows on their own: each byte depends on its sample only.
        status = runInBands(machineThreads(), bands, 0, bands, [&](unsigned, unsigned, uint32_t firstBand,
                                                                  uint32_t lastBand) {
          try {
            std::vector<unsigned char> run;
            for (uint32_t band = firstBand; band < lastBand; ++band) {
                int first = 0, last = 0;
                bandRows(band, bands, source.height, &first, &last);
                int y = first, channel = 0;
                source.forEachRunOfRows(first, last, [&](const void *samples, size_t count, size_t stride) {
                    uint8_t *at = out + (size_t)y * (size_t)(width * channels);
                    if (channels == 1) {
                        reduceToBytes(samples, source.type, count, stride, reduction, at, lookUp.get());
                    } else {
                        run.resize(count);
                        reduceToBytes(samples, source.type, count, stride, reduction, run.data(), lookUp.get());
                        for (size_t x = 0; x < count; ++x)
                            at[x * (size_t)channels + (size_t)channel] = run[x];
                    }
                    if (++channel == channels) {
                        channel = 0;
                        y += (int)(count / (size_t)width);
                    }
                });
            }
            return 0;
          } catch (const std::bad_alloc &) {
            return (int)HESSIAN_NO_MEMORY;
          }
        });
    }
    if (status != 0)
        throw std::bad_alloc();
    return std::move(pixels);
}

// lo and hi of a minmax or percentile stretch over the whole array, as the
// loader finds them for a picture, and whether equal percentiles were
// widened to the array's extent.
py::tuple stretchRange(const py::array &image, const std::string &mode, double low, double high)
{
    const PixelSource source = pixelSource(image, true);
    StretchChoice choice;
    choice.mode = modeOfName(mode);
    choice.low = low;
    choice.high = high;
    StretchUsed used;
    QString error;
    bool found = false;
    {
        py::gil_scoped_release unlocked;
        const unsigned bands = rowBands(source.height);
        found = findStretchRangeInBands(choice, source.type, bands, [&](unsigned band, const SampleFeed &feed, QString *) {
            int first = 0, last = 0;
            bandRows(band, bands, source.height, &first, &last);
            source.forEachRunOfRows(first, last, feed);
            return true;
        }, &used, &error);
    }
    if (!found && error.startsWith(QLatin1String("not enough memory")))
        throw std::bad_alloc();
    // The loader's reason speaks of a picture.
    if (!found && error.startsWith(QLatin1String("the picture ")))
        error.replace(0, 11, QStringLiteral("the image"));
    if (!found)
        throw py::value_error(error.toStdString());
    return py::make_tuple(used.lo, used.hi, used.widened);
}

// A percentile range (lo, hi) found in pieces, widened as a whole array's
// is when lo == hi while the samples run from lowest to highest:
// (lo, hi, widened).
py::tuple widenPercentiles(double lo, double hi, double lowest, double highest)
{
    StretchUsed used;
    used.mode = StretchMode::Percentile;
    used.lo = lo;
    used.hi = hi;
    widenEqualPercentiles(&used, lowest, highest);
    return py::make_tuple(used.lo, used.hi, used.widened);
}

// The smallest and largest finite sample of an array (colour channels
// together) and how many finite samples there are: (count, min, max).
py::tuple sampleExtent(const py::array &image)
{
    const PixelSource source = pixelSource(image, true);
    SampleExtent extent;
    sampleExtentStart(&extent);
    {
        py::gil_scoped_release unlocked;
        source.forEachRun([&](const void *samples, size_t count, size_t stride) {
            sampleExtentAdd(&extent, samples, source.type, count, stride);
        });
    }
    return py::make_tuple(extent.count, extent.min, extent.max);
}

// The search for the values at two ranks of an array's samples when the
// array comes in pieces (the chunks of a Dask array): count() counts one
// piece for the pass under way, anywhere (it is pickled to the workers),
// and end_pass() takes the counts of all pieces summed.
class PieceRankSearch
{
public:
    PieceRankSearch(SampleType type, uint64_t low, uint64_t high)
    {
        if (rankSearchStart(&search, type, low, high) != HESSIAN_OK)
            throw std::bad_alloc();
    }
    PieceRankSearch(const PieceRankSearch &) = delete;
    PieceRankSearch &operator=(const PieceRankSearch &) = delete;
    ~PieceRankSearch() { rankSearchRelease(&search); }

    static std::unique_ptr<PieceRankSearch> create(const py::dtype &dtype, uint64_t low, uint64_t high)
    {
        return std::unique_ptr<PieceRankSearch>(new PieceRankSearch(sampleType(dtype), low, high));
    }

    bool done() const { return search.knownBits >= search.keyBits; }

    // The counts of one piece for this pass: uint64, 2 x 65536.
    py::array count(const py::array &image) const
    {
        const PixelSource source = pixelSource(image, true);
        if (source.type != search.type)
            throw py::value_error("the piece's samples are not of the search's type");
        if (done())
            throw py::value_error("the search is over");
        py::array_t<uint64_t> counts({(py::ssize_t)2, kDigits});
        std::fill_n(counts.mutable_data(), 2 * kDigits, 0);
        RankSearch piece = search;
        piece.counts[0] = counts.mutable_data();
        piece.counts[1] = counts.mutable_data() + kDigits;
        {
            py::gil_scoped_release unlocked;
            source.forEachRun([&](const void *samples, size_t count, size_t stride) {
                rankSearchAdd(&piece, samples, count, stride);
            });
        }
        return std::move(counts);
    }

    // Ends a pass with the counts of all pieces: true when both values are known.
    bool endPass(const py::array_t<uint64_t, py::array::c_style | py::array::forcecast> &counts)
    {
        if (counts.ndim() != 2 || counts.shape(0) != 2 || counts.shape(1) != kDigits)
            throw py::value_error("the counts must be 2 x 65536");
        if (done())
            throw py::value_error("the search is over");
        std::copy_n(counts.data(), kDigits, search.counts[0]);
        std::copy_n(counts.data() + kDigits, kDigits, search.counts[1]);
        return rankSearchEndPass(&search);
    }

    py::tuple values() const
    {
        if (!done())
            throw py::value_error("the search is not over");
        return py::make_tuple(rankSearchValue(&search, 0), rankSearchValue(&search, 1));
    }

    py::tuple state() const
    {
        return py::make_tuple((int)search.type, search.knownBits, search.rank[0], search.rank[1], search.prefix[0],
                              search.prefix[1]);
    }

    static std::unique_ptr<PieceRankSearch> fromState(const py::tuple &state)
    {
        const int type = state.size() == 6 ? state[0].cast<int>() : -1;
        if (type < SAMPLE_U8 || type > SAMPLE_F64)
            throw py::value_error("not the state of a rank search");
        std::unique_ptr<PieceRankSearch> restored(
            new PieceRankSearch((SampleType)type, state[2].cast<uint64_t>(), state[3].cast<uint64_t>()));
        restored->search.knownBits = state[1].cast<unsigned>();
        restored->search.prefix[0] = state[4].cast<uint64_t>();
        restored->search.prefix[1] = state[5].cast<uint64_t>();
        return restored;
    }

private:
    static constexpr py::ssize_t kDigits = 65536;
    RankSearch search = {};
};

// What the loader says about a stretch (see stretchNotice), for an array.
std::string noticeText(const std::string &mode, double low, double high, double lo, double hi, int lowest,
                       int highest, bool widened)
{
    StretchUsed used;
    used.mode = modeOfName(mode);
    used.low = low;
    used.high = high;
    used.lo = lo;
    used.hi = hi;
    used.widened = widened;
    return stretchNotice(used, lowest, highest).text.toStdString();
}

// A frame as detect() takes it: grey H x W, or H x W x 3 in R, G, B order,
// written to `out` (height * width bytes, or 3 times that). Without the
// interpreter lock.
void copyFrame(const QImage &frame, uint8_t *out)
{
    const bool grey = frame.format() == QImage::Format_Grayscale8;
    const qint64 width = frame.width(), height = frame.height();
    for (qint64 y = 0; y < height; ++y) {
        if (grey) {
            std::memcpy(out + y * width, frame.constScanLine((int)y), (size_t)width);
            continue;
        }
        const uint32_t *row = reinterpret_cast<const uint32_t *>(frame.constScanLine((int)y));
        uint8_t *o = out + y * width * 3;
        for (qint64 x = 0; x < width; ++x) {
            o[3 * x] = (uint8_t)(row[x] >> 16);
            o[3 * x + 1] = (uint8_t)(row[x] >> 8);
            o[3 * x + 2] = (uint8_t)row[x];
        }
    }
}

// The frame in a layout copyFrame reads (grey or RGB32).
QImage copyableFrame(const QImage &frame)
{
    QImage copyable = frame;
    if (frame.format() != QImage::Format_Grayscale8 && frame.format() != QImage::Format_RGB32)
        copyable = frame.convertToFormat(QImage::Format_RGB32);
    if (copyable.isNull() && !frame.isNull())
        throw std::bad_alloc();
    return copyable;
}

py::array frameArray(const QImage &frame)
{
    const bool grey = frame.format() == QImage::Format_Grayscale8;
    const py::ssize_t width = frame.width(), height = frame.height();
    py::array_t<uint8_t> pixels = grey ? py::array_t<uint8_t>({height, width})
                                       : py::array_t<uint8_t>({height, width, (py::ssize_t)3});
    uint8_t *out = pixels.mutable_data();
    {
        py::gil_scoped_release unlocked;
        copyFrame(frame, out);
    }
    return std::move(pixels);
}

// The largest stack load() returns whole: 2^30 bytes of 8-bit samples.
const qint64 kMaxStackBytes = qint64(1) << 30;

SourceOptions sourceOptions(bool luma, bool autorotate)
{
    SourceOptions options;
    options.luma = luma;
    options.autorotate = autorotate;
    return options;
}

// A sequence's frames read whole into one array (frames x H x W, or x 3),
// while it stays within kMaxStackBytes; all frames of one size and layout.
// Frames that cannot be read are left out (the damage names them).
py::array loadStack(PictureSource &source, const LoadOptions &options, const std::string &path,
                    std::string *damage, StretchNotice *notice)
{
    const SourceInfo &info = source.info();
    const auto tooLarge = [&](qint64 frames) {
        return py::value_error("'" + path + "' is a sequence of " + std::to_string(frames)
                               + " frames, more than load() returns whole (1 GiB of 8-bit samples): "
                                 "hessian_maxima.frames(path) reads them one by one");
    };
    if (info.live)
        throw py::value_error("'" + path + "' is a live source, without an end: hessian_maxima.frames(path) reads "
                              "its frames one by one");
    qint64 frameBytes = 0;
    std::vector<uint8_t> bytes;
    qint64 count = 0, width = 0, height = 0;
    bool grey = true;
    QString error, sizes;
    FrameRead read = FrameRead::Frame;
    {
        py::gil_scoped_release unlocked;
        // Known from the header: refused before anything is read.
        const qint64 pixels = info.width * info.height;
        if (info.framesExact && info.frames > 0 && pixels > 0 && info.frames > kMaxStackBytes / pixels)
            count = -1;
        for (SourceFrame frame; count >= 0;) {
            read = source.next(options, &frame, &error);
            if (read != FrameRead::Frame)
                break;
            const QImage image = copyableFrame(frame.picture.frame);
            if (count == 0) {
                width = image.width();
                height = image.height();
                grey = image.format() == QImage::Format_Grayscale8;
                frameBytes = width * height * (grey ? 1 : 3);
                *notice = frame.picture.notice;
            } else if (image.width() != width || image.height() != height
                       || (image.format() == QImage::Format_Grayscale8) != grey) {
                sizes = QStringLiteral("frame %1 is %2 x %3 %4, frame 0 %5 x %6 %7")
                            .arg(frame.index).arg(image.width()).arg(image.height())
                            .arg(QLatin1String(image.format() == QImage::Format_Grayscale8 ? "grey" : "colour"))
                            .arg(width).arg(height).arg(QLatin1String(grey ? "grey" : "colour"));
                break;
            }
            if ((qint64)bytes.size() + frameBytes > kMaxStackBytes) {
                count = -1;
                break;
            }
            bytes.resize(bytes.size() + (size_t)frameBytes);
            copyFrame(image, bytes.data() + (size_t)(count * frameBytes));
            ++count;
        }
    }
    if (count < 0)
        throw tooLarge(info.frames);
    if (!sizes.isEmpty())
        throw py::value_error("the frames of '" + path + "' differ in size or kind (" + sizes.toStdString()
                              + "): hessian_maxima.frames(path) reads them one by one");
    if (read == FrameRead::Failed && count == 0)
        throw py::value_error("cannot read '" + path + "': " + error.toStdString());
    QStringList said;
    if (source.losses().any())
        said << source.losses().text();
    if (read == FrameRead::Failed)
        said << QStringLiteral("reading stopped after %1 frames: %2").arg(count).arg(error);
    *damage = said.join(QStringLiteral("; ")).toStdString();
    std::vector<py::ssize_t> shape{(py::ssize_t)count, (py::ssize_t)height, (py::ssize_t)width};
    if (!grey)
        shape.push_back(3);
    py::array_t<uint8_t> stack(shape);
    if (!bytes.empty())
        std::memcpy(stack.mutable_data(), bytes.data(), bytes.size());
    return std::move(stack);
}

// The picture as the command line reads it with that stretch, as an array
// detect() takes (grey H x W, or H x W x 3 in R, G, B order; a sequence's
// frames as frames x H x W (x 3)), what is damaged in the file and what the
// stretch tells (each empty when nothing), and whether that is of few
// levels (StretchNotice::narrow); an unreadable file gives None and the
// reason.
py::tuple load(const std::string &path, const py::object &stretch, bool luma, bool autorotate)
{
    LoadOptions options;
    options.stretch = stretchChoice(stretch);
    QString error;
    std::unique_ptr<PictureSource> source;
    {
        py::gil_scoped_release unlocked;
        source = PictureSource::open(QString::fromStdString(path), sourceOptions(luma, autorotate), &error);
    }
    if (!source)
        return py::make_tuple(py::none(), error.toStdString(), std::string(), false);
    if (source->info().isSequence()) {
        std::string damage;
        StretchNotice notice;
        py::array stack = loadStack(*source, options, path, &damage, &notice);
        return py::make_tuple(std::move(stack), damage, std::string(), false);
    }
    LoadedPicture picture;
    QString damage;
    bool loaded = false;
    {
        py::gil_scoped_release unlocked;
        loaded = source->load(options, &picture, &error, &damage);
    }
    if (!loaded)
        return py::make_tuple(py::none(), error.toStdString(), std::string(), false);
    return py::make_tuple(frameArray(copyableFrame(picture.frame)), damage.toStdString(),
                          picture.notice.text.toStdString(), picture.notice.narrow);
}

// The frames of any sequence the command line reads (a still picture is
// one frame), one by one.
class FrameReader
{
public:
    FrameReader(const std::string &path, const py::object &stretch, int64_t first, int64_t end, int64_t step,
                bool luma, bool autorotate)
    {
        options.stretch = stretchChoice(stretch);
        FrameRange range;
        range.first = first;
        range.end = end;
        range.step = step;
        QString error;
        bool selected = false;
        {
            py::gil_scoped_release unlocked;
            source = PictureSource::open(QString::fromStdString(path), sourceOptions(luma, autorotate), &error);
            selected = source && source->select(range, &error);
        }
        if (!selected)
            throw py::value_error(error.toStdString());
    }

    // The source: kind, frames (-1 unknown), whether exact, timed, live,
    // width, height, description, what of the file the frames are.
    py::dict info() const
    {
        const SourceInfo &i = source->info();
        static const char *const kinds[] = {"picture", "pages", "planes", "files", "video"};
        py::dict d;
        d["kind"] = kinds[(int)i.kind];
        d["frames"] = i.frames;
        d["frames_exact"] = i.framesExact;
        d["timed"] = i.timed;
        d["live"] = i.live;
        d["width"] = i.width;
        d["height"] = i.height;
        d["format"] = i.format.toStdString();
        d["description"] = i.description.toStdString();
        d["taken"] = i.taken.toStdString();
        return d;
    }

    // (index, time or None, array, damage) of the next frame, or None at
    // the end; ValueError when the source fails midway.
    py::object next()
    {
        SourceFrame frame;
        QString error;
        FrameRead read;
        QImage image;
        {
            py::gil_scoped_release unlocked;
            read = source->next(options, &frame, &error);
            if (read == FrameRead::Frame)
                image = copyableFrame(frame.picture.frame);
        }
        if (read == FrameRead::End)
            return py::none();
        if (read == FrameRead::Failed)
            throw py::value_error("reading stopped: " + error.toStdString());
        py::object time = frame.hasTime ? py::cast(frame.time) : py::none();
        return py::make_tuple(frame.index, time, frameArray(image), frame.damage.toStdString());
    }

    // What went wrong with the frames so far (lost, damaged), "" when nothing.
    std::string losses() const { return source->losses().text().toStdString(); }

private:
    std::unique_ptr<PictureSource> source;
    LoadOptions options;
};
using IntColumn = py::array_t<int32_t, py::array::c_style | py::array::forcecast>;
using RealColumn = py::array_t<double, py::array::c_style | py::array::forcecast>;

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

// Gaussian fits of spots on the grey frame a run would take from the
// image: per spot (x, y, sigma, amplitude, background), NaN where the fit
// is refused. radius 0: each spot's default for its sigma.
py::tuple fitSpots(const py::array &image, const RealColumn &x, const RealColumn &y,
                   const RealColumn &sigma, int32_t radius)
{
    if (x.ndim() != 1 || y.ndim() != 1 || sigma.ndim() != 1 || y.size() != x.size() || sigma.size() != x.size())
        throw py::value_error("x, y and sigma must be columns of one length");
    const PixelSource source = pixelSource(image);
    const py::ssize_t count = x.size();
    const double *px = x.data(), *py_ = y.data(), *ps = sigma.data();
    for (py::ssize_t i = 0; i < count; ++i)
        if (!(px[i] >= -0.5 && px[i] < source.width - 0.5 && py_[i] >= -0.5 && py_[i] < source.height - 0.5))
            throw py::value_error("every feature must lie inside the image (x from -0.5 to width - 0.5, y likewise)");
        else if (!(ps[i] > 0.0 && ps[i] < kSpotFitMaxRadius))
            throw py::value_error("every sigma must be a positive number below " + std::to_string(kSpotFitMaxRadius));
    std::vector<py::array_t<double>> out;
    for (int k = 0; k < 5; ++k)
        out.emplace_back(count);
    double *fx = out[0].mutable_data(), *fy = out[1].mutable_data(), *fs = out[2].mutable_data(),
           *fa = out[3].mutable_data(), *fb = out[4].mutable_data();
    bool noFrame = false;
    int status = HESSIAN_OK;
    {
        py::gil_scoped_release unlocked;
        const QImage frame = frameFor(source);
        noFrame = frame.isNull() && source.width > 0 && source.height > 0;
        std::vector<unsigned char> converted;
        const unsigned char *grey = frame.isNull() ? nullptr : frame.constBits();
        size_t stride = frame.isNull() ? 0 : (size_t)frame.bytesPerLine();
        if (!noFrame && !frame.isNull() && frame.format() != QImage::Format_Grayscale8) {
            converted.resize((size_t)source.width * (size_t)source.height);
            convertFrameToGrey(frame, converted.data());
            grey = converted.data();
            stride = (size_t)source.width;
        }
        std::vector<SpotFit> fits;
        if (!noFrame && count > 0) {
            fits.resize((size_t)count);
            status = fitGaussianSpots(grey, (uint32_t)source.width, (uint32_t)source.height, stride, px, py_, ps,
                                      (int64_t)count, radius, fits.data());
        }
        for (size_t i = 0; i < fits.size() && status == HESSIAN_OK; ++i) {
            fx[i] = fits[i].x;
            fy[i] = fits[i].y;
            fs[i] = fits[i].sigma;
            fa[i] = fits[i].amplitude;
            fb[i] = fits[i].background;
        }
    }
    if (noFrame || status == HESSIAN_NO_MEMORY)
        throwNoMemory(source.width, source.height);
    if (status != HESSIAN_OK)
        throw py::value_error("a feature or radius out of range");
    return py::make_tuple(out[0], out[1], out[2], out[3], out[4]);
}

} // namespace

// ---------------------------------------------------------------------------
// Tracks: the core's linker and track summaries on columns of detections.

namespace {

// One track's summary as numpy sees it: hessian_maxima.TRACK_SUMMARY_DTYPE.
struct TrackSummaryRecord {
    int32_t track;
    int32_t first_frame;
    int32_t last_frame;
    int32_t length;
    double mean_x;
    double mean_y;
    double mean_speed;
    double diffusion;
};

std::vector<TrackPoint> trackPoints(const IntColumn &frame, const RealColumn &x, const RealColumn &y)
{
    if (frame.ndim() != 1 || x.ndim() != 1 || y.ndim() != 1 || x.size() != frame.size() || y.size() != frame.size())
        throw py::value_error("frame, x and y must be columns of one length");
    if (frame.size() > kMaxTrackPoints)
        throw py::value_error("too many detections to link at once");
    std::vector<TrackPoint> points((size_t)frame.size());
    const int32_t *f = frame.data();
    const double *px = x.data(), *py = y.data();
    for (size_t i = 0; i < points.size(); ++i)
        points[i] = TrackPoint{f[i], px[i], py[i]};
    return points;
}

[[noreturn]] void throwTrackStatus(int status)
{
    if (status == HESSIAN_NO_MEMORY)
        throw std::bad_alloc();
    if (status == TRACK_BAD_POINT)
        throw py::value_error("every x and y must be a finite number (of at most 1e15)");
    throw py::value_error("the linking settings are out of range");
}

py::array linkColumns(const IntColumn &frame, const RealColumn &x, const RealColumn &y, double maxDistance,
                      int32_t gap, int32_t minLength, int motion)
{
    const std::vector<TrackPoint> points = trackPoints(frame, x, y);
    TrackLinkSettings settings;
    settings.maxDistance = maxDistance;
    settings.gap = gap;
    settings.minLength = minLength;
    settings.motion = (TrackMotion)motion;
    py::array_t<int32_t> track((py::ssize_t)points.size());
    int32_t *out = track.mutable_data();
    int status;
    {
        py::gil_scoped_release unlocked;
        status = linkTracks(points.data(), (int64_t)points.size(), settings, out);
    }
    if (status != HESSIAN_OK)
        throwTrackStatus(status);
    return std::move(track);
}

py::array summarizeColumns(const IntColumn &frame, const RealColumn &x, const RealColumn &y,
                           const py::object &time, const IntColumn &track)
{
    const std::vector<TrackPoint> points = trackPoints(frame, x, y);
    if (track.ndim() != 1 || track.size() != frame.size())
        throw py::value_error("track must be a column as long as frame");
    RealColumn times;
    if (!time.is_none()) {
        times = time.cast<RealColumn>();
        if (times.ndim() != 1 || times.size() != frame.size())
            throw py::value_error("t must be a column as long as frame");
    }
    const int32_t *numbers = track.data();
    int64_t top = 0;  // the highest track number + 1
    for (py::ssize_t i = 0; i < track.size(); ++i)
        top = std::max(top, (int64_t)numbers[i] + 1);
    if (top > track.size())
        throw py::value_error("track numbers must run from 0 (as link() numbers them), not up to "
                              + std::to_string(top - 1) + " for " + std::to_string(track.size()) + " detections");
    const int32_t tracks = (int32_t)top;
    std::vector<TrackSummary> summaries((size_t)tracks);
    int status;
    {
        py::gil_scoped_release unlocked;
        status = summarizeTracks(points.data(), time.is_none() ? nullptr : times.data(), numbers,
                                 (int64_t)points.size(), tracks, summaries.data());
    }
    if (status == TRACK_BAD_POINT)
        throw py::value_error("a track must have one detection a frame, and track numbers must be -1 or more");
    if (status != HESSIAN_OK)
        throwTrackStatus(status);
    py::array_t<TrackSummaryRecord> table((py::ssize_t)tracks);
    TrackSummaryRecord *out = table.mutable_data();
    for (int32_t t = 0; t < tracks; ++t) {
        const TrackSummary &s = summaries[(size_t)t];
        out[t] = TrackSummaryRecord{s.track, s.firstFrame, s.lastFrame, s.length, s.meanX, s.meanY, s.meanSpeed,
                                    s.diffusion};
    }
    return std::move(table);
}

void defineTracks(py::module_ &module)
{
    PYBIND11_NUMPY_DTYPE(TrackSummaryRecord, track, first_frame, last_frame, length, mean_x, mean_y, mean_speed,
                         diffusion);
    module.attr("TRACK_SUMMARY_DTYPE") = py::dtype::of<TrackSummaryRecord>();
    module.attr("DIFFUSION_LAGS") = kDiffusionLags;
    module.attr("MAX_TRACK_GAP") = kMaxTrackGap;
    module.def("link", &linkColumns, py::arg("frame"), py::arg("x"), py::arg("y"), py::arg("max_distance"),
               py::arg("gap"), py::arg("min_length"), py::arg("motion"),
               "Each detection's track number, or -1 (see hessian_maxima.link).");
    module.def("track_summary", &summarizeColumns, py::arg("frame"), py::arg("x"), py::arg("y"), py::arg("t"),
               py::arg("track"), "One summary per track number 0 .. max(track) (see hessian_maxima.track_summary).");
}

} // namespace

PYBIND11_MODULE(_core, module)
{
    PYBIND11_NUMPY_DTYPE(FeatureRecord, x, y, x_subpixel, y_subpixel, sigma, response, polarity);
    module.doc() = "The detector itself; use the functions of hessian_maxima.";
    module.attr("__version__") = HESSIAN_VERSION;
    module.attr("FEATURE_DTYPE") = py::dtype::of<FeatureRecord>();
    module.attr("BLOB_RADIUS_PER_SIGMA") = kBlobRadiusPerSigma;
    module.attr("DEFAULT_SCALES") = kDefaultScales;
    module.attr("MAX_SCALES") = kMaxScales;
    module.def("detect", &detect, py::arg("image"), py::arg("sigma"), py::arg("threshold"), py::arg("scales"),
               py::arg("sigma_max"), py::arg("polarity"), py::arg("overlap"), py::arg("threads"),
               py::arg("origin_x") = 0, py::arg("origin_y") = 0, py::arg("border") = py::none(),
               py::arg("sigmas") = py::none());
    module.def("run_margin", &marginOfRun, py::arg("sigma"), py::arg("scales"), py::arg("sigma_max"),
               py::arg("sigmas") = py::none(),
               "How far a run's results read around their pixels: the padding of an extended border, and the "
               "depth a chunk needs of its neighbours.");
    module.def("response", &response, py::arg("image"), py::arg("sigma"), py::arg("threads"));
    module.def("load", &load, py::arg("path"), py::arg("stretch") = py::none(), py::arg("luma") = false,
               py::arg("autorotate") = true);
    py::class_<FrameReader>(module, "FrameReader")
        .def(py::init<const std::string &, const py::object &, int64_t, int64_t, int64_t, bool, bool>(),
             py::arg("path"), py::arg("stretch"), py::arg("first"), py::arg("end"), py::arg("step"), py::arg("luma"),
             py::arg("autorotate"))
        .def("info", &FrameReader::info)
        .def("next", &FrameReader::next)
        .def("losses", &FrameReader::losses);
    module.def("stretch_plan", &stretchPlan, py::arg("dtype"), py::arg("stretch"),
               "How an array of that dtype is mapped to 8 bits: (mode, low, high, none_kind, none_lo, none_hi).");
    module.def("reduce", &reduceImage, py::arg("image"), py::arg("kind"), py::arg("lo"), py::arg("hi"));
    module.def("stretch_range", &stretchRange, py::arg("image"), py::arg("mode"), py::arg("low"), py::arg("high"));
    module.def("sample_extent", &sampleExtent, py::arg("image"));
    module.def("percentile_rank", &percentileRank, py::arg("percent"), py::arg("count"));
    module.def("stretch_notice", &noticeText, py::arg("mode"), py::arg("low"), py::arg("high"), py::arg("lo"),
               py::arg("hi"), py::arg("lowest"), py::arg("highest"), py::arg("widened") = false);
    module.def("widen_percentiles", &widenPercentiles, py::arg("lo"), py::arg("hi"), py::arg("lowest"),
               py::arg("highest"));
    module.attr("REDUCE_STRETCH") = (int)REDUCE_STRETCH;
    py::class_<PieceRankSearch>(module, "RankSearch")
        .def(py::init(&PieceRankSearch::create), py::arg("dtype"), py::arg("low"), py::arg("high"))
        .def("count", &PieceRankSearch::count, py::arg("image"))
        .def("end_pass", &PieceRankSearch::endPass, py::arg("counts"))
        .def("values", &PieceRankSearch::values)
        .def(py::pickle([](const PieceRankSearch &search) { return search.state(); },
                        [](const py::tuple &state) { return PieceRankSearch::fromState(state); }));
    module.def("prune", &prune, py::arg("features"), py::arg("overlap"));
    module.def("fit_spots", &fitSpots, py::arg("image"), py::arg("x"), py::arg("y"), py::arg("sigma"),
               py::arg("radius"), "Gaussian fits of spots: (x, y, sigma, amplitude, background) arrays, NaN where "
               "refused (see hessian_maxima.refine).");
    module.attr("SPOT_FIT_MAX_RADIUS") = kSpotFitMaxRadius;
    module.def("check_run_size", &checkRunSize, py::arg("height"), py::arg("width"),
               "ValueError when an array of that shape is too large for one run.");
    module.def("kernel_radius", &kernelRadius, py::arg("sigma"), py::arg("sigma_max"), py::arg("scales"),
               "The largest kernel radius of a run, floor(3 sigma + 0.5) of its largest sigma.");
    module.def("nothing_searched",
               [](float sigma, int scales, float sigmaMax, const py::object &border, int width, int height) {
                   return nothingSearched(runSettings(sigma, scales, sigmaMax, border, py::none()), width, height)
                       .toStdString();
               },
               py::arg("sigma"), py::arg("scales"), py::arg("sigma_max"), py::arg("border"), py::arg("width"),
               py::arg("height"),
               "Why a run with these settings finds nothing on width x height pixels ('is too small for the "
               "kernel ...'), or '' when some pixel is searched (always, with an extended border).");
    module.def("_runs_in_progress", [] { return runsInProgress.load(); },
               "How many runs are inside the detector now, without the interpreter lock (for tests).");
    defineTracks(module);
}
