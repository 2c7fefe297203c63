// The command-line tool end to end: real files written here, the real
// executable run in a child process.

#include "detectionjob.h"
#include "frameloading.h"
#include "testimages.h"

#include <QtTest>

namespace {

struct Outcome {
    int exitCode = -1;
    QString out;
    QString err;
};

Outcome runCli(const QStringList &arguments)
{
    QProcess process;
    process.start(QStringLiteral(HESSIAN_CLI_PATH), arguments);
    Outcome outcome;
    if (!process.waitForFinished(60000) || process.exitStatus() != QProcess::NormalExit) {
        process.kill();
        return outcome;
    }
    outcome.exitCode = process.exitCode();
    outcome.out = QString::fromUtf8(process.readAllStandardOutput());
    outcome.err = QString::fromUtf8(process.readAllStandardError());
    return outcome;
}

// The CSV the tool must print for a file: what the job gives on the frame
// loaded the same way.
QString expectedCsv(const QString &path, float sigma, float threshold)
{
    QImage frame;
    QString error;
    if (!loadFrame(path, &frame, &error))
        return QString("unreadable: %1").arg(error);
    QString csv("x,y\n");
    for (const Feature &f : runDetectionJob(frame, sigma, threshold).features)
        csv += QString("%1,%2\n").arg((int)f.x).arg((int)f.y);
    return csv;
}

const QRegularExpression kSuccessLine(
    "^Success\\. Feature count: \\d+\\. Time per frame: +\\d+\\.\\d\\d msec\\. Frames per second: +(\\d+\\.\\d{4}|inf)\\n$");

} // namespace

class TestCli : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void featuresMatchTheJob_data();
    void featuresMatchTheJob();
    void optionsAndDefaults();
    void badInput_data();
    void badInput();
    void helpAndFailedRun();
    void damagedFilesAndDecoderMessages_data();
    void damagedFilesAndDecoderMessages();

private:
    QTemporaryDir dir;
    QString pngPath;
};

void TestCli::initTestCase()
{
    QVERIFY(dir.isValid());
    pngPath = dir.filePath("blobs.png");
    QVERIFY(blobPicture(160, 120).save(pngPath));
    QFile text(dir.filePath("notes.png"));
    QVERIFY(text.open(QIODevice::WriteOnly) && text.write("this is not a picture\n") > 0);
}

// The formats themselves are the loader's tests; here the tool must print
// what the job finds, whatever the file's suffix says.
void TestCli::featuresMatchTheJob_data()
{
    QTest::addColumn<QString>("fileName");
    QTest::addColumn<QString>("format");
    QTest::addColumn<int>("layout");
    QTest::newRow("png") << "a.png" << "png" << (int)QImage::Format_RGB32;
    QTest::newRow("jpeg") << "a.jpg" << "jpg" << (int)QImage::Format_RGB32;
    QTest::newRow("indexed png") << "i.png" << "png" << (int)QImage::Format_Indexed8;
    QTest::newRow("misleading suffix") << "really-png.jpg" << "png" << (int)QImage::Format_RGB32;
}

void TestCli::featuresMatchTheJob()
{
    QFETCH(QString, fileName);
    QFETCH(QString, format);
    QFETCH(int, layout);
    const QString path = dir.filePath(fileName);
    QVERIFY(blobPicture(160, 120).convertToFormat((QImage::Format)layout).save(path, format.toLatin1()));

    const Outcome outcome = runCli({"--sigma", "2", "--threshold", "20", path});
    QCOMPARE(outcome.exitCode, 0);
    const QString expected = expectedCsv(path, 2.0f, 20.0f);
    QVERIFY(expected.count('\n') > 2);
    QCOMPARE(outcome.out, expected);
    QVERIFY2(kSuccessLine.match(outcome.err).hasMatch(), qPrintable(outcome.err));
    QVERIFY(outcome.err.startsWith(QString("Success. Feature count: %1.").arg(expected.count('\n') - 1)));
}

