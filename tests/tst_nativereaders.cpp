// The readers that keep samples as stored, against files written byte by
// byte here: FITS of every BITPIX with BZERO, BSCALE and BLANK against the
// scaling formula; TIFF of every layout (strips and tiles of odd sizes,
// interleaved and in planes, 8 to 64 bits) read whole, in bands and
// streamed under every stretch; damage said alike in every mode; headers
// that claim what no file holds.

#include "detectionjob.h"
#include "frameloading.h"
#include "intensitystretch.h"
#include "nativepictures.h"
#include "streamingrun.h"
#include "testimages.h"

#include <QTemporaryDir>
#include <QtEndian>
#include <QtTest>

#include <fitsio.h>

#include <cmath>
#include <cstring>
#include <map>
#include <vector>

namespace {

// ---------------------------------------------------------------- FITS

QByteArray fitsCard(const QByteArray &key, const QByteArray &value = QByteArray())
{
    QByteArray card = key.leftJustified(8, ' ');
    if (!value.isNull())
        card += "= " + value.rightJustified(20, ' ');
    return card.leftJustified(80, ' ', true);
}

QByteArray fitsBlocks(QByteArray bytes, char fill)
{
    return bytes + QByteArray((2880 - bytes.size() % 2880) % 2880, fill);
}

// One image HDU of `stored` values (rows bottom first) with these cards.
QByteArray fitsImage(int bitpix, int width, int height, const std::vector<double> &stored,
                     const QList<QPair<QByteArray, QByteArray>> &cards = {}, bool extension = false)
{
    QByteArray head = extension ? fitsCard("XTENSION", "'IMAGE   '") : fitsCard("SIMPLE", "T");
    head += fitsCard("BITPIX", QByteArray::number(bitpix)) + fitsCard("NAXIS", "2")
            + fitsCard("NAXIS1", QByteArray::number(width)) + fitsCard("NAXIS2", QByteArray::number(height));
    if (extension)
        head += fitsCard("PCOUNT", "0") + fitsCard("GCOUNT", "1");
    for (const auto &card : cards)
        head += fitsCard(card.first, card.second);
    head += fitsCard("END");
    QByteArray data;
    for (double v : stored) {
        char bytes[8];
        switch (bitpix) {
        case 8: bytes[0] = (char)(uint8_t)v; break;
        case 16: qToBigEndian<qint16>((qint16)v, bytes); break;
        case 32: qToBigEndian<qint32>((qint32)v, bytes); break;
        case 64: qToBigEndian<qint64>((qint64)v, bytes); break;
        case -32: qToBigEndian<float>((float)v, bytes); break;
        default: qToBigEndian<double>(v, bytes); break;
        }
        data.append(bytes, std::abs(bitpix) / 8);
    }
    return fitsBlocks(head, ' ') + fitsBlocks(data, '\0');
}

// ---------------------------------------------------------------- TIFF

// A TIFF page: tags (type 3 SHORT or 4 LONG, values) and its strips or
// tiles, whose offsets and counts are filled in unless given.
struct TiffPage {
    std::map<int, std::pair<int, std::vector<quint32>>> tags;
    std::vector<QByteArray> blocks;
};

QByteArray tiffFile(const std::vector<TiffPage> &pages)
{
    QByteArray out("II*\0\0\0\0\0", 8);
    int link = 4;
    for (TiffPage page : pages) {
        std::vector<quint32> offsets, counts;
        for (const QByteArray &block : page.blocks) {
            offsets.push_back((quint32)out.size());
            counts.push_back((quint32)block.size());
            out += block;
            if (out.size() % 2)
                out += '\0';
        }
        const bool tiled = page.tags.count(322) > 0;
        page.tags.emplace(tiled ? 324 : 273, std::make_pair(4, offsets));
        page.tags.emplace(tiled ? 325 : 279, std::make_pair(4, counts));
        QByteArray entries;
        for (const auto &tag : page.tags) {
            const int type = tag.second.first, size = type == 3 ? 2 : 4;
            const std::vector<quint32> &values = tag.second.second;
            QByteArray raw(size * (int)values.size(), '\0');
            for (size_t i = 0; i < values.size(); ++i)
                putLittleEndian(raw, (int)i * size, values[i], size);
            QByteArray entry(12, '\0');
            putLittleEndian(entry, 0, (quint32)tag.first, 2);
            putLittleEndian(entry, 2, (quint32)type, 2);
            putLittleEndian(entry, 4, (quint32)values.size(), 4);
            if (raw.size() <= 4) {
                entry.replace(8, raw.size(), raw);
            } else {
                putLittleEndian(entry, 8, (quint32)out.size(), 4);
                out += raw;
            }
            entries += entry;
        }
        QByteArray count(2, '\0');
        putLittleEndian(count, 0, (quint32)page.tags.size(), 2);
        putLittleEndian(out, link, (quint32)out.size(), 4);
        out += count + entries;
        link = out.size();
        out += QByteArray(4, '\0');
    }
    return out;
}

enum class Blocks { Strips, Tiles };

// Samples of one of the types a TIFF holds: (bits, format).
struct TiffType {
    int bits;
    int format;  // 1 unsigned, 2 signed, 3 float
    SampleType type;
};

// A page of `channels` samples a pixel (`values` interleaved, as the
// readers hand them out) in the layout asked for, uncompressed.
TiffPage tiffPage(const TiffType &t, int width, int height, int channels, const std::vector<double> &values,
                  Blocks blocks, int blockWidth, int blockRows, bool planes, int photometric = -1)
{
    const int bytes = t.bits / 8;
    const auto sample = [&](int x, int y, int c) {
        QByteArray b(bytes, '\0');
        if (x >= width || y >= height)
            return b;
        const double v = values[((size_t)y * width + x) * channels + c];
        if (t.format == 3 && bytes == 4)
            qToLittleEndian<float>((float)v, b.data());
        else if (t.format == 3)
            qToLittleEndian<double>(v, b.data());
        else if (bytes == 1)
            b[0] = (char)(qint64)v;
        else if (bytes == 2)
            qToLittleEndian<quint16>((quint16)(qint64)v, b.data());
        else
            qToLittleEndian<quint32>((quint32)(qint64)v, b.data());
        return b;
    };
    TiffPage page;
    const int planeCount = planes ? channels : 1, perPixel = planes ? 1 : channels;
    const int across = blocks == Blocks::Tiles ? (width + blockWidth - 1) / blockWidth : 1;
    const int down = (height + blockRows - 1) / blockRows;
    for (int plane = 0; plane < planeCount; ++plane)
        for (int by = 0; by < down; ++by)
            for (int bx = 0; bx < across; ++bx) {
                QByteArray block;
                const int rows = blocks == Blocks::Tiles ? blockRows : std::min(blockRows, height - by * blockRows);
                const int columns = blocks == Blocks::Tiles ? blockWidth : width;
                for (int y = by * blockRows; y < by * blockRows + rows; ++y)
                    for (int x = bx * blockWidth; x < bx * blockWidth + columns; ++x)
                        for (int c = 0; c < perPixel; ++c)
                            block += sample(blocks == Blocks::Tiles ? x : x - bx * blockWidth, y, planes ? plane : c);
                page.blocks.push_back(block);
            }
    const auto tag = [&](int number, int type, std::vector<quint32> values) {
        page.tags[number] = std::make_pair(type, values);
    };
    tag(256, 4, {(quint32)width});
    tag(257, 4, {(quint32)height});
    tag(258, 3, std::vector<quint32>((size_t)channels, (quint32)t.bits));
    tag(259, 3, {1});
    tag(262, 3, {(quint32)(photometric >= 0 ? photometric : channels == 3 ? 2 : 1)});
    tag(277, 3, {(quint32)channels});
    tag(284, 3, {planes ? 2u : 1u});
    tag(339, 3, std::vector<quint32>((size_t)channels, (quint32)t.format));
    if (blocks == Blocks::Tiles) {
        tag(322, 4, {(quint32)blockWidth});
        tag(323, 4, {(quint32)blockRows});
    } else {
        tag(278, 4, {(quint32)blockRows});
    }
    return page;
}

// A field of spots in 0..1, for `channels` samples a pixel.
std::vector<double> spotField(int width, int height, int channels)
{
    std::vector<double> values;
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x) {
            double v = 0.15 + 0.002 * x + 0.001 * y;
            for (int b = 0; b < 7; ++b) {
                const double cx = (b * 23 + 9) % width, cy = (b * 17 + 11) % height, s = 1.6 + b % 3;
                v += (b % 3 ? 0.6 : -0.3) * std::exp(-((x - cx) * (x - cx) + (y - cy) * (y - cy)) / (2 * s * s));
            }
            for (int c = 0; c < channels; ++c)
                values.push_back(std::min(1.0, std::max(0.0, c == 1 ? 1.0 - v : c == 2 ? v * 0.5 : v)));
        }
    return values;
}

