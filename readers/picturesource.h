#ifndef PICTURESOURCE_H
#define PICTURESOURCE_H

// A picture file (or standard input, a pipe) opened and identified once,
// serving everything that reads it: the whole picture (loadPicture, the
// window, Python), its rows in bands (the command line's streamed run) and
// its frames one after another. What it is, its size, depth, number of
// frames and what is wrong with it are known from the moment it is open,
// before any pixel is decoded.
//
// Open it on any thread; read it on one thread at a time.

#include "frameloading.h"
#include "nativepictures.h"

#include <QString>
#include <QVector>

#include <memory>

// What a source holds.
enum class SourceKind {
    Picture,  // one still picture
    Pages,    // the pages of a TIFF file
    Planes,   // the planes of a FITS cube
    Files,    // numbered picture files: a folder read as one sequence, or a pattern
    Video     // a video file, a camera, or a video stream on a pipe or standard input
};

// What is known of a source once it is open.
struct SourceInfo {
    SourceKind kind = SourceKind::Picture;
    // The reader's name for the format ("png", "tiff", "fits", "pgm", ...;
    // a video's container), and a line for a person ("16-bit grey TIFF";
    // empty for the pictures that only Qt's readers read).
    QByteArray format;
    QString description;
    // The (first) frame as stored, before any orientation tag is applied.
    qint64 width = 0;
    qint64 height = 0;
    int bitsPerSample = 8;
    // 1 for a still picture; -1 when unknown (a live source). A video's
    // count may be an estimate (its duration times its rate).
    qint64 frames = 1;
    bool framesExact = true;
    bool timed = false;  // frames carry time stamps (seconds)
    bool live = false;   // a camera or a stream: frames come whether read or not
    // The picture reads in bands of rows (a still native picture only).
    bool streamable = false;
    QString notStreamable;  // why not, when not
    // What is wrong with the file as far as opening it tells (a later TIFF
    // page cut short, ...); empty when nothing is known to be.
    QString damage;
    // What the frames are, when they are not all of the file: "channel 1
    // of 3 and slice 1 of 5 of each time point"; empty otherwise.
    QString taken;

    bool isSequence() const { return kind != SourceKind::Picture; }
};

// How a source is opened.
struct SourceOptions {
};

// One frame handed out.
struct SourceFrame {
    qint64 index = -1;       // 0-based place in the sequence
    double time = 0.0;       // seconds from the start, when hasTime
    bool hasTime = false;
    qint64 timeStamp = 0;    // a video's time stamp as stored, in its time base
    LoadedPicture picture;   // the detector's input and how it was made
    QString damage;          // the frame was read, but what it holds is not all as recorded
};

enum class FrameRead {
    Frame,   // the next frame
    End,     // no more
    Failed   // the source cannot go on: `error` says why
};

class PictureSource
{
public:
    // Opens a file, or "-" for standard input. Null with the reason, in the
    // words loadPicture uses, when it cannot be opened or is no picture.
    static std::unique_ptr<PictureSource> open(const QString &path, const SourceOptions &options, QString *error);
    // The same from an open device (a pipe or a device is read whole into
    // memory first, as loadPicture reads it); `fileName` may be empty.
    static std::unique_ptr<PictureSource> open(QIODevice *device, const QString &fileName,
                                               const SourceOptions &options, QString *error);

    virtual ~PictureSource() = default;
    PictureSource(const PictureSource &) = delete;
    PictureSource &operator=(const PictureSource &) = delete;

    const SourceInfo &info() const { return sourceInfo; }

    // The picture whole, as loadPicture describes it: a still picture, or a
    // sequence's first frame with the file's damage.
    virtual bool load(const LoadOptions &options, LoadedPicture *picture, QString *error, QString *damage) = 0;

    // The native reader of a picture that reads in bands of rows; null with
    // the reason otherwise. The source keeps it.
    virtual NativePicture *bands(QString *reason);

    // Frames, in order: frame 0 of a still picture, then End.
    virtual FrameRead next(const LoadOptions &options, SourceFrame *frame, QString *error);

    // Lets go of the open file and the readers until the source is read
    // again, keeping what opening it found: a batch identifies all its
    // inputs first and reads them one by one.
    virtual void release() {}

protected:
    PictureSource() = default;
    SourceInfo sourceInfo;
};

#endif // PICTURESOURCE_H
