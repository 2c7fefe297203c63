// The command-line tool end to end: real files written here, the real
// executable run in a child process.

#include "batchrun.h"
#include "clirunner.h"
#include "detectionjob.h"
#include "frameloading.h"
#include "testimages.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QtTest>

#include <condition_variable>
#include <mutex>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

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
    void detailsMatchTheOracle();
    void batchKeepsOrderPastBrokenFiles();
    void batchDeliversInInputOrder();
    void interruptedOutputLeavesNoFile();
    void failedWritesAndSpecialOutputs();
    void annotatedPictures();
    void scaleRange();
    void damagedFilesAndDecoderMessages_data();
    void damagedFilesAndDecoderMessages();
    void stretchAndStream();
    void shortOptionsQuietAndFileColumn();
    void summaryHasARowPerPicture();
    void emptyFolderAndTooWideKernel();
    void annotatingKeepsLibpngOffStandardError();

private:
    QTemporaryDir dir;
    QString pngPath;
};

void TestCli::initTestCase()
{
    QVERIFY(dir.isValid());
    pngPath = dir.filePath("blobs.png");
    QVERIFY(blobPicture(160, 120).save(pngPath));
    QVERIFY(spotFrame().save(dir.filePath("spots.pgm"), "pgm"));
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
    QTest::newRow("stdin twice") << QStringList{"-", "-"} << 2 << "standard input ('-') given more than once";
    QTest::newRow("flag with a value") << QStringList{"--details=yes", "x.png"} << 2 << "--details takes no value";
    QTest::newRow("unknown polarity") << QStringList{"--polarity", "grey", "x.png"} << 2 << "both, bright or dark";
    QTest::newRow("unknown format") << QStringList{"--format", "xml", "x.png"} << 2 << "csv or json";
    QTest::newRow("zero jobs") << QStringList{"--jobs", "0", "x.png"} << 2 << "for --jobs";
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
    QTest::newRow("range upside down") << QStringList{"--sigma", "5:2", "--scales", "3", "x.png"} << 2 << "MIN below MAX";
    QTest::newRow("range of one scale") << QStringList{"--sigma", "2:5", "--scales", "1", "x.png"} << 2 << "from 2 to 1000";
    QTest::newRow("scales without range") << QStringList{"--scales", "4", "x.png"} << 2 << "--scales applies only";
    QTest::newRow("overlap without range") << QStringList{"--overlap", "0.3", "x.png"} << 2 << "--overlap applies only";
    QTest::newRow("overlap above 1") << QStringList{"--sigma", "2:5", "--scales", "3", "--overlap", "1.5", "x.png"} << 2 << "from 0 to 1";
    QTest::newRow("scales not distinct") << QStringList{"--sigma", "1:1.0000001", "--scales", "30", "x.png"} << 2 << "not distinct";
    QTest::newRow("unknown stretch") << QStringList{"--stretch", "gamma", "x.png"} << 2 << "for --stretch";
    QTest::newRow("percentiles upside down") << QStringList{"--stretch", "percentile:90:10", "x.png"} << 2 << "LOW < HIGH";
    QTest::newRow("stream a range") << QStringList{"--stream", "--sigma", "2:5", "x.png"} << 2 << "--stream runs a single sigma";
    QTest::newRow("unknown border") << QStringList{"--border", "wrap", "x.png"} << 2 << "for --border";
    QTest::newRow("missing file") << QStringList{missing} << 1 << "cannot read image '" + missing + "'";
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
    QVERIFY(outcome.out.startsWith("Usage: hessian-maxima-cli [--sigma S] [--threshold T] [--polarity both|bright|dark]"));
    outcome = runCli({"--version", pngPath});
    QCOMPARE(outcome.exitCode, 0);
    QVERIFY2(QRegularExpression("^hessian-maxima-cli \\d+\\.\\d+\n$").match(outcome.out).hasMatch(), qPrintable(outcome.out));

    // A sigma so small that its kernels cannot be built: the run fails and
    // says so the way the window does.
    outcome = runCli({"--sigma", "0.01", pngPath});
    QCOMPARE(outcome.exitCode, 1);
    QCOMPARE(outcome.err, QString("hessian-maxima-cli: the kernels for sigma 0.01 cannot be built (sigma too small)\n"
                                  "Failed\n"));
    QVERIFY(outcome.out.isEmpty());

    // A sigma whose kernel radius does not fit is refused by set-up.
    outcome = runCli({"--sigma", "1e30", pngPath});
    QCOMPARE(outcome.exitCode, 1);
    QCOMPARE(outcome.err, QString("hessian-maxima-cli: sigma 1e+30 is too large for the detector\nFailed\n"));
}

