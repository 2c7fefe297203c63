#include "tracklinking.h"

#include "hessiandetector.h"

#include <algorithm>
#include <cmath>
#include <functional>
#include <new>
#include <utility>
#include <vector>

namespace {

// Positions beyond this are refused: the grid's extent must stay finite.
const double kLargestCoordinate = 1e15;

// ---------------------------------------------------------------------------
// The sparse Jonker-Volgenant solver.
//
// Column reduction first: each column's price v_j is its smallest cost, and
// a column goes to the row of that cost when the row is still free. Then
// every free row in turn is given a column by the shortest augmenting path
// in reduced costs c_ij - u_i - v_j (Dijkstra, with a heap since rows are
// sparse), after which the prices of the columns scanned are raised so
// that every reduced cost stays non-negative and the assigned pairs have a
// reduced cost of 0. u_i is never stored: it is c_ij - v_j of row i's
// assigned column j. Each augmentation assigns one more row and keeps the
// assignment optimal among those of its size, so the last is optimal.

struct AssignmentWork {
    std::vector<double> price;       // v_j
    std::vector<int32_t> cheapestRow;
    std::vector<int32_t> rowOfColumn;
    std::vector<double> rowCost;     // c_ij of row i's assigned column
    std::vector<double> distance;    // shortest path to each column
    std::vector<int32_t> pred;       // the row a column is reached from
    std::vector<double> predCost;    // the cost of that entry
    std::vector<char> scanned;
    std::vector<int32_t> touched;
    std::vector<int32_t> scannedList;
    std::vector<std::pair<double, int32_t>> heap;
};

int solveAssignmentWith(int32_t n, const int32_t *rowStart, const int32_t *columns, const double *costs,
                        int32_t *columnOfRow, AssignmentWork &w)
{
    const double inf = INFINITY;
    w.price.assign((size_t)n, inf);
    w.cheapestRow.assign((size_t)n, -1);
    for (int32_t i = 0; i < n; ++i)
        for (int32_t e = rowStart[i]; e < rowStart[i + 1]; ++e)
            if (costs[e] < w.price[(size_t)columns[e]]) {
                w.price[(size_t)columns[e]] = costs[e];
                w.cheapestRow[(size_t)columns[e]] = i;
            }
    w.rowOfColumn.assign((size_t)n, -1);
    w.rowCost.assign((size_t)n, 0.0);
    std::fill(columnOfRow, columnOfRow + n, -1);
    for (int32_t j = 0; j < n; ++j) {
        const int32_t i = w.cheapestRow[(size_t)j];
        if (i < 0)
            return TRACK_NO_ASSIGNMENT;  // a column no row can take
        if (columnOfRow[i] < 0) {
            columnOfRow[i] = j;
            w.rowOfColumn[(size_t)j] = i;
            w.rowCost[(size_t)i] = w.price[(size_t)j];
        }
    }

    w.distance.assign((size_t)n, inf);
    w.pred.assign((size_t)n, -1);
    w.predCost.assign((size_t)n, 0.0);
    w.scanned.assign((size_t)n, 0);
    // Smallest distance first, then the lowest column.
    const auto later = std::greater<std::pair<double, int32_t>>();
    for (int32_t free = 0; free < n; ++free) {
        if (columnOfRow[free] >= 0)
            continue;
        w.touched.clear();
        w.scannedList.clear();
        w.heap.clear();
        const auto reach = [&](int32_t j, double d, int32_t row, double cost) {
            if (d < w.distance[(size_t)j]) {
                if (w.distance[(size_t)j] == inf)
                    w.touched.push_back(j);
                w.distance[(size_t)j] = d;
                w.pred[(size_t)j] = row;
                w.predCost[(size_t)j] = cost;
                w.heap.emplace_back(d, j);
                std::push_heap(w.heap.begin(), w.heap.end(), later);
            }
        };
        for (int32_t e = rowStart[free]; e < rowStart[free + 1]; ++e)
            reach(columns[e], costs[e] - w.price[(size_t)columns[e]], free, costs[e]);
        int32_t sink = -1;
        double last = 0.0;
        while (!w.heap.empty()) {
            std::pop_heap(w.heap.begin(), w.heap.end(), later);
            const std::pair<double, int32_t> top = w.heap.back();
            w.heap.pop_back();
            const int32_t j = top.second;
            if (w.scanned[(size_t)j])
                continue;  // reached again at a shorter distance before
            w.scanned[(size_t)j] = 1;
            w.scannedList.push_back(j);
            last = top.first;
            const int32_t i = w.rowOfColumn[(size_t)j];
            if (i < 0) {
                sink = j;
                break;
            }
            const double u = w.rowCost[(size_t)i] - w.price[(size_t)j];
            for (int32_t e = rowStart[i]; e < rowStart[i + 1]; ++e) {
                const int32_t k = columns[e];
                if (!w.scanned[(size_t)k])
                    reach(k, last + (costs[e] - w.price[(size_t)k] - u), i, costs[e]);
            }
        }
        if (sink < 0)
            return TRACK_NO_ASSIGNMENT;
        // Each scanned column's price rises by how much closer than the
        // sink it lies.
        for (int32_t j : w.scannedList)
            w.price[(size_t)j] += w.distance[(size_t)j] - last;
        for (int32_t j : w.touched) {
            w.distance[(size_t)j] = inf;
            w.scanned[(size_t)j] = 0;
        }
        // Augment along the path back to the free row.
        for (int32_t j = sink;;) {
            const int32_t i = w.pred[(size_t)j];
            const int32_t previous = columnOfRow[i];
            w.rowOfColumn[(size_t)j] = i;
            columnOfRow[i] = j;
            w.rowCost[(size_t)i] = w.predCost[(size_t)j];
            if (i == free)
                break;
            j = previous;
        }
    }
    return HESSIAN_OK;
}

} // namespace

