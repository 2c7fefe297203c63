// Loading whatever a person may pick: size bombs, every pixel layout the
// readers deliver, orientation tags, truncated and corrupt files, and the
// files that fuzzing found to crash or take all memory. Every file is
// written by the test itself. Run without a GUI application, as the
// command-line tool runs.

#include "detectionjob.h"
#include "frameloading.h"
#include "testimages.h"

#include <QBuffer>
#include <QFileInfo>
#include <QtEndian>
#include <QImageReader>
#include <QImageWriter>
#include <QTemporaryDir>
#include <QtTest>

#include <cstdlib>
#include <cstring>
#include <thread>
#include <vector>

#ifdef Q_OS_UNIX
#include <sys/stat.h>
#endif

namespace {

// A 4 x 4 picture of two frames (red, then blue), and a two-page TIFF
// (red, then blue), as other programs write them.
const char kAnimatedGif[] =
    "47494638396104000400f00000ff000000000021f904000000000021ff0b4e45545343415045322e30030100"
    "00002c0000000004000400000204848f09050021f90400000000002c0000000004000400800000ff00000002"
    "04848f0905003b";
const char kTwoPageTiff[] =
    "49492a0068000000ffff00000000ffff00000000ffff00000000ffff00000000ffff00000000ffff00000000ffff0000"
    "0000ffff00000000ffff00000000ffff00000000ffff00000000ffff00000000ffff00000000ffff00000000ffff0000"
    "0000ffff000000001000fe00040001000000020000000001030001000000040000000101030001000000040000000201"
    "0300030000002e0100000301030001000000010000000601030001000000020000000a01030001000000010000001101"
    "040001000000080000001201030001000000010000001501030001000000030000001601030001000000040000001701"
    "040001000000600000001c01030001000000010000002901030002000000000002003e01050002000000640100003f01"
    "05000600000034010000d401000010001000100085eb510000008000c3f5a80000000002cdcc4c0000000001cdcc4c00"
    "00008000cdcc4c00000000028fc2f50000000010371aa000000000022b870a000000200000000000ffff00000000ffff"
    "00000000ffff00000000ffff00000000ffff00000000ffff00000000ffff00000000ffff00000000ffff00000000ffff"
    "00000000ffff00000000ffff00000000ffff00000000ffff00000000ffff00000000ffff1000fe000400010000000200"
    "000000010300010000000400000001010300010000000400000002010300030000009a02000003010300010000000100"
    "00000601030001000000020000000a010300010000000100000011010400010000007401000012010300010000000100"
    "00001501030001000000030000001601030001000000040000001701040001000000600000001c010300010000000100"
    "00002901030002000000010002003e01050002000000d00200003f01050006000000a002000000000000100010001000"
    "85eb510000008000c3f5a80000000002cdcc4c0000000001cdcc4c0000008000cdcc4c00000000028fc2f50000000010"
    "371aa000000000022b870a0000002000";

const QByteArray kSvgWithText =
    "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"40\" height=\"28\">"
    "<rect width=\"40\" height=\"28\" fill=\"white\"/>"
    "<text x=\"2\" y=\"26\" font-size=\"8\">Hi</text></svg>\n";

// An SVG whose picture is the file at `path`.
QByteArray svgShowing(const QString &path)
{
    return "<svg xmlns=\"http://www.w3.org/2000/svg\" xmlns:xlink=\"http://www.w3.org/1999/xlink\""
           " width=\"40\" height=\"28\"><image width=\"40\" height=\"28\" xlink:href=\""
           + path.toUtf8() + "\"/></svg>\n";
}

// An MNG of nothing but its header, claiming 8 x 8 pixels. Qt's MNG reader
// cannot tell the size before decoding, and while decoding it allocates
// and clears whatever the header claims: 16 GiB for 65535 x 65535.
const QByteArray kMngHeaderOnly(
    "\x8a\x4d\x4e\x47\x0d\x0a\x1a\x0a\x00\x00\x00\x1c\x4d\x48\x44\x52\x00\x00\x00\x08"
    "\x00\x00\x00\x08\x00\x00\x00\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00"
    "\x00\x00\x00\x01\x51\x60\xa1\x70\x00\x00\x00\x00\x4d\x45\x4e\x44\x21\x20\xf7\xd5",
    60);

// An icon or cursor file whose one entry says 0 x 0 (256 x 256) and holds
// `picture`: a PNG stream or a bitmap's info header and pixels.
QByteArray iconHolding(const QByteArray &picture, int type = 1)
{
    QByteArray icon(22, '\0');
    putLittleEndian(icon, 2, type, 2);
    putLittleEndian(icon, 4, 1, 2);
    putLittleEndian(icon, 10, 1, 2);
    putLittleEndian(icon, 12, 32, 2);
    putLittleEndian(icon, 14, picture.size(), 4);
    putLittleEndian(icon, 18, 22, 4);
    return icon + picture;
}

// A bitmap info header of 32-bit pixels (with its mask, twice as high as
// the picture), followed by a few bytes.
QByteArray iconBitmapHeader(qint32 width, qint32 height)
{
    QByteArray header(40 + 64, '\0');
    putLittleEndian(header, 0, 40, 4);
    putLittleEndian(header, 4, width, 4);
    putLittleEndian(header, 8, 2 * height, 4);
    putLittleEndian(header, 12, 1, 2);
    putLittleEndian(header, 14, 32, 2);
    return header;
}

// A GIF of one white pixel at the top left of a logical screen.
QByteArray gifOnScreen(quint16 width, quint16 height)
{
    QByteArray gif = QByteArray::fromHex("47494638396100000000800000000000ffffff2c00000000010001000002024401003b");
    putLittleEndian(gif, 6, width, 2);
    putLittleEndian(gif, 8, height, 2);
    return gif;
}

struct Loaded {
    bool ok;
    QImage frame;
    QString error;
    QString damage;
};

Loaded load(const QByteArray &bytes)
{
    QBuffer buffer;
    buffer.setData(bytes);
    buffer.open(QIODevice::ReadOnly);
    Loaded loaded{false, QImage(), QString(), QString()};
    loaded.ok = loadFrame(&buffer, &loaded.frame, &loaded.error, &loaded.damage);
    return loaded;
}

QString features(const QImage &frame)
{
    return featureList(runDetectionJob(frame, 2.0f, 5.0f).features);
}

} // namespace

