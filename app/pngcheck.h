#ifndef PNGCHECK_H
#define PNGCHECK_H

#include <QString>

class QIODevice;

// Reads the PNG stream of `length` bytes at `offset` of a random-access
// device through libpng, one row at a time, and returns why libpng gives up
// on it, or an empty string when it reads to the end. Qt's PNG reader gives
// up on the same files, but lets libpng print the reason to standard error
// first: run this before it, and do not hand it the files it fails.
// The device's position is kept.
QString pngReadError(QIODevice *device, qint64 offset, qint64 length);

#endif // PNGCHECK_H
