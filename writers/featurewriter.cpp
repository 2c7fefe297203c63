#include "featurewriter.h"

#include "detectionjob.h"
#include "frameloading.h"

#include <QIODevice>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace {

// Sub-pixel positions with three decimals; responses and scales with nine
// significant digits, enough to read back the same float.
// printf's rounding (to even on an exact tie), as C and Python print them.
QByteArray printedDouble(const char *format, double value)
{
    char text[64];
    std::snprintf(text, sizeof text, format, value);
    return QByteArray(text);
}

QByteArray printed(const char *format, float value)
{
    return printedDouble(format, (double)value);
}

QByteArray subpixelText(float value)
{
    return printed("%.3f", value);
}

QByteArray floatText(float value)
{
    return printed("%.9g", value);
}

// The number the text stands for, so that JSON shows the same digits as
// CSV. JSON has no infinities or NaN; such a value has no number to show.
QJsonValue jsonNumber(const QByteArray &text)
{
    const double value = text.toDouble();
    return std::isfinite(value) ? QJsonValue(value) : QJsonValue();
}

const FeatureColumn kColumns[] = {
    {"x", [](const PictureResult &p, int i) { return QByteArray::number((int)p.features[i].x); },
     [](const PictureResult &p, int i) { return (double)p.features[i].x; }, false},
    {"y", [](const PictureResult &p, int i) { return QByteArray::number((int)p.features[i].y); },
     [](const PictureResult &p, int i) { return (double)p.features[i].y; }, false},
    {"x_subpixel", [](const PictureResult &p, int i) { return subpixelText(p.measures[i].xSubpixel); },
     [](const PictureResult &p, int i) { return (double)p.measures[i].xSubpixel; }, false},
    {"y_subpixel", [](const PictureResult &p, int i) { return subpixelText(p.measures[i].ySubpixel); },
     [](const PictureResult &p, int i) { return (double)p.measures[i].ySubpixel; }, false},
    {"sigma", [](const PictureResult &p, int i) { return floatText(p.measures[i].sigma); },
     [](const PictureResult &p, int i) { return (double)p.measures[i].sigma; }, false},
    {"response", [](const PictureResult &p, int i) { return floatText(p.measures[i].response); },
     [](const PictureResult &p, int i) { return (double)p.measures[i].response; }, false},
    {"polarity", [](const PictureResult &p, int i) { return QByteArray(polarityName(p.measures[i].polarity)); },
     [](const PictureResult &p, int i) { return (double)p.measures[i].polarity; }, true},
};
const int kPositionColumns = 2;

// A sequence's frame number, and its time when it has one; a still picture
// among sequences is frame 0, without a time.
const FeatureColumn kFrameColumns[] = {
    {"frame", [](const PictureResult &p, int) { return QByteArray::number(std::max<qint64>(0, p.frame)); },
     [](const PictureResult &p, int) { return (double)std::max<qint64>(0, p.frame); }, false},
    {"t", [](const PictureResult &p, int) { return p.hasTime ? secondsText(p.time) : QByteArray(); },
     [](const PictureResult &p, int) { return p.hasTime ? p.time : std::nan(""); }, false},
};

// A linked feature's track; a feature of a picture that was not linked (a
// still picture among sequences) is in none.
const FeatureColumn kTrackColumn = {
    "track", [](const PictureResult &p, int i) { return QByteArray::number(i < p.tracks.size() ? p.tracks[i] : -1); },
    [](const PictureResult &p, int i) { return (double)(i < p.tracks.size() ? p.tracks[i] : -1); }, false};

} // namespace

QVector<FeatureColumn> featureColumns(bool details, FrameColumns frames, bool track)
{
    QVector<FeatureColumn> columns;
    if (frames != FrameColumns::None)
        columns << kFrameColumns[0];
    if (frames == FrameColumns::FrameAndTime)
        columns << kFrameColumns[1];
    const int count = details ? (int)(sizeof kColumns / sizeof kColumns[0]) : kPositionColumns;
    for (int c = 0; c < count; ++c)
        columns << kColumns[c];
    if (track)
        columns << kTrackColumn;
    return columns;
}

QVector<FeatureColumn> featureColumns(const PictureResult &picture, bool details)
{
    return featureColumns(details, picture.frame < 0 ? FrameColumns::None
                                   : picture.hasTime ? FrameColumns::FrameAndTime
                                                     : FrameColumns::Frame,
                          !picture.tracks.isEmpty());
}

void recordRunSettings(const DetectionSettings &settings, PictureResult *picture)
{
    picture->sigma = settings.sigma;
    picture->threshold = settings.threshold;
    picture->polarity = QLatin1String(settings.polarity == PolarityFilter::Bright ? "bright"
                                      : settings.polarity == PolarityFilter::Dark ? "dark"
                                                                                  : "both");
    if (settings.scales > 1) {
        picture->scales = settings.scales;
        picture->sigmaMax = settings.sigmaMax;
        picture->overlap = settings.overlap;
    }
}

