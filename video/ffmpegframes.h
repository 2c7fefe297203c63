#ifndef FFMPEGFRAMES_H
#define FFMPEGFRAMES_H

#include "frameturn.h"

#include <QImage>
#include <QString>

struct AVFrame;
struct SwsContext;

// Decoded pictures into the detector's layouts.
//
// Colour: one swscale conversion to QImage::Format_RGB32 (FFmpeg's
// AV_PIX_FMT_RGB32), with the flags kSwsFlags below and the frame's own
// tags: its matrix (BT.709, BT.601, FCC, SMPTE 240M, BT.2020; untagged or
// unknown: BT.601, as FFmpeg's scale filter takes it) and its range
// (limited unless tagged full, or a yuvj format). The same conversion as
//   ffmpeg -i VIDEO -sws_flags bicubic+accurate_rnd+full_chroma_int+bitexact
//          -pix_fmt rgb24 frame%04d.png
// so that a frame gives exactly the features of the PNG ffmpeg exports.
//
// Luma: the decoder's Y plane copied as it is into
// QImage::Format_Grayscale8 (8-bit YUV and grey formats); other formats
// (RGB, more than 8 bits) go through swscale to 8-bit grey with the same
// flags.
//
// Turning (a display matrix's quarter turns and flips): the decoded planes
// are turned before the conversion, as FFmpeg's program turns them before
// its own, so that the chroma is interpolated along the same axes; formats
// whose planes cannot be turned so (chroma halved one way only, as 4:2:2,
// under a quarter turn; palettes; bit-packed grey) and the copied luma are
// turned after it.
class FrameConverter
{
public:
    static const int kSwsFlags;

    // `threads` convert slices of each frame at once (the same pixels as one).
    explicit FrameConverter(int threads = 1) : threads(threads) {}
    ~FrameConverter();
    FrameConverter(const FrameConverter &) = delete;
    FrameConverter &operator=(const FrameConverter &) = delete;

    // `frame` into `image`, turned, reusing its pixels when it is the only
    // holder of a buffer of the right size and layout. False with a reason
    // when memory is short or the format cannot be converted.
    bool convert(const AVFrame *frame, bool luma, const FrameTurn &turn, QImage *image, QString *error);

    // How the last frame was converted: "limited"/"full" and the matrix.
    QString range() const { return usedRange; }
    QString matrix() const { return usedMatrix; }

private:
    bool convertAsStored(const AVFrame *frame, bool luma, QImage *image, QString *error);
    // `frame`'s planes turned into `turned`; false when its format cannot
    // be turned plane by plane (or memory is short).
    bool turnPlanes(const AVFrame *frame, const FrameTurn &turn);

    // What the context was made for.
    struct Key {
        int width, height, source, target, range, colorspace;
        bool operator==(const Key &o) const
        {
            return width == o.width && height == o.height && source == o.source && target == o.target
                && range == o.range && colorspace == o.colorspace;
        }
    };
    int threads = 1;
    SwsContext *context = nullptr;
    Key contextKey{};
    QString usedRange;
    QString usedMatrix;
    AVFrame *turned = nullptr;  // the decoded planes turned, reused from frame to frame
    QImage asStored;            // a frame converted before it is turned
};

// The matrix a frame's tag selects, as swscale's SWS_CS_* number and name.
int frameMatrix(int colorspace, QString *name);

#endif // FFMPEGFRAMES_H
