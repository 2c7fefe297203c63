// hessian-maxima-cli: the detector for scripts and batches. It loads files
// as the window does, runs the very same detection job, and writes the
// features as CSV or JSON; with one picture, the window's status line goes
// to standard error.

#include "batchrun.h"
#include "featurewriter.h"
#include "hessiandetector.h"
#include "inputfiles.h"
#include "outputfiles.h"
#include "runreport.h"
#include "sequencetracks.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QLocale>
#include <QStringList>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <memory>
#include <set>

#include <unistd.h>

namespace {

const char kProgram[] = "hessian-maxima-cli";

// Exit statuses.
const int kExitFailed = 1;       // a picture could not be read, or its run failed
const int kExitUsage = 2;        // bad command line
const int kExitDamaged = 3;      // every picture was processed, but a file is damaged
const int kExitInterrupted = 130;

const int kMaxRepeat = 1000000;
const int kMaxJobs = 1024;

const char kUsage[] =
    "Usage: hessian-maxima-cli [--sigma S] [--threshold T] [--polarity both|bright|dark]\n"
    "                          [--sigma MIN:MAX --scales N [--overlap F]]\n"
    "                          [--border reflect|nearest|constant|interior]\n"
    "                          [--stretch none|minmax|percentile[:LOW:HIGH]]\n"
    "                          [--stream | --no-stream]\n"
    "                          [--format csv|json] [--details] [--with-filename]\n"
    "                          [--output FILE] [--summary FILE]\n"
    "                          [--annotate DIR] [--force] [--jobs N] [--recursive]\n"
    "                          [--frames A:B[:STEP]] [--sequence] [--luma] [--no-autorotate]\n"
    "                          [--all-frames]\n"
    "                          [--track D [--gap G] [--min-length L]\n"
    "                           [--motion none|velocity|kalman] [--tracks FILE]]\n"
    "                          [--quiet] [--repeat N] PATH...\n"
    "\n"
    "Finds the strict local maxima of the determinant-of-Hessian response at\n"
    "Gaussian scale S that exceed the response threshold T, in each picture.\n"
    "PATH is a picture file, a folder (every picture in it, recognised by\n"
    "content), or - for one picture (or a video stream) on standard input. A\n"
    "video (a file, a camera such as /dev/video0), a multi-page TIFF, a FITS\n"
    "cube and numbered files (frame_%04d.png, or a folder with --sequence) are\n"
    "sequences: each frame is detected, and the rows gain its number (frame)\n"
    "and time (t).\n"
    "\n"
    "  -s, --sigma S      Gaussian scale, a positive number (default 5)\n"
    "  -s, --sigma MIN:MAX  a scale range: blobs found at their own scale, the\n"
    "                     maxima in position and scale over N log-spaced scales\n"
    "  --scales N         the number of scales of a range, 2 to 1000 (default 10)\n"
    "  --overlap F        of two blobs (radius sqrt(2) sigma) of a range run that\n"
    "                     overlap by more than F (0 to 1, of the smaller one's\n"
    "                     area), keep the stronger; 1 keeps all (default 0.1)\n"
    "  --border B         how the picture continues beyond its edges, so that blobs\n"
    "                     there are found at their own scale: reflect (mirrored,\n"
    "                     the edge pixel repeated), nearest (the edge pixel),\n"
    "                     constant (black), or interior (not at all: only pixels\n"
    "                     3 sigma + 2 in from the edges are searched). Default:\n"
    "                     reflect for a scale range, interior for a single sigma\n"
    "  -t, --threshold T  response threshold, features must exceed it (default 100)\n"
    "  --stretch MODE     how samples become the detector's 8-bit levels: none\n"
    "                     (8-bit pictures as they are, 16-bit ones as Qt reads\n"
    "                     them), minmax, or percentile[:LOW:HIGH] (default\n"
    "                     0.1:99.9); each value v becomes\n"
    "                     round((v - lo) / (hi - lo) * 255), clamped to 0..255.\n"
    "                     Default: none for 8-bit pictures, percentile for\n"
    "                     deeper ones (16-bit, 32-bit, float) and for FITS\n"
    "  --stream           read and run pictures in bands of rows (raw PGM and\n"
    "                     PPM, TIFF, FITS): the same features in a fraction of\n"
    "                     the memory; chosen by itself above 32 megapixels\n"
    "  --no-stream        read every picture whole (up to 256 megapixels)\n"
    "  --polarity P       keep both kinds of blob (default), only bright or only dark\n"
    "  --format F         csv (default) or json\n"
    "  --details          CSV: add x_subpixel,y_subpixel,sigma,response,polarity\n"
    "  -H, --with-filename  CSV: a first column \"file\" for a single picture too\n"
    "  -o, --output FILE  write there instead of standard output, replacing FILE\n"
    "                     only once the whole run has been written (a device or\n"
    "                     a named pipe is written to directly)\n"
    "  --summary FILE     also write one CSV row per picture, with or without\n"
    "                     features: file, frames, features, status, warning,\n"
    "                     elapsed_msec and the settings\n"
    "  --annotate DIR     write each picture with its features circled to DIR,\n"
    "                     as a PNG named after the picture (a sequence's frames\n"
    "                     into a folder named after it, NNNNNN.png each)\n"
    "  --annotate VIDEO   one sequence's frames with their circles as a video:\n"
    "                     VIDEO.mkv (FFV1, lossless) or VIDEO.mp4 (H.264)\n"
    "  --force            let --annotate replace pictures already in DIR\n"
    "  -j, --jobs N       pictures in flight at once (default: one per core)\n"
    "  -r, --recursive    look for pictures in the subfolders of folders too\n"
    "  -q, --quiet        no report, summary or progress line on standard error\n"
    "                     (warnings and failures still)\n"
    "  --repeat N         run the timed stages N times and report the median time\n"
    "                     (default 1)\n"
    "  --frames A:B[:STEP]  of each sequence, frames A, A + STEP, ... before B\n"
    "                     (from 0, as a Python slice; A: or :B leave an end open)\n"
    "  --sequence         a folder is one sequence of its pictures in natural\n"
    "                     order (img2 before img10), not a batch\n"
    "  --luma             videos: the decoder's luma plane as the grey frame,\n"
    "                     without the colour conversion (faster; other levels)\n"
    "  --no-autorotate    videos: frames as stored, without the turn their display\n"
    "                     matrix gives them (a phone's portrait video)\n"
    "  --all-frames       cameras, pipes, standard input: keep every frame, waiting\n"
    "                     for detection (default: the newest frame wins and those\n"
    "                     it replaces are counted as dropped)\n"
    "  --track D          link each sequence's features into tracks, a feature\n"
    "                     moving at most D pixels (a positive number) from one\n"
    "                     frame taken to the next, by one optimal assignment per\n"
    "                     pair of frames; the rows gain a last column \"track\"\n"
    "                     (-1: in no track), written once the sequence is read.\n"
    "                     Each sequence is linked on its own, its tracks numbered\n"
    "                     from 0; a still picture among sequences is not linked\n"
    "                     (track -1), and --track with no sequence is refused\n"
    "  --gap G            with --track: a track may go undetected for up to G\n"
    "                     frames in a row (0 to 1000, default 0)\n"
    "  --min-length L     with --track: tracks of fewer than L detections get\n"
    "                     track -1 (default 1)\n"
    "  --motion M         with --track: where a track is looked for in the next\n"
    "                     frame: none (where it was last seen, default), velocity\n"
    "                     (one more of its last step) or kalman (a constant-\n"
    "                     velocity Kalman filter)\n"
    "  --tracks FILE      with --track: also write one row per track to FILE (CSV,\n"
    "                     or JSON when it ends in .json), as --output writes:\n"
    "                     track, first_frame, last_frame, length, mean_x, mean_y,\n"
    "                     mean_speed (pixels per time_unit), diffusion (D in\n"
    "                     pixels^2 per time_unit, from MSD = 4 D t + c over frame\n"
    "                     lags 1 to 4), time_unit (s when the frames have times,\n"
    "                     frame otherwise)\n"
    "  -h, --help         show this help\n"
    "  -V, --version      show the version\n"
    "\n"
    "Standard output: CSV, a header line \"x,y\" and one feature per line, row by\n"
    "row, left to right; with several pictures (or -H) a first column \"file\";\n"
    "with sequences \"frame\" (and \"t\", seconds) before x, and with --track a\n"
    "last column \"track\". JSON: an array with one object per picture or\n"
    "sequence. Standard error: with one picture the run's report line, with\n"
    "several a summary line; one line per failure or damaged file.\n"
    "Exit status: 0 success, 1 a picture could not be read or its run failed,\n"
    "2 bad usage, 3 every picture was processed but a file is damaged (the part\n"
    "that could be read was used), 130 interrupted.\n";

struct Options {
    DetectionSettings detection;
    StretchChoice stretch;
    StreamChoice stream = StreamChoice::Auto;
    bool range = false;          // --sigma MIN:MAX
    bool scalesGiven = false;
    bool overlapGiven = false;
    bool thresholdGiven = false;
    TableFormat format = TableFormat::Csv;
    bool details = false;
    QString output;
    QString annotate;
    bool force = false;
    int jobs = 0;
    bool recursive = false;
    int repeat = 1;
    bool withFilename = false;   // -H
    bool quiet = false;          // -q
    QString summary;             // --summary FILE
    FrameRange frames;
    bool framesGiven = false;
    SourceOptions source;
    // --track (maxDistance 0: not linked), --gap, --min-length, --motion;
    // --tracks FILE.
    TrackLinkSettings link;
    QString linkOptionGiven;     // the first of --gap, --min-length, --motion, --tracks given
    QString tracks;
    QStringList paths;
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

bool parseWholeNumber(const QString &text, int lowest, int highest, int *value)
{
    bool ok = false;
    const int number = text.toInt(&ok);
    if (!ok || number < lowest || number > highest)
        return false;
    *value = number;
    return true;
}

const QStringList kFlags = {QStringLiteral("--details"),   QStringLiteral("--force"),
                            QStringLiteral("--recursive"), QStringLiteral("--stream"),
                            QStringLiteral("--no-stream"), QStringLiteral("--with-filename"),
                            QStringLiteral("--quiet"),     QStringLiteral("--sequence"),
                            QStringLiteral("--luma"),      QStringLiteral("--all-frames"),
                            QStringLiteral("--no-autorotate")};
const QStringList kValued = {QStringLiteral("--sigma"),   QStringLiteral("--scales"),
                             QStringLiteral("--overlap"), QStringLiteral("--threshold"),
                             QStringLiteral("--polarity"), QStringLiteral("--format"),
                             QStringLiteral("--output"),  QStringLiteral("--annotate"),
                             QStringLiteral("--jobs"),    QStringLiteral("--repeat"),
                             QStringLiteral("--stretch"), QStringLiteral("--summary"),
                             QStringLiteral("--frames"),  QStringLiteral("--border"),
                             QStringLiteral("--track"),   QStringLiteral("--gap"),
                             QStringLiteral("--min-length"), QStringLiteral("--motion"),
                             QStringLiteral("--tracks")};

// The short options, as the long ones they stand for.
const struct {
    char letter;
    const char *name;
} kShortOptions[] = {{'s', "--sigma"},  {'t', "--threshold"}, {'o', "--output"},
                     {'j', "--jobs"},   {'r', "--recursive"}, {'q', "--quiet"},
                     {'H', "--with-filename"}, {'V', "--version"}, {'h', "--help"}};

// A cluster of short options ("-rq", "-s3", "-s 3", "-t-5") as long ones,
// getopt's way: flags one after another, and a letter that takes a value
// takes the rest of the cluster, or the next argument when nothing is left.
// False, with the letter that no option has, for anything else.
bool expandShortOptions(const QString &cluster, QStringList *expanded, QChar *unknown)
{
    for (int i = 1; i < cluster.size(); ++i) {
        const char *name = nullptr;
        for (const auto &option : kShortOptions)
            if (cluster[i] == QLatin1Char(option.letter))
                name = option.name;
        if (!name) {
            *unknown = cluster[i];
            return false;
        }
        const QString longName = QLatin1String(name);
        if (kValued.contains(longName) && i + 1 < cluster.size()) {
            *expanded << longName + QLatin1Char('=') + cluster.mid(i + 1);
            return true;
        }
        *expanded << longName;
    }
    return true;
}

// Returns -1 when the option is good, otherwise the exit status.
int applyOption(const QString &name, const QString &value, Options *options)
{
    if (options->linkOptionGiven.isEmpty()
        && (name == QLatin1String("--gap") || name == QLatin1String("--min-length")
            || name == QLatin1String("--motion") || name == QLatin1String("--tracks")))
        options->linkOptionGiven = name;
    if (name == QLatin1String("--track")) {
        double distance = 0.0;
        if (!parseNumber(value, &distance) || !std::isfinite(distance) || !(distance > 0.0))
            return usageError(invalidValue(name, value, "a positive finite number of pixels per frame"));
        options->link.maxDistance = distance;
    } else if (name == QLatin1String("--gap")) {
        int gap = 0;
        if (!parseWholeNumber(value, 0, kMaxTrackGap, &gap))
            return usageError(invalidValue(name, value, "a whole number of frames from 0 to 1000"));
        options->link.gap = gap;
    } else if (name == QLatin1String("--min-length")) {
        int length = 1;
        if (!parseWholeNumber(value, 1, INT32_MAX, &length))
            return usageError(invalidValue(name, value, "a whole number of detections from 1"));
        options->link.minLength = length;
    } else if (name == QLatin1String("--motion")) {
        if (!parseMotionName(value, &options->link.motion))
            return usageError(invalidValue(name, value, "none, velocity or kalman"));
    } else if (name == QLatin1String("--tracks")) {
        if (value.isEmpty())
            return usageError(invalidValue(name, value, "a path"));
        options->tracks = value;
    } else if (name == QLatin1String("--frames")) {
        if (!parseFrameRange(value, &options->frames))
            return usageError(invalidValue(name, value, "A:B[:STEP], frame numbers from 0 with B above A and a STEP "
                                                        "from 1 (A: and :B leave an end open)"));
        options->framesGiven = true;
    } else if (name == QLatin1String("--stretch")) {
        if (!parseStretchName(value, &options->stretch))
            return usageError(invalidValue(name, value, "none, minmax, percentile or percentile:LOW:HIGH "
                                                        "(percentages, 0 <= LOW < HIGH <= 100)"));
    } else if (name == QLatin1String("--repeat")) {
        if (!parseWholeNumber(value, 1, kMaxRepeat, &options->repeat))
            return usageError(invalidValue(name, value, "a whole number from 1 to 1000000"));
    } else if (name == QLatin1String("--jobs")) {
        if (!parseWholeNumber(value, 1, kMaxJobs, &options->jobs))
            return usageError(invalidValue(name, value, "a whole number from 1 to 1024"));
    } else if (name == QLatin1String("--scales")) {
        if (!parseWholeNumber(value, 2, kMaxScales, &options->detection.scales))
            return usageError(invalidValue(name, value, "a whole number from 2 to 1000"));
        options->scalesGiven = true;
    } else if (name == QLatin1String("--overlap")) {
        double number = 0.0;
        if (!parseNumber(value, &number) || !(number >= 0.0 && number <= 1.0))
            return usageError(invalidValue(name, value, "a number from 0 to 1"));
        options->detection.overlap = (float)number;
        options->overlapGiven = true;
    } else if (name == QLatin1String("--sigma") && value.contains(QLatin1Char(':'))) {
        const QStringList ends = value.split(QLatin1Char(':'));
        double low = 0.0, high = 0.0;
        const char *expected = "MIN:MAX, two positive finite numbers, MIN below MAX";
        if (ends.size() != 2 || !parseNumber(ends[0], &low) || !parseNumber(ends[1], &high))
            return usageError(invalidValue(name, value, expected));
        const float lowest = (float)low, highest = (float)high;
        if (!(lowest > 0.0f) || !std::isfinite(highest) || !(lowest < highest))
            return usageError(invalidValue(name, value, expected));
        options->detection.sigma = lowest;
        options->detection.sigmaMax = highest;
        options->range = true;
    } else if (name == QLatin1String("--border")) {
        if (!parseBorderName(value, &options->detection.border))
            return usageError(invalidValue(name, value, "reflect, nearest, constant or interior"));
    } else if (name == QLatin1String("--polarity")) {
        if (!parsePolarityName(value, &options->detection.polarity))
            return usageError(invalidValue(name, value, "both, bright or dark"));
    } else if (name == QLatin1String("--format")) {
        if (value == QLatin1String("csv"))
            options->format = TableFormat::Csv;
        else if (value == QLatin1String("json"))
            options->format = TableFormat::Json;
        else
            return usageError(invalidValue(name, value, "csv or json"));
    } else if (name == QLatin1String("--output") || name == QLatin1String("--annotate")
               || name == QLatin1String("--summary")) {
        if (value.isEmpty())
            return usageError(invalidValue(name, value, "a path"));
        (name == QLatin1String("--output") ? options->output
         : name == QLatin1String("--summary") ? options->summary
                                              : options->annotate) = value;
    } else {
        const bool isSigma = name == QLatin1String("--sigma");
        const char *expected = isSigma ? "a positive finite number" : "a finite number";
        double number = 0.0;
        if (!parseNumber(value, &number))
            return usageError(invalidValue(name, value, expected));
        const float rounded = (float)number;
        if (!std::isfinite(rounded) || (isSigma && !(rounded > 0.0f)))
            return usageError(invalidValue(name, value, expected));
        (isSigma ? options->detection.sigma : options->detection.threshold) = rounded;
        if (isSigma)
            options->range = false;
        else
            options->thresholdGiven = true;
    }
    return -1;
}

// A single sigma is the single-scale run; --scales and --overlap belong to
// a range, which needs them (--overlap has a default) and at least two
// scales. A range whose levels cannot be set up is refused before anything
// runs. Returns -1 when all is well, otherwise the exit status.
int checkRange(Options *options)
{
    if (options->range && options->stream == StreamChoice::Always)
        return usageError(QStringLiteral("--stream runs a single sigma; a scale range (--sigma MIN:MAX) is run on "
                                         "the whole picture"));
    if (!options->range) {
        if (options->scalesGiven || options->overlapGiven)
            return usageError(QStringLiteral("%1 applies only to a scale range, --sigma MIN:MAX")
                                  .arg(QLatin1String(options->scalesGiven ? "--scales" : "--overlap")));
        options->detection.scales = 1;
        return -1;
    }
    if (!options->scalesGiven)
        options->detection.scales = kDefaultScales;
    HessianScaleSpace probe = {};
    const DetectionSettings &d = options->detection;
    const int status = initHessianScaleSpace(&probe, d.sigma, d.sigmaMax, (uint32_t)d.scales, 0, 0);
    releaseHessianScaleSpace(&probe);
    if (status != HESSIAN_OK)
        return usageError(scaleRangeFailureReason(status, d.sigma, d.sigmaMax, d.scales));
    return -1;
}

// Returns -1 when the options are good, otherwise the exit status.
int parseArguments(QStringList arguments, Options *options)
{
    bool optionsEnded = false;
    for (int i = 1; i < arguments.size(); ++i) {
        QString argument = arguments.at(i);
        if (!optionsEnded && argument.size() > 1 && argument.startsWith(QLatin1Char('-'))
            && !argument.startsWith(QLatin1String("--"))) {
            QStringList expanded;
            QChar unknown;
            if (!expandShortOptions(argument, &expanded, &unknown))
                return usageError(QStringLiteral("unknown option '-%1'").arg(unknown));
            arguments.removeAt(i);
            for (int e = expanded.size() - 1; e >= 0; --e)
                arguments.insert(i, expanded[e]);
            argument = arguments.at(i);
        }
        if (optionsEnded || !argument.startsWith(QLatin1Char('-')) || argument == QLatin1String("-")) {
            if (argument == QLatin1String("-") && options->paths.contains(argument))
                return usageError(QStringLiteral("standard input ('-') given more than once"));
            options->paths << argument;
            continue;
        }
        if (argument == QLatin1String("--")) {
            optionsEnded = true;
            continue;
        }
        const bool help = argument == QLatin1String("-h") || argument == QLatin1String("--help");
        if (help || argument == QLatin1String("--version")) {
            // A text that could not be written is a failure like any other.
            const char *text = help ? kUsage : "hessian-maxima-cli " HESSIAN_VERSION "\n";
            if (std::fputs(text, stdout) < 0 || std::fflush(stdout) != 0) {
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
        if (kFlags.contains(name)) {
            if (hasValue)
                return usageError(QStringLiteral("%1 takes no value").arg(name));
            if (name == QLatin1String("--details"))
                options->details = true;
            else if (name == QLatin1String("--with-filename"))
                options->withFilename = true;
            else if (name == QLatin1String("--quiet"))
                options->quiet = true;
            else if (name == QLatin1String("--stream") || name == QLatin1String("--no-stream"))
                options->stream = name == QLatin1String("--stream") ? StreamChoice::Always : StreamChoice::Never;
            else if (name == QLatin1String("--force"))
                options->force = true;
            else if (name == QLatin1String("--sequence"))
                options->source.folderSequence = true;
            else if (name == QLatin1String("--luma"))
                options->source.luma = true;
            else if (name == QLatin1String("--no-autorotate"))
                options->source.autorotate = false;
            else if (name == QLatin1String("--all-frames"))
                options->source.allFrames = true;
            else
                options->recursive = true;
            continue;
        }
        if (!kValued.contains(name))
            return usageError(QStringLiteral("unknown option '%1'").arg(argument));
        if (!hasValue) {
            if (i + 1 >= arguments.size())
                return usageError(QStringLiteral("%1 needs a value").arg(name));
            value = arguments.at(++i);
        }
        const int status = applyOption(name, value, options);
        if (status >= 0)
            return status;
    }
    if (options->paths.isEmpty())
        return usageError(QStringLiteral("no image given"));
    if (options->force && options->annotate.isEmpty())
        return usageError(QStringLiteral("--force applies only with --annotate"));
    if (options->source.folderSequence && options->recursive)
        return usageError(QStringLiteral("--sequence reads a folder's own pictures; it does not go with --recursive"));
    if (!options->linkOptionGiven.isEmpty() && options->link.maxDistance <= 0.0)
        return usageError(QStringLiteral("%1 applies only with --track").arg(options->linkOptionGiven));
    if (!options->tracks.isEmpty() && !options->output.isEmpty()
        && QFileInfo(options->tracks).absoluteFilePath() == QFileInfo(options->output).absoluteFilePath())
        return usageError(QStringLiteral("--tracks and --output name the same file '%1'").arg(options->tracks));
    return checkRange(options);
}

// The annotated pictures of a batch must neither overwrite each other nor,
// without --force, what is already there. Checked before anything runs.
// Returns -1 when all is well, otherwise the exit status.
int checkAnnotations(const QVector<InputPicture> &inputs, const Options &options)
{
    if (options.annotate.isEmpty())
        return -1;
    if (isVideoName(options.annotate)) {
        if (inputs.size() != 1 || !isSequenceInput(inputs.first()))
            return usageError(QStringLiteral("--annotate %1 writes the frames of one sequence as a video; give one "
                                             "sequence, or a folder to --annotate")
                                  .arg(options.annotate));
        if (!options.force && QFileInfo::exists(options.annotate))
            return usageError(QStringLiteral("'%1' exists; --force replaces it").arg(options.annotate));
        if (!QDir().mkpath(QFileInfo(options.annotate).absolutePath()))
            return usageError(QStringLiteral("cannot create the folder for '%1'").arg(options.annotate));
        return -1;
    }
    if (!QDir().mkpath(options.annotate))
        return usageError(QStringLiteral("cannot create the folder '%1' for --annotate").arg(options.annotate));
    std::set<QString> names;
    for (const InputPicture &input : inputs) {
        if (!input.error.isEmpty())
            continue;
        // A sequence's frames go into a folder of their own.
        const QString path = isSequenceInput(input) ? sequenceAnnotationFolder(input, options.annotate)
                                                    : QDir(options.annotate).filePath(input.annotationName);
        if (!names.insert(QDir::cleanPath(path)).second)
            return usageError(QStringLiteral("two pictures would be annotated as '%1'").arg(path));
        if (!options.force && QFileInfo::exists(path))
            return usageError(QStringLiteral("'%1' exists; --force replaces it").arg(path));
    }
    return -1;
}

// A folder given on the command line that holds no picture (inputfiles.h).
bool isEmptyFolder(const PictureResult &picture)
{
    return picture.status == kPictureUnreadable && picture.error.startsWith(QLatin1String("no pictures in it"))
           && QFileInfo(picture.file).isDir();
}

std::atomic<bool> interrupted{false};

void onInterrupt(int)
{
    interrupted.store(true);
}

// While standard error is a terminal: one line, redrawn in place.
class Progress
{
public:
    Progress(int total, bool shown) : total(total), shown(shown) { clock.start(); }

    void update(int done)
    {
        if (!shown || (clock.elapsed() - lastDrawn < 100 && done < total))
            return;
        lastDrawn = clock.elapsed();
        const double seconds = clock.elapsed() / 1000.0;
        const double rate = seconds > 0.0 ? done / seconds : 0.0;
        QString line = QStringLiteral("[%1/%2] %3%").arg(done).arg(total).arg(total ? 100 * done / total : 100);
        if (rate > 0.0)
            line += QStringLiteral("  %1 pictures/s  ETA %2 s").arg(rate, 0, 'f', rate < 10 ? 1 : 0)
                        .arg((int)std::ceil((total - done) / rate));
        std::fprintf(stderr, "\r%s\033[K", line.toLocal8Bit().constData());
        std::fflush(stderr);
        drawn = true;
    }

    void clear()
    {
        if (drawn)
            std::fputs("\r\033[K", stderr);
        drawn = false;
    }

    double seconds() const { return clock.elapsed() / 1000.0; }

private:
    QElapsedTimer clock;
    int total;
    bool shown;
    bool drawn = false;
    qint64 lastDrawn = -1000;
};

} // namespace

int main(int argc, char *argv[])
{
    // A core application is enough to find the image plug-ins; no display.
    QCoreApplication application(argc, argv);

    Options options;
    const int parsed = parseArguments(QCoreApplication::arguments(), &options);
    if (parsed >= 0)
        return parsed;

    const QVector<InputPicture> inputs = expandInputs(options.paths, options.recursive, options.source);
    // One file named on the command line behaves as it always has; a folder
    // or several paths make a batch, whose rows say which file they are from.
    const bool single = options.paths.size() == 1 && inputs.size() == 1
                        && (!QFileInfo(options.paths.first()).isDir() || options.source.folderSequence);
    const int annotationStatus = checkAnnotations(inputs, options);
    if (annotationStatus >= 0)
        return annotationStatus;
    // Linking needs frames: with no sequence among the pictures that can be
    // read, --track is a mistake, said before anything runs.
    if (options.link.maxDistance > 0.0 && std::none_of(inputs.begin(), inputs.end(), isSequenceInput)) {
        const auto still = std::find_if(inputs.begin(), inputs.end(),
                                        [](const InputPicture &input) { return input.error.isEmpty(); });
        if (still != inputs.end())
            return usageError(QStringLiteral("--track links the frames of a sequence; '%1' is a single picture")
                                  .arg(still->path));
    }

    TableOutput output(options.output);
    QString openError;
    if (!output.open(&openError))
        return usageError(openError);
    const bool tracking = options.link.maxDistance > 0.0;
    // --tracks: one row per track, written as --output is.
    TableOutput tracksOutput(options.tracks);
    if (!options.tracks.isEmpty() && !tracksOutput.open(&openError))
        return usageError(openError);

    std::signal(SIGINT, onInterrupt);
    std::signal(SIGTERM, onInterrupt);

    BatchSettings settings;
    settings.detection = options.detection;
    settings.stretch = options.stretch;
    settings.stream = options.stream;
    settings.repeat = options.repeat;
    settings.jobs = options.jobs;
    (isVideoName(options.annotate) ? settings.annotateVideo : settings.annotateFolder) = options.annotate;
    settings.frames = options.frames;
    settings.source = options.source;
    settings.link = options.link;

    // Sequences give their rows a frame number, and a time when they have
    // one; a table of still pictures alone is as it always was.
    FrameColumns frameColumns = FrameColumns::None;
    for (const InputPicture &input : inputs)
        if (isSequenceInput(input))
            frameColumns = input.source->info().timed || frameColumns == FrameColumns::FrameAndTime
                               ? FrameColumns::FrameAndTime
                               : FrameColumns::Frame;
    FeatureTableWriter writer(output.device(), options.format, options.details, !single || options.withFilename,
                              frameColumns, tracking);
    TrackTableWriter trackWriter(tracksOutput.device(),
                                 options.tracks.endsWith(QLatin1String(".json"), Qt::CaseInsensitive)
                                     ? TableFormat::Json
                                     : TableFormat::Csv,
                                 !single || options.withFilename);
    bool tracksFailed = !options.tracks.isEmpty() && !trackWriter.begin();
    // With one picture, CSV output appears only for a successful run, as it
    // always has; JSON always says what happened.
    bool begun = false;
    bool writeFailed = false;
    const auto begin = [&] {
        if (!begun)
            writeFailed = !writer.begin();
        begun = true;
    };
    if (!single || options.format == TableFormat::Json)
        begin();

    Progress progress(inputs.size(), !single && !options.quiet && isatty(fileno(stderr)));
    int read = 0, failed = 0, damaged = 0, done = 0;
    int emptyFolders = 0;   // folders given that hold no picture
    QByteArray summary = summaryHeader();
    qint64 featureCount = 0;
    // Sequences: how many, their frames read, lost and dropped, and the
    // time spent running them.
    int sequences = 0;
    qint64 framesRead = 0, framesLost = 0, framesDropped = 0;
    double sequenceSeconds = 0.0;
    PictureResult last;
    // What a picture's (or a sequence's) run leaves to say on standard
    // error, its count and its summary row.
    const auto report = [&](const PictureResult &picture) {
        if (picture.status == kPictureUnreadable && isEmptyFolder(picture)) {
            ++emptyFolders;
            progress.clear();
            complain(QStringLiteral("no pictures in '%1'%2")
                         .arg(picture.file, options.recursive ? QStringLiteral(" or its subfolders")
                                                              : QStringLiteral(" (--recursive looks in subfolders)")));
        } else if (picture.status == kPictureUnreadable) {
            ++failed;
            progress.clear();
            const char *what = QFileInfo(picture.file).isDir() ? "folder" : "image";
            complain(QStringLiteral("cannot read %1 '%2': %3").arg(QLatin1String(what), picture.file, picture.error));
        } else {
            ++read;
            for (const QString &warning : picture.warnings) {
                progress.clear();
                complain(QStringLiteral("warning: '%1' %2").arg(picture.file, warning));
            }
            // The part that could be read is processed, but never passes for
            // a clean file.
            if (!picture.damage.isEmpty()) {
                ++damaged;
                progress.clear();
                complain(QStringLiteral("warning: '%1' is damaged (%2); the part that could be read was processed")
                             .arg(picture.file, picture.damage));
            }
            if (picture.status != 0) {
                ++failed;
                progress.clear();
                const QString reason = runFailureReason(picture.status, picture.sigma, picture.sigmaMax, picture.width, picture.height);
                complain(single ? reason : QStringLiteral("'%1': %2").arg(picture.file, reason));
            }
            if (!picture.annotationError.isEmpty()) {
                ++failed;
                progress.clear();
                complain(QStringLiteral("'%1': %2").arg(picture.file, picture.annotationError));
            }
        }
        if (single)
            last = picture;
        if (!isEmptyFolder(picture))
            summary += summaryRow(picture);
        progress.update(++done);
    };
    const auto deliver = [&](const PictureResult &picture) {
        report(picture);
        featureCount += picture.features.size();
        if (picture.status == 0)
            begin();
        if (begun && !writeFailed && (picture.status == 0 || options.format == TableFormat::Json || !single)) {
            if (tracking) {
                // A still picture among linked sequences: in no track.
                PictureResult unlinked = picture;
                unlinked.tracks.fill(-1, picture.features.size());
                writeFailed = !writer.write(unlinked);
            } else {
                writeFailed = !writer.write(picture);
            }
        }
        return !writeFailed;
    };
    // A sequence's frames are written as they come: its object (JSON) is
    // opened with the first frame and closed with the sequence's record.
    // Linked (--track), they are held until the last one is read, linked,
    // and written then (what an interruption leaves is linked too).
    const auto runSequenceAt = [&](const InputPicture &input) {
        bool opened = false;
        QVector<PictureResult> held;
        // The object's head, with the stretch the first frame was made with.
        const auto open = [&](const PictureResult &first) {
            begin();
            PictureResult head = sequenceRecord(input, settings);
            if (head.stretch.isEmpty())
                head.stretch = first.stretch;
            if (!writeFailed)
                writeFailed = !writer.beginSequence(head);
            opened = true;
        };
        const auto writeFrame = [&](const PictureResult &frame) {
            if (!opened)
                open(frame);
            if (!writeFailed)
                writeFailed = !writer.writeFrame(frame);
            return !writeFailed;
        };
        const PictureResult sequence = runSequenceInput(input, settings, [&](const PictureResult &frame) {
            featureCount += frame.features.size();
            if (!tracking)
                return writeFrame(frame);
            held << frame;
            return true;
        }, &interrupted);
        if (!held.isEmpty()) {
            SequenceTracks tracks;
            tracks.file = sequence.file;
            QString error;
            if (!linkSequenceFrames(&held, settings.frames, options.link, &tracks, &error)) {
                ++failed;
                complain(QStringLiteral("'%1': %2").arg(sequence.file, error));
            } else if (!options.tracks.isEmpty() && !tracksFailed) {
                tracksFailed = !trackWriter.write(tracks);
            }
            for (const PictureResult &frame : held)
                if (!writeFrame(frame))
                    break;
            held.clear();
        }
        if (interrupted.load() || writeFailed)
            return false;  // finish() closes what is open
        if (!opened && (sequence.status == 0 || options.format == TableFormat::Json || !single)) {
            begin();
            if (!writeFailed)
                writeFailed = !writer.write(sequence);
        } else if (opened && !writeFailed) {
            writeFailed = !writer.endSequence(sequence);
        }
        ++sequences;
        framesRead += sequence.framesRead;
        framesLost += sequence.framesLost;
        framesDropped += sequence.framesDropped;
        if (sequence.framesPerSecond > 0.0)
            sequenceSeconds += sequence.framesRead / sequence.framesPerSecond;
        report(sequence);
        return !writeFailed;
    };
    // Still pictures run as a batch, several at once; a sequence runs alone
    // on every core, its frames several at once.
    int delivered = 0;
    for (int at = 0; at < inputs.size() && !interrupted.load() && !writeFailed;) {
        if (isSequenceInput(inputs[at])) {
            if (runSequenceAt(inputs[at]))
                ++delivered;
            ++at;
            continue;
        }
        int end = at;
        while (end < inputs.size() && !isSequenceInput(inputs[end]))
            ++end;
        delivered += runBatch(inputs.mid(at, end - at), settings, deliver, &interrupted);
        at = end;
    }
    progress.clear();

    if (begun && !writeFailed)
        writeFailed = !writer.finish();
    // The summary, whole or not at all, once the run is complete.
    if (!options.summary.isEmpty() && !interrupted.load()) {
        QString reason;
        if (!writeWholeFile(options.summary, summary, &reason)) {
            complain(QStringLiteral("cannot write the summary to '%1': %2").arg(options.summary, reason));
            return kExitFailed;
        }
    }
    if (!writeFailed)
        writeFailed = !output.close(!interrupted.load());
    if (writeFailed) {
        complain(QStringLiteral("cannot write to %1: %2").arg(output.name(), output.errorString()));
        output.cancel();
        tracksOutput.cancel();
        return kExitFailed;
    }
    if (!options.tracks.isEmpty()) {
        if (!tracksFailed)
            tracksFailed = !trackWriter.finish() || !tracksOutput.close(!interrupted.load());
        if (tracksFailed) {
            complain(QStringLiteral("cannot write the tracks to %1: %2").arg(tracksOutput.name(), tracksOutput.errorString()));
            tracksOutput.cancel();
            return kExitFailed;
        }
    }
    if (interrupted.load()) {
        output.cancel();
        tracksOutput.cancel();
        QString unwritten;
        for (const TableOutput *file : {&output, &tracksOutput})
            if (file->replacesFile())
                unwritten += QStringLiteral("; %1 not written").arg(file->name());
        complain(QStringLiteral("interrupted after %1 of %2 pictures%3").arg(delivered).arg(inputs.size()).arg(unwritten));
        return kExitInterrupted;
    }

    if (options.quiet) {
        // Nothing more to say.
    } else if (single && last.sequence) {
        if (last.status != kPictureUnreadable)
            std::fprintf(stderr, "%s\n",
                         sequenceReport(last.status, last.framesRead, last.framesLost, last.framesDropped,
                                        featureCount, sequenceSeconds)
                             .toLocal8Bit().constData());
    } else if (single) {
        // The window's status line, "Success. ..." or "Failed".
        if (last.status != kPictureUnreadable && !isEmptyFolder(last))
            std::fprintf(stderr, "%s\n",
                         runReport(DetectionResult{last.features, last.status, last.elapsedMsec, last.measures})
                             .toLocal8Bit().constData());
    } else if (inputs.size() > emptyFolders) {
        const QString ofThem = damaged ? QStringLiteral(" (%1 damaged)").arg(damaged) : QString();
        const QString frames =
            sequences ? QStringLiteral(" (%1 sequence%2: %3 frames read, %4 lost, %5 dropped, %6 frames per second)")
                            .arg(sequences).arg(QLatin1String(sequences == 1 ? "" : "s")).arg(framesRead)
                            .arg(framesLost).arg(framesDropped)
                            .arg(sequenceSeconds > 0.0 ? framesRead / sequenceSeconds : 0.0, 0, 'f', 2)
                      : QString();
        std::fprintf(stderr, "%d pictures%s, %d read%s, %d failed, %lld features, %.1f s\n",
                     inputs.size() - emptyFolders, frames.toLocal8Bit().constData(), read,
                     ofThem.toLocal8Bit().constData(), failed, featureCount, progress.seconds());
    }
    if (failed > 0 || emptyFolders > 0)
        return kExitFailed;
    return damaged > 0 ? kExitDamaged : 0;
}
