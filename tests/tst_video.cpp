// Video through the FFmpeg module: frames against the pictures the ffmpeg
// program exports, time stamps, counts and seeks, damaged files, standard
// input, a live source read too slowly, and the annotated-video writer.
// Every clip is made by the ffmpeg program at test time; without it the
// suite is skipped.

#include "annotation.h"
#include "detectionjob.h"
#include "frameloading.h"
#include "testimages.h"
#include "videosource.h"
#include "videowriter.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QtTest>

#include <cmath>
#include <cstring>
#include <thread>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// An MP4 of a few frames whose index claims 3 223 857 (found by fuzzing:
// naming the lost frames one by one took minutes and gigabytes).
const char kClaimsMillionsOfFrames[] =
    "000000206674797069736f6d0000020069736f6d69736f32617663316d703431000003726d6f6f760000006c6d766864"
    "000000000000000000000000000003e8000000c800010000010000000000000000000000000100000000000000000000"
    "000000000001000000000000000000000000000040000000000000000000000000000000000000000000000000000000"
    "000000020000029c7472616b0000005c746b68640000000300000000000000000000000100000000000000c800000000"
    "000000000000000000000000000100000000000000000000000000000001000000000000000000000000000040000000"
    "002000000018000000000024656474730000001c656c73740000000000800001000000c8000004000001000000000214"
    "6d646961000000206d6468640000000000000000000000000000320000000a0055c400000000002d68646c7200000000"
    "0000000076696465000000000000000000000000566964656f48616e646c657200000001bf6d696e6600000014766d68"
    "640000000100000000000000000000002464696e660000001c6472656600000000000000010000000c75726c20000000"
    "010000017f7374626c000000bf737473640000000000000001000000af61766331000000000000000100000000000000"
    "000000000000000000002000180048000000480000000000000001154c61766335392e33372e313030206c6962783236"
    "34000000000000000000000018ffff00000035617663430164000affe100180e64000aacd9497e5c0440000003004000"
    "000c83c489658001000668ebe3cb22c0fdf8f80000000010706173700000000100000001000000146274727400000000"
    "0000e0d80000e0d800000018737474730000000000000001003131313131313131313131313131313131313131313131"
    "31313131313131313131313131313131313131313131313131313131313131312a2a2a2a2a2a2a2a2053544152542053"
    "4352495054202a2a2a2a2a2a2a2a31313131313131313131313131313131313131313131313131313131313131313131"
    "000005000002000000001873747373000000000000000200000001000000040000003063747473000000000000000400"
    "000001000004000000000100000600000000010000020000000002000004000000001c73747363000000000000000100"
    "0000010000000500000001000000287374737a000000000000000000000005000004140000000c0000000c0000016700"
    "00000c0000496635392e32372e31303044898840690000000000001654ae6bc169627670782d76703967c8a245a38844"
    "55524154494f4e44879430303a30303a30302e32303030303030303000001f43b6754270e78100a34216810000808249"
    "83420001f0017600383d8bfe8e5419621068f72ddc49e5c20ae16386174d1a979ce4dad28d7d326d26fb1a1d1529e0e1"
    "0b93d3aa485187f3985140dc8dccbfed7c9fd5a5d32abea9f3b13f05fb5a711faa745b14d9c0c6f5fdd54563ca044ea4"
    "ffffffffff00147374636f0000000000000001000003a200000062756474610000005a6d657461000000000000002168"
    "646c7200000000000000006d6469726170706c0000000000000000000000002d696c737400000025a9746f6f0000001d"
    "6461746100000001000000004c61766635392e32372e3130300000000866726565000005a76d646174000002aa0605ff"
    "ffa6dc45e9bde6d948b7962cd820d923eeef78323634202d20636f726520313634207233303935206261656534303020"
    "2d20482e3236342f4d5045472d342041564320636f646563202d20436f70796c65667420323030332d32303232202d20"
    "687474703a2f2f7777772e766964656f6c616e2e6f72672f783236342e68746d6c202d206f7074696f6e733a20636162"
    "61633d31207265663d33206465626c6f636b3d313a303a3020616e616c7973653d3078333a3078313133206d653d6865"
    "78207375626d653d37207073793d31207073795f72643d3171636f6d703d302e36302071706d696e3d302071706d6178"
    "3d";