// The field in a type's numbers: integers across most of the type's range.
std::vector<double> inType(const std::vector<double> &field, const TiffType &t)
{
    std::vector<double> out;
    const double lo = t.format == 2 ? -std::ldexp(1.0, t.bits - 1) : 0.0;
    const double span = t.format == 3 ? 1.0 : std::ldexp(1.0, t.bits) - 1.0;
    for (double v : field)
        out.push_back(t.format == 3 ? (t.bits == 32 ? (double)(float)(v * 3.0 - 1.0) : v * 3.0 - 1.0)
                                    : std::floor(lo + v * span));
    return out;
}

// ---------------------------------------------------------------- helpers

struct Loaded {
    bool ok = false;
    LoadedPicture picture;
    QString error;
    QString damage;
};

Loaded loadFile(const QString &path, StretchMode mode)
{
    Loaded loaded;
    LoadOptions options;
    options.stretch.mode = mode;
    loaded.ok = loadPicture(path, options, &loaded.picture, &loaded.error, &loaded.damage);
    return loaded;
}

// Every sample of the picture as a double, read in bands of `band` rows.
bool readAll(const QString &path, qint64 band, std::vector<double> *values, NativeLayout *layout, QString *error)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return false;
    std::unique_ptr<NativePicture> native = openNativePicture(&file, path, error);
    if (!native)
        return false;
    *layout = native->layout();
    std::vector<unsigned char> rows((size_t)(native->rowBytes() * layout->height));
    for (qint64 y = 0; y < layout->height; y += band)
        if (!native->readRows(y, std::min(band, layout->height - y), rows.data() + y * native->rowBytes(), error))
            return false;
    values->clear();
    const size_t count = rows.size() / sampleBytes(layout->type);
    for (size_t i = 0; i < count; ++i)
        values->push_back(sampleValue(rows.data(), layout->type, i));
    return true;
}

