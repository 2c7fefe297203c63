#include "parallelbands.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <new>
#include <system_error>
#include <thread>

#if defined(__unix__)
#include <pthread.h>
#endif

namespace {

// What the threads of one call share, for that call only.
struct Crew {
    Crew(size_t phases, unsigned bands, unsigned threads, const BandStop &stop)
        : phases(phases), bands(bands), threads(threads), stop(stop), taken(new std::atomic<bool>[phases * bands]),
          done(new std::atomic<unsigned>[phases]), results(phases * bands, 0)
    {
        for (size_t i = 0; i < phases * bands; ++i)
            taken[i].store(false, std::memory_order_relaxed);
        for (size_t p = 0; p < phases; ++p)
            done[p].store(0, std::memory_order_relaxed);
    }
    // Thread t's own bands, [shareStart(t), shareStart(t + 1)): contiguous,
    // the same rows in every phase.
    unsigned shareStart(unsigned thread) const { return (unsigned)((uint64_t)bands * thread / threads); }

    const size_t phases;
    const unsigned bands;
    const unsigned threads;
    const BandStop stop;
    std::unique_ptr<std::atomic<bool>[]> taken;     // per phase and band
    std::unique_ptr<std::atomic<unsigned>[]> done;  // per phase: bands finished
    std::vector<int> results;                       // per phase and band
};

uint32_t bandStart(const BandPhase &phase, unsigned band, unsigned bands)
{
    const uint64_t rows = phase.end > phase.begin ? phase.end - phase.begin : 0;
    if (band >= bands)
        return phase.begin + (uint32_t)rows;
    const uint64_t granule = phase.granule ? phase.granule : 1;
    const uint64_t granules = (rows + granule - 1) / granule;
    return phase.begin + (uint32_t)std::min(rows, granules * band / bands * granule);
}

void runBand(Crew &crew, const std::vector<BandPhase> &phases, size_t p, unsigned worker, unsigned band)
{
    const unsigned bands = crew.bands;
    const uint32_t first = bandStart(phases[p], band, bands);
    const uint32_t last = bandStart(phases[p], band + 1, bands);
    if (crew.stop.flag && crew.stop.flag->load(std::memory_order_relaxed))
        crew.results[p * bands + band] = crew.stop.status;
    else if (first < last)
        crew.results[p * bands + band] = phases[p].work(worker, band, first, last);
    crew.done[p].fetch_add(1, std::memory_order_acq_rel);
}

bool take(Crew &crew, size_t p, unsigned band)
{
    std::atomic<bool> &flag = crew.taken[p * crew.bands + band];
    return !flag.load(std::memory_order_relaxed) && !flag.exchange(true, std::memory_order_acq_rel);
}

// The life of thread `self`: in every phase, its own bands from the top,
// then whatever the others have not taken yet, each other share from its
// bottom (where its owner will come last); then a wait until all of the
// phase's bands are done (spinning politely: the wait is about one band
// long) before the next phase.
//
// Every thread works on the same rows in every phase, so what one phase
// writes, the next mostly reads from the same processor's caches: moving
// freshly written rows between processors costs more than computing them.
// A thread that starts late, or whose processor is taken by something
// else, still holds up nobody: the others take its bands.
void runCrewMember(Crew &crew, const std::vector<BandPhase> &phases, unsigned self)
{
    const unsigned bands = crew.bands;
    for (size_t p = 0; p < crew.phases; ++p) {
        for (unsigned band = crew.shareStart(self); band < crew.shareStart(self + 1); ++band)
            if (take(crew, p, band))
                runBand(crew, phases, p, self, band);
        for (unsigned step = 1; step < crew.threads; ++step) {
            const unsigned other = (self + step) % crew.threads;
            for (unsigned band = crew.shareStart(other + 1); band-- > crew.shareStart(other);)
                if (take(crew, p, band))
                    runBand(crew, phases, p, self, band);
        }
        // After the last phase only the caller (thread 0) waits for the
        // others; they end as soon as they find nothing left.
        if (p + 1 == crew.phases && self != 0)
            return;
        while (crew.done[p].load(std::memory_order_acquire) < bands)
            std::this_thread::yield();
        for (unsigned b = 0; b < bands; ++b)
            if (crew.results[p * bands + b] != 0)
                return;
    }
}

// Threads kept from one run to the next. Starting a thread and waiting for
// it to be scheduled costs tens of microseconds, a tenth of a whole run on
// a small picture, and a run starts a crew for its response and another for
// its maxima. A helper that has finished keeps looking for work for a
// moment (the next phase or run usually follows at once), then sleeps.
//
// Helpers only ever join crews, which finish with or without them, so
// nothing waits for a helper: when none is free a run goes ahead with the
// threads it has.
class HelperPool
{
public:
    static HelperPool &instance()
    {
        // Never destroyed: helpers may still be looking for work at exit.
        static HelperPool *const pool = new HelperPool;
        return *pool;
    }

