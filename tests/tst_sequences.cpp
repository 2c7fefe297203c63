// Sequences end to end: the frames of a multi-page TIFF (plain and an
// ImageJ hyperstack), a FITS cube, a folder read as one sequence and a
// printf pattern, each detected exactly as the single picture exported from
// it; frame selection; the frame and time columns; damaged sequences; and
// the pipeline's order whatever the threads. Files are written here with
// the libraries that read them; the real executable runs in a child
// process. Tracks (--track, --tracks): blobs moving known steps, each one
// track, the track table against the feature rows.

#include "batchrun.h"
#include "clirunner.h"
#include "framepattern.h"
#include "picturesource.h"
#include "sequencerun.h"
#include "tiffdescriptions.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>
#include <QtTest>

#include <fitsio.h>
#include <tiffio.h>

#include <algorithm>
#include <cmath>
#include <condition_variable>
#include <mutex>
#include <vector>

namespace {

const int kWidth = 90, kHeight = 70, kFrames = 6;

// Frame t: bright and dark 16-bit spots that move a pixel or two a frame
// over a sloping floor, every frame with its own range (so that a stretch
// from one frame would not fit the others).
std::vector<uint16_t> frameSamples(int t)
{
    std::vector<uint16_t> samples((size_t)kWidth * kHeight);
    for (int y = 0; y < kHeight; ++y)
        for (int x = 0; x < kWidth; ++x) {
            double v = 2000.0 + 400.0 * t + 10.0 * x + 3.0 * ((x * 7 + y * 13) % 5);
            for (int b = 0; b < 7; ++b) {
                const double cx = 12 + 11 * b + t * (1 + b % 2), cy = 14 + (b * 23) % 44 + t;
                const double s = 2.0 + b % 3;
                v += (b % 3 ? 9000.0 : -1500.0) * (1.0 + 0.1 * t)
                     * std::exp(-((x - cx) * (x - cx) + (y - cy) * (y - cy)) / (2 * s * s));
            }
            samples[(size_t)y * kWidth + x] = (uint16_t)std::min(65535.0, v);
        }
    return samples;
}

// A TIFF of the given pages (16-bit grey, strips of 8 rows), the first
// page's description as given.
bool writeTiff(const QString &path, const std::vector<std::vector<uint16_t>> &pages, const QByteArray &description = {})
{
    TIFF *tiff = TIFFOpen(QFile::encodeName(path).constData(), "w");
    if (!tiff)
        return false;
    bool ok = true;
    for (size_t p = 0; p < pages.size() && ok; ++p) {
        TIFFSetField(tiff, TIFFTAG_IMAGEWIDTH, kWidth);
        TIFFSetField(tiff, TIFFTAG_IMAGELENGTH, kHeight);
        TIFFSetField(tiff, TIFFTAG_BITSPERSAMPLE, 16);
        TIFFSetField(tiff, TIFFTAG_SAMPLESPERPIXEL, 1);
        TIFFSetField(tiff, TIFFTAG_SAMPLEFORMAT, SAMPLEFORMAT_UINT);
        TIFFSetField(tiff, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_MINISBLACK);
        TIFFSetField(tiff, TIFFTAG_ROWSPERSTRIP, 8);
        if (p == 0 && !description.isEmpty())
            TIFFSetField(tiff, TIFFTAG_IMAGEDESCRIPTION, description.constData());
        for (int y = 0; y < kHeight && ok; ++y)
            ok = TIFFWriteScanline(tiff, (void *)&pages[p][(size_t)y * kWidth], (uint32_t)y, 0) >= 0;
        ok = ok && TIFFWriteDirectory(tiff);
    }
    TIFFClose(tiff);
    return ok;
}

// A FITS image of 16-bit planes (BITPIX 16, BZERO 32768: unsigned).
bool writeFits(const QString &path, const std::vector<std::vector<uint16_t>> &planes)
{
    fitsfile *fits = nullptr;
    int status = 0;
    const QByteArray name = "!" + QFile::encodeName(path);
    fits_create_file(&fits, name.constData(), &status);
    long axes[3] = {kWidth, kHeight, (long)planes.size()};
    fits_create_img(fits, USHORT_IMG, planes.size() > 1 ? 3 : 2, axes, &status);
    std::vector<uint16_t> all;
    for (const std::vector<uint16_t> &plane : planes)
        all.insert(all.end(), plane.begin(), plane.end());
    fits_write_img(fits, TUSHORT, 1, (LONGLONG)all.size(), all.data(), &status);
    fits_close_file(fits, &status);
    return status == 0;
}

QByteArray fileBytes(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

bool writeBytes(const QString &path, const QByteArray &bytes)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size();
}

// CSV rows without the header, each with "N," in front.
QStringList numbered(const QString &csv, int frame)
{
    QStringList rows = csv.split('\n', Qt::SkipEmptyParts);
    rows.removeFirst();
    for (QString &row : rows)
        row.prepend(QString::number(frame) + ',');
    return rows;
}

QStringList rowsOf(const QString &csv)
{
    QStringList rows = csv.split('\n', Qt::SkipEmptyParts);
    rows.removeFirst();
    return rows;
}

// A video's rows without their time column (t), to compare with pictures'.
QStringList withoutTimes(QStringList rows)
{
    for (QString &row : rows)
        row = QStringList(row.split(',').mid(0, 1) + row.split(',').mid(2)).join(',');
    return rows;
}

// The ffmpeg program run quietly; true when it succeeds.
bool runFfmpeg(const QString &ffmpeg, const QStringList &arguments)
{
    QProcess process;
    process.start(ffmpeg, QStringList{"-hide_banner", "-loglevel", "error", "-nostdin", "-y"} + arguments);
    return process.waitForFinished(120000) && process.exitCode() == 0;
}

const QStringList kRun = {"--sigma", "2", "--threshold", "20", "--details", "--stretch", "percentile"};

// Three blobs moving straight at their own velocity through frames 0 .. 7
// (kMoving), and a fourth in frames 3 and 4 only; `missing` leaves the
// first blob out of that frame.
struct MovingBlob {
    double x0, y0, dx, dy;
};
const MovingBlob kMoving[] = {{15, 15, 2, 1}, {70, 20, -1, 2}, {20, 55, 3, 0}};
const int kMovingFrames = 8;

std::vector<uint16_t> movingFrame(int t, int missing = -1)
{
    std::vector<uint16_t> samples((size_t)kWidth * kHeight);
    for (int y = 0; y < kHeight; ++y)
        for (int x = 0; x < kWidth; ++x) {
            double v = 1000.0 + 5.0 * x;
            const auto spot = [&](double cx, double cy) {
                v += 20000.0 * std::exp(-((x - cx) * (x - cx) + (y - cy) * (y - cy)) / (2 * 2.0 * 2.0));
            };
            for (int b = 0; b < 3; ++b)
                if (!(b == 0 && t == missing))
                    spot(kMoving[b].x0 + kMoving[b].dx * t, kMoving[b].y0 + kMoving[b].dy * t);
            if (t == 3 || t == 4)
                spot(62, 58);
            samples[(size_t)y * kWidth + x] = (uint16_t)std::min(65535.0, v);
        }
    return samples;
}

// A CSV table: its header's columns, and its rows' fields.
struct CsvTable {
    QStringList header;
    QList<QStringList> rows;
    int column(const QString &name) const { return header.indexOf(name); }
    double number(int row, const QString &name) const { return rows[row][column(name)].toDouble(); }
};

CsvTable csvTable(const QString &text)
{
    CsvTable table;
    QStringList lines = text.split('\n', Qt::SkipEmptyParts);
    if (lines.isEmpty())
        return table;
    table.header = lines.takeFirst().split(',');
    for (const QString &line : lines)
        table.rows << line.split(',');
    return table;
}

} // namespace