// Expected values from the independent numpy oracle:
//   tools/oracle/spot_frame.py /tmp/spots.pgm
//   tools/oracle/dethessian_oracle.py --details --sigma 2 --threshold 10 /tmp/spots.pgm
void TestCli::detailsMatchTheOracle()
{
    const QString path = dir.filePath("spots.pgm");
    const QString bright1 = "20,15,20.251,14.718,2,856.454285,bright\n";
    const QString dark = "42,22,42.027,22.021,2,388.825806,dark\n";
    const QString bright2 = "51,35,50.915,35.167,2,116.517082,bright\n"
                            "32,37,31.990,36.981,2,1067.5343,bright\n";
    const QString header = "x,y,x_subpixel,y_subpixel,sigma,response,polarity\n";
    const QStringList run{"--details", "--sigma", "2", "--threshold", "10", path};

    Outcome outcome = runCli(run);
    QCOMPARE(outcome.exitCode, 0);
    QCOMPARE(outcome.out, header + bright1 + dark + bright2);
    outcome = runCli(QStringList{"--polarity", "dark"} + run);
    QCOMPARE(outcome.out, header + dark);
    outcome = runCli(QStringList{"--polarity=bright"} + run);
    QCOMPARE(outcome.out, header + bright1 + bright2);
}

// Several files, one of them broken, two at a time: every readable picture
// has its rows, in input order; the broken one gets one line and exit 1.
void TestCli::batchKeepsOrderPastBrokenFiles()
{
    const QString folder = dir.filePath("batch");
    QVERIFY(QDir().mkpath(folder + "/sub"));
    const QStringList files{folder + "/c.png", dir.filePath("notes.png"), folder + "/a.jpg"};
    QVERIFY(blobPicture(100, 90).save(files[0]));
    QVERIFY(blobPicture(130, 70).save(files[2]));
    QVERIFY(QFile::copy(pngPath, folder + "/sub/b.png"));
    QFile text(folder + "/readme.txt");
    QVERIFY(text.open(QIODevice::WriteOnly) && text.write("not a picture") > 0);
    text.close();

    Outcome outcome = runCli(QStringList{"--jobs", "2", "--sigma", "2", "--threshold", "20"} + files);
    QCOMPARE(outcome.exitCode, 1);
    QString expected = "file,x,y\n";
    for (const QString &file : {files[0], files[2]})
        for (const QString &row : expectedCsv(file, 2.0f, 20.0f).split('\n', Qt::SkipEmptyParts).mid(1))
            expected += file + ',' + row + '\n';
    QCOMPARE(outcome.out, expected);
    const QStringList lines = outcome.err.split('\n', Qt::SkipEmptyParts);
    QCOMPARE(lines.size(), 2);
    QVERIFY2(lines[0].startsWith("hessian-maxima-cli: cannot read image '" + files[1] + "'"), qPrintable(lines[0]));
    QVERIFY2(lines[1].startsWith("3 pictures, 2 read, 1 failed, "), qPrintable(lines[1]));

    // A folder is its pictures by content, sorted, subfolders with
    // --recursive; JSON says what happened to each.
    outcome = runCli({"--format", "json", "--recursive", "--jobs", "3", folder});
    QCOMPARE(outcome.exitCode, 0);
    const QJsonArray pictures = QJsonDocument::fromJson(outcome.out.toUtf8()).array();
    QStringList found;
    for (const QJsonValue &picture : pictures)
        found << picture.toObject().value("file").toString();
    QCOMPARE(found, (QStringList{folder + "/a.jpg", folder + "/c.png", folder + "/sub/b.png"}));
    const QJsonObject first = pictures[0].toObject();
    QCOMPARE(first.value("width").toInt(), 130);
    QCOMPARE(first.value("status").toInt(), 0);
    QCOMPARE(first.value("features").toArray().size(), expectedCsv(files[2], 5.0f, 100.0f).count('\n') - 1);

    QVERIFY(QDir().mkpath(folder + "/empty"));
    outcome = runCli({folder + "/empty"});
    QCOMPARE(outcome.exitCode, 1);
    QVERIFY(outcome.err.startsWith("hessian-maxima-cli: no pictures in '" + folder + "/empty'"));

    outcome = runCli({"--format", "json", dir.filePath("notes.png")});
    QCOMPARE(outcome.exitCode, 1);
    const QJsonObject broken = QJsonDocument::fromJson(outcome.out.toUtf8()).array()[0].toObject();
    QCOMPARE(broken.value("status").toInt(), 1);
    QVERIFY(!broken.value("error").toString().isEmpty());
}

