#include "hessiandetector.h"
#include "spotfit.h"
#include "tracklinking.h"

#include <QtTest>

#include <algorithm>
#include <cmath>
#include <limits>
#include <random>
#include <vector>

namespace {

using Points = std::vector<TrackPoint>;

std::vector<int32_t> link(const Points &points, double maxDistance, int32_t gap = 0, int32_t minLength = 1,
                          TrackMotion motion = TRACK_MOTION_NONE)
{
    TrackLinkSettings settings;
    settings.maxDistance = maxDistance;
    settings.gap = gap;
    settings.minLength = minLength;
    settings.motion = motion;
    std::vector<int32_t> track(points.size(), -7);
    const int status = linkTracks(points.data(), (int64_t)points.size(), settings, track.data());
    if (status != HESSIAN_OK)
        return {status};
    return track;
}

// The least total cost of a complete assignment, by dynamic programming
// over the sets of columns taken by the first rows; infinity when none.
double bruteForceAssignment(int n, const std::vector<std::vector<double>> &cost)
{
    const double inf = std::numeric_limits<double>::infinity();
    std::vector<double> best((size_t)1 << n, inf);
    best[0] = 0.0;
    for (uint32_t taken = 0; taken < (1u << n); ++taken) {
        if (best[taken] == inf)
            continue;
        const int row = __builtin_popcount(taken);
        if (row == n)
            continue;
        for (int j = 0; j < n; ++j)
            if (!(taken & (1u << j)) && cost[(size_t)row][(size_t)j] < inf)
                best[taken | (1u << j)] = std::min(best[taken | (1u << j)], best[taken] + cost[(size_t)row][(size_t)j]);
    }
    return best[(1u << n) - 1];
}

// Gaussian spots rendered by the fit's own model, rounded to bytes.
struct Spot {
    double x, y, sigma, amplitude;
};

std::vector<unsigned char> render(int width, int height, double background, const std::vector<Spot> &spots)
{
    std::vector<unsigned char> grey((size_t)width * (size_t)height);
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x) {
            double v = background;
            for (const Spot &s : spots)
                v += s.amplitude * std::exp(-((x - s.x) * (x - s.x) + (y - s.y) * (y - s.y)) / (2 * s.sigma * s.sigma));
            grey[(size_t)y * (size_t)width + (size_t)x] = (unsigned char)std::lround(std::min(255.0, std::max(0.0, v)));
        }
    return grey;
}

} // namespace

class TestTrackLinking : public QObject
{
    Q_OBJECT

private slots:
    void assignmentAgainstBruteForce();
    void knownTracks();
    void framePairsOptimal();
    void sameTracksWhateverTheOrder();
    void summaries();
    void badInput();
    void spotFitAgainstItsModel();
    void spotFitCrowdedAndRefused();
};

// Random sparse problems of 1 to 10 rows with whole-number costs (so that
// every sum is exact), many with ties, some with no complete assignment.
void TestTrackLinking::assignmentAgainstBruteForce()
{
    std::mt19937 random(12345);
    int infeasible = 0;
    for (int round = 0; round < 3000; ++round) {
        const int n = 1 + (int)(random() % 10);
        const double density = 0.15 + 0.85 * (double)(random() % 100) / 100.0;
        const int costRange = round % 3 == 0 ? 3 : 1000;
        const double inf = std::numeric_limits<double>::infinity();
        std::vector<std::vector<double>> cost((size_t)n, std::vector<double>((size_t)n, inf));
        std::vector<int32_t> rowStart(1, 0), columns;
        std::vector<double> costs;
        for (int i = 0; i < n; ++i) {
            for (int j = 0; j < n; ++j)
                if ((double)(random() % 1000) / 1000.0 < density) {
                    cost[(size_t)i][(size_t)j] = (double)(random() % costRange) - (round % 5 == 0 ? costRange / 2 : 0);
                    columns.push_back(j);
                    costs.push_back(cost[(size_t)i][(size_t)j]);
                }
            rowStart.push_back((int32_t)columns.size());
        }
        const double expected = bruteForceAssignment(n, cost);
        std::vector<int32_t> columnOfRow((size_t)n, -1);
        double total = -1.0;
        const int status = solveSparseAssignment(n, rowStart.data(), columns.data(), costs.data(),
                                                 columnOfRow.data(), &total);
        if (expected == inf) {
            QCOMPARE(status, TRACK_NO_ASSIGNMENT);
            ++infeasible;
            continue;
        }
        QCOMPARE(status, HESSIAN_OK);
        QVERIFY2(total == expected, qPrintable(QString("%1 != %2").arg(total).arg(expected)));
        // The assignment itself: a permutation of allowed entries costing the total.
        std::vector<char> used((size_t)n, 0);
        double sum = 0.0;
        for (int i = 0; i < n; ++i) {
            const int32_t j = columnOfRow[(size_t)i];
            QVERIFY(j >= 0 && j < n && !used[(size_t)j] && cost[(size_t)i][(size_t)j] < inf);
            used[(size_t)j] = 1;
            sum += cost[(size_t)i][(size_t)j];
        }
        QVERIFY(sum == expected);
    }
    QVERIFY(infeasible > 100);
    QVERIFY(infeasible < 2000);
}

