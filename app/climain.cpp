// hessian-maxima-cli: the detector for scripts. It loads a file as the
// window does, runs the very same detection job, writes the features as CSV
// to standard output and the window's status line to standard error.

#include "detectionjob.h"
#include "hessiandetector.h"
#include "frameloading.h"
#include "runreport.h"

#include <QCoreApplication>
#include <QLocale>
#include <QStringList>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <vector>

namespace {

const char kProgram[] = "hessian-maxima-cli";

// Exit statuses.
const int kExitFailed = 1;  // unreadable image, or the detection failed
const int kExitUsage = 2;   // bad command line
const int kExitDamaged = 3; // the picture was processed but the file is damaged

const int kMaxRepeat = 1000000;

const char kUsage[] =
    "Usage: hessian-maxima-cli [--sigma S] [--threshold T] [--repeat N] IMAGE\n"
    "\n"
    "Finds the strict local maxima of the determinant-of-Hessian response of\n"
    "IMAGE at Gaussian scale S that exceed the response threshold T.\n"
    "\n"
    "  --sigma S      Gaussian scale, a positive number (default 5)\n"
    "  --threshold T  response threshold, features must exceed it (default 100)\n"
    "  --repeat N     run the timed stages N times and report the median time\n"
    "                 (default 1)\n"
    "  -h, --help     show this help\n"
    "\n"
    "Standard output: CSV, a header line \"x,y\" and one feature per line, row by\n"
    "row, left to right. Standard error: the run's report line, after a warning\n"
    "line when the file is damaged.\n"
    "Exit status: 0 success, 1 unreadable image or failed run, 2 bad usage,\n"
    "3 the picture was processed but the file is damaged.\n";

struct Options {
    float sigma = 5.0f;
    float threshold = 100.0f;
    int repeat = 1;
    QString imagePath;
};

void complain(const QString &message)
{
    std::fprintf(stderr, "%s: %s\n", kProgram, message.toLocal8Bit().constData());
}

int usageError(const QString &message)
{
    complain(message + QStringLiteral(" (see --help)"));
    return kExitUsage;
}

// Numbers are read in the C locale, whatever the environment says; the
// window hands its spin-box doubles to the job rounded to float, and so do we.
bool parseNumber(const QString &text, double *value)
{
    bool ok = false;
    *value = QLocale::c().toDouble(text, &ok);
    return ok;
}

QString invalidValue(const QString &option, const QString &text, const char *expected)
{
    return QStringLiteral("invalid value '%1' for %2: expected %3")
        .arg(text, option, QLatin1String(expected));
}

// Returns -1 when the options are good, otherwise the exit status.
int parseArguments(const QStringList &arguments, Options *options)
{
    bool imageGiven = false;
    bool optionsEnded = false;
    for (int i = 1; i < arguments.size(); ++i) {
        QString argument = arguments.at(i);
        if (optionsEnded || !argument.startsWith(QLatin1Char('-')) || argument == QLatin1String("-")) {
            if (imageGiven)
                return usageError(QStringLiteral("more than one image given ('%1' and '%2')")
                                      .arg(options->imagePath, argument));
            options->imagePath = argument;
            imageGiven = true;
            continue;
        }
        if (argument == QLatin1String("--")) {
            optionsEnded = true;
            continue;
        }
        if (argument == QLatin1String("-h") || argument == QLatin1String("--help")) {
            if (std::fputs(kUsage, stdout) < 0 || std::fflush(stdout) != 0) {
                complain(QStringLiteral("cannot write to standard output"));
                return kExitFailed;
            }
            return 0;
        }

        QString name = argument;
        QString value;
        bool hasValue = false;
        const int equals = argument.indexOf(QLatin1Char('='));
        if (argument.startsWith(QLatin1String("--")) && equals > 0) {
            name = argument.left(equals);
            value = argument.mid(equals + 1);
            hasValue = true;
        }
        if (name != QLatin1String("--sigma") && name != QLatin1String("--threshold")
            && name != QLatin1String("--repeat"))
            return usageError(QStringLiteral("unknown option '%1'").arg(argument));
        if (!hasValue) {
            if (i + 1 >= arguments.size())
                return usageError(QStringLiteral("%1 needs a value").arg(name));
            value = arguments.at(++i);
        }

        if (name == QLatin1String("--repeat")) {
            bool ok = false;
            const int repeat = value.toInt(&ok);
            if (!ok || repeat < 1 || repeat > kMaxRepeat)
                return usageError(invalidValue(name, value, "a whole number from 1 to 1000000"));
            options->repeat = repeat;
            continue;
        }
        const bool isSigma = name == QLatin1String("--sigma");
        const char *expected = isSigma ? "a positive finite number" : "a finite number";
        double number = 0.0;
        if (!parseNumber(value, &number))
            return usageError(invalidValue(name, value, expected));
        const float rounded = (float)number;
        if (!std::isfinite(rounded) || (isSigma && !(rounded > 0.0f)))
            return usageError(invalidValue(name, value, expected));
        if (isSigma)
            options->sigma = rounded;
        else
            options->threshold = rounded;
    }
    if (!imageGiven)
        return usageError(QStringLiteral("no image given"));
    return -1;
}

float median(std::vector<float> values)
{
    std::sort(values.begin(), values.end());
    const size_t middle = values.size() / 2;
    if (values.size() % 2 == 1)
        return values[middle];
    return (values[middle - 1] + values[middle]) / 2.0f;
}

QString failureReason(int status, float sigma, const QSize &size)
{
    switch (status) {
    case HESSIAN_BAD_SIGMA:
        return QStringLiteral("sigma %1 is too large for the detector").arg(sigma);
    case HESSIAN_BAD_GAUSS:
    case HESSIAN_BAD_D1:
    case HESSIAN_BAD_D2:
        return QStringLiteral("the kernels for sigma %1 cannot be built (sigma too small)").arg(sigma);
    case HESSIAN_NO_MEMORY:
        return QStringLiteral("not enough memory to run the detector on %1 x %2 pixels")
            .arg(size.width())
            .arg(size.height());
    default:
        return QStringLiteral("the detector failed with status %1").arg(status);
    }
}

bool writeFeatures(const QVector<Feature> &features)
{
    QByteArray csv("x,y\n");
    csv.reserve(4 + features.size() * 12);
    for (const Feature &feature : features) {
        csv += QByteArray::number((int)feature.x);
        csv += ',';
        csv += QByteArray::number((int)feature.y);
        csv += '\n';
    }
    return std::fwrite(csv.constData(), 1, (size_t)csv.size(), stdout) == (size_t)csv.size()
           && std::fflush(stdout) == 0;
}

} // namespace