class TestSequences : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void framesEqualSinglePictures_data();
    void framesEqualSinglePictures();
    void frameSelection();
    void jpegFramesAsQtsReaderGivesThem();
    void frameAndTimeColumns();
    void damagedSequences_data();
    void damagedSequences();
    void pipelineDeliversInFrameOrder();
    void videos();
    void turnedVideos();
    void parsers();
    void tracksFollowBlobs();
    void trackTableAgreesWithRows();
    void trackOptionsRefused();

private:
    QString path(const QString &name) const { return dir.filePath(name); }
    // The rows the tool writes for each exported picture, numbered.
    QStringList exportedRows(const QStringList &pictures, const QList<int> &frames = {});

    QTemporaryDir dir;
    std::vector<std::vector<uint16_t>> frames;
};

void TestSequences::initTestCase()
{
    QVERIFY(dir.isValid());
    for (int t = 0; t < kFrames; ++t)
        frames.push_back(frameSamples(t));
    QVERIFY(writeTiff(path("stack.tif"), frames));
    QVERIFY(writeFits(path("cube.fits"), frames));
    QVERIFY(QDir().mkpath(path("folder")));
    QVERIFY(QDir().mkpath(path("numbered")));
    for (int t = 0; t < kFrames; ++t) {
        QVERIFY(writeTiff(path(QString("page%1.tif").arg(t)), {frames[t]}));
        QVERIFY(writeFits(path(QString("plane%1.fits").arg(t)), {frames[t]}));
        // Natural order: img2 comes before img10.
        QVERIFY(QFile::copy(path(QString("page%1.tif").arg(t)), path(QString("folder/img%1.tif").arg(2 * t))));
        QVERIFY(QFile::copy(path(QString("page%1.tif").arg(t)), path(QString("numbered/f_%1.tif").arg(7 + t, 3, 10, QChar('0')))));
    }
    QVERIFY(writeBytes(path("folder/notes.txt"), "not a picture"));
    // An ImageJ hyperstack of 2 channels at 6 time points, a quarter second
    // apart: the first channel of each time point is a frame.
    std::vector<std::vector<uint16_t>> hyper;
    for (int t = 0; t < kFrames; ++t) {
        hyper.push_back(frames[t]);
        hyper.push_back(frames[kFrames - 1 - t]);
    }
    QVERIFY(writeTiff(path("hyper.tif"), hyper,
                      "ImageJ=1.53t\nimages=12\nchannels=2\nframes=6\nhyperstack=true\nfinterval=250\ntunit=ms\n"));
}

QStringList TestSequences::exportedRows(const QStringList &pictures, const QList<int> &frameNumbers)
{
    QStringList rows;
    for (int i = 0; i < pictures.size(); ++i) {
        const Outcome single = runCli(kRun + QStringList{path(pictures[i])});
        if (single.exitCode != 0)
            return {single.err};
        rows += numbered(single.out, frameNumbers.isEmpty() ? i : frameNumbers[i]);
    }
    return rows;
}

void TestSequences::framesEqualSinglePictures_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QString>("exported");  // the single pictures, %1 the frame
    QTest::newRow("multi-page TIFF") << QStringList{path("stack.tif")} << "page%1.tif";
    QTest::newRow("ImageJ hyperstack") << QStringList{path("hyper.tif")} << "page%1.tif";
    QTest::newRow("FITS cube") << QStringList{path("cube.fits")} << "plane%1.fits";
    QTest::newRow("folder as a sequence") << QStringList{"--sequence", path("folder")} << "page%1.tif";
    QTest::newRow("pattern") << QStringList{path("numbered/f_%03d.tif")} << "page%1.tif";
}

// The measure: each frame's features are those of the picture
// exported from it, row for row, and the frame column counts from 0.
void TestSequences::framesEqualSinglePictures()
{
    QFETCH(QStringList, arguments);
    QFETCH(QString, exported);
    const Outcome sequence = runCli(kRun + arguments);
    QCOMPARE(sequence.exitCode, 0);
    // The hyperstack says which of its pages the frames are.
    QString report = sequence.err;
    if (QString(QTest::currentDataTag()) == "ImageJ hyperstack") {
        const QString taken = QString("hessian-maxima-cli: warning: '%1' frames are channel 1 of 2 of each time point\n")
                                  .arg(path("hyper.tif"));
        QVERIFY2(report.startsWith(taken), qPrintable(report));
        report.remove(0, taken.size());
    }
    QVERIFY2(report.startsWith(QString("Success. Frames read: %1, lost: 0, dropped: 0. Feature count: ").arg(kFrames)),
             qPrintable(sequence.err));
    QStringList pictures;
    for (int t = 0; t < kFrames; ++t)
        pictures << exported.arg(t);
    const QStringList expected = exportedRows(pictures);
    const QString header = sequence.out.section('\n', 0, 0);
    QStringList rows = rowsOf(sequence.out);
    if (header.startsWith("frame,t,")) {
        // Timed frames: t is the frame's number times the interval.
        for (QString &row : rows) {
            const QStringList fields = row.split(',');
            QCOMPARE(fields[1], QString::asprintf("%.6f", fields[0].toInt() * 0.25));
            row = QStringList(fields.mid(0, 1) + fields.mid(2)).join(',');
        }
    } else {
        QVERIFY2(header.startsWith("frame,x,y,"), qPrintable(header));
    }
    QVERIFY(expected.size() > 5 * kFrames);
    QCOMPARE(rows, expected);
}

