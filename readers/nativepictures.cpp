#include "nativepictures.h"

#include "decodermessages.h"
#include "fitslibrary.h"
#include "imageheaders.h"
#include "tiffdescriptions.h"
#include "pngcheck.h"
#include "tiffcheck.h"

#include <QBuffer>
#include <QFile>
#include <QIODevice>
#include <QStringList>
#include <QVector>

#include <tiffio.h>

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <vector>

namespace {

// A buffer of decoded rows (a strip, a row of tiles, a PNG) larger than
// this is not allocated: a header of a few bytes can claim gigabytes.
const qint64 kMaxBufferBytes = qint64(1) << 30;
// Pictures read in bands hold a strip or a row of tiles at a time; larger
// ones are read whole, within the whole-picture limit.
const qint64 kMaxStreamedBufferBytes = qint64(256) << 20;

// What a decoder said last while this thread read, or `fallback`.
QString lastMessage(DecoderMessages &messages, const QString &fallback)
{
    const QVector<DecoderMessages::Message> said = messages.take();
    return said.isEmpty() ? fallback : said.last().text;
}

bool fitsProduct(qint64 a, qint64 b, qint64 *product)
{
    if (a < 0 || b < 0 || (a != 0 && b > LLONG_MAX / a))
        return false;
    *product = a * b;
    return true;
}

// Each sample type's name, and the range it maps to 0..255 under "none"
// when Qt does not read the picture: integers from their smallest to their
// largest value, floats 0 to 1. In the order of SampleType.
struct TypeInfo {
    const char *name;
    double lo;
    double hi;
};
const TypeInfo kTypes[] = {{"8-bit", 0.0, 255.0},
                           {"16-bit", 0.0, 65535.0},
                           {"16-bit signed", -32768.0, 32767.0},
                           {"32-bit", 0.0, 4294967295.0},
                           {"32-bit signed", -2147483648.0, 2147483647.0},
                           {"32-bit float", 0.0, 1.0},
                           {"64-bit float", 0.0, 1.0}};

QString typeName(SampleType type)
{
    return QLatin1String(kTypes[type].name);
}

ByteReduction typeRange(SampleType type)
{
    return {REDUCE_STRETCH, kTypes[type].lo, kTypes[type].hi, 0};
}

void copySample(unsigned char *to, const unsigned char *from, size_t bytes)
{
    std::memcpy(to, from, bytes);
}

// ---------------------------------------------------------------- PGM, PPM

class PnmPicture : public NativePicture
{
public:
    static std::unique_ptr<NativePicture> open(QIODevice *device, QString *error)
    {
        const QByteArray head = bytesAt(device, 0, 1024);
        if (head.size() < 2 || head[0] != 'P' || !QByteArray("2356").contains(head[1]))
            return nullptr;
        std::unique_ptr<PnmPicture> picture(new PnmPicture(device));
        picture->ascii = head[1] == '2' || head[1] == '3';
        const bool colour = head[1] == '3' || head[1] == '6';
        // Width, height, maxval, each after white space and comments, and
        // one white-space byte before the samples.
        qint64 values[3] = {0, 0, 0};
        int at = 2;
        for (qint64 &value : values)
            if (!pnmHeaderNumber(head, &at, &value))
                return nullptr;  // not for us: Qt's reader says what is wrong
        if (at >= head.size() || !isspace((unsigned char)head[at]))
            return nullptr;
        const qint64 maxval = values[2];
        if (values[0] <= 0 || values[1] <= 0 || maxval <= 0 || maxval > 65535) {
            *error = QStringLiteral("the PNM header is invalid: %1 x %2 pixels, maximum value %3")
                         .arg(values[0]).arg(values[1]).arg(maxval);
            return std::unique_ptr<NativePicture>();
        }
        NativeLayout &info = picture->info;
        info.width = values[0];
        info.height = values[1];
        info.channels = colour ? 3 : 1;
        info.type = maxval > 255 ? SAMPLE_U16 : SAMPLE_U8;
        info.bitsPerSample = maxval > 255 ? 16 : 8;
        // As Qt's reader scales them: grey levels v * 255 / maxval,
        // colours through 16 bits.
        info.none = {colour ? REDUCE_PNM_COLOUR : REDUCE_PNM_SCALE, 0.0, 0.0, (uint32_t)maxval};
        info.qtReads = true;
        // Text is read here in every mode: a file cut short reads as 0 where
        // its numbers end, whatever the stretch.
        info.qtFrameForNone = !picture->ascii;
        info.description = QStringLiteral("%1 %2 %3 (maximum %4)")
                               .arg(typeName(info.type), QLatin1String(colour ? "colour" : "grey"),
                                    QLatin1String(colour ? "PPM" : "PGM"))
                               .arg(maxval);
        info.format = colour ? "ppm" : "pgm";
        picture->dataOffset = at + 1;
        picture->maxval = maxval;
        if (picture->ascii) {
            info.notStreamable = QStringLiteral("its samples are written as text");
        } else {
            qint64 bytes = 0;
            if (!fitsProduct(picture->rowBytes(), info.height, &bytes)
                || bytes > device->size() - picture->dataOffset) {
                *error = damagedMessage(QStringLiteral("cut short"));
                return std::unique_ptr<NativePicture>();
            }
            info.streamable = true;
        }
        return picture;
    }

    bool readRows(qint64 first, qint64 count, void *samples, QString *error) override
    {
        return ascii ? readText(first, count, samples, error) : readRaw(first, count, samples, error);
    }

private:
    explicit PnmPicture(QIODevice *device) : device(device) {}