    // Hands the task to a free helper, starting one if there are fewer
    // than the limit. False when no thread could be had.
    bool hand(std::function<void()> task)
    {
        std::unique_lock<std::mutex> lock(mutex);
        if (idle == 0) {
            if (helpers >= limit)
                return false;
            try {
                std::thread([this] { serve(); }).detach();
            } catch (const std::system_error &) {
                return false;
            }
            ++helpers;
            ++idle;
        }
        --idle;
        tasks.push_back(std::move(task));
        queued.store((unsigned)tasks.size(), std::memory_order_release);
        lock.unlock();
        wake.notify_one();
        return true;
    }

private:
    HelperPool() : limit(4 * machineThreads())
    {
#if defined(__unix__)
        // A child of fork() has none of the parent's helpers, and may find
        // the lock held by one of them: it starts afresh.
        pthread_atfork([] { instance().mutex.lock(); }, [] { instance().mutex.unlock(); },
                       [] { instance().resetInChild(); });
#endif
    }

    void resetInChild()
    {
        new (&mutex) std::mutex;
        new (&wake) std::condition_variable;
        tasks.clear();
        queued.store(0);
        helpers = 0;
        idle = 0;
    }

    bool takeTask(std::function<void()> &task)
    {
        if (tasks.empty())
            return false;
        task = std::move(tasks.front());
        tasks.pop_front();
        queued.store((unsigned)tasks.size(), std::memory_order_release);
        return true;
    }

    // A helper counts as idle from its start and after each task, until it
    // takes the next.
    void serve()
    {
        std::function<void()> task;
        for (;;) {
            const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(1);
            bool found = false;
            while (!found && std::chrono::steady_clock::now() < until) {
                if (queued.load(std::memory_order_acquire) > 0) {
                    std::lock_guard<std::mutex> lock(mutex);
                    found = takeTask(task);
                }
                if (!found)
                    std::this_thread::yield();
            }
            if (!found) {
                std::unique_lock<std::mutex> lock(mutex);
                wake.wait(lock, [this] { return !tasks.empty(); });
                takeTask(task);
            }
            task();
            task = nullptr;
            std::lock_guard<std::mutex> lock(mutex);
            ++idle;
        }
    }

    const unsigned limit;
    std::mutex mutex;
    std::condition_variable wake;
    std::deque<std::function<void()>> tasks;  // handed over, not yet taken
    std::atomic<unsigned> queued{0};          // tasks.size(), read without the lock
    unsigned helpers = 0;                     // started so far
    unsigned idle = 0;                        // free to take a task
};

} // namespace

unsigned machineThreads()
{
    const unsigned threads = std::thread::hardware_concurrency();
    return threads ? threads : 1;
}

int runPhasesInBands(unsigned threads, unsigned bands, const std::vector<BandPhase> &phases, const BandStop &stop)
{
    if (bands < 1)
        bands = 1;
    if (threads < 1)
        threads = 1;
    if (threads > bands)
        threads = bands;
    // The helpers hold the crew as long as they are in it, and touch
    // `phases` only inside bands: once every band is done the caller returns
    // at once, without waiting for them to leave, and they leave touching
    // nothing else. A helper that joins late finds nothing left to take.
    const auto crew = std::make_shared<Crew>(phases.size(), bands, threads, stop);
    for (unsigned t = 1; t < threads; ++t)
        if (!HelperPool::instance().hand([crew, &phases, t] { runCrewMember(*crew, phases, t); }))
            break;  // no more threads to be had: those in the crew do it all
    runCrewMember(*crew, phases, 0);

    for (size_t p = 0; p < phases.size(); ++p)
        for (unsigned b = 0; b < bands; ++b)
            if (crew->results[p * bands + b] != 0)
                return crew->results[p * bands + b];
    return 0;
}

int runInBands(unsigned threads, unsigned bands, uint32_t begin, uint32_t end, const BandWork &work,
               const BandStop &stop)
{
    return runPhasesInBands(threads, bands, {BandPhase{begin, end, work}}, stop);
}