namespace {

// A detection in the linker's order: by frame, then position, then index.
struct SortedPoint {
    int32_t frame;
    int32_t index;
    double x;
    double y;
};

// ---------------------------------------------------------------------------
// Candidates: points put in square cells of at least the gate's size, so
// that everything within the gate of a position lies in the 3 x 3 cells
// around it.

struct CellGrid {
    double left = 0.0;
    double top = 0.0;
    double scale = 1.0;  // cells per pixel
    int64_t columns = 0;
    int64_t rows = 0;
    int32_t base = 0;                // with no items: cell k's points are base + k
    std::vector<int32_t> cellStart;  // columns * rows + 1 offsets into the points
    std::vector<int32_t> items;      // the points' ids, cell by cell (empty: base + k)

    // The points ids[0 .. n) of `points` (n > 0), each cell's in the order
    // given.
    void build(const SortedPoint *points, const int32_t *ids, int32_t n, double gate)
    {
        const auto at = [&](int32_t k) -> const SortedPoint & { return points[ids[k]]; };
        layOut(n, gate, at);
        items.resize((size_t)n);
        std::vector<int32_t> fill(cellStart.begin(), cellStart.end() - 1);
        for (int32_t k = 0; k < n; ++k)
            items[(size_t)fill[(size_t)cellOf(at(k).x, at(k).y)]++] = ids[k];
    }

    // points[first .. first + n) (n > 0) put in order of cell, then x,
    // then y, then index: an order that depends on the points only.
    void arrange(SortedPoint *points, int32_t first, int32_t n, double gate, std::vector<SortedPoint> &scratch)
    {
        SortedPoint *frame = points + first;
        layOut(n, gate, [frame](int32_t k) -> const SortedPoint & { return frame[k]; });
        scratch.resize((size_t)n);
        std::vector<int32_t> fill(cellStart.begin(), cellStart.end() - 1);
        for (int32_t k = 0; k < n; ++k)
            scratch[(size_t)fill[(size_t)cellOf(frame[k].x, frame[k].y)]++] = frame[k];
        // Cells hold a few points each: insertion sort.
        for (size_t c = 0; c + 1 < cellStart.size(); ++c)
            for (int32_t k = cellStart[c] + 1; k < cellStart[c + 1]; ++k) {
                const SortedPoint p = scratch[(size_t)k];
                int32_t j = k;
                for (; j > cellStart[c] && before(p, scratch[(size_t)j - 1]); --j)
                    scratch[(size_t)j] = scratch[(size_t)j - 1];
                scratch[(size_t)j] = p;
            }
        std::copy(scratch.begin(), scratch.end(), frame);
        base = first;
        items.clear();
    }

    // Calls visit(id) for every point in the 3 x 3 cells around (x, y).
    template <class Visit>
    void near(double x, double y, Visit visit) const
    {
        const double cx = std::floor((x - left) * scale), cy = std::floor((y - top) * scale);
        if (!(cx >= -1.0 && cx <= (double)columns && cy >= -1.0 && cy <= (double)rows))
            return;
        const int64_t c = (int64_t)cx, r = (int64_t)cy;
        for (int64_t row = std::max<int64_t>(r - 1, 0); row <= std::min(r + 1, rows - 1); ++row) {
            const int64_t first = row * columns + std::max<int64_t>(c - 1, 0);
            const int64_t last = row * columns + std::min(c + 1, columns - 1);
            for (int32_t k = cellStart[(size_t)first]; k < cellStart[(size_t)last + 1]; ++k)
                visit(items.empty() ? base + k : items[(size_t)k]);
        }
    }

private:
    static bool before(const SortedPoint &a, const SortedPoint &b)
    {
        if (a.x != b.x)
            return a.x < b.x;
        if (a.y != b.y)
            return a.y < b.y;
        return a.index < b.index;
    }