// Small scenes whose tracks are known: each detection's expected track
// number, in the order of first detection (frame, then index).
void TestTrackLinking::knownTracks()
{
    // Globally optimal, not greedy: b is nearest to p, but a can reach p
    // only, and b can reach q too.
    const Points optimal = {{0, 0, 0}, {0, 2, 0}, {1, 1.05, 0}, {1, 3, 0}};
    QCOMPARE(link(optimal, 2.0), (std::vector<int32_t>{0, 1, 0, 1}));

    // Births and deaths: track 0 lives in frames 0-4, track 1 appears at
    // frame 2, track 2 at frame 3 far away; a stray detection at frame 4
    // makes a one-detection track.
    Points scene;
    for (int f = 0; f < 5; ++f)
        scene.push_back({f, 10.0 + f, 10.0});
    for (int f = 2; f < 7; ++f)
        scene.push_back({f, 30.0, 10.0 + 0.5 * f});
    for (int f = 3; f < 6; ++f)
        scene.push_back({f, 60.0 - f, 60.0});
    scene.push_back({4, 90.0, 90.0});
    QCOMPARE(link(scene, 3.0), (std::vector<int32_t>{0, 0, 0, 0, 0, 1, 1, 1, 1, 1, 2, 2, 2, 3}));
    // Tracks shorter than the minimum give -1 and no number.
    QCOMPARE(link(scene, 3.0, 0, 4), (std::vector<int32_t>{0, 0, 0, 0, 0, 1, 1, 1, 1, 1, -1, -1, -1, -1}));

    // A particle unseen for two frames: closed with a gap of 2, not of 1;
    // over k frames the gate is maxDistance * sqrt(k).
    const Points gapped = {{0, 5, 5}, {1, 6, 5}, {4, 9.4, 5}, {5, 10, 5}, {4, 40, 40}};
    QCOMPARE(link(gapped, 2.0, 2), (std::vector<int32_t>{0, 0, 0, 0, 1}));
    QCOMPARE(link(gapped, 2.0, 1), (std::vector<int32_t>{0, 0, 1, 1, 2}));
    QCOMPARE(link(gapped, 1.5, 2), (std::vector<int32_t>{0, 0, 1, 1, 2}));  // 3.4 > 1.5 * sqrt(3)
    // Frames need not start at 0 nor the input be in frame order.
    const Points shuffled = {{102, 7, 5}, {100, 5, 5}, {101, 6, 5}};
    QCOMPARE(link(shuffled, 2.0), (std::vector<int32_t>{0, 0, 0}));

    // Two particles crossing at 3 px a frame, 2 px apart at the crossing:
    // without prediction they swap there; with a prediction each keeps its
    // way.
    Points crossing;
    for (int f = 0; f < 8; ++f) {
        crossing.push_back({f, 3.0 * f, 3.0 * f});
        crossing.push_back({f, 21.0 - 3.0 * f, 3.0 * f + 2.0});
    }
    const std::vector<int32_t> straight = {0, 1, 0, 1, 0, 1, 0, 1, 0, 1, 0, 1, 0, 1, 0, 1};
    QVERIFY(link(crossing, 5.0) != straight);
    QCOMPARE(link(crossing, 5.0, 0, 1, TRACK_MOTION_VELOCITY), straight);
    QCOMPARE(link(crossing, 5.0, 0, 1, TRACK_MOTION_KALMAN), straight);
}