// Pictures finishing in reverse order (each waits for the one after it)
// are still delivered first to last.
void TestCli::batchDeliversInInputOrder()
{
    const int count = 6;
    QVector<InputPicture> inputs(count);
    for (int i = 0; i < count; ++i)
        inputs[i].path = QString::number(i);
    std::mutex mutex;
    std::condition_variable changed;
    QStringList finished, delivered;
    const auto process = [&](const InputPicture &input, const BatchSettings &, DetectionWorkspace *) {
        const QString after = QString::number(input.path.toInt() + 1);
        std::unique_lock<std::mutex> lock(mutex);
        changed.wait_for(lock, std::chrono::seconds(30),
                         [&] { return after == QString::number(count) || finished.contains(after); });
        finished << input.path;
        changed.notify_all();
        PictureResult picture;
        picture.file = input.path;
        return picture;
    };
    BatchSettings settings;
    settings.jobs = count;
    const auto deliver = [&](const PictureResult &picture) {
        delivered << picture.file;
        return true;
    };
    QCOMPARE(runBatch(inputs, settings, deliver, nullptr, process), count);
    QCOMPARE(finished, (QStringList{"5", "4", "3", "2", "1", "0"}));
    QCOMPARE(delivered, (QStringList{"0", "1", "2", "3", "4", "5"}));
}

// Stopped midway, --output leaves the file it would replace as it was.
void TestCli::interruptedOutputLeavesNoFile()
{
    const QString target = dir.filePath("out.csv");
    QFile old(target);
    QVERIFY(old.open(QIODevice::WriteOnly) && old.write("old\n") == 4);
    old.close();
    // Annotated pictures appear one by one while the run goes on: many
    // pictures (links to one), a few runs each, so that the first appears
    // soon even in a sanitized build and the last long after.
    const QString folder = dir.filePath("slow");
    QVERIFY(QDir().mkpath(folder));
    const QString picture = folder + "/picture.data";
    QVERIFY(blobPicture(640, 480).save(picture, "png"));
    for (int i = 0; i < 80; ++i)
        QVERIFY(QFile::link(picture, QString("%1/%2.png").arg(folder).arg(i, 2, 10, QLatin1Char('0'))));
    QProcess process;
    process.start(QStringLiteral(HESSIAN_CLI_PATH), {"--output", target, "--annotate", folder + "/shown", "--repeat",
                                                     "4", "--sigma", "30", "--jobs", "1", folder});
    QVERIFY(process.waitForStarted());
    QVERIFY(QTest::qWaitFor([&] { return QFile::exists(folder + "/shown/00.png"); }, 60000));
    process.terminate();
    QVERIFY(process.waitForFinished(60000));
    QCOMPARE(process.exitCode(), 130);
    QVERIFY(old.open(QIODevice::ReadOnly));
    QCOMPARE(old.readAll(), QByteArray("old\n"));
    QCOMPARE(QDir(dir.path()).entryList({"out.csv*"}, QDir::Files | QDir::Hidden), QStringList{"out.csv"});
    QVERIFY(!QFile::exists(folder + "/shown/79.png"));
}

