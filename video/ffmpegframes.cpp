#include "ffmpegframes.h"

extern "C" {
#include <libavutil/frame.h>
#include <libavutil/imgutils.h>
#include <libavutil/opt.h>
#include <libavutil/pixdesc.h>
#include <libswscale/swscale.h>
}

#include <sys/mman.h>

#include <algorithm>
#include <climits>
#include <cstring>

// Exact rounding, chroma interpolated to every pixel (bicubic) rather than
// shared by 2x2 pixels, and swscale's portable C code instead of its
// vector code, whose rounding differs from host to host.
const int FrameConverter::kSwsFlags = SWS_BICUBIC | SWS_ACCURATE_RND | SWS_FULL_CHR_H_INT | SWS_BITEXACT;

namespace {

// The layouts as FFmpeg names them.
const AVPixelFormat kRgb32 = AV_PIX_FMT_RGB32;  // 0xAARRGGBB in the host's order, as QImage::Format_RGB32
const AVPixelFormat kGrey = AV_PIX_FMT_GRAY8;

// The frame's luma samples, if they can be copied as they are: 8 bits, one
// byte each, in the first plane (planar YUV, NV12, grey, YUYV, UYVY).
bool copyableLuma(const AVPixFmtDescriptor *desc, int *step, int *offset)
{
    if (!desc || (desc->flags & (AV_PIX_FMT_FLAG_RGB | AV_PIX_FMT_FLAG_PAL | AV_PIX_FMT_FLAG_HWACCEL
                                 | AV_PIX_FMT_FLAG_BITSTREAM | AV_PIX_FMT_FLAG_FLOAT | AV_PIX_FMT_FLAG_BE)))
        return false;
    const AVComponentDescriptor &y = desc->comp[0];
    if (desc->nb_components < 1 || y.plane != 0 || y.depth != 8 || y.shift != 0 || (y.step != 1 && y.step != 2))
        return false;
    *step = y.step;
    *offset = y.offset;
    return true;
}

// The pixels belong to a QImage, which outlives the conversion.
void keepPixels(void *, uint8_t *) {}

// Frame pixels are mapped apart from the C heap. A run makes a frame now
// and then (the reader keeps one, the stream changes size) and lets some
// go; from the heap, the first frame freed raises glibc's mmap threshold to
// a frame's size, later frames are carved from a heap that fragments, and a
// long video came to peak above a short one.
struct MappedPixels {
    size_t bytes;  // of the whole mapping, this header included
};
const size_t kPixelsOffset = 64;  // keeps the rows as aligned as the heap's

void unmapPixels(void *info)
{
    munmap(info, static_cast<MappedPixels *>(info)->bytes);
}

QImage mappedImage(int width, int height, QImage::Format format)
{
    const qint64 depth = format == QImage::Format_Grayscale8 ? 8 : 32;
    const qint64 bytesPerLine = ((qint64)width * depth + 31) / 32 * 4;  // QImage's own rows
    const qint64 bytes = bytesPerLine * height + (qint64)kPixelsOffset;
    if (width <= 0 || height <= 0 || bytesPerLine > INT_MAX)
        return QImage();
    void *mapping = mmap(nullptr, (size_t)bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (mapping == MAP_FAILED)
        return QImage();
    static_cast<MappedPixels *>(mapping)->bytes = (size_t)bytes;
    QImage image(static_cast<uchar *>(mapping) + kPixelsOffset, width, height, (int)bytesPerLine, format,
                 &unmapPixels, mapping);
    if (image.isNull())
        munmap(mapping, (size_t)bytes);
    return image;
}

bool ensureImage(QImage *image, int width, int height, QImage::Format format, QString *error)
{
    if (image->isDetached() && image->width() == width && image->height() == height && image->format() == format)
        return true;
    *image = mappedImage(width, height, format);
    if (image->isNull()) {
        *error = QStringLiteral("out of memory for a %1 x %2 frame").arg(width).arg(height);
        return false;
    }
    return true;
}

}  // namespace

int frameMatrix(int colorspace, QString *name)
{
    // As FFmpeg's scale filter reads the tag; the rest is BT.601.
    switch (colorspace) {
    case AVCOL_SPC_BT709:
        *name = QStringLiteral("bt709");
        return SWS_CS_ITU709;
    case AVCOL_SPC_FCC:
        *name = QStringLiteral("fcc");
        return SWS_CS_FCC;
    case AVCOL_SPC_SMPTE240M:
        *name = QStringLiteral("smpte240m");
        return SWS_CS_SMPTE240M;
    case AVCOL_SPC_BT2020_NCL:
    case AVCOL_SPC_BT2020_CL:
        *name = QStringLiteral("bt2020");
        return SWS_CS_BT2020;
    default:
        *name = QStringLiteral("bt601");
        return SWS_CS_ITU601;
    }
}

FrameConverter::~FrameConverter()
{
    sws_freeContext(context);
    av_frame_free(&turned);
}

bool FrameConverter::convert(const AVFrame *frame, bool luma, const FrameTurn &turn, QImage *image, QString *error)
{
    if (turn.none())
        return convertAsStored(frame, luma, image, error);
    int step = 1;
    int offset = 0;
    const bool copied = luma && copyableLuma(av_pix_fmt_desc_get(static_cast<AVPixelFormat>(frame->format)), &step, &offset);
    if (!copied && turnPlanes(frame, turn))
        return convertAsStored(turned, luma, image, error);
    if (!convertAsStored(frame, luma, &asStored, error))
        return false;
    const int width = turn.turnedWidth(asStored.width(), asStored.height());
    const int height = turn.turnedHeight(asStored.width(), asStored.height());
    if (!ensureImage(image, width, height, asStored.format(), error))
        return false;
    turnPlane(asStored.constBits(), asStored.bytesPerLine(), asStored.width(), asStored.height(),
              asStored.depth() / 8, turn, image->bits(), image->bytesPerLine());
    return true;
}

bool FrameConverter::turnPlanes(const AVFrame *frame, const FrameTurn &turn)
{
    const AVPixFmtDescriptor *desc = av_pix_fmt_desc_get(static_cast<AVPixelFormat>(frame->format));
    if (!desc || (desc->flags & (AV_PIX_FMT_FLAG_PAL | AV_PIX_FMT_FLAG_HWACCEL | AV_PIX_FMT_FLAG_BITSTREAM))
        || (turn.transpose && desc->log2_chroma_w != desc->log2_chroma_h))
        return false;
    // Packed formats sharing chroma between neighbours (YUYV) keep it in
    // pixels of their own only when whole pixels are moved.
    if (desc->log2_chroma_w > 0 && !(desc->flags & AV_PIX_FMT_FLAG_PLANAR))
        return false;
    int steps[4] = {};
    av_image_fill_max_pixsteps(steps, nullptr, desc);
    const int width = turn.turnedWidth(frame->width, frame->height);
    const int height = turn.turnedHeight(frame->width, frame->height);
    if (!turned)
        turned = av_frame_alloc();
    if (!turned)
        return false;
    if (turned->width != width || turned->height != height || turned->format != frame->format || !turned->buf[0]) {
        av_frame_unref(turned);
        turned->width = width;
        turned->height = height;
        turned->format = frame->format;
        if (av_frame_get_buffer(turned, 0) < 0) {
            av_frame_unref(turned);
            return false;
        }
    }
    turned->color_range = frame->color_range;
    turned->colorspace = frame->colorspace;
    turned->color_primaries = frame->color_primaries;
    turned->color_trc = frame->color_trc;
    turned->chroma_location = frame->chroma_location;
    const int planes = av_pix_fmt_count_planes(static_cast<AVPixelFormat>(frame->format));
    for (int plane = 0; plane < planes && plane < 4; ++plane) {
        const bool chroma = plane == 1 || plane == 2;
        const int planeWidth = chroma ? AV_CEIL_RSHIFT(frame->width, desc->log2_chroma_w) : frame->width;
        const int planeHeight = chroma ? AV_CEIL_RSHIFT(frame->height, desc->log2_chroma_h) : frame->height;
        if (steps[plane] < 1 || steps[plane] > 8)
            return false;
        turnPlane(frame->data[plane], frame->linesize[plane], planeWidth, planeHeight, steps[plane], turn,
                  turned->data[plane], turned->linesize[plane]);
    }
    return true;
}

bool FrameConverter::convertAsStored(const AVFrame *frame, bool luma, QImage *image, QString *error)
{
    const int width = frame->width;
    const int height = frame->height;
    const AVPixelFormat source = static_cast<AVPixelFormat>(frame->format);
    const AVPixFmtDescriptor *desc = av_pix_fmt_desc_get(source);
    if (!desc || (desc->flags & AV_PIX_FMT_FLAG_HWACCEL)) {
        *error = QStringLiteral("decoded frames in an unknown pixel format");
        return false;
    }
    const bool rgbSource = desc->flags & AV_PIX_FMT_FLAG_RGB;

    int step = 1;
    int offset = 0;
    if (luma && copyableLuma(desc, &step, &offset)) {
        if (!ensureImage(image, width, height, QImage::Format_Grayscale8, error))
            return false;
        for (int y = 0; y < height; ++y) {
            const uint8_t *from = frame->data[0] + (ptrdiff_t)y * frame->linesize[0] + offset;
            uchar *to = image->scanLine(y);
            if (step == 1) {
                std::memcpy(to, from, (size_t)width);
            } else {
                for (int x = 0; x < width; ++x)
                    to[x] = from[(ptrdiff_t)x * step];
            }
        }
        usedRange = frame->color_range == AVCOL_RANGE_JPEG ? QStringLiteral("full") : QStringLiteral("limited");
        usedMatrix = QStringLiteral("none (luma)");
        return true;
    }

    const AVPixelFormat target = luma ? kGrey : kRgb32;
    const Key key{width, height, (int)source, (int)target, (int)frame->color_range, (int)frame->colorspace};
    if (!context || !(key == contextKey)) {
        sws_freeContext(context);
        context = sws_alloc_context();
        // Slices of the picture on several threads give the same pixels
        // as one thread: each output row is computed from the whole frame.
        if (context
            && (av_opt_set_int(context, "srcw", width, 0) < 0 || av_opt_set_int(context, "srch", height, 0) < 0
                || av_opt_set_int(context, "src_format", source, 0) < 0
                || av_opt_set_int(context, "dstw", width, 0) < 0 || av_opt_set_int(context, "dsth", height, 0) < 0
                || av_opt_set_int(context, "dst_format", target, 0) < 0
                || av_opt_set_int(context, "sws_flags", kSwsFlags, 0) < 0
                || av_opt_set_int(context, "threads", std::max(1, threads), 0) < 0
                || sws_init_context(context, nullptr, nullptr) < 0)) {
            sws_freeContext(context);
            context = nullptr;
        }
        if (!context) {
            *error = QStringLiteral("cannot convert %1 frames").arg(QLatin1String(desc->name));
            return false;
        }
        contextKey = key;
        // The frame's tags over swscale's defaults for its format, as
        // FFmpeg's scale filter applies them.
        int *inverse = nullptr;
        int *table = nullptr;
        int sourceFull = 0;
        int targetFull = 0;
        int brightness = 0;
        int contrast = 0;
        int saturation = 0;
        sws_getColorspaceDetails(context, &inverse, &sourceFull, &table, &targetFull, &brightness, &contrast,
                                 &saturation);
        if (frame->color_range == AVCOL_RANGE_JPEG)
            sourceFull = 1;
        else if (frame->color_range == AVCOL_RANGE_MPEG)
            sourceFull = 0;
        const int *coefficients = sws_getCoefficients(frameMatrix(frame->colorspace, &usedMatrix));
        sws_setColorspaceDetails(context, coefficients, sourceFull, coefficients, targetFull, brightness,
                                 contrast, saturation);
        if (rgbSource)
            usedMatrix = QStringLiteral("rgb");
        usedRange = sourceFull ? QStringLiteral("full") : QStringLiteral("limited");
    }

    if (!ensureImage(image, width, height, luma ? QImage::Format_Grayscale8 : QImage::Format_RGB32, error))
        return false;
    // The image's pixels as an FFmpeg frame that swscale fills in place.
    AVFrame *output = av_frame_alloc();
    AVBufferRef *pixels = av_buffer_create(image->bits(), (size_t)image->sizeInBytes(), &keepPixels, nullptr, 0);
    bool converted = false;
    if (output && pixels) {
        output->buf[0] = pixels;
        pixels = nullptr;
        output->data[0] = image->bits();
        output->linesize[0] = (int)image->bytesPerLine();
        output->width = width;
        output->height = height;
        output->format = target;
        converted = sws_scale_frame(context, output, frame) >= 0;
    }
    av_buffer_unref(&pixels);
    av_frame_free(&output);
    if (!converted)
        *error = QStringLiteral("cannot convert %1 frames").arg(QLatin1String(desc->name));
    return converted;
}