QString features(const DetectionResult &result)
{
    QStringList lines;
    for (int i = 0; i < result.features.size(); ++i)
        lines << QString::asprintf("%g %g %a %a", result.features[i].x, result.features[i].y,
                                   result.measures[i].response, result.measures[i].xSubpixel);
    return lines.join('\n');
}

// The streamed run of the file in bands of `bandRows` gives the whole run's
// features, under `mode`.
void compareStreamed(const QString &path, StretchMode mode, qint64 bandRows)
{
    const Loaded whole = loadFile(path, mode);
    QVERIFY2(whole.ok, qPrintable(whole.error));
    DetectionSettings settings;
    settings.sigma = 1.5f;
    settings.threshold = 0.5f;
    const DetectionResult expected = runDetection(whole.picture.frame, settings);
    QCOMPARE(expected.status, 0);
    QVERIFY2(expected.features.size() > 2, qPrintable(QString("%1 features").arg(expected.features.size())));
    StreamSettings stream;
    stream.detection = settings;
    stream.stretch.mode = mode;
    stream.bandRows = bandRows;
    StreamedPicture streamed;
    QString error;
    QVERIFY2(runStreamed(path, stream, &streamed, &error), qPrintable(error));
    QVERIFY(streamed.bands > 2);
    QCOMPARE(streamed.stretch.lo, whole.picture.stretch.lo);
    QCOMPARE(streamed.stretch.hi, whole.picture.stretch.hi);
    QCOMPARE(features(streamed.result), features(expected));
    QCOMPARE(streamed.damage, whole.damage);
}

} // namespace

class TestNativeReaders : public QObject
{
    Q_OBJECT

private slots:
    void fitsValuesFollowTheScaling_data();
    void fitsValuesFollowTheScaling();
    void tiffLayoutsReadAsWritten_data();
    void tiffLayoutsReadAsWritten();
    void damageIsTheSameInEveryMode_data();
    void damageIsTheSameInEveryMode();
    void headersClaimingTooMuchAreRefused();
    void bandHeightComesFromTheBudget();

private:
    QTemporaryDir dir;
};

