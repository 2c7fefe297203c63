#ifndef VIDEOWRITER_H
#define VIDEOWRITER_H

#include <QImage>
#include <QString>

#include <memory>

// Frames written as a video (e.g. the annotated frames of a sequence), by
// the file name's suffix:
//   .mkv  FFV1 in Matroska, lossless: decoded again it gives the written
//         frames exactly (RGB32 frames as RGB, grey frames as grey);
//   .mp4  H.264 (libx264, yuv420p, BT.601 limited range, CRF 18) in MP4,
//         for players; without an H.264 encoder in the installed FFmpeg
//         the writer refuses to open (no other codec is put in its place).
struct VideoWriterOptions {
    int width = 0;
    int height = 0;
    // Time stamps of write() are in units of num / den seconds, e.g. the
    // source's time base; the frame rate is the stream's nominal rate (also
    // used to time frames written without a time stamp).
    int timeBaseNumerator = 1;
    int timeBaseDenominator = 25;
    double frameRate = 25.0;
    bool grey = false;  // frames are Format_Grayscale8 (.mkv only)
    int threads = 0;    // encoder threads; 0: FFmpeg's choice
};

class VideoModuleWriter;

class VideoWriter
{
public:
    // Null with the reason in `error` when the file cannot be written.
    static std::unique_ptr<VideoWriter> open(const QString &path, const VideoWriterOptions &options,
                                             QString *error);
    ~VideoWriter();  // finishes the file if finish() was not called (errors then go unseen)
    VideoWriter(const VideoWriter &) = delete;
    VideoWriter &operator=(const VideoWriter &) = delete;

    // One frame of the opened size, Format_RGB32 (or Format_Grayscale8 for
    // a grey writer; other layouts are converted). timeStamp in the time
    // base, increasing; -1: one frame after the last.
    bool write(const QImage &frame, qint64 timeStamp, QString *error);

    // Drains the encoder and closes the file.
    bool finish(QString *error);

private:
    explicit VideoWriter(std::unique_ptr<VideoModuleWriter> writer);
    std::unique_ptr<VideoModuleWriter> d;
};

#endif // VIDEOWRITER_H
