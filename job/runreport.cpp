#include "runreport.h"

#include "detectionpaths.h"
#include "hessiandetector.h"

#include <algorithm>

QString runReport(const DetectionResult &result)
{
    if (result.status == HESSIAN_CANCELLED)
        return QStringLiteral("Cancelled");
    if (result.status != 0)
        return QStringLiteral("Failed");

    // The rate is a float quotient: a run timed at exactly zero reports inf.
    const float framesPerSecond = 1000.0f / result.elapsedMsec;
    // arg() without %L formats in the C locale: a full stop, no grouping.
    return QStringLiteral("Success. Feature count: %1. Time per frame: %2 msec. Frames per second: %3")
        .arg(result.features.size(), 1, 10, QLatin1Char(' '))
        .arg((double)result.elapsedMsec, 4, 'f', 2, QLatin1Char(' '))
        .arg((double)framesPerSecond, 6, 'f', 4, QLatin1Char(' '));
}

QString sequenceReport(int status, qint64 read, qint64 lost, qint64 dropped, qint64 features, double seconds)
{
    if (status != 0)
        return QStringLiteral("Failed");
    const double rate = seconds > 0.0 ? (double)read / seconds : 0.0;
    return QStringLiteral("Success. Frames read: %1, lost: %2, dropped: %3. Feature count: %4. Frames per second: "
                          "%5 (end to end, %6 s)")
        .arg(read).arg(lost).arg(dropped).arg(features)
        .arg(rate, 0, 'f', 2)
        .arg(seconds, 0, 'f', 2);
}

QString runFailureReason(int status, float sigma, float sigmaMax, int width, int height)
{
    switch (status) {
    case HESSIAN_BAD_SIGMA:
        return QStringLiteral("sigma %1 is too large for the detector").arg(std::max(sigma, sigmaMax));
    case HESSIAN_BAD_GAUSS:
    case HESSIAN_BAD_D1:
    case HESSIAN_BAD_D2:
        return QStringLiteral("the kernels for sigma %1 cannot be built (sigma too small)").arg(sigma);
    case HESSIAN_NO_MEMORY:
        return QStringLiteral("not enough memory to run the detector on %1 x %2 pixels").arg(width).arg(height);
    case HESSIAN_CANCELLED:
        return QStringLiteral("the run was cancelled");
    default:
        return QStringLiteral("the detector failed with status %1").arg(status);
    }
}

QString scaleRangeFailureReason(int status, float sigmaMin, float sigmaMax, int scales)
{
    return QStringLiteral("the scale range %1:%2 with %3 scales cannot be set up: %4")
        .arg(sigmaMin)
        .arg(sigmaMax)
        .arg(scales)
        .arg(status == HESSIAN_BAD_SIGMA ? QStringLiteral("its scales are not distinct or too large")
                                         : QStringLiteral("its smallest sigma is too small"));
}

QString nothingSearchedReason(uint32_t radius, int width, int height)
{
    const int64_t reach = 2 * ((int64_t)radius + 1);
    if ((int64_t)width > reach && (int64_t)height > reach)
        return QString();
    return QStringLiteral("is too small for the kernel (radius %1): features lie at least %2 pixels from every "
                          "border, and a %3 x %4 picture has no such pixel, so nothing could be searched")
        .arg(radius)
        .arg((int64_t)radius + 1)
        .arg(width)
        .arg(height);
}