// --frames A:B:STEP reads exactly those frames, each as the whole run gives
// it; values that are no selection are refused before anything runs.
void TestSequences::frameSelection()
{
    const QStringList all = rowsOf(runCli(kRun + QStringList{path("stack.tif")}).out);
    const auto framesOf = [&](const QList<int> &wanted) {
        QStringList rows;
        for (const QString &row : all)
            if (wanted.contains(row.section(',', 0, 0).toInt()))
                rows << row;
        return rows;
    };
    const struct {
        const char *range;
        QList<int> frames;
    } cases[] = {{"1:5:2", {1, 3}}, {"4:", {4, 5}}, {":2", {0, 1}}, {"3", {3}}, {"0::5", {0, 5}}, {"5:99", {5}}};
    for (const auto &c : cases) {
        const Outcome part = runCli(kRun + QStringList{"--frames", c.range, path("stack.tif")});
        QCOMPARE(part.exitCode, 0);
        QVERIFY2(part.err.contains(QString("Frames read: %1,").arg(c.frames.size())), c.range);
        QCOMPARE(rowsOf(part.out), framesOf(c.frames));
    }
    for (const char *bad : {"2:2", "3:1", "-1:4", "1:4:0", "a:b", "1:2:3:4", ""}) {
        const Outcome refused = runCli({"--frames", bad, path("stack.tif")});
        QCOMPARE(refused.exitCode, 2);
        QVERIFY2(refused.err.contains("for --frames"), bad);
    }
}

// Colour JPEG frames go to the detector as grey levels decoded without
// Qt's reader: a folder read as a sequence, and the same files as a batch,
// give the rows Qt's reader gives (HESSIAN_QT_JPEG=1), with and without an
// annotation that needs the colour frames.
void TestSequences::jpegFramesAsQtsReaderGivesThem()
{
    QVERIFY(QDir().mkpath(path("jpegs")));
    QStringList files;
    for (int t = 0; t < kFrames; ++t) {
        QImage picture(kWidth, kHeight, QImage::Format_RGB32);
        for (int y = 0; y < kHeight; ++y)
            for (int x = 0; x < kWidth; ++x) {
                const int v = frames[t][(size_t)y * kWidth + x] >> 8;
                picture.setPixel(x, y, qRgb(v, v * 3 / 4, 255 - v / 2));
            }
        files << path(QString("jpegs/img%1.jpg").arg(t));
        QVERIFY(picture.save(files.last(), "jpg", 90));
    }
    const QStringList run{"--sigma", "2", "--threshold", "5", "--details"};
    const QStringList ways[] = {
        run + QStringList{"--sequence", path("jpegs")},
        run + files,
        run + QStringList{"--annotate", path("drawn"), "--force", "--sequence", path("jpegs")},
    };
    for (const QStringList &arguments : ways) {
        const Outcome own = runCli(arguments);
        qputenv("HESSIAN_QT_JPEG", "1");
        const Outcome qt = runCli(arguments);
        qunsetenv("HESSIAN_QT_JPEG");
        QCOMPARE(own.exitCode, 0);
        QCOMPARE(qt.exitCode, 0);
        QVERIFY2(rowsOf(own.out).size() > 3 * kFrames, qPrintable(own.out));
        QCOMPARE(own.out, qt.out);
    }
}

// The frame and time columns against the frame count and the interval the
// file states, in CSV and JSON; a batch of a still picture beside a
// sequence gives the still's rows frame 0 and no time.
void TestSequences::frameAndTimeColumns()
{
    const Outcome json = runCli(kRun + QStringList{"--format", "json", path("hyper.tif")});
    QCOMPARE(json.exitCode, 0);
    const QJsonArray objects = QJsonDocument::fromJson(json.out.toUtf8()).array();
    QCOMPARE(objects.size(), 1);
    const QJsonObject sequence = objects[0].toObject();
    QCOMPARE(sequence["frames"].toInt(), kFrames);
    QCOMPARE(sequence["frames_read"].toInt(), kFrames);
    QCOMPARE(sequence["frames_lost"].toInt(), 0);
    QCOMPARE(sequence["frames_taken"].toString(), QString("channel 1 of 2 of each time point"));
    QVERIFY(sequence["stretch"].toObject()["per_frame"].toBool());
    QSet<int> seen;
    int last = 0;
    for (const QJsonValue &value : sequence["features"].toArray()) {
        const QJsonObject feature = value.toObject();
        const int frame = feature["frame"].toInt();
        QVERIFY(frame >= last && frame < kFrames);
        QCOMPARE(feature["t"].toDouble(), frame * 0.25);
        seen << frame;
        last = frame;
    }
    QCOMPARE(seen.size(), kFrames);

    const Outcome batch = runCli(kRun + QStringList{"--summary", path("summary.csv"), path("page2.tif"),
                                                    path("stack.tif"), path("hyper.tif")});
    QCOMPARE(batch.exitCode, 0);
    // The summary counts a sequence's frames and all their features.
    const QStringList summary = QString::fromUtf8(fileBytes(path("summary.csv"))).split('\n', Qt::SkipEmptyParts);
    QCOMPARE(summary.size(), 4);
    QCOMPARE(summary[2].section(',', 0, 2),
             QString("%1,%2,%3").arg(path("stack.tif")).arg(kFrames)
                 .arg(batch.out.count(QRegularExpression("^" + QRegularExpression::escape(path("stack.tif")) + ",",
                                                         QRegularExpression::MultilineOption))));
    QVERIFY(batch.out.startsWith("file,frame,t,x,y,"));
    QStringList still = exportedRows({"page2.tif"});
    for (QString &row : still)
        row = path("page2.tif") + ",0,," + row.section(',', 1);
    QStringList rows = batch.out.split('\n', Qt::SkipEmptyParts).mid(1, still.size());
    QCOMPARE(rows, still);
    QVERIFY2(batch.err.contains("3 pictures (2 sequences: 12 frames read, 0 lost, 0 dropped"), qPrintable(batch.err));
}

void TestSequences::damagedSequences_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<QString>("name");
    QTest::addColumn<QList<int>>("readable");
    QTest::addColumn<QString>("said");  // in the one warning naming the lost frames

    // libtiff writes each page's strips, then its directory: a file cut in
    // page 4's strips keeps pages 1-3 and loses the rest, which the
    // directory chain no longer reaches but tifffile's shape counts.
    const QString shaped = dir.filePath("shaped.tif");
    writeTiff(shaped, frames, QString("{\"shape\": [%1, %2, %3]}").arg(kFrames).arg(kHeight).arg(kWidth).toLatin1());
    const QByteArray whole = fileBytes(shaped);
    const qint64 pageBytes = whole.size() / kFrames;
    QTest::newRow("TIFF cut in page 4") << whole.left(3 * pageBytes + pageBytes / 2) << "cut.tif"
                                        << QList<int>{0, 1, 2} << "3 lost frames: frames 3-5 (its page is not in the file)";
    // ImageJ says 8 time points; 6 are in the file.
    const QString imageJ = dir.filePath("imagej.tif");
    writeTiff(imageJ, frames, "ImageJ=1.53t\nimages=8\nframes=8\n");
    QTest::newRow("ImageJ, 2 time points missing") << fileBytes(imageJ) << "short.tif" << QList<int>{0, 1, 2, 3, 4, 5}
                                                   << "2 lost frames: frames 6-7";
    // A cube cut in its fifth plane: planes 1-4 read (with the record of
    // 2880 bytes that holds the fourth's end).
    const QByteArray cube = fileBytes(path("cube.fits"));
    const int records = (4 * kWidth * kHeight * 2 + 2879) / 2880;
    QTest::newRow("FITS cube cut") << cube.left(2880 * (1 + records) + 100) << "cut.fits"
                                   << QList<int>{0, 1, 2, 3} << "2 lost frames: frames 4-5 (its plane is not in the file)";
}