class TestFrameLoading : public QObject
{
    Q_OBJECT

private slots:
    void sizeBombsAreRefusedFromTheHeader_data();
    void sizeBombsAreRefusedFromTheHeader();
    void largestAcceptedClaimIsNotRefused();
    void topDownBitmapOpens();
    void bitmapPixelsWithoutDataAreCleared();
    void everyLayoutGivesTheFeaturesOfRgb32_data();
    void everyLayoutGivesTheFeaturesOfRgb32();
    void orientationTagIsApplied();
    void brokenFilesAreRefusedOrDecoded_data();
    void brokenFilesAreRefusedOrDecoded();
    void firstFrameOfMultiFrameFiles();
    void fileErrorsNameTheProblem();
    void vectorDrawingsAreRefused_data();
    void vectorDrawingsAreRefused();
    void picturesOfUnknownSizeAreRefused();
    void contentDecidesTheFormat();
    void threadsKeepTheirOwnDecoderMessages();

private:
    QTemporaryDir dir;
};

void TestFrameLoading::sizeBombsAreRefusedFromTheHeader_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<bool>("toldTooLarge");
    QTest::newRow("jpeg 65500 x 65500") << jpegClaiming(65500, 65500) << true;
    QTest::newRow("jpeg 65500 x 4200") << jpegClaiming(65500, 4200) << false;
    QTest::newRow("png 100000 x 100000") << pngClaiming(100000, 100000) << true;
    QTest::newRow("png 2^31-1 x 2") << pngClaiming(0x7FFFFFFF, 2) << false;
    QTest::newRow("bmp 60000 x 60000") << bmpClaiming(60000, 60000) << true;
    // The directory entry says 256 x 256; the picture it holds, not.
    QTest::newRow("ico holding a png of 40000 x 40000") << iconHolding(pngClaiming(40000, 40000)) << true;
    QTest::newRow("cur holding a png of 40000 x 40000") << iconHolding(pngClaiming(40000, 40000), 2) << true;
    QTest::newRow("ico holding a bitmap of 20000 x 20000") << iconHolding(iconBitmapHeader(20000, 20000)) << true;
    // The picture is one pixel; Qt decodes it onto the screen.
    QTest::newRow("gif of 1 x 1 on a screen of 16385 x 16384") << gifOnScreen(16385, 16384) << true;
}