void TestNativeReaders::fitsValuesFollowTheScaling_data()
{
    QTest::addColumn<int>("bitpix");
    QTest::addColumn<double>("bzero");
    QTest::addColumn<double>("bscale");
    QTest::addColumn<bool>("blank");
    QTest::addColumn<int>("type");
    const struct {
        int bitpix;
        double bzero, bscale;
        bool blank;
        SampleType type;
    } cases[] = {
        {8, 0, 1, false, SAMPLE_U8},        {8, -128, 1, false, SAMPLE_I16},     {8, 10.5, 0.25, true, SAMPLE_F64},
        {16, 0, 1, false, SAMPLE_I16},      {16, 32768, 1, false, SAMPLE_U16},   {16, 32768, 1, true, SAMPLE_F64},
        {16, -7, 3, false, SAMPLE_I32},     {16, 1000.5, 0.25, false, SAMPLE_F64},
        {32, 0, 1, false, SAMPLE_I32},      {32, 2147483648.0, 1, false, SAMPLE_U32},
        {32, 0.5, 2, false, SAMPLE_F64},    {64, 0, 1, false, SAMPLE_F64},       {64, 100, 0.5, true, SAMPLE_F64},
        {-32, 0, 1, false, SAMPLE_F32},     {-64, 0, 1, false, SAMPLE_F64},
    };
    for (const auto &c : cases)
        QTest::newRow(qPrintable(QString("BITPIX %1, BZERO %2, BSCALE %3%4").arg(c.bitpix).arg(c.bzero).arg(c.bscale)
                                     .arg(c.blank ? ", BLANK" : "")))
            << c.bitpix << c.bzero << c.bscale << c.blank << (int)c.type;
}

// Each sample is BZERO + BSCALE * stored, blanks are NaN, in the type the
// scaling keeps exact; the frame shows the last stored row on top; read
// whole, in bands, or streamed, the same.
void TestNativeReaders::fitsValuesFollowTheScaling()
{
    QFETCH(int, bitpix);
    QFETCH(double, bzero);
    QFETCH(double, bscale);
    QFETCH(bool, blank);
    QFETCH(int, type);
    const int width = 31, height = 47;
    // Stored numbers across the type's whole range, its ends included.
    const double lo = bitpix == 8 ? 0 : bitpix < 0 ? -5e3 : -std::ldexp(1.0, std::min(bitpix, 40) - 1);
    const double hi = bitpix == 8 ? 255 : bitpix < 0 ? 7e3 : std::ldexp(1.0, std::min(bitpix, 40) - 1) - 1;
    const std::vector<double> field = spotField(width, height, 1);
    std::vector<double> stored;
    for (double v : field)
        stored.push_back(bitpix == -32 ? (double)(float)(lo + v * (hi - lo))
                         : bitpix < 0 ? lo + v * (hi - lo) : std::floor(lo + v * (hi - lo)));
    stored[3] = lo;
    stored[4] = hi;
    const double blankValue = lo + 1;
    if (blank)
        stored[(size_t)width * 2 + 5] = blankValue;
    QList<QPair<QByteArray, QByteArray>> cards;
    if (bzero != 0 || bscale != 1)
        cards << qMakePair(QByteArray("BZERO"), QByteArray::number(bzero, 'g', 17))
              << qMakePair(QByteArray("BSCALE"), QByteArray::number(bscale, 'g', 17));
    if (blank)
        cards << qMakePair(QByteArray("BLANK"), QByteArray::number((qint64)blankValue));
    const QString path = dir.filePath(QString("scaled%1.fits").arg(QTest::currentDataTag()).remove(' ').remove(','));
    QVERIFY(writeFile(path, fitsImage(bitpix, width, height, stored, cards)));

    std::vector<double> physical;
    for (double s : stored)
        physical.push_back(blank && s == blankValue ? std::nan("") : bzero + bscale * s);
    for (qint64 band : {(qint64)height, (qint64)4}) {
        std::vector<double> values;
        NativeLayout layout;
        QString error;
        QVERIFY2(readAll(path, band, &values, &layout, &error), qPrintable(error));
        QCOMPARE((int)layout.type, type);
        QCOMPARE(values.size(), physical.size());
        for (int y = 0; y < height; ++y)
            for (int x = 0; x < width; ++x) {
                const double want = physical[(size_t)(height - 1 - y) * width + x];  // shown top row: stored last
                const double got = values[(size_t)y * width + x];
                if (!(got == want || (std::isnan(got) && std::isnan(want))))
                    QFAIL(qPrintable(QString("band %1, (%2, %3): %4, not %5").arg(band).arg(x).arg(y)
                                         .arg(got, 0, 'g', 17).arg(want, 0, 'g', 17)));
            }
    }
    // The frame: the formula over the physical values.
    const Loaded minmax = loadFile(path, StretchMode::MinMax);
    QVERIFY2(minmax.ok, qPrintable(minmax.error));
    double low = INFINITY, high = -INFINITY;
    for (double v : physical)
        if (!std::isnan(v)) {
            low = std::min(low, v);
            high = std::max(high, v);
        }
    QCOMPARE(minmax.picture.stretch.lo, low);
    QCOMPARE(minmax.picture.stretch.hi, high);
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x)
            QCOMPARE(qGray(minmax.picture.frame.pixel(x, y)),
                     (int)stretchValue(physical[(size_t)(height - 1 - y) * width + x], low, high));
    compareStreamed(path, StretchMode::Percentile, 5);
}