// Two frames of clustered points, from lone pairs to crowds of 30 edges
// and more: the links the linker makes cost as little as the optimum of
// the whole pair's block matrix (solved by solveSparseAssignment, itself
// held to brute force above): the links' squared distances plus D^2 for
// every detection of either frame left unlinked.
void TestTrackLinking::framePairsOptimal()
{
    std::mt19937 random(99);
    const double gate = 3.0, alternative = gate * gate;
    for (int round = 0; round < 300; ++round) {
        const int clusters = 1 + (int)(random() % 6), spread = 1 + (int)(random() % 4);
        Points points;
        for (int c = 0; c < clusters; ++c) {
            const double cx = (double)(random() % 60), cy = (double)(random() % 60);
            for (int f = 0; f < 2; ++f)
                for (int k = (int)(random() % 7); k > 0; --k)
                    points.push_back({f, cx + (double)(random() % 1000) / 1000.0 * spread,
                                      cy + (double)(random() % 1000) / 1000.0 * spread});
        }
        const std::vector<int32_t> track = link(points, gate);
        QCOMPARE(track.size(), points.size());
        std::vector<int32_t> sources, targets;
        for (int32_t i = 0; i < (int32_t)points.size(); ++i)
            (points[(size_t)i].frame == 0 ? sources : targets).push_back(i);
        const int32_t ns = (int32_t)sources.size(), nt = (int32_t)targets.size();
        // The linker's cost.
        double linked = alternative * (ns + nt);
        for (int32_t s : sources)
            for (int32_t t : targets)
                if (track[(size_t)s] == track[(size_t)t]) {
                    const double dx = points[(size_t)s].x - points[(size_t)t].x, dy = points[(size_t)s].y - points[(size_t)t].y;
                    QVERIFY(dx * dx + dy * dy <= alternative);
                    linked += dx * dx + dy * dy - 2.0 * alternative;
                }
        // The block matrix: sources then starts, against targets then ends.
        std::vector<int32_t> rowStart(1, 0), columns;
        std::vector<double> costs;
        for (int32_t i = 0; i < ns + nt; ++i) {
            for (int32_t j = 0; j < nt + ns; ++j) {
                double cost = -1.0;
                if (i < ns && j < nt) {
                    const TrackPoint &a = points[(size_t)sources[(size_t)i]], &b = points[(size_t)targets[(size_t)j]];
                    const double d2 = (a.x - b.x) * (a.x - b.x) + (a.y - b.y) * (a.y - b.y);
                    if (d2 <= alternative)
                        cost = d2;
                } else if (i < ns) {
                    cost = j - nt == i ? alternative : -1.0;
                } else if (j < nt) {
                    cost = j == i - ns ? alternative : -1.0;
                } else {
                    const TrackPoint &a = points[(size_t)sources[(size_t)(j - nt)]], &b = points[(size_t)targets[(size_t)(i - ns)]];
                    cost = (a.x - b.x) * (a.x - b.x) + (a.y - b.y) * (a.y - b.y) <= alternative ? 0.0 : -1.0;
                }
                if (cost >= 0.0) {
                    columns.push_back(j);
                    costs.push_back(cost);
                }
            }
            rowStart.push_back((int32_t)columns.size());
        }
        std::vector<int32_t> columnOfRow((size_t)(ns + nt));
        double optimum = 0.0;
        QCOMPARE(solveSparseAssignment(ns + nt, rowStart.data(), columns.data(), costs.data(), columnOfRow.data(), &optimum),
                 HESSIAN_OK);
        QVERIFY2(std::fabs(linked - optimum) <= 1e-9 * (1.0 + optimum),
                 qPrintable(QString("round %1: %2 against %3").arg(round).arg(linked).arg(optimum)));
    }
}