const int kWidth = 64;
const int kHeight = 48;
const int kFrames = 12;
// The export that gives a video's frames as the program decodes them.
const QStringList kExportFlags = {"-sws_flags", "bicubic+accurate_rnd+full_chroma_int+bitexact"};

struct Decoded {
    QVector<VideoFrame> frames;
    VideoRead end = VideoRead::Failed;
    QString error;
    VideoDamage damage;
    QStringList messages;
};

Decoded decodeAll(VideoSource *source)
{
    Decoded d;
    VideoFrame frame;
    for (;;) {
        d.end = source->next(&frame, &d.error);
        if (d.end != VideoRead::Frame)
            break;
        VideoFrame kept = frame;
        kept.image = frame.image.copy();  // the buffer goes back for reuse
        d.frames << kept;
    }
    d.damage = source->damage();
    d.messages = source->messages();
    return d;
}

Decoded decodeFile(const QString &path, VideoOptions options = VideoOptions())
{
    QString error;
    std::unique_ptr<VideoSource> source = VideoSource::open(path, options, &error);
    if (!source) {
        Decoded d;
        d.error = error;
        return d;
    }
    return decodeAll(source.get());
}

// The colour channels, pixel by pixel (the top byte of RGB32 is not a channel).
bool sameRgb(const QImage &a, const QImage &b)
{
    if (a.size() != b.size())
        return false;
    const QImage x = a.convertToFormat(QImage::Format_RGB32);
    const QImage y = b.convertToFormat(QImage::Format_RGB32);
    for (int row = 0; row < x.height(); ++row) {
        const QRgb *p = reinterpret_cast<const QRgb *>(x.constScanLine(row));
        const QRgb *q = reinterpret_cast<const QRgb *>(y.constScanLine(row));
        for (int col = 0; col < x.width(); ++col)
            if ((p[col] & 0xffffff) != (q[col] & 0xffffff))
                return false;
    }
    return true;
}

// Standard error of this process, kept in a file while a test reads
// damaged videos.
class StderrCapture
{
public:
    explicit StderrCapture(const QString &path) : file(path)
    {
        std::fflush(stderr);
        saved = ::dup(STDERR_FILENO);
        const int fd = ::open(QFile::encodeName(path).constData(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        ::dup2(fd, STDERR_FILENO);
        ::close(fd);
    }
    QByteArray finish()
    {
        std::fflush(stderr);
        ::dup2(saved, STDERR_FILENO);
        ::close(saved);
        QFile f(file);
        f.open(QIODevice::ReadOnly);
        return f.readAll();
    }

private:
    QString file;
    int saved;
};

}  // namespace

class TestVideo : public QObject
{
    Q_OBJECT

private:
    QString ffmpeg;
    QTemporaryDir dir;

    QString path(const QString &name) const { return dir.filePath(name); }

    bool run(const QStringList &arguments, QByteArray *output = nullptr)
    {
        QProcess process;
        process.start(ffmpeg, QStringList{"-hide_banner", "-loglevel", "error", "-nostdin", "-y"} + arguments);
        if (!process.waitForFinished(120000) || process.exitStatus() != QProcess::NormalExit
            || process.exitCode() != 0) {
            qWarning("ffmpeg %s: %s", qPrintable(arguments.join(' ')), process.readAllStandardError().constData());
            return false;
        }
        if (output)
            *output = process.readAllStandardOutput();
        return true;
    }

    // A clip of kFrames frames of FFmpeg's moving test pattern.
    bool makeClip(const QString &name, const QStringList &encoding, int frames = kFrames)
    {
        return run(QStringList{"-f", "lavfi", "-i", QString("testsrc2=size=%1x%2:rate=25").arg(kWidth).arg(kHeight),
                               "-frames:v", QString::number(frames)}
                   + encoding + QStringList{path(name)});
    }