// A refusal that came after decoding would allocate gigabytes here and
// take minutes; refused from the header it is instant.
void TestFrameLoading::sizeBombsAreRefusedFromTheHeader()
{
    QFETCH(QByteArray, bytes);
    QFETCH(bool, toldTooLarge);
    QVERIFY(bytes.size() < 2000);
    const Loaded loaded = load(bytes);
    QVERIFY(!loaded.ok);
    QVERIFY(loaded.frame.isNull());
    QVERIFY(!loaded.error.isEmpty());
    // Where the header can be read, the refusal is ours and says why; some
    // readers refuse absurd claims themselves.
    if (toldTooLarge)
        QVERIFY2(loaded.error.startsWith("the image is too large"), qPrintable(loaded.error));
}

void TestFrameLoading::largestAcceptedClaimIsNotRefused()
{
    // 16384 x 16384 is exactly the limit: the claim passes the size check
    // (this truncated file then fails to decode, which is quick for PNG).
    const Loaded atLimit = load(pngClaiming(16384, 16384));
    QVERIFY(!atLimit.error.startsWith("the image is too large"));
    const Loaded above = load(pngClaiming(16384, 16385));
    QVERIFY(above.error.startsWith("the image is too large: 16384 x 16385 pixels, the limit is 268435456 pixels"));
}

// A bitmap stored top row first has a negative height in its header.
void TestFrameLoading::topDownBitmapOpens()
{
    const QImage picture = blobPicture(40, 30);
    QByteArray bmp = encoded(picture, "bmp");
    const int pixels = (int)qFromLittleEndian<quint32>(bmp.constData() + 10);
    const int row = (40 * qFromLittleEndian<quint16>(bmp.constData() + 28) + 31) / 32 * 4;
    QByteArray topDown = bmp.left(pixels);
    for (int y = 29; y >= 0; --y)
        topDown += bmp.mid(pixels + y * row, row);
    putLittleEndian(topDown, 22, (quint32)-30, 4);

    const Loaded loaded = load(topDown);
    QVERIFY2(loaded.ok, qPrintable(loaded.error));
    QCOMPARE(loaded.frame, picture);
    QVERIFY(loaded.damage.isEmpty());
}

// A run-length bitmap of 16 x 8 palette pixels that ends at once: Qt's
// reader writes no pixel. They must not be whatever the allocator hands
// out, so freed memory is soiled first.
void TestFrameLoading::bitmapPixelsWithoutDataAreCleared()
{
    QByteArray bmp(14 + 40 + 256 * 4, '\0');
    bmp[0] = 'B';
    bmp[1] = 'M';
    putLittleEndian(bmp, 10, bmp.size(), 4);
    putLittleEndian(bmp, 14, 40, 4);
    putLittleEndian(bmp, 18, 16, 4);
    putLittleEndian(bmp, 22, 8, 4);
    putLittleEndian(bmp, 26, 1, 2);
    putLittleEndian(bmp, 28, 8, 2);
    putLittleEndian(bmp, 30, 1, 4);  // RLE8
    for (int i = 0; i < 256; ++i)
        putLittleEndian(bmp, 54 + 4 * i, i * 0x010101u, 4);
    bmp += QByteArray("\0\1", 2);  // end of the picture
    putLittleEndian(bmp, 2, bmp.size(), 4);

    std::vector<void *> soiled;
    for (int i = 0; i < 1000; ++i) {
        soiled.push_back(std::malloc(16 * 8));
        std::memset(soiled.back(), 0xAB, 16 * 8);
    }
    for (void *block : soiled)
        std::free(block);
    const Loaded loaded = load(bmp);
    QVERIFY2(loaded.ok, qPrintable(loaded.error));
    QImage black(16, 8, QImage::Format_RGB32);
    black.fill(Qt::black);
    QCOMPARE(loaded.frame, black);
}