    int64_t cellOf(double x, double y) const
    {
        const int64_t c = std::min(columns - 1, (int64_t)((x - left) * scale));
        const int64_t r = std::min(rows - 1, (int64_t)((y - top) * scale));
        return r * columns + c;
    }

    // Cells a little wider than `gate` (so that rounding cannot put a point
    // within the gate two cells away) and no more numerous than about 4 n;
    // counts them into cellStart.
    template <class At>
    void layOut(int32_t n, double gate, At at)
    {
        double right = -INFINITY, bottom = -INFINITY;
        left = INFINITY;
        top = INFINITY;
        for (int32_t k = 0; k < n; ++k) {
            left = std::min(left, at(k).x);
            right = std::max(right, at(k).x);
            top = std::min(top, at(k).y);
            bottom = std::max(bottom, at(k).y);
        }
        const double limit = 4.0 * (double)n + 16.0;
        const double cell = std::max({gate * (1.0 + 1e-6), 1e-9, (right - left) / std::sqrt(limit),
                                      (bottom - top) / std::sqrt(limit)});
        scale = 1.0 / cell;
        columns = (int64_t)((right - left) * scale) + 1;
        rows = (int64_t)((bottom - top) * scale) + 1;
        cellStart.assign((size_t)(columns * rows + 1), 0);
        for (int32_t k = 0; k < n; ++k)
            ++cellStart[(size_t)cellOf(at(k).x, at(k).y) + 1];
        for (size_t c = 1; c < cellStart.size(); ++c)
            cellStart[c] += cellStart[c - 1];
    }
};

// ---------------------------------------------------------------------------
// Motion. Each detection keeps the state of its track after it; a track's
// position some frames ahead is foreseen from that state.

// The constant-velocity Kalman filter, one axis at a time (both axes have
// the same covariance, since they are measured at the same times). State
// (p, v): position and velocity per frame. Per frame ahead, the position
// diffuses with variance (maxDistance / 3)^2 and the velocity changes with
// variance (maxDistance / 6)^2; a measurement is off by (maxDistance / 10)^2.
// A new track starts at rest with a velocity variance of (maxDistance / 2)^2.
struct KalmanScales {
    double positionNoise;
    double velocityNoise;
    double measurementNoise;
    double initialVelocity;
};

KalmanScales kalmanScales(double maxDistance)
{
    const double d2 = maxDistance * maxDistance;
    return KalmanScales{d2 / 9.0, d2 / 36.0, d2 / 100.0, d2 / 4.0};
}

struct MotionState {
    double x, y;    // the filtered position (the detection's own without a filter)
    double vx, vy;  // per frame
    double p00, p01, p11;  // the Kalman covariance of (p, v)
};

MotionState startMotion(const TrackPoint &point, const KalmanScales &k)
{
    return MotionState{point.x, point.y, 0.0, 0.0, k.measurementNoise, 0.0, k.initialVelocity};
}

void predictPosition(const MotionState &s, TrackMotion motion, int32_t ahead, double *x, double *y)
{
    if (motion == TRACK_MOTION_NONE) {
        *x = s.x;
        *y = s.y;
        return;
    }
    *x = s.x + s.vx * (double)ahead;
    *y = s.y + s.vy * (double)ahead;
}

MotionState continueMotion(const MotionState &s, const TrackPoint &point, TrackMotion motion, int32_t ahead,
                           const KalmanScales &k)
{
    if (motion == TRACK_MOTION_NONE)
        return MotionState{point.x, point.y, 0.0, 0.0, 0.0, 0.0, 0.0};
    if (motion == TRACK_MOTION_VELOCITY) {
        const double dt = (double)ahead;
        return MotionState{point.x, point.y, (point.x - s.x) / dt, (point.y - s.y) / dt, 0.0, 0.0, 0.0};
    }
    // Predict: F = [1 dt; 0 1], Q = diag(positionNoise, velocityNoise) * dt.
    const double dt = (double)ahead;
    const double p00 = s.p00 + 2.0 * dt * s.p01 + dt * dt * s.p11 + k.positionNoise * dt;
    const double p01 = s.p01 + dt * s.p11;
    const double p11 = s.p11 + k.velocityNoise * dt;
    const double px = s.x + s.vx * dt, py = s.y + s.vy * dt;
    // Update with the measured position.
    const double innovation = p00 + k.measurementNoise;
    const double gainP = p00 / innovation, gainV = p01 / innovation;
    const double rx = point.x - px, ry = point.y - py;
    MotionState next;
    next.x = px + gainP * rx;
    next.y = py + gainP * ry;
    next.vx = s.vx + gainV * rx;
    next.vy = s.vy + gainV * ry;
    next.p00 = (1.0 - gainP) * p00;
    next.p01 = (1.0 - gainP) * p01;
    next.p11 = p11 - gainV * p01;
    return next;
}

// ---------------------------------------------------------------------------
// One round of assignments: sources (track ends) against targets
// (detections or track starts), through the allowed edges. Ending a track
// and starting one cost `alternative` each.

struct Edge {
    int32_t source;
    int32_t target;
    double cost;
};

struct LinkWork {
    AssignmentWork solver;
    std::vector<int32_t> parent;
    std::vector<int32_t> componentOfRoot;
    std::vector<int32_t> componentStart;
    std::vector<int32_t> componentEdges;
    std::vector<int32_t> local;
    std::vector<int32_t> rowStart;
    std::vector<int32_t> columns;
    std::vector<double> costs;
    std::vector<int32_t> columnOfRow;
    std::vector<int32_t> edgeComponent;
    std::vector<int32_t> fill;
    std::vector<int32_t> partSources;
    std::vector<int32_t> partTargets;
    std::vector<int32_t> degree;
    std::vector<Edge> rest;
};

int32_t findRoot(std::vector<int32_t> &parent, int32_t node)
{
    while (parent[(size_t)node] != node) {
        parent[(size_t)node] = parent[(size_t)parent[(size_t)node]];
        node = parent[(size_t)node];
    }
    return node;
}

// targetOf[s] (sized sources, filled with -1 here) gets each linked
// source's target. Edges are solved one connected part at a time.
int assignParts(int32_t sources, int32_t targets, const std::vector<Edge> &edges, double alternative,
                std::vector<int32_t> &targetOf, LinkWork &w);

int assignLinks(int32_t sources, int32_t targets, const std::vector<Edge> &edges, double alternative,
                std::vector<int32_t> &targetOf, LinkWork &w)
{
    targetOf.assign((size_t)sources, -1);
    if (edges.empty())
        return HESSIAN_OK;
    // A source and a target with no other candidate link each other; only
    // the rest needs the assignment.
    w.degree.assign((size_t)(sources + targets), 0);
    for (const Edge &e : edges) {
        ++w.degree[(size_t)e.source];
        ++w.degree[(size_t)(sources + e.target)];
    }
    w.rest.clear();
    for (const Edge &e : edges) {
        if (w.degree[(size_t)e.source] == 1 && w.degree[(size_t)(sources + e.target)] == 1)
            targetOf[(size_t)e.source] = e.target;
        else
            w.rest.push_back(e);
    }
    if (w.rest.empty())
        return HESSIAN_OK;
    return assignParts(sources, targets, w.rest, alternative, targetOf, w);
}

// The same for edges of which no part is a lone pair; targetOf is filled
// already.
int assignParts(int32_t sources, int32_t targets, const std::vector<Edge> &edges, double alternative,
                std::vector<int32_t> &targetOf, LinkWork &w)
{
    const int32_t nodes = sources + targets;
    w.parent.resize((size_t)nodes);
    for (int32_t v = 0; v < nodes; ++v)
        w.parent[(size_t)v] = v;
    for (const Edge &e : edges) {
        const int32_t a = findRoot(w.parent, e.source), b = findRoot(w.parent, sources + e.target);
        if (a != b)
            w.parent[(size_t)std::max(a, b)] = std::min(a, b);
    }
    // Parts numbered in the order of their first edge; their edges grouped
    // in edge order.
    w.componentOfRoot.assign((size_t)nodes, -1);
    w.componentStart.assign(1, 0);
    std::vector<int32_t> &edgeComponent = w.edgeComponent;
    edgeComponent.resize(edges.size());
    int32_t parts = 0;
    for (size_t k = 0; k < edges.size(); ++k) {
        const int32_t root = findRoot(w.parent, edges[k].source);
        if (w.componentOfRoot[(size_t)root] < 0) {
            w.componentOfRoot[(size_t)root] = parts++;
            w.componentStart.push_back(0);
        }
        edgeComponent[k] = w.componentOfRoot[(size_t)root];
        ++w.componentStart[(size_t)edgeComponent[k] + 1];
    }
    for (int32_t c = 0; c < parts; ++c)
        w.componentStart[(size_t)c + 1] += w.componentStart[(size_t)c];
    w.componentEdges.resize(edges.size());
    w.fill.assign(w.componentStart.begin(), w.componentStart.end() - 1);
    for (size_t k = 0; k < edges.size(); ++k)
        w.componentEdges[(size_t)w.fill[(size_t)edgeComponent[k]]++] = (int32_t)k;

    w.local.assign((size_t)nodes, -1);
    std::vector<int32_t> &partSources = w.partSources, &partTargets = w.partTargets;
    for (int32_t c = 0; c < parts; ++c) {
        const int32_t *part = w.componentEdges.data() + w.componentStart[(size_t)c];
        const int32_t count = w.componentStart[(size_t)c + 1] - w.componentStart[(size_t)c];
        partSources.clear();
        partTargets.clear();
        for (int32_t k = 0; k < count; ++k) {
            const Edge &e = edges[(size_t)part[k]];
            if (w.local[(size_t)e.source] < 0) {
                w.local[(size_t)e.source] = (int32_t)partSources.size();
                partSources.push_back(e.source);
            }
            if (w.local[(size_t)(sources + e.target)] < 0) {
                w.local[(size_t)(sources + e.target)] = (int32_t)partTargets.size();
                partTargets.push_back(e.target);
            }
        }
        const int32_t ns = (int32_t)partSources.size(), nt = (int32_t)partTargets.size();
        if (ns == 1 || nt == 1) {
            // One source takes its nearest target, one target its nearest
            // source: any link costs less than an end and a start.
            int32_t best = part[0];
            for (int32_t k = 1; k < count; ++k)
                if (edges[(size_t)part[k]].cost < edges[(size_t)best].cost)
                    best = part[k];
            targetOf[(size_t)edges[(size_t)best].source] = edges[(size_t)best].target;
        } else {
            // Rows: the part's sources, then one per target for its start.
            // Columns: the targets, then one per source for its end. A
            // target's start row may take the end column of any source it
            // could link to, at no cost, so that every set of links has a
            // complete assignment costing the links, ends and starts.
            const int32_t n = ns + nt;
            w.rowStart.assign((size_t)n + 1, 0);
            for (int32_t k = 0; k < count; ++k) {
                const Edge &e = edges[(size_t)part[k]];
                ++w.rowStart[(size_t)w.local[(size_t)e.source] + 1];
                ++w.rowStart[(size_t)(ns + w.local[(size_t)(sources + e.target)]) + 1];
            }
            for (int32_t r = 0; r < n; ++r)
                w.rowStart[(size_t)r + 1] += w.rowStart[(size_t)r] + 1;
            const size_t entries = (size_t)w.rowStart[(size_t)n];
            w.columns.resize(entries);
            w.costs.resize(entries);
            std::vector<int32_t> &fill = w.fill;
            fill.assign(w.rowStart.begin(), w.rowStart.end() - 1);
            for (int32_t k = 0; k < count; ++k) {
                const Edge &e = edges[(size_t)part[k]];
                const int32_t s = w.local[(size_t)e.source], t = w.local[(size_t)(sources + e.target)];
                w.columns[(size_t)fill[(size_t)s]] = t;
                w.costs[(size_t)fill[(size_t)s]++] = e.cost;
                w.columns[(size_t)fill[(size_t)(ns + t)]] = nt + s;
                w.costs[(size_t)fill[(size_t)(ns + t)]++] = 0.0;
            }
            for (int32_t s = 0; s < ns; ++s) {
                w.columns[(size_t)fill[(size_t)s]] = nt + s;
                w.costs[(size_t)fill[(size_t)s]++] = alternative;
            }
            for (int32_t t = 0; t < nt; ++t) {
                w.columns[(size_t)fill[(size_t)(ns + t)]] = t;
                w.costs[(size_t)fill[(size_t)(ns + t)]++] = alternative;
            }
            w.columnOfRow.resize((size_t)n);
            const int status = solveAssignmentWith(n, w.rowStart.data(), w.columns.data(), w.costs.data(),
                                                   w.columnOfRow.data(), w.solver);
            if (status != HESSIAN_OK)
                return status;
            for (int32_t s = 0; s < ns; ++s)
                if (w.columnOfRow[(size_t)s] < nt)
                    targetOf[(size_t)partSources[(size_t)s]] = partTargets[(size_t)w.columnOfRow[(size_t)s]];
        }
        for (int32_t s : partSources)
            w.local[(size_t)s] = -1;
        for (int32_t t : partTargets)
            w.local[(size_t)(sources + t)] = -1;
    }
    return HESSIAN_OK;
}

bool validSettings(const TrackLinkSettings &s)
{
    return s.maxDistance > 0.0 && std::isfinite(s.maxDistance) && s.maxDistance <= kLargestCoordinate
           && s.gap >= 0 && s.gap <= kMaxTrackGap && s.minLength >= 1
           && (s.motion == TRACK_MOTION_NONE || s.motion == TRACK_MOTION_VELOCITY || s.motion == TRACK_MOTION_KALMAN);
}

int linkSorted(const TrackPoint *points, int32_t count, const TrackLinkSettings &settings, int32_t *track)
{
    // By frame (most callers give their detections frame by frame, and
    // are spared that sort), then by position within each frame.
    std::vector<SortedPoint> sorted((size_t)count);
    bool inFrameOrder = true;
    for (int32_t i = 0; i < count; ++i) {
        sorted[(size_t)i] = SortedPoint{points[i].frame, i, points[i].x, points[i].y};
        inFrameOrder = inFrameOrder && (i == 0 || points[i - 1].frame <= points[i].frame);
    }
    if (!inFrameOrder)
        std::stable_sort(sorted.begin(), sorted.end(),
                         [](const SortedPoint &a, const SortedPoint &b) { return a.frame < b.frame; });
    // Frames present: frameStart[f] .. frameStart[f + 1] in sorted order.
    std::vector<int32_t> frameStart;
    for (int32_t p = 0; p < count; ++p)
        if (p == 0 || sorted[(size_t)p].frame != sorted[(size_t)p - 1].frame)
            frameStart.push_back(p);
    const int32_t frames = (int32_t)frameStart.size();
    frameStart.push_back(count);
    // Each frame in an order of its own points only, its grid kept for
    // finding the detections near a track's end.
    const double gate = settings.maxDistance, alternative = gate * gate;
    std::vector<CellGrid> grids((size_t)frames);
    {
        std::vector<SortedPoint> scratch;
        for (int32_t f = 0; f < frames; ++f)
            grids[(size_t)f].arrange(sorted.data(), frameStart[(size_t)f],
                                     frameStart[(size_t)f + 1] - frameStart[(size_t)f], gate, scratch);
    }

    const TrackMotion motion = settings.motion;
    const KalmanScales scales = kalmanScales(settings.maxDistance);
    // Without a motion model a track is foreseen where it was last seen,
    // and no state is kept.
    std::vector<MotionState> state(motion == TRACK_MOTION_NONE ? 0 : (size_t)count);
    for (size_t p = 0; p < state.size(); ++p)
        state[p] = startMotion(TrackPoint{sorted[p].frame, sorted[p].x, sorted[p].y}, scales);
    const auto predict = [&](int32_t p, int32_t ahead, double *x, double *y) {
        if (motion == TRACK_MOTION_NONE) {
            *x = sorted[(size_t)p].x;
            *y = sorted[(size_t)p].y;
        } else {
            predictPosition(state[(size_t)p], motion, ahead, x, y);
        }
    };
    std::vector<int32_t> next((size_t)count, -1), previous((size_t)count, -1);

    LinkWork work;
    std::vector<Edge> edges;
    std::vector<int32_t> targetOf;
    // Frame to frame.
    for (int32_t f = 0; f + 1 < frames; ++f) {
        const int32_t s0 = frameStart[(size_t)f], t0 = frameStart[(size_t)f + 1], t1 = frameStart[(size_t)f + 2];
        if ((int64_t)sorted[(size_t)t0].frame != (int64_t)sorted[(size_t)s0].frame + 1)
            continue;
        edges.clear();
        for (int32_t s = s0; s < t0; ++s) {
            double px, py;
            predict(s, 1, &px, &py);
            grids[(size_t)f + 1].near(px, py, [&](int32_t t) {
                const double dx = sorted[(size_t)t].x - px, dy = sorted[(size_t)t].y - py;
                const double d2 = dx * dx + dy * dy;
                if (d2 <= alternative)
                    edges.push_back(Edge{s - s0, t - t0, d2});
            });
        }
        const int status = assignLinks(t0 - s0, t1 - t0, edges, alternative, targetOf, work);
        if (status != HESSIAN_OK)
            return status;
        for (int32_t s = s0; s < t0; ++s) {
            const int32_t target = targetOf[(size_t)(s - s0)];
            if (target < 0)
                continue;
            const int32_t t = t0 + target;
            next[(size_t)s] = t;
            previous[(size_t)t] = s;
            if (motion != TRACK_MOTION_NONE)
                state[(size_t)t] = continueMotion(state[(size_t)s], TrackPoint{sorted[(size_t)t].frame, sorted[(size_t)t].x,
                                                                                 sorted[(size_t)t].y},
                                                  motion, 1, scales);
        }
    }

    // Gap closing: ends against the starts 2 .. gap + 1 frames later.
    if (settings.gap > 0) {
        std::vector<int32_t> ends, starts, startOfFrame((size_t)frames + 1, 0);
        for (int32_t f = 0; f < frames; ++f) {
            startOfFrame[(size_t)f] = (int32_t)starts.size();
            for (int32_t p = frameStart[(size_t)f]; p < frameStart[(size_t)f + 1]; ++p) {
                if (next[(size_t)p] < 0)
                    ends.push_back(p);
                if (previous[(size_t)p] < 0)
                    starts.push_back(p);
            }
        }
        startOfFrame[(size_t)frames] = (int32_t)starts.size();
        const double widest = gate * std::sqrt((double)settings.gap + 1.0);
        std::vector<CellGrid> startGrids((size_t)frames);
        for (int32_t f = 0; f < frames; ++f) {
            const int32_t n = startOfFrame[(size_t)f + 1] - startOfFrame[(size_t)f];
            if (n > 0)
                startGrids[(size_t)f].build(sorted.data(), starts.data() + startOfFrame[(size_t)f], n, widest);
        }
        std::vector<int32_t> startIndex((size_t)count, -1);
        for (size_t k = 0; k < starts.size(); ++k)
            startIndex[(size_t)starts[k]] = (int32_t)k;
        std::vector<int32_t> frameNumbers((size_t)frames);
        for (int32_t f = 0; f < frames; ++f)
            frameNumbers[(size_t)f] = sorted[(size_t)frameStart[(size_t)f]].frame;
        edges.clear();
        for (size_t k = 0; k < ends.size(); ++k) {
            const int32_t e = ends[k];
            const int64_t endFrame = sorted[(size_t)e].frame;
            auto f = std::upper_bound(frameNumbers.begin(), frameNumbers.end(), (int32_t)endFrame);
            for (; f != frameNumbers.end() && (int64_t)*f <= endFrame + settings.gap + 1; ++f) {
                const int32_t ahead = (int32_t)((int64_t)*f - endFrame);
                if (ahead < 2)
                    continue;
                const size_t fi = (size_t)(f - frameNumbers.begin());
                if (startOfFrame[fi + 1] == startOfFrame[fi])
                    continue;
                double px, py;
                predict(e, ahead, &px, &py);
                const double limit = alternative * (double)ahead;
                startGrids[fi].near(px, py, [&](int32_t t) {
                    const double dx = sorted[(size_t)t].x - px, dy = sorted[(size_t)t].y - py;
                    const double d2 = dx * dx + dy * dy;
                    if (d2 <= limit)
                        edges.push_back(Edge{(int32_t)k, startIndex[(size_t)t], d2 / (double)ahead});
                });
            }
        }
        const int status = assignLinks((int32_t)ends.size(), (int32_t)starts.size(), edges, alternative, targetOf,
                                       work);
        if (status != HESSIAN_OK)
            return status;
        for (size_t k = 0; k < ends.size(); ++k) {
            if (targetOf[k] < 0)
                continue;
            const int32_t e = ends[k], t = starts[(size_t)targetOf[k]];
            next[(size_t)e] = t;
            previous[(size_t)t] = e;
        }
    }

    // Tracks: the chains of links, labelled in sorted order (a link always
    // points back to an earlier frame), then numbered by their first
    // detection's frame and input index.
    struct Head {
        int32_t frame;
        int32_t index;
        int32_t chain;
    };
    std::vector<Head> heads;
    std::vector<int32_t> chainOf((size_t)count), length;
    for (int32_t p = 0; p < count; ++p) {
        if (previous[(size_t)p] < 0) {
            chainOf[(size_t)p] = (int32_t)heads.size();
            heads.push_back(Head{sorted[(size_t)p].frame, sorted[(size_t)p].index, (int32_t)heads.size()});
            length.push_back(0);
        } else {
            chainOf[(size_t)p] = chainOf[(size_t)previous[(size_t)p]];
        }
        ++length[(size_t)chainOf[(size_t)p]];
    }
    heads.erase(std::remove_if(heads.begin(), heads.end(),
                               [&](const Head &h) { return length[(size_t)h.chain] < settings.minLength; }),
                heads.end());
    std::sort(heads.begin(), heads.end(), [](const Head &a, const Head &b) {
        return a.frame != b.frame ? a.frame < b.frame : a.index < b.index;
    });
    std::vector<int32_t> &number = length;  // reused: each chain's track number
    std::fill(number.begin(), number.end(), -1);
    for (size_t k = 0; k < heads.size(); ++k)
        number[(size_t)heads[k].chain] = (int32_t)k;
    for (int32_t p = 0; p < count; ++p)
        track[sorted[(size_t)p].index] = number[(size_t)chainOf[(size_t)p]];
    return HESSIAN_OK;
}

} // namespace