    bool readRaw(qint64 first, qint64 count, void *samples, QString *error)
    {
        const qint64 bytes = rowBytes() * count;
        char *out = static_cast<char *>(samples);
        if (!device->seek(dataOffset + rowBytes() * first) || device->read(out, bytes) != bytes) {
            *error = damagedMessage(QStringLiteral("cut short"));
            return false;
        }
        if (info.type == SAMPLE_U16)  // stored most significant byte first
            for (qint64 i = 0; i < bytes; i += 2)
                std::swap(out[i], out[i + 1]);
        return true;
    }

    // Text samples are read on from where the last rows ended; where the
    // numbers end (the file cut short, or something else than a number),
    // the samples are 0 and the file is damaged.
    bool readText(qint64 first, qint64 count, void *samples, QString *)
    {
        if (first != nextRow) {
            nextRow = 0;
            ended = false;
            cursor.reset(new ByteCursor(device, dataOffset));
        }
        for (; nextRow < first; ++nextRow)
            for (qint64 i = 0; i < info.width * info.channels; ++i)
                nextSample();
        const qint64 wanted = count * info.width * info.channels;
        for (qint64 i = 0; i < wanted; ++i) {
            const qint64 value = nextSample();
            if (info.type == SAMPLE_U16)
                static_cast<uint16_t *>(samples)[i] = (uint16_t)std::min<qint64>(value, 65535);
            else
                static_cast<uint8_t *>(samples)[i] = (uint8_t)std::min<qint64>(value, 255);
        }
        nextRow += count;
        return true;
    }

    qint64 nextSample()
    {
        const qint64 value = ended ? -1 : nextNumber();
        if (value >= 0)
            return value;
        ended = true;
        info.damage = QStringLiteral("cut short, or a sample is not a number");
        return 0;
    }

    // The next number, or -1 when there is none.
    qint64 nextNumber()
    {
        int c = cursor->next();
        while (c >= 0 && isspace(c))
            c = cursor->next();
        if (c < 0 || !isdigit(c))
            return -1;
        qint64 value = 0;
        while (c >= 0 && isdigit(c)) {
            value = std::min<qint64>(value * 10 + (c - '0'), INT_MAX);
            c = cursor->next();
        }
        return value;
    }

    QIODevice *device;
    bool ascii = false;
    qint64 dataOffset = 0;
    qint64 maxval = 255;
    qint64 nextRow = -1;
    bool ended = false;
    std::unique_ptr<ByteCursor> cursor;
};

// ---------------------------------------------------------------- PNG

// 16-bit PNG; 8-bit ones are Qt's.
class PngPicture : public NativePicture
{
public:
    static std::unique_ptr<NativePicture> open(QIODevice *device)
    {
        static const char signature[] = "\x89PNG\r\n\x1a\n";
        if (bytesAt(device, 0, 8) != QByteArray(signature, 8))
            return nullptr;
        PngStream header;
        if (!readPngStream(device, false, &header).isEmpty() || header.bitDepth != 16)
            return nullptr;  // Qt's reader, or its refusal
        std::unique_ptr<PngPicture> picture(new PngPicture(device));
        NativeLayout &info = picture->info;
        info.width = header.width;
        info.height = header.height;
        const bool colour = header.colour;
        info.channels = colour ? 3 : 1;
        picture->stored = header.channels;
        info.type = SAMPLE_U16;
        info.bitsPerSample = 16;
        info.none = {REDUCE_ROUND_257, 0.0, 0.0, 0};
        info.qtReads = info.qtFrameForNone = true;
        info.notStreamable = QStringLiteral("PNG pictures are read whole");
        info.description = QStringLiteral("16-bit %1 PNG").arg(QLatin1String(colour ? "colour" : "grey"));
        info.format = "png";
        return picture;
    }

    ~PngPicture() override { std::free(pixels); }

    bool readRows(qint64 first, qint64 count, void *samples, QString *error) override
    {
        if (!pixels) {
            PngStream stream;
            const QString failure = readPngStream(device, true, &stream);
            pixels = stream.pixels;
            if (!failure.isEmpty()) {
                *error = damagedMessage(failure);
                return false;
            }
            rowStride = stream.rowBytes;
            info.damage = stream.damage;
        }
        unsigned char *out = static_cast<unsigned char *>(samples);
        for (qint64 y = first; y < first + count; ++y) {
            const unsigned char *row = pixels + y * rowStride;
            for (qint64 x = 0; x < info.width; ++x)
                for (unsigned c = 0; c < info.channels; ++c, out += 2)
                    copySample(out, row + (x * stored + c) * 2, 2);
        }
        return true;
    }

private:
    explicit PngPicture(QIODevice *device) : device(device) {}

    QIODevice *device;
    int stored = 1;  // samples a pixel in the file
    unsigned char *pixels = nullptr;
    size_t rowStride = 0;
};

// ---------------------------------------------------------------- TIFF

class TiffPicture : public NativePicture
{
public:
    static std::unique_ptr<NativePicture> open(QIODevice *device, QString *error)
    {
        const QByteArray head = bytesAt(device, 0, 4);
        if (head != QByteArray("II*\0", 4) && head != QByteArray("MM\0*", 4) && head != QByteArray("II+\0", 4)
            && head != QByteArray("MM\0+", 4))
            return nullptr;
        DecoderMessages messages;
        TIFF *tiff = openTiffDevice(device);
        if (!tiff)
            return nullptr;  // Qt's reader says why
        std::unique_ptr<TiffPicture> picture(new TiffPicture(tiff, device->size()));
        if (!picture->describe(error))
            return std::unique_ptr<NativePicture>();
        if (!picture->takes)
            return nullptr;
        // A file cut short in any page is damaged whatever reads it.
        const TiffPages pages = tiffPages(device);
        if (picture->info.damage.isEmpty())
            picture->info.damage = pages.damage;
        picture->listFrames(pages);
        messages.take();
        return picture;
    }