void TestFrameLoading::everyLayoutGivesTheFeaturesOfRgb32_data()
{
    QTest::addColumn<int>("layout");
    QTest::addColumn<QByteArray>("fileFormat");
    const QImage::Format layouts[] = {
        QImage::Format_Mono, QImage::Format_MonoLSB, QImage::Format_Indexed8, QImage::Format_Grayscale8,
        QImage::Format_Grayscale16, QImage::Format_RGB888, QImage::Format_RGB16, QImage::Format_RGB32,
        QImage::Format_ARGB32, QImage::Format_ARGB32_Premultiplied, QImage::Format_RGBX64,
        QImage::Format_RGBA64, QImage::Format_RGBA64_Premultiplied, QImage::Format_BGR30,
        QImage::Format_RGBA8888};
    for (QImage::Format layout : layouts)
        for (const char *fileFormat : {"png", "bmp", "tiff"})
            QTest::newRow(qPrintable(QString("layout %1 %2").arg(layout).arg(fileFormat)))
                << (int)layout << QByteArray(fileFormat);
}

// Whatever layout the reader delivers for a file, the features are those of
// the same picture in the 32-bit RGB layout.
void TestFrameLoading::everyLayoutGivesTheFeaturesOfRgb32()
{
    QFETCH(int, layout);
    QFETCH(QByteArray, fileFormat);
    QImage picture = blobPicture(96, 72).convertToFormat((QImage::Format)layout);
    if (layout == QImage::Format_Indexed8) {
        // A palette with a transparent entry as well.
        QVector<QRgb> colours = picture.colorTable();
        colours[0] = qRgba(qRed(colours[0]), qGreen(colours[0]), qBlue(colours[0]), 0);
        picture.setColorTable(colours);
    }
    if (!QImageWriter::supportedImageFormats().contains(fileFormat))
        QSKIP("no writer for this format");

    // The reference: the picture exactly as the reader delivers it.
    const QByteArray bytes = encoded(picture, fileFormat.constData());
    QBuffer buffer;
    buffer.setData(bytes);
    buffer.open(QIODevice::ReadOnly);
    const QImage delivered = QImageReader(&buffer).read();
    QVERIFY(!delivered.isNull());

    Loaded loaded = load(bytes);
    QVERIFY2(loaded.ok, qPrintable(loaded.error));
    QVERIFY2(loaded.damage.isEmpty(), qPrintable(loaded.damage));
    QVERIFY(loaded.frame.format() == QImage::Format_RGB32 || loaded.frame.format() == QImage::Format_Grayscale8);
    // Deeper files are stretched unless "none" is asked for, which reads
    // them as Qt's readers do.
    QBuffer file;
    file.setData(bytes);
    file.open(QIODevice::ReadOnly);
    LoadOptions none;
    none.stretch.mode = StretchMode::None;
    LoadedPicture asStored;
    QVERIFY(loadPicture(&file, none, &asStored, &loaded.error));
    if (asStored.bitsPerSample > 8)
        loaded.frame = asStored.frame;
    const QString expected = features(delivered.convertToFormat(QImage::Format_RGB32));
    QVERIFY(!expected.isEmpty());
    QCOMPARE(features(loaded.frame), expected);
}

void TestFrameLoading::orientationTagIsApplied()
{
    // 40 x 20, left half black, right half white.
    QImage picture(40, 20, QImage::Format_RGB32);
    picture.fill(Qt::white);
    for (int y = 0; y < 20; ++y)
        for (int x = 0; x < 20; ++x)
            picture.setPixel(x, y, qRgb(0, 0, 0));
    // Stored with the tag a camera writes when it was turned clockwise
    // (Orientation 6: rotate by 90 degrees clockwise to show): an EXIF APP1
    // segment right after the start of the image, a big-endian TIFF header
    // and one directory entry (tag 0x0112, SHORT, count 1, value 6).
    const QByteArray exif = QByteArray::fromHex("ffe10022" "457869660000" "4d4d002a00000008"
                                                "0001" "011200030000000100060000" "00000000");
    const QByteArray jpeg = encoded(picture, "jpg").insert(2, exif);

    const Loaded loaded = load(jpeg);
    QVERIFY2(loaded.ok, qPrintable(loaded.error));
    QCOMPARE(loaded.frame.size(), QSize(20, 40));
    // Upright: the stored left half is now on top.
    QVERIFY(qGray(loaded.frame.pixel(10, 5)) < 30);
    QVERIFY(qGray(loaded.frame.pixel(10, 35)) > 225);
}

