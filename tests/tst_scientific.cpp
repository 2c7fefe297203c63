// Pictures of more than 8 bits: the stretch formula and its exact ranks,
// each native reader on a small picture written here (16-bit PNG, PGM and
// TIFF, float TIFF by tiles, FITS with BZERO, BSCALE and blanks), streamed
// runs against whole ones, and damaged or senseless files.

#include "detectionjob.h"
#include "frameloading.h"
#include "intensitystretch.h"
#include "streamingrun.h"
#include "testimages.h"

#include <QTemporaryDir>
#include <QtTest>

#include <fitsio.h>
#include <tiffio.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <random>
#include <vector>

namespace {

// A faint blob field in deep values: spots of `peak` over `floor`, of
// sizes 2 to 4 times `scale`.
std::vector<double> spotValues(int width, int height, double floor, double peak, double scale = 1.0)
{
    std::vector<double> values((size_t)width * height);
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x) {
            double v = floor + 3.0 * ((x * 7 + y * 13) % 5);
            for (int b = 0; b < 12; ++b) {
                const double cx = (b * 37 + 11) % width, cy = (b * 53 + 17) % height, s = (2.0 + b % 3) * scale;
                v += (b % 4 ? peak : -peak / 3) * std::exp(-((x - cx) * (x - cx) + (y - cy) * (y - cy)) / (2 * s * s));
            }
            values[(size_t)y * width + x] = v;
        }
    return values;
}

// Writes a one-page TIFF of `channels` samples a pixel (RGBA with
// unassociated alpha when 4), by strips of `rowsPerStrip` rows or by
// 16 x 16 tiles.
template <typename T>
bool writeTiff(const QString &path, int width, int height, int channels, const std::vector<T> &samples,
               uint16_t format, int rowsPerStrip, bool tiled = false)
{
    TIFF *tiff = TIFFOpen(QFile::encodeName(path).constData(), "w");
    if (!tiff)
        return false;
    TIFFSetField(tiff, TIFFTAG_IMAGEWIDTH, width);
    TIFFSetField(tiff, TIFFTAG_IMAGELENGTH, height);
    TIFFSetField(tiff, TIFFTAG_BITSPERSAMPLE, (int)(8 * sizeof(T)));
    TIFFSetField(tiff, TIFFTAG_SAMPLESPERPIXEL, channels);
    TIFFSetField(tiff, TIFFTAG_SAMPLEFORMAT, format);
    TIFFSetField(tiff, TIFFTAG_PHOTOMETRIC, channels >= 3 ? PHOTOMETRIC_RGB : PHOTOMETRIC_MINISBLACK);
    TIFFSetField(tiff, TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG);
    TIFFSetField(tiff, TIFFTAG_COMPRESSION, COMPRESSION_ADOBE_DEFLATE);
    if (channels == 4) {
        const uint16_t extra = EXTRASAMPLE_UNASSALPHA;
        TIFFSetField(tiff, TIFFTAG_EXTRASAMPLES, 1, &extra);
    }
    const size_t pixelBytes = sizeof(T) * channels;
    bool ok = true;
    if (tiled) {
        TIFFSetField(tiff, TIFFTAG_TILEWIDTH, 16);
        TIFFSetField(tiff, TIFFTAG_TILELENGTH, 16);
        std::vector<T> tile((size_t)16 * 16 * channels);
        for (int ty = 0; ty < height; ty += 16)
            for (int tx = 0; tx < width; tx += 16) {
                std::fill(tile.begin(), tile.end(), T());
                for (int y = ty; y < std::min(height, ty + 16); ++y)
                    for (int x = tx; x < std::min(width, tx + 16); ++x)
                        std::memcpy(&tile[((size_t)(y - ty) * 16 + (x - tx)) * channels],
                                    &samples[((size_t)y * width + x) * channels], pixelBytes);
                ok = ok && TIFFWriteTile(tiff, tile.data(), (uint32_t)tx, (uint32_t)ty, 0, 0) >= 0;
            }
    } else {
        TIFFSetField(tiff, TIFFTAG_ROWSPERSTRIP, rowsPerStrip);
        for (int y = 0; y < height && ok; ++y)
            ok = TIFFWriteScanline(tiff, (void *)&samples[(size_t)y * width * channels], (uint32_t)y, 0) >= 0;
    }
    TIFFClose(tiff);
    return ok;
}

