#ifndef STREAMINGRUN_H
#define STREAMINGRUN_H

// Pictures larger than memory: read in bands of rows and run band by band,
// with the very features, in the very order, of the whole-picture run.
//
// Every response, maximum and measurement at a pixel depends only on the
// pixels within r + 1 rows of it (r the kernel radius). So a band of output
// rows, read with r + 1 rows more above and below, is run as a small
// picture of its own by the same detection job; its maxima search then
// covers exactly the band's own rows (or, at the picture's top and bottom,
// the rows a whole-picture run would search there). Consecutive bands share
// 2r + 2 rows, kept in memory rather than read again. A run holds one band
// and its detector record, whatever the picture's height. With the border
// extended (DetectionSettings::border), each band is padded as the whole
// picture is: by r + 1 columns on either side, and above the first row and
// below the last, which the bands at the ends hold.

#include "detectionjob.h"
#include "frameloading.h"
#include "picturesource.h"

#include <QString>

// Pictures of more pixels than this are streamed by the command line
// unless told otherwise: from about this size on the streamed run takes no
// longer than reading the picture whole and running it (the README has the
// measurements), in a fraction of the memory.
const qint64 kAutoStreamPixels = qint64(1) << 25;

// Streamed pictures are not bounded by kMaxFramePixels; their rows and
// columns must be exact in the features' float coordinates.
const qint64 kMaxStreamedSide = qint64(1) << 24;

struct StreamSettings {
    DetectionSettings detection;   // a single-scale run, its border as asked
    StretchChoice stretch;
    qint64 bandRows = 0;           // own rows of a band; 0: chosen from the width and the radius
};

struct StreamedPicture {
    qint64 width = 0;
    qint64 height = 0;
    int bitsPerSample = 8;
    StretchUsed stretch;
    StretchNotice notice;
    qint64 bands = 0;
    DetectionResult result;        // elapsedMsec: the timed stages of every band, added up
    QString damage;                // what is wrong with the file, as the whole read says it; empty when sound
};

// Whether the source's picture can be read in bands, and how many pixels
// it has; `reason` says why not.
bool canStream(PictureSource &source, QString *reason, qint64 *pixels = nullptr);

// Runs the source's picture in bands. False, with the reason, when it
// cannot be read or streamed; a failing run is reported in result.status.
bool runStreamed(PictureSource &source, const StreamSettings &settings, StreamedPicture *picture, QString *error);

// The same for the file at `path` (a regular file: pipes and devices are
// read whole, never in bands).
bool canStream(const QString &path, QString *reason, qint64 *pixels = nullptr);
bool runStreamed(const QString &path, const StreamSettings &settings, StreamedPicture *picture, QString *error);

// What one band may take: its grey rows and the detector's record of them
// (kBandBytesPerPixel a pixel), with the reader's buffers (a strip or a row
// of tiles, the rows being mapped).
const qint64 kBandBudgetBytes = qint64(17) << 25;
const qint64 kBandBytesPerPixel = 17;

// The own rows of a band for a picture `width` wide at kernel radius
// `radius`, when the reader holds `readerBytes` besides: enough that the
// rows read twice cost a few percent, few enough that the band, with its
// 2r + 2 rows of margin, stays within kBandBudgetBytes. With the border
// extended by `pad` columns on either side, the band's run is on a copy
// that wide (a byte a pixel more, and the detector's record of the wider
// rows). 0 when not even a band of one own row fits: such a picture is not
// streamed.
qint64 streamBandRows(qint64 width, uint32_t radius, qint64 readerBytes = 0, qint64 pad = 0);

#endif // STREAMINGRUN_H
