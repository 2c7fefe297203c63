#include "tiffcheck.h"

#include <QIODevice>

#include <tiffio.h>

namespace {

QIODevice *deviceOf(thandle_t handle)
{
    return static_cast<QIODevice *>(handle);
}

tmsize_t readProc(thandle_t handle, void *data, tmsize_t size)
{
    return deviceOf(handle)->read(static_cast<char *>(data), size);
}

tmsize_t writeProc(thandle_t, void *, tmsize_t)
{
    return 0;
}

toff_t seekProc(thandle_t handle, toff_t offset, int whence)
{
    QIODevice *device = deviceOf(handle);
    qint64 target = (qint64)offset;
    if (whence == SEEK_CUR)
        target += device->pos();
    else if (whence == SEEK_END)
        target += device->size();
    return device->seek(target) ? (toff_t)device->pos() : (toff_t)-1;
}

int closeProc(thandle_t)
{
    return 0;
}

toff_t sizeProc(thandle_t handle)
{
    return (toff_t)deviceOf(handle)->size();
}

int mapProc(thandle_t, void **, toff_t *)
{
    return 0;
}

void unmapProc(thandle_t, void *, toff_t) {}

// Whether every strip or tile of the current directory lies in the file.
bool dataInFile(TIFF *tiff, quint64 fileSize)
{
    const bool tiled = TIFFIsTiled(tiff);
    const quint64 count = tiled ? TIFFNumberOfTiles(tiff) : TIFFNumberOfStrips(tiff);
    uint64_t *offsets = nullptr;
    uint64_t *lengths = nullptr;
    if (!TIFFGetField(tiff, tiled ? TIFFTAG_TILEOFFSETS : TIFFTAG_STRIPOFFSETS, &offsets)
        || !TIFFGetField(tiff, tiled ? TIFFTAG_TILEBYTECOUNTS : TIFFTAG_STRIPBYTECOUNTS, &lengths))
        return count == 0;
    for (quint64 i = 0; i < count; ++i)
        if (offsets[i] > fileSize || lengths[i] > fileSize - offsets[i])
            return false;
    return true;
}

} // namespace

TIFF *openTiffDevice(QIODevice *device)
{
    device->seek(0);
    // "m": read through the procedures, never mapped.
    return TIFFClientOpen("", "rm", device, readProc, writeProc, seekProc, closeProc, sizeProc, mapProc, unmapProc);
}

QString tiffStructureDamage(QIODevice *device)
{
    return tiffPages(device).damage;
}

TiffPages tiffPages(QIODevice *device)
{
    const qint64 position = device->pos();
    TiffPages pages;
    TIFF *tiff = openTiffDevice(device);
    if (!tiff) {
        pages.damage = QStringLiteral("the TIFF header cannot be read");
        pages.broken = true;
    } else {
        const quint64 fileSize = (quint64)device->size();
        for (int page = 1;; ++page) {
            pages.pageCount = page;
            uint32_t kind = 0;
            TIFFGetFieldDefaulted(tiff, TIFFTAG_SUBFILETYPE, &kind);
            if (page == 1 || !(kind & (FILETYPE_REDUCEDIMAGE | FILETYPE_MASK))) {
                pages.offsets << (quint64)TIFFCurrentDirOffset(tiff);
                pages.numbers << page;
            }
            if (pages.damage.isEmpty() && !dataInFile(tiff, fileSize))
                pages.damage = QStringLiteral("cut short");
            if (TIFFLastDirectory(tiff) || pages.offsets.size() >= kMaxTiffPages)
                break;
            // Not the last page, so a directory that does not read is damage.
            if (!TIFFReadDirectory(tiff)) {
                if (pages.damage.isEmpty())
                    pages.damage = QStringLiteral("page %1 cannot be read").arg(page + 1);
                pages.broken = true;
                break;
            }
        }
        TIFFClose(tiff);
    }
    device->seek(position);
    return pages;
}
