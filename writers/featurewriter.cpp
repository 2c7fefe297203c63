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
QByteArray printed(const char *format, float value)
{
    char text[64];
    std::snprintf(text, sizeof text, format, (double)value);
    return QByteArray(text);
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

} // namespace

void recordRunSettings(const DetectionSettings &settings, PictureResult *picture)
{
    picture->sigma = settings.sigma;
    picture->threshold = settings.threshold;
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
                                       FrameColumns frameColumns)
    : device(device), format(format), details(details), fileColumn(fileColumn), frameColumns(frameColumns)
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
    QByteArray header = fileColumn ? "file," : "";
    if (frameColumns != FrameColumns::None)
        header += frameColumns == FrameColumns::FrameAndTime ? "frame,t," : "frame,";
    header += "x,y";
    if (details)
        header += ",x_subpixel,y_subpixel,sigma,response,polarity";
    return put(header + '\n');
}

QByteArray FeatureTableWriter::csvRows(const PictureResult &picture) const
{
    QByteArray file = fileColumn ? csvField(picture.file) + ',' : QByteArray();
    // A still picture among sequences is frame 0, without a time.
    if (frameColumns != FrameColumns::None)
        file += QByteArray::number(std::max<qint64>(0, picture.frame)) + ',';
    if (frameColumns == FrameColumns::FrameAndTime)
        file += (picture.hasTime ? secondsText(picture.time) : QByteArray()) + ',';
    QByteArray rows;
    rows.reserve(picture.features.size() * (details ? 64 : 12));
    for (int i = 0; i < picture.features.size(); ++i) {
        const Feature &f = picture.features[i];
        rows += file;
        rows += QByteArray::number((int)f.x);
        rows += ',';
        rows += QByteArray::number((int)f.y);
        if (details) {
            const FeatureMeasure &m = picture.measures[i];
            rows += ',' + subpixelText(m.xSubpixel) + ',' + subpixelText(m.ySubpixel) + ','
                    + floatText(m.sigma) + ',' + floatText(m.response) + ',' + polarityName(m.polarity);
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
    for (int i = 0; i < picture.features.size(); ++i) {
        const Feature &f = picture.features[i];
        const FeatureMeasure &m = picture.measures[i];
        QJsonObject feature;
        if (picture.frame >= 0) {
            feature.insert(QStringLiteral("frame"), picture.frame);
            if (picture.hasTime)
                feature.insert(QStringLiteral("t"), jsonNumber(secondsText(picture.time)));
        }
        feature.insert(QStringLiteral("x"), (int)f.x);
        feature.insert(QStringLiteral("y"), (int)f.y);
        feature.insert(QStringLiteral("x_subpixel"), jsonNumber(subpixelText(m.xSubpixel)));
        feature.insert(QStringLiteral("y_subpixel"), jsonNumber(subpixelText(m.ySubpixel)));
        feature.insert(QStringLiteral("sigma"), jsonNumber(floatText(m.sigma)));
        feature.insert(QStringLiteral("response"), jsonNumber(floatText(m.response)));
        feature.insert(QStringLiteral("polarity"), QLatin1String(polarityName(m.polarity)));
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
