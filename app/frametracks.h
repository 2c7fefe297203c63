#ifndef FRAMETRACKS_H
#define FRAMETRACKS_H

// The tracks of the features of the frames the window has detected: each
// frame's features linked with the frames seen before it (core/tracklinking),
// and for the frame shown, each feature's track, its summary and its tail.

#include "tracklinking.h"

#include <QMap>
#include <QPointF>
#include <QPolygonF>
#include <QVector>

#include <vector>

// One feature's track, as the frame shown draws and describes it.
struct FeatureTrack {
    int track = -1;        // -1: not linked (linking failed)
    int length = 0;        // detections in the frames seen
    double speed = 0.0;    // mean path length per frame (NaN for one detection)
    QPolygonF tail;        // its positions in the last frames, oldest first, ending at the feature
};

struct FrameTrackSettings {
    double maxDistance = 10.0;  // pixels per frame
    int gap = 0;                // frames a track may skip
    int tailLength = 20;        // frames a tail goes back
};

// The frames seen (frame number -> the features' sub-pixel positions, in
// picture coordinates as circles have them) and their last linking, which
// serves every frame shown until a frame's features or the linking
// settings change: stepping through frames already seen links nothing
// again.
class FrameTracks
{
public:
    void clear();
    // A frame's features, detected (again).
    void setFrame(qint64 frame, const QVector<QPointF> &positions);
    const QMap<qint64, QVector<QPointF>> &frames() const { return seen; }

    // One entry per feature of frame `shown`, in its order; false with the
    // reason when linking fails.
    bool featureTracks(qint64 shown, const FrameTrackSettings &settings, QVector<FeatureTrack> *tracks,
                       QString *error);

private:
    bool link(const FrameTrackSettings &settings, QString *error);

    QMap<qint64, QVector<QPointF>> seen;
    bool linked = false;
    double linkedDistance = 0.0;
    int linkedGap = 0;
    std::vector<TrackPoint> points;        // every frame's features, in frame order
    QMap<qint64, qint64> firstPoint;       // frame -> index of its first point
    std::vector<int32_t> track;            // per point
    std::vector<TrackSummary> summaries;   // per track
};

#endif // FRAMETRACKS_H
