// hessian-maxima-link-bench: how many detections a second the track linker
// links on one core, on simulated diffusing particles.
//
//   hessian-maxima-link-bench [PARTICLES [FRAMES [REPEATS]]]
//
// Each scene: PARTICLES particles per frame (default 1000) in a 512 x 512
// field, FRAMES frames (default 1000), Brownian steps of 1 px standard
// deviation per axis, each particle's life 5 to 100 frames (a new one
// replaces it), every detection kept (no gaps) unless a gap is asked for;
// the input comes frame by frame, in no order within a frame.
// The links are checked against the truth before anything is timed; the
// best and the median of REPEATS runs (default 5) are printed.

#include "hessiandetector.h"
#include "tracklinking.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <vector>

namespace {

struct Scene {
    std::vector<TrackPoint> points;
    std::vector<int32_t> particle;  // the true particle of each detection
};

Scene simulate(int particles, int frames, double missing, unsigned seed)
{
    std::mt19937 random(seed);
    std::uniform_real_distribution<double> place(0.0, 512.0);
    std::uniform_int_distribution<int> life(5, 100);
    std::normal_distribution<double> step(0.0, 1.0);
    std::uniform_real_distribution<double> chance(0.0, 1.0);
    struct Particle {
        double x, y;
        int left;
        int32_t id;
    };
    std::vector<Particle> alive;
    int32_t next = 0;
    for (int p = 0; p < particles; ++p)
        alive.push_back(Particle{place(random), place(random), life(random), next++});
    Scene scene;
    scene.points.reserve((size_t)particles * (size_t)frames);
    for (int f = 0; f < frames; ++f) {
        for (Particle &p : alive) {
            if (p.left-- == 0)
                p = Particle{place(random), place(random), life(random), next++};
            p.x += step(random);
            p.y += step(random);
            if (chance(random) >= missing) {
                scene.points.push_back(TrackPoint{f, p.x, p.y});
                scene.particle.push_back(p.id);
            }
        }
    }
    // The input frame by frame, as detection gives it, in no particular
    // order within a frame.
    std::vector<size_t> order(scene.points.size());
    for (size_t i = 0; i < order.size(); ++i)
        order[i] = i;
    for (size_t first = 0; first < order.size();) {
        size_t last = first;
        while (last < order.size() && scene.points[last].frame == scene.points[first].frame)
            ++last;
        std::shuffle(order.begin() + (ptrdiff_t)first, order.begin() + (ptrdiff_t)last, random);
        first = last;
    }
    Scene shuffled;
    for (size_t i : order) {
        shuffled.points.push_back(scene.points[i]);
        shuffled.particle.push_back(scene.particle[i]);
    }
    return shuffled;
}

// The share of detections whose track-mate before it (the previous
// detection of its track) is the previous detection of its particle.
double correctLinks(const Scene &scene, const std::vector<int32_t> &track)
{
    std::vector<size_t> order(scene.points.size());
    for (size_t i = 0; i < order.size(); ++i)
        order[i] = i;
    std::sort(order.begin(), order.end(),
              [&](size_t a, size_t b) { return scene.points[a].frame < scene.points[b].frame; });
    std::vector<int64_t> lastOfTrack, lastOfParticle;
    size_t right = 0;
    for (size_t i : order) {
        const size_t t = (size_t)track[i], p = (size_t)scene.particle[i];
        if (t >= lastOfTrack.size())
            lastOfTrack.resize(t + 1, -1);
        if (p >= lastOfParticle.size())
            lastOfParticle.resize(p + 1, -1);
        right += lastOfTrack[t] == lastOfParticle[p];
        lastOfTrack[t] = (int64_t)i;
        lastOfParticle[p] = (int64_t)i;
    }
    return (double)right / (double)order.size();
}

void run(const char *name, const Scene &scene, const TrackLinkSettings &settings, int repeats)
{
    std::vector<int32_t> track(scene.points.size());
    const int status = linkTracks(scene.points.data(), (int64_t)scene.points.size(), settings, track.data());
    if (status != HESSIAN_OK) {
        std::fprintf(stderr, "hessian-maxima-link-bench: linking failed (status %d)\n", status);
        std::exit(1);
    }
    const double correct = correctLinks(scene, track);
    std::vector<double> seconds;
    for (int r = 0; r < repeats; ++r) {
        const auto start = std::chrono::steady_clock::now();
        linkTracks(scene.points.data(), (int64_t)scene.points.size(), settings, track.data());
        seconds.push_back(std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
    }
    std::sort(seconds.begin(), seconds.end());
    const double n = (double)scene.points.size();
    std::printf("| %s | %.0f | %.1f%% | %.1f | %.1f | %.2f M/s | %.2f M/s |\n", name, n, 100.0 * correct,
                1e3 * seconds.front(), 1e3 * seconds[seconds.size() / 2], n / seconds.front() / 1e6,
                n / seconds[seconds.size() / 2] / 1e6);
}

} // namespace

int main(int argc, char **argv)
{
    const int particles = argc > 1 ? std::atoi(argv[1]) : 1000;
    const int frames = argc > 2 ? std::atoi(argv[2]) : 1000;
    const int repeats = argc > 3 ? std::atoi(argv[3]) : 5;
    if (particles < 1 || frames < 2 || repeats < 1) {
        std::fprintf(stderr, "usage: hessian-maxima-link-bench [PARTICLES [FRAMES [REPEATS]]]\n");
        return 2;
    }
    std::printf("%d particles a frame in 512 x 512, %d frames, Brownian steps of 1 px per axis; one thread; "
                "best and median of %d runs\n\n", particles, frames, repeats);
    std::printf("| linking | detections | correct links | best ms | median ms | best rate | median rate |\n");
    std::printf("|---|---:|---:|---:|---:|---:|---:|\n");
    const Scene whole = simulate(particles, frames, 0.0, 1);
    TrackLinkSettings settings;
    settings.maxDistance = 5.0;
    run("frame to frame, max 5 px", whole, settings, repeats);
    settings.motion = TRACK_MOTION_KALMAN;
    run("frame to frame, Kalman", whole, settings, repeats);
    const Scene missing = simulate(particles, frames, 0.1, 2);
    settings.motion = TRACK_MOTION_NONE;
    run("10% missing, frame to frame", missing, settings, repeats);
    settings.gap = 2;
    run("10% missing, gap 2", missing, settings, repeats);
    return 0;
}