    ~TiffPicture() override { TIFFClose(tiff); }

    bool selectFrame(qint64 index, QString *error) override
    {
        DecoderMessages messages;
        const qint64 listed = index >= 0 && index < sequence.count ? stack.pageOf(index) : -1;
        if (listed < 0 || listed >= pageOffsets.size()) {
            *error = index < 0 || index >= sequence.count ? QStringLiteral("there is no frame %1").arg(index)
                                                           : QStringLiteral("its page is not in the file");
            return false;
        }
        const int page = pageNumbers[(int)listed];
        // The reader starts afresh on the page.
        takes = false;
        info = NativeLayout();
        missing.clear();
        for (Block &block : blocks)
            block = Block();
        tile.reset();
        if (!TIFFSetSubDirectory(tiff, pageOffsets[(int)listed])) {
            *error = QStringLiteral("page %1 cannot be read: %2")
                         .arg(page).arg(lastMessage(messages, QStringLiteral("its directory is damaged")));
            return false;
        }
        if (!describe(error)) {
            *error = QStringLiteral("page %1: %2").arg(page).arg(*error);
            return false;
        }
        if (!takes) {
            *error = QStringLiteral("page %1 holds another kind of picture than the first (a palette, "
                                    "white-is-zero, YCbCr, CMYK or fewer than 8 bits a sample)")
                         .arg(page);
            return false;
        }
        info.qtFrameForNone = false;
        return true;
    }

    bool readRows(qint64 first, qint64 count, void *samples, QString *error) override
    {
        DecoderMessages messages;
        const size_t bytes = sampleBytes(info.type);
        unsigned char *out = static_cast<unsigned char *>(samples);
        for (qint64 y = first; y < first + count; ++y) {
            for (unsigned c = 0; c < info.channels; ++c) {
                const unsigned plane = separate ? c : 0;
                const unsigned char *row = storedRow(plane, y, messages, error);
                if (!row)
                    return false;
                const unsigned step = separate ? 1 : samplesPerPixel;
                const unsigned offset = separate ? 0 : c;
                for (qint64 x = 0; x < info.width; ++x)
                    copySample(out + (x * info.channels + c) * bytes, row + (x * step + offset) * bytes, bytes);
            }
            out += rowBytes();
        }
        return true;
    }

private:
    TiffPicture(TIFF *tiff, qint64 fileSize) : tiff(tiff), fileSize(fileSize) {}

    // The frames: every page that is a picture of its own, or the time
    // points (or slices) of an ImageJ hyperstack, as its first page's
    // description tells.
    void listFrames(const TiffPages &pages)
    {
        pageOffsets = pages.offsets;
        pageNumbers = pages.numbers;
        if (pages.broken)
            sequence.damage = QStringLiteral("page %1 cannot be read, nor any page after it")
                                  .arg(pages.pageCount + 1);
        const char *text = nullptr;
        const QByteArray description =
            TIFFGetField(tiff, TIFFTAG_IMAGEDESCRIPTION, &text) && text ? QByteArray(text) : QByteArray();
        const ImageJStack imageJ = parseImageJDescription(description);
        if (imageJ.present && imageJ.channels * imageJ.slices * imageJ.frames > 1) {
            stack = imageJFrames(imageJ);
            sequence.count = stack.count;
            sequence.interval = stack.timed ? imageJ.interval : 0.0;
            sequence.taken = stack.taken;
            return;
        }
        // A file written by tifffile says how many pages it holds: those
        // missing from a damaged file are lost frames.
        const qint64 shaped = shapedPageCount(description, info.width * info.height * samplesPerPixel);
        sequence.count = std::max<qint64>(pageOffsets.size(), std::min<qint64>(shaped, kMaxTiffPages));
    }

