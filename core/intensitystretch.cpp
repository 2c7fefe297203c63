#include "intensitystretch.h"

#include "hessiandetector.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>

namespace {

template <typename T>
T load(const void *samples, size_t index)
{
    T value;
    std::memcpy(&value, static_cast<const unsigned char *>(samples) + index * sizeof(T), sizeof(T));
    return value;
}

template <typename T, typename Use>
void forEach(const void *samples, size_t count, size_t stride, Use &use)
{
    for (size_t i = 0; i < count; ++i)
        use((double)load<T>(samples, i * stride));
}

// Calls `use(value)` for each sample (as a double), `stride` apart.
template <typename Use>
void forEachSample(const void *samples, SampleType type, size_t count, size_t stride, Use use)
{
    switch (type) {
    case SAMPLE_U8: return forEach<uint8_t>(samples, count, stride, use);
    case SAMPLE_U16: return forEach<uint16_t>(samples, count, stride, use);
    case SAMPLE_I16: return forEach<int16_t>(samples, count, stride, use);
    case SAMPLE_U32: return forEach<uint32_t>(samples, count, stride, use);
    case SAMPLE_I32: return forEach<int32_t>(samples, count, stride, use);
    case SAMPLE_F32: return forEach<float>(samples, count, stride, use);
    case SAMPLE_F64: return forEach<double>(samples, count, stride, use);
    }
}

// The bits of a sample's order key: its own, but never fewer than one
// 16-bit digit.
unsigned keyBitsOf(SampleType type)
{
    return std::max(16u, 8 * (unsigned)sampleBytes(type));
}

// Sample keys: the bit patterns turned so that keys sort as the values do
// (negative floats reversed, signed integers offset); see Keys below.

double valueOfKey(uint64_t key, SampleType type)
{
    switch (type) {
    case SAMPLE_U8:
    case SAMPLE_U16:
    case SAMPLE_U32:
        return (double)key;
    case SAMPLE_I16:
        return (double)(int16_t)(uint16_t)(key ^ 0x8000u);
    case SAMPLE_I32:
        return (double)(int32_t)(uint32_t)(key ^ 0x80000000u);
    case SAMPLE_F32: {
        const uint32_t k = (uint32_t)key;
        const uint32_t bits = k & 0x80000000u ? k & 0x7fffffffu : ~k;
        float value;
        std::memcpy(&value, &bits, sizeof value);
        return value;
    }
    case SAMPLE_F64: {
        const uint64_t bits = key & 0x8000000000000000ull ? key & 0x7fffffffffffffffull : ~key;
        double value;
        std::memcpy(&value, &bits, sizeof value);
        return value;
    }
    }
    return 0.0;
}

const size_t kDigitValues = 65536;

// A sample type's order key, read from the sample itself: the loops below
// are written once per type, so that the type is not asked again for every
// sample.
template <typename T>
struct Keys;
template <>
struct Keys<uint8_t> {
    static uint64_t key(uint8_t v, bool *number) { *number = true; return v; }
};
template <>
struct Keys<uint16_t> {
    static uint64_t key(uint16_t v, bool *number) { *number = true; return v; }
};
template <>
struct Keys<int16_t> {
    static uint64_t key(int16_t v, bool *number) { *number = true; return (uint16_t)v ^ 0x8000u; }
};
template <>
struct Keys<uint32_t> {
    static uint64_t key(uint32_t v, bool *number) { *number = true; return v; }
};
template <>
struct Keys<int32_t> {
    static uint64_t key(int32_t v, bool *number) { *number = true; return (uint32_t)v ^ 0x80000000u; }
};
template <>
struct Keys<float> {
    static uint64_t key(float v, bool *number)
    {
        uint32_t bits;
        std::memcpy(&bits, &v, sizeof bits);
        *number = std::isfinite(v);
        return bits & 0x80000000u ? ~bits : bits | 0x80000000u;
    }
};
template <>
struct Keys<double> {
    static uint64_t key(double v, bool *number)
    {
        uint64_t bits;
        std::memcpy(&bits, &v, sizeof bits);
        *number = std::isfinite(v);
        return bits & 0x8000000000000000ull ? ~bits : bits | 0x8000000000000000ull;
    }
};

// Calls Run<T>::run(args...) with T the sample type's own.
template <template <typename> class Run, typename... Args>
void withSampleType(SampleType type, Args &&...args)
{
    switch (type) {
    case SAMPLE_U8: return Run<uint8_t>::run(args...);
    case SAMPLE_U16: return Run<uint16_t>::run(args...);
    case SAMPLE_I16: return Run<int16_t>::run(args...);
    case SAMPLE_U32: return Run<uint32_t>::run(args...);
    case SAMPLE_I32: return Run<int32_t>::run(args...);
    case SAMPLE_F32: return Run<float>::run(args...);
    case SAMPLE_F64: return Run<double>::run(args...);
    }
}

// The counts of a pass of a search. The first pass counts every finite
// sample's top digit, whatever the ranks, into counts[0] and counts[1] in
// turns (rankSearchEndPass adds them up), and for samples of more than 16
// bits the smallest and largest key (for 16 bits the counts tell those); a
// later pass counts a sample for each wanted key whose known high bits it
// shares.
template <typename T>
struct CountDigits {
    static void run(RankSearch *search, const void *samples, size_t count, size_t stride)
    {
        const unsigned shift = search->keyBits - search->knownBits - 16;  // of the next digit
        uint64_t *counts0 = search->counts[0], *counts1 = search->counts[1];
        const T *at = static_cast<const T *>(samples);
        const auto keyAt = [&](size_t i, bool *number) {
            T v;
            std::memcpy(&v, at + i * stride, sizeof v);
            return Keys<T>::key(v, number);
        };
        if (search->knownBits == 0 && search->keyBits == 16) {
            // Every sample is a number; its key is its digit.
            size_t i = 0;
            bool number;
            for (; i + 1 < count; i += 2) {
                ++counts0[keyAt(i, &number)];
                ++counts1[keyAt(i + 1, &number)];
            }
            if (i < count)
                ++counts0[keyAt(i, &number)];
            search->numbers += count;
            return;
        }
        if (search->knownBits == 0) {
            uint64_t lowest = search->extremes[0], highest = search->extremes[1], numbers = 0;
            uint64_t *turn[2] = {counts0, counts1};
            for (size_t i = 0; i < count; ++i) {
                bool number;
                const uint64_t key = keyAt(i, &number);
                if (!number)
                    continue;
                ++turn[numbers & 1][key >> shift];
                lowest = std::min(lowest, key);
                highest = std::max(highest, key);
                ++numbers;
            }
            search->extremes[0] = lowest;
            search->extremes[1] = highest;
            search->numbers += numbers;
            return;
        }
        const uint64_t prefix0 = search->prefix[0], prefix1 = search->prefix[1];
        for (size_t i = 0; i < count; ++i) {
            bool number;
            const uint64_t key = keyAt(i, &number);
            if (!number)
                continue;
            const size_t digit = (size_t)(key >> shift) & 0xffffu;
            const uint64_t known = key >> (shift + 16);
            if (known == prefix0)
                ++counts0[digit];
            if (known == prefix1)
                ++counts1[digit];
        }
    }
};

// The smallest and largest finite sample, and how many there are.
template <typename T>
struct ExtentOf {
    static void run(SampleExtent *extent, const void *samples, size_t count, size_t stride)
    {
        const T *at = static_cast<const T *>(samples);
        bool any = false;
        T low = T(), high = T();
        uint64_t numbers = 0;
        for (size_t i = 0; i < count; ++i) {
            T v;
            std::memcpy(&v, at + i * stride, sizeof v);
            bool number;
            Keys<T>::key(v, &number);
            if (!number)
                continue;
            // The first of equal values stays (so -0 before 0 stays -0).
            if (!any || v < low)
                low = v;
            if (!any || v > high)
                high = v;
            any = true;
            ++numbers;
        }
        if (!any)
            return;
        if (extent->count == 0 || (double)low < extent->min)
            extent->min = (double)low;
        if (extent->count == 0 || (double)high > extent->max)
            extent->max = (double)high;
        extent->count += numbers;
    }
};

} // namespace