// A FITS image of doubles stored as 16-bit integers with BZERO and BSCALE,
// `blank` marking undefined pixels; extra HDUs are tables.
bool writeFits(const QString &path, int width, int height, const std::vector<double> &values, double bzero,
               double bscale, short blank, bool tableFirst = false)
{
    fitsfile *fits = nullptr;
    int status = 0;
    const QByteArray name = "!" + QFile::encodeName(path);  // "!": replace
    fits_create_file(&fits, name.constData(), &status);
    if (tableFirst) {
        long none[1] = {0};
        fits_create_img(fits, SHORT_IMG, 0, none, &status);
        char *types[] = {(char *)"A"};
        char *forms[] = {(char *)"1J"};
        fits_create_tbl(fits, BINARY_TBL, 0, 1, types, forms, nullptr, "T", &status);
    } else {
        long axes[2] = {width, height};
        fits_create_img(fits, SHORT_IMG, 2, axes, &status);
        fits_write_key(fits, TDOUBLE, "BZERO", &bzero, "", &status);
        fits_write_key(fits, TDOUBLE, "BSCALE", &bscale, "", &status);
        int blankValue = blank;
        fits_write_key(fits, TINT, "BLANK", &blankValue, "", &status);
        fits_set_bscale(fits, 1.0, 0.0, &status);  // the stored integers are written as given
        std::vector<short> raw(values.size());
        for (size_t i = 0; i < values.size(); ++i)
            raw[i] = std::isnan(values[i]) ? blank : (short)std::lround((values[i] - bzero) / bscale);
        fits_write_img(fits, TSHORT, 1, (LONGLONG)raw.size(), raw.data(), &status);
    }
    fits_close_file(fits, &status);
    return status == 0;
}

QByteArray fileBytes(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

LoadedPicture load(const QString &path, StretchMode mode, QString *error = nullptr)
{
    LoadOptions options;
    options.stretch.mode = mode;
    LoadedPicture picture;
    QString failure;
    if (!loadPicture(path, options, &picture, &failure))
        picture.frame = QImage();
    if (error)
        *error = failure;
    return picture;
}

QString measuresText(const DetectionResult &result)
{
    QStringList lines;
    for (int i = 0; i < result.features.size(); ++i) {
        const FeatureMeasure &m = result.measures[i];
        lines << QString::asprintf("%g %g %a %a %a %d", result.features[i].x, result.features[i].y, m.xSubpixel,
                                   m.ySubpixel, m.response, m.polarity);
    }
    return lines.join('\n');
}

} // namespace

class TestScientific : public QObject
{
    Q_OBJECT

private slots:
    void stretchFormula();
    void reductionsFollowTheirFormulas();
    void exactRanks();
    void levelsIgnoreAlpha();
    void sixteenBitNoneIsQtsFrame();
    void deepReadersStretched();
    void fitsScaledBlankAndUpsideDown();
    void rgbaTiffKeepsStoredColours();
    void restretchEqualsLoadingStretched();
    void keptDeepPicturesLoadAsTheOthers();
    void streamedEqualsWhole_data();
    void streamedEqualsWhole();
    void badFiles();

private:
    QTemporaryDir dir;
    QString path(const char *name) const { return dir.filePath(QLatin1String(name)); }
};

void TestScientific::stretchFormula()
{
    QCOMPARE((int)stretchValue(10.0, 10.0, 20.0), 0);
    QCOMPARE((int)stretchValue(15.0, 10.0, 20.0), 128);  // 127.5 + 0.5
    QCOMPARE((int)stretchValue(14.99, 10.0, 20.0), 127);
    QCOMPARE((int)stretchValue(20.0, 10.0, 20.0), 255);
    QCOMPARE((int)stretchValue(-1e300, 10.0, 20.0), 0);
    QCOMPARE((int)stretchValue(1e300, 10.0, 20.0), 255);
    QCOMPARE((int)stretchValue(std::nan(""), 10.0, 20.0), 0);
    QCOMPARE((int)stretchValue(INFINITY, 10.0, 20.0), 255);
    QCOMPARE((int)stretchValue(-INFINITY, 10.0, 20.0), 0);
    QCOMPARE((int)stretchValue(1e308, -1.7e308, 1.7e308), 0);  // hi - lo overflows
    QCOMPARE((int)stretchValue(7.0, 7.0, 7.0), 0);   // flat: no division by zero
    QCOMPARE((int)stretchValue(9.0, 7.0, 5.0), 0);
    QCOMPARE(percentileRank(0.1, 1001), quint64(1));
    QCOMPARE(percentileRank(99.9, 1001), quint64(999));
    QCOMPARE(percentileRank(100.0, 7), quint64(6));
    QCOMPARE(percentileRank(50.0, 1), quint64(0));
}

