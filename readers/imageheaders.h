#ifndef IMAGEHEADERS_H
#define IMAGEHEADERS_H

// The sizes that a few formats' headers give for the picture Qt's readers
// decode, found without decoding. For these formats the readers' own
// QImageReader::size() tells something else (the first frame of a GIF, the
// directory entry of an icon), or the reader's format check already decodes
// the whole picture (X bitmaps).
//
// Offsets count from the start of the device; every function leaves the
// device's position where it was. An invalid size means the header cannot
// be read: the file is cut short or damaged.

#include <QByteArray>
#include <QSize>
#include <QString>

class QIODevice;

// Up to `count` bytes at `offset` of a random-access device (fewer at its
// end, none past it).
QByteArray bytesAt(QIODevice *device, qint64 offset, qint64 count);

// Reads a device byte by byte from an offset, a block at a time.
class ByteCursor
{
public:
    ByteCursor(QIODevice *device, qint64 offset) : device(device), offset(offset) {}

    // The next byte, or -1 at the end.
    int next();
    bool skip(int count);
    // GIF data sub-blocks: a length byte and that many bytes, up to a zero
    // length.
    bool skipSubBlocks();

private:
    QIODevice *device;
    qint64 offset;
    QByteArray block;
    int at = 0;
};

// The width and height a PNG stream at `offset` gives in its IHDR chunk.
QSize pngHeaderSize(QIODevice *device, qint64 offset = 0);

// The width and height of a Windows or OS/2 bitmap, the height made
// positive (a negative one means the top row comes first).
QSize bmpHeaderSize(QIODevice *device);

// The width and height in the header of a PBM, PGM or PPM file.
QSize pnmHeaderSize(QIODevice *device);

// The next number of a PBM, PGM or PPM header, from `*at` of its first
// bytes `head` ("P1" to "P6", then numbers after white space and comments
// from '#' to the end of the line). The number stops growing once it
// reaches INT_MAX, and `*at` is left at the first digit not read. False
// when no number starts there.
bool pnmHeaderNumber(const QByteArray &head, int *at, qint64 *value);

// For a PBM, PGM or PPM file of text samples (P1, P2, P3): "cut short"
// when it holds fewer samples than its header gives (a file that ends
// right after its last number is whole); empty otherwise, and for the raw
// kinds.
QString pnmTextDamage(QIODevice *device);

// The canvas Qt's GIF reader allocates for the first picture: the logical
// screen where the file gives one (however small the picture on it), the
// picture's own extent from the top left corner otherwise.
QSize gifCanvasSize(QIODevice *device);

// The first picture of an icon or cursor file, the one that is read. Its
// directory entry tells at most 256 x 256; the picture itself is a PNG
// stream or a bitmap whose header may say anything.
struct IconPicture {
    QSize size;              // invalid when the headers cannot be read
    qint64 pngOffset = -1;   // where its PNG stream starts, -1 for a bitmap
    qint64 pngLength = 0;    // the bytes the directory gives it
};
IconPicture firstIconPicture(QIODevice *device);

// What is wrong with the structure of a GIF file past its first picture,
// which is all that is read: "cut short" when it ends before its trailer,
// a phrase for a block of no known kind; empty when it is whole.
QString gifStructureDamage(QIODevice *device);

// "cut short" when a picture of an icon file's directory lies past the end
// of the file; empty otherwise.
QString iconDirectoryDamage(QIODevice *device);

// "cut short" when the file is shorter than its header says: the file size
// in a BMP header, the RIFF chunk of a WebP file. Empty otherwise, and for
// other formats.
QString declaredLengthDamage(QIODevice *device, const QByteArray &format);

// The size an X bitmap's "#define NAME_width" and "_height" lines give, read
// as Qt's reader reads them; invalid when the device does not start so.
QSize xbmDefinedSize(QIODevice *device);

#endif // IMAGEHEADERS_H
