// The JPEG files the loader decodes itself give what Qt's reader gives, bit
// for bit: the frame, its text, colour space and resolution, the grey input
// of a run that needs nothing else, and for the files it leaves to Qt's
// reader (CMYK, damaged, cut short) the same error or damage. Every file is
// written here with libjpeg: each chroma subsampling, progressive,
// arithmetic coding, restart markers, grey, RGB, CMYK and YCCK, odd sizes,
// EXIF orientations and broken EXIF data, then cut and corrupted.
// HESSIAN_QT_JPEG=1 gives Qt's reader's result for comparison.
// HESSIAN_JPEG_FOLDER names a folder of more JPEG files (photographs) to
// hold to the same.

#include "detectionjob.h"
#include "frameloading.h"
#include "jpegdecoder.h"

#include <QBuffer>
#include <QColorSpace>
#include <QDir>
#include <QImageReader>
#include <QImageWriter>
#include <QtTest>

#include <csetjmp>
#include <cstdio>
#include <cstring>
#include <vector>

extern "C" {
#include <jpeglib.h>
}

namespace {

struct Recipe {
    QString name;
    int width = 48;
    int height = 32;
    J_COLOR_SPACE samples = JCS_RGB;   // JCS_GRAYSCALE, JCS_RGB or JCS_CMYK
    J_COLOR_SPACE stored = JCS_YCbCr;  // as jpeg_set_colorspace takes it
    int h[3] = {0, 0, 0};              // sampling factors of the first three components; 0: the default
    int v[3] = {0, 0, 0};
    bool progressive = false;
    bool arithmetic = false;
    int restartRows = 0;
    int quality = 90;
    int densityUnit = 1;
    int density = 72;
    int levels = 256;                  // samples use levels 0 .. levels - 1 only
    QList<QPair<int, QByteArray>> markers;  // written after the header
};

struct EncoderTrap {
    jpeg_error_mgr manager;
    std::jmp_buf escape;
};

extern "C" void encoderFailed(j_common_ptr info)
{
    std::longjmp(reinterpret_cast<EncoderTrap *>(info->err)->escape, 1);
}

// A sample with smooth slopes, hard edges, saturated corners and noise, so
// that clamping, upsampling and every DCT coefficient get work.
int sampleAt(int x, int y, int channel, int levels)
{
    unsigned hash = ((unsigned)x * 73856093u) ^ ((unsigned)y * 19349663u) ^ ((unsigned)channel * 83492791u);
    hash = hash * 2654435761u;
    int value = (x * 255) / 40 + ((y / 5) % 2 ? 90 : -40) + (int)(hash >> 27) * 6 - 50 * channel;
    if ((x / 7 + y / 3 + channel) % 5 == 0)
        value = channel == 1 ? 0 : 255;
    value = qBound(0, value, 255);
    return value * (levels - 1) / 255;
}

// Everything libjpeg writes from Qt-free code, or an empty array.
QByteArray encode(const Recipe &recipe)
{
    jpeg_compress_struct info;
    EncoderTrap trap;
    unsigned char *out = nullptr;
    unsigned long size = 0;
    info.err = jpeg_std_error(&trap.manager);
    trap.manager.error_exit = encoderFailed;
    const int components = recipe.samples == JCS_GRAYSCALE ? 1 : recipe.samples == JCS_CMYK ? 4 : 3;
    std::vector<unsigned char> row((size_t)recipe.width * (size_t)components);
    if (setjmp(trap.escape)) {
        jpeg_destroy_compress(&info);
        std::free(out);
        return QByteArray();
    }
    jpeg_create_compress(&info);
    jpeg_mem_dest(&info, &out, &size);
    info.image_width = (JDIMENSION)recipe.width;
    info.image_height = (JDIMENSION)recipe.height;
    info.input_components = components;
    info.in_color_space = recipe.samples;
    jpeg_set_defaults(&info);
    jpeg_set_colorspace(&info, recipe.stored);
    jpeg_set_quality(&info, recipe.quality, TRUE);
    for (int c = 0; c < 3 && c < info.num_components; ++c) {
        if (recipe.h[c])
            info.comp_info[c].h_samp_factor = recipe.h[c];
        if (recipe.v[c])
            info.comp_info[c].v_samp_factor = recipe.v[c];
    }
    if (recipe.progressive)
        jpeg_simple_progression(&info);
    info.arith_code = recipe.arithmetic ? TRUE : FALSE;
    info.restart_in_rows = recipe.restartRows;
    info.density_unit = (UINT8)recipe.densityUnit;
    info.X_density = (UINT16)recipe.density;
    info.Y_density = (UINT16)(recipe.density + 1);
    jpeg_start_compress(&info, TRUE);
    for (const auto &marker : recipe.markers)
        jpeg_write_marker(&info, marker.first, reinterpret_cast<const JOCTET *>(marker.second.constData()),
                          (unsigned)marker.second.size());
    while (info.next_scanline < info.image_height) {
        for (int x = 0; x < recipe.width; ++x)
            for (int c = 0; c < components; ++c)
                row[(size_t)(x * components + c)] =
                    (unsigned char)sampleAt(x, (int)info.next_scanline, c, recipe.levels);
        JSAMPROW rows[1] = {row.data()};
        jpeg_write_scanlines(&info, rows, 1);
    }
    jpeg_finish_compress(&info);
    jpeg_destroy_compress(&info);
    QByteArray bytes(reinterpret_cast<const char *>(out), (int)size);
    std::free(out);
    return bytes;
}

// An EXIF block ("Exif\0\0" and a TIFF structure) of IFDs one after the
// other from `firstIfd`, each an array of entries (tag, type, count,
// value), the last pointing to `next`.
struct ExifEntry {
    quint16 tag, type;
    quint32 count;
    quint16 value;
};

QByteArray exifBlock(bool little, const QVector<QVector<ExifEntry>> &ifds, quint32 firstIfd = 8, quint32 next = 0)
{
    QByteArray tiff;
    const auto put = [&](quint32 value, int bytes) {
        for (int i = 0; i < bytes; ++i)
            tiff.append((char)(little ? value >> (8 * i) : value >> (8 * (bytes - 1 - i))));
    };
    tiff.append(little ? "II" : "MM");
    put(42, 2);
    put(firstIfd, 4);
    while ((quint32)tiff.size() < firstIfd)
        tiff.append('\0');
    for (int i = 0; i < ifds.size(); ++i) {
        put((quint32)ifds[i].size(), 2);
        for (const ExifEntry &entry : ifds[i]) {
            put(entry.tag, 2);
            put(entry.type, 2);
            put(entry.count, 4);
            put(entry.value, 2);
            put(0, 2);
        }
        put(i + 1 < ifds.size() ? (quint32)tiff.size() + 4 : next, 4);
    }
    return QByteArray("Exif\0\0", 6) + tiff;
}

// What Qt's reader says the EXIF data asks for, as EXIF numbers it.
int qtOrientation(const QByteArray &jpeg)
{
    QBuffer buffer;
    buffer.setData(jpeg);
    buffer.open(QIODevice::ReadOnly);
    QImageReader reader(&buffer, "jpeg");
    switch (reader.transformation()) {
    case QImageIOHandler::TransformationMirror: return 2;
    case QImageIOHandler::TransformationRotate180: return 3;
    case QImageIOHandler::TransformationFlip: return 4;
    case QImageIOHandler::TransformationFlipAndRotate90: return 5;
    case QImageIOHandler::TransformationRotate90: return 6;
    case QImageIOHandler::TransformationMirrorAndRotate90: return 7;
    case QImageIOHandler::TransformationRotate270: return 8;
    default: return 1;
    }
}

struct Outcome {
    bool ok = false;
    QImage frame;
    QString error, damage, notice;
};

Outcome load(const QByteArray &bytes, bool throughQt, bool inputOnly)
{
    if (throughQt)
        qputenv("HESSIAN_QT_JPEG", "1");
    QBuffer buffer;
    buffer.setData(bytes);
    buffer.open(QIODevice::ReadOnly);
    LoadOptions options;
    options.detectorInputOnly = inputOnly;
    LoadedPicture picture;
    Outcome outcome;
    outcome.ok = loadPicture(&buffer, options, &picture, &outcome.error, &outcome.damage);
    outcome.frame = picture.frame;
    outcome.notice = picture.notice.text;
    qunsetenv("HESSIAN_QT_JPEG");
    return outcome;
}

// The pixels of two frames differ (row padding aside), or their layouts.
QString pixelDifference(const QImage &a, const QImage &b)
{
    if (a.format() != b.format() || a.size() != b.size())
        return QStringLiteral("format %1 %2x%3 against %4 %5x%6")
            .arg(a.format()).arg(a.width()).arg(a.height()).arg(b.format()).arg(b.width()).arg(b.height());
    const int rowBytes = a.width() * a.depth() / 8;
    for (int y = 0; y < a.height(); ++y)
        if (std::memcmp(a.constScanLine(y), b.constScanLine(y), (size_t)rowBytes) != 0)
            return QStringLiteral("row %1 differs").arg(y);
    return QString();
}

// The grey levels the detection job takes from a frame.
QImage detectorGrey(const QImage &frame)
{
    QImage grey(frame.size(), QImage::Format_Grayscale8);
    std::vector<unsigned char> levels((size_t)frame.width() * (size_t)frame.height());
    convertFrameToGrey(frame, levels.data());
    for (int y = 0; y < frame.height(); ++y)
        std::memcpy(grey.scanLine(y), levels.data() + (size_t)y * (size_t)frame.width(), (size_t)frame.width());
    return grey;
}

// The loader's result for `bytes` is Qt's reader's, in every respect a
// user can see; for a run that needs only its input, the grey levels the
// job would take from Qt's frame. Returns what differs.
QString differenceFromQt(const QByteArray &bytes)
{
    const Outcome qt = load(bytes, true, false);
    for (bool inputOnly : {false, true}) {
        const Outcome own = load(bytes, false, inputOnly);
        const QString how = inputOnly ? QStringLiteral(" (input only)") : QString();
        if (own.ok != qt.ok || own.error != qt.error || own.damage != qt.damage || own.notice != qt.notice)
            return QStringLiteral("%1 '%2' '%3' '%4' against Qt's %5 '%6' '%7' '%8'%9")
                .arg(own.ok).arg(own.error, own.damage, own.notice).arg(qt.ok).arg(qt.error, qt.damage, qt.notice, how);
        if (!qt.ok)
            continue;
        const bool greyInput = inputOnly && own.frame.format() == QImage::Format_Grayscale8
                               && qt.frame.format() == QImage::Format_RGB32;
        const QString pixels = pixelDifference(own.frame, greyInput ? detectorGrey(qt.frame) : qt.frame);
        if (!pixels.isEmpty())
            return pixels + how;
        if (inputOnly)
            continue;
        if (own.frame.textKeys() != qt.frame.textKeys())
            return QStringLiteral("text keys %1 against %2")
                .arg(own.frame.textKeys().join(','), qt.frame.textKeys().join(','));
        for (const QString &key : qt.frame.textKeys())
            if (own.frame.text(key) != qt.frame.text(key))
                return QStringLiteral("text '%1'").arg(key);
        if (own.frame.colorSpace() != qt.frame.colorSpace())
            return QStringLiteral("colour space");
        if (own.frame.dotsPerMeterX() != qt.frame.dotsPerMeterX()
            || own.frame.dotsPerMeterY() != qt.frame.dotsPerMeterY())
            return QStringLiteral("resolution");
    }
    return QString();
}

bool decodedHere(const QByteArray &bytes, unsigned threads = 1)
{
    DecodedJpeg decoded;
    return decodePlainJpeg(reinterpret_cast<const unsigned char *>(bytes.constData()), (size_t)bytes.size(),
                           JpegTarget::Frame, qint64(1) << 28, &decoded, threads);
}

Recipe colour(const QString &name, int h0, int v0, int h1 = 1, int v1 = 1, int h2 = 1, int v2 = 1)
{
    Recipe recipe;
    recipe.name = name;
    recipe.h[0] = h0, recipe.v[0] = v0, recipe.h[1] = h1, recipe.v[1] = v1, recipe.h[2] = h2, recipe.v[2] = v2;
    return recipe;
}

// The files of the corpus that are plain (decoded here) and those that
// are left to Qt's reader.
QVector<Recipe> plainRecipes()
{
    QVector<Recipe> recipes;
    recipes << colour("4:4:4", 1, 1) << colour("4:2:2", 2, 1) << colour("4:2:0", 2, 2) << colour("4:4:0", 1, 2)
            << colour("4:1:1", 4, 1) << colour("4:1:0", 4, 2) << colour("3x1", 3, 1) << colour("1x3 over 1x1", 1, 3)
            << colour("Cb and Cr apart", 2, 2, 2, 1, 1, 1) << colour("chroma at 2x1 of 4x1", 4, 1, 2, 1, 1, 1);
    for (Recipe recipe : QVector<Recipe>(recipes)) {
        recipe.name += ", progressive";
        recipe.progressive = true;
        recipes << recipe;
    }
    Recipe recipe = colour("4:2:0 arithmetic", 2, 2);
    recipe.arithmetic = true;
    recipes << recipe;
    recipe.progressive = true;
    recipe.name = "4:2:0 progressive arithmetic";
    recipes << recipe;
    recipe = colour("4:2:0 restart markers", 2, 2);
    recipe.restartRows = 1;
    recipes << recipe;
    recipe = colour("RGB (Adobe)", 1, 1);
    recipe.stored = JCS_RGB;
    recipes << recipe;
    recipe.samples = recipe.stored = JCS_GRAYSCALE;
    recipe.name = "grey";
    recipes << recipe;
    recipe.progressive = true;
    recipe.name = "grey progressive";
    recipes << recipe;
    recipe = colour("few levels (narrow)", 2, 2);
    recipe.levels = 12;
    recipes << recipe;
    recipe = colour("density in cm", 2, 2);
    recipe.densityUnit = 2;
    recipe.markers << qMakePair(JPEG_COM, QByteArray("Author: someone"))
                   << qMakePair(JPEG_COM, QByteArray("a plain remark: with a colon"));
    recipes << recipe;
    recipe = colour("colour profile", 2, 2);
    const QByteArray icc = QColorSpace(QColorSpace::AdobeRgb).iccProfile();
    recipe.markers << qMakePair(JPEG_APP0 + 2, QByteArray("ICC_PROFILE\0\1\1", 14) + icc);
    recipes << recipe;
    // Sizes around the blocks and the upsampling groups.
    const QSize sizes[] = {{1, 1}, {2, 3}, {7, 5}, {8, 8}, {9, 17}, {16, 16}, {17, 33}, {63, 1}, {1, 65}, {255, 97}};
    for (const QSize &size : sizes)
        for (const Recipe &base : {colour("4:2:0", 2, 2), colour("4:2:2", 2, 1), colour("4:4:0", 1, 2)}) {
            Recipe sized = base;
            sized.width = size.width();
            sized.height = size.height();
            sized.name = QStringLiteral("%1 %2x%3").arg(base.name).arg(size.width()).arg(size.height());
            recipes << sized;
        }
    return recipes;
}

} // namespace