// Every 8-bit level and a spread of 16-bit values, as long runs (where the
// reduction may use a table or a copy), short ones, strided ones and colour
// pixels: each byte is its reduction's formula, worked out here on its own.
void TestScientific::reductionsFollowTheirFormulas()
{
    struct Case {
        ByteReduction reduction;
        int (*formula)(uint32_t v, const ByteReduction &r);
    };
    const auto pnm = [](uint32_t v, const ByteReduction &r) { return (int)((v * 255u / r.maxval) & 0xffu); };
    const auto round257 = [](uint32_t v, const ByteReduction &) { return (int)((v + 128u) / 257u); };
    const auto stretch = [](uint32_t v, const ByteReduction &r) {
        if (!(r.hi > r.lo) || v <= r.lo)
            return 0;
        if (v >= r.hi)
            return 255;
        return (int)std::min(255.0, std::floor((v - r.lo) / (r.hi - r.lo) * 255.0 + 0.5));
    };
    const Case cases[] = {
        {{REDUCE_PNM_SCALE, 0.0, 0.0, 255}, pnm},   // 8-bit PGM: a copy
        {{REDUCE_PNM_SCALE, 0.0, 0.0, 100}, pnm},   // levels above maxval wrap
        {{REDUCE_PNM_SCALE, 0.0, 0.0, 1000}, pnm},
        {{REDUCE_PNM_SCALE, 0.0, 0.0, 65535}, pnm},
        {{REDUCE_ROUND_257, 0.0, 0.0, 0}, round257},
        {{REDUCE_STRETCH, 0.0, 255.0, 0}, stretch},  // maps every level to itself
        {{REDUCE_STRETCH, 10.0, 200.0, 0}, stretch},
        {{REDUCE_STRETCH, 1000.0, 3000.0, 0}, stretch},
        {{REDUCE_STRETCH, 7.0, 7.0, 0}, stretch},    // flat
    };
    std::vector<uint8_t> levels(3 * 256);
    for (size_t i = 0; i < levels.size(); ++i)
        levels[i] = (uint8_t)(i * 7 % 256);  // every level, in every third of the run
    std::vector<uint16_t> deep = {0, 1, 127, 128, 254, 255, 256, 999, 1000, 1001, 2000, 32767, 32768, 65534, 65535};
    for (uint32_t v = 3; v < 65536; v += 257)
        deep.push_back((uint16_t)v);

    for (const Case &c : cases) {
        const ByteReduction &r = c.reduction;
        for (size_t count : {levels.size(), (size_t)300, (size_t)5}) {
            for (size_t stride : {(size_t)1, (size_t)2}) {
                const size_t n = std::min(count, levels.size() / stride);
                std::vector<unsigned char> bytes(n, 0xa5);
                reduceToBytes(levels.data(), SAMPLE_U8, n, stride, r, bytes.data());
                for (size_t i = 0; i < n; ++i)
                    QVERIFY2(bytes[i] == c.formula(levels[i * stride], r),
                             qPrintable(QString("8-bit level %1, kind %2, lo %3, hi %4, maxval %5, run of %6")
                                            .arg(levels[i * stride]).arg(r.kind).arg(r.lo).arg(r.hi).arg(r.maxval).arg(n)));
            }
            // Colour pixels of four samples, the fourth ignored.
            const size_t width = count / 4;
            std::vector<uint32_t> pixels(width);
            reduceToRgb32(levels.data(), SAMPLE_U8, width, 4, r, pixels.data());
            for (size_t x = 0; x < width; ++x) {
                const uint32_t expected = 0xff000000u | (uint32_t)c.formula(levels[4 * x], r) << 16
                                          | (uint32_t)c.formula(levels[4 * x + 1], r) << 8
                                          | (uint32_t)c.formula(levels[4 * x + 2], r);
                QCOMPARE(pixels[x], expected);
            }
        }
        std::vector<unsigned char> bytes(deep.size());
        reduceToBytes(deep.data(), SAMPLE_U16, deep.size(), 1, r, bytes.data());
        for (size_t i = 0; i < deep.size(); ++i)
            QVERIFY2(bytes[i] == c.formula(deep[i], r),
                     qPrintable(QString("16-bit value %1, kind %2").arg(deep[i]).arg(r.kind)));
    }
}

// The loaded picture's levels (its narrow-range notice): every colour byte
// counts, wherever it falls in the loop's blocks and tail, and alpha never.
void TestScientific::levelsIgnoreAlpha()
{
    for (int at = 0; at < 37; at += 9)
        for (int channel = 0; channel < 3; ++channel) {
            std::vector<uint32_t> pixels(37, 0x00606060u);
            pixels[(size_t)(36 - at)] = 0xff606060u;
            pixels[(size_t)at] = (0x60606060u & ~(0xffu << (8 * channel))) | (0x10u << (8 * channel));
            unsigned char low = 255, high = 0;
            colourLevelsAdd(pixels.data(), pixels.size(), &low, &high);
            QCOMPARE((int)low, 0x10);
            QCOMPARE((int)high, 0x60);
            pixels[(size_t)at] |= 0xf0u << (8 * channel);
            low = 255, high = 0;
            colourLevelsAdd(pixels.data(), pixels.size(), &low, &high);
            QCOMPARE((int)high, 0xf0);
        }
}

