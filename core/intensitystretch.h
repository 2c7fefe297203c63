#ifndef INTENSITYSTRETCH_H
#define INTENSITYSTRETCH_H

// Pictures of more than 8 bits brought to the detector's 8-bit input: the
// samples as stored (16-bit, 32-bit, float), a range lo..hi chosen from
// them, and each sample v mapped to
//
//     min(255, max(0, floor((v - lo) / (hi - lo) * 255 + 0.5)))
//
// in double precision. When hi <= lo every sample maps to 0. Only finite
// samples count in the statistics that give lo and hi; samples that are not
// numbers (the blanks of a FITS picture) map to 0, infinite ones to 0 or
// 255.
//
// The exact order statistics the percentile range needs are found without
// sorting and without a copy of the samples: the samples' bit patterns, in
// an order-preserving form, are counted 16 bits at a time in a few passes
// over the same samples, which may come in pieces (rows of a file read in
// bands, for instance).

#include <cstddef>
#include <cstdint>

enum SampleType {
    SAMPLE_U8,
    SAMPLE_U16,
    SAMPLE_I16,
    SAMPLE_U32,
    SAMPLE_I32,
    SAMPLE_F32,
    SAMPLE_F64
};

// Bytes of one sample of that type.
size_t sampleBytes(SampleType type);

// One sample as a double (exact for every type).
double sampleValue(const void *samples, SampleType type, size_t index);

// How samples become bytes: the stretch above, or one of the two ways image
// libraries bring deeper samples to 8 bits without one (a picture read in
// bands must give what reading it whole gives).
enum ByteReductionKind {
    REDUCE_STRETCH,    // the formula above, with lo and hi
    REDUCE_PNM_SCALE,  // v * 255 / maxval in whole numbers, its low 8 bits kept (Qt's PGM and PPM reader)
    REDUCE_ROUND_257,  // v / 257 to the nearest whole number (Qt's 16-bit layouts brought to 8 bits)
    REDUCE_PNM_COLOUR  // v * 65535 / maxval in whole numbers, its low 16 bits then as REDUCE_ROUND_257 (Qt's PPM reader)
};
struct ByteReduction {
    ByteReductionKind kind;
    double lo;
    double hi;
    uint32_t maxval;  // REDUCE_PNM_SCALE and REDUCE_PNM_COLOUR only, 1 to 65535
};

// The byte a value maps to in the range lo..hi (see above).
unsigned char stretchValue(double value, double lo, double hi);

// What makes reducing the many samples of a picture fast, made once for
// its type and reduction: for samples of at most 16 bits, the byte of every
// value (bytes[i] for the sample whose bits, read as an unsigned number,
// are i); for deeper ones under a stretch, the smallest value that maps to
// each byte or above (the formula only ever grows with the value), so that
// a sample's byte is found by a few comparisons instead of a division.
// Either way, the very bytes the formula gives.
struct ByteLookup {
    SampleType type;
    ByteReduction reduction;
    bool byTable;         // bytes holds every value's byte
    bool byThresholds;    // from[k], 1 <= k <= 255: the smallest value of byte k or more
    bool identity;        // 8-bit samples each its own byte: a copy does
    unsigned char bytes[65536];
    double from[256];
};
// Fills `lookUp` for the samples and reduction (with neither kind of
// look-up where none applies).
void prepareByteLookup(ByteLookup *lookUp, SampleType type, const ByteReduction &reduction);

// `count` samples, `stride` samples apart, reduced to one byte each
// (through `lookUp`, prepared for this type and reduction, when given).
void reduceToBytes(const void *samples, SampleType type, size_t count, size_t stride,
                   const ByteReduction &reduction, unsigned char *bytes, const ByteLookup *lookUp = nullptr);

// `width` pixels of `channels` interleaved samples, the first three red,
// green and blue (the rest ignored), reduced channel by channel to 32-bit
// pixels 0xffRRGGBB.
void reduceToRgb32(const void *samples, SampleType type, size_t width, unsigned channels,
                   const ByteReduction &reduction, uint32_t *pixels, const ByteLookup *lookUp = nullptr);

