#ifndef PARALLELBANDS_H
#define PARALLELBANDS_H

// Splitting one run's rows among threads. Every call starts its own threads
// and joins them before it returns: no pool, no shared state, so runs that
// overlap in time stay independent.

#include <cstdint>
#include <functional>

// The number of hardware threads, at least 1.
unsigned machineThreads();

// Splits rows [begin, end) into `bands` contiguous ranges whose sizes differ
// by at most one, and calls work(band, first, last) once for each, band
// counting from 0 at the top: the first band
// on the calling thread, each other band on a thread of its own (or on the
// calling thread when no thread can be started). Returns the first non-zero
// result in band order, or 0.
int runInBands(unsigned bands, uint32_t begin, uint32_t end,
               const std::function<int(unsigned band, uint32_t first, uint32_t last)> &work);

#endif // PARALLELBANDS_H
