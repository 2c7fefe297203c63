#include "intensitystretch.h"

#include "hessiandetector.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>

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

// The sample's bit pattern turned so that keys sort as the values do
// (negative floats reversed, signed integers offset); `number` is false for
// a float that is not a finite number.
uint64_t orderKey(const void *samples, SampleType type, size_t index, bool *number)
{
    *number = true;
    switch (type) {
    case SAMPLE_U8:
        return load<uint8_t>(samples, index);
    case SAMPLE_U16:
        return load<uint16_t>(samples, index);
    case SAMPLE_I16:
        return (uint16_t)load<int16_t>(samples, index) ^ 0x8000u;
    case SAMPLE_U32:
        return load<uint32_t>(samples, index);
    case SAMPLE_I32:
        return (uint32_t)load<int32_t>(samples, index) ^ 0x80000000u;
    case SAMPLE_F32: {
        const uint32_t bits = load<uint32_t>(samples, index);
        *number = std::isfinite(load<float>(samples, index));
        return bits & 0x80000000u ? ~bits : bits | 0x80000000u;
    }
    case SAMPLE_F64: {
        const uint64_t bits = load<uint64_t>(samples, index);
        *number = std::isfinite(load<double>(samples, index));
        return bits & 0x8000000000000000ull ? ~bits : bits | 0x8000000000000000ull;
    }
    }
    return 0;
}

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

} // namespace

void reduceToBytes(const void *samples, SampleType type, size_t count, size_t stride,
                   const ByteReduction &reduction, unsigned char *bytes)
{
    if (type == SAMPLE_U8 && (count >= kTableWorthSamples || isCopy(reduction))) {
        LevelTable table;
        makeLevelTable(reduction, &table);
        const unsigned char *in = static_cast<const unsigned char *>(samples);
        if (table.identity && stride == 1)
            std::memcpy(bytes, in, count);
        else if (table.identity)
            for (size_t i = 0; i < count; ++i)
                bytes[i] = in[i * stride];
        else
            for (size_t i = 0; i < count; ++i)
                bytes[i] = table.byte[in[i * stride]];
        return;
    }
    if (type == SAMPLE_U16
        && reduceWholeNumbers(samples, count, stride, reduction, [bytes](size_t i, unsigned char b) { bytes[i] = b; }))
        return;
    forEachSample(samples, type, count, stride, [&](double v) { *bytes++ = reduceValue(v, reduction); });
}

void reduceToRgb32(const void *samples, SampleType type, size_t width, unsigned channels,
                   const ByteReduction &reduction, uint32_t *pixels)
{
    const size_t step = channels * sampleBytes(type);
    const unsigned char *at = static_cast<const unsigned char *>(samples);
    if (type == SAMPLE_U8 && (3 * width >= kTableWorthSamples || isCopy(reduction))) {
        LevelTable table;
        makeLevelTable(reduction, &table);
        for (size_t x = 0; x < width; ++x, at += step) {
            const unsigned r = at[0], g = at[1], b = at[2];
            pixels[x] = table.identity ? 0xff000000u | r << 16 | g << 8 | b
                                       : 0xff000000u | (uint32_t)table.byte[r] << 16
                                             | (uint32_t)table.byte[g] << 8 | table.byte[b];
        }
        return;
    }
    for (size_t x = 0; x < width; ++x, at += step) {
        uint32_t pixel = 0;
        forEachSample(at, type, 3, 1, [&](double v) { pixel = pixel << 8 | reduceValue(v, reduction); });
        pixels[x] = pixel | 0xff000000u;
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
    forEachSample(samples, type, count, stride, [&](double v) {
        if (!std::isfinite(v))
            return;
        if (extent->count == 0 || v < extent->min)
            extent->min = v;
        if (extent->count == 0 || v > extent->max)
            extent->max = v;
        ++extent->count;
    });
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
    const unsigned shift = search->keyBits - search->knownBits - 16;  // of the next digit
    const bool first = search->knownBits == 0;
    for (size_t i = 0; i < count; ++i) {
        bool number;
        const uint64_t key = orderKey(samples, search->type, i * stride, &number);
        if (!number)
            continue;
        const size_t digit = (size_t)(key >> shift) & 0xffffu;
        const uint64_t known = first ? 0 : key >> (shift + 16);
        for (int which = 0; which < 2; ++which)
            if (known == search->prefix[which])
                ++search->counts[which][digit];
    }
}

bool rankSearchEndPass(RankSearch *search)
{
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
