#ifndef PNGCHECK_H
#define PNGCHECK_H

#include <QString>

#include <cstddef>

class QIODevice;

// Reads the PNG stream of `length` bytes at `offset` of a random-access
// device through libpng, one row at a time, and returns why libpng gives up
// on it, or an empty string when it reads to the end. Qt's PNG reader gives
// up on the same files, but lets libpng print the reason to standard error
// first: run this before it, and do not hand it the files it fails.
// The device's position is kept.
QString pngReadError(QIODevice *device, qint64 offset, qint64 length);

// A PNG stream as libpng reads it, its samples as stored (16-bit ones in
// the host's byte order).
struct PngStream {
    unsigned width = 0;
    unsigned height = 0;
    int bitDepth = 0;
    bool colour = false;            // red, green and blue samples (else grey)
    int channels = 0;               // samples a pixel, alpha included
    size_t rowBytes = 0;
    unsigned char *pixels = nullptr;  // with `decode`: height rows of rowBytes (malloc'ed; the caller frees)
    QString damage;  // the first of libpng's warnings that means damage (see pngWarningMeansDamage)
};

// Whether a warning of libpng's (without Qt's "libpng warning: " before
// it) means a damaged stream: a checksum error anywhere, or trouble in a
// chunk that matters. A chunk whose name starts in lower case is one a
// reader may skip (profiles, text, ...), and libpng's remarks on it are not.
bool pngWarningMeansDamage(const QString &warning);

// Reads the header of the PNG stream at the start of the device, and with
// `decode` the whole picture. Returns why libpng gives up, or an empty
// string.
QString readPngStream(QIODevice *device, bool decode, PngStream *stream);

#endif // PNGCHECK_H
