#ifndef DETECTIONJOB_H
#define DETECTIONJOB_H

#include "hessianmaximamainwin.h"

#include <QtGlobal>

#include <atomic>
#include <memory>

class QImage;

using DetectionResult = HessianMaximaMainWin::_HessianDetMaxResult;

// One complete detection run over a frame: grey conversion, detector set-up,
// the timed response computation and maxima search, release. The window's
// detectHessianDetMax and the command-line tool both run exactly this.
DetectionResult runDetectionJob(const QImage &frame, float sigma, float threshold);

// A run started from the window: its number among all runs started, and
// the number of the latest one, which moves on when another starts.
struct RunTicket {
    std::shared_ptr<const std::atomic<quint64>> latest;
    quint64 number;
};

// The job as the window starts it. Only the latest run is reported, so a
// run that a later start has superseded before it began returns at once,
// without touching the frame: a storm of starts then costs the run in
// progress and the last one, not one run per start. The record it returns
// then is never shown; it says "failed" and holds nothing.
DetectionResult runUnlessSuperseded(const RunTicket &ticket, const QImage &frame, float sigma, float threshold);

// Grey level of every pixel of a frame in the 32-bit RGB layout, written to
// `grey` (width * height bytes, stride width).
void convertFrameToGrey(const QImage &frame, unsigned char *grey);

#endif // DETECTIONJOB_H
