// hessian-maxima-video-bench: a video read through the FFmpeg module and
// detected frame by frame, as a sequence run will do it. In one run, taking
// turns --repeat times (default 3), at each --sigma (default 2 and 5):
//   decode   the source alone: every frame decoded and converted to the
//            detector's layout, on the reader thread, nothing else;
//   detect   the detection job alone, on frames decoded beforehand (a
//            workspace reused, as a sequence reuses it);
//   pipeline both at once: the reader thread decodes ahead while this
//            thread detects;
// and prints frames per second and the pipeline against the bound
// 1 / (1/decode + 1/detect), which is what the two reach when they share the
// cores without waiting for each other.
//
//   hessian-maxima-video-bench --make-clip CLIP [--frames 600]
//       writes a 1920x1080 H.264 clip of blobs panning across the frame
//       (needs the ffmpeg program)
//   hessian-maxima-video-bench CLIP [--sigma 2,5] [--threshold 100]
//       [--repeat 3] [--decoder-threads N] [--detect-threads N] [--luma]
//   hessian-maxima-video-bench --memory CLIP [--sigma 2]
//       the pipeline once, then its peak resident memory (run it on clips of
//       600 and 6000 frames: the two should match)

#include "detectionjob.h"
#include "videosource.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QImage>
#include <QPainter>
#include <QProcess>
#include <QRandomGenerator>
#include <QStandardPaths>
#include <QStringList>
#include <QTemporaryDir>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <thread>
#include <vector>

#include <sys/resource.h>

namespace {

struct Settings {
    QString clip;
    QVector<float> sigmas = {2.0f, 5.0f};
    float threshold = 100.0f;
    int repeat = 3;
    int decoderThreads = 0;
    unsigned detectThreads = 0;
    bool luma = false;
};

[[noreturn]] void fail(const QString &message)
{
    std::fprintf(stderr, "hessian-maxima-video-bench: %s\n", qPrintable(message));
    std::exit(1);
}

// Light and dark Gaussian spots of sigma 2 to 8 on a gentle gradient,
// larger than the frame so that a crop can pan across it.
QImage blobField(int width, int height)
{
    QImage field(width, height, QImage::Format_Grayscale8);
    std::vector<float> level((size_t)width * height);
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x)
            level[(size_t)y * width + x] = 90.0f + 40.0f * x / width + 30.0f * y / height;
    QRandomGenerator random(7);
    const int spots = width * height / 4000;
    for (int i = 0; i < spots; ++i) {
        const double cx = random.bounded(width), cy = random.bounded(height);
        const double s = 2.0 + random.bounded(6.0);
        const double a = random.bounded(2) ? 120.0 : -80.0;
        const int r = (int)std::ceil(3 * s);
        for (int y = std::max(0, (int)cy - r); y < std::min(height, (int)cy + r + 1); ++y)
            for (int x = std::max(0, (int)cx - r); x < std::min(width, (int)cx + r + 1); ++x)
                level[(size_t)y * width + x] +=
                    (float)(a * std::exp(-((x - cx) * (x - cx) + (y - cy) * (y - cy)) / (2 * s * s)));
    }
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x)
            field.scanLine(y)[x] = (uchar)std::clamp((int)level[(size_t)y * width + x], 0, 255);
    return field;
}

void makeClip(const QString &clip, int frames)
{
    const QString ffmpeg = QStandardPaths::findExecutable("ffmpeg");
    if (ffmpeg.isEmpty())
        fail("making a clip needs the ffmpeg program (Debian package ffmpeg)");
    QTemporaryDir dir;
    const QString field = dir.filePath("field.png");
    if (!blobField(2560, 1440).save(field))
        fail("cannot write " + field);
    // The frame pans along an ellipse over the field, 8 s a turn.
    QProcess process;
    process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    process.start(ffmpeg, {"-hide_banner", "-loglevel", "error", "-nostdin", "-y", "-loop", "1", "-framerate", "25",
                           "-i", field, "-vf",
                           "crop=1920:1080:x='320+300*sin(2*PI*t/8)':y='180+170*cos(2*PI*t/8)',format=yuv420p",
                           "-frames:v", QString::number(frames), "-c:v", "libx264", "-preset", "veryfast", "-crf",
                           "20", "-movflags", "+faststart", clip});
    if (!process.waitForFinished(-1) || process.exitCode() != 0)
        fail("ffmpeg could not write " + clip);
    std::printf("wrote %s: %d frames of 1920x1080 H.264, 25 fps\n", qPrintable(clip), frames);
}

std::unique_ptr<VideoSource> openClip(const Settings &settings)
{
    VideoOptions options;
    options.luma = settings.luma;
    options.decoderThreads = settings.decoderThreads;
    QString error;
    std::unique_ptr<VideoSource> source = VideoSource::open(settings.clip, options, &error);
    if (!source)
        fail(settings.clip + ": " + error);
    return source;
}