size_t sampleBytes(SampleType type)
{
    switch (type) {
    case SAMPLE_U8:
        return 1;
    case SAMPLE_U16:
    case SAMPLE_I16:
        return 2;
    case SAMPLE_U32:
    case SAMPLE_I32:
    case SAMPLE_F32:
        return 4;
    case SAMPLE_F64:
        break;
    }
    return 8;
}

double sampleValue(const void *samples, SampleType type, size_t index)
{
    double value = 0.0;
    forEachSample(static_cast<const unsigned char *>(samples) + index * sampleBytes(type), type, 1, 1,
                  [&](double v) { value = v; });
    return value;
}

unsigned char stretchValue(double value, double lo, double hi)
{
    if (!(hi > lo) || std::isnan(value))
        return 0;
    // What the formula gives at and beyond the ends, also for infinite
    // values, whose differences would not be numbers.
    if (value >= hi)
        return 255;
    if (value <= lo)
        return 0;
    const double level = std::floor((value - lo) / (hi - lo) * 255.0 + 0.5);
    // Not a number only where hi - lo overflows to infinity.
    return !(level > 0.0) ? 0 : level >= 255.0 ? 255 : (unsigned char)level;
}

namespace {

unsigned char reduceValue(double value, const ByteReduction &reduction)
{
    switch (reduction.kind) {
    case REDUCE_PNM_SCALE:
        return (unsigned char)((uint32_t)value * 255u / reduction.maxval);
    case REDUCE_ROUND_257:
        return (unsigned char)(((uint32_t)value + 128u) / 257u);
    case REDUCE_PNM_COLOUR:
        // Qt scales colours to 16 bits, then brings them to 8 as any 16-bit colour.
        return (unsigned char)((((uint32_t)value * 65535u / reduction.maxval & 0xffffu) + 128u) / 257u);
    case REDUCE_STRETCH:
        break;
    }
    return stretchValue(value, reduction.lo, reduction.hi);
}

} // namespace

