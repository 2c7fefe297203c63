#ifndef TIFFCHECK_H
#define TIFFCHECK_H

#include <QString>

class QIODevice;

// What is wrong with the structure of a TIFF file, on every page (Qt reads
// only the first): "cut short" when a strip or tile lies past the end of the
// file, libtiff's reason when a directory cannot be read (libtiff also
// passes it to its error handler); empty when every page is whole. The
// device's position is kept.
QString tiffStructureDamage(QIODevice *device);

#endif // TIFFCHECK_H