    // Fills in the layout; `takes` stays false for pictures left to Qt.
    bool describe(QString *error)
    {
        uint32_t width = 0, height = 0;
        uint16_t bits = 0, spp = 0, format = 0, photometric = 0, planar = 0, orientation = 1;
        if (!TIFFGetField(tiff, TIFFTAG_IMAGEWIDTH, &width) || !TIFFGetField(tiff, TIFFTAG_IMAGELENGTH, &height)
            || !TIFFGetField(tiff, TIFFTAG_PHOTOMETRIC, &photometric))
            return true;  // Qt's reader says what is missing
        TIFFGetFieldDefaulted(tiff, TIFFTAG_BITSPERSAMPLE, &bits);
        TIFFGetFieldDefaulted(tiff, TIFFTAG_SAMPLESPERPIXEL, &spp);
        TIFFGetFieldDefaulted(tiff, TIFFTAG_SAMPLEFORMAT, &format);
        TIFFGetFieldDefaulted(tiff, TIFFTAG_PLANARCONFIG, &planar);
        TIFFGetFieldDefaulted(tiff, TIFFTAG_ORIENTATION, &orientation);
        uint16_t extraCount = 0;
        uint16_t *extraTypes = nullptr;
        TIFFGetFieldDefaulted(tiff, TIFFTAG_EXTRASAMPLES, &extraCount, &extraTypes);
        const bool colour = photometric == PHOTOMETRIC_RGB;
        // Qt's reader takes an RGB picture of fewer samples too, and shows
        // what its buffers held before: no two reads agree.
        if (colour && spp < 3)
            return refuse(damagedMessage(QStringLiteral("an RGB picture of %1 sample%2 a pixel")
                                             .arg(spp).arg(QLatin1String(spp == 1 ? "" : "s"))),
                          error);
        // Strips or tiles larger than any picture read here: whatever
        // decodes them would allocate what the header claims (Qt's reader
        // asked for 2 TiB for tiles of 2^20 x 2^20 pixels).
        const bool isTiled = TIFFIsTiled(tiff);
        const uint64_t claimed = isTiled ? TIFFTileSize64(tiff) : TIFFStripSize64(tiff);
        if (claimed == 0)
            return refuse(damagedMessage(QStringLiteral("its %1 have no size").arg(QLatin1String(isTiled ? "tiles" : "strips"))),
                          error);
        if (claimed > (uint64_t)kMaxBufferBytes)
            return refuse(QStringLiteral("its %1 are too large to decode: %2 bytes each, the limit is %3")
                              .arg(QLatin1String(isTiled ? "tiles" : "strips")).arg(claimed).arg(kMaxBufferBytes),
                          error);
        if ((photometric != PHOTOMETRIC_MINISBLACK && !colour) || spp < 1)
            return true;  // palettes, white-is-zero, YCbCr, CMYK, ...: Qt's
        const bool floating = format == SAMPLEFORMAT_IEEEFP;
        const bool signedInts = format == SAMPLEFORMAT_INT;
        SampleType type;
        if (format != SAMPLEFORMAT_UINT && !signedInts && !floating)
            return refuse(QStringLiteral("TIFF samples of format %1 are not read").arg(format), error);
        if (floating && bits == 32)
            type = SAMPLE_F32;
        else if (floating && bits == 64)
            type = SAMPLE_F64;
        else if (floating)
            return refuse(QStringLiteral("%1-bit float TIFF samples are not read").arg(bits), error);
        else if (bits == 8 && !signedInts)
            type = SAMPLE_U8;
        else if (bits == 16)
            type = signedInts ? SAMPLE_I16 : SAMPLE_U16;
        else if (bits == 32)
            type = signedInts ? SAMPLE_I32 : SAMPLE_U32;
        else if (bits < 16)
            return true;  // Qt's
        else
            return refuse(QStringLiteral("%1-bit%2 TIFF samples are not read")
                              .arg(bits).arg(QLatin1String(signedInts ? " signed" : "")), error);
        // Colours stored beside an alpha that is premultiplied are brought
        // back by Qt's conversion, which is kept under "none"; every other
        // picture is read here in every mode (Qt misread planes of 16-bit
        // colours, and refused tiles not a multiple of 16 wide).
        const bool associatedAlpha = extraCount > 0 && extraTypes && extraTypes[0] == EXTRASAMPLE_ASSOCALPHA;
        info.width = width;
        info.height = height;
        info.channels = colour ? 3 : 1;
        info.type = type;
        info.bitsPerSample = bits;
        info.qtReads = qtReadsSamples(type);
        samplesPerPixel = spp;
        separate = planar == PLANARCONFIG_SEPARATE;
        tiled = isTiled;
        info.qtFrameForNone = info.qtReads && associatedAlpha && !separate;
        info.none = noneReduction(type);
        info.orientation = orientation >= 1 && orientation <= 8 ? orientation : 1;
        info.description = QStringLiteral("%1 %2 TIFF").arg(typeName(type), QLatin1String(colour ? "colour" : "grey"));
        info.format = "tiff";
        const qint64 pixelBytes = (qint64)sampleBytes(type) * (separate ? 1 : spp);
        if (tiled) {
            uint32_t tileWidth = 0, tileLength = 0;
            TIFFGetField(tiff, TIFFTAG_TILEWIDTH, &tileWidth);
            TIFFGetField(tiff, TIFFTAG_TILELENGTH, &tileLength);
            if (tileWidth == 0 || tileLength == 0)
                return refuse(damagedMessage(QStringLiteral("tiles of no size")), error);
            blockRows = tileLength;
            tileColumns = tileWidth;
            tilesAcross = (width + (qint64)tileWidth - 1) / tileWidth;
            blockStride = tilesAcross * tileWidth * pixelBytes;
        } else {
            uint32_t rowsPerStrip = 0;
            TIFFGetFieldDefaulted(tiff, TIFFTAG_ROWSPERSTRIP, &rowsPerStrip);
            blockRows = std::max<qint64>(1, std::min<qint64>(rowsPerStrip, height));
            blockStride = (qint64)width * pixelBytes;
        }
        qint64 blockBytes = 0;
        if (!fitsProduct(blockStride, blockRows, &blockBytes) || blockBytes > kMaxBufferBytes)
            return refuse(QStringLiteral("its %1 are too large to decode: %2 rows of %3 bytes")
                              .arg(QLatin1String(tiled ? "tiles" : "strips")).arg(blockRows).arg(blockStride),
                          error);
        if (!checkBlocks(error))
            return false;
        info.bufferBytes = blockBytes * (separate ? info.channels : 1);
        if (info.orientation != 1)
            info.notStreamable = QStringLiteral("its orientation tag turns the picture");
        else if (blockBytes > kMaxStreamedBufferBytes)
            info.notStreamable = QStringLiteral("each of its %1 holds %2 bytes")
                                     .arg(QLatin1String(tiled ? "tiles" : "strips")).arg(blockBytes);
        info.streamable = info.notStreamable.isEmpty();
        takes = true;
        return true;
    }

    bool refuse(const QString &reason, QString *error)
    {
        *error = reason;
        return false;
    }

