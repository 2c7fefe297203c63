#ifndef VIDEOMODULE_H
#define VIDEOMODULE_H

#include "videosource.h"
#include "videowriter.h"

#include <QByteArray>
#include <QString>

// The boundary between the programs and hessian-video.so, the module that
// holds everything linked with FFmpeg. Both sides are built together from
// this header; the module's one exported symbol hands over a table of its
// entry points, and the objects it makes are used through the classes
// below. Nothing may throw across it.

// Raised whenever this header changes in a way that breaks an older module.
const int kVideoModuleAbi = 2;

// The C symbol the module exports.
#define HESSIAN_VIDEO_ENTRY "hessian_video_module"

// One source being decoded. decode(), seek(), damage() run on one thread
// at a time; messages() and interrupt() on any.
class VideoDecoder
{
public:
    virtual ~VideoDecoder() = default;
    virtual const VideoInfo &info() const = 0;
    // The next frame into `frame`. Its image is reused when it holds the
    // only reference to pixels of the right size and layout.
    virtual VideoRead decode(VideoFrame *frame, QString *error) = 0;
    virtual bool seek(qint64 index, QString *error) = 0;
    virtual VideoDamage damage() const = 0;
    virtual QStringList messages() const = 0;
    virtual void interrupt() = 0;
};

class VideoEncoder
{
public:
    virtual ~VideoEncoder() = default;
    virtual bool write(const QImage &frame, qint64 timeStamp, QString *error) = 0;
    virtual bool finish(QString *error) = 0;
};

// Where a decoder reads from: a path ("-" for standard input) or bytes.
struct VideoInput {
    QString path;
    QByteArray bytes;
    bool inMemory = false;
};

struct VideoModuleTable {
    int abi;
    // Null with the reason in `error` on failure; options come resolved
    // (maxFramePixels set).
    VideoDecoder *(*openDecoder)(const VideoInput &input, const VideoOptions &options, QString *error);
    VideoEncoder *(*openEncoder)(const QString &path, const VideoWriterOptions &options, QString *error);
    QString (*libraryVersions)();
};

extern "C" {
// Null when the module was built for another kVideoModuleAbi.
typedef const VideoModuleTable *(*VideoModuleEntry)(int abi);
}

// The module, opened once for the process on first use; nullptr with the
// reason in `error` ("video support is not installed: ...") when it cannot
// be found or opened. It is looked for in $HESSIAN_VIDEO_MODULE when that is
// set, else beside the program (or Python module) that asks, in the install
// folder relative to it, in the build tree, and in the install folder.
const VideoModuleTable *videoModule(QString *error);

#endif // VIDEOMODULE_H