DetectionSettings detection(const Settings &settings, float sigma)
{
    DetectionSettings d;
    d.sigma = sigma;
    d.threshold = settings.threshold;
    d.threads = settings.detectThreads;
    return d;
}

double seconds(const QElapsedTimer &timer)
{
    return (double)timer.nsecsElapsed() / 1e9;
}

// Frames per second of each, and the features of frame 0 as a check.
double decodeAlone(const Settings &settings, qint64 *frames)
{
    QElapsedTimer timer;
    timer.start();
    std::unique_ptr<VideoSource> source = openClip(settings);
    VideoFrame frame;
    QString error;
    qint64 count = 0;
    while (source->next(&frame, &error) == VideoRead::Frame)
        ++count;
    *frames = count;
    return count / seconds(timer);
}

double detectAlone(const Settings &settings, float sigma, const std::vector<QImage> &decoded, qint64 frames,
                   QString *firstFeatures)
{
    DetectionWorkspace workspace;
    const DetectionSettings d = detection(settings, sigma);
    QElapsedTimer timer;
    timer.start();
    for (qint64 i = 0; i < frames; ++i) {
        const DetectionResult result = runDetection(decoded[(size_t)(i % (qint64)decoded.size())], d, &workspace);
        if (i == 0)
            *firstFeatures = QString::number(result.features.size());
    }
    return frames / seconds(timer);
}

double pipeline(const Settings &settings, float sigma, QString *firstFeatures, qint64 *features)
{
    DetectionWorkspace workspace;
    const DetectionSettings d = detection(settings, sigma);
    QElapsedTimer timer;
    timer.start();
    std::unique_ptr<VideoSource> source = openClip(settings);
    VideoFrame frame;
    QString error;
    qint64 count = 0;
    *features = 0;
    while (source->next(&frame, &error) == VideoRead::Frame) {
        const DetectionResult result = runDetection(frame.image, d, &workspace);
        if (count == 0)
            *firstFeatures = QString::number(result.features.size());
        *features += result.features.size();
        ++count;
    }
    return count / seconds(timer);
}

double median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    const size_t half = values.size() / 2;
    return values.size() % 2 ? values[half] : (values[half - 1] + values[half]) / 2;
}

QString spread(const std::vector<double> &values)
{
    const auto [low, high] = std::minmax_element(values.begin(), values.end());
    return QString("%1-%2").arg(*low, 0, 'f', 1).arg(*high, 0, 'f', 1);
}

// Before timing: the first frames as the documented ffmpeg export gives
// them, when the ffmpeg program is there.
void checkFrames(const Settings &settings)
{
    const QString ffmpeg = QStandardPaths::findExecutable("ffmpeg");
    if (ffmpeg.isEmpty() || settings.luma) {
        std::printf("frames not checked against ffmpeg's export (%s)\n",
                    settings.luma ? "luma" : "no ffmpeg program");
        return;
    }
    const int frames = 3;
    QProcess process;
    process.start(ffmpeg, {"-hide_banner", "-loglevel", "error", "-nostdin", "-i", settings.clip, "-frames:v",
                           QString::number(frames), "-sws_flags", "bicubic+accurate_rnd+full_chroma_int+bitexact",
                           "-pix_fmt", "bgra", "-f", "rawvideo", "-"});
    process.waitForFinished(-1);
    const QByteArray exported = process.readAllStandardOutput();
    std::unique_ptr<VideoSource> source = openClip(settings);
    VideoFrame frame;
    QString error;
    for (int i = 0; i < frames; ++i) {
        if (source->next(&frame, &error) != VideoRead::Frame)
            fail("cannot decode frame " + QString::number(i));
        const qint64 bytes = (qint64)frame.image.width() * frame.image.height() * 4;
        if (exported.size() < (i + 1) * bytes)
            fail("ffmpeg exported too few frames");
        for (int y = 0; y < frame.image.height(); ++y)
            if (std::memcmp(frame.image.constScanLine(y), exported.constData() + i * bytes + (qint64)y * frame.image.width() * 4,
                            (size_t)frame.image.width() * 4) != 0)
                fail(QString("frame %1 differs from ffmpeg's export in row %2").arg(i).arg(y));
    }
    std::printf("frames 0-%d equal ffmpeg's export\n", frames - 1);
}