// Random walks with missing detections, linked with gaps and a filter:
// shuffling the input moves the numbers with the detections and nothing
// else, and the numbers follow the first detections.
void TestTrackLinking::sameTracksWhateverTheOrder()
{
    std::mt19937 random(7);
    std::normal_distribution<double> step(0.0, 1.0);
    Points points;
    for (int particle = 0; particle < 60; ++particle) {
        double x = (double)(random() % 200), y = (double)(random() % 200);
        const int first = (int)(random() % 20), last = first + 5 + (int)(random() % 25);
        for (int f = first; f < last; ++f) {
            x += step(random);
            y += step(random);
            if (random() % 8 != 0)
                points.push_back({f, x, y});
        }
    }
    for (TrackMotion motion : {TRACK_MOTION_NONE, TRACK_MOTION_KALMAN}) {
        const std::vector<int32_t> track = link(points, 4.0, 2, 1, motion);
        QVERIFY(track.size() == points.size());
        std::vector<size_t> order(points.size());
        for (size_t i = 0; i < order.size(); ++i)
            order[i] = i;
        for (int round = 0; round < 5; ++round) {
            std::shuffle(order.begin(), order.end(), random);
            Points permuted;
            for (size_t i : order)
                permuted.push_back(points[i]);
            const std::vector<int32_t> again = link(permuted, 4.0, 2, 1, motion);
            // The same partition: a one-to-one map between the numbers.
            std::vector<int32_t> map(points.size(), -1);
            for (size_t k = 0; k < order.size(); ++k) {
                const int32_t before = track[order[k]], after = again[k];
                QVERIFY(before >= 0 && after >= 0);
                if (map[(size_t)before] < 0)
                    map[(size_t)before] = after;
                QCOMPARE(map[(size_t)before], after);
            }
            // Numbered by first detection: frame, then index.
            std::vector<std::pair<int32_t, size_t>> firstOf(points.size(), {INT32_MAX, 0});
            for (size_t k = 0; k < permuted.size(); ++k)
                firstOf[(size_t)again[k]] = std::min(firstOf[(size_t)again[k]], std::make_pair(permuted[k].frame, k));
            const int32_t tracks = *std::max_element(again.begin(), again.end()) + 1;
            for (int32_t t = 1; t < tracks; ++t)
                QVERIFY(firstOf[(size_t)t - 1] < firstOf[(size_t)t]);
        }
    }
}

void TestTrackLinking::summaries()
{
    // Track 0: 1 px a frame along x for 6 frames, MSD_k = k^2 for k = 1..4,
    // whose least-squares slope is 5 (D = 5 / 4). Track 1 misses frame 2:
    // steps (0,1), (3,4) over two frames, (0,2). Track 2: one detection.
    Points points;
    std::vector<int32_t> track;
    for (int f = 0; f < 6; ++f) {
        points.push_back({f, 10.0 + f, 20.0});
        track.push_back(0);
    }
    const Points second = {{0, 0, 0}, {1, 0, 1}, {3, 3, 5}, {4, 3, 7}};
    for (const TrackPoint &p : second) {
        points.push_back(p);
        track.push_back(1);
    }
    points.push_back({3, 50, 60});
    track.push_back(2);
    points.push_back({3, 1, 1});
    track.push_back(-1);

    std::vector<TrackSummary> s(3);
    QCOMPARE(summarizeTracks(points.data(), nullptr, track.data(), (int64_t)points.size(), 3, s.data()), HESSIAN_OK);
    QCOMPARE(s[0].track, 0);
    QCOMPARE(s[0].firstFrame, 0);
    QCOMPARE(s[0].lastFrame, 5);
    QCOMPARE(s[0].length, 6);
    QCOMPARE(s[0].meanX, 12.5);
    QCOMPARE(s[0].meanY, 20.0);
    QCOMPARE(s[0].meanSpeed, 1.0);
    QCOMPARE(s[0].diffusion, 1.25);
    // Track 1: path 1 + 5 + 2 over 4 frames. MSD at lag 1: (1 + 4) / 2;
    // 2: 25 (frames 1 to 3); 3: (34 + 45) / 2; 4: 58.
    QCOMPARE(s[1].length, 4);
    QCOMPARE(s[1].meanX, 1.5);
    QCOMPARE(s[1].meanY, 13.0 / 4.0);
    QCOMPARE(s[1].meanSpeed, 2.0);
    const double t[4] = {1, 2, 3, 4}, m[4] = {2.5, 25, 39.5, 58};
    const double mt = 2.5, mm = 125.0 / 4.0;
    double sxx = 0, sxy = 0;
    for (int k = 0; k < 4; ++k) {
        sxx += (t[k] - mt) * (t[k] - mt);
        sxy += (t[k] - mt) * (m[k] - mm);
    }
    QVERIFY(std::fabs(s[1].diffusion - sxy / sxx / 4.0) < 1e-12);
    QCOMPARE(s[2].length, 1);
    QCOMPARE(s[2].firstFrame, 3);
    QVERIFY(std::isnan(s[2].meanSpeed) && std::isnan(s[2].diffusion));

    // Time stamps half a second apart: per second, speed doubles and so
    // does D.
    std::vector<double> times;
    for (const TrackPoint &p : points)
        times.push_back(0.5 * p.frame);
    QCOMPARE(summarizeTracks(points.data(), times.data(), track.data(), (int64_t)points.size(), 3, s.data()), HESSIAN_OK);
    QCOMPARE(s[0].meanSpeed, 2.0);
    QCOMPARE(s[0].diffusion, 2.5);

    // A long random walk of known D (variance 2 D per axis per frame).
    std::mt19937 random(3);
    const double d = 0.7;
    std::normal_distribution<double> step(0.0, std::sqrt(2.0 * d));
    Points walk;
    double x = 0, y = 0;
    for (int f = 0; f < 40000; ++f) {
        walk.push_back({f, x, y});
        x += step(random);
        y += step(random);
    }
    const std::vector<int32_t> one(walk.size(), 0);
    QCOMPARE(summarizeTracks(walk.data(), nullptr, one.data(), (int64_t)walk.size(), 1, s.data()), HESSIAN_OK);
    QVERIFY2(std::fabs(s[0].diffusion / d - 1.0) < 0.03, qPrintable(QString::number(s[0].diffusion)));

    // Two detections of one track in one frame.
    const std::vector<int32_t> same = {0, 0};
    const Points twice = {{1, 0, 0}, {1, 1, 1}};
    QCOMPARE(summarizeTracks(twice.data(), nullptr, same.data(), 2, 1, s.data()), TRACK_BAD_POINT);
}