// The ranks found in passes over the keys are those of a sort, for every
// sample type, negative numbers, NaN and repeated values included.
void TestScientific::exactRanks()
{
    std::mt19937 random(7);
    std::vector<double> values;
    for (int i = 0; i < 5000; ++i)
        values.push_back(std::floor(std::uniform_real_distribution<double>(-40000.0, 70000.0)(random)));
    values.insert(values.end(), 300, 123.0);
    for (SampleType type : {SAMPLE_U8, SAMPLE_U16, SAMPLE_I16, SAMPLE_U32, SAMPLE_I32, SAMPLE_F32, SAMPLE_F64}) {
        std::vector<unsigned char> bytes(values.size() * sampleBytes(type));
        std::vector<double> numbers;
        for (size_t i = 0; i < values.size(); ++i) {
            double v = values[i];
            unsigned char *at = bytes.data() + i * sampleBytes(type);
            const auto put = [&](auto sample) {
                std::memcpy(at, &sample, sizeof sample);
                v = (double)sample;
            };
            switch (type) {
            case SAMPLE_U8: put((uint8_t)((int64_t)v & 0xff)); break;
            case SAMPLE_U16: put((uint16_t)((int64_t)v & 0xffff)); break;
            case SAMPLE_I16: put((int16_t)std::max(-32768.0, std::min(32767.0, v))); break;
            case SAMPLE_U32: put((uint32_t)((int64_t)v * 65537)); break;
            case SAMPLE_I32: put((int32_t)v * 4099); break;
            case SAMPLE_F32: put(i % 97 == 0 ? std::numeric_limits<float>::quiet_NaN() : i % 101 == 0 ? INFINITY : (float)(v / 7.0)); break;
            case SAMPLE_F64: put(i % 89 == 0 ? std::nan("") : v / 3.0 - 0.25); break;
            }
            if (std::isfinite(v))
                numbers.push_back(v);
        }
        std::sort(numbers.begin(), numbers.end());
        const uint64_t low = percentileRank(0.1, numbers.size()), high = percentileRank(99.9, numbers.size());
        RankSearch search;
        QCOMPARE(rankSearchStart(&search, type, low, high), 0);
        bool found = false;
        int passes = 0;
        while (!found) {
            // In two pieces, as a file read in bands hands them over.
            rankSearchAdd(&search, bytes.data(), 1000);
            rankSearchAdd(&search, bytes.data() + 1000 * sampleBytes(type), values.size() - 1000);
            found = rankSearchEndPass(&search);
            ++passes;
        }
        QCOMPARE(rankSearchValue(&search, 0), numbers[low]);
        QCOMPARE(rankSearchValue(&search, 1), numbers[high]);
        QVERIFY(passes <= (int)sampleBytes(type) / 2 + (type == SAMPLE_U8));
        rankSearchRelease(&search);
    }
}

// Under "none" a 16-bit picture gives Qt's frame, and the reductions the
// streamed run uses give it too, for every 16-bit value (and every value
// of a colour PPM whose maximum is not 255, which Qt scales otherwise).
void TestScientific::sixteenBitNoneIsQtsFrame()
{
    std::vector<uint16_t> all(65536);
    for (int v = 0; v < 65536; ++v)
        all[v] = (uint16_t)v;
    QVERIFY(writeTiff(path("all.tif"), 256, 256, 1, all, SAMPLEFORMAT_UINT, 64));
    QByteArray pgm = "P5\n256 256\n65535\n";
    QByteArray odd = "P5\n256 256\n1000\n";
    for (int v = 0; v < 65536; ++v) {
        pgm.append(char(v >> 8)).append(char(v & 0xff));
        const int w = v % 1001;
        odd.append(char(w >> 8)).append(char(w & 0xff));
    }
    QVERIFY(writeFile(path("all.pgm"), pgm));
    QVERIFY(writeFile(path("odd.pgm"), odd));
    QByteArray oddColour = "P6\n256 256\n1000\n", max100 = "P6\n256 256\n100\n";
    for (int v = 0; v < 65536; ++v)
        for (int c = 0; c < 3; ++c) {
            const int w = (v + 337 * c) % 1001;
            oddColour.append(char(w >> 8)).append(char(w & 0xff));
            max100.append(char((v + c) % 101));
        }
    QVERIFY(writeFile(path("odd.ppm"), oddColour));
    QVERIFY(writeFile(path("max100.ppm"), max100));
    QImage qt16(256, 256, QImage::Format_Grayscale16);
    for (int y = 0; y < 256; ++y)
        std::memcpy(qt16.scanLine(y), &all[(size_t)y * 256], 512);
    QVERIFY(qt16.save(path("all.png")));

    for (const char *name : {"all.tif", "all.pgm", "odd.pgm", "all.png", "odd.ppm", "max100.ppm"}) {
        QString error;
        const QImage qtFrame = toDetectionLayout(QImage(path(name)));
        QVERIFY(!qtFrame.isNull());
        const LoadedPicture none = load(path(name), StretchMode::None);
        QCOMPARE(none.frame, qtFrame);
        QCOMPARE(none.stretch.mode, StretchMode::None);
        // Deeper than 8 bits, they are stretched unless told otherwise.
        QCOMPARE(load(path(name), StretchMode::Default).stretch.mode,
                 none.bitsPerSample > 8 ? StretchMode::Percentile : StretchMode::None);
        QCOMPARE(none.bitsPerSample, QByteArray(name) == "max100.ppm" ? 8 : 16);
        if (QByteArray(name).endsWith(".ppm")) {
            // The reduction the streamed run uses, pixel by pixel.
            QFile file(path(name));
            QVERIFY(file.open(QIODevice::ReadOnly));
            std::unique_ptr<NativePicture> native = openNativePicture(&file, file.fileName(), &error);
            QVERIFY2(native, qPrintable(error));
            std::vector<unsigned char> rows((size_t)native->rowBytes() * 256);
            QVERIFY(native->readRows(0, 256, rows.data(), &error));
            std::vector<uint32_t> pixels(256);
            for (int y = 0; y < 256; ++y) {
                reduceToRgb32(rows.data() + (size_t)y * native->rowBytes(), native->layout().type, 256, 3,
                              native->layout().none, pixels.data());
                for (int x = 0; x < 256; ++x)
                    if ((pixels[x] & 0xffffff) != (qtFrame.pixel(x, y) & 0xffffff))
                        QFAIL(qPrintable(QString("%1 at (%2, %3): %4, Qt %5").arg(name).arg(x).arg(y)
                                             .arg(pixels[x] & 0xffffff, 6, 16).arg(qtFrame.pixel(x, y) & 0xffffff, 6, 16)));
            }
            continue;
        }

        QFile file(path(name));
        QVERIFY(file.open(QIODevice::ReadOnly));
        std::unique_ptr<NativePicture> native = openNativePicture(&file, file.fileName(), &error);
        QVERIFY2(native, qPrintable(error));
        std::vector<uint16_t> rows(65536);
        QVERIFY(native->readRows(0, 256, rows.data(), &error));
        std::vector<unsigned char> reduced(65536);
        reduceToBytes(rows.data(), SAMPLE_U16, rows.size(), 1, native->layout().none, reduced.data());
        for (int y = 0; y < 256; ++y)
            for (int x = 0; x < 256; ++x)
                if ((int)reduced[(size_t)y * 256 + x] != qGray(qtFrame.pixel(x, y)))
                    QFAIL(qPrintable(QString("%1: value %2 gives %3, Qt %4").arg(name).arg(rows[(size_t)y * 256 + x])
                                         .arg(reduced[(size_t)y * 256 + x]).arg(qGray(qtFrame.pixel(x, y)))));
    }
}