class TestJpegDecoder : public QObject
{
    Q_OBJECT

private slots:
    void plainFilesGiveQtsPixels_data();
    void plainFilesGiveQtsPixels();
    void splitDecodingGivesTheSamePixels_data();
    void splitDecodingGivesTheSamePixels();
    void inksAreLeftToQt();
    void brokenFilesGiveQtsVerdict_data();
    void brokenFilesGiveQtsVerdict();
    void exifOrientationIsReadAsQtReadsIt();
    void photographsGiveQtsPixels();
};

void TestJpegDecoder::plainFilesGiveQtsPixels_data()
{
    QTest::addColumn<QByteArray>("bytes");
    for (const Recipe &recipe : plainRecipes()) {
        const QByteArray bytes = encode(recipe);
        QVERIFY2(!bytes.isEmpty(), qPrintable(recipe.name));
        QTest::newRow(qPrintable(recipe.name)) << bytes;
    }
}

void TestJpegDecoder::plainFilesGiveQtsPixels()
{
    QFETCH(QByteArray, bytes);
    QVERIFY(decodedHere(bytes));
    const QString difference = differenceFromQt(bytes);
    QVERIFY2(difference.isEmpty(), qPrintable(difference));
}

void TestJpegDecoder::splitDecodingGivesTheSamePixels_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QVector<Recipe> recipes = plainRecipes();
    // Large enough for two threads to share by themselves.
    for (Recipe recipe : {colour("large 4:2:0", 2, 2), colour("large 4:4:4 with restarts", 1, 1)}) {
        recipe.width = 1000;
        recipe.height = 700;
        recipe.restartRows = recipe.h[0] == 1 ? 3 : 0;
        recipes << recipe;
    }
    for (const Recipe &recipe : recipes)
        QTest::newRow(qPrintable(recipe.name)) << encode(recipe);
}