    // Notes the strips or tiles with no data in the file: none at all
    // (libtiff hands out zeros for a missing offset or a count of 0, and
    // for the entries of a list shorter than the picture needs), or data
    // past the file's end. They are read as 0, and the file is damaged;
    // a picture none of whose blocks holds data is refused.
    bool checkBlocks(QString *error)
    {
        const uint32_t count = tiled ? TIFFNumberOfTiles(tiff) : TIFFNumberOfStrips(tiff);
        uint64_t *offsets = nullptr;
        uint64_t *lengths = nullptr;
        if (count == 0 || !TIFFGetField(tiff, tiled ? TIFFTAG_TILEOFFSETS : TIFFTAG_STRIPOFFSETS, &offsets)
            || !TIFFGetField(tiff, tiled ? TIFFTAG_TILEBYTECOUNTS : TIFFTAG_STRIPBYTECOUNTS, &lengths) || !offsets
            || !lengths)
            return refuse(damagedMessage(QStringLiteral("the picture's %1 are not listed")
                                             .arg(QLatin1String(tiled ? "tiles" : "strips"))),
                          error);
        missing.assign(count, false);
        uint32_t empty = 0, cut = 0;
        for (uint32_t i = 0; i < count; ++i) {
            if (offsets[i] == 0 || lengths[i] == 0)
                ++empty;
            else if (offsets[i] > (uint64_t)fileSize || lengths[i] > (uint64_t)fileSize - offsets[i])
                ++cut;
            else
                continue;
            missing[i] = true;
        }
        const QString blocks = QLatin1String(tiled ? "tiles" : "strips");
        if (empty + cut == count)
            return refuse(damagedMessage(cut ? QStringLiteral("cut short: none of its %1 is in the file").arg(blocks)
                                             : QStringLiteral("none of its %1 holds data").arg(blocks)),
                          error);
        if (cut > 0)
            info.damage = QStringLiteral("cut short: %1 of its %2 %3 lie past the end of the file")
                              .arg(cut).arg(count).arg(blocks);
        else if (empty > 0)
            info.damage = QStringLiteral("%1 of its %2 %3 hold no data").arg(empty).arg(count).arg(blocks);
        return true;
    }

    // Row y of a plane as stored, from the strip or the row of tiles
    // that holds it (decoded once while rows are read in order).
    const unsigned char *storedRow(unsigned plane, qint64 y, DecoderMessages &messages, QString *error)
    {
        Block &block = blocks[plane];
        const qint64 index = y / blockRows;
        if (block.index != index) {
            block.index = -1;
            if (!decodeBlock(plane, index, block, messages, error))
                return nullptr;
            block.index = index;
        }
        return block.bytes.get() + (y - index * blockRows) * blockStride;
    }

    struct Block {
        qint64 index = -1;
        std::unique_ptr<unsigned char[]> bytes;  // not cleared: the pages are touched as they are decoded
    };

    // Decodes a block into `to` (`wanted` bytes): zeros for one noted
    // missing, false with the reason when its data does not decode.
    bool decodeInto(uint32_t number, bool tile, unsigned char *to, tmsize_t wanted, DecoderMessages &messages,
                    QString *error)
    {
        if (number >= missing.size() || missing[number]) {
            std::memset(to, 0, (size_t)wanted);
            return true;
        }
        const tmsize_t got = tile ? TIFFReadEncodedTile(tiff, number, to, wanted)
                                  : TIFFReadEncodedStrip(tiff, number, to, wanted);
        if (got == wanted)
            return true;
        *error = damagedMessage(lastMessage(messages, QStringLiteral("%1 %2 cannot be decoded")
                                                          .arg(QLatin1String(tile ? "tile" : "strip")).arg(number)));
        return false;
    }

    bool decodeBlock(unsigned plane, qint64 index, Block &block, DecoderMessages &messages, QString *error)
    {
        if (!block.bytes) {
            block.bytes.reset(new (std::nothrow) unsigned char[(size_t)(blockStride * blockRows)]);
            if (!block.bytes) {
                *error = QStringLiteral("not enough memory to read the TIFF picture");
                return false;
            }
        }
        if (!tiled) {
            const uint32_t strips = TIFFNumberOfStrips(tiff) / (separate ? samplesPerPixel : 1);
            const uint32_t strip = (uint32_t)index + plane * strips;
            const qint64 rows = std::min<qint64>(blockRows, info.height - index * blockRows);
            return decodeInto(strip, false, block.bytes.get(), (tmsize_t)(rows * blockStride), messages, error);
        }
        const tmsize_t tileBytes = TIFFTileSize(tiff);
        const qint64 pixelBytes = blockStride / (tilesAcross * tileColumns);
        const qint64 tileRowBytes = tileColumns * pixelBytes;
        if (tileBytes != (tmsize_t)(tileRowBytes * blockRows)) {
            *error = damagedMessage(QStringLiteral("its tiles' size does not add up"));
            return false;
        }
        if (!tile) {
            tile.reset(new (std::nothrow) unsigned char[(size_t)tileBytes]);
            if (!tile) {
                *error = QStringLiteral("not enough memory to read the TIFF picture");
                return false;
            }
        }
        for (qint64 across = 0; across < tilesAcross; ++across) {
            const uint32_t number = TIFFComputeTile(tiff, (uint32_t)(across * tileColumns),
                                                    (uint32_t)(index * blockRows), 0, (uint16_t)plane);
            if (!decodeInto(number, true, tile.get(), tileBytes, messages, error))
                return false;
            for (qint64 row = 0; row < blockRows; ++row)
                std::memcpy(block.bytes.get() + row * blockStride + across * tileRowBytes,
                            tile.get() + row * tileRowBytes, (size_t)tileRowBytes);
        }
        return true;
    }