void TestCli::optionsAndDefaults()
{
    // Defaults: sigma 5, threshold 100.
    Outcome outcome = runCli({pngPath});
    QCOMPARE(outcome.exitCode, 0);
    QCOMPARE(outcome.out, expectedCsv(pngPath, 5.0f, 100.0f));

    // The "=" form, values outside the window's ranges and a negative
    // threshold are all accepted.
    outcome = runCli({"--sigma=1.5", "--threshold=-40", pngPath});
    QCOMPARE(outcome.exitCode, 0);
    QCOMPARE(outcome.out, expectedCsv(pngPath, 1.5f, -40.0f));
    outcome = runCli({"--threshold", "-40", "--sigma", "40", pngPath});
    QCOMPARE(outcome.exitCode, 0);
    QCOMPARE(outcome.out, expectedCsv(pngPath, 40.0f, -40.0f));

    // Repeated runs report one list and one (median) time.
    outcome = runCli({"--repeat", "4", "--sigma", "2", pngPath});
    QCOMPARE(outcome.exitCode, 0);
    QCOMPARE(outcome.out, expectedCsv(pngPath, 2.0f, 100.0f));
    QVERIFY2(kSuccessLine.match(outcome.err).hasMatch(), qPrintable(outcome.err));

    // "--" ends the options: a file name may start with a dash.
    QVERIFY(QFile::copy(pngPath, dir.filePath("-dash.png")));
    QProcess process;
    process.setWorkingDirectory(dir.path());
    process.start(QStringLiteral(HESSIAN_CLI_PATH), {"--", "-dash.png"});
    QVERIFY(process.waitForFinished(60000));
    QCOMPARE(process.exitCode(), 0);
}

void TestCli::badInput_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QString>("message");
    const QString missing = "/nonexistent/dir/none.png";
    QTest::newRow("no image") << QStringList{} << 2 << "no image given";
    QTest::newRow("two images") << QStringList{"a.png", "b.png"} << 2 << "more than one image";
    QTest::newRow("unknown option") << QStringList{"--sigmaa", "3", "x.png"} << 2 << "unknown option '--sigmaa'";
    QTest::newRow("missing value") << QStringList{"x.png", "--sigma"} << 2 << "--sigma needs a value";
    QTest::newRow("empty value") << QStringList{"--sigma=", "x.png"} << 2 << "invalid value '' for --sigma";
    QTest::newRow("unparsable sigma") << QStringList{"--sigma", "five", "x.png"} << 2 << "invalid value 'five' for --sigma";
    QTest::newRow("trailing junk") << QStringList{"--sigma", "5px", "x.png"} << 2 << "invalid value '5px'";
    QTest::newRow("zero sigma") << QStringList{"--sigma", "0", "x.png"} << 2 << "positive finite number";
    QTest::newRow("negative sigma") << QStringList{"--sigma", "-2", "x.png"} << 2 << "positive finite number";
    QTest::newRow("nan sigma") << QStringList{"--sigma", "nan", "x.png"} << 2 << "positive finite number";
    QTest::newRow("infinite sigma") << QStringList{"--sigma", "inf", "x.png"} << 2 << "positive finite number";
    QTest::newRow("sigma beyond float") << QStringList{"--sigma", "1e300", "x.png"} << 2 << "positive finite number";
    QTest::newRow("unparsable threshold") << QStringList{"--threshold", "lots", "x.png"} << 2 << "for --threshold";
    QTest::newRow("nan threshold") << QStringList{"--threshold", "nan", "x.png"} << 2 << "finite number";
    QTest::newRow("zero repeat") << QStringList{"--repeat", "0", "x.png"} << 2 << "for --repeat";
    QTest::newRow("fractional repeat") << QStringList{"--repeat", "2.5", "x.png"} << 2 << "for --repeat";
    QTest::newRow("missing file") << QStringList{missing} << 1 << "cannot read image '" + missing + "'";
    QTest::newRow("directory") << QStringList{"/"} << 1 << "cannot read image '/'";
    const QString text = dir.filePath("notes.png");
    QTest::newRow("text named as a picture") << QStringList{text} << 1 << "cannot read image '" + text + "'";
}

void TestCli::badInput()
{
    QFETCH(QStringList, arguments);
    QFETCH(int, exitCode);
    QFETCH(QString, message);
    const Outcome outcome = runCli(arguments);
    QCOMPARE(outcome.exitCode, exitCode);
    QVERIFY2(outcome.err.contains(message), qPrintable(outcome.err));
    QVERIFY(outcome.err.startsWith("hessian-maxima-cli: "));
    QCOMPARE(outcome.err.count('\n'), 1);  // one line
    QVERIFY(outcome.out.isEmpty());
}