void TestJpegDecoder::splitDecodingGivesTheSamePixels()
{
    QFETCH(QByteArray, bytes);
    const auto decode = [&](JpegTarget target, unsigned threads, uint32_t splitRow) {
        DecodedJpeg decoded;
        const bool ok = decodePlainJpeg(reinterpret_cast<const unsigned char *>(bytes.constData()),
                                        (size_t)bytes.size(), target, qint64(1) << 28, &decoded, threads, splitRow);
        return ok ? decoded : DecodedJpeg();
    };
    for (JpegTarget target : {JpegTarget::Frame, JpegTarget::Grey}) {
        const DecodedJpeg whole = decode(target, 1, 0);
        QVERIFY(!whole.image.isNull());
        const int height = whole.image.height();
        // Every row of a small picture, a spread of rows of a large one,
        // and wherever the two threads meet by themselves.
        QVector<uint32_t> splits{0};
        for (int row = 1; row < height; row += height <= 100 ? 1 : 37)
            splits << (uint32_t)row;
        for (uint32_t split : splits) {
            const DecodedJpeg shared = decode(target, 2, split);
            const QString difference = pixelDifference(shared.image, whole.image);
            QVERIFY2(difference.isEmpty(), qPrintable(QStringLiteral("split at %1: %2").arg(split).arg(difference)));
            QCOMPARE(shared.lowest, whole.lowest);
            QCOMPARE(shared.highest, whole.highest);
        }
    }
}