// A damaged sequence gives every readable frame's features (those of the
// whole file's run), one warning naming the lost frames, and exit 3.
void TestSequences::damagedSequences()
{
    QFETCH(QByteArray, bytes);
    QFETCH(QString, name);
    QFETCH(QList<int>, readable);
    QFETCH(QString, said);
    QVERIFY(writeBytes(path(name), bytes));
    const Outcome damaged = runCli(kRun + QStringList{path(name)});
    QCOMPARE(damaged.exitCode, 3);
    const QStringList lines = damaged.err.split('\n', Qt::SkipEmptyParts);
    QCOMPARE(lines.size(), 2);
    QVERIFY2(lines[0].startsWith(QString("hessian-maxima-cli: warning: '%1' is damaged (").arg(path(name)))
                 && lines[0].contains(said),
             qPrintable(lines[0]));
    QVERIFY2(lines[1].startsWith(QString("Success. Frames read: %1, lost: ").arg(readable.size())), qPrintable(lines[1]));
    QStringList pictures;
    for (int frame : readable)
        pictures << QString(name.endsWith(".fits") ? "plane%1.fits" : "page%1.tif").arg(frame);
    QCOMPARE(rowsOf(damaged.out), exportedRows(pictures, readable));

    // Nothing readable at all: the file cannot be read (exit 1).
    QVERIFY(writeBytes(path("none-" + name), bytes.left(name.endsWith(".fits") ? 2880 + 100 : 400)));
    const Outcome none = runCli(kRun + QStringList{path("none-" + name)});
    QCOMPARE(none.exitCode, 1);
    QVERIFY2(none.err.startsWith(QString("hessian-maxima-cli: cannot read image '%1'").arg(path("none-" + name))),
             qPrintable(none.err));
}

// Frames that finish last to first (each waits for the one after it) are
// handed over first to last, and any number of detecting threads gives the
// same features.
void TestSequences::pipelineDeliversInFrameOrder()
{
    QString error;
    const auto sourceOf = [&] { return PictureSource::open(path("stack.tif"), SourceOptions(), &error); };
    SequenceSettings settings;
    settings.detection.sigma = 2.0f;
    settings.detection.threshold = 20.0f;
    settings.stretch.mode = StretchMode::Percentile;
    settings.workers = kFrames;
    std::mutex mutex;
    std::condition_variable changed;
    QList<qint64> finished, delivered;
    settings.finish = [&](FrameResult &frame) {
        std::unique_lock<std::mutex> lock(mutex);
        changed.wait_for(lock, std::chrono::seconds(30),
                         [&] { return frame.index == kFrames - 1 || finished.contains(frame.index + 1); });
        finished << frame.index;
        changed.notify_all();
    };
    QVector<Feature> reversed, single;
    std::unique_ptr<PictureSource> source = sourceOf();
    QVERIFY2(source, qPrintable(error));
    SequenceTotals totals;
    QVERIFY(runSequence(*source, settings, [&](FrameResult &frame) {
        delivered << frame.index;
        reversed += frame.result.features;
        return true;
    }, &totals));
    QCOMPARE(finished, (QList<qint64>{5, 4, 3, 2, 1, 0}));
    QCOMPARE(delivered, (QList<qint64>{0, 1, 2, 3, 4, 5}));
    QCOMPARE(totals.delivered, (qint64)kFrames);

    settings.finish = nullptr;
    settings.workers = 1;
    settings.detection.threads = 1;
    source = sourceOf();
    QVERIFY(runSequence(*source, settings, [&](FrameResult &frame) {
        single += frame.result.features;
        return true;
    }, &totals));
    QCOMPARE(single.size(), reversed.size());
    for (int i = 0; i < single.size(); ++i)
        QVERIFY(single[i].x == reversed[i].x && single[i].y == reversed[i].y);
}