    TIFF *tiff;
    qint64 fileSize;
    bool takes = false;
    unsigned samplesPerPixel = 1;
    bool separate = false;
    bool tiled = false;
    qint64 blockRows = 1;     // rows in a strip or a tile
    qint64 blockStride = 0;   // bytes of one row of a strip or of a row of tiles
    qint64 tileColumns = 0;
    qint64 tilesAcross = 0;
    std::vector<bool> missing;  // by strip or tile number: no data in the file
    Block blocks[3];
    std::unique_ptr<unsigned char[]> tile;
    // The pages that are pictures: their directories and page numbers, and
    // which of them each frame is.
    QVector<quint64> pageOffsets;
    QVector<int> pageNumbers;
    ImageJFrames stack;
};

// ---------------------------------------------------------------- FITS

class FitsPicture : public NativePicture
{
public:
    static std::unique_ptr<NativePicture> open(QIODevice *device, const QString &fileName, QString *error)
    {
        if (!looksLikeFits(bytesAt(device, 0, 80)))
            return nullptr;
        const FitsLibrary *cfitsio = fitsLibrary(error);
        if (!cfitsio)
            return nullptr;
        std::unique_ptr<FitsPicture> picture(new FitsPicture(cfitsio));
        int status = 0;
        const QFile *file = qobject_cast<const QFile *>(device);
        const QString path = file && !fileName.isEmpty() ? fileName : QString();
        if (!path.isEmpty() && QFile::exists(path) && !device->isSequential()) {
            // Never the extended file-name syntax: a name is only a name.
            cfitsio->openDiskFile(&picture->fits, QFile::encodeName(path).constData(), READONLY, &status);
        } else {
            const qint64 position = device->pos();
            device->seek(0);
            picture->memory = device->readAll();
            device->seek(position);
            picture->memorySize = (size_t)picture->memory.size();
            picture->memoryPointer = picture->memory.data();
            cfitsio->openMemFile(&picture->fits, "", READONLY, &picture->memoryPointer, &picture->memorySize, 0,
                              nullptr, &status);
        }
        if (status != 0) {
            picture->fits = nullptr;
            *error = picture->fitsError(status, QStringLiteral("the FITS header cannot be read"));
            return std::unique_ptr<NativePicture>();
        }
        if (!picture->findImage(device->size(), error))
            return std::unique_ptr<NativePicture>();
        return picture;
    }

    ~FitsPicture() override
    {
        int status = 0;
        if (fits)
            cfitsio->closeFile(fits, &status);
        cfitsio->clearErrorMessages();
    }

    bool readRows(qint64 first, qint64 count, void *samples, QString *error) override
    {
        if (cutShort) {
            *error = damagedMessage(QStringLiteral("cut short"));
            return false;
        }
        // Shown rows first..first+count-1 are stored rows height-first-count
        // .. height-1-first: read them in one piece, then turn them over.
        std::vector<LONGLONG> pixel((size_t)axes, 1);
        pixel[1] = info.height - first - count + 1;
        if (axes > 2)
            pixel[2] = plane + 1;
        int status = 0;
        int anyBlank = 0;
        double blank = std::numeric_limits<double>::quiet_NaN();
        float blankFloat = std::numeric_limits<float>::quiet_NaN();
        void *nullValue = dataType == TDOUBLE ? (void *)&blank : dataType == TFLOAT ? (void *)&blankFloat : nullptr;
        if (cfitsio->readPixels(fits, dataType, pixel.data(), (LONGLONG)(count * info.width), nullValue, samples, &anyBlank,
                            &status)
            != 0) {
            *error = damagedMessage(fitsError(status, QStringLiteral("the data cannot be read")));
            return false;
        }
        const size_t bytes = (size_t)rowBytes();
        unsigned char *rows = static_cast<unsigned char *>(samples);
        for (qint64 top = 0, bottom = count - 1; top < bottom; ++top, --bottom)
            std::swap_ranges(rows + top * bytes, rows + (top + 1) * bytes, rows + bottom * bytes);
        return true;
    }

private:
    explicit FitsPicture(const FitsLibrary *cfitsio) : cfitsio(cfitsio) {}

    QString fitsError(int status, const QString &what)
    {
        char text[FLEN_STATUS] = "";
        cfitsio->errorText(status, text);
        cfitsio->clearErrorMessages();
        return QStringLiteral("%1: %2").arg(what, QString::fromLatin1(text));
    }

    // The first HDU with image data.
    bool findImage(qint64 fileSize, QString *error)
    {
        int status = 0;
        QStringList kinds;
        for (int hdu = 1; status == 0; ++hdu) {
            int kind = 0;
            if (cfitsio->moveToHdu(fits, hdu, &kind, &status) != 0)
                break;
            if (kind != IMAGE_HDU) {
                kinds << (kind == ASCII_TBL ? QStringLiteral("ASCII table") : QStringLiteral("binary table"));
                continue;
            }
            int bitpix = 0, axes = 0;
            LONGLONG size[kMaxAxes] = {0};
            if (cfitsio->imageParameters(fits, kMaxAxes, &bitpix, &axes, size, &status) != 0)
                break;
            if (axes == 0)
                continue;  // no data: a header for what follows
            if (axes == 1) {
                kinds << QStringLiteral("one-dimensional image");
                continue;
            }
            // cfitsio's decompressors crashed and leaked on damaged tiles,
            // and nothing in the file can vouch for the tiles before they
            // are decompressed: such images are not decoded in the process.
            if (cfitsio->isCompressedImage(fits, &status)) {
                cfitsio->clearErrorMessages();
                *error = QStringLiteral("tile-compressed FITS images are not read; uncompress the file first "
                                        "(funpack FILE)");
                return false;
            }
            if (axes > kMaxAxes) {
                *error = QStringLiteral("FITS images of %1 axes are not read (at most %2)").arg(axes).arg(kMaxAxes);
                return false;
            }
            return describe(bitpix, axes, size, fileSize, error) && checkLaterHdus(hdu, fileSize, error);
        }
        if (status != 0 && status != END_OF_FILE) {
            *error = damagedMessage(fitsError(status, QStringLiteral("an HDU cannot be read")));
            return false;
        }
        cfitsio->clearErrorMessages();
        *error = kinds.isEmpty() ? QStringLiteral("the FITS file holds no image data")
                                 : QStringLiteral("the FITS file holds no image data: its extensions are %1")
                                       .arg(kinds.join(QStringLiteral(", ")));
        return false;
    }

