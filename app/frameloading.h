#ifndef FRAMELOADING_H
#define FRAMELOADING_H

#include <QByteArray>
#include <QImage>
#include <QList>
#include <QString>

class QIODevice;

// The largest frame the program opens: 2^28 pixels (256 megapixels, e.g.
// 16384 x 16384). A run needs about 16 bytes a pixel at its peak (decoded
// picture, 32-bit frame, grey image, three byte images, response map), so
// this keeps one run near 4 GiB while photographs of 100 megapixels and
// more still open. Larger pictures are refused from their header, before
// any pixel is allocated.
const qint64 kMaxFramePixels = qint64(1) << 28;

// Reads an image file the way the window opens one: the format is detected
// from the content by the installed Qt image plug-ins, a photograph's
// orientation tag is applied, and the picture is brought to
// QImage::Format_RGB32, the layout the detection job reads (8-bit grey
// pictures stay QImage::Format_Grayscale8, which it reads as well). On failure
// `frame` is left alone and `error` says why in a short phrase.
//
// A damaged file whose readable part decodes (cut short, corrupt data the
// decoder skipped) still loads: then `damage`, when given, says what is
// wrong in a short phrase, e.g. "Corrupt JPEG data: premature end of data
// segment" or "cut short"; it is empty after a clean load. What the
// decoders say goes into these phrases and never to standard error; files
// may be loaded on several threads at once.
bool loadFrame(const QString &fileName, QImage *frame, QString *error, QString *damage = nullptr);

// The same, from an open device.
bool loadFrame(QIODevice *device, QImage *frame, QString *error, QString *damage = nullptr);

// The size of the picture loadFrame would decode from `device`, found as
// loadFrame finds it before decoding (and checks it against
// kMaxFramePixels), before any orientation tag is applied; invalid when
// loadFrame refuses the file before decoding for another reason.
QSize frameSizeBeforeDecoding(QIODevice *device);

// The formats of QImageReader::supportedImageFormats() that loadFrame
// reads; the others (SVG, MNG, ICNS, ...) are always refused.
QList<QByteArray> openableImageFormats();

// The frame brought to QImage::Format_RGB32 (shared, not copied, when it is
// already in that layout or in QImage::Format_Grayscale8). A null result for a non-null frame means the
// conversion ran out of memory.
QImage toDetectionLayout(const QImage &image);

#endif // FRAMELOADING_H