int main(int argc, char *argv[])
{
    // A core application is enough to find the image plug-ins; no display.
    QCoreApplication application(argc, argv);

    Options options;
    const int parsed = parseArguments(QCoreApplication::arguments(), &options);
    if (parsed >= 0)
        return parsed;

    QImage frame;
    QString error;
    QString damage;
    if (!loadFrame(options.imagePath, &frame, &error, &damage)) {
        complain(QStringLiteral("cannot read image '%1': %2").arg(options.imagePath, error));
        return kExitFailed;
    }
    // The part that could be read is processed, but never passes for a
    // clean file.
    if (!damage.isEmpty())
        complain(QStringLiteral("warning: '%1' is damaged (%2); the part that could be read was processed")
                     .arg(options.imagePath, damage));

    DetectionResult result = runDetectionJob(frame, options.sigma, options.threshold);
    std::vector<float> times{result.elapsedMsec};
    for (int run = 1; run < options.repeat && result.status == 0; ++run) {
        result = runDetectionJob(frame, options.sigma, options.threshold);
        times.push_back(result.elapsedMsec);
    }
    if (result.status == 0)
        result.elapsedMsec = median(times);

    // A failed run has no feature list to give, not an empty one; the
    // report line stays the window's "Failed", after a line that says why.
    if (result.status != 0)
        complain(failureReason(result.status, options.sigma, frame.size()));
    if (result.status == 0 && !writeFeatures(result.features)) {
        complain(QStringLiteral("cannot write to standard output"));
        return kExitFailed;
    }
    std::fprintf(stderr, "%s\n", runReport(result).toLocal8Bit().constData());
    if (result.status != 0)
        return kExitFailed;
    return damage.isEmpty() ? 0 : kExitDamaged;
}