    // The HDUs after the image's are not read, but one cut short or
    // unreadable means a damaged file whatever reads it.
    bool checkLaterHdus(int image, qint64 fileSize, QString *error)
    {
        QString later;
        for (int hdu = image + 1; later.isEmpty(); ++hdu) {
            int status = 0, kind = 0;
            if (cfitsio->moveToHdu(fits, hdu, &kind, &status) != 0) {
                if (status != END_OF_FILE)
                    later = fitsError(status, QStringLiteral("HDU %1 cannot be read").arg(hdu));
                break;
            }
            LONGLONG headStart = 0, dataStart = 0, dataEnd = 0;
            if (cfitsio->hduAddresses(fits, &headStart, &dataStart, &dataEnd, &status) == 0 && dataEnd > fileSize)
                later = QStringLiteral("cut short in HDU %1").arg(hdu);
        }
        // The image's own damage comes first; of a cube, what is wrong
        // beyond its planes is the file's.
        if (info.damage.isEmpty())
            info.damage = later;
        sequence.damage = later;
        cfitsio->clearErrorMessages();
        int status = 0, kind = 0;
        if (cfitsio->moveToHdu(fits, image, &kind, &status) != 0) {
            *error = damagedMessage(fitsError(status, QStringLiteral("the image HDU cannot be read again")));
            return false;
        }
        return true;
    }

    // BSCALE and BZERO must be finite numbers and BLANK a whole one:
    // cfitsio reads an unreadable one as if it were not there.
    bool checkScaling(QString *error)
    {
        for (const char *key : {"BSCALE", "BZERO", "BLANK"}) {
            char value[FLEN_VALUE] = "";
            int status = 0;
            if (cfitsio->readKeyword(fits, key, value, nullptr, &status) != 0)
                continue;  // not there
            QByteArray text = QByteArray(value).trimmed();
            bool number = false;
            if (std::strcmp(key, "BLANK") == 0) {
                text.toLongLong(&number);
            } else {
                const double v = QByteArray(text).replace('D', 'E').replace('d', 'e').toDouble(&number);
                number = number && std::isfinite(v) && (v != 0.0 || std::strcmp(key, "BSCALE") != 0);
            }
            if (!number) {
                cfitsio->clearErrorMessages();
                *error = damagedMessage(QStringLiteral("%1 = %2 is not a %3")
                                            .arg(QLatin1String(key), QString::fromLatin1(text))
                                            .arg(QLatin1String(std::strcmp(key, "BLANK") == 0 ? "whole number"
                                                               : std::strcmp(key, "BSCALE") == 0
                                                                   ? "finite number other than 0"
                                                                   : "finite number")));
                return false;
            }
        }
        cfitsio->clearErrorMessages();
        return true;
    }

    bool describe(int bitpix, int axes, const LONGLONG *size, qint64 fileSize, QString *error)
    {
        if (!checkScaling(error))
            return false;
        int status = 0;
        int equivalent = bitpix;
        cfitsio->equivalentType(fits, &equivalent, &status);
        char blankCard[FLEN_CARD];
        const bool blanks = bitpix > 0 && cfitsio->readCard(fits, "BLANK", blankCard, &status) == 0;
        status = 0;
        cfitsio->clearErrorMessages();
        // Integers that scaling keeps whole and without blanks keep their
        // type; everything else is read as doubles, scaled in double
        // precision, blanks as NaN.
        if (blanks || equivalent == LONGLONG_IMG || equivalent == DOUBLE_IMG
            || (equivalent == FLOAT_IMG && bitpix != FLOAT_IMG)) {
            setType(SAMPLE_F64, TDOUBLE);
        } else {
            switch (equivalent) {
            case BYTE_IMG:
                setType(SAMPLE_U8, TBYTE);
                break;
            case SBYTE_IMG:
            case SHORT_IMG:
                setType(SAMPLE_I16, TSHORT);
                break;
            case USHORT_IMG:
                setType(SAMPLE_U16, TUSHORT);
                break;
            case LONG_IMG:
                setType(SAMPLE_I32, TINT);
                break;
            case ULONG_IMG:
                setType(SAMPLE_U32, TUINT);
                break;
            default:
                setType(SAMPLE_F32, TFLOAT);
                break;
            }
        }
        info.width = (qint64)size[0];
        info.height = (qint64)size[1];
        if (info.width <= 0 || info.height <= 0) {
            *error = QStringLiteral("the FITS image has no pixels (%1 x %2)").arg(info.width).arg(info.height);
            return false;
        }
        this->axes = axes;
        info.channels = 1;
        info.bitsPerSample = (unsigned)std::abs(bitpix);
        info.none = typeRange(info.type);
        info.streamable = true;
        info.format = "fits";
        // The planes along the third axis are the frames; of any further
        // axes, the first position is read.
        planes = axes > 2 ? std::max<qint64>(1, (qint64)size[2]) : 1;
        QStringList further;
        for (int axis = 3; axis < axes; ++axis)
            if (size[axis] > 1)
                further << QStringLiteral("%1 along axis %2").arg((qint64)size[axis]).arg(axis + 1);
        sequence.count = planes;
        if (!further.isEmpty())
            sequence.taken = QStringLiteral("the first position of %1").arg(further.join(QStringLiteral(", ")));
        info.description = QStringLiteral("%1 FITS (BITPIX %2%3)")
                               .arg(typeName(info.type)).arg(bitpix)
                               .arg(planes > 1 ? QStringLiteral(", %1 planes").arg(planes)
                                    : axes > 2 ? QStringLiteral(", the first plane of %1 axes").arg(axes)
                                               : QString());
        // A file cut short ends before the data its header gives; said when
        // the data is read, after the size has been checked. Of a cube, the
        // planes wholly in the file can be read.
        LONGLONG headStart = 0, dataEnd = 0;
        if (cfitsio->hduAddresses(fits, &headStart, &dataStart, &dataEnd, &status) == 0) {
            dataEndsAt = dataEnd;
            this->fileSize = fileSize;
        }
        cfitsio->clearErrorMessages();
        qint64 storedRow = 0;
        if (!fitsProduct(info.width, std::abs(bitpix) / 8, &storedRow) || !fitsProduct(storedRow, info.height, &planeBytes))
            planeBytes = LLONG_MAX;
        cutShort = planeCut(0);
        if (!cutShort && planes > 1 && planeCut(planes - 1)) {
            qint64 firstCut = planes - 1;
            while (firstCut > 1 && planeCut(firstCut - 1))
                --firstCut;
            info.damage = QStringLiteral("cut short: planes %1 to %2 of %3 are not in the file")
                              .arg(firstCut + 1).arg(planes).arg(planes);
        }
        return true;
    }

