// Files that once crashed the frame loading or took all memory, found by
// fuzzing and kept here. Run without a GUI application, as the command-line
// tool runs.

#include "frameloading.h"

#include <QBuffer>
#include <QImageReader>
#include <QTemporaryDir>
#include <QtTest>

namespace {

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

bool writeFile(const QString &path, const QByteArray &bytes)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size();
}

} // namespace

class TestHostileFiles : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void vectorDrawingsAreRefused_data();
    void vectorDrawingsAreRefused();
    void picturesOfUnknownSizeAreRefused();

private:
    QTemporaryDir dir;
};

void TestHostileFiles::initTestCase()
{
    QVERIFY(dir.isValid());
    // Without the plug-in every drawing fails anyway and nothing is tested.
    QVERIFY2(QImageReader::supportedImageFormats().contains("svg"),
             "the Qt SVG image plug-in (Debian libqt5svg5) is not installed");
}

void TestHostileFiles::vectorDrawingsAreRefused_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QByteArray>("content");
    const QString self = dir.filePath("self.svg");
    const QString picture = dir.filePath("picture.png");
    QImage image(8, 8, QImage::Format_RGB32);
    image.fill(Qt::white);
    QVERIFY(image.save(picture));

    // Drawing text without a GUI application dereferenced null in QtGui.
    QTest::newRow("text") << "text.svg" << kSvgWithText;
    QTest::newRow("text, named as a PNG") << "text.png" << kSvgWithText;
    // Refers to itself: the SVG reader recursed until the stack overflowed.
    QTest::newRow("self-reference") << "self.svg" << svgShowing(self);
    // Padded past the few bytes Qt's content check looks at: refused by
    // its name.
    const QString padded = dir.filePath("padded.svg");
    QTest::newRow("self-reference, content check missed")
        << "padded.svg" << QByteArray(20, ' ') + svgShowing(padded);
    // Would show another file's pixels as its own.
    QTest::newRow("reference to a picture") << "other.svg" << svgShowing(picture);
}

void TestHostileFiles::vectorDrawingsAreRefused()
{
    QFETCH(QString, name);
    QFETCH(QByteArray, content);
    const QString path = dir.filePath(name);
    QVERIFY(writeFile(path, content));

    QImage frame;
    QString error;
    QVERIFY(!loadFrame(path, &frame, &error));
    QVERIFY2(error.contains("SVG"), qPrintable(error));
    QVERIFY(frame.isNull());

    // From a device no name helps Qt pick a reader; refused all the same.
    QBuffer device(&content);
    QVERIFY(device.open(QIODevice::ReadOnly));
    error.clear();
    QVERIFY(!loadFrame(&device, &frame, &error));
    QVERIFY(!error.isEmpty());
    QVERIFY(frame.isNull());

    // Nor does the name of an open file get past the check.
    QFile file(path);
    QVERIFY(file.open(QIODevice::ReadOnly));
    error.clear();
    QVERIFY(!loadFrame(&file, &frame, &error));
    QVERIFY2(error.contains("SVG"), qPrintable(error));
    QVERIFY(frame.isNull());
}

void TestHostileFiles::picturesOfUnknownSizeAreRefused()
{
    QVERIFY2(QImageReader::supportedImageFormats().contains("mng"),
             "the Qt MNG image plug-in (Debian qt5-image-formats-plugins) is not installed");
    QByteArray content = kMngHeaderOnly;
    QBuffer device(&content);
    QVERIFY(device.open(QIODevice::ReadOnly));
    QImage frame;
    QString error;
    QVERIFY(!loadFrame(&device, &frame, &error));
    QVERIFY2(error.contains("size cannot be read"), qPrintable(error));
    QVERIFY(frame.isNull());
}

QTEST_GUILESS_MAIN(TestHostileFiles)
#include "tst_hostilefiles.moc"