namespace {

// The smallest value of type T (a key of T's) whose byte under the stretch
// lo..hi is at least `level`, found by halving the keys between -infinity
// and +infinity (+infinity maps to 255 whenever hi > lo).
template <typename T>
double smallestOfLevel(unsigned level, double lo, double hi, SampleType type)
{
    bool number;
    uint64_t below = Keys<T>::key(std::numeric_limits<T>::lowest(), &number);
    uint64_t at = Keys<T>::key(std::numeric_limits<T>::max(), &number);
    if (std::numeric_limits<T>::has_infinity) {
        below = Keys<T>::key(-std::numeric_limits<T>::infinity(), &number);
        at = Keys<T>::key(std::numeric_limits<T>::infinity(), &number);
    }
    if (stretchValue(valueOfKey(below, type), lo, hi) >= level)
        return valueOfKey(below, type);
    // stretchValue(below) < level <= stretchValue(at)
    while (at - below > 1) {
        const uint64_t middle = below + (at - below) / 2;
        if (stretchValue(valueOfKey(middle, type), lo, hi) >= level)
            at = middle;
        else
            below = middle;
    }
    return valueOfKey(at, type);
}

template <typename T>
struct Thresholds {
    static void run(ByteLookup *lookUp)
    {
        for (unsigned level = 1; level < 256; ++level)
            lookUp->from[level] = smallestOfLevel<T>(level, lookUp->reduction.lo, lookUp->reduction.hi,
                                                     lookUp->type);
    }
};

// Bytes through the thresholds: an estimate by multiplication, set right
// by comparisons with the smallest values of its byte and the next.
template <typename T>
struct ReduceByThresholds {
    static void run(const ByteLookup *lookUp, const void *samples, size_t count, size_t stride, unsigned char *bytes)
    {
        const double lo = lookUp->reduction.lo, scale = 255.0 / (lookUp->reduction.hi - lo);
        const double *from = lookUp->from;
        const T *at = static_cast<const T *>(samples);
        for (size_t i = 0; i < count; ++i) {
            T sample;
            std::memcpy(&sample, at + i * stride, sizeof sample);
            const double v = (double)sample;
            if (v != v) {
                bytes[i] = 0;
                continue;
            }
            const double estimate = (v - lo) * scale + 0.5;
            unsigned level = estimate > 0.0 ? (estimate < 255.0 ? (unsigned)estimate : 255u) : 0u;
            while (level < 255 && v >= from[level + 1])
                ++level;
            while (level > 0 && !(v >= from[level]))
                --level;
            bytes[i] = (unsigned char)level;
        }
    }
};

// A sample's index into a byte table: its bits as an unsigned number.
inline size_t tableIndex(const unsigned char *sample, SampleType type)
{
    if (type == SAMPLE_U8)
        return *sample;
    uint16_t bits;
    std::memcpy(&bits, sample, sizeof bits);
    return bits;
}

// The bytes of the 256 levels of 8-bit samples, made by the formula itself,
// so that looking a sample up gives what the formula gives. Building it costs
// about as much as reducing 256 samples one by one.
const size_t kTableWorthSamples = 512;

struct LevelTable {
    bool identity;  // every level maps to itself: a copy does
    unsigned char byte[256];
};

// Whole numbers scaled by 255 / 255: every level is its own byte.
bool isCopy(const ByteReduction &reduction)
{
    return reduction.kind == REDUCE_PNM_SCALE && reduction.maxval == 255;
}

void makeLevelTable(const ByteReduction &reduction, LevelTable *table)
{
    if (isCopy(reduction)) {
        table->identity = true;
        return;
    }
    table->identity = true;
    for (unsigned v = 0; v < 256; ++v) {
        table->byte[v] = reduceValue((double)v, reduction);
        table->identity = table->identity && table->byte[v] == v;
    }
}

// The two whole-number reductions of 16-bit samples, without the detour
// through double (which holds every 16-bit value exactly, so nothing changes).
template <typename Store>
bool reduceWholeNumbers(const void *samples, size_t count, size_t stride, const ByteReduction &reduction,
                        Store store)
{
    const uint32_t maxval = reduction.maxval;
    switch (reduction.kind) {
    case REDUCE_PNM_SCALE:
        for (size_t i = 0; i < count; ++i)
            store(i, (unsigned char)((uint32_t)load<uint16_t>(samples, i * stride) * 255u / maxval));
        return true;
    case REDUCE_ROUND_257:
        for (size_t i = 0; i < count; ++i)
            store(i, (unsigned char)(((uint32_t)load<uint16_t>(samples, i * stride) + 128u) / 257u));
        return true;
    default:
        break;  // the others go through double
    }
    return false;
}

// 8-bit samples through the bytes of their 256 levels, or copied where
// every level is its own byte.
void reduceLevels(const unsigned char *in, size_t count, size_t stride, const unsigned char *table, bool identity,
                  unsigned char *bytes)
{
    if (identity && stride == 1)
        std::memcpy(bytes, in, count);
    else if (identity)
        for (size_t i = 0; i < count; ++i)
            bytes[i] = in[i * stride];
    else
        for (size_t i = 0; i < count; ++i)
            bytes[i] = table[in[i * stride]];
}

} // namespace