    // Whether plane `index`'s data (with the padding after the last plane)
    // goes past the end of the file. cfitsio reads whole records of 2880
    // bytes (past the end of a file held in memory, too): the record that
    // holds the plane's last byte must be in the file.
    bool planeCut(qint64 index) const
    {
        if (dataEndsAt < 0)
            return false;
        if (index == planes - 1)
            return dataEndsAt > fileSize;
        qint64 end = 0;
        if (!fitsProduct(planeBytes, index + 1, &end) || end > fileSize - dataStart)
            return true;
        const qint64 records = (dataStart + end + 2879) / 2880;
        return records > fileSize / 2880;
    }

public:
    bool selectFrame(qint64 index, QString *error) override
    {
        if (index < 0 || index >= planes) {
            *error = QStringLiteral("there is no frame %1").arg(index);
            return false;
        }
        plane = index;
        cutShort = planeCut(index);
        info.damage.clear();
        if (cutShort) {
            *error = QStringLiteral("its plane is not in the file");
            return false;
        }
        return true;
    }

private:

    void setType(SampleType type, int fitsType)
    {
        info.type = type;
        dataType = fitsType;
    }

    const FitsLibrary *cfitsio;
    fitsfile *fits = nullptr;
    int dataType = TBYTE;
    int axes = 2;
    bool cutShort = false;
    qint64 planes = 1;       // along the third axis
    qint64 plane = 0;        // the one read
    qint64 planeBytes = 0;   // of a plane in the file, as stored
    LONGLONG dataStart = 0;  // where the data begins and ends (-1: unknown)
    LONGLONG dataEndsAt = -1;
    qint64 fileSize = 0;
    static const int kMaxAxes = 16;
    QByteArray memory;
    void *memoryPointer = nullptr;
    size_t memorySize = 0;
};

} // namespace

bool NativePicture::selectFrame(qint64 index, QString *error)
{
    if (index == 0)
        return true;
    *error = QStringLiteral("there is no frame %1").arg(index);
    return false;
}

QString damagedMessage(const QString &reason)
{
    return QStringLiteral("the file is damaged (%1)").arg(reason);
}

bool qtReadsSamples(SampleType type)
{
    return type == SAMPLE_U8 || type == SAMPLE_U16;
}

ByteReduction noneReduction(SampleType type)
{
    return type == SAMPLE_U16 ? ByteReduction{REDUCE_ROUND_257, 0.0, 0.0, 0} : typeRange(type);
}

bool looksLikeFits(const QByteArray &start)
{
    return start.startsWith("SIMPLE  =");
}

std::unique_ptr<NativePicture> openNativePicture(QIODevice *device, const QString &fileName, QString *error)
{
    error->clear();
    std::unique_ptr<NativePicture> picture;
    try {
        picture = FitsPicture::open(device, fileName, error);
        if (!picture && error->isEmpty())
            picture = TiffPicture::open(device, error);
        if (!picture && error->isEmpty())
            picture = PnmPicture::open(device, error);
        if (!picture && error->isEmpty())
            picture = PngPicture::open(device);
    } catch (const std::bad_alloc &) {
        picture.reset();
        *error = QStringLiteral("not enough memory to read the image header");
    }
    device->seek(0);
    if (picture) {
        const NativeLayout &layout = picture->layout();
        // Every size below is a product of these, in 64 bits.
        if (layout.width < 1 || layout.height < 1 || layout.width > kMaxNativeSide || layout.height > kMaxNativeSide) {
            *error = QStringLiteral("the image is too large: %1 x %2 pixels").arg(layout.width).arg(layout.height);
            picture.reset();
        }
    }
    return picture;
}
