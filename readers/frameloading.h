#ifndef FRAMELOADING_H
#define FRAMELOADING_H

#include "nativepictures.h"
#include "picturelimits.h"

#include <QByteArray>
#include <QImage>
#include <QList>
#include <QSize>
#include <QString>

#include <functional>
#include <memory>
#include <vector>

class QBuffer;
class QFile;
class QIODevice;


// Reads an image file the way the window opens one: the format is detected
// from the content by the installed Qt image plug-ins, a photograph's
// orientation tag is applied, and the picture is brought to
// QImage::Format_RGB32, the layout the detection job reads (grey pictures,
// 8 or 16-bit, become QImage::Format_Grayscale8, which it reads as well). On failure
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

// The frame brought to QImage::Format_RGB32, or to QImage::Format_Grayscale8
// from 16-bit grey (shared, not copied, when it is already in either). A null result for a non-null frame means the
// conversion ran out of memory.
QImage toDetectionLayout(const QImage &image);

// How a picture's samples become the detector's 8-bit input (see
// intensitystretch.h for the formula).
enum class StretchMode {
    Default,     // None for 8-bit pictures that Qt's readers read, Percentile for the others
    None,        // 8-bit pictures as they are; deeper ones as Qt's readers bring them to 8 bits
    MinMax,      // lo and hi: the smallest and the largest number
    Percentile   // lo and hi: the values at two percentiles of the sorted numbers
};

struct StretchChoice {
    StretchMode mode = StretchMode::Default;
    double low = 0.1;    // Percentile: percent, 0 <= low < high <= 100
    double high = 99.9;
};

// The stretch a frame was made with.
struct StretchUsed {
    StretchMode mode = StretchMode::None;  // never Default
    double low = 0.0;   // Percentile: the percentages
    double high = 0.0;
    double lo = 0.0;    // MinMax and Percentile: the range mapped to 0..255
    double hi = 0.0;
    // Percentile: the two percentiles were equal in a picture that is not
    // constant (a small blob on a flat ground), so lo and hi are its
    // smallest and largest number instead, as MinMax finds them.
    bool widened = false;
};

// The name of a stretch, as --stretch takes it: "none", "minmax",
// "percentile:0.1:99.9".
QString stretchName(const StretchUsed &stretch);

// A stretch as --stretch names it: "none", "minmax", "percentile" or
// "percentile:LOW:HIGH" (numbers in the C locale, 0 <= LOW < HIGH <= 100).
// False, and `choice` left alone, for any other text.
bool parseStretchName(const QString &text, StretchChoice *choice);

// The stretch `asked` for a picture: Default is None for the 8-bit
// pictures Qt's readers read (qtReads, samples of `type` SAMPLE_U8: they are
// the detector's levels as they are), Percentile for the others, deeper
// pictures among them (a 12-bit camera's picture stored in 16 bits would
// otherwise reach the detector as a handful of levels).
StretchMode resolvedStretchMode(StretchMode asked, bool qtReads, SampleType type);

// A picture of more than 8 bits a sample (or one only the native readers
// read), its samples as stored, kept so that it can be mapped again.
struct PictureSamples {
    NativeLayout layout;
    std::vector<unsigned char> bytes;  // layout.height rows of NativePicture::rowBytes()
};

// A frame made under "none" whose levels span less than 1/8 of 0..255
// (the front ends then point to the stretch), or a stretch whose range is
// empty (every pixel is 0).
struct StretchNotice {
    bool narrow = false;
    int lowest = 0;   // narrow: the levels used
    int highest = 0;
    QString text;  // "uses only levels 3 to 20 of 0..255", "is flat: ..."; empty when there is nothing to tell
};
StretchNotice stretchNotice(const StretchUsed &used, int lowestLevel, int highestLevel);

// The lowest and the highest level among a frame's channels (grey, or red,
// green and blue).
void frameLevels(const QImage &frame, int *lowest, int *highest);

// The stored samples (1, or 3 for colour) of the pixel that the picture
// shows at (x, y), its orientation undone, into `values`; how many there
// are, 0 for a point outside the picture.
int storedSamplesAt(const PictureSamples &samples, qint64 x, qint64 y, double values[3]);

// A picture as loadPicture hands it over.
struct LoadedPicture {
    QImage frame;                // the detector's input, as loadFrame describes it
    StretchUsed stretch;         // how it was made
    int bitsPerSample = 8;
    QString description;         // e.g. "16-bit grey PGM"; empty for pictures only Qt reads
    // Something to tell about the stretch, once (see stretchNotice).
    StretchNotice notice;
    // Kept when asked for: the samples of a picture of more than 8 bits,
    // and the frame Qt's readers give (null for pictures they do not read).
    std::shared_ptr<const PictureSamples> samples;
    QImage qtFrame;
};

