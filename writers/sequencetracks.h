#ifndef SEQUENCETRACKS_H
#define SEQUENCETRACKS_H

// A sequence's detections linked into tracks, as the command line's
// --track and the window's Save Features with Tracks on write them: the
// frames' results held until the last one is read, then linked.

#include "featurewriter.h"
#include "picturesource.h"
#include "tracklinking.h"

#include <QString>
#include <QVector>

// Links the features of a sequence's frames (in frame order) by their
// sub-pixel positions, as hessian_maxima.link() reads a feature table:
// each frame's `tracks` filled (-1 for features in no track of at least
// settings.minLength), and one summary per track into *tracks (its frames
// the frames' own numbers). Consecutive frames of `range` (A, A + STEP,
// ...) are consecutive for the linker, so that the distance is per frame
// taken. Speeds and D are per second when every frame has a time, per
// frame (of the file) otherwise. False, with the reason, when the linker
// fails (memory, a frame number beyond 32 bits).
bool linkSequenceFrames(QVector<PictureResult> *frames, const FrameRange &range, const TrackLinkSettings &settings,
                        SequenceTracks *tracks, QString *error);

// How --motion and motion= name the linker's motion models.
bool parseMotionName(const QString &name, TrackMotion *motion);

#endif // SEQUENCETRACKS_H
