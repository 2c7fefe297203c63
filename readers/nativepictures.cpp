#include "nativepictures.h"

#include "decodermessages.h"
#include "fitslibrary.h"
#include "imageheaders.h"
#include "pngcheck.h"
#include "tiffcheck.h"

#include <QBuffer>
#include <QFile>
#include <QIODevice>

#include <tiffio.h>

#include <algorithm>
#include <climits>
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
        info.none = {REDUCE_PNM_SCALE, 0.0, 0.0, (uint32_t)maxval};
        info.qtReads = info.qtFrameForNone = true;
        info.description = QStringLiteral("%1 %2 %3 (maximum %4)")
                               .arg(typeName(info.type), QLatin1String(colour ? "colour" : "grey"),
                                    QLatin1String(colour ? "PPM" : "PGM"))
                               .arg(maxval);
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

    // Text samples are read on from where the last rows ended.
    bool readText(qint64 first, qint64 count, void *samples, QString *error)
    {
        if (first != nextRow) {
            nextRow = 0;
            cursor.reset(new ByteCursor(device, dataOffset));
        }
        for (; nextRow < first; ++nextRow)
            for (qint64 i = 0; i < info.width * info.channels; ++i)
                if (nextNumber() < 0)
                    return cutShort(error);
        const qint64 wanted = count * info.width * info.channels;
        for (qint64 i = 0; i < wanted; ++i) {
            const qint64 value = nextNumber();
            if (value < 0)
                return cutShort(error);
            if (info.type == SAMPLE_U16)
                static_cast<uint16_t *>(samples)[i] = (uint16_t)std::min<qint64>(value, 65535);
            else
                static_cast<uint8_t *>(samples)[i] = (uint8_t)std::min<qint64>(value, 255);
        }
        nextRow += count;
        return true;
    }

    bool cutShort(QString *error)
    {
        nextRow = -1;
        *error = damagedMessage(QStringLiteral("cut short, or a sample is not a number"));
        return false;
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
        std::unique_ptr<TiffPicture> picture(new TiffPicture(tiff));
        if (!picture->describe(error))
            return std::unique_ptr<NativePicture>();
        if (!picture->takes)
            return nullptr;
        return picture;
    }

    ~TiffPicture() override { TIFFClose(tiff); }

    bool readRows(qint64 first, qint64 count, void *samples, QString *error) override
    {
        if (!refusal.isEmpty()) {
            *error = refusal;
            return false;
        }
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
    explicit TiffPicture(TIFF *tiff) : tiff(tiff) {}

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
        if ((photometric != PHOTOMETRIC_MINISBLACK && !colour) || spp < (colour ? 3 : 1))
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
        // Colours stored beside an alpha that is not premultiplied: Qt hands
        // them over premultiplied, which loses them where alpha is small.
        const bool unassociatedAlpha = extraCount > 0 && extraTypes && extraTypes[0] == EXTRASAMPLE_UNASSALPHA;
        info.width = width;
        info.height = height;
        info.channels = colour ? 3 : 1;
        info.type = type;
        info.bitsPerSample = bits;
        info.qtReads = qtReadsSamples(type);
        info.qtFrameForNone = info.qtReads && !unassociatedAlpha;
        info.none = noneReduction(type);
        info.orientation = orientation >= 1 && orientation <= 8 ? orientation : 1;
        info.description = QStringLiteral("%1 %2 TIFF").arg(typeName(type), QLatin1String(colour ? "colour" : "grey"));
        samplesPerPixel = spp;
        separate = planar == PLANARCONFIG_SEPARATE;
        tiled = TIFFIsTiled(tiff);
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
        // Said when the samples are read, after the size has been checked.
        qint64 blockBytes = 0;
        if (!fitsProduct(blockStride, blockRows, &blockBytes) || blockBytes > kMaxBufferBytes)
            refusal = QStringLiteral("its %1 are too large: %2 rows of %3 bytes")
                          .arg(QLatin1String(tiled ? "tiles" : "strips")).arg(blockRows).arg(blockStride);
        if (!refusal.isEmpty())
            info.notStreamable = refusal;
        else if (info.orientation != 1)
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
        return block.bytes.data() + (y - index * blockRows) * blockStride;
    }

    struct Block {
        qint64 index = -1;
        std::vector<unsigned char> bytes;
    };

    bool decodeBlock(unsigned plane, qint64 index, Block &block, DecoderMessages &messages, QString *error)
    {
        try {
            block.bytes.resize((size_t)(blockStride * blockRows));
        } catch (const std::bad_alloc &) {
            *error = QStringLiteral("not enough memory to read the TIFF picture");
            return false;
        }
        const auto failed = [&] {
            *error = damagedMessage(lastMessage(messages, QStringLiteral("a strip or tile cannot be decoded")));
            return false;
        };
        if (!tiled) {
            const uint32_t strips = TIFFNumberOfStrips(tiff) / (separate ? samplesPerPixel : 1);
            const uint32_t strip = (uint32_t)index + plane * strips;
            const qint64 rows = std::min<qint64>(blockRows, info.height - index * blockRows);
            const tmsize_t wanted = (tmsize_t)(rows * blockStride);
            if (TIFFReadEncodedStrip(tiff, strip, block.bytes.data(), wanted) != wanted)
                return failed();
            return true;
        }
        const tmsize_t tileBytes = TIFFTileSize(tiff);
        const qint64 pixelBytes = blockStride / (tilesAcross * tileColumns);
        const qint64 tileRowBytes = tileColumns * pixelBytes;
        if (tileBytes != (tmsize_t)(tileRowBytes * blockRows))
            return failed();
        std::vector<unsigned char> tile;
        try {
            tile.resize((size_t)tileBytes);
        } catch (const std::bad_alloc &) {
            *error = QStringLiteral("not enough memory to read the TIFF picture");
            return false;
        }
        for (qint64 across = 0; across < tilesAcross; ++across) {
            const uint32_t number = TIFFComputeTile(tiff, (uint32_t)(across * tileColumns),
                                                    (uint32_t)(index * blockRows), 0, (uint16_t)plane);
            if (TIFFReadEncodedTile(tiff, number, tile.data(), tileBytes) != tileBytes)
                return failed();
            for (qint64 row = 0; row < blockRows; ++row)
                std::memcpy(block.bytes.data() + row * blockStride + across * tileRowBytes,
                            tile.data() + row * tileRowBytes, (size_t)tileRowBytes);
        }
        return true;
    }

    TIFF *tiff;
    bool takes = false;
    QString refusal;
    unsigned samplesPerPixel = 1;
    bool separate = false;
    bool tiled = false;
    qint64 blockRows = 1;     // rows in a strip or a tile
    qint64 blockStride = 0;   // bytes of one row of a strip or of a row of tiles
    qint64 tileColumns = 0;
    qint64 tilesAcross = 0;
    Block blocks[3];
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
        const qint64 bytes = rowBytes();
        std::vector<unsigned char> swap((size_t)bytes);
        unsigned char *rows = static_cast<unsigned char *>(samples);
        for (qint64 top = 0, bottom = count - 1; top < bottom; ++top, --bottom) {
            std::memcpy(swap.data(), rows + top * bytes, (size_t)bytes);
            std::memcpy(rows + top * bytes, rows + bottom * bytes, (size_t)bytes);
            std::memcpy(rows + bottom * bytes, swap.data(), (size_t)bytes);
        }
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
        int hdus = 0;
        cfitsio->countHdus(fits, &hdus, &status);
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
            LONGLONG size[3] = {0, 0, 0};
            if (cfitsio->imageParameters(fits, 3, &bitpix, &axes, size, &status) != 0)
                break;
            if (axes == 0)
                continue;  // no data: a header for what follows
            if (axes == 1) {
                kinds << QStringLiteral("one-dimensional image");
                continue;
            }
            return describe(bitpix, axes, size, fileSize, error);
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

    bool describe(int bitpix, int axes, const LONGLONG *size, qint64 fileSize, QString *error)
    {
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
        info.description = QStringLiteral("%1 FITS (BITPIX %2%3)")
                               .arg(typeName(info.type)).arg(bitpix)
                               .arg(axes > 2 ? QStringLiteral(", the first plane of %1 axes").arg(axes) : QString());
        // A file cut short ends before the data its header gives; said when
        // the data is read, after the size has been checked.
        LONGLONG headStart = 0, dataStart = 0, dataEnd = 0;
        cutShort = cfitsio->hduAddresses(fits, &headStart, &dataStart, &dataEnd, &status) == 0 && dataEnd > fileSize;
        cfitsio->clearErrorMessages();
        return true;
    }

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
    QByteArray memory;
    void *memoryPointer = nullptr;
    size_t memorySize = 0;
};

} // namespace

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
    std::unique_ptr<NativePicture> picture = FitsPicture::open(device, fileName, error);
    if (!picture && error->isEmpty())
        picture = TiffPicture::open(device, error);
    if (!picture && error->isEmpty())
        picture = PnmPicture::open(device, error);
    if (!picture && error->isEmpty())
        picture = PngPicture::open(device);
    device->seek(0);
    return picture;
}
