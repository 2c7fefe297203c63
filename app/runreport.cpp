#include "runreport.h"

QString runReport(const HessianMaximaMainWin::_HessianDetMaxResult &result)
{
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