// A write that fails is a failure, whenever it shows: the help, CSV or JSON
// of one picture or of a batch into a full device. --output replaces a file
// once whole, but writes into a named pipe or a device as ">" does, leaving
// it what it was.
void TestCli::failedWritesAndSpecialOutputs()
{
    const QString full = QStringLiteral("/dev/full");
    const QStringList runs[] = {{"--help"}, {pngPath}, {"--format", "json", pngPath}, {pngPath, pngPath},
                                {"--format", "json", pngPath, pngPath}};
    for (const QStringList &arguments : runs) {
        QProcess process;
        process.setStandardOutputFile(full);
        process.start(QStringLiteral(HESSIAN_CLI_PATH), arguments);
        QVERIFY(process.waitForFinished(60000));
        const QString err = QString::fromUtf8(process.readAllStandardError());
        QVERIFY2(process.exitCode() == 1 && err.startsWith("hessian-maxima-cli: cannot write to standard output")
                     && err.count('\n') == 1,
                 qPrintable(arguments.join(' ') + ": " + err));
    }

    const QString expected = expectedCsv(pngPath, 5.0f, 100.0f);
    const QString pipe = dir.filePath("output-pipe");
    QCOMPARE(::mkfifo(QFile::encodeName(pipe).constData(), 0600), 0);
    // Opened for reading first, without waiting, so that the tool's open
    // for writing finds a reader; the output fits the pipe's buffer.
    const int reader = ::open(QFile::encodeName(pipe).constData(), O_RDONLY | O_NONBLOCK);
    QVERIFY(reader >= 0);
    QCOMPARE(runCli({"--output", pipe, pngPath}).exitCode, 0);
    QByteArray piped(1 << 16, '\0');
    const ssize_t got = ::read(reader, piped.data(), (size_t)piped.size());
    ::close(reader);
    QCOMPARE(QString::fromUtf8(piped.left((int)std::max<ssize_t>(got, 0))), expected);
    struct stat info;
    QVERIFY(::stat(QFile::encodeName(pipe).constData(), &info) == 0 && S_ISFIFO(info.st_mode));

    // A node of /dev/null's kind, made here.
    struct stat null;
    QCOMPARE(::stat("/dev/null", &null), 0);
    const QString device = dir.filePath("null-device");
    if (::geteuid() != 0 || ::mknod(QFile::encodeName(device).constData(), S_IFCHR | 0600, null.st_rdev) != 0)
        QSKIP("making a device node needs root");
    QFile node(device);
    if (!node.open(QIODevice::WriteOnly))
        QSKIP("device nodes cannot be opened in the test's folder");
    node.close();
    QCOMPARE(runCli({"--output", device, pngPath}).exitCode, 0);
    QVERIFY(::stat(QFile::encodeName(device).constData(), &info) == 0 && S_ISCHR(info.st_mode));
    QCOMPARE(info.st_rdev, null.st_rdev);
}

