// Fuzzes what happens to a video a person opens: the bytes, as a container
// in memory, go through the FFmpeg module's decoder (demuxer probing, the
// decoder, the conversion to the detector's layout, the turn a display
// matrix asks for, the damage bookkeeping) and, now and then, a seek.
// Either a refusal with a reason or frames in increasing order with an end
// must come out, within the frame limit.
//
// Input: byte 0 picks the options (bit 0: luma; bit 1: seek to the frame
// named by bits 2-7 after the first frame), the rest is the container.

#include "ffmpegdecoder.h"
#include "frameturn.h"

extern "C" {
#include <libavutil/mem.h>
}

#include <QImage>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

namespace {

// Fuzzing only: one execution must stay well under a second and a few
// hundred megabytes.
const qint64 kFuzzMaxPixels = qint64(1) << 20;
const int kFuzzMaxFrames = 40;

void check(bool condition, const char *what)
{
    if (!condition) {
        std::fprintf(stderr, "fuzz_video: broken: %s\n", what);
        std::abort();
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    // FFmpeg's own allocations are capped too (by default at INT_MAX each).
    av_max_alloc(size_t(256) << 20);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 1)
        return 0;
    const uint8_t flags = data[0];
    // Any nine numbers as a display matrix (NaN angles, huge or zero
    // scales): a whole turn or a refusal, never a crash.
    if (size >= 1 + 9 * sizeof(int32_t)) {
        int32_t matrix[9];
        std::memcpy(matrix, data + 1, sizeof matrix);
        FrameTurn turn;
        double degrees = 0.0;
        if (displayMatrixTurn(matrix, &turn, &degrees))
            check(degrees > -1.0 && degrees < 360.0, "a turn for an angle out of range");
        else
            check(turn.none() && (std::isnan(degrees) || (degrees > -1.0 && degrees < 360.0)),
                  "a refused angle that turns");
    }
    VideoInput input;
    input.inMemory = true;
    input.bytes = QByteArray(reinterpret_cast<const char *>(data + 1), (int)(size - 1));
    VideoOptions options;
    options.luma = flags & 1;
    options.decoderThreads = 1;
    options.maxFramePixels = kFuzzMaxPixels;
    QString error;
    std::unique_ptr<VideoDecoder> decoder(openFfmpegDecoder(input, options, &error));
    if (!decoder) {
        check(!error.isEmpty(), "a refusal without a reason");
        return 0;
    }
    const VideoInfo &info = decoder->info();
    check(!info.live && info.seekable, "bytes in memory taken for a live source");
    check((qint64)info.width * info.height <= kFuzzMaxPixels, "opened over the frame limit");

    VideoFrame frame;
    qint64 last = -1;
    bool sought = false;
    for (int i = 0; i < kFuzzMaxFrames; ++i) {
        const VideoRead read = decoder->decode(&frame, &error);
        if (read != VideoRead::Frame) {
            check(read == VideoRead::End || !error.isEmpty(), "a failure without a reason");
            break;
        }
        check(!frame.image.isNull(), "a frame without pixels");
        check(frame.image.format() == (options.luma ? QImage::Format_Grayscale8 : QImage::Format_RGB32),
              "a frame in another layout");
        check((qint64)frame.image.width() * frame.image.height() <= kFuzzMaxPixels, "a frame over the limit");
        check(frame.index > last, "frames out of order");
        last = frame.index;
        if ((flags & 2) && !sought) {
            sought = true;
            const qint64 target = flags >> 2;
            if (decoder->seek(target, &error))
                last = target - 1;
            else
                check(!error.isEmpty(), "a failed seek without a reason");
        }
    }
    const VideoDamage damage = decoder->damage();
    check(damage.lostFrames >= 0 && damage.concealedFrames >= 0, "negative damage");
    (void)decoder->messages();
    return 0;
}
