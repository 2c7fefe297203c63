#ifndef TRACKLINKING_H
#define TRACKLINKING_H

// Linking detections across frames into tracks, and what each track did.
//
// The method is the two-step linear-assignment framework (Jaqaman et al.,
// Nature Methods 2008):
//
// 1. Frame to frame. The track ends in frame f and the detections of frame
//    f + 1 are paired by one linear assignment problem, globally optimal for
//    the pair of frames: a link costs the squared distance from the track's
//    (predicted) position to the detection, allowed up to maxDistance;
//    ending a track and starting one each cost maxDistance^2, so any allowed
//    link is cheaper than leaving both of its ends unlinked, and among
//    competing links the assignment minimises the sum of squared distances.
// 2. Gap closing. The segments from step 1 are joined end to start across
//    up to `gap` frames with no detection, again by one assignment problem
//    over all ends and starts: over k frames (k = 2 .. gap + 1) a join is
//    allowed up to maxDistance * sqrt(k), as a diffusing particle spreads,
//    and costs the squared distance / k; ending and starting cost
//    maxDistance^2 as above.
//
// The assignment problems are split into their connected parts (detections
// that no allowed link ties together are solved apart), and each part is
// solved by the sparse shortest-augmenting-path method of Jonker and
// Volgenant. Candidates come from a grid of cells of the gate's size, so
// linking N detections costs about N log N (the sort by position).
//
// Results depend on the detections only, not on their order in the input:
// each frame's detections are put in an order of their positions (by cell
// of a grid laid over the frame's detections, then x, then y; input index
// last, for equal positions) before the problems are built, and the solver
// breaks ties the same way on every run. Tracks are numbered 0, 1, ... in the order of their
// first detection (its frame, then its index in the input); detections of
// tracks shorter than minLength get -1. The linker runs on the calling
// thread only.

#include <cstdint>

// Status codes beyond the detector's (HESSIAN_OK, HESSIAN_NO_MEMORY): each
// failure its own negative value.
const int TRACK_BAD_SETTINGS = -10;  // a distance that is not positive and finite, a negative gap, ...
const int TRACK_BAD_POINT = -11;     // a detection whose x or y is not finite
const int TRACK_NO_ASSIGNMENT = -12; // an assignment problem with no complete assignment

// How a track's next position is foreseen.
enum TrackMotion {
    TRACK_MOTION_NONE = 0,      // where it was last seen (diffusion)
    TRACK_MOTION_VELOCITY = 1,  // its last position plus its last step per frame, times the frames ahead
    TRACK_MOTION_KALMAN = 2     // a constant-velocity Kalman filter (see kalman* in tracklinking.cpp)
};

// One detection: its frame (any integers; consecutive numbers are
// consecutive frames) and its position in pixels.
struct TrackPoint {
    int32_t frame;
    double x;
    double y;
};

struct TrackLinkSettings {
    double maxDistance = 0.0;  // pixels per frame, > 0 and finite
    int32_t gap = 0;           // frames a track may skip, 0 .. kMaxTrackGap
    int32_t minLength = 1;     // detections a track needs to be kept, >= 1
    TrackMotion motion = TRACK_MOTION_NONE;
};

const int32_t kMaxTrackGap = 1000;

// The most detections one call links (track numbers are int32).
const int64_t kMaxTrackPoints = INT32_MAX;

// Links `count` detections: track[i] is detection i's track number or -1.
// Returns 0, TRACK_BAD_SETTINGS, TRACK_BAD_POINT (track untouched) or
// HESSIAN_NO_MEMORY (track filled with -1).
int linkTracks(const TrackPoint *points, int64_t count, const TrackLinkSettings &settings, int32_t *track);

// One track's summary. Times are the detections' time stamps when given,
// their frame numbers otherwise; speed and diffusion are per that unit.
struct TrackSummary {
    int32_t track;
    int32_t firstFrame;
    int32_t lastFrame;
    int32_t length;      // detections
    double meanX;        // mean of the detections' positions
    double meanY;
    double meanSpeed;    // path length / (last time - first time); NaN for one detection
    double diffusion;    // D of MSD = 4 D t + c over frame lags 1 .. kDiffusionLags (see below); NaN when unknown
};

// The mean squared displacement at frame lag k (k = 1 .. kDiffusionLags) is
// the mean of |p_j - p_i|^2 over the pairs of the track's detections k
// frames apart, at the mean of their time differences t_k. D is a quarter
// of the slope of the least-squares line through the points (t_k, MSD_k)
// of the lags that have pairs (the intercept takes the localisation
// error); NaN when fewer than two lags have pairs or their times are equal.
// Units: pixels^2 per frame, or per second with time stamps in seconds.
const int kDiffusionLags = 4;

// Summaries of the tracks numbered 0 .. trackCount - 1 in track[] (as
// linkTracks numbers them; -1 skipped), into summaries[0 .. trackCount); a
// number no detection has gets length 0, frames 0 and NaN for the rest.
// `times` is null or one time stamp per detection. Returns 0,
// TRACK_BAD_POINT for a track with two detections in one frame or a number
// outside 0 .. trackCount - 1, or HESSIAN_NO_MEMORY.
int summarizeTracks(const TrackPoint *points, const double *times, const int32_t *track, int64_t count,
                    int32_t trackCount, TrackSummary *summaries);

// The sparse linear assignment problem: n rows and n columns, the allowed
// entries of row i at columns[rowStart[i] .. rowStart[i + 1]) with their
// costs (finite). Finds the assignment of every row to its own column with
// the least total cost: columnOfRow[i] for each row, and the total in
// *total (summed in row order). Returns 0, TRACK_NO_ASSIGNMENT when no
// complete assignment exists, TRACK_BAD_SETTINGS for a column out of range
// or a cost that is not finite, or HESSIAN_NO_MEMORY. Ties go the same way
// on every run.
int solveSparseAssignment(int32_t n, const int32_t *rowStart, const int32_t *columns, const double *costs,
                          int32_t *columnOfRow, double *total);

#endif // TRACKLINKING_H
