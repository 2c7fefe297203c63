#ifndef FRAMETRACKS_H
#define FRAMETRACKS_H

// The tracks of the features of the frames the window has detected: each
// frame's features linked with the frames seen before it (core/tracklinking),
// and for the frame shown, each feature's track, its summary and its tail.

#include <QMap>
#include <QPointF>
#include <QPolygonF>
#include <QVector>

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

// Links the features of all frames in `seen` (frame number -> the
// features' sub-pixel positions, in picture coordinates as circles have
// them) and gives one entry per feature of frame `shown`, in its order;
// false with the reason when linking fails.
bool featureTracks(const QMap<qint64, QVector<QPointF>> &seen, qint64 shown, const FrameTrackSettings &settings,
                   QVector<FeatureTrack> *tracks, QString *error);

#endif // FRAMETRACKS_H