void TestFrameLoading::brokenFilesAreRefusedOrDecoded_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<bool>("mustFail");
    const QByteArray png = encoded(blobPicture(96, 72), "png");
    const QByteArray jpeg = encoded(blobPicture(96, 72), "jpg");
    const int idat = png.indexOf("IDAT");

    QByteArray badCrc = png;
    badCrc[idat + 20] = (char)(badCrc[idat + 20] ^ 0x55);
    QByteArray badZlib = png;
    for (int i = idat + 8; i < idat + 40; ++i)
        badZlib[i] = (char)0xFF;
    const quint32 idatLength = ((quint8)png[idat - 4] << 24) | ((quint8)png[idat - 3] << 16)
                               | ((quint8)png[idat - 2] << 8) | (quint8)png[idat - 1];
    putBigEndian(badZlib, idat + 4 + idatLength, crc32(badZlib.mid(idat, 4 + idatLength)), 4);
    QByteArray gifWithoutFrames = QByteArray::fromHex("474946383961040004008000000000ffffff3b");

    QTest::newRow("empty") << QByteArray() << true;
    QTest::newRow("text") << QByteArray("just some words, not a picture\n") << true;
    QTest::newRow("png signature only") << png.left(8) << true;
    QTest::newRow("png header only") << png.left(33) << true;
    QTest::newRow("truncated png") << png.left(png.size() / 2) << false;
    QTest::newRow("png with bad crc") << badCrc << false;
    QTest::newRow("png with zlib error") << badZlib << false;
    QTest::newRow("jpeg header only") << jpeg.left(200) << false;
    QTest::newRow("truncated jpeg") << jpeg.left(jpeg.size() / 2) << false;
    QTest::newRow("gif without frames") << gifWithoutFrames << true;
    QTest::newRow("gif cut in its frame") << QByteArray::fromHex(kAnimatedGif).left(60) << false;
    QTest::newRow("tiff cut in its directory") << QByteArray::fromHex(kTwoPageTiff).left(300) << false;
    QTest::newRow("bmp with absurd offset") << [] {
        QByteArray bmp = encoded(QImage(4, 4, QImage::Format_RGB32), "bmp");
        putLittleEndian(bmp, 10, 0x7FFFFFF0u, 4);
        return bmp;
    }() << false;
    // These readers fill in what is missing.
    const QByteArray bmp = encoded(blobPicture(96, 72), "bmp");
    QTest::newRow("truncated bmp") << bmp.left(bmp.size() * 2 / 3) << false;
    const QByteArray xbm = encoded(blobPicture(96, 72).convertToFormat(QImage::Format_Mono), "xbm");
    QTest::newRow("truncated xbm") << xbm.left(xbm.size() * 2 / 3) << false;
    const QByteArray gif = QByteArray::fromHex(kAnimatedGif);
    QTest::newRow("gif cut in its second frame") << gif.left(gif.size() - 4) << false;
    QTest::newRow("gif magic only") << QByteArray("GIF89a") << true;
}

