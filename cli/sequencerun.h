#ifndef SEQUENCERUN_H
#define SEQUENCERUN_H

// The frames of a sequence (a video, a camera, a multi-page TIFF, a FITS
// cube, numbered files) detected as they are read.
//
// One thread reads (and a video's decoder decodes ahead on its own threads)
// while the detection runs on the others, several frames at once, each on
// one thread with a workspace of its own that is set up once and reused.
// Frames are handed over in frame order whatever the threads do, and at
// most a few frames are in flight at any time, so that memory does not
// grow with the number of frames.

#include "detectionjob.h"
#include "picturesource.h"

#include <QImage>
#include <QString>

#include <atomic>
#include <functional>

// One frame, detected.
struct FrameResult {
    qint64 index = -1;      // the frame's number in the sequence
    double time = 0.0;      // seconds, when hasTime
    bool hasTime = false;
    qint64 timeStamp = 0;   // a video's time stamp as stored
    QImage frame;           // the detector's input
    StretchUsed stretch;    // how it was made from the samples
    StretchNotice notice;
    QString damage;         // the frame was read damaged
    DetectionResult result;
    // Left for `finish` (see SequenceSettings): what it makes of the frame.
    QImage annotated;
    QString finishError;
};

struct SequenceSettings {
    DetectionSettings detection;  // threads: for the whole run (0: every hardware thread)
    StretchChoice stretch;
    FrameRange frames;
    // Frames detected at once, each on its share of the threads; 0: one
    // per thread.
    int workers = 0;
    // Run on the detecting thread after each frame's detection (drawing
    // its circles, say), so that it too runs on the frames in parallel.
    std::function<void(FrameResult &)> finish;
};

struct SequenceTotals {
    qint64 read = 0;        // frames read and detected
    qint64 delivered = 0;   // frames handed over
    qint64 features = 0;
    double seconds = 0.0;   // from the first read to the last hand-over
    FrameLosses losses;     // as the source found them
    QString error;          // why the source could not go on, when it could not
};

// Reads the selected frames of `source` and detects them, calling `deliver`
// on the calling thread with each frame in order. Stops early when
// `deliver` returns false or `stop` becomes true. False (with the reason in
// totals->error) when the frames cannot be selected or the source fails
// midway; the frames delivered before that are good.
bool runSequence(PictureSource &source, const SequenceSettings &settings,
                 const std::function<bool(FrameResult &)> &deliver, SequenceTotals *totals,
                 const std::atomic<bool> *stop = nullptr);

#endif // SEQUENCERUN_H
