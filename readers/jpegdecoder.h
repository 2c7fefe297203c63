#ifndef JPEGDECODER_H
#define JPEGDECODER_H

// Plain JPEG files decoded by libjpeg directly, to the very pixels Qt's JPEG
// reader gives: it is the same library, run with the reader's settings (the
// accurate integer DCT, fancy upsampling, libjpeg's own colour conversion).
// What this saves is the reader's pass that widens each row from 24 to 32
// bits, its plug-in machinery, and, for a run that needs only the detector's
// input, the 32-bit frame itself.

#include <QImage>

#include <cstddef>
#include <cstdint>

enum class JpegTarget {
    // What Qt's reader gives, with its text, colour space and resolution:
    // QImage::Format_RGB32 for colour pictures, Format_Grayscale8 for grey.
    Frame,
    // The detector's input alone: the grey level of every pixel of that
    // frame, as convertRgb32ToGrey gives it (a grey picture's levels as
    // they are), in Format_Grayscale8 rows without padding.
    Grey
};

struct DecodedJpeg {
    QImage image;         // as stored, not yet turned upright
    int orientation = 1;  // how Qt's reader turns it to show it upright: 1 to 8, as EXIF and TIFF number it
    int lowest = 0;       // the lowest and the highest level among the frame's channels
    int highest = 0;
};

// Decodes the JPEG file in `data` when Qt's reader would decode it without
// a word: a whole file of grey or colour (YCbCr or RGB) samples about which
// libjpeg says nothing, of at most `maxPixels` pixels. False, with `decoded`
// left alone, for every other file (not a JPEG, CMYK, damaged, cut short,
// too large, memory short): those are for Qt's reader, which then says what
// is wrong with them. Nothing is printed.
//
// With `threads` other than 1 (0: as many as the machine has) two threads
// share the rows of a picture stored in one scan, the second one reading
// the compressed data ahead to a row where it takes over (at `splitRow`
// when that is given, for testing; otherwise where the two have as many
// rows left). The pixels are the same either way.
bool decodePlainJpeg(const unsigned char *data, size_t size, JpegTarget target, qint64 maxPixels,
                     DecodedJpeg *decoded, unsigned threads = 0, uint32_t splitRow = 0);

// The orientation Qt's JPEG reader finds in the EXIF data of a file's APP1
// markers (their contents one after the other): 1 to 8, or 1 when there is
// none or it cannot be read.
int exifOrientation(const QByteArray &app1);

#endif // JPEGDECODER_H