void TestJpegDecoder::inksAreLeftToQt()
{
    for (J_COLOR_SPACE stored : {JCS_CMYK, JCS_YCCK}) {
        Recipe recipe;
        recipe.samples = JCS_CMYK;
        recipe.stored = stored;
        const QByteArray bytes = encode(recipe);
        QVERIFY(!bytes.isEmpty());
        QVERIFY(!decodedHere(bytes));
        const QString difference = differenceFromQt(bytes);
        QVERIFY2(difference.isEmpty(), qPrintable(difference));
        QVERIFY(load(bytes, false, true).ok);
    }
}

void TestJpegDecoder::brokenFilesGiveQtsVerdict_data()
{
    QTest::addColumn<QByteArray>("bytes");
    Recipe progressive = colour("progressive", 2, 2);
    progressive.progressive = true;
    Recipe restarts = colour("restart markers", 2, 1);
    restarts.restartRows = 1;
    Recipe arithmetic = colour("arithmetic", 2, 2);
    arithmetic.arithmetic = true;
    Recipe grey = colour("grey", 1, 1);
    grey.samples = grey.stored = JCS_GRAYSCALE;
    for (Recipe recipe : {colour("baseline", 2, 2), progressive, restarts, arithmetic, grey}) {
        recipe.width = 64;
        recipe.height = 40;
        const QByteArray whole = encode(recipe);
        QVERIFY(!whole.isEmpty());
        const int n = whole.size();
        const auto add = [&](const QString &what, const QByteArray &bytes) {
            QTest::newRow(qPrintable(recipe.name + QStringLiteral(": ") + what)) << bytes;
        };
        for (int cut : {2, 20, n / 4, n / 2, n - 40, n - 3, n - 2, n - 1})
            add(QStringLiteral("cut to %1 of %2 bytes").arg(cut).arg(n), whole.left(cut));
        add(QStringLiteral("junk after the end"), whole + QByteArray("\x12\x34\xff\x00garbage", 11));
        add(QStringLiteral("a second end marker"), whole + QByteArray("\xff\xd9", 2));
        for (int i = 1; i <= 9; ++i) {
            const int at = n - 4 - i * (n / 20);
            for (char value : {'\x00', '\xff', '\x55'}) {
                QByteArray changed = whole;
                changed[at] = value;
                add(QStringLiteral("byte %1 set to %2").arg(at).arg((int)(uchar)value), changed);
            }
        }
        QByteArray lost = whole;
        lost.remove(n / 2, 7);
        add(QStringLiteral("7 bytes lost"), lost);
    }
}