    // The frames as the ffmpeg program exports them to RGB PNG files.
    QVector<QImage> exported(const QString &name)
    {
        const QString folder = path(name + "-png");
        QDir().mkpath(folder);
        QVector<QImage> frames;
        if (!run(QStringList{"-i", path(name)} + kExportFlags
                 + QStringList{"-pix_fmt", "rgb24", folder + "/%03d.png"}))
            return frames;
        for (int i = 1;; ++i) {
            QImage frame;
            QString error;
            if (!loadFrame(QString("%1/%2.png").arg(folder).arg(i, 3, 10, QChar('0')), &frame, &error))
                break;
            frames << frame;
        }
        return frames;
    }

private slots:
    void initTestCase()
    {
        ffmpeg = QStandardPaths::findExecutable("ffmpeg");
        if (ffmpeg.isEmpty())
            QSKIP("the ffmpeg program is not installed (Debian package ffmpeg): no clips to test with");
        QVERIFY(dir.isValid());
        const QStringList h264 = {"-c:v", "libx264", "-pix_fmt", "yuv420p", "-bf", "2", "-g", "5"};
        QVERIFY(makeClip("colour.mkv", {"-c:v", "ffv1", "-pix_fmt", "yuv420p"}));
        QVERIFY(makeClip("grey.mkv", {"-c:v", "ffv1", "-pix_fmt", "gray"}));
        QVERIFY(makeClip("rgb.mkv", {"-c:v", "ffv1", "-pix_fmt", "bgr0"}));
        QVERIFY(makeClip("clip.mp4", h264 + QStringList{"-movflags", "+faststart"}));
        QVERIFY(makeClip("bt709.mp4", h264 + QStringList{"-colorspace", "bt709", "-color_range", "tv"}));
        QVERIFY(makeClip("full.avi", {"-c:v", "mjpeg", "-pix_fmt", "yuvj422p"}));
        QVERIFY(makeClip("vp9.webm", {"-c:v", "libvpx-vp9", "-pix_fmt", "yuv444p", "-deadline", "realtime"}));
        QVERIFY(makeClip("colour.nut", {"-c:v", "ffv1", "-pix_fmt", "yuv420p"}));
        // Frame k at k * k / 25 seconds.
        QVERIFY(makeClip("variable.mkv", {"-vf", "settb=1/1000,setpts=N*N*40", "-fps_mode", "passthrough", "-c:v", "ffv1"}));
    }

    void framesEqualExportedPictures_data()
    {
        QTest::addColumn<QString>("clip");
        QTest::addColumn<QString>("matrix");
        QTest::addColumn<QString>("range");
        QTest::newRow("FFV1 colour") << "colour.mkv" << "bt601" << "limited";
        QTest::newRow("FFV1 grey") << "grey.mkv" << "bt601" << "full";
        QTest::newRow("FFV1 RGB") << "rgb.mkv" << "rgb" << "full";
        QTest::newRow("H.264") << "clip.mp4" << "bt601" << "limited";
        QTest::newRow("H.264 BT.709") << "bt709.mp4" << "bt709" << "limited";
        QTest::newRow("MJPEG full range") << "full.avi" << "bt601" << "full";
        QTest::newRow("VP9 4:4:4") << "vp9.webm" << "bt601" << "limited";
    }

    // The documented export gives the same pixels, so the same features.
    void framesEqualExportedPictures()
    {
        QFETCH(QString, clip);
        QFETCH(QString, matrix);
        QFETCH(QString, range);
        const QVector<QImage> pictures = exported(clip);
        QCOMPARE(pictures.size(), kFrames);
        Decoded decoded;
        // One thread, and the decoder and the conversion on three.
        for (const int threads : {1, 3}) {
            VideoOptions options;
            options.decoderThreads = threads;
            decoded = decodeFile(path(clip), options);
            QCOMPARE(decoded.error, QString());
            QCOMPARE(decoded.end, VideoRead::End);
            QCOMPARE(decoded.frames.size(), kFrames);
            for (int i = 0; i < kFrames; ++i) {
                QCOMPARE(decoded.frames[i].image.format(), QImage::Format_RGB32);
                QVERIFY2(sameRgb(decoded.frames[i].image, pictures[i]),
                         qPrintable(QString("frame %1 on %2 threads").arg(i).arg(threads)));
            }
        }
        const DetectionResult fromVideo = runDetectionJob(decoded.frames[5].image, 2.0f, 10.0f);
        const DetectionResult fromPicture = runDetectionJob(pictures[5], 2.0f, 10.0f);
        QVERIFY(!fromVideo.features.isEmpty());
        QCOMPARE(featureList(fromVideo.features), featureList(fromPicture.features));

        QString error;
        const std::unique_ptr<VideoSource> source = VideoSource::open(path(clip), VideoOptions(), &error);
        QVERIFY(source);
        QCOMPARE(source->info().colourMatrix, matrix);
        QCOMPARE(source->info().colourRange, range);
        QCOMPARE(source->info().width, kWidth);
        QCOMPARE(source->info().height, kHeight);
    }

