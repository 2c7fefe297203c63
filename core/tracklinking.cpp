#include "tracklinking.h"

#include "hessiandetector.h"

#include <algorithm>
#include <cmath>
#include <functional>
#include <memory>
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
// Candidates: points put in square cells of at least twice the gate's
// size, so that everything within the gate of a position lies in the 2 x 2
// cells of its quadrant of its cell. The grids of all frames share two flat arrays (no allocation
// per frame): a grid's cells are cellStart[first .. first + cells], offsets
// into its frame's points (or into items, for a grid of chosen points).

struct GridShape {
    double left;
    double top;
    double scale;  // cells per pixel
    int64_t columns;
    int64_t rows;
    int64_t stride;     // columns + 4: two empty cells on each side, so
                        // that no query needs to be clamped
    size_t first;       // its first offset in Grids::cellStart
    int32_t base;       // a frame's grid: cell k's points are base + offsets
    bool chosen;        // a grid of chosen points: their ids in Grids::items

    int64_t cells() const { return stride * (rows + 4); }
};

// The points of the 2 x 2 cells nearest a position: two runs of offsets.
struct Neighbourhood {
    int32_t from[2];
    int32_t to[2];
};

struct Grids {
    std::vector<GridShape> shapes;
    std::vector<int32_t> cellStart;
    std::vector<int32_t> items;
    std::vector<int32_t> fill;
    std::vector<int32_t> pointCell;   // the last layOut's cell of each point
    std::vector<int32_t> sortedCell;  // arrange's cell of each point written

    void clear()
    {
        shapes.clear();
        cellStart.clear();
        items.clear();
    }

    // Room for `grids` grids over `points` points in all, so that the flat
    // arrays are allocated once and never moved (a moved array is copied
    // and its new pages faulted in, on every call). A grid of n points has
    // at most (sqrt(L) + 1)^2 cells inside, L = 4 n + 16, and
    // (sqrt(L) + 5)^2 + 1 offsets with the border: at most 2 L + 51 =
    // 8 n + 83, as 10 sqrt(L) <= L + 25.
    void reserve(int64_t points, int64_t grids)
    {
        shapes.reserve((size_t)grids);
        cellStart.reserve((size_t)(8 * points + 83 * grids));
        items.reserve((size_t)points);
    }

    // Writes the points at(0 .. n) (n > 0; SortedPoint values) to
    // out[first .. first + n) in order of cell, then x, then y, then
    // index: an order that depends on the points only. A new grid over
    // them.
    template <class At>
    void arrange(SortedPoint *out, int32_t first, int32_t n, double gate, At at)
    {
        GridShape &g = layOut(n, gate, at);
        g.base = first;
        g.chosen = false;
        const int32_t *start = cellStart.data() + g.first;
        fill.assign(start, start + g.cells());
        SortedPoint *frame = out + first;
        sortedCell.resize((size_t)n);
        for (int32_t k = 0; k < n; ++k) {
            const int32_t cell = pointCell[(size_t)k], to = fill[(size_t)cell]++;
            frame[to] = at(k);
            sortedCell[(size_t)to] = cell;
        }
        // Cells hold a few points each: insertion sort within each.
        for (int32_t k = 1; k < n; ++k) {
            const int32_t floor = start[sortedCell[(size_t)k]];
            if (k == floor || !before(frame[k], frame[k - 1]))
                continue;
            const SortedPoint p = frame[k];
            int32_t j = k;
            for (; j > floor && before(p, frame[j - 1]); --j)
                frame[j] = frame[j - 1];
            frame[j] = p;
        }
    }

    // A new grid over the points ids[0 .. n) of `points` (n > 0), each
    // cell's in the order given.
    void build(const SortedPoint *points, const int32_t *ids, int32_t n, double gate)
    {
        const auto at = [&](int32_t k) -> const SortedPoint & { return points[ids[k]]; };
        GridShape &g = layOut(n, gate, at);
        g.chosen = true;
        g.base = (int32_t)items.size();
        const int32_t *start = cellStart.data() + g.first;
        fill.assign(start, start + g.cells());
        items.resize(items.size() + (size_t)n);
        for (int32_t k = 0; k < n; ++k)
            items[(size_t)g.base + (size_t)fill[(size_t)pointCell[(size_t)k]]++] = ids[k];
    }