// Videos through FFmpeg, made by the ffmpeg program: an FFV1 grey video's
// frames equal the pictures ffmpeg exports from it (with the flags the
// manual names), t is the container's time stamps, a selection seeks, a cut
// file loses its last frames (exit 3), a stream on standard input is read
// frame by frame, and the annotated video holds the annotated pictures.
void TestSequences::videos()
{
    const QString ffmpeg = QStandardPaths::findExecutable("ffmpeg");
    if (ffmpeg.isEmpty())
        QSKIP("the ffmpeg program is not installed (Debian package ffmpeg): no videos to test with");
    const auto run = [&](const QStringList &arguments) { return runFfmpeg(ffmpeg, arguments); };
    QVERIFY(QDir().mkpath(path("video")));
    for (int t = 0; t < kFrames; ++t) {
        QImage grey(kWidth, kHeight, QImage::Format_Grayscale8);
        for (int y = 0; y < kHeight; ++y)
            for (int x = 0; x < kWidth; ++x)
                grey.scanLine(y)[x] = (uchar)std::min(255, frames[t][(size_t)y * kWidth + x] >> 7);
        QVERIFY(grey.save(path(QString("video/g%1.png").arg(t))));
    }
    const QString clip = path("video/grey.mkv");
    QVERIFY(run({"-framerate", "10", "-i", path("video/g%d.png"), "-vf", "format=gray", "-c:v", "ffv1", clip}));
    QVERIFY(run({"-i", clip, "-sws_flags", "bicubic+accurate_rnd+full_chroma_int+bitexact", "-pix_fmt", "rgb24",
                 "-start_number", "0", path("video/exported%d.png")}));
    const QStringList settings = {"--sigma", "2", "--threshold", "10", "--details"};
    const Outcome video = runCli(settings + QStringList{clip});
    QCOMPARE(video.exitCode, 0);
    QStringList rows = rowsOf(video.out);
    QVERIFY(video.out.startsWith("frame,t,x,y,"));
    QStringList expected;
    for (int t = 0; t < kFrames; ++t)
        expected += numbered(runCli(settings + QStringList{path(QString("video/exported%1.png").arg(t))}).out, t);
    QVERIFY(expected.size() > 3 * kFrames);
    // t: the container's stamps, 10 frames a second.
    for (QString &row : rows) {
        const QStringList fields = row.split(',');
        QCOMPARE(fields[1], QString::asprintf("%.6f", fields[0].toInt() / 10.0));
        row = QStringList(fields.mid(0, 1) + fields.mid(2)).join(',');
    }
    QCOMPARE(rows, expected);
    QStringList selected;
    for (const QString &row : rows)
        if (QList<int>{1, 3}.contains(row.section(',', 0, 0).toInt()))
            selected << row;
    QCOMPARE(withoutTimes(rowsOf(runCli(settings + QStringList{"--frames", "1:5:2", clip}).out)), selected);

    // A stream on standard input, every frame kept.
    QProcess feeder, cli;
    feeder.setStandardOutputProcess(&cli);
    feeder.start(ffmpeg, {"-hide_banner", "-loglevel", "error", "-nostdin", "-i", clip, "-c:v", "ffv1", "-f", "nut", "-"});
    cli.start(QStringLiteral(HESSIAN_CLI_PATH), settings + QStringList{"--all-frames", "-"});
    QVERIFY(feeder.waitForFinished(60000) && cli.waitForFinished(60000));
    QCOMPARE(cli.exitCode(), 0);
    QCOMPARE(withoutTimes(rowsOf(QString::fromUtf8(cli.readAllStandardOutput()))), expected);

    // Without --all-frames the newest frame wins, but every frame sent is
    // either read or counted as dropped, also those that arrived before the
    // first read (a fast pipe can deliver the whole stream by then).
    QProcess rawFeeder, newest;
    rawFeeder.setStandardOutputProcess(&newest);
    rawFeeder.start(ffmpeg, {"-hide_banner", "-loglevel", "error", "-nostdin", "-i", clip, "-c:v", "rawvideo", "-f",
                             "nut", "-"});
    newest.start(QStringLiteral(HESSIAN_CLI_PATH), settings + QStringList{"-"});
    QVERIFY(rawFeeder.waitForFinished(60000) && newest.waitForFinished(60000));
    QCOMPARE(newest.exitCode(), 0);
    const QString told = QString::fromUtf8(newest.readAllStandardError());
    const QRegularExpressionMatch counts = QRegularExpression("Frames read: (\\d+), lost: 0, dropped: (\\d+)").match(told);
    QVERIFY2(counts.hasMatch(), qPrintable(told));
    QCOMPARE(counts.captured(1).toInt() + counts.captured(2).toInt(), kFrames);

    // The annotated video holds, frame for frame, the annotated pictures.
    QVERIFY(runCli(settings + QStringList{"--annotate", path("video/annotated.mkv"), clip}).exitCode == 0);
    QVERIFY(runCli(settings + QStringList{"--annotate", path("video/pictures"), clip}).exitCode == 0);
    QVERIFY(run({"-i", path("video/annotated.mkv"), "-pix_fmt", "rgb24", "-start_number", "0",
                 path("video/annotated%d.png")}));
    for (int t = 0; t < kFrames; ++t) {
        const QImage drawn(path(QString("video/pictures/grey/%1.png").arg(t, 6, 10, QChar('0'))));
        const QImage decoded(path(QString("video/annotated%1.png").arg(t)));
        QVERIFY(!drawn.isNull());
        QCOMPARE(decoded.convertToFormat(QImage::Format_RGB32), drawn.convertToFormat(QImage::Format_RGB32));
    }
    QCOMPARE(runCli(settings + QStringList{"--annotate", path("video/annotated.mkv"), clip}).exitCode, 2);

    // A raw H.264 stream has no time stamps to seek by: a selection counts
    // its frames from the start instead, and gives those frames' rows.
    const QString raw = path("video/raw.h264");
    QVERIFY(run({"-framerate", "10", "-i", path("video/g%d.png"), "-vf", "format=yuv420p", "-c:v", "libx264", "-f",
                 "h264", raw}));
    const QStringList rawRows = rowsOf(runCli(settings + QStringList{raw}).out);
    QStringList rawSelected;
    for (const QString &row : rawRows)
        if (QList<int>{2, 3}.contains(row.section(',', 0, 0).toInt()))
            rawSelected << row;
    QVERIFY(!rawSelected.isEmpty());
    const Outcome rawPart = runCli(settings + QStringList{"--frames", "2:4", raw});
    QCOMPARE(rawPart.exitCode, 0);
    QCOMPARE(rowsOf(rawPart.out), rawSelected);

    // H.264 in MP4 (its index first), cut: the frames before the cut's
    // group of pictures as the whole file gives them, the rest named lost.
    const QString h264 = path("video/long.mp4");
    QVERIFY(run({"-stream_loop", "3", "-framerate", "10", "-i", path("video/g%d.png"), "-vf", "format=yuv420p",
                 "-c:v", "libx264", "-g", "4", "-movflags", "+faststart", h264}));
    const QStringList whole = rowsOf(runCli(settings + QStringList{h264}).out);
    const QByteArray bytes = fileBytes(h264);
    QVERIFY(writeBytes(path("video/cut.mp4"), bytes.left(bytes.size() * 3 / 4)));
    const Outcome cut = runCli(settings + QStringList{path("video/cut.mp4")});
    QCOMPARE(cut.exitCode, 3);
    const QRegularExpressionMatch said =
        QRegularExpression("is damaged \\((\\d+) lost frames?: (.*); the file is cut short\\)").match(cut.err);
    QVERIFY2(said.hasMatch(), qPrintable(cut.err));
    QList<int> named;
    QRegularExpressionMatchIterator spans = QRegularExpression("frames? (\\d+)(-(\\d+))?").globalMatch(said.captured(2));
    while (spans.hasNext()) {
        const QRegularExpressionMatch span = spans.next();
        named << span.captured(1).toInt() << (span.captured(3).isEmpty() ? span.captured(1) : span.captured(3)).toInt();
    }
    QVERIFY(!named.isEmpty());
    const int firstLost = *std::min_element(named.begin(), named.end());
    QCOMPARE(*std::max_element(named.begin(), named.end()), 4 * kFrames - 1);
    QStringList before, wholeBefore;
    for (const QString &row : rowsOf(cut.out))
        if (row.section(',', 0, 0).toInt() < firstLost - 4)
            before << row;
    for (const QString &row : whole)
        if (row.section(',', 0, 0).toInt() < firstLost - 4)
            wholeBefore << row;
    QVERIFY(!before.isEmpty());
    QCOMPARE(before, wholeBefore);
}