// 16-bit PNG and TIFF, colour and grey, float TIFF by tiles: the frame is
// the formula over the stored values.
void TestScientific::deepReadersStretched()
{
    const int width = 40, height = 30;
    const std::vector<double> values = spotValues(width, height, 1000.0, 3000.0);
    std::vector<uint16_t> grey16(values.begin(), values.end());
    std::vector<uint16_t> rgb16;
    std::vector<float> floats;
    for (double v : values) {
        rgb16.insert(rgb16.end(), {(uint16_t)v, (uint16_t)(v / 2), (uint16_t)(65535 - v)});
        floats.push_back((float)(v / 65535.0 - 0.01));
    }
    QVERIFY(writeTiff(path("grey16.tif"), width, height, 1, grey16, SAMPLEFORMAT_UINT, 7));
    QVERIFY(writeTiff(path("rgb16.tif"), width, height, 3, rgb16, SAMPLEFORMAT_UINT, 4));
    QVERIFY(writeTiff(path("float.tif"), width, height, 1, floats, SAMPLEFORMAT_IEEEFP, 0, true));
    QImage png(width, height, QImage::Format_RGBX64);
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x) {
            const uint16_t *p = &rgb16[((size_t)y * width + x) * 3];
            png.setPixelColor(x, y, QColor::fromRgba64(p[0], p[1], p[2]));
        }
    QVERIFY(png.save(path("rgb16.png")));

    struct Case {
        const char *name;
        int channels;
        StretchMode mode;
    };
    for (const Case &c : {Case{"grey16.tif", 1, StretchMode::MinMax}, Case{"rgb16.tif", 3, StretchMode::Percentile},
                          Case{"rgb16.png", 3, StretchMode::MinMax}, Case{"float.tif", 1, StretchMode::Default}}) {
        QString error;
        const LoadedPicture picture = load(path(c.name), c.mode, &error);
        QVERIFY2(!picture.frame.isNull(), qPrintable(error));
        std::vector<double> stored;
        for (size_t i = 0; i < values.size(); ++i) {
            if (c.channels == 3)
                stored.insert(stored.end(), {(double)rgb16[3 * i], (double)rgb16[3 * i + 1], (double)rgb16[3 * i + 2]});
            else
                stored.push_back(c.name[0] == 'f' ? (double)floats[i] : (double)grey16[i]);
        }
        std::vector<double> sorted = stored;
        std::sort(sorted.begin(), sorted.end());
        const bool percentile = c.mode != StretchMode::MinMax;
        const double lo = percentile ? sorted[percentileRank(0.1, sorted.size())] : sorted.front();
        const double hi = percentile ? sorted[percentileRank(99.9, sorted.size())] : sorted.back();
        QCOMPARE(picture.stretch.lo, lo);
        QCOMPARE(picture.stretch.hi, hi);
        for (int y = 0; y < height; ++y)
            for (int x = 0; x < width; ++x) {
                const double *v = &stored[((size_t)y * width + x) * c.channels];
                const QRgb pixel = picture.frame.pixel(x, y);
                if (c.channels == 1) {
                    QCOMPARE(qRed(pixel), (int)stretchValue(v[0], lo, hi));
                } else {
                    QCOMPARE(qRed(pixel), (int)stretchValue(v[0], lo, hi));
                    QCOMPARE(qGreen(pixel), (int)stretchValue(v[1], lo, hi));
                    QCOMPARE(qBlue(pixel), (int)stretchValue(v[2], lo, hi));
                }
            }
    }
}

