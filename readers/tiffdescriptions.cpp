#include "tiffdescriptions.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <QStringList>
#include <QLocale>

#include <cmath>
#include <limits>

namespace {

const qint64 kMaxCount = std::numeric_limits<qint32>::max();

bool wholeCount(const QByteArray &text, qint64 *value)
{
    bool ok = false;
    const qint64 number = text.trimmed().toLongLong(&ok);
    if (!ok || number < 1 || number > kMaxCount)
        return false;
    *value = number;
    return true;
}

// Seconds in one unit of ImageJ's time calibration; 0 for anything else.
double secondsPer(const QByteArray &unit)
{
    const QByteArray u = unit.trimmed().toLower();
    if (u == "s" || u == "sec" || u == "secs" || u == "second" || u == "seconds")
        return 1.0;
    if (u == "ms" || u == "msec" || u == "millisecond" || u == "milliseconds")
        return 1e-3;
    if (u == "us" || u == "usec" || u == "microsecond" || u == "microseconds")
        return 1e-6;
    if (u == "min" || u == "mins" || u == "minute" || u == "minutes")
        return 60.0;
    if (u == "h" || u == "hr" || u == "hour" || u == "hours")
        return 3600.0;
    return 0.0;
}

} // namespace

ImageJStack parseImageJDescription(const QByteArray &description)
{
    ImageJStack stack;
    if (!description.startsWith("ImageJ="))
        return stack;
    stack.present = true;
    double interval = 0.0;
    double unit = 1.0;
    for (const QByteArray &line : description.split('\n')) {
        const int equals = line.indexOf('=');
        if (equals <= 0)
            continue;
        const QByteArray key = line.left(equals).trimmed();
        const QByteArray value = line.mid(equals + 1);
        if (key == "images")
            wholeCount(value, &stack.images);
        else if (key == "channels")
            wholeCount(value, &stack.channels);
        else if (key == "slices")
            wholeCount(value, &stack.slices);
        else if (key == "frames")
            wholeCount(value, &stack.frames);
        else if (key == "finterval") {
            bool ok = false;
            const double number = QLocale::c().toDouble(QString::fromLatin1(value.trimmed()), &ok);
            interval = ok && std::isfinite(number) && number > 0.0 ? number : 0.0;
        } else if (key == "tunit") {
            unit = secondsPer(value);
        }
    }
    stack.interval = interval * unit;
    if (!std::isfinite(stack.interval))
        stack.interval = 0.0;
    return stack;
}

ImageJFrames imageJFrames(const ImageJStack &stack)
{
    ImageJFrames frames;
    if (!stack.present)
        return frames;
    // Each count is at most 2^31 - 1, so these products fit in 64 bits.
    const qint64 perSlice = stack.channels;
    const qint64 perTimePoint = stack.channels * stack.slices;
    QStringList parts;
    if (stack.channels > 1)
        parts << QStringLiteral("channel 1 of %1").arg(stack.channels);
    if (stack.frames > 1) {
        frames.count = stack.frames;
        frames.pageStep = perTimePoint;
        frames.timed = stack.interval > 0.0;
        if (stack.slices > 1)
            parts << QStringLiteral("slice 1 of %1").arg(stack.slices);
        if (!parts.isEmpty())
            frames.taken = parts.join(QStringLiteral(" and ")) + QStringLiteral(" of each time point");
    } else if (stack.slices > 1) {
        frames.count = stack.slices;
        frames.pageStep = perSlice;
        frames.taken = parts.isEmpty() ? QStringLiteral("the slices as frames (a single time point)")
                                       : parts.join(QString()) + QStringLiteral(" of each slice, the slices as frames "
                                                                                "(a single time point)");
    } else {
        frames.taken = parts.join(QString());
    }
    return frames;
}

qint64 shapedPageCount(const QByteArray &description, qint64 pixels)
{
    if (pixels <= 0 || !description.startsWith("{\"shape\":"))
        return 0;
    const QJsonDocument document = QJsonDocument::fromJson(description);
    const QJsonArray shape = document.object().value(QStringLiteral("shape")).toArray();
    if (shape.isEmpty())
        return 0;
    qint64 total = 1;
    for (const QJsonValue &side : shape) {
        const double value = side.toDouble(-1.0);
        // Whole numbers, and a product that stays far inside 64 bits.
        if (!(value >= 1.0 && value <= 2147483647.0) || value != (double)(qint64)value
            || total > (qint64(1) << 62) / (qint64)value)
            return 0;
        total *= (qint64)value;
    }
    return total % pixels == 0 ? total / pixels : 0;
}