void TestCli::helpAndFailedRun()
{
    Outcome outcome = runCli({"--help"});
    QCOMPARE(outcome.exitCode, 0);
    QVERIFY(outcome.out.startsWith("Usage: hessian-maxima-cli [--sigma S] [--threshold T] [--repeat N] IMAGE"));

    // A sigma so small that its kernels cannot be built: the run fails and
    // says so the way the window does.
    outcome = runCli({"--sigma", "0.01", pngPath});
    QCOMPARE(outcome.exitCode, 1);
    QCOMPARE(outcome.err, QString("hessian-maxima-cli: the kernels for sigma 0.01 cannot be built (sigma too small)\n"
                                  "Failed\n"));
    QVERIFY(outcome.out.isEmpty());

    // Help that cannot be written is a failure like any other write.
    QProcess process;
    process.setStandardOutputFile(QStringLiteral("/dev/full"));
    process.start(QStringLiteral(HESSIAN_CLI_PATH), {"--help"});
    QVERIFY(process.waitForFinished(60000));
    QCOMPARE(process.exitCode(), 1);
    QCOMPARE(QString::fromUtf8(process.readAllStandardError()),
             QString("hessian-maxima-cli: cannot write to standard output\n"));

    // A sigma whose kernel radius does not fit is refused by set-up.
    outcome = runCli({"--sigma", "1e30", pngPath});
    QCOMPARE(outcome.exitCode, 1);
    QCOMPARE(outcome.err, QString("hessian-maxima-cli: sigma 1e+30 is too large for the detector\nFailed\n"));
}

void TestCli::damagedFilesAndDecoderMessages_data()
{
    QTest::addColumn<QString>("fileName");
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QString>("firstLine");  // a pattern; the report line follows on success
    const QImage picture = blobPicture(160, 120);
    const QByteArray png = encoded(picture, "png");
    const QByteArray jpeg = encoded(picture, "jpg");
    const QByteArray bmp = encoded(picture, "bmp");
    const QByteArray tiff = encoded(picture, "tiff");
    // Qt's TGA reader, picked by the name, warned before the PNG reader
    // read it.
    QTest::newRow("png named .tga") << "png.tga" << png << 0 << QString();
    // libjpeg's complaint came through Qt's message handler, libpng's and
    // libtiff's straight from the libraries.
    QTest::newRow("truncated jpeg") << "cut.jpg" << jpeg.left(jpeg.size() * 2 / 3) << 3
                                    << "^hessian-maxima-cli: warning: '.*cut\\.jpg' is damaged \\((Corrupt JPEG "
                                       "data|Premature end of JPEG file).*\\); the part that could be read was processed$";
    QTest::newRow("truncated bmp") << "cut.bmp" << bmp.left(bmp.size() * 2 / 3) << 3
                                   << "^hessian-maxima-cli: warning: '.*cut\\.bmp' is damaged \\(cut short\\); ";
    QTest::newRow("truncated png") << "cut.png" << png.left(png.size() * 2 / 3) << 1
                                   << "^hessian-maxima-cli: cannot read image '.*cut\\.png': the file is damaged "
                                      "\\(cut short\\)$";
    QTest::newRow("tiff without its directory") << "cut.tif" << tiff.left(tiff.size() - 20) << 1
                                                << "^hessian-maxima-cli: cannot read image '.*cut\\.tif': ";
}

// Whatever the decoders say ends up in the tool's own lines: a refusal is
// one line, a damaged file one warning before the report, exit status 3.
void TestCli::damagedFilesAndDecoderMessages()
{
    QFETCH(QString, fileName);
    QFETCH(QByteArray, bytes);
    QFETCH(int, exitCode);
    QFETCH(QString, firstLine);
    const QString path = dir.filePath(fileName);
    QVERIFY(writeFile(path, bytes));

    const Outcome outcome = runCli({path});
    QCOMPARE(outcome.exitCode, exitCode);
    QStringList lines = outcome.err.split('\n');
    QCOMPARE(lines.takeLast(), QString());
    if (!firstLine.isEmpty())
        QVERIFY2(QRegularExpression(firstLine).match(lines.takeFirst()).hasMatch(), qPrintable(outcome.err));
    if (exitCode == 1) {
        QVERIFY2(lines.isEmpty(), qPrintable(outcome.err));
    } else {
        QCOMPARE(lines.size(), 1);
        QVERIFY2(kSuccessLine.match(lines.first() + '\n').hasMatch(), qPrintable(outcome.err));
        QCOMPARE(outcome.out, expectedCsv(path, 5.0f, 100.0f));
    }
}

QTEST_GUILESS_MAIN(TestCli)
#include "tst_cli.moc"
