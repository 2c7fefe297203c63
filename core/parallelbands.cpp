#include "parallelbands.h"

#include <atomic>
#include <memory>
#include <system_error>
#include <thread>

namespace {

// What the threads of one call share, for that call only.
struct Crew {
    explicit Crew(size_t phases) : arrived(new std::atomic<unsigned>[phases]), results(0) {}
    std::atomic<unsigned> size{0};  // set once every thread that will run has started
    std::unique_ptr<std::atomic<unsigned>[]> arrived;  // per phase: bands done
    std::vector<int> results;  // per phase and band
};

uint32_t bandStart(const BandPhase &phase, unsigned band, unsigned bands)
{
    const uint64_t rows = phase.end > phase.begin ? phase.end - phase.begin : 0;
    return phase.begin + (uint32_t)(rows * band / bands);
}

// The life of thread `band`: every phase, waiting at the end of each for the
// others (spinning politely: the wait is as short as the bands are even).
void runBand(Crew &crew, const std::vector<BandPhase> &phases, unsigned band)
{
    unsigned bands;
    while ((bands = crew.size.load(std::memory_order_acquire)) == 0)
        std::this_thread::yield();
    for (size_t p = 0; p < phases.size(); ++p) {
        const uint32_t first = bandStart(phases[p], band, bands);
        const uint32_t last = bandStart(phases[p], band + 1, bands);
        if (first < last)
            crew.results[p * bands + band] = phases[p].work(band, first, last);
        crew.arrived[p].fetch_add(1, std::memory_order_acq_rel);
        while (crew.arrived[p].load(std::memory_order_acquire) < bands)
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

int runPhasesInBands(unsigned bands, const std::vector<BandPhase> &phases)
{
    if (bands < 1)
        bands = 1;
    Crew crew(phases.size());
    for (size_t p = 0; p < phases.size(); ++p)
        crew.arrived[p].store(0);
    crew.results.assign(phases.size() * bands, 0);

    std::vector<std::thread> threads;
    threads.reserve(bands - 1);
    for (unsigned band = 1; band < bands; ++band) {
        try {
            threads.emplace_back(runBand, std::ref(crew), std::cref(phases), band);
        } catch (const std::system_error &) {
            break;  // no more threads to be had: the bands started so far do it all
        }
    }
    const unsigned started = (unsigned)threads.size() + 1;
    crew.size.store(started, std::memory_order_release);
    runBand(crew, phases, 0);
    for (std::thread &thread : threads)
        thread.join();

    for (size_t p = 0; p < phases.size(); ++p)
        for (unsigned b = 0; b < started; ++b)
            if (crew.results[p * started + b] != 0)
                return crew.results[p * started + b];
    return 0;
}

int runInBands(unsigned bands, uint32_t begin, uint32_t end, const BandWork &work)
{
    return runPhasesInBands(bands, {BandPhase{begin, end, work}});
}
