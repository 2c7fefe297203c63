#ifndef RUNREPORT_H
#define RUNREPORT_H

#include "detectionresult.h"

#include <QString>

#include <cstdint>

// The one-line report of a run, as the status bar shows it:
// "Success. Feature count: N. Time per frame: T msec. Frames per second: F",
// "Cancelled" for a run stopped by its cancel flag, or "Failed".
QString runReport(const DetectionResult &result);

// The report of a sequence's run, frames detected one after another:
// "Success. Frames read: 600, lost: 0, dropped: 0. Feature count: 41812.
// Frames per second: 57.30 (end to end, 10.47 s)", or "Failed" when a
// frame's run failed (`status`).
QString sequenceReport(int status, qint64 read, qint64 lost, qint64 dropped, qint64 features, double seconds);

// Why a run on width x height pixels failed with the detector's `status`,
// in a short phrase, e.g. "sigma 200 is too large for the detector"; sigma
// and sigmaMax are the run's (sigmaMax 0 for a single sigma).
QString runFailureReason(int status, float sigma, float sigmaMax, int width, int height);

// Why the scale range cannot be set up, from initHessianScaleSpace's status.
QString scaleRangeFailureReason(int status, float sigmaMin, float sigmaMax, int scales);

// Why a run whose largest kernel has radius r finds nothing on width x
// height pixels, whatever they hold: features lie at least r + 1 from every
// border, and no pixel does. Said of the picture ("is too small for ...");
// empty when some pixel is searched.
QString nothingSearchedReason(uint32_t radius, int width, int height);

#endif // RUNREPORT_H