void prepareByteLookup(ByteLookup *lookUp, SampleType type, const ByteReduction &reduction)
{
    lookUp->type = type;
    lookUp->reduction = reduction;
    lookUp->byTable = sampleBytes(type) <= 2;
    lookUp->byThresholds = !lookUp->byTable && reduction.kind == REDUCE_STRETCH && reduction.hi > reduction.lo
                           && std::isfinite(255.0 / (reduction.hi - reduction.lo));
    lookUp->identity = false;
    if (lookUp->byTable) {
        const unsigned values = type == SAMPLE_U8 ? 256 : 65536;
        for (unsigned v = 0; v < values; ++v)
            lookUp->bytes[v] = reduceValue(type == SAMPLE_I16 ? (double)(int16_t)(uint16_t)v : (double)v, reduction);
        if (type == SAMPLE_U8) {
            lookUp->identity = true;
            for (unsigned v = 0; v < 256; ++v)
                lookUp->identity = lookUp->identity && lookUp->bytes[v] == v;
        }
    } else if (lookUp->byThresholds) {
        withSampleType<Thresholds>(type, lookUp);
    }
}

void reduceToBytes(const void *samples, SampleType type, size_t count, size_t stride,
                   const ByteReduction &reduction, unsigned char *bytes, const ByteLookup *lookUp)
{
    if (type == SAMPLE_U8) {
        const unsigned char *in = static_cast<const unsigned char *>(samples);
        if (lookUp && lookUp->byTable) {
            reduceLevels(in, count, stride, lookUp->bytes, lookUp->identity, bytes);
            return;
        }
        if (count >= kTableWorthSamples || isCopy(reduction)) {
            LevelTable table;
            makeLevelTable(reduction, &table);
            reduceLevels(in, count, stride, table.byte, table.identity, bytes);
            return;
        }
    } else if (lookUp && lookUp->byTable && reduction.kind != REDUCE_ROUND_257) {
        // 16-bit samples through the table: v * 255 / maxval by division
        // takes three times as long, the stretch through double eight;
        // (v + 128) / 257, a division by a constant, takes half as long as
        // the table and stays below.
        const unsigned char *at = static_cast<const unsigned char *>(samples);
        const size_t step = stride * sampleBytes(type);
        for (size_t i = 0; i < count; ++i)
            bytes[i] = lookUp->bytes[tableIndex(at + i * step, type)];
        return;
    }
    if (lookUp && lookUp->byThresholds) {
        withSampleType<ReduceByThresholds>(type, lookUp, samples, count, stride, bytes);
        return;
    }
    if (type == SAMPLE_U16
        && reduceWholeNumbers(samples, count, stride, reduction, [bytes](size_t i, unsigned char b) { bytes[i] = b; }))
        return;
    forEachSample(samples, type, count, stride, [&](double v) { *bytes++ = reduceValue(v, reduction); });
}

