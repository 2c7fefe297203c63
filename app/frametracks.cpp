#include "frametracks.h"

#include "tracklinking.h"

#include <QString>

#include <algorithm>
#include <cmath>
#include <vector>

bool featureTracks(const QMap<qint64, QVector<QPointF>> &seen, qint64 shown, const FrameTrackSettings &settings,
                   QVector<FeatureTrack> *tracks, QString *error)
{
    tracks->clear();
    const auto current = seen.constFind(shown);
    if (current == seen.constEnd())
        return true;
    tracks->resize(current->size());

    std::vector<TrackPoint> points;
    std::vector<qint64> firstOfFrame;  // index of each frame's first point, in map order
    qint64 shownFirst = 0;
    for (auto frame = seen.constBegin(); frame != seen.constEnd(); ++frame) {
        if (frame.key() == shown)
            shownFirst = (qint64)points.size();
        for (const QPointF &position : frame.value())
            points.push_back(TrackPoint{(int32_t)frame.key(), position.x(), position.y()});
    }
    if (points.empty())
        return true;
    TrackLinkSettings link;
    link.maxDistance = settings.maxDistance;
    link.gap = settings.gap;
    std::vector<int32_t> track(points.size(), -1);
    const int status = linkTracks(points.data(), (int64_t)points.size(), link, track.data());
    if (status != 0) {
        *error = QStringLiteral("the features could not be linked (status %1)").arg(status);
        return false;
    }
    const int32_t trackCount = *std::max_element(track.begin(), track.end()) + 1;
    std::vector<TrackSummary> summaries((size_t)std::max(trackCount, 1));
    if (trackCount > 0
        && summarizeTracks(points.data(), nullptr, track.data(), (int64_t)points.size(), trackCount, summaries.data())
               != 0) {
        *error = QStringLiteral("the tracks could not be summed up");
        return false;
    }

    // Each shown feature's track, and its points of the last frames, which
    // come in frame order as the points were gathered.
    std::vector<int> featureOfTrack((size_t)std::max(trackCount, 1), -1);
    for (int i = 0; i < current->size(); ++i) {
        const int32_t t = track[(size_t)(shownFirst + i)];
        FeatureTrack &entry = (*tracks)[i];
        entry.track = t;
        if (t < 0)
            continue;
        entry.length = summaries[(size_t)t].length;
        entry.speed = summaries[(size_t)t].meanSpeed;
        featureOfTrack[(size_t)t] = i;
    }
    const qint64 oldest = shown - std::max(1, settings.tailLength);
    for (size_t p = 0; p < points.size(); ++p) {
        const int32_t t = track[p];
        if (t < 0 || points[p].frame < oldest || points[p].frame > shown)
            continue;
        const int feature = featureOfTrack[(size_t)t];
        if (feature >= 0)
            (*tracks)[feature].tail << QPointF(points[p].x, points[p].y);
    }
    return true;
}