void TestJpegDecoder::brokenFilesGiveQtsVerdict()
{
    QFETCH(QByteArray, bytes);
    const QString difference = differenceFromQt(bytes);
    QVERIFY2(difference.isEmpty(), qPrintable(difference));
}

void TestJpegDecoder::exifOrientationIsReadAsQtReadsIt()
{
    const auto orientation = [](quint16 value) { return ExifEntry{0x0112, 3, 1, value}; };
    const ExifEntry other{0x010f, 2, 1, 'A'};
    QVector<QPair<QString, QVector<QByteArray>>> cases;  // APP1 markers of a file
    const auto add = [&](const QString &name, const QVector<QByteArray> &markers) { cases.append({name, markers}); };
    for (bool little : {true, false})
        for (quint16 value = 0; value <= 9; ++value)
            add(QStringLiteral("%1 %2").arg(little ? "II" : "MM").arg(value),
                {exifBlock(little, {{other, orientation(value)}})});
    add("as a long", {exifBlock(true, {{ExifEntry{0x0112, 4, 1, 6}}})});
    add("two of them", {exifBlock(true, {{ExifEntry{0x0112, 3, 2, 6}}})});
    add("in the second IFD", {exifBlock(true, {{other}, {orientation(6)}})});
    for (int count : {10, 11}) {
        QVector<QVector<ExifEntry>> ifds;
        for (int i = 1; i < count; ++i)
            ifds.append({other});
        ifds.append({orientation(6)});
        add(QStringLiteral("in IFD %1").arg(count), {exifBlock(true, ifds)});
    }
    add("IFD behind the header", {exifBlock(true, {{orientation(6)}}, 4)});
    add("IFD past the end", {exifBlock(true, {{orientation(6)}}, 400)});
    add("IFD one entry further", {exifBlock(true, {{orientation(6)}}, 20)});
    add("endless chain", {exifBlock(true, {{other}}, 8, 8)});
    add("not EXIF", {QByteArray("http://ns.adobe.com/xap/1.0/\0<x/>", 34)});
    add("XMP first", {QByteArray("http://ns.adobe.com/xap/1.0/\0<x/>", 34), exifBlock(true, {{orientation(6)}})});
    add("EXIF then XMP", {exifBlock(false, {{orientation(8)}}), QByteArray("http://ns.adobe.com/xap/1.0/\0", 29)});
    add("bad byte order", {QByteArray("Exif\0\0IM\0\x2a\0\0\0\x08", 14)});
    const QByteArray whole = exifBlock(false, {{other, orientation(5)}});
    for (int length = 0; length < whole.size(); ++length)
        add(QStringLiteral("cut to %1").arg(length), {whole.left(length)});

    for (const auto &exif : cases) {
        Recipe recipe = colour("turned", 2, 2);
        recipe.width = 12;
        recipe.height = 5;
        QByteArray app1;
        for (const QByteArray &marker : exif.second) {
            recipe.markers << qMakePair(JPEG_APP0 + 1, marker);
            app1 += marker;
        }
        const QByteArray bytes = encode(recipe);
        QVERIFY(!bytes.isEmpty());
        QCOMPARE(exifOrientation(app1), qtOrientation(bytes));
        const QString difference = differenceFromQt(bytes);
        QVERIFY2(difference.isEmpty(), qPrintable(exif.first + QStringLiteral(": ") + difference));
    }
}