// BZERO and BSCALE applied, blanks left out of the range and mapped to 0,
// the first stored row shown at the bottom.
void TestScientific::fitsScaledBlankAndUpsideDown()
{
    const int width = 24, height = 20;
    std::vector<double> values = spotValues(width, height, 100.0, 400.0);
    for (double &v : values)
        v = std::round(v);
    values[5] = std::nan("");                          // stored row 0
    values[(size_t)3 * width + 7] = std::nan("");
    QVERIFY(writeFits(path("scaled.fits"), width, height, values, 60.0, 0.5, -32768));
    QString error;
    const LoadedPicture picture = load(path("scaled.fits"), StretchMode::MinMax, &error);
    QVERIFY2(!picture.frame.isNull(), qPrintable(error));
    QCOMPARE(picture.frame.size(), QSize(width, height));
    double lo = 1e300, hi = -1e300;
    for (double v : values)
        if (!std::isnan(v)) {
            lo = std::min(lo, v);
            hi = std::max(hi, v);
        }
    QCOMPARE(picture.stretch.lo, lo);
    QCOMPARE(picture.stretch.hi, hi);
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x) {
            const double v = values[(size_t)(height - 1 - y) * width + x];
            QCOMPARE(qGray(picture.frame.pixel(x, y)), (int)stretchValue(v, lo, hi));
        }
    QCOMPARE(qGray(picture.frame.pixel(5, height - 1)), 0);
    // The default for FITS is the percentile stretch.
    QCOMPARE(load(path("scaled.fits"), StretchMode::Default).stretch.mode, StretchMode::Percentile);
}

// Alpha is ignored and the colours kept as stored: the same frame as the
// same picture in a PNG.
void TestScientific::rgbaTiffKeepsStoredColours()
{
    const QImage blobs = blobPicture(48, 40);
    std::vector<uint8_t> rgba;
    QImage png(48, 40, QImage::Format_ARGB32);
    for (int y = 0; y < 40; ++y)
        for (int x = 0; x < 48; ++x) {
            const QRgb c = blobs.pixel(x, y);
            const int alpha = (x * 5 + y * 3) % 256;
            rgba.insert(rgba.end(), {(uint8_t)qRed(c), (uint8_t)qGreen(c), (uint8_t)qBlue(c), (uint8_t)alpha});
            png.setPixel(x, y, qRgba(qRed(c), qGreen(c), qBlue(c), alpha));
        }
    QVERIFY(writeTiff(path("rgba.tif"), 48, 40, 4, rgba, SAMPLEFORMAT_UINT, 8));
    QVERIFY(png.save(path("rgba.png")));
    QImage fromPng;
    QString error;
    QVERIFY(loadFrame(path("rgba.png"), &fromPng, &error));
    const LoadedPicture fromTiff = load(path("rgba.tif"), StretchMode::Default);
    QCOMPARE(fromTiff.stretch.mode, StretchMode::None);
    QCOMPARE(runDetectionJob(fromTiff.frame, 2.0f, 1.0f).features.size(), runDetectionJob(fromPng, 2.0f, 1.0f).features.size());
    for (int y = 0; y < 40; ++y)
        for (int x = 0; x < 48; ++x)
            QCOMPARE(fromTiff.frame.pixel(x, y) & 0xffffff, fromPng.pixel(x, y) & 0xffffff);
}

// The window maps a picture again from what it kept: the stretch of the
// stored samples, as loading it stretched gives, not of Qt's levels (which
// Qt scales for a PGM whose maximum is not 255).
void TestScientific::restretchEqualsLoadingStretched()
{
    QByteArray pgm = "P5\n40 30\n100\n";
    for (double v : spotValues(40, 30, 10.0, 40.0))
        pgm.append((char)qBound(0, (int)v, 100));
    QVERIFY(writeFile(path("max100.pgm"), pgm));
    LoadOptions kept;
    kept.keepSamples = true;
    LoadedPicture picture;
    QString error;
    QVERIFY2(loadPicture(path("max100.pgm"), kept, &picture, &error), qPrintable(error));
    StretchChoice minmax;
    minmax.mode = StretchMode::MinMax;
    QImage frame;
    StretchUsed used;
    StretchNotice notice;
    QVERIFY2(restretchPicture(picture, minmax, &frame, &used, &notice, &error), qPrintable(error));
    const LoadedPicture stretched = load(path("max100.pgm"), StretchMode::MinMax);
    QCOMPARE(used.hi, stretched.stretch.hi);
    QCOMPARE(frame, stretched.frame);
}