void TestNativeReaders::tiffLayoutsReadAsWritten_data()
{
    QTest::addColumn<int>("bits");
    QTest::addColumn<int>("format");
    QTest::addColumn<int>("channels");
    QTest::addColumn<bool>("tiles");
    QTest::addColumn<bool>("planes");
    QTest::addColumn<int>("blockWidth");
    QTest::addColumn<int>("blockRows");
    const int types[][2] = {{8, 1}, {16, 1}, {16, 2}, {32, 1}, {32, 2}, {32, 3}, {64, 3}};
    for (const auto &t : types)
        for (int channels : {1, 3})
            for (bool tiles : {false, true})
                for (bool planes : {false, true}) {
                    if (planes && channels == 1)
                        continue;
                    // Tiles 16 wide and odd ones (17 x 9), strips of 5 rows.
                    const int blockWidth = tiles ? (t[0] == 16 ? 17 : 16) : 0;
                    const int blockRows = tiles ? (t[0] == 16 ? 9 : 32) : 5;
                    QTest::newRow(qPrintable(QString("%1-bit %2, %3, %4%5").arg(t[0])
                                                 .arg(t[1] == 1 ? "unsigned" : t[1] == 2 ? "signed" : "float")
                                                 .arg(channels == 3 ? "RGB" : "grey")
                                                 .arg(tiles ? QString("tiles %1 x %2").arg(blockWidth).arg(blockRows)
                                                            : "strips of 5")
                                                 .arg(planes ? ", planes" : "")))
                        << t[0] << t[1] << channels << tiles << planes << blockWidth << blockRows;
                }
}

// The samples handed out are those written, whole and in bands, whatever
// the layout; every stretch streamed gives the whole run's features.
void TestNativeReaders::tiffLayoutsReadAsWritten()
{
    QFETCH(int, bits);
    QFETCH(int, format);
    QFETCH(int, channels);
    QFETCH(bool, tiles);
    QFETCH(bool, planes);
    QFETCH(int, blockWidth);
    QFETCH(int, blockRows);
    const TiffType t{bits, format, SAMPLE_U8};
    const int width = 45, height = 38;
    const std::vector<double> values = inType(spotField(width, height, channels), t);
    const QString path = dir.filePath(QString("layout-%1.tif").arg(QTest::currentDataTag()).remove(QRegExp("[^a-z0-9-]")));
    QVERIFY(writeFile(path, tiffFile({tiffPage(t, width, height, channels, values,
                                               tiles ? Blocks::Tiles : Blocks::Strips, blockWidth, blockRows, planes)})));
    for (qint64 band : {(qint64)height, (qint64)3, (qint64)7}) {
        std::vector<double> read;
        NativeLayout layout;
        QString error;
        QVERIFY2(readAll(path, band, &read, &layout, &error), qPrintable(error));
        QCOMPARE(layout.channels, (unsigned)channels);
        QVERIFY(layout.damage.isEmpty());
        QCOMPARE(read, values);
    }
    for (StretchMode mode : {StretchMode::Default, StretchMode::MinMax, StretchMode::Percentile})
        compareStreamed(path, mode, 4);
}

