#ifndef PARALLELBANDS_H
#define PARALLELBANDS_H

// Splitting one run's rows among threads. Every call starts its own threads
// and returns once all of its bands are done, its threads then only ending:
// no pool, no shared state, so runs that overlap in time stay independent.

#include <atomic>
#include <cstdint>
#include <functional>
#include <vector>

// The number of hardware threads, at least 1.
unsigned machineThreads();

// work(worker, band, first, last) does rows first <= y < last; band counts
// from 0 at the top, worker from 0 (the calling thread) to threads - 1, and
// no two bands run on one worker at the same time. Returns 0 or a failure
// status. Bands may run on any thread, in any order, at the same time as
// each other.
using BandWork = std::function<int(unsigned worker, unsigned band, uint32_t first, uint32_t last)>;

// One step of a run: rows [begin, end), split into bands whose sizes differ
// by at most one.
struct BandPhase {
    uint32_t begin;
    uint32_t end;
    BandWork work;
    // Every band but the last starts a whole number of `granule` rows after
    // `begin`, for work that goes in blocks of rows (sizes then differ by at
    // most one granule).
    uint32_t granule = 1;
};

// A flag another thread may raise to stop a run early: a band that has not
// begun when it is up is skipped and fails with `status`, so the run stops
// after the phase in progress. Bands already running finish; nothing else
// changes, so a run whose flag stays down gives exactly what it would
// without one.
struct BandStop {
    const std::atomic<bool> *flag = nullptr;
    int status = 0;
};

// Runs the phases in order on `threads` threads (the calling thread is one
// of them; fewer when no more can be started). Each phase's rows are cut
// into `bands` bands; the threads take them one at a time, each the next
// not yet taken, so that a thread that starts late or runs slowly holds up
// nobody. No band of a phase starts before every band of the phase before
// it has finished. Empty bands are skipped. Stops after the first phase in
// which a band fails, and returns that band's status (the first in band
// order), or 0.
int runPhasesInBands(unsigned threads, unsigned bands, const std::vector<BandPhase> &phases,
                     const BandStop &stop = BandStop());

// A single phase.
int runInBands(unsigned threads, unsigned bands, uint32_t begin, uint32_t end, const BandWork &work,
               const BandStop &stop = BandStop());

#endif // PARALLELBANDS_H
