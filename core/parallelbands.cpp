#include "parallelbands.h"

#include <atomic>
#include <memory>
#include <system_error>
#include <thread>

namespace {

// What the threads of one call share, for that call only.
struct Crew {
    Crew(size_t phases, unsigned bands)
        : next(new std::atomic<unsigned>[phases]), done(new std::atomic<unsigned>[phases]),
          results(phases * bands, 0)
    {
        for (size_t p = 0; p < phases; ++p) {
            next[p].store(0);
            done[p].store(0);
        }
    }
    std::unique_ptr<std::atomic<unsigned>[]> next;  // per phase: the next band to take
    std::unique_ptr<std::atomic<unsigned>[]> done;  // per phase: bands finished
    std::vector<int> results;                       // per phase and band
};

uint32_t bandStart(const BandPhase &phase, unsigned band, unsigned bands)
{
    const uint64_t rows = phase.end > phase.begin ? phase.end - phase.begin : 0;
    return phase.begin + (uint32_t)(rows * band / bands);
}

// The life of one thread: in every phase, the next band nobody has taken
// until none is left, then a wait until all of the phase's bands are done
// (spinning politely: the wait is about one band long). A thread that starts
// late, or whose processor is taken by something else, simply does fewer
// bands instead of holding up the others.
void runCrewMember(Crew &crew, const std::vector<BandPhase> &phases, unsigned bands)
{
    for (size_t p = 0; p < phases.size(); ++p) {
        for (unsigned band; (band = crew.next[p].fetch_add(1, std::memory_order_relaxed)) < bands;) {
            const uint32_t first = bandStart(phases[p], band, bands);
            const uint32_t last = bandStart(phases[p], band + 1, bands);
            if (first < last)
                crew.results[p * bands + band] = phases[p].work(band, first, last);
            crew.done[p].fetch_add(1, std::memory_order_acq_rel);
        }
        while (crew.done[p].load(std::memory_order_acquire) < bands)
            std::this_thread::yield();
        for (unsigned b = 0; b < bands; ++b)
            if (crew.results[p * bands + b] != 0)
                return;
    }
}

} // namespace

unsigned machineThreads()
{
    const unsigned threads = std::thread::hardware_concurrency();
    return threads ? threads : 1;
}

int runPhasesInBands(unsigned threads, unsigned bands, const std::vector<BandPhase> &phases)
{
    if (bands < 1)
        bands = 1;
    if (threads < 1)
        threads = 1;
    if (threads > bands)
        threads = bands;
    Crew crew(phases.size(), bands);

    std::vector<std::thread> helpers;
    helpers.reserve(threads - 1);
    for (unsigned t = 1; t < threads; ++t) {
        try {
            helpers.emplace_back(runCrewMember, std::ref(crew), std::cref(phases), bands);
        } catch (const std::system_error &) {
            break;  // no more threads to be had: those started so far do it all
        }
    }
    runCrewMember(crew, phases, bands);
    for (std::thread &helper : helpers)
        helper.join();

    for (size_t p = 0; p < phases.size(); ++p)
        for (unsigned b = 0; b < bands; ++b)
            if (crew.results[p * bands + b] != 0)
                return crew.results[p * bands + b];
    return 0;
}

int runInBands(unsigned threads, unsigned bands, uint32_t begin, uint32_t end, const BandWork &work)
{
    return runPhasesInBands(threads, bands, {BandPhase{begin, end, work}});
}