    // Luma mode hands over the decoder's Y plane untouched.
    void lumaIsTheDecodedLumaPlane()
    {
        VideoOptions options;
        options.luma = true;
        const Decoded decoded = decodeFile(path("clip.mp4"), options);
        QCOMPARE(decoded.frames.size(), kFrames);
        QByteArray planes;
        QVERIFY(run({"-i", path("clip.mp4"), "-f", "rawvideo", "-pix_fmt", "yuv420p", "-"}, &planes));
        const int frameBytes = kWidth * kHeight * 3 / 2;
        QCOMPARE(planes.size(), frameBytes * kFrames);
        for (int i = 0; i < kFrames; ++i) {
            const QImage &y = decoded.frames[i].image;
            QCOMPARE(y.format(), QImage::Format_Grayscale8);
            for (int row = 0; row < kHeight; ++row)
                QVERIFY(std::memcmp(y.constScanLine(row), planes.constData() + i * frameBytes + row * kWidth,
                                    kWidth) == 0);
        }
    }

    // Buffers go back to the decoder only once the reader lets go of them:
    // frames it keeps, shared or not, stay as decoded after later frames,
    // and after their source is gone.
    void keptFramesStayIntact()
    {
        for (const bool luma : {false, true}) {
            VideoOptions options;
            options.luma = luma;
            const Decoded copies = decodeFile(path("clip.mp4"), options);
            QCOMPARE(copies.frames.size(), kFrames);

            QString error;
            std::unique_ptr<VideoSource> source = VideoSource::open(path("clip.mp4"), options, &error);
            QVERIFY2(source, qPrintable(error));
            QVector<QImage> kept;
            VideoFrame frame;
            int index = 0;
            while (source->next(&frame, &error) == VideoRead::Frame) {
                // Every other frame kept as it is handed out; the others
                // are given back to be decoded into again.
                if (index++ % 2 == 0)
                    kept << frame.image;
            }
            QCOMPARE(error, QString());
            source.reset();
            frame = VideoFrame();
            QCOMPARE(kept.size(), kFrames / 2);
            for (int i = 0; i < kept.size(); ++i)
                QVERIFY2(kept[i] == copies.frames[2 * i].image,
                         qPrintable(QString("frame %1, %2").arg(2 * i).arg(luma ? "luma" : "colour")));
        }
    }

    void timeStampsAndCounts()
    {
        QString error;
        std::unique_ptr<VideoSource> mp4 = VideoSource::open(path("clip.mp4"), VideoOptions(), &error);
        QVERIFY2(mp4, qPrintable(error));
        const VideoInfo &info = mp4->info();
        QCOMPARE(info.frameCount, qint64(kFrames));
        QVERIFY(info.frameCountExact);
        QCOMPARE(info.frameRate, 25.0);
        QCOMPARE(info.codec, QString("h264"));
        QVERIFY(!info.live);
        QVERIFY(info.seekable);
        const Decoded frames = decodeAll(mp4.get());
        QCOMPARE(frames.frames.size(), kFrames);
        for (int i = 0; i < kFrames; ++i) {
            QCOMPARE(frames.frames[i].index, qint64(i));
            QVERIFY(frames.frames[i].hasTime);
            QVERIFY(std::abs(frames.frames[i].time - i * 0.04) < 1e-9);
        }
        QVERIFY(!frames.damage.any());

        // Matroska does not count its frames: an estimate from the duration.
        std::unique_ptr<VideoSource> mkv = VideoSource::open(path("colour.mkv"), VideoOptions(), &error);
        QVERIFY(mkv);
        QVERIFY(!mkv->info().frameCountExact);
        QVERIFY(std::abs(mkv->info().frameCount - kFrames) <= 1);

        // Variable frame rate: times from the container, numbers in order.
        const Decoded variable = decodeFile(path("variable.mkv"));
        QCOMPARE(variable.frames.size(), kFrames);
        for (int i = 0; i < kFrames; ++i) {
            QCOMPARE(variable.frames[i].index, qint64(i));
            QVERIFY2(std::abs(variable.frames[i].time - i * i / 25.0) < 1e-9,
                     qPrintable(QString("frame %1 at %2").arg(i).arg(variable.frames[i].time)));
        }
    }

