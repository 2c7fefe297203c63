#ifndef FFMPEGFRAMES_H
#define FFMPEGFRAMES_H

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
class FrameConverter
{
public:
    static const int kSwsFlags;

    // `threads` convert slices of each frame at once (the same pixels as one).
    explicit FrameConverter(int threads = 1) : threads(threads) {}
    ~FrameConverter();
    FrameConverter(const FrameConverter &) = delete;
    FrameConverter &operator=(const FrameConverter &) = delete;

    // `frame` into `image`, reusing its pixels when it is the only holder
    // of a buffer of the right size and layout. False with a reason when
    // memory is short or the format cannot be converted.
    bool convert(const AVFrame *frame, bool luma, QImage *image, QString *error);

    // How the last frame was converted: "limited"/"full" and the matrix.
    QString range() const { return usedRange; }
    QString matrix() const { return usedMatrix; }

private:
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
};

// The matrix a frame's tag selects, as swscale's SWS_CS_* number and name.
int frameMatrix(int colorspace, QString *name);

#endif // FFMPEGFRAMES_H