void TestTrackLinking::badInput()
{
    const Points good = {{0, 1, 1}, {1, 2, 2}};
    QCOMPARE(link(good, 0.0), std::vector<int32_t>{TRACK_BAD_SETTINGS});
    QCOMPARE(link(good, std::numeric_limits<double>::infinity()), std::vector<int32_t>{TRACK_BAD_SETTINGS});
    QCOMPARE(link(good, 1.0, -1), std::vector<int32_t>{TRACK_BAD_SETTINGS});
    QCOMPARE(link(good, 1.0, 0, 0), std::vector<int32_t>{TRACK_BAD_SETTINGS});
    const Points nan = {{0, 1, 1}, {1, std::nan(""), 2}};
    QCOMPARE(link(nan, 2.0), std::vector<int32_t>{TRACK_BAD_POINT});
    QCOMPARE(link(Points(), 2.0), std::vector<int32_t>());
    // Far-flung but finite positions keep the grid small.
    const Points far = {{0, -1e14, 0}, {1, -1e14 + 1, 0}, {1, 1e14, 5}, {2, 1e14, 6}};
    QCOMPARE(link(far, 2.0), (std::vector<int32_t>{0, 0, 1, 1}));
}

// Noise-free spots, bright and dark, of several widths and sub-pixel
// centres, at the border too: the fit finds the model's parameters to a
// hundredth of a pixel (the bytes' rounding is all that is left).
void TestTrackLinking::spotFitAgainstItsModel()
{
    const Spot cases[] = {{20.3, 17.8, 1.7, 180.0},  {20.5, 20.5, 1.0, 120.0}, {19.91, 21.37, 2.6, 90.0},
                          {20.0, 20.0, 1.4, -70.0},  {1.2, 1.4, 1.5, 150.0},   {38.7, 37.9, 1.2, 160.0}};
    for (const Spot &spot : cases) {
        const std::vector<unsigned char> grey = render(40, 40, 80.0, {spot});
        // Started from the nearest pixel, as a detection would be.
        SpotFit fit;
        QCOMPARE(fitGaussianSpot(grey.data(), 40, 40, 40, std::round(spot.x), std::round(spot.y), 1.5,
                                 defaultSpotFitRadius(1.5), &fit),
                 0);
        QVERIFY2(fit.fitted, qPrintable(QString("spot at %1, %2").arg(spot.x).arg(spot.y)));
        QVERIFY2(std::fabs(fit.x - spot.x) < 0.01 && std::fabs(fit.y - spot.y) < 0.01,
                 qPrintable(QString("%1, %2 for %3, %4").arg(fit.x).arg(fit.y).arg(spot.x).arg(spot.y)));
        QVERIFY(std::fabs(fit.sigma - spot.sigma) < 0.01);
        QVERIFY(std::fabs(fit.amplitude - spot.amplitude) < 1.0);
        QVERIFY(std::fabs(fit.background - 80.0) < 0.5);
    }
    QCOMPARE(defaultSpotFitRadius(1.5), 3);
    QCOMPARE(defaultSpotFitRadius(0.2), 2);
    QCOMPARE(defaultSpotFitRadius(1e9), kSpotFitMaxRadius);
}

