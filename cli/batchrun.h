#ifndef BATCHRUN_H
#define BATCHRUN_H

// Many pictures, several at a time, their results handed over in input
// order.

#include "detectionjob.h"
#include "featurewriter.h"
#include "frameloading.h"
#include "inputfiles.h"

#include <QString>
#include <QVector>

#include <atomic>
#include <functional>

// Whether pictures are read and run in bands of rows (streamingrun.h).
enum class StreamChoice {
    Auto,    // pictures that can be, above kAutoStreamPixels
    Always,  // every picture; one that cannot be is refused, saying why
    Never
};

struct BatchSettings {
    DetectionSettings detection;
    StretchChoice stretch;
    StreamChoice stream = StreamChoice::Auto;
    int repeat = 1;           // runs per picture; the median time is reported
    int jobs = 0;             // pictures in flight at once; 0: one per hardware thread
    QString annotateFolder;   // where annotated pictures go; empty: none
    // Sequences: the frames read of each, and how sources are opened.
    FrameRange frames;
    SourceOptions source;
    // A video of a sequence's frames with their circles (.mkv: FFV1, .mp4:
    // H.264); empty: none.
    QString annotateVideo;
    // How sequences are linked into tracks (--track), for their records:
    // the command line links them once read. maxDistance 0: not linked.
    TrackLinkSettings link;
};

// Whether --annotate names a video file (.mkv or .mp4) rather than a folder.
bool isVideoName(const QString &path);

// Whether an input is a sequence (runSequenceInput runs it, not runBatch).
bool isSequenceInput(const InputPicture &input);

// A sequence's record before its frames are read: the file, its first
// frame's size, its frames, and the settings it is run with.
PictureResult sequenceRecord(const InputPicture &input, const BatchSettings &settings);

// Where --annotate DIR puts the pictures of a sequence's frames: a folder
// named after it, holding NNNNNN.png for frame NNNNNN.
QString sequenceAnnotationFolder(const InputPicture &input, const QString &annotateFolder);

// Runs a sequence: its selected frames read and detected on every core (see
// sequencerun.h), each handed to `deliverFrame` in frame order as a record
// of its own (file, frame, time, features). Returns the sequence's record
// as sequenceRecord begins it, completed: frames read, lost and dropped,
// the frames per second from the first read to the last frame delivered,
// the damage (lost and damaged frames), the stretch's warnings gathered
// over the frames, and a failing run's status. Stops early when
// `deliverFrame` returns false or `stop` becomes true.
PictureResult runSequenceInput(const InputPicture &input, const BatchSettings &settings,
                               const std::function<bool(const PictureResult &)> &deliverFrame,
                               const std::atomic<bool> *stop = nullptr);

// One picture as runBatch does it, on the calling thread.
PictureResult processPicture(const InputPicture &input, const BatchSettings &settings,
                             DetectionWorkspace *workspace);

using PictureProcess =
    std::function<PictureResult(const InputPicture &, const BatchSettings &, DetectionWorkspace *)>;

// Reads, runs and (when asked) annotates each input on its own thread, at
// most `jobs` at once, and calls `deliver` on the calling thread with each
// result in input order, however the pictures finish. Stops early,
// delivering what is done in order, when `deliver` returns false or `stop`
// becomes true. Returns the number of pictures delivered. Each picture is
// done by `process` (tests hand in their own).
int runBatch(const QVector<InputPicture> &inputs, const BatchSettings &settings,
             const std::function<bool(const PictureResult &)> &deliver,
             const std::atomic<bool> *stop = nullptr, const PictureProcess &process = processPicture);

#endif // BATCHRUN_H
