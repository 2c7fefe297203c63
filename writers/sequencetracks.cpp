#include "sequencetracks.h"

#include "hessiandetector.h"

#include <algorithm>
#include <cstdint>
#include <new>
#include <vector>

bool parseMotionName(const QString &name, TrackMotion *motion)
{
    if (name == QLatin1String("none"))
        *motion = TRACK_MOTION_NONE;
    else if (name == QLatin1String("velocity"))
        *motion = TRACK_MOTION_VELOCITY;
    else if (name == QLatin1String("kalman"))
        *motion = TRACK_MOTION_KALMAN;
    else
        return false;
    return true;
}

bool linkSequenceFrames(QVector<PictureResult> *frames, const FrameRange &range, const TrackLinkSettings &settings,
                        SequenceTracks *tracks, QString *error)
{
    tracks->tracks.clear();
    tracks->timed = !frames->isEmpty();
    int64_t count = 0;
    for (const PictureResult &frame : *frames) {
        count += frame.features.size();
        tracks->timed = tracks->timed && frame.hasTime;
    }
    if (count > kMaxTrackPoints) {
        *error = QStringLiteral("too many detections to link (%1)").arg(count);
        return false;
    }
    const qint64 step = std::max<qint64>(1, range.step);
    std::vector<TrackPoint> points;
    std::vector<double> times;
    std::vector<int32_t> track;
    try {
        points.reserve((size_t)count);
        times.reserve((size_t)count);
        track.resize((size_t)count, -1);
    } catch (const std::bad_alloc &) {
        *error = QStringLiteral("not enough memory to link %1 detections").arg(count);
        return false;
    }
    for (const PictureResult &frame : *frames) {
        // The frame's place among those taken: frames lost between them
        // stay gaps.
        const qint64 taken = (std::max<qint64>(0, frame.frame) - range.first) / step;
        if (taken < INT32_MIN || taken > INT32_MAX) {
            *error = QStringLiteral("frame %1 is beyond the linker's frame numbers").arg(frame.frame);
            return false;
        }
        const bool measured = frame.measures.size() == frame.features.size();
        for (int i = 0; i < frame.features.size(); ++i) {
            points.push_back(TrackPoint{(int32_t)taken,
                                        measured ? (double)frame.measures[i].xSubpixel : (double)frame.features[i].x,
                                        measured ? (double)frame.measures[i].ySubpixel : (double)frame.features[i].y});
            times.push_back(tracks->timed ? frame.time : (double)std::max<qint64>(0, frame.frame));
        }
    }
    int status = linkTracks(points.data(), count, settings, track.data());
    int32_t trackCount = 0;
    for (int32_t number : track)
        trackCount = std::max(trackCount, number + 1);
    if (status == HESSIAN_OK) {
        try {
            tracks->tracks.resize(trackCount);
        } catch (const std::bad_alloc &) {
            status = HESSIAN_NO_MEMORY;
        }
    }
    if (status == HESSIAN_OK)
        status = summarizeTracks(points.data(), times.data(), track.data(), count, trackCount, tracks->tracks.data());
    if (status != HESSIAN_OK) {
        tracks->tracks.clear();
        *error = status == HESSIAN_NO_MEMORY ? QStringLiteral("not enough memory to link %1 detections").arg(count)
                                             : QStringLiteral("the detections cannot be linked (status %1)").arg(status);
        return false;
    }
    // The summaries' frames as the file numbers them.
    for (TrackSummary &summary : tracks->tracks) {
        summary.firstFrame = (int32_t)(range.first + (qint64)summary.firstFrame * step);
        summary.lastFrame = (int32_t)(range.first + (qint64)summary.lastFrame * step);
    }
    int64_t at = 0;
    for (PictureResult &frame : *frames) {
        frame.tracks.resize(frame.features.size());
        for (int i = 0; i < frame.features.size(); ++i)
            frame.tracks[i] = track[(size_t)at++];
    }
    return true;
}