void TestNativeReaders::damageIsTheSameInEveryMode_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<QString>("verdict");  // "sound", "damaged" or the start of the refusal
    const int width = 40, height = 36;
    const TiffType u16{16, 1, SAMPLE_U16}, f32{32, 3, SAMPLE_F32}, u8{8, 1, SAMPLE_U8};
    const std::vector<double> grey = inType(spotField(width, height, 1), u16);
    const std::vector<double> floats = inType(spotField(width, height, 1), f32);
    const TiffPage page16 = tiffPage(u16, width, height, 1, grey, Blocks::Strips, 0, 8, false);
    const TiffPage pageFloat = tiffPage(f32, width, height, 1, floats, Blocks::Strips, 0, 8, false);

    for (const auto &page : {std::make_pair("16-bit", page16), std::make_pair("float", pageFloat)}) {
        const QByteArray three = tiffFile({page.second, page.second, page.second});
        const QByteArray two = tiffFile({page.second, page.second});
        QTest::newRow(qPrintable(QString("%1 TIFF, page 3 cut").arg(page.first)))
            << three.left(two.size() + 200) << "damaged";
    }
    TiffPage missing = tiffPage(f32, width, height, 1, floats, Blocks::Tiles, 16, 16, false);
    missing.tags[324] = {4, {8, 8}};  // 2 offsets for 9 tiles
    missing.tags[325] = {4, {(quint32)missing.blocks[0].size(), (quint32)missing.blocks[0].size()}};
    QTest::newRow("float TIFF, 2 offsets for 9 tiles") << tiffFile({missing}) << "damaged";
    TiffPage zero = page16;
    zero.tags[279] = {4, std::vector<quint32>(page16.blocks.size(), 0)};
    zero.tags[279].second[0] = (quint32)page16.blocks[0].size();
    QTest::newRow("16-bit TIFF, byte counts of 0") << tiffFile({zero}) << "damaged";
    TiffPage none = page16;
    none.tags[279] = {4, std::vector<quint32>(page16.blocks.size(), 0)};
    QTest::newRow("16-bit TIFF, no strip holds data") << tiffFile({none}) << "the file is damaged";
    TiffPage past = page16;
    past.tags[273] = {4, std::vector<quint32>(page16.blocks.size(), 1u << 30)};
    QTest::newRow("16-bit TIFF, every strip past the end") << tiffFile({past}) << "the file is damaged";
    QTest::newRow("16-bit TIFF, tiles 17 wide")
        << tiffFile({tiffPage(u16, width, height, 1, grey, Blocks::Tiles, 17, 16, false)}) << "sound";
    const std::vector<double> grey8 = inType(spotField(width, height, 1), u8);
    QTest::newRow("8-bit TIFF, RGB of 1 sample")
        << tiffFile({tiffPage(u8, width, height, 1, grey8, Blocks::Strips, 0, 8, false, 2)}) << "the file is damaged";
    QTest::newRow("16-bit TIFF, RGB of 1 sample")
        << tiffFile({tiffPage(u16, width, height, 1, grey, Blocks::Strips, 0, 8, false, 2)}) << "the file is damaged";

    // FITS: a later HDU cut short; scaling keywords that are no numbers.
    std::vector<double> stored;
    for (double v : spotField(width, height, 1))
        stored.push_back(std::floor(v * 3000));
    const QByteArray image = fitsImage(16, width, height, stored);
    const QByteArray later = image + fitsImage(16, width, height, stored, {}, true);
    QTest::newRow("FITS, later HDU cut") << later.left(later.size() - 1000) << "damaged";
    QTest::newRow("FITS, later header cut") << (image + fitsImage(16, width, height, stored, {}, true)).left(image.size() + 1000)
                                            << "damaged";
    for (const char *value : {"NaN", "INF", "1E400", "'x'", "0"})
        QTest::newRow(qPrintable(QString("FITS, BSCALE = %1").arg(value)))
            << fitsImage(16, width, height, stored, {{"BSCALE", value}}) << "the file is damaged (BSCALE";
    QTest::newRow("FITS, BLANK = 1.5") << fitsImage(16, width, height, stored, {{"BLANK", "1.5"}})
                                       << "the file is damaged (BLANK";

    // PNM: text ending in its last number is whole; one cut short is not.
    QByteArray text = "P2\n40 36\n300\n";
    for (double v : grey)
        text += QByteArray::number((int)v % 301) + ' ';
    text.chop(1);
    QTest::newRow("text PGM without a final newline") << text << "sound";
    QTest::newRow("text PGM cut short") << text.left(text.size() * 2 / 3) << "damaged";
    QByteArray bitmap = "P1\n40 36\n";
    for (int i = 0; i < width * height; ++i)
        bitmap += (i * 7 % 5 < 2) ? "1 " : "0 ";
    bitmap.chop(1);
    QTest::newRow("text PBM without a final newline") << bitmap << "sound";

    // A 16-bit PNG whose text chunk's checksum is wrong.
    QImage png16(width, height, QImage::Format_Grayscale16);
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x)
            reinterpret_cast<quint16 *>(png16.scanLine(y))[x] = (quint16)grey[(size_t)y * width + x];
    QImageWriter writer;
    QByteArray png = encoded(png16, "png");
    const QByteArray chunk = QByteArray("\0\0\0\x0dtEXtComment\0hello", 21) + QByteArray("\x12\x34\x56\x78", 4);
    png.insert(33, chunk);
    QTest::newRow("16-bit PNG, text chunk's checksum wrong") << png << "damaged";
}