    void seekGivesTheFrameReadInOrder_data()
    {
        QTest::addColumn<QString>("clip");
        QTest::newRow("H.264 with B-frames") << "clip.mp4";
        QTest::newRow("FFV1 Matroska") << "colour.mkv";
        QTest::newRow("variable frame rate") << "variable.mkv";
    }

    void seekGivesTheFrameReadInOrder()
    {
        QFETCH(QString, clip);
        const Decoded all = decodeFile(path(clip));
        QCOMPARE(all.frames.size(), kFrames);
        QString error;
        std::unique_ptr<VideoSource> source = VideoSource::open(path(clip), VideoOptions(), &error);
        QVERIFY(source);
        VideoFrame frame;
        for (const int target : {7, 3, 11, 0, 8}) {
            QVERIFY2(source->seek(target, &error), qPrintable(error));
            for (int i = target; i < std::min(target + 2, kFrames); ++i) {
                QCOMPARE(source->next(&frame, &error), VideoRead::Frame);
                QCOMPARE(frame.index, qint64(i));
                QCOMPARE(frame.time, all.frames[i].time);
                QVERIFY2(sameRgb(frame.image, all.frames[i].image), qPrintable(QString("frame %1").arg(i)));
            }
        }
        QVERIFY(source->seek(kFrames + 5, &error));
        QCOMPARE(source->next(&frame, &error), VideoRead::End);
        QVERIFY(!source->damage().any());
    }

    // Every readable frame comes out, the others are counted and named,
    // and FFmpeg's complaints stay off standard error.
    void damagedFilesGiveEveryReadableFrame()
    {
        QFile whole(path("clip.mp4"));
        QVERIFY(whole.open(QIODevice::ReadOnly));
        const QByteArray bytes = whole.readAll();

        QFile cut(path("cut.mp4"));
        QVERIFY(cut.open(QIODevice::WriteOnly));
        cut.write(bytes.left(bytes.size() * 6 / 10));
        cut.close();

        QByteArray corrupt = bytes;
        for (int i = 0; i < 48; ++i)
            corrupt[corrupt.size() / 2 + i] = char(0xff - i);
        QFile damaged(path("corrupt.mp4"));
        QVERIFY(damaged.open(QIODevice::WriteOnly));
        damaged.write(corrupt);
        damaged.close();

        StderrCapture stderrCapture(path("stderr.txt"));
        const Decoded truncated = decodeFile(path("cut.mp4"));
        const Decoded garbled = decodeFile(path("corrupt.mp4"));
        QString error;
        const std::unique_ptr<VideoSource> noVideo = VideoSource::openBytes(bytes.left(200), VideoOptions(), &error);
        const QByteArray printed = stderrCapture.finish();

        QCOMPARE(truncated.end, VideoRead::End);
        QVERIFY(truncated.frames.size() > 0);
        QVERIFY(truncated.damage.cutShort);
        QVERIFY(truncated.damage.lostFrames > 0);
        QCOMPARE(truncated.frames.size() + truncated.damage.lostFrames, qint64(kFrames));
        QCOMPARE(truncated.damage.lost.back().last, qint64(kFrames - 1));
        QVERIFY2(truncated.damage.text().contains("lost"), qPrintable(truncated.damage.text()));
        for (int i = 1; i < truncated.frames.size(); ++i)
            QVERIFY(truncated.frames[i].index > truncated.frames[i - 1].index);

        QCOMPARE(garbled.end, VideoRead::End);
        QVERIFY(garbled.damage.any());
        QVERIFY(garbled.frames.size() + garbled.damage.lostFrames == kFrames);
        QVERIFY(!garbled.messages.isEmpty());

        QVERIFY(!noVideo);
        QVERIFY2(!error.isEmpty(), "a cut header opens nothing and says why");
        QCOMPARE(printed, QByteArray());

        // Read again after a seek, the lost frames are still named once.
        std::unique_ptr<VideoSource> again = VideoSource::open(path("cut.mp4"), VideoOptions(), &error);
        decodeAll(again.get());
        QVERIFY(again->seek(0, &error));
        const Decoded twice = decodeAll(again.get());
        QCOMPARE(twice.damage.lostFrames, truncated.damage.lostFrames);
        QCOMPARE(twice.damage.lost.size(), truncated.damage.lost.size());

        // Millions of frames claimed over a few bytes: one span, at once.
        std::unique_ptr<VideoSource> claiming =
            VideoSource::openBytes(QByteArray::fromHex(kClaimsMillionsOfFrames), VideoOptions(), &error);
        QVERIFY2(claiming, qPrintable(error));
        const Decoded claimed = decodeAll(claiming.get());
        QCOMPARE(claimed.end, VideoRead::End);
        QCOMPARE(claimed.frames.size() + claimed.damage.lostFrames, qint64(3223857));
        QVERIFY(claimed.damage.lost.size() <= 2);
    }