int solveSparseAssignment(int32_t n, const int32_t *rowStart, const int32_t *columns, const double *costs,
                          int32_t *columnOfRow, double *total)
{
    if (n < 0 || (n > 0 && rowStart[0] != 0))
        return TRACK_BAD_SETTINGS;
    for (int32_t i = 0; i < n; ++i) {
        if (rowStart[i + 1] < rowStart[i])
            return TRACK_BAD_SETTINGS;
        for (int32_t e = rowStart[i]; e < rowStart[i + 1]; ++e)
            if (columns[e] < 0 || columns[e] >= n || !std::isfinite(costs[e]))
                return TRACK_BAD_SETTINGS;
    }
    try {
        AssignmentWork work;
        const int status = solveAssignmentWith(n, rowStart, columns, costs, columnOfRow, work);
        if (status != HESSIAN_OK)
            return status;
        double sum = 0.0;
        for (int32_t i = 0; i < n; ++i)
            sum += work.rowCost[(size_t)i];
        *total = sum;
    } catch (const std::bad_alloc &) {
        return HESSIAN_NO_MEMORY;
    }
    return HESSIAN_OK;
}

int linkTracks(const TrackPoint *points, int64_t count, const TrackLinkSettings &settings, int32_t *track)
{
    if (!validSettings(settings) || count < 0 || count > kMaxTrackPoints)
        return TRACK_BAD_SETTINGS;
    for (int64_t i = 0; i < count; ++i)
        if (!(std::fabs(points[i].x) <= kLargestCoordinate && std::fabs(points[i].y) <= kLargestCoordinate))
            return TRACK_BAD_POINT;
    int status;
    try {
        status = linkSorted(points, (int32_t)count, settings, track);
    } catch (const std::bad_alloc &) {
        status = HESSIAN_NO_MEMORY;
    }
    if (status != HESSIAN_OK)
        std::fill(track, track + count, -1);
    return status;
}