// A phone's video carries a display matrix: its frames, turned as the
// matrix says, give the rows of the pictures the ffmpeg program exports
// (which turns them too), at the turned size; --no-autorotate gives the
// rows of the stored frames. The matrices are the rotate tag's, and others
// written into the track header: a mirror, upside down, a transpose (a
// quarter turn with a flip) and 45 degrees, which is kept as stored.
void TestSequences::turnedVideos()
{
    const QString ffmpeg = QStandardPaths::findExecutable("ffmpeg");
    if (ffmpeg.isEmpty())
        QSKIP("the ffmpeg program is not installed (Debian package ffmpeg): no videos to test with");
    const auto run = [&](const QStringList &arguments) { return runFfmpeg(ffmpeg, arguments); };
    QVERIFY(QDir().mkpath(path("turned")));
    // Colour that varies across the frame, so that the chroma's own
    // interpolation would show a turn made after the conversion.
    const int count = 3;
    for (int t = 0; t < count; ++t) {
        QImage colour(kWidth, kHeight, QImage::Format_RGB32);
        for (int y = 0; y < kHeight; ++y)
            for (int x = 0; x < kWidth; ++x) {
                const int grey = std::min(255, frames[t][(size_t)y * kWidth + x] >> 7);
                colour.setPixel(x, y, qRgb(grey, (grey + 3 * x) / 2, std::min(255, grey / 2 + 5 * y)));
            }
        QVERIFY(colour.save(path(QString("turned/c%1.png").arg(t))));
    }
    const QString stored = path("turned/stored.mp4");
    QVERIFY(run({"-framerate", "10", "-i", path("turned/c%d.png"), "-vf", "format=yuv420p", "-c:v", "libx264", stored}));
    QVERIFY(run({"-i", stored, "-c", "copy", "-metadata:s:v:0", "rotate=90", path("turned/rotate90.mp4")}));
    // The track header's matrix, a b u c d v x y w as stored (16.16 but u,
    // v, w in 2.30), the last of the file's two identity matrices.
    const auto matrixBytes = [](const QVector<qint32> &m) {
        QByteArray bytes;
        for (const qint32 value : m)
            for (int shift = 24; shift >= 0; shift -= 8)
                bytes += char((quint32)value >> shift);
        return bytes;
    };
    const qint32 one = 0x10000, half = 46341;  // 45 degrees: cos = sin = 0.7071
    const QByteArray identity = matrixBytes({one, 0, 0, 0, one, 0, 0, 0, 1 << 30});
    const QByteArray storedBytes = fileBytes(stored);
    const int at = storedBytes.lastIndexOf(identity);
    QVERIFY(at > storedBytes.indexOf(identity));
    const QMap<QString, QVector<qint32>> matrices = {{"mirrored", {-one, 0, 0, 0, one, 0, 0, 0, 1 << 30}},
                                                     {"upside-down", {one, 0, 0, 0, -one, 0, 0, 0, 1 << 30}},
                                                     {"transposed", {0, one, 0, one, 0, 0, 0, 0, 1 << 30}},
                                                     {"odd-angle", {half, half, 0, -half, half, 0, 0, 0, 1 << 30}}};
    for (auto m = matrices.begin(); m != matrices.end(); ++m)
        QVERIFY(writeBytes(path("turned/" + m.key() + ".mp4"),
                           QByteArray(storedBytes).replace(at, identity.size(), matrixBytes(m.value()))));

    const QStringList settings = {"--sigma", "2", "--threshold", "10", "--details"};
    // The rows of the pictures ffmpeg exports, numbered.
    const auto exportedRows = [&](const QString &clip, const QString &name) {
        QStringList rows;
        if (!run(QStringList{"-i", clip, "-sws_flags", "bicubic+accurate_rnd+full_chroma_int+bitexact",
                                           "-pix_fmt", "rgb24", "-start_number", "0", path("turned/" + name + "%d.png")}))
            return QStringList{"export failed"};
        for (int t = 0; t < count; ++t)
            rows += numbered(runCli(settings + QStringList{path(QString("turned/%1%2.png").arg(name).arg(t))}).out, t);
        return rows;
    };
    const auto videoRows = [&](const QStringList &arguments) {
        return withoutTimes(rowsOf(runCli(settings + arguments).out));
    };
    const auto shownSize = [&](const QStringList &arguments) {
        const Outcome json = runCli(settings + QStringList{"--format", "json"} + arguments);
        const QJsonObject picture = QJsonDocument::fromJson(json.out.toUtf8()).array().at(0).toObject();
        return QSize(picture.value("width").toInt(), picture.value("height").toInt());
    };
    const QStringList asStored = exportedRows(stored, "plain");
    QVERIFY(asStored.size() > 3 * count);
    QCOMPARE(videoRows({stored}), asStored);
    struct Case {
        QString clip;
        QSize shown;
    };
    const QVector<Case> cases = {{"rotate90", QSize(kHeight, kWidth)}, {"mirrored", QSize(kWidth, kHeight)},
                                 {"upside-down", QSize(kWidth, kHeight)}, {"transposed", QSize(kHeight, kWidth)},
                                 {"odd-angle", QSize(kWidth, kHeight)}};
    for (const Case &c : cases) {
        const QString clip = path("turned/" + c.clip + ".mp4");
        // ffmpeg turns an odd angle with interpolation; it is read as stored.
        const bool kept = c.clip == "odd-angle";
        const QStringList turned = kept ? asStored : exportedRows(clip, c.clip);
        QVERIFY2(kept || turned != asStored, qPrintable(c.clip));
        QVERIFY2(videoRows({clip}) == turned, qPrintable(c.clip));
        QCOMPARE(shownSize({clip}), c.shown);
        QVERIFY2(videoRows({"--no-autorotate", clip}) == asStored, qPrintable(c.clip));
        QCOMPARE(shownSize({"--no-autorotate", clip}), QSize(kWidth, kHeight));
    }
}