    void framesOverTheLimitAreRefused()
    {
        VideoOptions options;
        options.maxFramePixels = qint64(kWidth) * kHeight - 1;
        QString error;
        QVERIFY(!VideoSource::open(path("clip.mp4"), options, &error));
        QVERIFY2(error.contains("larger than"), qPrintable(error));
    }

    // "-" reads standard input as a stream, as from `ffmpeg ... -f nut -`.
    void standardInputIsAStream()
    {
        QFile nut(path("colour.nut"));
        QVERIFY(nut.open(QIODevice::ReadOnly));
        const QByteArray bytes = nut.readAll();
        int ends[2];
        QVERIFY(::pipe(ends) == 0);
        const int savedInput = ::dup(STDIN_FILENO);
        ::dup2(ends[0], STDIN_FILENO);
        ::close(ends[0]);
        std::thread writer([&] {
            for (qint64 at = 0; at < bytes.size();) {
                const ssize_t n = ::write(ends[1], bytes.constData() + at, size_t(bytes.size() - at));
                if (n <= 0)
                    break;
                at += n;
            }
            ::close(ends[1]);
        });
        VideoOptions options;
        options.pacing = VideoOptions::Pacing::KeepAll;
        QString error;
        std::unique_ptr<VideoSource> source = VideoSource::open("-", options, &error);
        Decoded piped;
        if (source)
            piped = decodeAll(source.get());
        source.reset();
        writer.join();
        ::dup2(savedInput, STDIN_FILENO);
        ::close(savedInput);
        QVERIFY2(!piped.frames.isEmpty(), qPrintable(error + piped.error));

        const Decoded file = decodeFile(path("colour.nut"));
        QCOMPARE(piped.end, VideoRead::End);
        QCOMPARE(piped.frames.size(), kFrames);
        for (int i = 0; i < kFrames; ++i) {
            QCOMPARE(piped.frames[i].index, qint64(i));
            QCOMPARE(piped.frames[i].time, file.frames[i].time);
            QVERIFY(sameRgb(piped.frames[i].image, file.frames[i].image));
        }
    }

    // A source paced at 25 frames a second, read at under 8: the newest
    // frame wins, nothing queues, every frame is either read or counted.
    void liveSourceKeepsTheNewestFrame()
    {
        const QString fifo = path("live.nut");
        QVERIFY(::mkfifo(QFile::encodeName(fifo).constData(), 0600) == 0);
        const int sent = 30;
        QProcess feeder;
        feeder.start(ffmpeg, {"-hide_banner", "-loglevel", "error", "-nostdin", "-y", "-re", "-f", "lavfi", "-i",
                              QString("testsrc2=size=%1x%2:rate=25").arg(kWidth).arg(kHeight), "-frames:v",
                              QString::number(sent), "-c:v", "ffv1", "-f", "nut", fifo});
        QVERIFY(feeder.waitForStarted());
        QString error;
        std::unique_ptr<VideoSource> source = VideoSource::open(fifo, VideoOptions(), &error);
        QVERIFY2(source, qPrintable(error));
        QVERIFY(source->info().live);
        QVERIFY(!source->info().seekable);
        QVERIFY(!source->seek(3, &error));
        VideoFrame frame;
        QVector<qint64> read;
        while (source->next(&frame, &error) == VideoRead::Frame) {
            read << frame.index;
            std::this_thread::sleep_for(std::chrono::milliseconds(130));
        }
        QVERIFY(feeder.waitForFinished(60000));
        const VideoDamage damage = source->damage();
        for (int i = 1; i < read.size(); ++i)
            QVERIFY(read[i] > read[i - 1]);
        QCOMPARE(read.back(), qint64(sent - 1));
        QCOMPARE(read.size() + damage.droppedFrames, qint64(sent));
        QVERIFY2(damage.droppedFrames > 0, "a reader at a third of the rate drops frames");
        QVERIFY(!damage.any());
    }

