#include "frametracks.h"

#include <QString>

#include <algorithm>
#include <cmath>

void FrameTracks::clear()
{
    seen.clear();
    linked = false;
}

void FrameTracks::setFrame(qint64 frame, const QVector<QPointF> &positions)
{
    const auto known = seen.constFind(frame);
    if (known != seen.constEnd() && *known == positions)
        return;
    seen[frame] = positions;
    linked = false;
}

bool FrameTracks::link(const FrameTrackSettings &settings, QString *error)
{
    if (linked && linkedDistance == settings.maxDistance && linkedGap == settings.gap)
        return true;
    linked = false;
    points.clear();
    firstPoint.clear();
    for (auto frame = seen.constBegin(); frame != seen.constEnd(); ++frame) {
        firstPoint.insert(frame.key(), (qint64)points.size());
        for (const QPointF &position : frame.value())
            points.push_back(TrackPoint{(int32_t)frame.key(), position.x(), position.y()});
    }
    track.assign(points.size(), -1);
    summaries.clear();
    if (!points.empty()) {
        TrackLinkSettings linking;
        linking.maxDistance = settings.maxDistance;
        linking.gap = settings.gap;
        const int status = linkTracks(points.data(), (int64_t)points.size(), linking, track.data());
        if (status != 0) {
            *error = QStringLiteral("the features could not be linked (status %1)").arg(status);
            return false;
        }
        const int32_t trackCount = *std::max_element(track.begin(), track.end()) + 1;
        summaries.resize((size_t)std::max(trackCount, 1));
        if (trackCount > 0
            && summarizeTracks(points.data(), nullptr, track.data(), (int64_t)points.size(), trackCount,
                               summaries.data())
                   != 0) {
            *error = QStringLiteral("the tracks could not be summed up");
            return false;
        }
    }
    linked = true;
    linkedDistance = settings.maxDistance;
    linkedGap = settings.gap;
    return true;
}

bool FrameTracks::featureTracks(qint64 shown, const FrameTrackSettings &settings, QVector<FeatureTrack> *tracks,
                                QString *error)
{
    tracks->clear();
    const auto current = seen.constFind(shown);
    if (current == seen.constEnd())
        return true;
    tracks->resize(current->size());
    if (!link(settings, error))
        return false;

    // Each shown feature's track, and its points of the last frames, which
    // come in frame order as the points were gathered.
    const qint64 shownFirst = firstPoint.value(shown);
    std::vector<int> featureOfTrack(std::max<size_t>(summaries.size(), 1), -1);
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
    const auto from = firstPoint.lowerBound(oldest);
    const size_t begin = from == firstPoint.constEnd() ? points.size() : (size_t)from.value();
    const size_t end = (size_t)(shownFirst + current->size());
    for (size_t p = begin; p < end; ++p) {
        const int32_t t = track[p];
        if (t < 0)
            continue;
        const int feature = featureOfTrack[(size_t)t];
        if (feature >= 0)
            (*tracks)[feature].tail << QPointF(points[p].x, points[p].y);
    }
    return true;
}