struct LoadOptions {
    StretchChoice stretch;
    bool keepSamples = false;  // keep `samples` and `qtFrame`, to map the picture again
    // Only the detector's input is wanted (no view, no annotation): a colour
    // JPEG under the stretch None may then come as the grey levels the
    // detection job would take from its 32-bit frame, in
    // QImage::Format_Grayscale8, without that frame ever being made. Ignored
    // with keepSamples.
    bool detectorInputOnly = false;
    // Threads that may decode one picture (0: every hardware thread); a
    // batch that loads one picture per core gives each load one.
    unsigned threads = 0;
};

// loadFrame with a choice of stretch: pictures of 16-bit, 32-bit and float
// samples and FITS images are read with their samples as stored and mapped
// as asked; the rest as loadFrame reads them (and, when a stretch other
// than None is asked for, stretched from their 8-bit levels). Of a
// sequence (a multi-page TIFF, a FITS cube, a video), its first frame, with
// what is wrong in the whole file in `damage`.
//
// loadFrame and loadPicture open a PictureSource (picturesource.h) and load
// its picture; they are defined beside it.
bool loadPicture(const QString &fileName, const LoadOptions &options, LoadedPicture *picture, QString *error,
                 QString *damage = nullptr);
bool loadPicture(QIODevice *device, const LoadOptions &options, LoadedPicture *picture, QString *error,
                 QString *damage = nullptr);

// The picture mapped with another stretch, from what loadPicture kept
// (options.keepSamples). False with a reason when it cannot be.
bool restretchPicture(const LoadedPicture &picture, const StretchChoice &choice, QImage *frame, StretchUsed *used,
                      StretchNotice *notice, QString *error);

// One pass over samples: calls feed(samples, count, stride) until every
// sample has been handed over once; false, with the reason in `error`,
// when they cannot be read.
using SampleFeed = std::function<void(const void *samples, size_t count, size_t stride)>;
using SamplePass = std::function<bool(const SampleFeed &feed, QString *error)>;

// lo and hi of a MinMax or Percentile stretch over the samples that
// `pass` hands over (as often as it takes: once for samples of at most 16
// bits, twice for 32-bit ones, four times for doubles), into `used`; a None
// stretch only takes its name. False with a reason for samples without a
// single number. Equal percentiles of samples that are not all equal are
// widened (widenEqualPercentiles).
bool findStretchRange(const StretchChoice &choice, SampleType type, const SamplePass &pass, StretchUsed *used,
                      QString *error);

// The samples of one of a pass's bands: feed(samples, count, stride) for
// each of band `band`'s pieces; false, with the reason, when they cannot
// be read. A band is read by one thread at a time.
using BandSamplePass = std::function<bool(unsigned band, const SampleFeed &feed, QString *error)>;

// findStretchRange over samples in `bands` bands, which as many threads as
// the machine has read at the same time: the same lo and hi whatever the
// threads.
bool findStretchRangeInBands(const StretchChoice &choice, SampleType type, unsigned bands,
                             const BandSamplePass &pass, StretchUsed *used, QString *error);

// A Percentile stretch whose percentiles are equal, of samples from
// `lowest` to `highest` that are not all equal, takes lowest and highest
// as its range instead (StretchUsed::widened): otherwise every pixel would
// map to 0 and a blob covering less than the low percentage of the picture
// would be lost with the rest.
void widenEqualPercentiles(StretchUsed *used, double lowest, double highest);


// ---- The steps of loading, for the picture source (picturesource.h), which
// opens a file once and hands it to them.

// What is known of a file for Qt's readers before any pixel is decoded.
struct QtInspection {
    QByteArray format;
    QSize size;               // the size the reader decodes, before any orientation tag
    QString refusal;          // why the file is not decoded; empty when it may be
    qint64 pngOffset = -1;    // a PNG stream that libpng reads through first
    qint64 pngLength = 0;
};

// The format and size Qt's reader would decode from `device` (random
// access, from its start), or why it would not be decoded at all.
QtInspection inspectForQt(QIODevice *device, const QString &fileName);

// The picture of `device`, as loadPicture hands it over: with `native`, the
// native reader that took the file (null when none did), and `inspection`
// for Qt's reader when it was made already (null: made when needed).
bool readPictureFrom(QIODevice *device, const QString &fileName, NativePicture *native,
                     const QtInspection *inspection, const LoadOptions &options, LoadedPicture *picture,
                     QString *error, QString *damage);

// An 8-bit frame (QImage::Format_RGB32 or Format_Grayscale8) mapped as
// loadPicture maps a picture that only Qt's readers read: "none" leaves it
// as it is, minmax and percentile stretch its levels channel by channel.
bool stretchFrame(const QImage &frame, const StretchChoice &choice, QImage *stretched, StretchUsed *used,
                  StretchNotice *notice, QString *error);

// A pipe or a device read to its end into `buffer`, after the bytes
// `start` already taken from it; at most 256 MB. False with the reason.
bool readWholeStream(QIODevice *device, QBuffer *buffer, QString *error, const QByteArray &start = QByteArray());

// Opens a file for reading without waiting for a writer (a named pipe that
// nobody writes to reads as empty); false with the reason ("File not
// found", "permission denied", "it is a folder, not a picture", ...).
bool openPictureFile(QFile *file, QString *error);

#endif // FRAMELOADING_H