// Two spots 4 px apart: fitted together, each on its own side of the
// bisector, both centres come out within a quarter of a pixel (the other's
// tail still reaches across); fitted alone, each is pulled at least twice
// as far towards the other. Flat pictures and bad settings are refused.
void TestTrackLinking::spotFitCrowdedAndRefused()
{
    const std::vector<Spot> pair = {{18.2, 20.4, 1.3, 150.0}, {22.1, 19.3, 1.5, 120.0}};
    const std::vector<unsigned char> grey = render(40, 40, 60.0, pair);
    const double x[2] = {18.0, 22.0}, y[2] = {20.0, 19.0}, sigma[2] = {1.5, 1.5};
    SpotFit fits[2];
    QCOMPARE(fitGaussianSpots(grey.data(), 40, 40, 40, x, y, sigma, 2, 0, fits), 0);
    for (int k = 0; k < 2; ++k) {
        QVERIFY(fits[k].fitted);
        const double together = std::hypot(fits[k].x - pair[(size_t)k].x, fits[k].y - pair[(size_t)k].y);
        SpotFit alone;
        QCOMPARE(fitGaussianSpot(grey.data(), 40, 40, 40, x[k], y[k], 1.5, 3, &alone), 0);
        const double apart = std::hypot(alone.x - pair[(size_t)k].x, alone.y - pair[(size_t)k].y);
        QVERIFY2(together < 0.25 && (!alone.fitted || apart > 2.0 * together),
                 qPrintable(QString("%1 px off together, %2 alone").arg(together).arg(apart)));
    }

    const std::vector<unsigned char> flat(40 * 40, 90);
    SpotFit fit;
    QCOMPARE(fitGaussianSpot(flat.data(), 40, 40, 40, 20.0, 20.0, 1.5, 3, &fit), 0);
    QVERIFY(!fit.fitted && std::isnan(fit.x) && std::isnan(fit.sigma));
    QCOMPARE(fitGaussianSpot(grey.data(), 40, 40, 40, 20.0, 20.0, 1.5, 0, &fit), SPOT_BAD_SETTINGS);
    QCOMPARE(fitGaussianSpot(grey.data(), 40, 40, 40, 20.0, 20.0, 0.0, 3, &fit), SPOT_BAD_SETTINGS);
    QCOMPARE(fitGaussianSpot(grey.data(), 40, 40, 40, 39.5, 20.0, 1.5, 3, &fit), SPOT_BAD_SETTINGS);
    QCOMPARE(fitGaussianSpot(grey.data(), 40, 40, 40, std::nan(""), 20.0, 1.5, 3, &fit), SPOT_BAD_SETTINGS);
    QCOMPARE(fitGaussianSpot(grey.data(), 40, 40, 40, 20.0, 20.0, 1.5, kSpotFitMaxRadius + 1, &fit), SPOT_BAD_SETTINGS);
    // A window of fewer than 9 pixels: a 2 x 2 picture.
    QCOMPARE(fitGaussianSpot(grey.data(), 2, 2, 40, 0.0, 0.0, 1.5, 3, &fit), 0);
    QVERIFY(!fit.fitted);
}

QTEST_APPLESS_MAIN(TestTrackLinking)
#include "tst_tracklinking.moc"