void benchmark(const Settings &settings)
{
    std::unique_ptr<VideoSource> probe = openClip(settings);
    const VideoInfo &info = probe->info();
    std::printf("%s: %s\n", qPrintable(settings.clip), qPrintable(info.description));
    std::printf("%s, %s; decoder threads %d, detection threads %s, %u hardware threads\n",
                settings.luma ? "luma (Y plane)" : "RGB32 (swscale)",
                qPrintable(videoLibraryVersions(nullptr)), settings.decoderThreads,
                settings.detectThreads ? qPrintable(QString::number(settings.detectThreads)) : "all",
                std::thread::hardware_concurrency());
    checkFrames(settings);
    // Detection alone reads frames decoded beforehand: the first 25.
    std::vector<QImage> decoded;
    VideoFrame frame;
    QString error;
    while (decoded.size() < 25 && probe->next(&frame, &error) == VideoRead::Frame)
        decoded.push_back(frame.image.copy());
    probe.reset();
    if (decoded.empty())
        fail(settings.clip + ": no frames");

    for (const float sigma : settings.sigmas) {
        std::vector<double> decodeFps, detectFps, pipelineFps, ratio;
        qint64 frames = 0;
        for (int turn = 0; turn < settings.repeat; ++turn) {
            QString alone, piped;
            qint64 features = 0;
            decodeFps.push_back(decodeAlone(settings, &frames));
            detectFps.push_back(detectAlone(settings, sigma, decoded, frames, &alone));
            pipelineFps.push_back(pipeline(settings, sigma, &piped, &features));
            if (alone != piped)
                fail(QString("frame 0 gave %1 features alone and %2 in the pipeline").arg(alone, piped));
            const double bound = 1.0 / (1.0 / decodeFps.back() + 1.0 / detectFps.back());
            ratio.push_back(pipelineFps.back() / bound);
            if (turn == 0)
                std::printf("sigma %g: %lld frames, %lld features in all, %s on frame 0\n", sigma,
                            (long long)frames, (long long)features, qPrintable(piped));
        }
        const double bound = 1.0 / (1.0 / median(decodeFps) + 1.0 / median(detectFps));
        std::printf("  decode alone    %7.1f fps (%s)\n", median(decodeFps), qPrintable(spread(decodeFps)));
        std::printf("  detect alone    %7.1f fps (%s)\n", median(detectFps), qPrintable(spread(detectFps)));
        std::printf("  bound           %7.1f fps\n", bound);
        std::printf("  pipeline        %7.1f fps (%s), %.0f%% of the bound (turns %s%%)\n", median(pipelineFps),
                    qPrintable(spread(pipelineFps)), 100.0 * median(pipelineFps) / bound,
                    qPrintable(spread([&] {
                        std::vector<double> percent;
                        for (double r : ratio)
                            percent.push_back(100.0 * r);
                        return percent;
                    }())));
    }
}

void memory(const Settings &settings)
{
    QString first;
    qint64 features = 0;
    const double fps = pipeline(settings, settings.sigmas.front(), &first, &features);
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    std::printf("%s: pipeline at sigma %g, %.1f fps, %lld features; peak resident memory %ld KiB\n",
                qPrintable(settings.clip), settings.sigmas.front(), fps, (long long)features, usage.ru_maxrss);
}

}  // namespace

int main(int argc, char **argv)
{
    QCoreApplication application(argc, argv);
    QStringList arguments = application.arguments().mid(1);
    Settings settings;
    QString makeClipPath;
    int frames = 600;
    bool memoryOnly = false;
    for (int i = 0; i < arguments.size(); ++i) {
        const QString a = arguments[i];
        const auto value = [&]() -> QString {
            if (i + 1 >= arguments.size())
                fail(a + " needs a value");
            return arguments[++i];
        };
        if (a == "--make-clip")
            makeClipPath = value();
        else if (a == "--frames")
            frames = value().toInt();
        else if (a == "--sigma") {
            settings.sigmas.clear();
            for (const QString &s : value().split(','))
                settings.sigmas << s.toFloat();
        } else if (a == "--threshold")
            settings.threshold = value().toFloat();
        else if (a == "--repeat")
            settings.repeat = std::max(1, value().toInt());
        else if (a == "--decoder-threads")
            settings.decoderThreads = value().toInt();
        else if (a == "--detect-threads")
            settings.detectThreads = value().toUInt();
        else if (a == "--luma")
            settings.luma = true;
        else if (a == "--memory")
            memoryOnly = true;
        else if (a.startsWith("-"))
            fail("unknown option " + a);
        else
            settings.clip = a;
    }
    if (!makeClipPath.isEmpty()) {
        makeClip(makeClipPath, frames);
        return 0;
    }
    if (settings.clip.isEmpty() || settings.sigmas.isEmpty())
        fail("usage: hessian-maxima-video-bench [--make-clip] CLIP [options] (see the source's head)");
    if (settings.decoderThreads <= 0)
        settings.decoderThreads = std::max(1, (int)std::thread::hardware_concurrency() - 1);
    if (memoryOnly)
        memory(settings);
    else
        benchmark(settings);
    return 0;
}