void recordStretch(const StretchUsed &stretch, PictureResult *picture)
{
    if (stretch.mode == StretchMode::None)
        return;
    picture->stretch = stretchName(stretch);
    picture->stretchLo = stretch.lo;
    picture->stretchHi = stretch.hi;
}

const char *polarityName(int8_t polarity)
{
    return polarity == FEATURE_BRIGHT ? "bright" : "dark";
}

const char *motionName(TrackMotion motion)
{
    return motion == TRACK_MOTION_VELOCITY ? "velocity" : motion == TRACK_MOTION_KALMAN ? "kalman" : "none";
}

QByteArray csvField(const QString &text)
{
    QByteArray bytes = text.toUtf8();
    if (bytes.contains(',') || bytes.contains('"') || bytes.contains('\n') || bytes.contains('\r')) {
        bytes.replace("\"", "\"\"");
        bytes = '"' + bytes + '"';
    }
    return bytes;
}

FeatureTableWriter::FeatureTableWriter(QIODevice *device, TableFormat format, bool details, bool fileColumn,
                                       FrameColumns frameColumns, bool trackColumn)
    : device(device), format(format), details(details), fileColumn(fileColumn), frameColumns(frameColumns),
      trackColumn(trackColumn)
{
}

QByteArray secondsText(double seconds)
{
    char text[64];
    std::snprintf(text, sizeof text, "%.6f", seconds);
    return QByteArray(text);
}

bool FeatureTableWriter::put(const QByteArray &bytes)
{
    if (ok && !bytes.isEmpty())
        ok = device->write(bytes) == bytes.size();
    return ok;
}

bool FeatureTableWriter::begin()
{
    if (format == TableFormat::Json)
        return put("[");
    QByteArray header = fileColumn ? "file" : "";
    for (const FeatureColumn &column : featureColumns(details, frameColumns, trackColumn))
        header += (header.isEmpty() ? "" : ",") + QByteArray(column.name);
    return put(header + '\n');
}

QByteArray FeatureTableWriter::csvRows(const PictureResult &picture) const
{
    const QByteArray file = fileColumn ? csvField(picture.file) + ',' : QByteArray();
    QByteArray rows;
    rows.reserve(picture.features.size() * (details ? 64 : 12));
    // The table's columns, whichever picture: a still picture among
    // sequences is frame 0, without a time.
    const QVector<FeatureColumn> columns = featureColumns(details, frameColumns, trackColumn);
    for (int i = 0; i < picture.features.size(); ++i) {
        rows += file;
        for (int c = 0; c < columns.size(); ++c) {
            if (c > 0)
                rows += ',';
            rows += columns[c].text(picture, i);
        }
        rows += '\n';
    }
    return rows;
}

