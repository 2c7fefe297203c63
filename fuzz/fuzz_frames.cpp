// Fuzzes what reads sequences: the descriptions ImageJ and tifffile write
// into a TIFF file (the frames, the pages each is, the pages a damaged file
// lost), printf patterns of numbered files, --frames selections, and the
// frames of multi-page TIFF files and FITS cubes read one after another
// through the picture source. Besides "no crash, no leak, no hang": a
// selection's frames come in increasing order within the sequence, and
// every frame of a stack is read or named lost, once.
//
// Input: byte 0's low 2 bits pick the target (0 descriptions, 1 patterns,
// 2 selections, 3 a file); for a file, bits 2-4 pick the selection (all,
// from frame 1, every second frame, frames 1 to 3). The rest is the text or
// the file.

#include "framepattern.h"
#include "picturesource.h"
#include "tiffdescriptions.h"

#include <QBuffer>
#include <QByteArray>
#include <QCoreApplication>
#include <QStringList>

#include <cstdint>
#include <cstdio>
#include <cstdlib>

namespace {

// One execution must stay well under a second.
const qint64 kFuzzMaxPixels = qint64(1) << 16;
const qint64 kFuzzMaxFrames = 64;

void check(bool condition, const char *what)
{
    if (!condition) {
        std::fprintf(stderr, "fuzz_frames: broken: %s\n", what);
        std::abort();
    }
}

void quietMessages(QtMsgType type, const QMessageLogContext &, const QString &message)
{
    if (type == QtFatalMsg) {
        std::fprintf(stderr, "%s\n", message.toLocal8Bit().constData());
        std::abort();
    }
}

void descriptions(const QByteArray &text)
{
    const ImageJStack stack = parseImageJDescription(text);
    check(stack.channels >= 1 && stack.slices >= 1 && stack.frames >= 1 && stack.interval >= 0.0,
          "ImageJ counts below 1 or a negative interval");
    const ImageJFrames frames = imageJFrames(stack);
    check(frames.count >= 1 && frames.pageStep >= 1, "ImageJ frames of no pages");
    check(frames.pageOf(frames.count - 1) >= 0, "an ImageJ page number that overflows");
    for (qint64 pixels : {qint64(1), qint64(3), qint64(4096), (qint64(1) << 40)})
        check(shapedPageCount(text, pixels) >= 0, "a negative page count");
}

void patterns(const QByteArray &bytes)
{
    const QStringList lines = QString::fromUtf8(bytes).split('\n');
    FramePattern pattern;
    if (!parseFramePattern(lines.first(), &pattern))
        return;
    for (const QString &name : lines.mid(1)) {
        qint64 number = -1;
        if (framePatternNumber(pattern, name, &number))
            check(number >= 0 && framePatternName(pattern, number) == name, "a name that is not its number's");
    }
    for (qint64 number : {qint64(0), qint64(7), qint64(123456789012345678)}) {
        qint64 back = -1;
        check(framePatternNumber(pattern, framePatternName(pattern, number), &back) && back == number,
              "a number that does not come back from its name");
    }
}

void selections(const QByteArray &bytes)
{
    FrameRange range;
    if (!parseFrameRange(QString::fromUtf8(bytes), &range))
        return;
    check(range.first >= 0 && range.step >= 1 && (range.end < 0 || range.end > range.first), "a senseless range");
    qint64 at = range.nextFrom(0);
    for (int i = 0; i < 8 && at >= 0; ++i) {
        check(range.contains(at), "nextFrom gave a frame not selected");
        const qint64 next = range.nextFrom(at + 1);
        check(next < 0 || next == at + range.step, "nextFrom skipped a frame");
        at = next;
    }
}

void file(const QByteArray &bytes, int selection)
{
    QByteArray copy = bytes;
    QBuffer device(&copy);
    device.open(QIODevice::ReadOnly);
    QString error;
    std::unique_ptr<PictureSource> source = PictureSource::open(&device, QString(), SourceOptions(), &error);
    if (!source) {
        check(!error.isEmpty(), "a refusal without a reason");
        return;
    }
    const SourceInfo &info = source->info();
    if (info.width * info.height > kFuzzMaxPixels || info.frames > kFuzzMaxFrames)
        return;
    const FrameRange ranges[] = {{0, -1, 1}, {1, -1, 1}, {0, -1, 2}, {1, 4, 1}};
    const FrameRange &range = ranges[selection % 4];
    check(source->select(range, &error), "a stack's selection refused");
    LoadOptions options;
    options.stretch.mode = selection & 4 ? StretchMode::Percentile : StretchMode::Default;
    qint64 read = 0, last = -1;
    SourceFrame frame;
    FrameRead got;
    while ((got = source->next(options, &frame, &error)) == FrameRead::Frame) {
        check(frame.index > last && range.contains(frame.index), "frames out of order or not selected");
        check(frame.index < info.frames, "a frame past the count");
        check(!frame.picture.frame.isNull(), "a frame read without a picture");
        last = frame.index;
        ++read;
    }
    if (got == FrameRead::Failed)
        check(!error.isEmpty(), "a failure without a reason");
    if (info.isSequence() && got == FrameRead::End) {
        qint64 selected = 0;
        for (qint64 i = range.nextFrom(0); i >= 0 && i < info.frames; i = range.nextFrom(i + 1))
            ++selected;
        check(read + source->losses().lostCount == selected, "frames neither read nor named lost");
    }
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *argc, char ***argv)
{
    static QCoreApplication application(*argc, *argv);
    qInstallMessageHandler(quietMessages);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 1)
        return 0;
    const QByteArray rest(reinterpret_cast<const char *>(data) + 1, (int)size - 1);
    switch (data[0] & 3) {
    case 0:
        descriptions(rest);
        break;
    case 1:
        patterns(rest);
        break;
    case 2:
        selections(rest);
        break;
    default:
        file(rest, data[0] >> 2);
        break;
    }
    return 0;
}