int summarizeTracks(const TrackPoint *points, const double *times, const int32_t *track, int64_t count,
                    int32_t trackCount, TrackSummary *summaries)
{
    if (count < 0 || count > kMaxTrackPoints || trackCount < 0)
        return TRACK_BAD_SETTINGS;
    for (int64_t i = 0; i < count; ++i)
        if (track[i] < -1 || track[i] >= trackCount)
            return TRACK_BAD_POINT;
    try {
        // Each track's detections together, in frame order.
        std::vector<int64_t> start((size_t)trackCount + 1, 0);
        for (int64_t i = 0; i < count; ++i)
            if (track[i] >= 0)
                ++start[(size_t)track[i] + 1];
        for (int32_t t = 0; t < trackCount; ++t)
            start[(size_t)t + 1] += start[(size_t)t];
        std::vector<int64_t> members((size_t)start[(size_t)trackCount]);
        {
            std::vector<int64_t> fill(start.begin(), start.end() - 1);
            for (int64_t i = 0; i < count; ++i)
                if (track[i] >= 0)
                    members[(size_t)fill[(size_t)track[i]]++] = i;
        }
        const auto timeOf = [&](int64_t i) { return times ? times[i] : (double)points[i].frame; };
        for (int32_t t = 0; t < trackCount; ++t) {
            int64_t *first = members.data() + start[(size_t)t], *last = members.data() + start[(size_t)t + 1];
            std::sort(first, last, [points](int64_t a, int64_t b) { return points[a].frame < points[b].frame; });
            const int64_t length = last - first;
            TrackSummary &s = summaries[t];
            s.track = t;
            s.length = (int32_t)length;
            s.meanX = s.meanY = s.meanSpeed = s.diffusion = NAN;
            s.firstFrame = s.lastFrame = 0;
            if (length == 0)
                continue;
            s.firstFrame = points[first[0]].frame;
            s.lastFrame = points[last[-1]].frame;
            double sumX = 0.0, sumY = 0.0, path = 0.0;
            for (int64_t k = 0; k < length; ++k) {
                const TrackPoint &p = points[first[k]];
                if (k > 0 && p.frame == points[first[k - 1]].frame)
                    return TRACK_BAD_POINT;
                sumX += p.x;
                sumY += p.y;
                if (k > 0)
                    path += std::hypot(p.x - points[first[k - 1]].x, p.y - points[first[k - 1]].y);
            }
            s.meanX = sumX / (double)length;
            s.meanY = sumY / (double)length;
            const double duration = timeOf(last[-1]) - timeOf(first[0]);
            if (length > 1 && duration != 0.0)
                s.meanSpeed = path / duration;
            // MSD at frame lags 1 .. kDiffusionLags: a detection's partner
            // `lag` frames on lies at most `lag` places later.
            double lagTime[kDiffusionLags], lagMsd[kDiffusionLags];
            int lags = 0;
            for (int lag = 1; lag <= kDiffusionLags; ++lag) {
                double sumD2 = 0.0, sumT = 0.0;
                int64_t pairs = 0;
                for (int64_t k = 0; k < length; ++k) {
                    const TrackPoint &a = points[first[k]];
                    for (int64_t m = k + 1; m < length && m <= k + lag; ++m) {
                        const TrackPoint &b = points[first[m]];
                        if ((int64_t)b.frame - a.frame != lag)
                            continue;
                        sumD2 += (b.x - a.x) * (b.x - a.x) + (b.y - a.y) * (b.y - a.y);
                        sumT += timeOf(first[m]) - timeOf(first[k]);
                        ++pairs;
                    }
                }
                if (pairs > 0) {
                    lagTime[lags] = sumT / (double)pairs;
                    lagMsd[lags] = sumD2 / (double)pairs;
                    ++lags;
                }
            }
            if (lags >= 2) {
                double meanT = 0.0, meanM = 0.0;
                for (int k = 0; k < lags; ++k) {
                    meanT += lagTime[k];
                    meanM += lagMsd[k];
                }
                meanT /= lags;
                meanM /= lags;
                double sxx = 0.0, sxy = 0.0;
                for (int k = 0; k < lags; ++k) {
                    sxx += (lagTime[k] - meanT) * (lagTime[k] - meanT);
                    sxy += (lagTime[k] - meanT) * (lagMsd[k] - meanM);
                }
                if (sxx > 0.0)
                    s.diffusion = sxy / sxx / 4.0;
            }
        }
    } catch (const std::bad_alloc &) {
        return HESSIAN_NO_MEMORY;
    }
    return HESSIAN_OK;
}
