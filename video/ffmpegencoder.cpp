#include "ffmpegencoder.h"

#include "ffmpegframes.h"
#include "ffmpeglog.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/opt.h>
#include <libswscale/swscale.h>
}

#include <QFile>
#include <QFileInfo>

#include <new>

namespace {

// QImage::Format_RGB32 as FFmpeg names it, without its unused top byte.
const AVPixelFormat kRgb32NoAlpha = AV_PIX_FMT_NE(0RGB, BGR0);

class FfmpegEncoder final : public VideoEncoder
{
public:
    explicit FfmpegEncoder(const VideoWriterOptions &options) : options(options) {}
    ~FfmpegEncoder() override;

    bool open(const QString &path, QString *error);
    bool write(const QImage &frame, qint64 timeStamp, QString *error) override;
    bool finish(QString *error) override;

private:
    bool send(const AVFrame *frame, QString *error);
    QString lastMessage() const;

    VideoWriterOptions options;
    FfmpegLog log;
    AVFormatContext *format = nullptr;
    AVCodecContext *codec = nullptr;
    AVStream *stream = nullptr;
    AVFrame *picture = nullptr;  // for converted frames (H.264)
    AVPacket *packet = nullptr;
    SwsContext *toYuv = nullptr;
    bool headerWritten = false;
    bool closed = false;
    qint64 lastStamp = -1;
};

FfmpegEncoder::~FfmpegEncoder()
{
    FfmpegLogScope scope(&log);
    if (format && headerWritten && !closed)
        av_write_trailer(format);
    if (format && !(format->oformat->flags & AVFMT_NOFILE))
        avio_closep(&format->pb);
    avformat_free_context(format);
    avcodec_free_context(&codec);
    av_frame_free(&picture);
    av_packet_free(&packet);
    sws_freeContext(toYuv);
}

QString FfmpegEncoder::lastMessage() const
{
    const QStringList lines = log.lines();
    return lines.isEmpty() ? QString() : QStringLiteral(": ") + lines.last();
}

bool FfmpegEncoder::open(const QString &path, QString *error)
{
    FfmpegLogScope scope(&log);
    const QString suffix = QFileInfo(path).suffix().toLower();
    const bool lossless = suffix == QLatin1String("mkv");
    if (!lossless && suffix != QLatin1String("mp4")) {
        *error = QStringLiteral("annotated videos are .mkv (FFV1, lossless) or .mp4 (H.264) files");
        return false;
    }
    if (options.width <= 0 || options.height <= 0 || options.timeBaseNumerator <= 0
        || options.timeBaseDenominator <= 0 || !(options.frameRate > 0)) {
        *error = QStringLiteral("no frame size, time base or frame rate");
        return false;
    }
    if (options.grey && !lossless) {
        *error = QStringLiteral("grey frames are written to .mkv files");
        return false;
    }
    const AVCodec *encoder = lossless ? avcodec_find_encoder(AV_CODEC_ID_FFV1) : avcodec_find_encoder_by_name("libx264");
    if (!encoder) {
        *error = lossless ? QStringLiteral("this FFmpeg has no FFV1 encoder")
                          : QStringLiteral("this FFmpeg has no H.264 encoder (libx264): write a .mkv file (FFV1) instead");
        return false;
    }
    if (avformat_alloc_output_context2(&format, nullptr, lossless ? "matroska" : "mp4", nullptr) < 0 || !format) {
        *error = QStringLiteral("this FFmpeg cannot write %1 files").arg(lossless ? "Matroska" : "MP4");
        return false;
    }
    format->opaque = &log;
    stream = avformat_new_stream(format, nullptr);
    codec = avcodec_alloc_context3(encoder);
    packet = av_packet_alloc();
    if (!stream || !codec || !packet) {
        *error = QStringLiteral("out of memory");
        return false;
    }
    codec->opaque = &log;
    codec->width = options.width;
    codec->height = options.height;
    codec->time_base = AVRational{options.timeBaseNumerator, options.timeBaseDenominator};
    codec->framerate = av_d2q(options.frameRate, 1 << 20);
    codec->thread_count = options.threads;
    if (lossless) {
        codec->pix_fmt = options.grey ? AV_PIX_FMT_GRAY8 : kRgb32NoAlpha;
        codec->level = 3;
        // Slices, each with a checksum, so that a damaged file loses only
        // parts of frames and says where.
        av_opt_set_int(codec->priv_data, "slicecrc", 1, 0);
    } else {
        codec->pix_fmt = AV_PIX_FMT_YUV420P;
        codec->color_range = AVCOL_RANGE_MPEG;
        codec->colorspace = AVCOL_SPC_SMPTE170M;
        av_opt_set(codec->priv_data, "preset", "fast", 0);
        av_opt_set(codec->priv_data, "crf", "18", 0);
    }
    if (format->oformat->flags & AVFMT_GLOBALHEADER)
        codec->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
    int result = avcodec_open2(codec, encoder, nullptr);
    if (result < 0) {
        *error = QStringLiteral("cannot start the %1 encoder (%2)%3")
                     .arg(QLatin1String(encoder->name), ffmpegErrorText(result), lastMessage());
        return false;
    }
    stream->time_base = codec->time_base;
    stream->avg_frame_rate = codec->framerate;
    if (avcodec_parameters_from_context(stream->codecpar, codec) < 0) {
        *error = QStringLiteral("out of memory");
        return false;
    }
    if (!lossless) {
        picture = av_frame_alloc();
        if (!picture) {
            *error = QStringLiteral("out of memory");
            return false;
        }
        picture->format = codec->pix_fmt;
        picture->width = codec->width;
        picture->height = codec->height;
        if (av_frame_get_buffer(picture, 0) < 0) {
            *error = QStringLiteral("out of memory");
            return false;
        }
        // The inverse of the reader's conversion: BT.601, limited range.
        toYuv = sws_getContext(codec->width, codec->height, kRgb32NoAlpha, codec->width, codec->height,
                               AV_PIX_FMT_YUV420P, FrameConverter::kSwsFlags, nullptr, nullptr, nullptr);
        if (!toYuv) {
            *error = QStringLiteral("out of memory");
            return false;
        }
        const int *coefficients = sws_getCoefficients(SWS_CS_ITU601);
        sws_setColorspaceDetails(toYuv, coefficients, 1, coefficients, 0, 0, 1 << 16, 1 << 16);
    }
    result = avio_open(&format->pb, (QByteArray("file:") + QFile::encodeName(path)).constData(), AVIO_FLAG_WRITE);
    if (result < 0) {
        *error = ffmpegErrorText(result);
        return false;
    }
    result = avformat_write_header(format, nullptr);
    if (result < 0) {
        *error = QStringLiteral("cannot start the file (%1)%2").arg(ffmpegErrorText(result), lastMessage());
        return false;
    }
    headerWritten = true;
    return true;
}

bool FfmpegEncoder::send(const AVFrame *frame, QString *error)
{
    int result = avcodec_send_frame(codec, frame);
    if (result < 0) {
        *error = QStringLiteral("cannot encode (%1)%2").arg(ffmpegErrorText(result), lastMessage());
        return false;
    }
    for (;;) {
        result = avcodec_receive_packet(codec, packet);
        if (result == AVERROR(EAGAIN) || result == AVERROR_EOF)
            return true;
        if (result < 0) {
            *error = QStringLiteral("cannot encode (%1)%2").arg(ffmpegErrorText(result), lastMessage());
            return false;
        }
        packet->stream_index = stream->index;
        av_packet_rescale_ts(packet, codec->time_base, stream->time_base);
        result = av_interleaved_write_frame(format, packet);
        av_packet_unref(packet);
        if (result < 0) {
            *error = QStringLiteral("cannot write (%1)%2").arg(ffmpegErrorText(result), lastMessage());
            return false;
        }
    }
}

bool FfmpegEncoder::write(const QImage &given, qint64 timeStamp, QString *error)
{
    FfmpegLogScope scope(&log);
    if (closed) {
        *error = QStringLiteral("the video is finished");
        return false;
    }
    if (given.width() != options.width || given.height() != options.height) {
        *error = QStringLiteral("a %1 x %2 frame in a %3 x %4 video")
                     .arg(given.width())
                     .arg(given.height())
                     .arg(options.width)
                     .arg(options.height);
        return false;
    }
    const QImage::Format layout = options.grey ? QImage::Format_Grayscale8 : QImage::Format_RGB32;
    const QImage image = given.format() == layout ? given : given.convertToFormat(layout);
    if (image.isNull()) {
        *error = QStringLiteral("out of memory");
        return false;
    }
    if (timeStamp < 0) {
        // One frame after the last, at the nominal rate.
        const double step = 1.0 / (options.frameRate * av_q2d(codec->time_base));
        timeStamp = lastStamp < 0 ? 0 : lastStamp + std::max<qint64>(1, (qint64)(step + 0.5));
    }
    if (timeStamp <= lastStamp) {
        *error = QStringLiteral("time stamp %1 after %2: time stamps must increase").arg(timeStamp).arg(lastStamp);
        return false;
    }
    lastStamp = timeStamp;

    if (picture) {
        if (av_frame_make_writable(picture) < 0) {
            *error = QStringLiteral("out of memory");
            return false;
        }
        const uint8_t *planes[4] = {image.constBits(), nullptr, nullptr, nullptr};
        const int strides[4] = {(int)image.bytesPerLine(), 0, 0, 0};
        sws_scale(toYuv, planes, strides, 0, image.height(), picture->data, picture->linesize);
        picture->pts = timeStamp;
        return send(picture, error);
    }
    // FFV1 reads the frame's own pixels; the encoder copies what it keeps.
    AVFrame *frame = av_frame_alloc();
    if (!frame) {
        *error = QStringLiteral("out of memory");
        return false;
    }
    frame->format = codec->pix_fmt;
    frame->width = image.width();
    frame->height = image.height();
    frame->data[0] = const_cast<uint8_t *>(image.constBits());
    frame->linesize[0] = (int)image.bytesPerLine();
    frame->pts = timeStamp;
    const bool sent = send(frame, error);
    av_frame_free(&frame);
    return sent;
}

bool FfmpegEncoder::finish(QString *error)
{
    FfmpegLogScope scope(&log);
    if (closed)
        return true;
    closed = true;
    bool ok = send(nullptr, error);
    const int result = av_write_trailer(format);
    if (ok && result < 0) {
        *error = QStringLiteral("cannot finish the file (%1)%2").arg(ffmpegErrorText(result), lastMessage());
        ok = false;
    }
    const int closing = avio_closep(&format->pb);
    if (ok && closing < 0) {
        *error = QStringLiteral("cannot finish the file (%1)").arg(ffmpegErrorText(closing));
        ok = false;
    }
    return ok;
}

}  // namespace

VideoEncoder *openFfmpegEncoder(const QString &path, const VideoWriterOptions &options, QString *error)
{
    try {
        std::unique_ptr<FfmpegEncoder> encoder(new FfmpegEncoder(options));
        if (!encoder->open(path, error))
            return nullptr;
        return encoder.release();
    } catch (const std::bad_alloc &) {
        *error = QStringLiteral("out of memory");
        return nullptr;
    }
}
