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
    // The (first) frame as stored, before any orientation tag is applied;
    // a video's as shown, its display matrix applied (unless
    // SourceOptions::autorotate is off).
    qint64 width = 0;
    qint64 height = 0;
    int bitsPerSample = 8;
    // 1 for a still picture; -1 when unknown (a live source). A video's
    // count may be an estimate (its duration times its rate).
    qint64 frames = 1;
    bool framesExact = true;
    bool timed = false;  // frames carry time stamps (seconds)
    bool live = false;   // a camera or a stream: frames come whether read or not
    // Frames a second (0 when unknown), and a video's time base: a frame's
    // time stamp n is n * num / den seconds (0 / 0 for other sources).
    double frameRate = 0.0;
    int timeBaseNumerator = 0;
    int timeBaseDenominator = 0;
    // The picture as load() reads it (of a sequence, its first frame) reads
    // in bands of rows (native pictures only).
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
    // A folder is one sequence of its pictures, in natural order (img2
    // before img10), instead of a batch of them (--sequence).
    bool folderSequence = false;
    // Videos: the decoder's luma plane as the frame, instead of the colour
    // conversion (--luma).
    bool luma = false;
    // Videos: frames turned as their display matrix says they are shown;
    // false keeps them as stored (--no-autorotate).
    bool autorotate = true;
    // Live sources (a camera, a pipe, standard input): every frame read,
    // waiting for detection (--all-frames), instead of the newest frame
    // winning when detection falls behind.
    bool allFrames = false;
};

// Which frames of a sequence are read: first, first + step, ... below end
// (-1: to the end), as a Python slice of frame numbers counts them.
struct FrameRange {
    qint64 first = 0;
    qint64 end = -1;
    qint64 step = 1;

    bool all() const { return first == 0 && end < 0 && step == 1; }
    bool contains(qint64 index) const
    {
        return index >= first && (end < 0 || index < end) && (index - first) % step == 0;
    }
    // The first frame selected at or after `index`, or -1 when none is.
    qint64 nextFrom(qint64 index) const;
};

// "A:B", "A:B:STEP", "A:", ":B", "A::STEP", "A" (frame A alone): whole
// numbers, A and B from 0, STEP from 1, B above A. False (and `range` left
// alone) for anything else.
bool parseFrameRange(const QString &text, FrameRange *range);

// Frames of a sequence that could not be read (lost), that were read but
// are not all as recorded (damaged), and frames a live source dropped.
struct FrameSpan {
    qint64 first = 0;   // frame numbers, inclusive
    qint64 last = 0;
    qint64 count = 0;   // frames in it (fewer than last - first + 1 with a step)
    QString reason;
};
struct FrameLosses {
    QVector<FrameSpan> lost;
    qint64 lostCount = 0;
    QVector<FrameSpan> damaged;
    qint64 damagedCount = 0;
    qint64 dropped = 0;
    // What is wrong with the file beyond its frames (a broken TIFF page
    // chain, a FITS file's later HDU, a video cut short).
    QString file;

    // Frame `index` (`step` after the last one noted, for spans) could not
    // be read, or was read damaged, for `reason`.
    void addLost(qint64 index, qint64 step, const QString &reason, qint64 count = 1);
    void addDamaged(qint64 index, qint64 step, const QString &reason);
    bool any() const { return lostCount > 0 || damagedCount > 0 || !file.isEmpty(); }
    // "3 lost frames: frames 7-9 (page 8 cannot be read); 1 damaged frame:
    // frame 3 (2 of its 8 strips hold no data)"; empty when nothing is
    // wrong. Dropped frames are not damage.
    QString text() const;
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

    // The native reader of the picture load() reads, when it reads in bands
    // of rows; null with the reason otherwise. The source keeps it.
    virtual NativePicture *bands(QString *reason);

    // The frames to be read from now on (a video seeks to the first);
    // false with the reason when they cannot be (a live source cannot
    // seek). All frames until told otherwise.
    virtual bool select(const FrameRange &range, QString *error);

    // The next frame selected, in order, mapped to the detector's 8 bits
    // as `options` says, each frame by its own range (a frame of a
    // sequence gives the features the same picture gives on its own).
    // Frames that cannot be read are passed over and noted in losses().
    // A still picture is a sequence of one frame.
    virtual FrameRead next(const LoadOptions &options, SourceFrame *frame, QString *error);

    // What has gone wrong with the frames so far (all of it once next()
    // has returned End).
    const FrameLosses &losses() const { return frameLosses; }

    // Ends a read waiting on a live source from another thread.
    virtual void interrupt() {}

    // A frame's picture its reader is done with, for the decoder to decode
    // into again instead of allocating anew (videos); any thread.
    virtual void giveBack(QImage picture) { Q_UNUSED(picture) }

    // Lets go of the open file and the readers until the source is read
    // again, keeping what opening it found: a batch identifies all its
    // inputs first and reads them one by one.
    virtual void release() {}

protected:
    PictureSource() = default;
    SourceInfo sourceInfo;
    FrameRange range;
    FrameLosses frameLosses;
};

// Whether a file's content is one that the installed readers know (a
// picture of Qt's formats, FITS), from its first bytes.
bool holdsPicture(const QString &path);

// "img2" before "img10": runs of digits compared as numbers.
bool naturalLess(const QString &a, const QString &b);

#endif // PICTURESOURCE_H
