#ifndef FEATUREWRITER_H
#define FEATUREWRITER_H

// The one writer of feature tables, for the command line and the window:
// CSV or JSON, one picture after another, to any device.

#include "featuremeasures.h"
#include "localmaxima.h"
#include "tracklinking.h"

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <QVector>

class QIODevice;
struct DetectionSettings;
struct StretchUsed;

// What is known of one picture after its run, as the writers report it.
struct PictureResult {
    QString file;           // the path as given or found
    int width = 0;
    int height = 0;
    float sigma = 0.0f;     // with a scale range, its smallest sigma
    float threshold = 0.0f;
    QString polarity = QStringLiteral("both");  // the features kept, as --polarity names them
    // A scale-range run: its number of scales (1 for a single-scale run),
    // its largest sigma and the overlap it allowed.
    int scales = 1;
    float sigmaMax = 0.0f;
    float overlap = 1.0f;
    // 0; 1 when the file could not be read (see `error`); otherwise the
    // detector's negative status.
    int status = 0;
    QString error;          // why the file could not be read, or the run failed
    QStringList warnings;   // anything else the reader noted
    QString damage;         // why the file is damaged; the part that could be read was used
    QString annotationError;  // the annotated picture asked for could not be written
    float elapsedMsec = 0.0f;
    // How the samples were mapped to 8 bits when it was not "none": its
    // name as --stretch takes it, and the range mapped to 0..255.
    QString stretch;
    double stretchLo = 0.0;
    double stretchHi = 0.0;
    bool streamed = false;  // read and run in bands of rows
    QVector<Feature> features;
    QVector<FeatureMeasure> measures;  // one per feature
    // A linked sequence's frame: each feature's track number, -1 for one in
    // no track; empty when nothing was linked.
    QVector<int32_t> tracks;

    // Sequences (a video, a multi-page TIFF, a FITS cube, numbered files).
    // A frame's result: its number (the rows' `frame`) and time (`t`).
    qint64 frame = -1;
    double time = 0.0;
    bool hasTime = false;
    // The sequence as a whole: its frames (-1 when unknown), whether they
    // are timed, what of the file they are, and once read, how many were
    // read, lost (damaged beyond reading) and dropped (a live source ran
    // ahead), and the frames per second achieved from the first read to
    // the last frame written.
    bool sequence = false;
    qint64 frames = 1;
    bool timed = false;
    QString taken;
    qint64 framesRead = 0;
    qint64 featureCount = 0;  // of all frames read
    qint64 framesLost = 0;
    qint64 framesDropped = 0;
    double framesPerSecond = 0.0;
    // How a sequence's features were linked (--track); maxDistance 0: not
    // linked.
    TrackLinkSettings link;
};

const int kPictureUnreadable = 1;

// One column of a feature table: its name (the CSV header's, the JSON
// key) and, for the feature at `index` of a picture, its text as the tables
// print it and its value as a number (for sorting; polarity: +1 bright, -1
// dark).
struct FeatureColumn {
    const char *name;
    QByteArray (*text)(const PictureResult &picture, int index);
    double (*value)(const PictureResult &picture, int index);
    bool jsonText;  // JSON gives it as a string, not a number
};

// Which columns a table of sequences has before x and y: none (still
// pictures only), the frame number, or the frame number and its time.
enum class FrameColumns { None, Frame, FrameAndTime };

// The columns of features, in order: frame and t as asked, x, y, with
// details x_subpixel, y_subpixel, sigma, response and polarity, and last,
// when asked, track (the feature's track number, -1 for none). What the
// writers write, and what the window's results table shows.
QVector<FeatureColumn> featureColumns(bool details, FrameColumns frames, bool track = false);
// Those of a picture's features: frame when it is a sequence's frame, t
// when that frame has a time, track when its features were linked.
QVector<FeatureColumn> featureColumns(const PictureResult &picture, bool details);

