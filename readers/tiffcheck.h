#ifndef TIFFCHECK_H
#define TIFFCHECK_H

#include <QString>
#include <QVector>

#include <tiffio.h>

class QIODevice;

// libtiff reading a random-access device through its procedures (never
// mapped), from its start; the device must outlive the handle. Null when
// the header cannot be read (libtiff passes the reason to its error
// handler).
TIFF *openTiffDevice(QIODevice *device);

// What is wrong with the structure of a TIFF file, on every page (Qt reads
// only the first): "cut short" when a strip or tile lies past the end of the
// file, "page N cannot be read" when a page's directory does not read
// (libtiff passes its reason to its error handler); empty when every page
// is whole. The device's position is kept.
QString tiffStructureDamage(QIODevice *device);

// The pages of a TIFF file, walked once: where each page's directory is,
// those that are pictures of their own (not a reduced-resolution copy of
// another, nor a transparency mask), and the first thing wrong with the
// file's structure, as tiffStructureDamage says it.
struct TiffPages {
    QVector<quint64> offsets;  // the pictures' directories, in file order; the first page always
    QVector<int> numbers;      // their page numbers, from 1
    int pageCount = 0;         // pages read, pictures or not
    QString damage;
    bool broken = false;       // a directory that does not read ends the walk early
};
// At most this many pages are listed.
const int kMaxTiffPages = 1 << 20;
TiffPages tiffPages(QIODevice *device);

#endif // TIFFCHECK_H