void reduceToRgb32(const void *samples, SampleType type, size_t width, unsigned channels,
                   const ByteReduction &reduction, uint32_t *pixels, const ByteLookup *lookUp)
{
    const size_t size = sampleBytes(type);
    const unsigned char *at = static_cast<const unsigned char *>(samples);
    // One table for the whole row: the caller's, or the 256 levels' when
    // the row is worth making it.
    LevelTable own;
    const unsigned char *table = nullptr;
    bool identity = false;
    if (lookUp && lookUp->byTable) {
        table = lookUp->bytes;
        identity = lookUp->identity;
    } else if (type == SAMPLE_U8 && (3 * width >= kTableWorthSamples || isCopy(reduction))) {
        makeLevelTable(reduction, &own);
        table = own.byte;
        identity = own.identity;
    }
    if (table) {
        for (size_t x = 0; x < width; ++x, at += channels * size) {
            const size_t r = tableIndex(at, type), g = tableIndex(at + size, type), b = tableIndex(at + 2 * size, type);
            pixels[x] = identity ? 0xff000000u | (uint32_t)r << 16 | (uint32_t)g << 8 | (uint32_t)b
                                 : 0xff000000u | (uint32_t)table[r] << 16 | (uint32_t)table[g] << 8 | table[b];
        }
        return;
    }
    unsigned char bytes[3];
    for (size_t x = 0; x < width; ++x, at += channels * size) {
        reduceToBytes(at, type, 3, 1, reduction, bytes, lookUp);
        pixels[x] = 0xff000000u | (uint32_t)bytes[0] << 16 | (uint32_t)bytes[1] << 8 | bytes[2];
    }
}

void sampleExtentStart(SampleExtent *extent)
{
    extent->count = 0;
    extent->min = 0.0;
    extent->max = 0.0;
}

void sampleExtentAdd(SampleExtent *extent, const void *samples, SampleType type, size_t count, size_t stride)
{
    withSampleType<ExtentOf>(type, extent, samples, count, stride);
}

void greyLevelsAdd(const unsigned char *levels, size_t count, unsigned char *lowest, unsigned char *highest)
{
    unsigned char low = *lowest, high = *highest;
    for (size_t i = 0; i < count; ++i) {
        low = std::min(low, levels[i]);
        high = std::max(high, levels[i]);
    }
    *lowest = low;
    *highest = high;
}

void colourLevelsAdd(const uint32_t *pixels, size_t count, unsigned char *lowest, unsigned char *highest)
{
    // Byte lanes, so that the compiler uses byte minima: the alpha byte is
    // raised for the lowest level and cleared for the highest.
    const unsigned char *bytes = reinterpret_cast<const unsigned char *>(pixels);
    const uint32_t alpha = 0xff000000u;
    unsigned char alphaBytes[4];
    std::memcpy(alphaBytes, &alpha, 4);
    unsigned char raise[16], keep[16], low[16], high[16];
    for (int lane = 0; lane < 16; ++lane) {
        const bool isAlpha = alphaBytes[lane % 4] != 0;
        raise[lane] = isAlpha ? 0xff : 0;
        keep[lane] = isAlpha ? 0 : 0xff;
        low[lane] = *lowest;
        high[lane] = *highest;
    }
    const size_t byteCount = 4 * count, whole = byteCount / 16 * 16;
    for (size_t i = 0; i < whole; i += 16)
        for (int lane = 0; lane < 16; ++lane) {
            low[lane] = std::min<unsigned char>(low[lane], bytes[i + lane] | raise[lane]);
            high[lane] = std::max<unsigned char>(high[lane], bytes[i + lane] & keep[lane]);
        }
    for (size_t i = whole; i < byteCount; ++i) {
        low[i % 16] = std::min<unsigned char>(low[i % 16], bytes[i] | raise[i % 16]);
        high[i % 16] = std::max<unsigned char>(high[i % 16], bytes[i] & keep[i % 16]);
    }
    for (int lane = 0; lane < 16; ++lane) {
        *lowest = std::min(*lowest, low[lane]);
        *highest = std::max(*highest, high[lane]);
    }
}

