#include "pngcheck.h"

#include <QIODevice>

#include <png.h>

#include <csetjmp>
#include <cstdio>
#include <cstdlib>
#include <memory>

namespace {

struct PngSource {
    QIODevice *device;
    qint64 left;              // bytes of the stream not read yet
    unsigned char *row;       // one row, allocated once the header is read
    char error[256];          // libpng's reason for giving up
};

// Every libpng failure ends here, and leaves through the jump set up in
// pngReadError. Only plain C data lives on the frames it skips.
void keepError(png_structp png, png_const_charp message)
{
    PngSource *source = static_cast<PngSource *>(png_get_error_ptr(png));
    std::snprintf(source->error, sizeof source->error, "%s", message);
    png_longjmp(png, 1);
}

// Qt's reader passes warnings on as Qt messages, which the loader collects
// while Qt reads the file again; here they would only come twice.
void ignoreWarning(png_structp, png_const_charp) {}

void readBytes(png_structp png, png_bytep data, png_size_t length)
{
    PngSource *source = static_cast<PngSource *>(png_get_io_ptr(png));
    const qint64 wanted = (qint64)length;
    if (wanted > source->left || source->device->read(reinterpret_cast<char *>(data), wanted) != wanted)
        png_error(png, "cut short");
    source->left -= wanted;
}

} // namespace

QString pngReadError(QIODevice *device, qint64 offset, qint64 length)
{
    const qint64 position = device->pos();
    if (!device->seek(offset))
        return QStringLiteral("cut short");

    // On the heap: a jump back to setjmp leaves the locals changed since
    // then undefined.
    const std::unique_ptr<PngSource> kept(new PngSource{device, length, nullptr, ""});
    PngSource &source = *kept;
    png_structp png = png_create_read_struct(PNG_LIBPNG_VER_STRING, &source, keepError, ignoreWarning);
    png_infop info = png ? png_create_info_struct(png) : nullptr;
    if (!info) {
        png_destroy_read_struct(&png, nullptr, nullptr);
        device->seek(position);
        return QStringLiteral("not enough memory to read the PNG stream");
    }
    png_set_read_fn(png, &source, readBytes);

    if (setjmp(png_jmpbuf(png)) == 0) {
        png_read_info(png, info);
        const int passes = png_set_interlace_handling(png);
        png_read_update_info(png, info);
        const png_uint_32 height = png_get_image_height(png, info);
        source.row = static_cast<unsigned char *>(std::malloc(png_get_rowbytes(png, info)));
        if (!source.row)
            png_error(png, "not enough memory to read the PNG stream");
        for (int pass = 0; pass < passes; ++pass)
            for (png_uint_32 y = 0; y < height; ++y)
                png_read_row(png, source.row, nullptr);
        png_read_end(png, nullptr);
    }
    std::free(source.row);
    png_destroy_read_struct(&png, &info, nullptr);
    device->seek(position);
    return QString::fromLatin1(source.error);
}