// Whatever the stretch, whole or streamed: a sound file reads clean, a
// damaged one reads with its damage said, a refused one is refused.
void TestNativeReaders::damageIsTheSameInEveryMode()
{
    QFETCH(QByteArray, bytes);
    QFETCH(QString, verdict);
    const QString path = dir.filePath(QString("damage-%1").arg(QTest::currentDataTag()).remove(QRegExp("[^a-zA-Z0-9-]")));
    QVERIFY(writeFile(path, bytes));
    const auto check = [&](bool ok, const QString &error, const QString &damage, const char *how) {
        const QString said = QString("%1: %2 / damage '%3'").arg(how, ok ? "read" : error, damage);
        if (verdict == "sound")
            QVERIFY2(ok && damage.isEmpty(), qPrintable(said));
        else if (verdict == "damaged")
            QVERIFY2(ok && !damage.isEmpty(), qPrintable(said));
        else
            QVERIFY2(!ok && error.startsWith(verdict), qPrintable(said));
    };
    for (StretchMode mode : {StretchMode::Default, StretchMode::None, StretchMode::MinMax, StretchMode::Percentile}) {
        const Loaded loaded = loadFile(path, mode);
        check(loaded.ok, loaded.error, loaded.damage, "loaded");
    }
    QString reason;
    if (!canStream(path, &reason)) {
        QVERIFY2(verdict != "sound" && verdict != "damaged" ? true
                 : reason.contains("whole") || reason.contains("text") || reason.contains("only raw"),
                 qPrintable(reason));
        return;
    }
    for (StretchMode mode : {StretchMode::Default, StretchMode::MinMax}) {
        StreamSettings stream;
        stream.detection.sigma = 1.5f;
        stream.stretch.mode = mode;
        stream.bandRows = 5;
        StreamedPicture streamed;
        QString error;
        const bool ok = runStreamed(path, stream, &streamed, &error);
        check(ok, error.remove("it cannot be read in bands: "), streamed.damage, "streamed");
    }
}