void TestCli::annotatedPictures()
{
    const QString folder = dir.filePath("annotated");
    QCOMPARE(runCli({"--annotate", folder, "--sigma", "2", "--threshold", "10", dir.filePath("spots.pgm")}).exitCode, 0);
    const QImage picture(folder + "/spots.png");
    QCOMPARE(picture.size(), QSize(64, 48));
    // The circle of radius 6 around the first feature's pixel centre (20.5, 15.5).
    QCOMPARE(picture.pixel(26, 15), qRgb(250, 10, 10));
    QCOMPARE(picture.pixel(20, 9), qRgb(250, 10, 10));
    QCOMPARE(qRed(picture.pixel(20, 15)), qGreen(picture.pixel(20, 15)));

    const Outcome again = runCli({"--annotate", folder, dir.filePath("spots.pgm")});
    QCOMPARE(again.exitCode, 2);
    QVERIFY2(again.err.contains("spots.png' exists; --force replaces it"), qPrintable(again.err));
    QCOMPARE(runCli({"--annotate", folder, "--force", dir.filePath("spots.pgm")}).exitCode, 0);

    // Pictures of the same name in two subfolders keep their subfolders.
    const QString tree = dir.filePath("tree");
    QVERIFY(QDir().mkpath(tree + "/a") && QDir().mkpath(tree + "/b"));
    QVERIFY(blobPicture(70, 50).save(tree + "/a/x.png") && blobPicture(60, 40).save(tree + "/b/x.jpg"));
    QCOMPARE(runCli({"--annotate", folder, "--recursive", tree}).exitCode, 0);
    QCOMPARE(QImage(folder + "/a/x.png").size(), QSize(70, 50));
    QCOMPARE(QImage(folder + "/b/x.png").size(), QSize(60, 40));
}

