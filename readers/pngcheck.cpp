#include "pngcheck.h"

#include <QIODevice>
#include <QRegularExpression>

#include <png.h>

#include <csetjmp>
#include <cstdio>
#include <cstdlib>
#include <memory>

namespace {

// What a read does with the rows: none at all (the header), each in turn
// into one row's room (a check), or all kept.
enum class Rows { None, Check, Keep };

struct PngSource {
    QIODevice *device;
    qint64 left;              // bytes of the stream not read yet
    Rows rows;
    PngStream *stream;
    unsigned char *row;       // one row, allocated once the header is read
    png_bytep *pointers;      // into stream->pixels, while it is decoded
    char error[256];          // libpng's reason for giving up
    char warning[256];        // the first warning that means damage
};

// Every libpng failure ends here, and leaves through the jump set up in
// readPng. Only plain C data lives on the frames it skips.
void keepError(png_structp png, png_const_charp message)
{
    PngSource *source = static_cast<PngSource *>(png_get_error_ptr(png));
    std::snprintf(source->error, sizeof source->error, "%s", message);
    png_longjmp(png, 1);
}

// The first warning that means damage is kept for the native reader; Qt's
// reader passes its own on as Qt messages.
void keepWarning(png_structp png, png_const_charp message)
{
    PngSource *source = static_cast<PngSource *>(png_get_error_ptr(png));
    if (source->warning[0] == '\0' && pngWarningMeansDamage(QString::fromLatin1(message)))
        std::snprintf(source->warning, sizeof source->warning, "%s", message);
}

void readBytes(png_structp png, png_bytep data, png_size_t length)
{
    PngSource *source = static_cast<PngSource *>(png_get_io_ptr(png));
    const qint64 wanted = (qint64)length;
    if (wanted > source->left || source->device->read(reinterpret_cast<char *>(data), wanted) != wanted)
        png_error(png, "cut short");
    source->left -= wanted;
}

void readRows(png_structp png, png_infop info, PngSource &source)
{
    PngStream &stream = *source.stream;
    stream.width = png_get_image_width(png, info);
    stream.height = png_get_image_height(png, info);
    stream.bitDepth = png_get_bit_depth(png, info);
    stream.colour = png_get_color_type(png, info) & PNG_COLOR_MASK_COLOR;
    stream.channels = png_get_channels(png, info);
    if (source.rows == Rows::None)
        return;
    if (stream.bitDepth == 16 && Q_BYTE_ORDER == Q_LITTLE_ENDIAN)
        png_set_swap(png);
    const int passes = png_set_interlace_handling(png);
    png_read_update_info(png, info);
    stream.rowBytes = png_get_rowbytes(png, info);
    if (source.rows == Rows::Keep) {
        stream.pixels = static_cast<unsigned char *>(std::malloc(stream.rowBytes * stream.height));
        source.pointers = static_cast<png_bytep *>(std::malloc(sizeof(png_bytep) * stream.height));
        if (!stream.pixels || !source.pointers)
            png_error(png, "not enough memory to read the PNG stream");
        for (png_uint_32 y = 0; y < stream.height; ++y)
            source.pointers[y] = stream.pixels + y * stream.rowBytes;
        png_read_image(png, source.pointers);
    } else {
        source.row = static_cast<unsigned char *>(std::malloc(stream.rowBytes));
        if (!source.row)
            png_error(png, "not enough memory to read the PNG stream");
        for (int pass = 0; pass < passes; ++pass)
            for (png_uint_32 y = 0; y < stream.height; ++y)
                png_read_row(png, source.row, nullptr);
    }
    png_read_end(png, nullptr);
}

QString readPng(QIODevice *device, qint64 offset, qint64 length, Rows rows, PngStream *stream)
{
    const qint64 position = device->pos();
    if (!device->seek(offset))
        return QStringLiteral("cut short");

    // On the heap: a jump back to setjmp leaves the locals changed since
    // then undefined.
    const std::unique_ptr<PngSource> kept(new PngSource{device, length, rows, stream, nullptr, nullptr, "", ""});
    PngSource &source = *kept;
    png_structp png = png_create_read_struct(PNG_LIBPNG_VER_STRING, &source, keepError, keepWarning);
    png_infop info = png ? png_create_info_struct(png) : nullptr;
    if (!info) {
        png_destroy_read_struct(&png, nullptr, nullptr);
        device->seek(position);
        return QStringLiteral("not enough memory to read the PNG stream");
    }
    png_set_read_fn(png, &source, readBytes);

    if (setjmp(png_jmpbuf(png)) == 0) {
        png_read_info(png, info);
        readRows(png, info, source);
    }
    std::free(source.row);
    std::free(source.pointers);
    png_destroy_read_struct(&png, &info, nullptr);
    device->seek(position);
    stream->damage = QString::fromLatin1(source.warning);
    return QString::fromLatin1(source.error);
}

} // namespace

bool pngWarningMeansDamage(const QString &warning)
{
    static const QRegularExpression ancillaryChunk(QStringLiteral("^[a-z][A-Za-z]{3}: "));
    return warning.contains(QLatin1String("CRC")) || !ancillaryChunk.match(warning).hasMatch();
}

QString pngReadError(QIODevice *device, qint64 offset, qint64 length)
{
    PngStream stream;
    return readPng(device, offset, length, Rows::Check, &stream);
}

QString readPngStream(QIODevice *device, bool decode, PngStream *stream)
{
    return readPng(device, 0, device->size(), decode ? Rows::Keep : Rows::None, stream);
}