// Either Qt decodes what it can, we get a 32-bit frame and the damage is
// reported, or the file is refused with a reason; never a crash, a hang or
// a clean "success".
void TestFrameLoading::brokenFilesAreRefusedOrDecoded()
{
    QFETCH(QByteArray, bytes);
    QFETCH(bool, mustFail);
    const Loaded loaded = load(bytes);
    if (loaded.ok) {
        QVERIFY(!mustFail);
        QVERIFY2(!loaded.damage.isEmpty(), "a damaged file loaded as a clean one");
        QVERIFY(!loaded.frame.isNull());
        QVERIFY(loaded.frame.format() == QImage::Format_RGB32 || loaded.frame.format() == QImage::Format_Grayscale8);
        QCOMPARE(runDetectionJob(loaded.frame, 2.0f, 100.0f).status, 0);
    } else {
        QVERIFY(loaded.frame.isNull());
        QVERIFY2(loaded.error.contains("damaged") || loaded.error.contains("empty")
                     || QTest::currentDataTag() == QLatin1String("text"),
                 qPrintable(loaded.error));
    }
}

void TestFrameLoading::firstFrameOfMultiFrameFiles()
{
    const Loaded gif = load(QByteArray::fromHex(kAnimatedGif));
    QVERIFY2(gif.ok, qPrintable(gif.error));
    QVERIFY(gif.damage.isEmpty());
    QCOMPARE(gif.frame.size(), QSize(4, 4));
    QCOMPARE(gif.frame.pixel(1, 1), qRgb(255, 0, 0));

    if (!QImageReader::supportedImageFormats().contains("tiff"))
        QSKIP("no TIFF reader");
    const Loaded tiff = load(QByteArray::fromHex(kTwoPageTiff));
    QVERIFY2(tiff.ok, qPrintable(tiff.error));
    QVERIFY(tiff.damage.isEmpty());
    QCOMPARE(tiff.frame.size(), QSize(4, 4));
    QCOMPARE(tiff.frame.pixel(1, 1), qRgb(255, 0, 0));
}

void TestFrameLoading::fileErrorsNameTheProblem()
{
    QImage frame;
    QString error;
    QVERIFY(!loadFrame(QStringLiteral("/nonexistent/picture.png"), &frame, &error));
    QCOMPARE(error, QString("File not found"));
    QVERIFY(!loadFrame(dir.path(), &frame, &error));
    QCOMPARE(error, QString("it is a folder, not a picture"));
    QFile empty(dir.filePath("empty.png"));
    QVERIFY(empty.open(QIODevice::WriteOnly));
    empty.close();
    QVERIFY(!loadFrame(empty.fileName(), &frame, &error));
    QCOMPARE(error, QString("the file is empty"));
    QVERIFY(empty.setPermissions(QFileDevice::WriteOwner));
    QVERIFY(!loadFrame(empty.fileName(), &frame, &error));
    // Whoever may read anything (root) reads it as empty.
    if (!QFileInfo(empty.fileName()).isReadable())
        QCOMPARE(error, QString("permission denied"));
#ifdef Q_OS_UNIX
    // A named pipe nobody writes to: no waiting for a writer.
    const QString pipe = dir.filePath("pipe.png");
    QCOMPARE(::mkfifo(QFile::encodeName(pipe).constData(), 0600), 0);
    QVERIFY(!loadFrame(pipe, &frame, &error));
    QCOMPARE(error, QString("the file is empty"));
#endif
    QVERIFY(frame.isNull());
}

void TestFrameLoading::vectorDrawingsAreRefused_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QByteArray>("content");
    QVERIFY(dir.isValid());
    const QString picture = dir.filePath("picture.png");
    QImage image(8, 8, QImage::Format_RGB32);
    image.fill(Qt::white);
    QVERIFY(image.save(picture));

    // Drawing text without a GUI application dereferenced null in QtGui.
    QTest::newRow("text") << "text.svg" << kSvgWithText;
    QTest::newRow("text, named as a PNG") << "text.png" << kSvgWithText;
    // Refers to itself: the SVG reader recursed until the stack overflowed.
    QTest::newRow("self-reference") << "self.svg" << svgShowing(dir.filePath("self.svg"));
    // Padded past the few bytes Qt's content check looks at: refused by
    // its name.
    QTest::newRow("self-reference, content check missed")
        << "padded.svg" << QByteArray(20, ' ') + svgShowing(dir.filePath("padded.svg"));
    // Would show another file's pixels as its own.
    QTest::newRow("reference to a picture") << "other.svg" << svgShowing(picture);
}

