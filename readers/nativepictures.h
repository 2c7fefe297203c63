#ifndef NATIVEPICTURES_H
#define NATIVEPICTURES_H

// The readers that keep a picture's samples as stored: PGM and PPM of any
// depth, 16-bit PNG, TIFF of 8 to 64 bits (integer or float, by strips or
// tiles) through libtiff, and FITS images through cfitsio. They hand out
// rows of the picture as it is shown, top row first, so that a picture can
// be read whole or in bands. The frame loader (frameloading.h) is the only
// user of the whole-picture reading; the streaming run reads bands.

#include "intensitystretch.h"

#include <QByteArray>
#include <QString>

#include <memory>

class QIODevice;

// The longest side a native reader opens (QImage's limit); no path reads
// more pixels than that on a side.
const qint64 kMaxNativeSide = 0x7fffffff;

struct NativeLayout {
    qint64 width = 0;
    qint64 height = 0;
    unsigned channels = 1;      // 1 (grey) or 3 (red, green, blue) samples a pixel in the rows handed out
    SampleType type = SAMPLE_U8;
    unsigned bitsPerSample = 8;
    // How the picture becomes 8 bits under the stretch "none": what Qt's
    // readers give for the pictures they read, the type's range otherwise.
    ByteReduction none = {REDUCE_STRETCH, 0.0, 255.0, 0};
    // Qt's readers read the picture (so its stretch is "none" unless told
    // otherwise), and their frame is the one "none" gives (not for TIFF
    // colours that Qt would premultiply by an unassociated alpha).
    bool qtReads = false;
    bool qtFrameForNone = false;
    // The picture read as stored must be turned to be shown upright
    // (a TIFF orientation tag, 1 to 8; 1 is upright).
    int orientation = 1;
    // Rows can be read a band at a time, without the rest of the picture.
    bool streamable = false;
    QString notStreamable;  // why not, when not
    QString description;    // e.g. "16-bit grey PGM", "32-bit float FITS"
    QByteArray format;      // "pgm", "ppm", "png", "tiff" or "fits"
    // What is wrong with a file whose picture still reads: a later page or
    // HDU cut short, strips or tiles with no data (read as 0), a PNG
    // chunk's checksum; said in every mode, whole or in bands. Known when
    // the file is opened, or (a PNG's chunks, a text PNM's samples) once
    // every row has been read. Empty for a sound file.
    QString damage;
    // Bytes the reader holds while it hands out rows (a strip or a row of
    // tiles a plane, a whole PNG), besides the rows asked for.
    qint64 bufferBytes = 0;
};

// The frames of a file of several pictures of one kind: the pages of a
// TIFF file (or the time points of an ImageJ hyperstack), the planes of a
// FITS cube.
struct NativeFrames {
    qint64 count = 1;
    double interval = 0.0;  // seconds from one frame to the next when the file says (ImageJ); 0 otherwise
    QString taken;          // what of the file the frames are, when not all of it
    // What is wrong with the file beyond what its frames are (a TIFF page
    // whose directory does not read, after which no page can be reached; a
    // FITS file's later HDU cut short); empty when nothing.
    QString damage;
};

class NativePicture
{
public:
    virtual ~NativePicture() = default;
    const NativeLayout &layout() const { return info; }
    const NativeFrames &frames() const { return sequence; }
    // Makes frame `index` (0 to frames().count - 1) the picture read, its
    // layout (and its own damage) in layout(). Each frame is read entirely
    // by this reader (never through Qt's), and a frame may differ from the
    // others in size and samples. False with the reason when the frame
    // cannot be read at all (a page cut short, a plane past the file's end).
    // The picture as opened (frame 0, with the whole file's damage) is not
    // restored.
    virtual bool selectFrame(qint64 index, QString *error);
    // Rows first <= y < first + count of the picture as stored (before any
    // orientation tag), top to bottom, width * channels samples each,
    // written to `samples`. False with a reason in `error` when the file is
    // damaged.
    virtual bool readRows(qint64 first, qint64 count, void *samples, QString *error) = 0;
    // Bytes of one row handed out.
    qint64 rowBytes() const { return info.width * info.channels * (qint64)sampleBytes(info.type); }

protected:
    NativeLayout info;
    NativeFrames sequence;
};

// Opens `device` (random access, at any position) with the native reader
// for its content. Null with an empty `error` when no native reader takes
// it (an 8-bit PNG, a JPEG, ... are Qt's); null with the reason when one
// does and refuses it (damaged, absurd dimensions, an unsupported kind of
// data, strips or tiles too large to decode, a TIFF whose data no reader
// decodes the same way twice). A picture that opens has sides of 1 to
// kMaxNativeSide, so that every size derived from them fits in 64 bits.
// `fileName` may be empty. The device must outlive the picture.
// No exception leaves it, nor readRows.
std::unique_ptr<NativePicture> openNativePicture(QIODevice *device, const QString &fileName, QString *error);

// "the file is damaged (REASON)": what the readers say of a file whose
// data cannot be read, e.g. "the file is damaged (cut short)".
QString damagedMessage(const QString &reason);

// Samples of a type as a TIFF picture holds them: whether Qt's readers
// read such a picture (8- and 16-bit unsigned integers; "none" is then its
// default stretch), and how "none" brings the samples to 8 bits: as Qt
// does for 16 bits, from the type's range for the other integers, from
// 0..1 for floats.
bool qtReadsSamples(SampleType type);
ByteReduction noneReduction(SampleType type);

// Whether the bytes at the start of a file are a FITS header.
bool looksLikeFits(const QByteArray &start);

#endif // NATIVEPICTURES_H
