#ifndef TIFFCHECK_H
#define TIFFCHECK_H

#include <QString>

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

#endif // TIFFCHECK_H