// The small parsers behind the options and the sequences' files.
void TestSequences::parsers()
{
    FramePattern pattern;
    QVERIFY(parseFramePattern("frame_%04d.png", &pattern));
    QCOMPARE(framePatternName(pattern, 12), QString("frame_0012.png"));
    QCOMPARE(framePatternName(pattern, 123456), QString("frame_123456.png"));
    qint64 number = -1;
    QVERIFY(framePatternNumber(pattern, "frame_0012.png", &number) && number == 12);
    for (const char *other : {"frame_012.png", "frame_00012.png", "frame_+012.png", "frame_0012.png.bak", "frame_.png"})
        QVERIFY2(!framePatternNumber(pattern, other, &number), other);
    QVERIFY(parseFramePattern("100%%_%d.tif", &pattern) && pattern.prefix == "100%_" && pattern.digits == 0);
    for (const char *notOne : {"plain.png", "%d_%d.png", "%s.png", "%4d.png", "%00d.png", "50%.png"})
        QVERIFY2(!parseFramePattern(notOne, &pattern), notOne);

    const ImageJStack stack = parseImageJDescription("ImageJ=1.53t\nimages=60\nchannels=3\nslices=5\nframes=4\n"
                                                     "finterval=2\ntunit=min\n");
    QVERIFY(stack.present);
    QCOMPARE(stack.images, 60);
    QCOMPARE(stack.interval, 120.0);
    const ImageJFrames frames = imageJFrames(stack);
    QCOMPARE(frames.count, 4);
    QCOMPARE(frames.pageOf(2), 30);  // channel fastest, then slice
    QCOMPARE(frames.taken, QString("channel 1 of 3 and slice 1 of 5 of each time point"));
    const ImageJFrames slices = imageJFrames(parseImageJDescription("ImageJ=1.5\nslices=7\nfinterval=1\n"));
    QVERIFY(slices.count == 7 && !slices.timed);
    const ImageJStack odd = parseImageJDescription("ImageJ=1\nframes=-3\nchannels=99999999999\nfinterval=nan\n");
    QVERIFY(odd.frames == 1 && odd.channels == 1 && odd.interval == 0.0);
    QVERIFY(!parseImageJDescription("frames=4\n").present);
    QCOMPARE(shapedPageCount("{\"shape\": [6, 70, 90]}", 70 * 90), 6);
    QCOMPARE(shapedPageCount("{\"shape\": [6, 70, 91]}", 70 * 90), 0);
    QCOMPARE(shapedPageCount("{\"shape\": [1e30, 70, 90]}", 70 * 90), 0);

    QStringList names{"img10.tif", "img2.tif", "img1.tif", "img02.tif", "a.tif"};
    std::sort(names.begin(), names.end(), naturalLess);
    QCOMPARE(names, (QStringList{"a.tif", "img1.tif", "img02.tif", "img2.tif", "img10.tif"}));
}

void TestSequences::tracksFollowBlobs()
{
    std::vector<std::vector<uint16_t>> moving, holed;
    for (int t = 0; t < kMovingFrames; ++t) {
        moving.push_back(movingFrame(t));
        holed.push_back(movingFrame(t, 4));
    }
    QVERIFY(writeTiff(path("moving.tif"), moving));
    QVERIFY(writeTiff(path("holed.tif"), holed));

    const Outcome run = runCli(kRun + QStringList{"--track", "4", "--min-length", "3", path("moving.tif")});
    QCOMPARE(run.exitCode, 0);
    const CsvTable table = csvTable(run.out);
    QCOMPARE(table.header.join(','), QString("frame,x,y,x_subpixel,y_subpixel,sigma,response,polarity,track"));
    // Each blob one track, numbered in the order of the first detections
    // (frame 0, row-major); the blob of two frames below --min-length.
    QCOMPARE(table.rows.size(), 3 * kMovingFrames + 2);
    for (int r = 0; r < table.rows.size(); ++r) {
        const int frame = (int)table.number(r, "frame");
        const double x = table.number(r, "x_subpixel"), y = table.number(r, "y_subpixel");
        int blob = -1;
        for (int b = 0; b < 3; ++b)
            if (std::hypot(x - (kMoving[b].x0 + kMoving[b].dx * frame), y - (kMoving[b].y0 + kMoving[b].dy * frame)) < 0.5)
                blob = b;
        QVERIFY2(blob >= 0 || std::hypot(x - 62, y - 58) < 0.5, qPrintable(table.rows[r].join(',')));
        QCOMPARE(table.rows[r].last().toInt(), blob);
    }
    // Without --track the rows are the same, without the column.
    const Outcome plain = runCli(kRun + QStringList{path("moving.tif")});
    QCOMPARE(plain.exitCode, 0);
    QString unlinked = run.out;
    unlinked.replace(QRegularExpression(",[-0-9]+\n"), "\n");
    QCOMPARE(plain.out, unlinked.replace(",track\n", "\n"));

    // One missing detection splits a track unless --gap bridges it.
    const auto tracksOf = [&](const QStringList &options) {
        const CsvTable holes = csvTable(runCli(kRun + QStringList{"--track", "4"} + options + QStringList{path("holed.tif")}).out);
        QSet<QString> numbers;
        for (const QStringList &row : holes.rows)
            numbers << row.last();
        return numbers.size();
    };
    QCOMPARE(tracksOf({}), 4 + 1);
    QCOMPARE(tracksOf({"--gap", "1"}), 3 + 1);

    // A batch: each sequence numbered on its own, a still picture in no
    // track; every other frame taken is linked as consecutive.
    const Outcome batch = runCli(kRun + QStringList{"--track", "4", "--min-length", "3", path("page2.tif"),
                                                    path("moving.tif")});
    QCOMPARE(batch.exitCode, 0);
    const CsvTable both = csvTable(batch.out);
    QCOMPARE(both.header.first(), QString("file"));
    QStringList movingRows;
    for (const QStringList &row : both.rows) {
        if (row.first() == path("page2.tif"))
            QCOMPARE(row.last(), QString("-1"));
        else
            movingRows << row.mid(1).join(',');
    }
    QCOMPARE(movingRows, rowsOf(run.out));
    const CsvTable stepped = csvTable(runCli(kRun + QStringList{"--track", "7", "--min-length", "2", "--frames", "::2",
                                                                "--tracks", path("stepped.csv"), path("moving.tif")}).out);
    QCOMPARE(stepped.rows.size(), 3 * kMovingFrames / 2 + 1);
    int linked = 0;
    for (const QStringList &row : stepped.rows)
        linked += row.last().toInt() >= 0;
    QCOMPARE(linked, 3 * kMovingFrames / 2);
    // The track table in the file's frames: 0 to 6, speeds per frame of the file.
    const CsvTable steppedTracks = csvTable(QString::fromUtf8(fileBytes(path("stepped.csv"))));
    QCOMPARE(steppedTracks.rows.size(), 3);
    for (int t = 0; t < 3; ++t) {
        QCOMPARE(steppedTracks.rows[t].mid(1, 3).join(','), QString("0,6,4"));
        QVERIFY(std::fabs(steppedTracks.number(t, "mean_speed") - std::hypot(kMoving[t].dx, kMoving[t].dy)) < 0.02);
    }
}