uint64_t percentileRank(double percent, uint64_t count)
{
    if (count == 0)
        return 0;
    const double rank = std::floor(percent / 100.0 * (double)(count - 1));
    return rank <= 0.0 ? 0 : rank >= (double)(count - 1) ? count - 1 : (uint64_t)rank;
}

int rankSearchStart(RankSearch *search, SampleType type, uint64_t low, uint64_t high)
{
    search->type = type;
    search->keyBits = keyBitsOf(type);
    search->knownBits = 0;
    search->rank[0] = low;
    search->rank[1] = high;
    search->prefix[0] = search->prefix[1] = 0;
    search->numbers = 0;
    search->extremes[0] = UINT64_MAX;
    search->extremes[1] = 0;
    search->counts[0] = (uint64_t *)std::calloc(kDigitValues, sizeof(uint64_t));
    search->counts[1] = (uint64_t *)std::calloc(kDigitValues, sizeof(uint64_t));
    if (!search->counts[0] || !search->counts[1]) {
        rankSearchRelease(search);
        return HESSIAN_NO_MEMORY;
    }
    return HESSIAN_OK;
}

void rankSearchAdd(RankSearch *search, const void *samples, size_t count, size_t stride)
{
    withSampleType<CountDigits>(search->type, search, samples, count, stride);
}

double rankSearchExtreme(const RankSearch *search, int which)
{
    return valueOfKey(search->extremes[which], search->type);
}

void rankSearchSetRanks(RankSearch *search, uint64_t low, uint64_t high)
{
    search->rank[0] = low;
    search->rank[1] = high;
}

bool rankSearchEndPass(RankSearch *search)
{
    if (search->knownBits == 0) {
        // One count of every sample, for both wanted keys.
        uint64_t *counts0 = search->counts[0], *counts1 = search->counts[1];
        for (size_t digit = 0; digit < kDigitValues; ++digit)
            counts1[digit] = counts0[digit] += counts1[digit];
        if (search->keyBits == 16) {
            size_t digit = 0;
            while (digit < kDigitValues - 1 && counts0[digit] == 0)
                ++digit;
            search->extremes[0] = digit;
            digit = kDigitValues - 1;
            while (digit > 0 && counts0[digit] == 0)
                --digit;
            search->extremes[1] = digit;
        }
    }
    for (int which = 0; which < 2; ++which) {
        uint64_t *counts = search->counts[which];
        uint64_t below = 0;
        size_t digit = 0;
        while (digit < kDigitValues - 1 && below + counts[digit] <= search->rank[which])
            below += counts[digit++];
        search->rank[which] -= below;
        search->prefix[which] = search->prefix[which] << 16 | digit;
        std::memset(counts, 0, kDigitValues * sizeof(uint64_t));
    }
    search->knownBits += 16;
    return search->knownBits >= search->keyBits;
}

int rankSearchSplit(const RankSearch *search, RankSearch *piece)
{
    *piece = *search;
    piece->numbers = 0;
    piece->extremes[0] = UINT64_MAX;
    piece->extremes[1] = 0;
    piece->counts[0] = (uint64_t *)std::calloc(kDigitValues, sizeof(uint64_t));
    piece->counts[1] = (uint64_t *)std::calloc(kDigitValues, sizeof(uint64_t));
    if (!piece->counts[0] || !piece->counts[1]) {
        rankSearchRelease(piece);
        return HESSIAN_NO_MEMORY;
    }
    return HESSIAN_OK;
}

void rankSearchJoin(RankSearch *search, RankSearch *piece)
{
    for (int which = 0; which < 2; ++which)
        for (size_t digit = 0; digit < kDigitValues; ++digit)
            search->counts[which][digit] += piece->counts[which][digit];
    search->numbers += piece->numbers;
    search->extremes[0] = std::min(search->extremes[0], piece->extremes[0]);
    search->extremes[1] = std::max(search->extremes[1], piece->extremes[1]);
    rankSearchRelease(piece);
}

double rankSearchValue(const RankSearch *search, int which)
{
    return valueOfKey(search->prefix[which], search->type);
}

void rankSearchRelease(RankSearch *search)
{
    std::free(search->counts[0]);
    std::free(search->counts[1]);
    search->counts[0] = search->counts[1] = nullptr;
}
