#ifndef VECTORSCRATCH_H
#define VECTORSCRATCH_H

// The scratch memory of the vector path, sized where set-up needs it. Set-up
// keeps one slice per hardware thread behind the response map, so that a run
// allocates nothing; the dispatcher (detectionpaths.cpp) hands the slices
// out. Kept apart from both so that set-up does not depend on the dispatcher.

#include <cstddef>
#include <cstdint>

// Alignment of every slice: a cache line, and the widest vector.
const size_t kScratchAlignment = 64;

// The most scratch one thread of any compiled instruction set needs (0 when
// the core was built without the vector path).
size_t scratchSliceFloats(uint32_t width, uint32_t height, uint32_t radius);

// The floats of scratch for the vector path that set-up allocates behind the
// response map's width * height floats (SIZE_MAX when that does not fit).
size_t responseScratchFloats(uint32_t width, uint32_t height, uint32_t radius);

#endif // VECTORSCRATCH_H