// The window keeps a deep picture's samples (and Qt's frame of it, where
// Qt reads it): keeping them must not disturb the frame, under any stretch.
void TestScientific::keptDeepPicturesLoadAsTheOthers()
{
    const std::vector<double> values = spotValues(40, 30, 1000.0, 3000.0);
    QVERIFY(writeTiff(path("kept16.tif"), 40, 30, 1, std::vector<uint16_t>(values.begin(), values.end()),
                      SAMPLEFORMAT_UINT, 7));
    QImage png(40, 30, QImage::Format_Grayscale16);
    for (int y = 0; y < 30; ++y)
        for (int x = 0; x < 40; ++x)
            reinterpret_cast<quint16 *>(png.scanLine(y))[x] = (quint16)values[(size_t)y * 40 + x];
    QVERIFY(png.save(path("kept16.png")));
    for (const char *name : {"kept16.tif", "kept16.png"})
        for (StretchMode mode : {StretchMode::Default, StretchMode::None, StretchMode::MinMax}) {
            LoadOptions kept;
            kept.keepSamples = true;
            kept.stretch.mode = mode;
            LoadedPicture picture;
            QString error;
            QVERIFY2(loadPicture(path(name), kept, &picture, &error), qPrintable(QString("%1: %2").arg(name, error)));
            QCOMPARE(picture.frame, load(path(name), mode).frame);
            QVERIFY(picture.samples);
        }
}

void TestScientific::streamedEqualsWhole_data()
{
    QTest::addColumn<QString>("file");
    QTest::addColumn<float>("sigma");
    QTest::addColumn<int>("bandRows");
    QTest::addColumn<int>("border");
    const int interior = (int)BorderChoice::Default;
    QTest::newRow("8-bit PGM, sigma 2") << "blobs.pgm" << 2.0f << 7 << interior;
    QTest::newRow("16-bit colour TIFF, sigma 2") << "colour16.tif" << 2.0f << 11 << interior;
    QTest::newRow("float TIFF by tiles, sigma 30") << "tiles.tif" << 30.0f << 29 << interior;
    QTest::newRow("FITS, sigma 30, one band") << "big.fits" << 30.0f << 0 << interior;
    // Bands padded as the whole picture is: at its edges only.
    QTest::newRow("8-bit PGM, sigma 2, reflect") << "blobs.pgm" << 2.0f << 7 << (int)BorderChoice::Reflect;
    QTest::newRow("16-bit colour TIFF, sigma 2, nearest") << "colour16.tif" << 2.0f << 11 << (int)BorderChoice::Nearest;
    QTest::newRow("float TIFF by tiles, sigma 30, reflect (bands below the margin)")
        << "tiles.tif" << 30.0f << 29 << (int)BorderChoice::Reflect;
    QTest::newRow("FITS, sigma 30, constant, one band") << "big.fits" << 30.0f << 0 << (int)BorderChoice::Constant;
}

// Bands whose height does not divide the picture's give the whole run's
// features and measures, bit for bit and in order.
void TestScientific::streamedEqualsWhole()
{
    QFETCH(QString, file);
    QFETCH(float, sigma);
    QFETCH(int, bandRows);
    QFETCH(int, border);
    const int width = sigma > 5 ? 420 : 90, height = sigma > 5 ? 431 : 67;
    const std::vector<double> values = spotValues(width, height, 50.0, sigma > 5 ? 9000.0 : 160.0, sigma > 5 ? 6 : 1);
    const QString name = dir.filePath(file);
    if (file.endsWith(".pgm")) {
        QByteArray pgm = QString("P5\n%1 %2\n255\n").arg(width).arg(height).toLatin1();
        for (double v : values)
            pgm.append((char)qBound(0, (int)v, 255));
        QVERIFY(writeFile(name, pgm));
    } else if (file.startsWith("colour")) {
        std::vector<uint16_t> rgb;
        for (double v : values)
            rgb.insert(rgb.end(), {(uint16_t)(v * 90), (uint16_t)(v * 40), (uint16_t)(60000 - v * 30)});
        QVERIFY(writeTiff(name, width, height, 3, rgb, SAMPLEFORMAT_UINT, 5));
    } else if (file.startsWith("tiles")) {
        std::vector<float> floats(values.begin(), values.end());
        QVERIFY(writeTiff(name, width, height, 1, floats, SAMPLEFORMAT_IEEEFP, 0, true));
    } else {
        QVERIFY(writeFits(name, width, height, values, 0.0, 1.0, -32768));
    }
    for (StretchMode mode : {StretchMode::Default, StretchMode::MinMax}) {
        const LoadedPicture whole = load(name, mode);
        QVERIFY(!whole.frame.isNull());
        DetectionSettings settings;
        settings.sigma = sigma;
        settings.threshold = 1.0f;
        settings.border = (BorderChoice)border;
        const DetectionResult expected = runDetection(whole.frame, settings);
        QVERIFY2(expected.status == 0 && expected.features.size() > 3,
                 qPrintable(QString("status %1, %2 features").arg(expected.status).arg(expected.features.size())));

        StreamSettings stream;
        stream.detection = settings;
        stream.stretch.mode = mode;
        stream.bandRows = bandRows;
        StreamedPicture streamed;
        QString error;
        QVERIFY2(runStreamed(name, stream, &streamed, &error), qPrintable(error));
        QCOMPARE(streamed.result.status, 0);
        QVERIFY(bandRows == 0 || streamed.bands > 2);
        QCOMPARE(streamed.stretch.lo, whole.stretch.lo);
        QCOMPARE(streamed.stretch.hi, whole.stretch.hi);
        QCOMPARE(featureList(streamed.result.features), featureList(expected.features));
        QCOMPARE(measuresText(streamed.result), measuresText(expected));
    }
}