namespace {

// The object of a picture, without its features.
QJsonObject jsonHead(const PictureResult &picture)
{
    QJsonObject object;
    object.insert(QStringLiteral("file"), picture.file);
    object.insert(QStringLiteral("width"), picture.width);
    object.insert(QStringLiteral("height"), picture.height);
    object.insert(QStringLiteral("sigma"), jsonNumber(floatText(picture.sigma)));
    if (picture.scales > 1) {
        object.insert(QStringLiteral("sigma_max"), jsonNumber(floatText(picture.sigmaMax)));
        object.insert(QStringLiteral("scales"), picture.scales);
        object.insert(QStringLiteral("overlap"), jsonNumber(floatText(picture.overlap)));
    }
    object.insert(QStringLiteral("threshold"), jsonNumber(floatText(picture.threshold)));
    if (!picture.stretch.isEmpty()) {
        QJsonObject stretch;
        stretch.insert(QStringLiteral("mode"), picture.stretch);
        if (picture.sequence) {
            // Each frame is mapped by its own range.
            stretch.insert(QStringLiteral("per_frame"), true);
        } else {
            stretch.insert(QStringLiteral("lo"), picture.stretchLo);
            stretch.insert(QStringLiteral("hi"), picture.stretchHi);
        }
        object.insert(QStringLiteral("stretch"), stretch);
    }
    if (picture.streamed)
        object.insert(QStringLiteral("streamed"), true);
    if (picture.sequence) {
        object.insert(QStringLiteral("frames"), picture.frames >= 0 ? QJsonValue(picture.frames) : QJsonValue());
        if (!picture.taken.isEmpty())
            object.insert(QStringLiteral("frames_taken"), picture.taken);
    }
    if (picture.sequence && picture.link.maxDistance > 0.0) {
        QJsonObject link;
        link.insert(QStringLiteral("max_distance"), picture.link.maxDistance);
        link.insert(QStringLiteral("gap"), picture.link.gap);
        link.insert(QStringLiteral("min_length"), picture.link.minLength);
        link.insert(QStringLiteral("motion"), QLatin1String(motionName(picture.link.motion)));
        object.insert(QStringLiteral("tracking"), link);
    }
    return object;
}

// What is known once a picture (or a sequence) has been read and run.
QJsonObject jsonTail(const PictureResult &picture)
{
    QJsonObject object;
    if (picture.sequence) {
        object.insert(QStringLiteral("frames_read"), picture.framesRead);
        object.insert(QStringLiteral("frames_lost"), picture.framesLost);
        object.insert(QStringLiteral("frames_dropped"), picture.framesDropped);
        object.insert(QStringLiteral("frames_per_second"), jsonNumber(printed("%.3f", (float)picture.framesPerSecond)));
    }
    object.insert(QStringLiteral("status"), picture.status);
    if (!picture.error.isEmpty())
        object.insert(QStringLiteral("error"), picture.error);
    QStringList warnings = picture.warnings;
    if (!picture.damage.isEmpty())
        warnings << QStringLiteral("damaged file: %1; the part that could be read was used").arg(picture.damage);
    if (!picture.annotationError.isEmpty())
        warnings << picture.annotationError;
    if (!warnings.isEmpty())
        object.insert(QStringLiteral("warnings"), QJsonArray::fromStringList(warnings));
    object.insert(QStringLiteral("elapsed_msec"), jsonNumber(floatText(picture.elapsedMsec)));
    return object;
}

QJsonArray jsonFeatures(const PictureResult &picture)
{
    QJsonArray features;
    const QVector<FeatureColumn> columns = featureColumns(picture, true);
    for (int i = 0; i < picture.features.size(); ++i) {
        QJsonObject feature;
        for (const FeatureColumn &column : columns) {
            const QByteArray text = column.text(picture, i);
            feature.insert(QLatin1String(column.name),
                           column.jsonText ? QJsonValue(QString::fromLatin1(text)) : jsonNumber(text));
        }
        features.append(feature);
    }
    return features;
}

QByteArray compact(const QJsonObject &object)
{
    return QJsonDocument(object).toJson(QJsonDocument::Compact);
}

} // namespace

QByteArray FeatureTableWriter::jsonObject(const PictureResult &picture)
{
    QJsonObject object = jsonHead(picture);
    const QJsonObject tail = jsonTail(picture);
    for (auto it = tail.begin(); it != tail.end(); ++it)
        object.insert(it.key(), it.value());
    object.insert(QStringLiteral("features"), jsonFeatures(picture));
    return compact(object);
}

bool FeatureTableWriter::beginSequence(const PictureResult &sequence)
{
    if (format == TableFormat::Csv)
        return ok;
    // {"file":...,"features":[ ... then each frame's features, then the
    // tail: an object written in pieces that is one object when whole.
    QByteArray head = compact(jsonHead(sequence));
    head.chop(1);
    const QByteArray separator = first ? "\n" : ",\n";
    first = false;
    inSequence = true;
    firstFeature = true;
    return put(separator + head + ",\"features\":[");
}

bool FeatureTableWriter::writeFrame(const PictureResult &frame)
{
    if (format == TableFormat::Csv)
        return put(csvRows(frame));
    QByteArray features;
    for (const QJsonValue &feature : jsonFeatures(frame)) {
        if (!firstFeature)
            features += ',';
        firstFeature = false;
        features += compact(feature.toObject());
    }
    return put(features);
}

bool FeatureTableWriter::endSequence(const PictureResult &sequence)
{
    if (format == TableFormat::Csv)
        return ok;
    inSequence = false;
    QByteArray tail = compact(jsonTail(sequence));
    tail[0] = ',';
    return put("]" + tail);
}

QByteArray summaryHeader()
{
    return "file,frames,features,status,warning,elapsed_msec,sigma,sigma_max,scales,overlap,threshold,polarity,"
           "stretch\n";
}

