#ifndef DETECTIONJOB_H
#define DETECTIONJOB_H

#include "hessianmaximamainwin.h"

class QImage;

using DetectionResult = HessianMaximaMainWin::_HessianDetMaxResult;

// One complete detection run over a frame: grey conversion, detector set-up,
// the timed response computation and maxima search, release. The window's
// detectHessianDetMax and the command-line tool both run exactly this.
DetectionResult runDetectionJob(const QImage &frame, float sigma, float threshold);

// Grey level of every pixel of a frame in the 32-bit RGB layout, written to
// `grey` (width * height bytes, stride width).
void convertFrameToGrey(const QImage &frame, unsigned char *grey);

#endif // DETECTIONJOB_H