void TestScientific::badFiles()
{
    const int width = 30, height = 20;
    std::vector<double> values = spotValues(width, height, 100.0, 400.0);
    QVERIFY(writeFits(path("good.fits"), width, height, values, 0.0, 1.0, -1));
    std::vector<float> floats(values.begin(), values.end());
    QVERIFY(writeTiff(path("good.tif"), width, height, 1, floats, SAMPLEFORMAT_IEEEFP, 4));
    const QByteArray fits = fileBytes(path("good.fits"));
    const QByteArray tiff = fileBytes(path("good.tif"));

    QByteArray huge = fits;
    const int naxis1 = huge.indexOf("NAXIS1  =");
    huge.replace(naxis1 + 10, 20, QByteArray("          1000000000"));
    const int naxis2 = huge.indexOf("NAXIS2  =");
    huge.replace(naxis2 + 10, 20, QByteArray("          1000000000"));
    QVERIFY(writeFile(path("huge.fits"), huge));
    QVERIFY(writeFile(path("cut.fits"), fits.left(2880 + 400)));
    QVERIFY(writeFile(path("cut.tif"), tiff.left(tiff.size() / 2)));
    std::vector<double> blanks(values.size(), std::nan(""));
    QVERIFY(writeFits(path("blank.fits"), width, height, blanks, 0.0, 1.0, -1));
    QVERIFY(writeFits(path("table.fits"), 0, 0, {}, 0.0, 1.0, 0, true));

    struct Case {
        const char *name;
        const char *reason;
    };
    for (const Case &c : {Case{"huge.fits", "too large"}, Case{"cut.fits", "cut short"},
                          Case{"cut.tif", "damaged"}, Case{"blank.fits", "no numbers"},
                          Case{"table.fits", "no image data: its extensions are binary table"}}) {
        QString error;
        const LoadedPicture picture = load(path(c.name), StretchMode::Default, &error);
        QVERIFY2(picture.frame.isNull(), c.name);
        QVERIFY2(error.contains(QLatin1String(c.reason)), qPrintable(QString("%1: %2").arg(c.name, error)));
    }
    // A NUL where a PNM file names its kind names none.
    QVERIFY(writeFile(path("nul.pgm"), QByteArray("P\0 4 4 255\n0123456789abcdef", 27)));
    QVERIFY(load(path("nul.pgm"), StretchMode::MinMax).frame.isNull());
    // Streamed, the same refusals; huge is refused for its side.
    for (const char *name : {"huge.fits", "cut.fits", "blank.fits"}) {
        StreamSettings stream;
        StreamedPicture streamed;
        QString error;
        QVERIFY2(!runStreamed(path(name), stream, &streamed, &error), name);
        QVERIFY(!error.isEmpty());
    }

    // A flat picture runs, black, and says why it has no features.
    std::vector<double> flat(values.size(), 42.0);
    QVERIFY(writeFits(path("flat.fits"), width, height, flat, 0.0, 1.0, -1));
    const LoadedPicture picture = load(path("flat.fits"), StretchMode::Default);
    QVERIFY(!picture.frame.isNull());
    QVERIFY(picture.notice.text.startsWith("is flat"));
    QCOMPARE(runDetectionJob(picture.frame, 2.0f, 0.0f).features.size(), 0);
    // A dark 16-bit picture read as Qt reads it says it could be stretched.
    const std::vector<double> faint = spotValues(width, height, 1000.0, 400.0);
    std::vector<uint16_t> dark(faint.begin(), faint.end());
    QVERIFY(writeTiff(path("dark.tif"), width, height, 1, dark, SAMPLEFORMAT_UINT, 4));
    QString error;
    QVERIFY2(load(path("dark.tif"), StretchMode::None, &error).notice.narrow, qPrintable(error));
    QVERIFY(!load(path("dark.tif"), StretchMode::MinMax).notice.narrow);
    QVERIFY(!load(path("dark.tif"), StretchMode::Default).notice.narrow);
}

QTEST_GUILESS_MAIN(TestScientific)
#include "tst_scientific.moc"