    // The runs of points in the 2 x 2 cells nearest (x, y) in grid `grid`
    // (those of its quadrant of its cell): cells are at least twice the
    // gate, so everything within the gate lies there. False when (x, y)
    // lies beyond them all.
    bool around(size_t grid, double x, double y, Neighbourhood *runs) const
    {
        const GridShape &g = shapes[grid];
        // In padded cells: two further right and down, so that truncation
        // floors.
        const double cx = (x - g.left) * g.scale + 2.0, cy = (y - g.top) * g.scale + 2.0;
        if (!(cx >= 1.0 && cx < (double)g.columns + 3.0 && cy >= 1.0 && cy < (double)g.rows + 3.0))
            return false;
        const int64_t column = (int64_t)cx, row = (int64_t)cy;
        const int64_t left = column - 1 + (cx - (double)column >= 0.5), top = row - 1 + (cy - (double)row >= 0.5);
        const int32_t *start = cellStart.data() + g.first + (top * g.stride + left);
        runs->from[0] = start[0];
        runs->to[0] = start[2];
        runs->from[1] = start[g.stride];
        runs->to[1] = start[g.stride + 2];
        return true;
    }

    // The point at offset k of grid `grid`.
    int32_t point(size_t grid, int32_t k) const
    {
        const GridShape &g = shapes[grid];
        return g.chosen ? items[(size_t)(g.base + k)] : g.base + k;
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

    static int64_t cellOf(const GridShape &g, double x, double y)
    {
        const int64_t c = std::min(g.columns - 1, (int64_t)((x - g.left) * g.scale));
        const int64_t r = std::min(g.rows - 1, (int64_t)((y - g.top) * g.scale));
        return (r + 2) * g.stride + c + 2;
    }

    // Cells a little wider than twice `gate` (so that rounding cannot put
    // a point within the gate beyond the nearest 2 x 2) and no more
    // numerous than about 4 n; counts them into the new grid's cellStart.
    template <class At>
    GridShape &layOut(int32_t n, double gate, At at)
    {
        double left = INFINITY, top = INFINITY, right = -INFINITY, bottom = -INFINITY;
        for (int32_t k = 0; k < n; ++k) {
            left = std::min(left, at(k).x);
            right = std::max(right, at(k).x);
            top = std::min(top, at(k).y);
            bottom = std::max(bottom, at(k).y);
        }
        const double limit = 4.0 * (double)n + 16.0;
        const double cell = std::max({2.0 * gate * (1.0 + 1e-6), 1e-9, (right - left) / std::sqrt(limit),
                                      (bottom - top) / std::sqrt(limit)});
        GridShape g;
        g.left = left;
        g.top = top;
        g.scale = 1.0 / cell;
        g.columns = (int64_t)((right - left) * g.scale) + 1;
        g.rows = (int64_t)((bottom - top) * g.scale) + 1;
        g.stride = g.columns + 4;
        g.first = cellStart.size();
        g.base = 0;
        g.chosen = false;
        cellStart.resize(g.first + (size_t)g.cells() + 1, 0);
        int32_t *start = cellStart.data() + g.first;
        pointCell.resize((size_t)n);
        for (int32_t k = 0; k < n; ++k) {
            pointCell[(size_t)k] = (int32_t)cellOf(g, at(k).x, at(k).y);
            ++start[pointCell[(size_t)k] + 1];
        }
        for (int64_t c = 1; c <= g.cells(); ++c)
            start[c] += start[c - 1];
        shapes.push_back(g);
        return shapes.back();
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
// (detections or track starts), through the allowed edges, given source by
// source: source s's edges are edgeStart[s] .. edgeStart[s + 1]. Ending a
// track and starting one cost `alternative` each, so a set of links costs
// the sum of their costs plus `alternative` for every source and target
// left unlinked: the best set has the largest sum of (2 alternative - cost)
// over its links.
//
// The problem falls apart into connected parts, each solved on its own: a
// source and a target that are each other's only candidate are linked
// outright; a part with one source or one target takes its cheapest link;
// a part of at most kEnumeratedEdges edges is solved by trying its sets of
// links (depth first, the sources in order, each edge in order before
// leaving the source unlinked; a later set replaces the best only when it
// is strictly better); larger parts by the sparse Jonker-Volgenant solver
// on Jaqaman's block matrix. Every tie goes to the first in that order, and
// the order is that of the sources and edges given.

const int32_t kEnumeratedEdges = 16;

struct LinkWork {
    // Edges, source by source.
    std::vector<int32_t> edgeStart;
    std::vector<int32_t> edgeTarget;
    std::vector<double> edgeCost;
    // Assignment.
    std::vector<int32_t> targetDegree;
    std::vector<int32_t> parent;       // union-find over sources, then targets
    std::vector<int32_t> partOfRoot;
    std::vector<int32_t> partStart;    // the parts' sources, part by part
    std::vector<int32_t> partSources;
    std::vector<int32_t> rest;         // the sources not linked outright
    std::vector<int32_t> partOf;       // each of those sources' part
    std::vector<int32_t> localTarget;  // a target's number within its part, or -1
    std::vector<int32_t> partTargets;
    // Enumeration.
    std::vector<int32_t> choice, bestChoice;
    std::vector<double> bound;
    // The solver's block matrix.
    AssignmentWork solver;
    std::vector<int32_t> rowStart, columns, fill, columnOfRow;
    std::vector<double> costs;

};

int32_t findRoot(int32_t *parent, int32_t node)
{
    while (parent[node] != node) {
        parent[node] = parent[parent[node]];
        node = parent[node];
    }
    return node;
}

// Depth-first search over the links of one part's sources ps[0 .. ns).
struct PartSearch {
    const LinkWork &w;
    const int32_t *ps;
    int32_t ns;
    double twice;      // 2 alternative
    uint64_t used = 0;  // the part's targets taken
    double best = -1.0;
    int32_t *choice;    // each source's edge, or -1
    int32_t *bestChoice;
    const double *bound;  // the largest gain the sources from i on can add

    void search(int32_t i, double gain)
    {
        if (i == ns) {
            if (gain > best) {
                best = gain;
                std::copy(choice, choice + ns, bestChoice);
            }
            return;
        }
        if (!(gain + bound[i] > best))
            return;
        const int32_t s = ps[i];
        for (int32_t e = w.edgeStart[(size_t)s]; e < w.edgeStart[(size_t)s + 1]; ++e) {
            const uint64_t bit = (uint64_t)1 << w.localTarget[(size_t)w.edgeTarget[(size_t)e]];
            if (used & bit)
                continue;
            used |= bit;
            choice[i] = e;
            search(i + 1, gain + (twice - w.edgeCost[(size_t)e]));
            used &= ~bit;
        }
        choice[i] = -1;
        search(i + 1, gain);
    }
};

// Solves the part of sources ps[0 .. ns) (targets numbered in localTarget,
// nt of them) by the block matrix: rows are the sources, then one per
// target for its start; columns the targets, then one per source for its
// end. A target's start row may take the end column of any source it could
// link to, at no cost, so that every set of links has a complete
// assignment costing the links, ends and starts.
int solvePart(LinkWork &w, const int32_t *ps, int32_t ns, int32_t nt, double alternative, int32_t *targetOf)
{
    const int32_t n = ns + nt;
    w.rowStart.assign((size_t)n + 1, 0);
    for (int32_t i = 0; i < ns; ++i) {
        const int32_t s = ps[i];
        for (int32_t e = w.edgeStart[(size_t)s]; e < w.edgeStart[(size_t)s + 1]; ++e) {
            ++w.rowStart[(size_t)i + 1];
            ++w.rowStart[(size_t)(ns + w.localTarget[(size_t)w.edgeTarget[(size_t)e]]) + 1];
        }
    }
    for (int32_t r = 0; r < n; ++r)
        w.rowStart[(size_t)r + 1] += w.rowStart[(size_t)r] + 1;
    const size_t entries = (size_t)w.rowStart[(size_t)n];
    w.columns.resize(entries);
    w.costs.resize(entries);
    w.fill.assign(w.rowStart.begin(), w.rowStart.end() - 1);
    for (int32_t i = 0; i < ns; ++i) {
        const int32_t s = ps[i];
        for (int32_t e = w.edgeStart[(size_t)s]; e < w.edgeStart[(size_t)s + 1]; ++e) {
            const int32_t t = w.localTarget[(size_t)w.edgeTarget[(size_t)e]];
            w.columns[(size_t)w.fill[(size_t)i]] = t;
            w.costs[(size_t)w.fill[(size_t)i]++] = w.edgeCost[(size_t)e];
            w.columns[(size_t)w.fill[(size_t)(ns + t)]] = nt + i;
            w.costs[(size_t)w.fill[(size_t)(ns + t)]++] = 0.0;
        }
    }
    for (int32_t i = 0; i < ns; ++i) {
        w.columns[(size_t)w.fill[(size_t)i]] = nt + i;
        w.costs[(size_t)w.fill[(size_t)i]++] = alternative;
    }
    for (int32_t t = 0; t < nt; ++t) {
        w.columns[(size_t)w.fill[(size_t)(ns + t)]] = t;
        w.costs[(size_t)w.fill[(size_t)(ns + t)]++] = alternative;
    }
    w.columnOfRow.resize((size_t)n);
    const int status = solveAssignmentWith(n, w.rowStart.data(), w.columns.data(), w.costs.data(),
                                           w.columnOfRow.data(), w.solver);
    if (status != HESSIAN_OK)
        return status;
    for (int32_t i = 0; i < ns; ++i)
        if (w.columnOfRow[(size_t)i] < nt)
            targetOf[ps[i]] = w.partTargets[(size_t)w.columnOfRow[(size_t)i]];
    return HESSIAN_OK;
}

// targetOf[0 .. sources) gets each source's target or -1, from the edges in
// w (edgeStart sized sources + 1).
int assignLinks(int32_t sources, int32_t targets, double alternative, int32_t *targetOf, LinkWork &w)
{
    std::fill(targetOf, targetOf + sources, -1);
    const int32_t *start = w.edgeStart.data();
    const int32_t *to = w.edgeTarget.data();
    if (start[sources] == 0)
        return HESSIAN_OK;
    w.targetDegree.assign((size_t)targets, 0);
    for (int32_t e = 0; e < start[sources]; ++e)
        ++w.targetDegree[(size_t)to[e]];
    // Lone pairs at once; the other sources joined with their targets.
    w.parent.resize((size_t)(sources + targets));
    int32_t *parent = w.parent.data();
    w.rest.clear();
    for (int32_t s = 0; s < sources; ++s) {
        const int32_t degree = start[s + 1] - start[s];
        if (degree == 0)
            continue;
        if (degree == 1 && w.targetDegree[(size_t)to[start[s]]] == 1) {
            targetOf[s] = to[start[s]];
            continue;
        }
        parent[s] = s;
        for (int32_t e = start[s]; e < start[s + 1]; ++e)
            parent[sources + to[e]] = sources + to[e];
        w.rest.push_back(s);
    }
    if (w.rest.empty())
        return HESSIAN_OK;
    for (int32_t s : w.rest)
        for (int32_t e = start[s]; e < start[s + 1]; ++e) {
            const int32_t a = findRoot(parent, s), b = findRoot(parent, sources + to[e]);
            if (a != b)
                parent[std::max(a, b)] = std::min(a, b);
        }
    // Parts numbered in the order of their first source (each part's root,
    // its lowest node, is that source); their sources grouped in order.
    w.partOfRoot.resize((size_t)sources);
    w.partOf.resize(w.rest.size());
    int32_t parts = 0;
    w.partStart.assign(1, 0);
    for (size_t k = 0; k < w.rest.size(); ++k) {
        const int32_t s = w.rest[k], root = findRoot(parent, s);
        if (root == s) {
            w.partOfRoot[(size_t)s] = parts++;
            w.partStart.push_back(0);
        }
        w.partOf[k] = w.partOfRoot[(size_t)root];
        ++w.partStart[(size_t)w.partOf[k] + 1];
    }
    for (int32_t p = 0; p < parts; ++p)
        w.partStart[(size_t)p + 1] += w.partStart[(size_t)p];
    w.partSources.resize(w.rest.size());
    w.fill.assign(w.partStart.begin(), w.partStart.end() - 1);
    for (size_t k = 0; k < w.rest.size(); ++k)
        w.partSources[(size_t)w.fill[(size_t)w.partOf[k]]++] = w.rest[k];

    w.localTarget.resize((size_t)targets);
    for (int32_t p = 0; p < parts; ++p) {
        const int32_t *ps = w.partSources.data() + w.partStart[(size_t)p];
        const int32_t ns = w.partStart[(size_t)p + 1] - w.partStart[(size_t)p];
        // Its targets, numbered in the order met.
        w.partTargets.clear();
        int32_t edges = 0;
        for (int32_t i = 0; i < ns; ++i)
            for (int32_t e = start[ps[i]]; e < start[ps[i] + 1]; ++e, ++edges)
                w.localTarget[(size_t)to[e]] = -1;
        for (int32_t i = 0; i < ns; ++i)
            for (int32_t e = start[ps[i]]; e < start[ps[i] + 1]; ++e)
                if (w.localTarget[(size_t)to[e]] < 0) {
                    w.localTarget[(size_t)to[e]] = (int32_t)w.partTargets.size();
                    w.partTargets.push_back(to[e]);
                }
        const int32_t nt = (int32_t)w.partTargets.size();
        if (ns == 1 || nt == 1) {
            // One source takes its nearest target, one target its nearest
            // source: any link costs less than an end and a start.
            int32_t best = start[ps[0]];
            for (int32_t i = 0; i < ns; ++i)
                for (int32_t e = start[ps[i]]; e < start[ps[i] + 1]; ++e)
                    if (w.edgeCost[(size_t)e] < w.edgeCost[(size_t)best])
                        best = e;
            const int32_t source = (int32_t)(std::upper_bound(start, start + sources + 1, best) - start) - 1;
            targetOf[source] = to[best];
        } else if (edges <= kEnumeratedEdges) {
            w.choice.assign((size_t)ns, -1);
            w.bestChoice.assign((size_t)ns, -1);
            w.bound.assign((size_t)ns + 1, 0.0);
            for (int32_t i = ns - 1; i >= 0; --i) {
                double most = 0.0;
                for (int32_t e = start[ps[i]]; e < start[ps[i] + 1]; ++e)
                    most = std::max(most, 2.0 * alternative - w.edgeCost[(size_t)e]);
                w.bound[(size_t)i] = w.bound[(size_t)i + 1] + most;
            }
            PartSearch search{w, ps, ns, 2.0 * alternative, 0, -1.0, w.choice.data(), w.bestChoice.data(),
                              w.bound.data()};
            search.search(0, 0.0);
            for (int32_t i = 0; i < ns; ++i)
                if (w.bestChoice[(size_t)i] >= 0)
                    targetOf[ps[i]] = to[w.bestChoice[(size_t)i]];
        } else {
            const int status = solvePart(w, ps, ns, nt, alternative, targetOf);
            if (status != HESSIAN_OK)
                return status;
        }
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
    bool inFrameOrder = true;
    for (int32_t i = 1; i < count; ++i)
        inFrameOrder = inFrameOrder && points[i - 1].frame <= points[i].frame;
    std::vector<int32_t> order;  // the input in frame order, when it is not
    if (!inFrameOrder) {
        order.resize((size_t)count);
        for (int32_t i = 0; i < count; ++i)
            order[(size_t)i] = i;
        std::stable_sort(order.begin(), order.end(),
                         [points](int32_t a, int32_t b) { return points[a].frame < points[b].frame; });
    }
    const auto inputAt = [&](int32_t k) { return inFrameOrder ? k : order[(size_t)k]; };
    // Frames present: frameStart[f] .. frameStart[f + 1] in sorted order.
    std::vector<int32_t> frameStart;
    int32_t largest = 0;
    for (int32_t k = 0; k < count; ++k)
        if (k == 0 || points[inputAt(k)].frame != points[inputAt(k - 1)].frame) {
            if (!frameStart.empty())
                largest = std::max(largest, k - frameStart.back());
            frameStart.push_back(k);
        }
    const int32_t frames = (int32_t)frameStart.size();
    if (frames > 0)
        largest = std::max(largest, count - frameStart.back());
    frameStart.push_back(count);
    // Each frame in an order of its own points only, and a grid over it
    // for finding the detections near a track's end: frame f + 1 is
    // arranged just before the links from frame f are sought, and its grid
    // is the only one kept (the memory of one grid, whatever the length).
    const double gate = settings.maxDistance, alternative = gate * gate;
    std::vector<SortedPoint> sorted((size_t)count);
    Grids grids;
    const auto arrangeFrame = [&](int32_t f) {
        const int32_t first = frameStart[(size_t)f];
        grids.clear();
        grids.arrange(sorted.data(), first, frameStart[(size_t)f + 1] - first, gate, [&](int32_t k) {
            const int32_t i = inputAt(first + k);
            return SortedPoint{points[i].frame, i, points[i].x, points[i].y};
        });
    };
    if (frames > 0)
        arrangeFrame(0);

    const TrackMotion motion = settings.motion;
    const KalmanScales scales = kalmanScales(settings.maxDistance);
    // Without a motion model a track is foreseen where it was last seen,
    // and no state is kept. With one, a detection's state is written when
    // it is linked to; a track's first detection is at rest, where it is.
    std::unique_ptr<MotionState[]> state(motion == TRACK_MOTION_NONE ? nullptr : new MotionState[(size_t)count]);
    std::vector<int32_t> next((size_t)count, -1), previous((size_t)count, -1);
    const auto stateOf = [&](int32_t p) {
        return previous[(size_t)p] < 0 ? startMotion(TrackPoint{sorted[(size_t)p].frame, sorted[(size_t)p].x,
                                                                sorted[(size_t)p].y},
                                                     scales)
                                       : state[(size_t)p];
    };
    const auto predict = [&](int32_t p, int32_t ahead, double *x, double *y) {
        if (motion == TRACK_MOTION_NONE || previous[(size_t)p] < 0) {
            *x = sorted[(size_t)p].x;
            *y = sorted[(size_t)p].y;
        } else {
            predictPosition(state[(size_t)p], motion, ahead, x, y);
        }
    };

    LinkWork work;
    std::vector<int32_t> targetOf((size_t)largest);
    // Frame to frame.
    for (int32_t f = 0; f + 1 < frames; ++f) {
        const int32_t s0 = frameStart[(size_t)f], t0 = frameStart[(size_t)f + 1], t1 = frameStart[(size_t)f + 2];
        arrangeFrame(f + 1);
        if ((int64_t)sorted[(size_t)t0].frame != (int64_t)sorted[(size_t)s0].frame + 1)
            continue;
        work.edgeStart.resize((size_t)(t0 - s0) + 1);
        int32_t edges = 0;
        const SortedPoint *target = sorted.data() + t0;
        for (int32_t s = s0; s < t0; ++s) {
            work.edgeStart[(size_t)(s - s0)] = edges;
            double px, py;
            predict(s, 1, &px, &py);
            Neighbourhood runs;
            if (!grids.around(0, px, py, &runs))
                continue;
            // Room for every point of the runs, so that each is written
            // and kept or not without a branch; both runs in one loop.
            const int32_t first = runs.to[0] - runs.from[0], total = first + runs.to[1] - runs.from[1];
            if (work.edgeTarget.size() < (size_t)edges + (size_t)total) {
                work.edgeTarget.resize(std::max((size_t)edges + (size_t)total, 2 * work.edgeTarget.size()));
                work.edgeCost.resize(work.edgeTarget.size());
            }
            int32_t *to = work.edgeTarget.data();
            double *cost = work.edgeCost.data();
            for (int32_t k = 0; k < total; ++k) {
                const int32_t t = k < first ? runs.from[0] + k : runs.from[1] + (k - first);
                const double dx = target[t].x - px, dy = target[t].y - py;
                const double d2 = dx * dx + dy * dy;
                to[edges] = t;
                cost[edges] = d2;
                edges += d2 <= alternative;
            }
        }
        work.edgeStart[(size_t)(t0 - s0)] = edges;
        const int status = assignLinks(t0 - s0, t1 - t0, alternative, targetOf.data(), work);
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
                state[(size_t)t] = continueMotion(stateOf(s), TrackPoint{sorted[(size_t)t].frame, sorted[(size_t)t].x,
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
        // Grid of frame f's starts: startGrid[f], or -1 for none.
        grids.clear();
        grids.reserve((int64_t)starts.size(), frames);
        std::vector<int32_t> startGrid((size_t)frames, -1);
        for (int32_t f = 0; f < frames; ++f) {
            const int32_t n = startOfFrame[(size_t)f + 1] - startOfFrame[(size_t)f];
            if (n == 0)
                continue;
            startGrid[(size_t)f] = (int32_t)grids.shapes.size();
            grids.build(sorted.data(), starts.data() + startOfFrame[(size_t)f], n, widest);
        }
        std::vector<int32_t> startIndex((size_t)count, -1);
        for (size_t k = 0; k < starts.size(); ++k)
            startIndex[(size_t)starts[k]] = (int32_t)k;
        std::vector<int32_t> frameNumbers((size_t)frames);
        for (int32_t f = 0; f < frames; ++f)
            frameNumbers[(size_t)f] = sorted[(size_t)frameStart[(size_t)f]].frame;
        work.edgeStart.resize(ends.size() + 1);
        work.edgeTarget.clear();
        work.edgeCost.clear();
        for (size_t k = 0; k < ends.size(); ++k) {
            work.edgeStart[k] = (int32_t)work.edgeTarget.size();
            const int32_t e = ends[k];
            const int64_t endFrame = sorted[(size_t)e].frame;
            auto f = std::upper_bound(frameNumbers.begin(), frameNumbers.end(), (int32_t)endFrame);
            for (; f != frameNumbers.end() && (int64_t)*f <= endFrame + settings.gap + 1; ++f) {
                const int32_t ahead = (int32_t)((int64_t)*f - endFrame);
                const int32_t grid = startGrid[(size_t)(f - frameNumbers.begin())];
                if (ahead < 2 || grid < 0)
                    continue;
                double px, py;
                predict(e, ahead, &px, &py);
                const double limit = alternative * (double)ahead;
                Neighbourhood runs;
                if (!grids.around((size_t)grid, px, py, &runs))
                    continue;
                for (int r = 0; r < 2; ++r)
                    for (int32_t k = runs.from[r]; k < runs.to[r]; ++k) {
                        const int32_t t = grids.point((size_t)grid, k);
                        const double dx = sorted[(size_t)t].x - px, dy = sorted[(size_t)t].y - py;
                        const double d2 = dx * dx + dy * dy;
                        if (d2 <= limit) {
                            work.edgeTarget.push_back(startIndex[(size_t)t]);
                            work.edgeCost.push_back(d2 / (double)ahead);
                        }
                    }
            }
        }
        work.edgeStart[ends.size()] = (int32_t)work.edgeTarget.size();
        targetOf.resize(ends.size());
        const int status = assignLinks((int32_t)ends.size(), (int32_t)starts.size(), alternative, targetOf.data(),
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