// A range run prints what the job finds with the same settings, each
// feature with its own scale. JSON says which run it was and holds, field
// by field, the numbers that CSV's --details prints for the same run.
void TestCli::scaleRange()
{
    const QStringList run{"--sigma", "1.5:6", "--scales", "5", "--overlap", "0.25", "--threshold", "20", pngPath};
    const Outcome json = runCli(QStringList{"--format", "json"} + run);
    const Outcome csv = runCli(QStringList{"--details"} + run);
    QCOMPARE(json.exitCode, 0);
    QCOMPARE(csv.exitCode, 0);
    const QJsonObject picture = QJsonDocument::fromJson(json.out.toUtf8()).array().at(0).toObject();
    const QStringList fields{"elapsed_msec", "features", "file", "height", "overlap", "scales", "sigma",
                             "sigma_max", "status", "threshold", "width"};
    QCOMPARE(picture.keys(), fields);
    QCOMPARE(picture.value("file").toString(), pngPath);
    QCOMPARE(picture.value("width").toInt(), 160);
    QCOMPARE(picture.value("height").toInt(), 120);
    QCOMPARE(picture.value("sigma").toDouble(), 1.5);
    QCOMPARE(picture.value("sigma_max").toDouble(), 6.0);
    QCOMPARE(picture.value("scales").toInt(), 5);
    QCOMPARE(picture.value("overlap").toDouble(), 0.25);
    QCOMPARE(picture.value("threshold").toDouble(), 20.0);
    QCOMPARE(picture.value("status").toInt(), 0);
    QVERIFY(picture.value("elapsed_msec").toDouble(-1.0) >= 0.0);

    QImage frame;
    QString error;
    QVERIFY(loadFrame(pngPath, &frame, &error));
    DetectionSettings settings;
    settings.sigma = 1.5f;
    settings.sigmaMax = 6.0f;
    settings.scales = 5;
    settings.overlap = 0.25f;
    settings.threshold = 20.0f;
    const DetectionResult expected = runDetection(frame, settings);
    const QJsonArray features = picture.value("features").toArray();
    QStringList rows = csv.out.split('\n', Qt::SkipEmptyParts);
    QCOMPARE(rows.takeFirst(), QString("x,y,x_subpixel,y_subpixel,sigma,response,polarity"));
    QVERIFY(features.size() > 3);
    QCOMPARE(features.size(), expected.features.size());
    QCOMPARE(rows.size(), features.size());
    QSet<double> sigmas;
    for (int i = 0; i < features.size(); ++i) {
        const QJsonObject f = features.at(i).toObject();
        const QStringList row = rows[i].split(',');
        QCOMPARE(f.keys(), (QStringList{"polarity", "response", "sigma", "x", "x_subpixel", "y", "y_subpixel"}));
        QCOMPARE(row[0].toInt(), (int)expected.features[i].x);
        QCOMPARE(row[1].toInt(), (int)expected.features[i].y);
        QCOMPARE(row[4].toFloat(), expected.measures[i].sigma);
        const QString text = QString("%1,%2,%3,%4,%5,%6,%7")
                                 .arg(f.value("x").toInt()).arg(f.value("y").toInt())
                                 .arg(f.value("x_subpixel").toDouble(), 0, 'f', 3)
                                 .arg(f.value("y_subpixel").toDouble(), 0, 'f', 3)
                                 .arg(f.value("sigma").toDouble(), 0, 'g', 9)
                                 .arg(f.value("response").toDouble(), 0, 'g', 9)
                                 .arg(f.value("polarity").toString());
        QCOMPARE(text, rows[i]);
        sigmas << f.value("sigma").toDouble();
    }
    QVERIFY(sigmas.size() > 1);

    // A range's own defaults.
    const QJsonObject defaults = QJsonDocument::fromJson(
        runCli({"--sigma", "1.5:6", "--format", "json", pngPath}).out.toUtf8()).array().at(0).toObject();
    QCOMPARE(defaults.value("threshold").toDouble(), 100.0);
    QCOMPARE(defaults.value("scales").toInt(), 10);
    QCOMPARE((float)defaults.value("overlap").toDouble(), 0.1f);
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

// Short options are the long ones, clustered or with their values
// attached as getopt takes them; -q leaves standard error to warnings and
// failures; -H gives a single picture its file column.
void TestCli::shortOptionsQuietAndFileColumn()
{
    const Outcome longForm = runCli({"--sigma", "2", "--threshold", "-5", "--with-filename", pngPath});
    QCOMPARE(longForm.exitCode, 0);
    QVERIFY(longForm.out.startsWith("file,x,y\n" + pngPath + ","));
    for (const QStringList &arguments : {QStringList{"-s", "2", "-t", "-5", "-H", pngPath},
                                         QStringList{"-s2", "-t-5", "-Hq", pngPath},
                                         QStringList{"-qHs", "2", "-t", "-5", "--", pngPath}}) {
        const Outcome shortForm = runCli(arguments);
        QCOMPARE(shortForm.exitCode, 0);
        QCOMPARE(shortForm.out, longForm.out);
        const bool quiet = arguments.contains("-Hq") || arguments.contains("-qHs");
        QVERIFY2(shortForm.err.isEmpty() == quiet, qPrintable(shortForm.err));
    }
    const QString output = dir.filePath("short.csv");
    QCOMPARE(runCli({"-j", "1", "-o", output, "-s", "2", "-t", "-5", "-H", pngPath}).exitCode, 0);
    QFile written(output);
    QVERIFY(written.open(QIODevice::ReadOnly));
    QCOMPARE(QString::fromUtf8(written.readAll()), longForm.out);
    const Outcome version = runCli({"-V"});
    QCOMPARE(version.exitCode, 0);
    QCOMPARE(version.out, runCli({"--version"}).out);
    const Outcome unknown = runCli({"-Hx", pngPath});
    QCOMPARE(unknown.exitCode, 2);
    QVERIFY2(unknown.err.contains("unknown option '-x'"), qPrintable(unknown.err));
    // Quiet in a batch too: no summary line.
    const Outcome batch = runCli({"-q", pngPath, pngPath});
    QCOMPARE(batch.exitCode, 0);
    QVERIFY2(batch.err.isEmpty(), qPrintable(batch.err));
}

// --summary: one row per picture, those without features and those that
// cannot be read among them, with the settings; its counts are the
// feature table's.
void TestCli::summaryHasARowPerPicture()
{
    const QString flat = dir.filePath("flat.png");
    QImage grey(80, 60, QImage::Format_RGB32);
    grey.fill(qRgb(90, 90, 90));
    QVERIFY(grey.save(flat));
    const QString missing = dir.filePath("missing.png");
    const QString summary = dir.filePath("summary.csv");
    const Outcome outcome =
        runCli({"--summary", summary, "-s", "2", "-t", "10", "--polarity", "bright", pngPath, flat, missing});
    QCOMPARE(outcome.exitCode, 1);
    QFile file(summary);
    QVERIFY(file.open(QIODevice::ReadOnly));
    const QStringList rows = QString::fromUtf8(file.readAll()).split('\n', Qt::SkipEmptyParts);
    QCOMPARE(rows.size(), 4);
    QCOMPARE(rows[0], QString("file,frames,features,status,warning,elapsed_msec,sigma,sigma_max,scales,overlap,"
                              "threshold,polarity,stretch"));
    const int features = outcome.out.count(pngPath);
    QVERIFY(features > 0);
    const QRegularExpression found(QString("^%1,1,%2,ok,,[0-9.e-]+,2,,1,,10,bright,none$")
                                       .arg(QRegularExpression::escape(pngPath)).arg(features));
    QVERIFY2(found.match(rows[1]).hasMatch(), qPrintable(rows[1]));
    QVERIFY2(QRegularExpression(QString("^%1,1,0,ok,").arg(QRegularExpression::escape(flat))).match(rows[2]).hasMatch(),
             qPrintable(rows[2]));
    QVERIFY2(rows[3].startsWith(missing + ",0,0,unreadable,File not found,"), qPrintable(rows[3]));
    QVERIFY(!outcome.out.contains(flat));

    // A summary to what is no regular file (here standard output, a pipe,
    // through /dev/stdout) is written to directly, as --output is.
    const Outcome piped = runCli({"--summary", "/dev/stdout", "-o", dir.filePath("features.csv"), "-s", "2", "-t",
                                  "10", "--polarity", "bright", pngPath});
    QCOMPARE(piped.exitCode, 0);
    QCOMPARE(piped.out.split('\n', Qt::SkipEmptyParts).value(0), rows[0]);
    QVERIFY2(found.match(piped.out.split('\n', Qt::SkipEmptyParts).value(1)).hasMatch(), qPrintable(piped.out));
}

// A folder without pictures says so, and is no picture in the count; a
// kernel that leaves nothing to search is warned of.
void TestCli::emptyFolderAndTooWideKernel()
{
    const QString empty = dir.filePath("empty");
    QVERIFY(QDir().mkpath(empty));
    Outcome outcome = runCli({empty});
    QCOMPARE(outcome.exitCode, 1);
    QCOMPARE(outcome.err, QString("hessian-maxima-cli: no pictures in '%1' (--recursive looks in subfolders)\n")
                              .arg(empty));
    outcome = runCli({"-r", empty, pngPath});
    QCOMPARE(outcome.exitCode, 1);
    QVERIFY2(outcome.err.startsWith(QString("hessian-maxima-cli: no pictures in '%1' or its subfolders\n1 pictures, "
                                            "1 read, 0 failed, ")
                                        .arg(empty)),
             qPrintable(outcome.err));

    outcome = runCli({"--sigma", "1000", "--format", "json", pngPath});
    QCOMPARE(outcome.exitCode, 0);
    QVERIFY2(outcome.err.startsWith(QString("hessian-maxima-cli: warning: '%1' is too small for the kernel (radius "
                                            "3000): features lie at least 3001 pixels from every border, and a 160 x "
                                            "120 picture has no such pixel, so nothing could be searched\n")
                                        .arg(pngPath)),
             qPrintable(outcome.err));
    QVERIFY(outcome.out.contains("is too small for the kernel"));
    QVERIFY(!runCli({"--sigma", "19", pngPath}).err.contains("too small"));
}

// scikit-image's astronaut carries an sRGB profile that libpng knows to be
// incorrect, and says so while the annotated picture is written: that stays
// off standard error, as the readers' messages do. (Skipped without
// Debian's python3-skimage, whose picture it is.)
void TestCli::annotatingKeepsLibpngOffStandardError()
{
    const QString astronaut = QStringLiteral("/usr/lib/python3/dist-packages/skimage/data/astronaut.png");
    if (!QFile::exists(astronaut))
        QSKIP("needs scikit-image's astronaut.png (Debian's python3-skimage)");
    const Outcome outcome = runCli({"--annotate", dir.filePath("profiled"), "--force", astronaut});
    QCOMPARE(outcome.exitCode, 0);
    QVERIFY2(kSuccessLine.match(outcome.err).hasMatch(), qPrintable(outcome.err));
    QVERIFY(QFile::exists(dir.filePath("profiled/astronaut.png")));
}

QTEST_GUILESS_MAIN(TestCli)
#include "tst_cli.moc"

// A faint 16-bit picture: the warning that points to --stretch, the stretch
// in JSON, and the same features read in bands as read whole.
void TestCli::stretchAndStream()
{
    const QImage blobs = blobPicture(160, 120);
    QByteArray pgm = "P5\n160 120\n65535\n";
    int lowest = 65535;
    for (int y = 0; y < 120; ++y)
        for (int x = 0; x < 160; ++x) {
            const int v = 1000 + 12 * qGray(blobs.pixel(x, y));
            lowest = std::min(lowest, v);
            pgm.append(char(v >> 8)).append(char(v & 0xff));
        }
    const QString path = dir.filePath("faint.pgm");
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly) && file.write(pgm) == pgm.size());
    file.close();

    const Outcome whole = runCli({"--no-stream", "--stretch", "none", "--sigma", "2", "--threshold", "0", path});
    QCOMPARE(whole.exitCode, 0);
    QVERIFY2(whole.err.startsWith("hessian-maxima-cli: warning: '" + path + "' uses only levels "),
             qPrintable(whole.err));
    QVERIFY(whole.err.contains("--stretch percentile or minmax spreads them"));
    const Outcome streamed = runCli({"--stream", "--stretch", "none", "--sigma", "2", "--threshold", "0", path});
    QCOMPARE(streamed.exitCode, 0);
    QCOMPARE(streamed.out, whole.out);
    // An extended border finds more, streamed or not.
    const Outcome reflected = runCli({"--no-stream", "--sigma", "2", "--threshold", "0", "--border", "reflect", path});
    QVERIFY(reflected.out.count('\n') > whole.out.count('\n'));
    QCOMPARE(runCli({"--stream", "--sigma", "2", "--threshold", "0", "--border", "reflect", path}).out, reflected.out);

    const QJsonObject stretched = QJsonDocument::fromJson(
        runCli({"--stretch", "minmax", "--format", "json", path}).out.toUtf8()).array().at(0).toObject();
    const QJsonObject stretch = stretched.value("stretch").toObject();
    QCOMPARE(stretch.value("mode").toString(), QString("minmax"));
    QCOMPARE(stretch.value("lo").toDouble(), (double)lowest);
    QVERIFY(!stretched.contains("warnings"));

    // Whether a picture could be streamed is asked without waiting for a
    // named pipe's writer; in a folder, a pipe, linked or not, is no
    // picture and is not opened.
    const QString pipe = dir.filePath("pipe");
    QCOMPARE(::mkfifo(QFile::encodeName(pipe).constData(), 0600), 0);
    QCOMPARE(runCli({pipe}).exitCode, 1);
    const QString folder = dir.filePath("with-pipes");
    QVERIFY(QDir().mkpath(folder) && QFile::link(pipe, folder + "/linked") && QFile::copy(pngPath, folder + "/p.png"));
    QCOMPARE(::mkfifo(QFile::encodeName(folder + "/own").constData(), 0600), 0);
    const Outcome batch = runCli({folder});
    QCOMPARE(batch.exitCode, 0);
    QVERIFY2(batch.err.startsWith("1 pictures, 1 read, 0 failed"), qPrintable(batch.err));
}