// The smallest and largest finite sample, and how many there are.
struct SampleExtent {
    uint64_t count;  // samples that are finite numbers
    double min;      // meaningless while count is 0
    double max;
};
void sampleExtentStart(SampleExtent *extent);
// Adds `count` samples, `stride` samples apart, starting at the first.
void sampleExtentAdd(SampleExtent *extent, const void *samples, SampleType type, size_t count,
                     size_t stride = 1);

// The lowest and highest of `count` grey levels, or of the red, green and
// blue levels of `count` pixels 0xAARRGGBB (alpha ignored), folded into
// *lowest and *highest. Loops the compiler vectorises: this runs on every
// picture loaded.
void greyLevelsAdd(const unsigned char *levels, size_t count, unsigned char *lowest, unsigned char *highest);
void colourLevelsAdd(const uint32_t *pixels, size_t count, unsigned char *lowest, unsigned char *highest);

// floor(percent / 100 * (count - 1)), the rank (from 0) of the percentile
// among `count` sorted values; 0 for no values.
uint64_t percentileRank(double percent, uint64_t count);

// The values at two ranks of the sorted samples, found in passes: every
// pass hands over all samples (the same ones, in any pieces), then
// rankSearchEndPass says whether another pass is needed. Samples of at most
// 16 bits take one pass, 32-bit ones two, doubles four. The first pass
// counts the top 16 bits of every finite sample whatever the ranks, so the
// ranks may be set after it (rankSearchSetRanks), once the number of
// samples is known (`numbers`); it also finds the smallest and the largest
// sample (rankSearchExtreme).
struct RankSearch {
    SampleType type;
    unsigned keyBits;      // 16, 32 or 64
    unsigned knownBits;    // high bits of each wanted key found so far
    uint64_t rank[2];      // the ranks wanted, among the counted samples
    uint64_t prefix[2];    // the wanted keys' known high bits
    // 65536 counters each, for the next 16 bits: one for each wanted key,
    // except in the first pass, which counts every sample once, in turns
    // (a sample into counts[0], the next into counts[1], so that runs of
    // equal samples do not wait on one counter); its end adds them up.
    uint64_t *counts[2];
    uint64_t numbers;      // finite samples counted in the first pass
    uint64_t extremes[2];  // the keys of the smallest and largest of them, once it has ended
};

// Sets up a search for the values at ranks `low` and `high` among the
// finite samples (which must be below their number). Returns 0, or
// HESSIAN_NO_MEMORY.
int rankSearchStart(RankSearch *search, SampleType type, uint64_t low, uint64_t high);
// Counts samples, `stride` samples apart, for the pass under way.
void rankSearchAdd(RankSearch *search, const void *samples, size_t count, size_t stride = 1);
// The ranks wanted, before the first pass ends.
void rankSearchSetRanks(RankSearch *search, uint64_t low, uint64_t high);
// The smallest (which 0) or largest (which 1) finite sample, once the
// first pass has ended with at least one.
double rankSearchExtreme(const RankSearch *search, int which);
// Ends a pass: true when both values are known.
bool rankSearchEndPass(RankSearch *search);
// A share of a pass to be counted on another thread: `piece` becomes the
// search as it stands, with counters of its own, all zero (so that it
// must be released, or joined); rankSearchJoin adds its counts and what
// it saw into the search and releases it. Returns 0, or HESSIAN_NO_MEMORY.
int rankSearchSplit(const RankSearch *search, RankSearch *piece);
void rankSearchJoin(RankSearch *search, RankSearch *piece);
// The value at rank `low` (which 0) or `high` (which 1), once known.
double rankSearchValue(const RankSearch *search, int which);
void rankSearchRelease(RankSearch *search);

#endif // INTENSITYSTRETCH_H