void TestJpegDecoder::photographsGiveQtsPixels()
{
    // A photograph of the samples folder, written by Qt's writer at a few
    // qualities (4:2:0), and any JPEG files of HESSIAN_JPEG_FOLDER.
    QVector<QPair<QString, QByteArray>> files;
    const QImage cells(QStringLiteral(HESSIAN_SAMPLES_DIR "/cells.png"));
    QVERIFY(!cells.isNull());
    for (int quality : {10, 50, 75, 95, 100}) {
        QBuffer buffer;
        buffer.open(QIODevice::WriteOnly);
        QImageWriter writer(&buffer, "jpeg");
        writer.setQuality(quality);
        writer.setProgressiveScanWrite(quality == 50);
        QVERIFY(writer.write(cells.convertToFormat(QImage::Format_RGB32)));
        files.append({QStringLiteral("cells.png at quality %1").arg(quality), buffer.data()});
    }
    const QString folder = qEnvironmentVariable("HESSIAN_JPEG_FOLDER");
    if (!folder.isEmpty()) {
        const QDir dir(folder);
        for (const QString &name : dir.entryList({"*.jpg", "*.jpeg", "*.JPG", "*.JPEG"}, QDir::Files)) {
            QFile file(dir.filePath(name));
            QVERIFY(file.open(QIODevice::ReadOnly));
            files.append({name, file.readAll()});
        }
    }
    for (const auto &file : files) {
        const QString difference = differenceFromQt(file.second);
        QVERIFY2(difference.isEmpty(), qPrintable(file.first + QStringLiteral(": ") + difference));
        qDebug("%s: %s", qPrintable(file.first), decodedHere(file.second) ? "decoded here" : "left to Qt's reader");
    }
}

QTEST_GUILESS_MAIN(TestJpegDecoder)
#include "tst_jpegdecoder.moc"
