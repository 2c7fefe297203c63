#ifndef DETECTIONJOB_H
#define DETECTIONJOB_H

#include "hessianmaximamainwin.h"

class QImage;

using DetectionResult = HessianMaximaMainWin::_HessianDetMaxResult;

// Grey level of every pixel of a frame in the 32-bit RGB layout, written to
// `grey` (width * height bytes, stride width).
void convertFrameToGrey(const QImage &frame, unsigned char *grey);

using GreyConversion = void (*)(const QImage &frame, unsigned char *grey);

// One complete detection run over a frame: grey conversion, detector set-up,
// the timed response computation and maxima search, release. The window's
// detectHessianDetMax and the command-line tool both run exactly this.
// `toGrey` is the grey conversion: another one lets a test see which stages
// the reported time covers.
DetectionResult runDetectionJob(const QImage &frame, float sigma, float threshold,
                                GreyConversion toGrey = convertFrameToGrey);

#endif // DETECTIONJOB_H