// Sizes that overflow, tiles larger than any picture, compressed FITS:
// refused from the header with a reason, in every way of reading.
void TestNativeReaders::headersClaimingTooMuchAreRefused()
{
    const auto claiming = [](const QByteArray &naxis1, const QByteArray &naxis2) {
        return fitsBlocks(fitsCard("SIMPLE", "T") + fitsCard("BITPIX", "16") + fitsCard("NAXIS", "2")
                              + fitsCard("NAXIS1", naxis1) + fitsCard("NAXIS2", naxis2) + fitsCard("END"),
                          ' ')
               + QByteArray(2880, '\0');
    };
    TiffPage hugeTiles;
    hugeTiles.tags = {{256, {4, {40}}}, {257, {4, {40}}}, {258, {3, {8}}}, {259, {3, {1}}}, {262, {3, {1}}},
                      {277, {3, {1}}}, {322, {4, {1u << 20}}}, {323, {4, {1u << 20}}}};
    hugeTiles.blocks = {QByteArray(64, '\0')};
    TiffPage palette = hugeTiles;  // a palette picture, which Qt's reader reads
    palette.tags[262] = {3, {3}};
    palette.tags[320] = {3, std::vector<quint32>(768, 0)};
    TiffPage wide;
    // Every strip the same few bytes of deflate data that decode to a row.
    const QByteArray row = qCompress(QByteArray(1 << 24, '\0'), 9).mid(4);
    wide.tags = {{256, {4, {1u << 24}}}, {257, {4, {64}}}, {258, {3, {8}}}, {259, {3, {8}}}, {262, {3, {1}}},
                 {277, {3, {1}}}, {278, {4, {1}}}};
    wide.tags[273] = {4, std::vector<quint32>(64, 8)};
    wide.tags[279] = {4, std::vector<quint32>(64, (quint32)row.size())};
    wide.blocks = {row};
    const struct {
        const char *name;
        QByteArray bytes;
        const char *reason;
        const char *streamedReason;
    } cases[] = {
        {"fits 2^32 x 2^32", claiming("4294967296", "4294967296"), "the image is too large", "too large"},
        {"fits 2^62 x 4", claiming("4611686018427387904", "4"), "the image is too large", "too large"},
        {"fits 1 x 2^63-1", claiming("1", "9223372036854775807"), "the image is too large", "too large"},
        {"tiff tiles of 2^20 x 2^20", tiffFile({hugeTiles}), "its tiles are too large", "tiles are too large"},
        {"palette tiff tiles of 2^20 x 2^20", tiffFile({palette}), "its tiles are too large", "tiles are too large"},
        {"tiff 2^24 x 64", tiffFile({wide}), "the image is too large", "a band of its 16777216-pixel rows"},
    };
    for (const auto &c : cases) {
        const QString path = dir.filePath(QString(c.name).remove(QRegExp("[^a-z0-9]")));
        QVERIFY(writeFile(path, c.bytes));
        for (StretchMode mode : {StretchMode::Default, StretchMode::MinMax}) {
            const Loaded loaded = loadFile(path, mode);
            QVERIFY2(!loaded.ok && loaded.error.startsWith(c.reason), qPrintable(c.name + (": " + loaded.error)));
        }
        StreamSettings stream;
        StreamedPicture streamed;
        QString error;
        QVERIFY(!runStreamed(path, stream, &streamed, &error));
        QVERIFY2(error.contains(c.streamedReason), qPrintable(c.name + (": " + error)));
    }

    // A tile-compressed FITS image, written by cfitsio, is not decoded.
    std::vector<short> pixels(64 * 48, 7);
    fitsfile *fits = nullptr;
    int status = 0;
    const QByteArray name = "!" + QFile::encodeName(dir.filePath("rice.fits"));
    fits_create_file(&fits, name.constData(), &status);
    fits_set_compression_type(fits, RICE_1, &status);
    long axes[2] = {64, 48};
    fits_create_img(fits, SHORT_IMG, 2, axes, &status);
    fits_write_img(fits, TSHORT, 1, (LONGLONG)pixels.size(), pixels.data(), &status);
    fits_close_file(fits, &status);
    QCOMPARE(status, 0);
    const Loaded rice = loadFile(dir.filePath("rice.fits"), StretchMode::Default);
    QVERIFY2(!rice.ok && rice.error.startsWith("tile-compressed FITS images are not read"), qPrintable(rice.error));
}

// A band's height counts its rows' length and the kernel's margin against
// a budget; the usual pictures keep the bands they always had.
void TestNativeReaders::bandHeightComesFromTheBudget()
{
    for (qint64 width : {1000, 32768, 65536, 200000})
        for (uint32_t radius : {2u, 15u, 90u}) {
            const qint64 own = streamBandRows(width, radius);
            const qint64 overlap = 2 * radius + 2;
            if (own == 0) {
                QVERIFY((1 + overlap) * width * kBandBytesPerPixel > kBandBudgetBytes);
                continue;
            }
            QVERIFY(own <= 24 * overlap);
            QVERIFY((own + overlap) * width * kBandBytesPerPixel <= kBandBudgetBytes);
            QVERIFY(own == 24 * overlap || (own + 1 + overlap) * width * kBandBytesPerPixel > kBandBudgetBytes);
        }
    QCOMPARE(streamBandRows(qint64(1) << 24, 7), qint64(0));
    QCOMPARE(streamBandRows(32768, 15), qint64(24 * 32));
    // The reader's own buffers count too.
    QVERIFY(streamBandRows(65536, 15, kBandBudgetBytes / 2) < streamBandRows(65536, 15));
    // A band run on a copy padded by 16 columns a side (an extended border)
    // counts the copy and the detector's record of its wider rows.
    const qint64 padded = streamBandRows(200000, 15, 0, 16);
    QVERIFY(padded > 0 && padded < streamBandRows(200000, 15));
    QVERIFY((padded + 32) * (200000 + 200032 * kBandBytesPerPixel) <= kBandBudgetBytes);
    QVERIFY((padded + 33) * (200000 + 200032 * kBandBytesPerPixel) > kBandBudgetBytes);
}

QTEST_GUILESS_MAIN(TestNativeReaders)
#include "tst_nativereaders.moc"