// Refused by name, from a device where no name helps Qt pick a reader, and
// from an open file whose name must not get past the check either.
void TestFrameLoading::vectorDrawingsAreRefused()
{
    // Without the plug-in every drawing fails anyway and nothing is tested.
    QVERIFY2(QImageReader::supportedImageFormats().contains("svg"),
             "the Qt SVG image plug-in (Debian libqt5svg5) is not installed");
    QFETCH(QString, name);
    QFETCH(QByteArray, content);
    const QString path = dir.filePath(name);
    QVERIFY(writeFile(path, content));
    QFile file(path);

    QImage frame;
    QString error;
    QVERIFY(!loadFrame(path, &frame, &error));
    QVERIFY2(error.contains("SVG"), qPrintable(error));
    const Loaded fromDevice = load(content);
    QVERIFY(!fromDevice.ok && !fromDevice.error.isEmpty());
    QVERIFY(file.open(QIODevice::ReadOnly));
    error.clear();
    QVERIFY(!loadFrame(&file, &frame, &error));
    QVERIFY2(error.contains("SVG"), qPrintable(error));
    QVERIFY(frame.isNull());
}

void TestFrameLoading::picturesOfUnknownSizeAreRefused()
{
    QVERIFY2(QImageReader::supportedImageFormats().contains("mng"),
             "the Qt MNG image plug-in (Debian qt5-image-formats-plugins) is not installed");
    const Loaded loaded = load(kMngHeaderOnly);
    QVERIFY(!loaded.ok && loaded.frame.isNull());
    QVERIFY2(loaded.error.contains("size cannot be read"), qPrintable(loaded.error));
}

// A file's name picks its reader only where that reader confirms the
// content: a picture named as a drawing is a picture, and a TGA file, which
// has no signature at its start, is read as one when it is named so.
void TestFrameLoading::contentDecidesTheFormat()
{
    const QImage picture = blobPicture(40, 30);
    const QString drawingName = dir.filePath("really-a-png.svg");
    QVERIFY(picture.save(drawingName, "png"));
    QImage frame;
    QString error;
    QVERIFY2(loadFrame(drawingName, &frame, &error), qPrintable(error));
    QCOMPARE(frame, picture);

    // Uncompressed 24-bit TGA 2.0, top row first.
    QByteArray tga(18, '\0');
    tga[2] = 2;
    putLittleEndian(tga, 12, 40, 2);
    putLittleEndian(tga, 14, 30, 2);
    tga[16] = 24;
    tga[17] = 0x20;
    for (int y = 0; y < 30; ++y)
        for (int x = 0; x < 40; ++x) {
            const QRgb pixel = picture.pixel(x, y);
            tga += (char)qBlue(pixel);
            tga += (char)qGreen(pixel);
            tga += (char)qRed(pixel);
        }
    tga += QByteArray(8, '\0') + QByteArray("TRUEVISION-XFILE.", 18);
    const QString tgaName = dir.filePath("picture.tga");
    QVERIFY(writeFile(tgaName, tga));
    QVERIFY2(loadFrame(tgaName, &frame, &error), qPrintable(error));
    QCOMPARE(frame, picture);
}

// Files load on several threads at once: each load reports what its own
// decoder said, never another thread's complaint.
void TestFrameLoading::threadsKeepTheirOwnDecoderMessages()
{
    const QByteArray jpeg = encoded(blobPicture(96, 72), "jpg");
    const QByteArray cut = jpeg.left(jpeg.size() / 2);
    const int threads = 4, loads = 250;
    std::vector<QString> damages(threads * loads);
    std::vector<std::thread> loaders;
    for (int t = 0; t < threads; ++t)
        loaders.emplace_back([&, t] {
            for (int i = t; i < threads * loads; i += threads)
                damages[i] = load(i % 2 ? cut : jpeg).damage;
        });
    for (std::thread &loader : loaders)
        loader.join();
    for (int i = 0; i < threads * loads; ++i)
        QVERIFY2(damages[i].isEmpty() == (i % 2 == 0), qPrintable(QString("load %1: '%2'").arg(i).arg(damages[i])));
}

QTEST_GUILESS_MAIN(TestFrameLoading)
#include "tst_frameloading.moc"