// What a picture was run with, into its record: the settings of the run,
// and the stretch its frame was made with (nothing for "none").
void recordRunSettings(const DetectionSettings &settings, PictureResult *picture);
void recordStretch(const StretchUsed &stretch, PictureResult *picture);

enum class TableFormat { Csv, Json };

// Writes pictures' features in order. CSV: a header, then one row per
// feature ("x,y", or with details "x,y,x_subpixel,y_subpixel,sigma,
// response,polarity"), with a first column "file" when asked, "frame"
// (and "t") before x when the table holds sequences, and a last column
// "track" when they were linked. JSON: one array with
// an object per picture or sequence, whatever happens. Each call returns
// false once a write has failed.
class FeatureTableWriter
{
public:
    FeatureTableWriter(QIODevice *device, TableFormat format, bool details, bool fileColumn,
                       FrameColumns frameColumns = FrameColumns::None, bool trackColumn = false);

    bool begin();
    bool write(const PictureResult &picture);
    // A sequence, frame by frame: its object's head (JSON; from the
    // sequence's record), each frame's features (a frame's record: frame,
    // time, features, measures) and the rest of its object once all frames
    // are read (the record's counts, status and warnings).
    bool beginSequence(const PictureResult &sequence);
    bool writeFrame(const PictureResult &frame);
    bool endSequence(const PictureResult &sequence);
    // Closes the JSON array (CSV has nothing to close), and a sequence's
    // object left open by an interruption. The device is not flushed: its
    // owner flushes it and checks that before calling the output written.
    bool finish();

    // One picture's rows or object, as write() puts it.
    QByteArray csvRows(const PictureResult &picture) const;
    static QByteArray jsonObject(const PictureResult &picture);

private:
    bool put(const QByteArray &bytes);

    QIODevice *device;
    TableFormat format;
    bool details;
    bool fileColumn;
    FrameColumns frameColumns;
    bool trackColumn;
    bool first = true;
    bool ok = true;
    bool inSequence = false;      // a sequence's JSON object is open
    bool firstFeature = true;     // of that sequence
};

// One linked sequence's tracks, as the track table writes them.
struct SequenceTracks {
    QString file;
    // Speeds and D per second (the frames' time stamps) rather than per
    // frame (their numbers).
    bool timed = false;
    QVector<TrackSummary> tracks;
};

// The track table (--tracks). CSV: a header, then one row per track:
// "track,first_frame,last_frame,length,mean_x,mean_y,mean_speed,diffusion,
// time_unit" (a first column "file" when asked), time_unit "frame" or "s":
// mean_speed is in pixels, diffusion in pixels^2, per time_unit; a NaN is
// an empty field. JSON: one array with an object per sequence (file,
// time_unit, diffusion_lags, tracks: an object per track with the same
// names, NaN as null). Each call returns false once a write has failed.
class TrackTableWriter
{
public:
    TrackTableWriter(QIODevice *device, TableFormat format, bool fileColumn);

    bool begin();
    bool write(const SequenceTracks &sequence);
    bool finish();

private:
    bool put(const QByteArray &bytes);

    QIODevice *device;
    TableFormat format;
    bool fileColumn;
    bool first = true;
    bool ok = true;
};

// A time in seconds as the tables write it: microseconds, "%.6f".
QByteArray secondsText(double seconds);

// The summary table (--summary): a CSV header, then one row per picture,
// whatever became of it: file, frames, features, status (ok, damaged,
// unreadable or failed), warning (what the reader, the stretch or the run
// noted, or why it failed), elapsed_msec, and the settings it was run with
// (sigma, sigma_max, scales, overlap, threshold, polarity, stretch).
QByteArray summaryHeader();
QByteArray summaryRow(const PictureResult &picture);

// A CSV field, quoted when it holds a comma, a quote or a line break.
QByteArray csvField(const QString &text);

const char *polarityName(int8_t polarity);
// A motion model as --motion names it: none, velocity or kalman.
const char *motionName(TrackMotion motion);

#endif // FEATUREWRITER_H
