#ifndef RUNREQUEST_H
#define RUNREQUEST_H

#include "detectionjob.h"
#include "frameloading.h"
#include "hessianmaximamainwin.h"

#include <QImage>
#include <QString>

#include <atomic>
#include <memory>

// What a run of the window is asked to do, on which frame, and why.
struct HessianMaximaMainWin::RunRequest {
    DetectionSettings settings;
    QImage frame;
    QString fileName;   // where the frame came from
    StretchUsed stretch;  // how the frame was made from the picture
    bool live = false;  // started by live update: the old circles stay until it reports
    std::shared_ptr<std::atomic<bool>> cancel;  // raised by Stop
    // A sequence's frame: its number and time (-1 for a still picture),
    // and, for a frame read during playback or a step, the picture the
    // view shows once the run reports (null: the view stays as it is).
    qint64 frameIndex = -1;
    double time = 0.0;
    bool hasTime = false;
    QImage view;
};

#endif // RUNREQUEST_H
