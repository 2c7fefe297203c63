#ifndef DETECTIONJOB_H
#define DETECTIONJOB_H

#include "hessianmaximamainwin.h"

#include <QMutex>
#include <QWaitCondition>

#include <memory>

class QImage;

using DetectionResult = HessianMaximaMainWin::_HessianDetMaxResult;

// One complete detection run over a frame: grey conversion, detector set-up,
// the timed response computation and maxima search, release. The window's
// detectHessianDetMax and the command-line tool both run exactly this.
DetectionResult runDetectionJob(const QImage &frame, float sigma, float threshold);

// The turns of the runs the window starts. Only the latest run is ever
// reported, so a run waits until the one in progress is done, and gives up
// without touching its frame as soon as a later one has been started: a
// storm of starts costs the run in progress and the last one, one after
// the other, on any number of cores.
class RunTurns
{
public:
    // The number of a run being started; the runs still waiting give up.
    quint64 start();
    // Waits for the run's turn: true when it has come, false when a later
    // run has been started. A run that got its turn calls end().
    bool begin(quint64 run);
    void end();

private:
    QMutex mutex;
    QWaitCondition changed;
    quint64 latest = 0;
    bool running = false;
};

// The job as the window starts it, in its turn. A run that gives up
// returns a record that is never shown; it says "failed" and holds nothing.
DetectionResult runInTurn(const std::shared_ptr<RunTurns> &turns, quint64 run, const QImage &frame, float sigma,
                          float threshold);

// Grey level of every pixel of a frame in the 32-bit RGB layout, written to
// `grey` (width * height bytes, stride width).
void convertFrameToGrey(const QImage &frame, unsigned char *grey);

#endif // DETECTIONJOB_H
