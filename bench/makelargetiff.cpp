// hessian-maxima-make-tiff: writes a large 8-bit grey TIFF of soft bright
// and dark spots on a textured background, a strip of rows at a time, so
// that pictures larger than memory can be made for the streaming benchmark.
// A FILE ending in .pgm gets the same picture as a raw PGM.
//
//   hessian-maxima-make-tiff WIDTH HEIGHT FILE [ROWS-PER-STRIP]

#include <tiffio.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

// A spot in every 48 x 48 cell, placed and weighted by a hash of the cell.
const int kCell = 48;

uint32_t hash(uint32_t a, uint32_t b)
{
    uint32_t h = a * 0x9e3779b1u ^ (b + 0x7f4a7c15u) * 0x85ebca77u;
    h ^= h >> 15;
    h *= 0x2c1b3c6du;
    return h ^ (h >> 13);
}

} // namespace

int main(int argc, char **argv)
{
    if (argc < 4) {
        std::fprintf(stderr, "usage: %s WIDTH HEIGHT FILE [ROWS-PER-STRIP]\n", argv[0]);
        return 2;
    }
    const uint32_t width = (uint32_t)std::strtoul(argv[1], nullptr, 10);
    const uint32_t height = (uint32_t)std::strtoul(argv[2], nullptr, 10);
    const uint32_t rowsPerStrip = argc > 4 ? (uint32_t)std::strtoul(argv[4], nullptr, 10) : 64;
    if (width == 0 || height == 0 || rowsPerStrip == 0)
        return 2;
    const std::string name = argv[3];
    const bool pgm = name.size() > 4 && name.compare(name.size() - 4, 4, ".pgm") == 0;
    FILE *raw = nullptr;
    TIFF *tiff = nullptr;
    if (pgm) {
        raw = std::fopen(argv[3], "wb");
        if (!raw || std::fprintf(raw, "P5\n%u %u\n255\n", width, height) < 0)
            return 1;
    } else {
        // "w8": BigTIFF, for files of 4 GB and more.
        const bool big = (uint64_t)width * height > (uint64_t(3) << 30);
        tiff = TIFFOpen(argv[3], big ? "w8" : "w");
        if (!tiff)
            return 1;
    }
    if (tiff) {
        TIFFSetField(tiff, TIFFTAG_IMAGEWIDTH, width);
        TIFFSetField(tiff, TIFFTAG_IMAGELENGTH, height);
        TIFFSetField(tiff, TIFFTAG_BITSPERSAMPLE, 8);
        TIFFSetField(tiff, TIFFTAG_SAMPLESPERPIXEL, 1);
        TIFFSetField(tiff, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_MINISBLACK);
        TIFFSetField(tiff, TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG);
        TIFFSetField(tiff, TIFFTAG_ROWSPERSTRIP, rowsPerStrip);
    }

    // One spot's profile, 2 * kCell wide, looked up by distance squared.
    std::vector<float> profile(2 * kCell * kCell);
    for (size_t d = 0; d < profile.size(); ++d)
        profile[d] = std::exp(-(float)d / (2.0f * 4.0f * 4.0f));
    std::vector<uint8_t> row(width);
    for (uint32_t y = 0; y < height; ++y) {
        const uint32_t cy = y / kCell;
        for (uint32_t x = 0; x < width; ++x) {
            const uint32_t cx = x / kCell;
            const uint32_t h = hash(cx, cy);
            const int sx = (int)(cx * kCell + 8 + h % 32), sy = (int)(cy * kCell + 8 + (h >> 8) % 32);
            const int dx = (int)x - sx, dy = (int)y - sy;
            const float amplitude = (h >> 16) % 3 == 0 ? -50.0f : 40.0f + (float)((h >> 20) % 120);
            float v = 90.0f + (float)((x * 7 + y * 13) % 9);
            const size_t d = (size_t)(dx * dx + dy * dy);
            if (d < profile.size())
                v += amplitude * profile[d];
            row[x] = (uint8_t)(v < 0.0f ? 0.0f : v > 255.0f ? 255.0f : v);
        }
        const bool written = raw ? std::fwrite(row.data(), 1, width, raw) == width
                                 : TIFFWriteScanline(tiff, row.data(), y, 0) >= 0;
        if (!written) {
            if (raw)
                std::fclose(raw);
            else
                TIFFClose(tiff);
            return 1;
        }
    }
    if (raw)
        return std::fclose(raw) == 0 ? 0 : 1;
    TIFFClose(tiff);
    return 0;
}
