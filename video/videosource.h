#ifndef VIDEOSOURCE_H
#define VIDEOSOURCE_H

#include <QByteArray>
#include <QImage>
#include <QString>
#include <QStringList>
#include <QVector>

#include <memory>

// Frames of a video file, a camera or a live stream, decoded by FFmpeg's
// libraries. Those live in a module of their own (hessian-video.so) that is
// opened when the first video is: the programs start without them, and a
// machine without them reads every other format as before.

// How a source is read.
struct VideoOptions {
    // The decoder's luma plane as an 8-bit grey frame
    // (QImage::Format_Grayscale8) instead of the colour conversion to
    // QImage::Format_RGB32. Faster; the levels differ (docs/video.md).
    bool luma = false;

    // Frames turned as the stream's display matrix says they are shown (a
    // phone's portrait video): quarter turns and flips, moving pixels
    // without computing any. False: as stored.
    bool autorotate = true;

    // Threads of the decoder and of the colour conversion (which gives the
    // same pixels on any number); 0: one fewer than the hardware has (at
    // least one), so that a core is left for detection.
    int decoderThreads = 0;

    // Whether frames may be dropped. A live source (a camera, a pipe,
    // standard input) goes on whether or not it is read: only the newest
    // decoded frame waits, and the frames it replaces are counted as
    // dropped. A file waits for its reader and loses nothing.
    enum class Pacing { Auto, KeepAll, NewestWins };
    Pacing pacing = Pacing::Auto;  // Auto: NewestWins for live sources

    // Frames decoded ahead of the reader (KeepAll); at least 1.
    int readAhead = 4;

    // The demuxer by FFmpeg's name ("v4l2", "nut", "matroska", ...); empty:
    // found from the content (and "v4l2" for a /dev/video device).
    QString format;

    // The largest frame decoded, in pixels; larger ones are refused before
    // any of their pixels is allocated. 0: the readers' kMaxFramePixels.
    qint64 maxFramePixels = 0;
};

// What a source says about itself once opened.
struct VideoInfo {
    int width = 0;   // of the first frame as shown; a stream may change size later
    int height = 0;
    // How frames are turned to be shown ("rotated 90° clockwise", ...);
    // empty when they are handed over as stored.
    QString turn;
    // Frames in the stream: exact when frameCountExact (the container counts
    // them, or the file's packets were counted for a seek), else an
    // estimate from the duration and the frame rate; -1 when unknown
    // (live sources).
    qint64 frameCount = -1;
    bool frameCountExact = false;
    double frameRate = 0.0;      // average frames per second; 0 when unknown
    int timeBaseNumerator = 0;   // the stream's time base: a time stamp of
    int timeBaseDenominator = 0; // n means n * num / den seconds
    double duration = -1.0;      // seconds; -1 when unknown
    bool live = false;           // a device, a pipe or standard input
    bool seekable = false;
    QString codec;               // FFmpeg's names: "h264", "ffv1", ...
    QString container;           // "mov,mp4,m4a,3gp,3g2,mj2", "matroska,webm", ...
    QString pixelFormat;         // as decoded: "yuv420p", "gray", "bgr0", ...
    QString colourRange;         // "limited" or "full" (as used: untagged YUV is limited)
    QString colourMatrix;        // as used: "bt709", "bt601", "bt2020", "fcc", "smpte240m"; "rgb" for RGB
    QString description;         // one line for a person: "H.264 1920x1080 yuv420p, 25 fps, MP4"
};

// One decoded frame.
struct VideoFrame {
    QImage image;  // Format_RGB32, or Format_Grayscale8 with VideoOptions::luma
    // 0-based: the frame's place among the stream's frames in time-stamp
    // order, lost frames included, from the start of the stream (also after
    // a seek).
    qint64 index = -1;
    // Seconds from the stream's start (its first time stamp, as the
    // container gives it); the first frame is usually at 0. hasTime is false
    // for streams without time stamps, whose time is then index / frameRate
    // when the rate is known, else 0.
    double time = 0.0;
    bool hasTime = false;
    qint64 timeStamp = 0;  // the presentation time stamp as stored, in the time base
    // The decoder hid an error in this frame (missing slices drawn from
    // their neighbours): it is readable, but not what was recorded.
    bool concealed = false;
};

// Frames that did not come out as recorded.
struct VideoDamage {
    struct Span {
        qint64 first = 0;  // frame indices, inclusive
        qint64 last = 0;
        double from = 0.0;  // their times, seconds
        double to = 0.0;
    };
    qint64 lostFrames = 0;       // in the stream but never decoded
    QVector<Span> lost;
    qint64 concealedFrames = 0;  // decoded with an error hidden
    QVector<Span> concealed;
    bool cutShort = false;       // the file ends inside its data
    // Live sources: decoded, then replaced by a newer frame before they
    // were read.
    qint64 droppedFrames = 0;

    bool any() const { return lostFrames > 0 || concealedFrames > 0 || cutShort; }
    // "3 lost frames: frames 9-11 (0.360-0.440 s); 1 concealed frame: frame
    // 4 (0.160 s); cut short", empty when nothing is wrong. Dropped frames
    // are not damage.
    QString text() const;
};

// What one read hands back.
enum class VideoRead {
    Frame,   // `frame` holds the next frame
    End,     // no more frames (for a damaged stream, see damage())
    Failed   // the source cannot go on; `error` says why
};

class VideoModuleSource;

// A source of frames, decoded ahead of the reader on a thread of its own.
// One thread reads a source at a time.
class VideoSource
{
public:
    // Opens a file, "-" (standard input: a stream in a self-describing
    // container such as NUT or Matroska), a FIFO, or a V4L2 device
    // ("/dev/video0"). Null with the reason in `error` when it cannot be
    // opened, for instance "video support is not installed: ...".
    static std::unique_ptr<VideoSource> open(const QString &path, const VideoOptions &options, QString *error);

    // The same over a container's bytes in memory.
    static std::unique_ptr<VideoSource> openBytes(const QByteArray &bytes, const VideoOptions &options,
                                                  QString *error);

    ~VideoSource();
    VideoSource(const VideoSource &) = delete;
    VideoSource &operator=(const VideoSource &) = delete;

    const VideoInfo &info() const;

    // The next frame, in order. Waits for it; a live source is read until
    // it ends. Frames hand their pixels over shared: a frame that is let go
    // before the next read lets the decoder reuse its buffer.
    VideoRead next(VideoFrame *frame, QString *error);

    // The next read gives frame `index` (or the first readable one after
    // it). Exact: decoding starts at the key frame before it. Files only;
    // false with a reason otherwise. A seek past the end makes the next
    // read return End.
    bool seek(qint64 index, QString *error);

    // Damage met so far (all of it once next() has returned End), with the
    // frames dropped from a live source.
    VideoDamage damage() const;

    // What FFmpeg's libraries said about this source, one line each
    // (warnings and errors; never printed to standard error).
    QStringList messages() const;

    // Ends a blocking read from another thread: the waiting next() returns
    // Failed ("interrupted").
    void interrupt();

private:
    explicit VideoSource(std::unique_ptr<VideoModuleSource> source);
    std::unique_ptr<VideoModuleSource> d;
};

// The versions of FFmpeg's libraries the module uses, e.g.
// "libavformat 59.27.100, libavcodec 59.37.100, ..."; empty with the reason
// in `error` when video support is not installed.
QString videoLibraryVersions(QString *error);

#endif // VIDEOSOURCE_H
