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
};

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