    // Annotated frames written as FFV1 read back exactly, with their time
    // stamps; H.264 files open again with every frame.
    void writtenVideosReadBack()
    {
        const Decoded source = decodeFile(path("colour.mkv"));
        QCOMPARE(source.frames.size(), kFrames);
        QString error;
        std::unique_ptr<VideoSource> opened = VideoSource::open(path("colour.mkv"), VideoOptions(), &error);
        VideoWriterOptions options;
        options.width = kWidth;
        options.height = kHeight;
        options.timeBaseNumerator = opened->info().timeBaseNumerator;
        options.timeBaseDenominator = opened->info().timeBaseDenominator;
        options.frameRate = opened->info().frameRate;

        QVector<QImage> annotated;
        for (const VideoFrame &frame : source.frames) {
            const DetectionResult result = runDetectionJob(frame.image, 2.0f, 10.0f);
            annotated << annotatedPicture(frame.image, result.features, featureCircleLook(result.measures, false));
        }
        for (const QString name : {"annotated.mkv", "annotated.mp4"}) {
            std::unique_ptr<VideoWriter> writer = VideoWriter::open(path(name), options, &error);
            QVERIFY2(writer, qPrintable(error));
            for (int i = 0; i < kFrames; ++i)
                QVERIFY2(writer->write(annotated[i], source.frames[i].timeStamp, &error), qPrintable(error));
            QVERIFY2(writer->finish(&error), qPrintable(error));
        }
        const Decoded lossless = decodeFile(path("annotated.mkv"));
        QCOMPARE(lossless.frames.size(), kFrames);
        for (int i = 0; i < kFrames; ++i) {
            QVERIFY2(sameRgb(lossless.frames[i].image, annotated[i]), qPrintable(QString("frame %1").arg(i)));
            QCOMPARE(lossless.frames[i].time, source.frames[i].time);
        }
        const Decoded h264 = decodeFile(path("annotated.mp4"));
        QCOMPARE(h264.frames.size(), kFrames);
        QCOMPARE(h264.frames.back().time, source.frames.back().time);

        // Grey frames stay grey.
        options.grey = true;
        std::unique_ptr<VideoWriter> grey = VideoWriter::open(path("grey-out.mkv"), options, &error);
        QVERIFY2(grey, qPrintable(error));
        const QImage level = annotated[0].convertToFormat(QImage::Format_Grayscale8);
        QVERIFY(grey->write(level, -1, &error));
        QVERIFY(grey->finish(&error));
        VideoOptions luma;
        luma.luma = true;
        const Decoded back = decodeFile(path("grey-out.mkv"), luma);
        QCOMPARE(back.frames.size(), 1);
        QCOMPARE(back.frames[0].image, level);

        QVERIFY(!VideoWriter::open(path("annotated.gif"), options, &error));
        QVERIFY(error.contains(".mkv"));
    }

    // Without the module the programs run on, and say what is missing.
    void missingModuleIsReported()
    {
        if (qEnvironmentVariableIsSet("HESSIAN_VIDEO_MODULE")) {
            QString error;
            QVERIFY(!VideoSource::open(path("clip.mp4"), VideoOptions(), &error));
            QVERIFY2(error.startsWith("video support is not installed: "), qPrintable(error));
            return;
        }
        QProcess self;
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert("HESSIAN_VIDEO_MODULE", path("nowhere/hessian-video.so"));
        self.setProcessEnvironment(environment);
        self.start(QCoreApplication::applicationFilePath(), {"missingModuleIsReported"});
        QVERIFY(self.waitForFinished(60000));
        QVERIFY2(self.exitCode() == 0, self.readAllStandardOutput().constData());
    }
};

QTEST_GUILESS_MAIN(TestVideo)
#include "tst_video.moc"
