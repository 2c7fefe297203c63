#ifndef PICTURELIMITS_H
#define PICTURELIMITS_H

#include <QtGlobal>

// The largest frame the program opens: 2^28 pixels (256 megapixels, e.g.
// 16384 x 16384). A run needs about 16 bytes a pixel at its peak (decoded
// picture, 32-bit frame, grey image, three byte images, response map), so
// this keeps one run near 4 GiB while photographs of 100 megapixels and
// more still open. Larger pictures are refused from their header, before
// any pixel is allocated. The video decoders below the readers hold their
// frames to it too.
const qint64 kMaxFramePixels = qint64(1) << 28;

#endif // PICTURELIMITS_H