QByteArray summaryRow(const PictureResult &picture)
{
    const bool read = picture.status != kPictureUnreadable;
    const char *status = !read ? "unreadable" : picture.status != 0 ? "failed"
                         : !picture.damage.isEmpty() ? "damaged" : "ok";
    QStringList notes;
    if (!picture.error.isEmpty())
        notes << picture.error;
    if (!picture.damage.isEmpty())
        notes << QStringLiteral("damaged file: %1; the part that could be read was used").arg(picture.damage);
    notes << picture.warnings;
    if (!picture.annotationError.isEmpty())
        notes << picture.annotationError;
    const bool range = picture.scales > 1;
    // A sequence's frames read and all their features; a picture is one frame.
    const qint64 frames = picture.sequence ? picture.framesRead : read ? 1 : 0;
    const qint64 features = picture.sequence ? picture.featureCount : picture.features.size();
    QByteArray row = csvField(picture.file) + ',' + QByteArray::number(frames) + ','
                     + QByteArray::number(features) + ',' + status + ','
                     + csvField(notes.join(QStringLiteral("; "))) + ',';
    row += read ? floatText(picture.elapsedMsec) : QByteArray();
    row += ',' + floatText(picture.sigma) + ',' + (range ? floatText(picture.sigmaMax) : QByteArray()) + ','
           + QByteArray::number(picture.scales) + ',' + (range ? floatText(picture.overlap) : QByteArray()) + ','
           + floatText(picture.threshold) + ',' + picture.polarity.toLatin1() + ','
           + (read ? csvField(picture.stretch.isEmpty() ? QStringLiteral("none") : picture.stretch) : QByteArray());
    return row + '\n';
}

bool FeatureTableWriter::write(const PictureResult &picture)
{
    if (format == TableFormat::Csv)
        return put(csvRows(picture));
    const QByteArray separator = first ? "\n" : ",\n";
    first = false;
    return put(separator + jsonObject(picture));
}

bool FeatureTableWriter::finish()
{
    if (format == TableFormat::Json) {
        // An interrupted sequence's object is closed, so that the output
        // stays one valid array.
        if (inSequence)
            put("],\"status\":130,\"error\":\"interrupted\"}");
        inSequence = false;
        put(first ? "]\n" : "\n]\n");
    }
    return ok;
}

TrackTableWriter::TrackTableWriter(QIODevice *device, TableFormat format, bool fileColumn)
    : device(device), format(format), fileColumn(fileColumn)
{
}

bool TrackTableWriter::put(const QByteArray &bytes)
{
    if (ok && !bytes.isEmpty())
        ok = device->write(bytes) == bytes.size();
    return ok;
}

namespace {

// A track's fields in order, as CSV text: whole numbers, positions as the
// sub-pixel ones with three decimals, speed and D with nine significant
// digits; NaN (one detection, too few lags) as nothing.
QList<QPair<const char *, QByteArray>> trackFields(const TrackSummary &track)
{
    const auto real = [](double value) {
        return std::isfinite(value) ? printedDouble("%.9g", value) : QByteArray();
    };
    return {{"track", QByteArray::number(track.track)},
            {"first_frame", QByteArray::number(track.firstFrame)},
            {"last_frame", QByteArray::number(track.lastFrame)},
            {"length", QByteArray::number(track.length)},
            {"mean_x", std::isfinite(track.meanX) ? printedDouble("%.3f", track.meanX) : QByteArray()},
            {"mean_y", std::isfinite(track.meanY) ? printedDouble("%.3f", track.meanY) : QByteArray()},
            {"mean_speed", real(track.meanSpeed)},
            {"diffusion", real(track.diffusion)}};
}

const char *timeUnit(bool timed)
{
    return timed ? "s" : "frame";
}

} // namespace

bool TrackTableWriter::begin()
{
    if (format == TableFormat::Json)
        return put("[");
    QByteArray header = fileColumn ? "file," : "";
    for (const auto &field : trackFields(TrackSummary()))
        header += QByteArray(field.first) + ',';
    return put(header + "time_unit\n");
}

bool TrackTableWriter::write(const SequenceTracks &sequence)
{
    if (format == TableFormat::Csv) {
        const QByteArray file = fileColumn ? csvField(sequence.file) + ',' : QByteArray();
        QByteArray rows;
        for (const TrackSummary &track : sequence.tracks) {
            rows += file;
            for (const auto &field : trackFields(track))
                rows += field.second + ',';
            rows += timeUnit(sequence.timed);
            rows += '\n';
        }
        return put(rows);
    }
    QJsonArray tracks;
    for (const TrackSummary &track : sequence.tracks) {
        QJsonObject object;
        for (const auto &field : trackFields(track))
            object.insert(QLatin1String(field.first), field.second.isEmpty() ? QJsonValue() : jsonNumber(field.second));
        tracks.append(object);
    }
    QJsonObject object;
    object.insert(QStringLiteral("file"), sequence.file);
    object.insert(QStringLiteral("time_unit"), QLatin1String(timeUnit(sequence.timed)));
    object.insert(QStringLiteral("diffusion_lags"), kDiffusionLags);
    object.insert(QStringLiteral("tracks"), tracks);
    const QByteArray separator = first ? "\n" : ",\n";
    first = false;
    return put(separator + compact(object));
}

bool TrackTableWriter::finish()
{
    if (format == TableFormat::Json)
        put(first ? "]\n" : "\n]\n");
    return ok;
}