void TestSequences::trackTableAgreesWithRows()
{
    // The stack of tracksFollowBlobs, and the same frames half a second apart.
    std::vector<std::vector<uint16_t>> moving;
    for (int t = 0; t < kMovingFrames; ++t)
        moving.push_back(movingFrame(t));
    QVERIFY(writeTiff(path("timed.tif"), moving, "ImageJ=1.53t\nimages=8\nframes=8\nfinterval=0.5\n"));
    QVERIFY(writeTiff(path("moving.tif"), moving));

    const Outcome run = runCli(kRun + QStringList{"--track", "4", "--min-length", "3", "--tracks",
                                                  path("tracks.csv"), path("moving.tif")});
    QCOMPARE(run.exitCode, 0);
    const CsvTable rows = csvTable(run.out);
    const CsvTable tracks = csvTable(QString::fromUtf8(fileBytes(path("tracks.csv"))));
    QCOMPARE(tracks.header.join(','),
             QString("track,first_frame,last_frame,length,mean_x,mean_y,mean_speed,diffusion,time_unit"));
    QCOMPARE(tracks.rows.size(), 3);
    for (int t = 0; t < tracks.rows.size(); ++t) {
        QCOMPARE(tracks.rows[t][0].toInt(), t);
        int length = 0, first = INT_MAX, last = -1;
        double sumX = 0.0, sumY = 0.0;
        for (int r = 0; r < rows.rows.size(); ++r) {
            if (rows.rows[r].last().toInt() != t)
                continue;
            ++length;
            first = std::min(first, (int)rows.number(r, "frame"));
            last = std::max(last, (int)rows.number(r, "frame"));
            sumX += rows.number(r, "x_subpixel");
            sumY += rows.number(r, "y_subpixel");
        }
        QCOMPARE((int)tracks.number(t, "length"), length);
        QCOMPARE((int)tracks.number(t, "first_frame"), first);
        QCOMPARE((int)tracks.number(t, "last_frame"), last);
        QVERIFY(std::fabs(tracks.number(t, "mean_x") - sumX / length) <= 0.001);
        QVERIFY(std::fabs(tracks.number(t, "mean_y") - sumY / length) <= 0.001);
        // Straight at v pixels a frame: speed |v|, and an MSD of |v|^2 k^2
        // whose line over lags 1 .. 4 has slope 5 |v|^2, so D = 5 |v|^2 / 4.
        const double v2 = kMoving[t].dx * kMoving[t].dx + kMoving[t].dy * kMoving[t].dy;
        QVERIFY2(std::fabs(tracks.number(t, "mean_speed") - std::sqrt(v2)) < 0.02, qPrintable(tracks.rows[t].join(',')));
        QVERIFY2(std::fabs(tracks.number(t, "diffusion") - 5 * v2 / 4) < 0.1, qPrintable(tracks.rows[t].join(',')));
        QCOMPARE(tracks.rows[t].last(), QString("frame"));
    }

    // With time stamps, per second: twice the speed and D at two frames a
    // second; JSON when the name says so.
    const Outcome timed = runCli(kRun + QStringList{"--track", "4", "--min-length", "3", "--tracks",
                                                    path("tracks.json"), path("timed.tif")});
    QCOMPARE(timed.exitCode, 0);
    const QJsonArray sequences = QJsonDocument::fromJson(fileBytes(path("tracks.json"))).array();
    QCOMPARE(sequences.size(), 1);
    const QJsonObject sequence = sequences[0].toObject();
    QCOMPARE(sequence["time_unit"].toString(), QString("s"));
    QCOMPARE(sequence["file"].toString(), path("timed.tif"));
    const QJsonArray perSecond = sequence["tracks"].toArray();
    QCOMPARE(perSecond.size(), 3);
    for (int t = 0; t < 3; ++t) {
        const QJsonObject track = perSecond[t].toObject();
        QCOMPARE(track["length"].toInt(), (int)tracks.number(t, "length"));
        QVERIFY(std::fabs(track["mean_speed"].toDouble() / tracks.number(t, "mean_speed") - 2.0) < 1e-6);
        QVERIFY(std::fabs(track["diffusion"].toDouble() / tracks.number(t, "diffusion") - 2.0) < 1e-6);
    }
    // The features' JSON carries the same track numbers as the CSV.
    const Outcome json = runCli(kRun + QStringList{"--track", "4", "--min-length", "3", "--format", "json",
                                                   path("moving.tif")});
    QCOMPARE(json.exitCode, 0);
    const QJsonObject linked = QJsonDocument::fromJson(json.out.toUtf8()).array()[0].toObject();
    QCOMPARE(QJsonDocument(linked["tracking"].toObject()).toJson(QJsonDocument::Compact),
             QByteArray("{\"gap\":0,\"max_distance\":4,\"min_length\":3,\"motion\":\"none\"}"));
    const QJsonArray features = linked["features"].toArray();
    QCOMPARE(features.size(), rows.rows.size());
    for (int r = 0; r < features.size(); ++r)
        QCOMPARE(features[r].toObject()["track"].toInt(), rows.rows[r].last().toInt());
}

void TestSequences::trackOptionsRefused()
{
    const QList<QPair<QStringList, QString>> refused = {
        {{"--track", "-1"}, "invalid value '-1' for --track"},
        {{"--track", "0"}, "invalid value '0' for --track"},
        {{"--track", "inf"}, "invalid value 'inf' for --track"},
        {{"--track", "4", "--gap", "x"}, "invalid value 'x' for --gap"},
        {{"--track", "4", "--gap", "1001"}, "invalid value '1001' for --gap"},
        {{"--track", "4", "--min-length", "0"}, "invalid value '0' for --min-length"},
        {{"--track", "4", "--motion", "fast"}, "invalid value 'fast' for --motion"},
        {{"--gap", "1"}, "--gap applies only with --track"},
        {{"--tracks", path("t.csv")}, "--tracks applies only with --track"},
        {{"--track", "4", "--tracks", path("same.csv"), "--output", path("same.csv")}, "name the same file"},
    };
    for (const auto &bad : refused) {
        const Outcome outcome = runCli(bad.first + QStringList{path("stack.tif")});
        QCOMPARE(outcome.exitCode, 2);
        QVERIFY2(outcome.err.startsWith("hessian-maxima-cli: ") && outcome.err.contains(bad.second), qPrintable(outcome.err));
        QVERIFY(outcome.out.isEmpty());
    }
    // Nothing to link in a still picture: refused before anything runs.
    const Outcome still = runCli({"--track", "4", "--tracks", path("still.csv"), path("page2.tif")});
    QCOMPARE(still.exitCode, 2);
    QVERIFY2(still.err.contains("'" + path("page2.tif") + "' is a single picture"), qPrintable(still.err));
    QVERIFY(!QFile::exists(path("still.csv")));
    // The motion models run.
    for (const char *motion : {"none", "velocity", "kalman"})
        QCOMPARE(runCli(kRun + QStringList{"--track", "4", "--motion", motion, path("stack.tif")}).exitCode, 0);
}

QTEST_GUILESS_MAIN(TestSequences)
#include "tst_sequences.moc"
