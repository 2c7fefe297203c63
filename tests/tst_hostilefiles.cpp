// Files that once crashed the frame loading, found by fuzzing and kept here.
// Run without a GUI application, as the command-line tool runs.

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

QTEST_GUILESS_MAIN(TestHostileFiles)
#include "tst_hostilefiles.moc"
