#include "ffmpegdecoder.h"

#include "ffmpegframes.h"
#include "ffmpeglog.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavdevice/avdevice.h>
#include <libavformat/avformat.h>
#include <libavutil/pixdesc.h>
}

#include <QFile>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <limits>
#include <new>
#include <set>
#include <vector>

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// "scheme://..." naming no file: a stream for FFmpeg's protocols to read.
bool isStreamAddress(const QString &path)
{
    const int colon = path.indexOf(QLatin1String("://"));
    if (colon < 1 || path.size() <= colon + 3 || !path[0].isLetter() || QFile::exists(path))
        return false;
    for (int i = 1; i < colon; ++i) {
        const QChar c = path[i];
        if (!(c.isLetterOrNumber() || c == QLatin1Char('+') || c == QLatin1Char('-') || c == QLatin1Char('.')))
            return false;
    }
    return true;
}

// Bytes that FFmpeg reads through us rather than through its own
// protocols: a pipe or FIFO (read with a timeout, so that a source that
// falls silent can still be interrupted), or a container in memory.
struct CustomInput {
    static const int kBufferBytes = 1 << 16;

    int fd = -1;
    bool ownsFd = false;
    QByteArray bytes;
    qint64 at = 0;
    const std::atomic<bool> *interrupted = nullptr;
    AVIOContext *context = nullptr;

    ~CustomInput()
    {
        if (context) {
            av_freep(&context->buffer);
            avio_context_free(&context);
        }
        if (ownsFd)
            ::close(fd);
    }

    static int readPipe(void *opaque, uint8_t *buffer, int size)
    {
        CustomInput *self = static_cast<CustomInput *>(opaque);
        for (;;) {
            if (self->interrupted->load())
                return AVERROR_EXIT;
            pollfd waiting{self->fd, POLLIN, 0};
            const int ready = ::poll(&waiting, 1, 100);
            if (ready < 0 && errno != EINTR)
                return AVERROR(errno);
            if (ready <= 0)
                continue;
            const ssize_t got = ::read(self->fd, buffer, (size_t)size);
            if (got > 0)
                return (int)got;
            if (got == 0)
                return AVERROR_EOF;
            if (errno != EINTR && errno != EAGAIN)
                return AVERROR(errno);
        }
    }

    static int readMemory(void *opaque, uint8_t *buffer, int size)
    {
        CustomInput *self = static_cast<CustomInput *>(opaque);
        const qint64 left = self->bytes.size() - self->at;
        if (left <= 0)
            return AVERROR_EOF;
        const int count = (int)std::min<qint64>(left, size);
        std::memcpy(buffer, self->bytes.constData() + self->at, (size_t)count);
        self->at += count;
        return count;
    }

    static int64_t seekMemory(void *opaque, int64_t offset, int whence)
    {
        CustomInput *self = static_cast<CustomInput *>(opaque);
        const qint64 size = self->bytes.size();
        if (whence & AVSEEK_SIZE)
            return size;
        whence &= ~AVSEEK_FORCE;
        qint64 base = 0;
        if (whence == SEEK_CUR)
            base = self->at;
        else if (whence == SEEK_END)
            base = size;
        else if (whence != SEEK_SET)
            return AVERROR(EINVAL);
        if (offset < -base || offset > size - base)
            return AVERROR(EINVAL);
        self->at = base + offset;
        return self->at;
    }

    bool open(bool memory, QString *error)
    {
        unsigned char *buffer = static_cast<unsigned char *>(av_malloc(kBufferBytes));
        if (buffer)
            context = avio_alloc_context(buffer, kBufferBytes, 0, this, memory ? &readMemory : &readPipe, nullptr,
                                         memory ? &seekMemory : nullptr);
        if (!context) {
            av_free(buffer);
            *error = QStringLiteral("out of memory");
            return false;
        }
        return true;
    }
};

int frameMatrixOf(const AVCodecParameters *p, QString *name)
{
    return frameMatrix(p->color_space, name);
}

class FfmpegDecoder final : public VideoDecoder
{
public:
    explicit FfmpegDecoder(const VideoOptions &options) : options(options), converter(options.decoderThreads) {}
    ~FfmpegDecoder() override;

    bool open(const VideoInput &input, QString *error);

    const VideoInfo &info() const override { return videoInfo; }
    VideoRead decode(VideoFrame *frame, QString *error) override;
    bool seek(qint64 index, QString *error) override;
    bool seekTo(qint64 index, QString *error);
    VideoDamage damage() const override { return damageSeen; }
    QStringList messages() const override { return log.lines(); }
    void interrupt() override { interrupted = true; }

private:
    static int isInterrupted(void *self)
    {
        return static_cast<FfmpegDecoder *>(self)->interrupted.load() ? 1 : 0;
    }

    bool openInput(const VideoInput &input, QString *error);
    bool openCodec(QString *error);
    void readDisplayMatrix();
    void describe();

    // What decode() does with a frame the decoder gave: false when it is
    // not handed over (before a seek's target), with `failed` set when the
    // frame cannot be converted.
    bool takeFrame(VideoFrame *out, QString *error, bool *failed);
    void notePacket(const AVPacket *packet);
    void finishStream();
    void noteLost(qint64 index, int64_t pts);
    void noteSpan(QVector<VideoDamage::Span> *spans, qint64 *count, qint64 first, qint64 last, int64_t firstPts,
                  int64_t lastPts);
    double secondsOfFrame(qint64 index, int64_t pts) const;
    double secondsOf(int64_t pts) const;
    int64_t timeOfIndex(qint64 index) const;

    bool positionAt(int64_t timeStamp, QString *error);
    bool buildIndex(QString *error);
    void restart();

    VideoOptions options;
    VideoInfo videoInfo;
    FfmpegLog log;
    std::atomic<bool> interrupted{false};

    CustomInput custom;
    AVFormatContext *format = nullptr;
    AVCodecContext *codec = nullptr;
    AVStream *stream = nullptr;
    int streamIndex = -1;
    AVPacket *packet = nullptr;
    AVFrame *picture = nullptr;
    FrameConverter converter;
    FrameTurn turn;  // how frames are shown, from the stream's display matrix

    // Decoding state since the start or the last seek.
    bool inputDone = false;   // the decoder has been told the input ended
    bool finished = false;    // and has given its last frame
    int readErrors = 0;       // in a row
    int64_t lastErrorPosition = -1;
    int decodeErrors = 0;     // in a row
    // The time stamps of packets sent whose frames have not come out yet:
    // frames come out in time-stamp order, so one still here when a later
    // frame comes out was lost.
    std::multiset<int64_t> pending;
    qint64 nextIndex = 0;
    int64_t origin = AV_NOPTS_VALUE;  // the time stamp of time 0
    // After a seek: frames before this time stamp are decoded but not
    // handed over; the lowest time stamp sent since tells whether the seek
    // landed too late.
    int64_t target = AV_NOPTS_VALUE;
    int64_t lowestSent = std::numeric_limits<int64_t>::max();
    bool restartedForTarget = false;
    // A seek in frames without time stamps: decoded from the start, frames
    // before this index not handed over.
    qint64 countTo = -1;
    bool stampless = false;  // some packet has no time stamp

    // Every packet's time stamp in order, once a seek needed them.
    std::vector<int64_t> timeStamps;
    bool indexed = false;
    qint64 knownFrames = -1;  // exact count, when known

    VideoDamage damageSeen;
};

FfmpegDecoder::~FfmpegDecoder()
{
    FfmpegLogScope scope(&log);
    avcodec_free_context(&codec);
    avformat_close_input(&format);
    av_packet_free(&packet);
    av_frame_free(&picture);
}

bool FfmpegDecoder::open(const VideoInput &input, QString *error)
{
    FfmpegLogScope scope(&log);
    packet = av_packet_alloc();
    picture = av_frame_alloc();
    if (!packet || !picture) {
        *error = QStringLiteral("out of memory");
        return false;
    }
    if (!openInput(input, error) || !openCodec(error))
        return false;
    readDisplayMatrix();
    describe();
    return true;
}

bool FfmpegDecoder::openInput(const VideoInput &input, QString *error)
{
    const AVInputFormat *forced = nullptr;
    if (!options.format.isEmpty()) {
        forced = av_find_input_format(options.format.toUtf8().constData());
        if (!forced) {
            *error = QStringLiteral("FFmpeg has no demuxer named \"%1\"").arg(options.format);
            return false;
        }
    }
    format = avformat_alloc_context();
    if (!format) {
        *error = QStringLiteral("out of memory");
        return false;
    }
    format->opaque = &log;
    format->interrupt_callback.callback = &isInterrupted;
    format->interrupt_callback.opaque = this;
    custom.interrupted = &interrupted;

    QByteArray url;
    bool live = false;
    bool useCustom = false;
    if (input.inMemory) {
        custom.bytes = input.bytes;
        useCustom = true;
    } else if (input.path == QLatin1String("-")) {
        custom.fd = STDIN_FILENO;
        useCustom = true;
        live = true;
    } else if (isStreamAddress(input.path)) {
        // A live stream by its URL: FFmpeg's own protocols read it.
        static const bool network = [] {
            avformat_network_init();
            return true;
        }();
        (void)network;
        url = input.path.toUtf8();
        live = true;
    } else {
        const QByteArray path = QFile::encodeName(input.path);
        struct stat status {};
        if (::stat(path.constData(), &status) != 0) {
            *error = QString::fromLocal8Bit(std::strerror(errno));
            return false;
        }
        if (S_ISDIR(status.st_mode)) {
            *error = QStringLiteral("is a folder");
            return false;
        }
        if (S_ISFIFO(status.st_mode) || S_ISSOCK(status.st_mode)) {
            // Waits, as any reader of a FIFO does, until a writer opens it.
            custom.fd = ::open(path.constData(), O_RDONLY | O_CLOEXEC);
            if (custom.fd < 0) {
                *error = QString::fromLocal8Bit(std::strerror(errno));
                return false;
            }
            custom.ownsFd = true;
            useCustom = true;
            live = true;
        } else if (S_ISCHR(status.st_mode)) {
            static const bool devices = [] {
                avdevice_register_all();
                return true;
            }();
            (void)devices;
            if (!forced)
                forced = av_find_input_format("video4linux2");
            if (!forced) {
                *error = QStringLiteral("this FFmpeg reads no V4L2 devices");
                return false;
            }
            url = path;
            live = true;
        } else {
            // FFmpeg's own file reading, named so that a ':' in the name is
            // not taken for a protocol.
            url = "file:" + path;
        }
    }
    if (useCustom) {
        if (!custom.open(input.inMemory, error))
            return false;
        format->pb = custom.context;
        format->flags |= AVFMT_FLAG_CUSTOM_IO;
    }

    int result = avformat_open_input(&format, url.constData(), forced, nullptr);
    if (result < 0) {
        // avformat_open_input has freed the context.
        *error = QStringLiteral("not a video FFmpeg reads (%1)").arg(ffmpegErrorText(result));
        return false;
    }
    result = avformat_find_stream_info(format, nullptr);
    if (result < 0) {
        *error = QStringLiteral("cannot read the streams (%1)").arg(ffmpegErrorText(result));
        return false;
    }
    // The first video stream that is not a cover picture, preferring the
    // one marked as default.
    for (unsigned i = 0; i < format->nb_streams; ++i) {
        const AVStream *s = format->streams[i];
        if (s->codecpar->codec_type != AVMEDIA_TYPE_VIDEO || (s->disposition & AV_DISPOSITION_ATTACHED_PIC))
            continue;
        if (streamIndex < 0 || ((s->disposition & AV_DISPOSITION_DEFAULT)
                                && !(format->streams[streamIndex]->disposition & AV_DISPOSITION_DEFAULT)))
            streamIndex = (int)i;
    }
    if (streamIndex < 0) {
        *error = QStringLiteral("has no video stream");
        return false;
    }
    for (unsigned i = 0; i < format->nb_streams; ++i) {
        if ((int)i != streamIndex)
            format->streams[i]->discard = AVDISCARD_ALL;
    }
    stream = format->streams[streamIndex];
    videoInfo.live = live;
    videoInfo.seekable = !live && format->pb && (format->pb->seekable & AVIO_SEEKABLE_NORMAL);
    return true;
}

bool FfmpegDecoder::openCodec(QString *error)
{
    const AVCodecParameters *parameters = stream->codecpar;
    const qint64 pixels = (qint64)std::max(parameters->width, 0) * std::max(parameters->height, 0);
    if (pixels > options.maxFramePixels) {
        *error = QStringLiteral("frames of %1 x %2 pixels are larger than the %3 pixels allowed")
                     .arg(parameters->width)
                     .arg(parameters->height)
                     .arg(options.maxFramePixels);
        return false;
    }
    const AVCodec *decoder = avcodec_find_decoder(parameters->codec_id);
    if (!decoder) {
        *error = QStringLiteral("this FFmpeg has no decoder for %1").arg(QLatin1String(avcodec_get_name(parameters->codec_id)));
        return false;
    }
    codec = avcodec_alloc_context3(decoder);
    if (!codec || avcodec_parameters_to_context(codec, parameters) < 0) {
        *error = QStringLiteral("out of memory");
        return false;
    }
    codec->opaque = &log;
    codec->pkt_timebase = stream->time_base;
    codec->thread_count = std::max(1, options.decoderThreads);
    // Frame threads hold back a frame each: too late for a live source.
    codec->thread_type = videoInfo.live ? FF_THREAD_SLICE : (FF_THREAD_FRAME | FF_THREAD_SLICE);
    // The decoder refuses larger pictures before allocating them.
    codec->max_pixels = options.maxFramePixels;
    const int result = avcodec_open2(codec, decoder, nullptr);
    if (result < 0) {
        *error = QStringLiteral("cannot start the %1 decoder (%2)")
                     .arg(QLatin1String(decoder->name), ffmpegErrorText(result));
        return false;
    }
    return true;
}

void FfmpegDecoder::readDisplayMatrix()
{
    size_t bytes = 0;
    const uint8_t *data = av_stream_get_side_data(stream, AV_PKT_DATA_DISPLAYMATRIX, &bytes);
    const int32_t *matrix = data && bytes >= 9 * sizeof(int32_t) ? reinterpret_cast<const int32_t *>(data) : nullptr;
    double degrees = 0.0;
    if (!displayMatrixTurn(matrix, &turn, &degrees)) {
        const QByteArray said = std::isnan(degrees)
            ? QByteArray("its display matrix names no angle: frames are kept as stored\n")
            : QStringLiteral("its display matrix turns frames by %1°, not a multiple of 90°: they are kept as stored\n")
                  .arg(degrees)
                  .toUtf8();
        log.add(AV_LOG_WARNING, nullptr, said.constData());
    }
    if (!options.autorotate)
        turn = FrameTurn();
    videoInfo.turn = turn.text();
}

void FfmpegDecoder::describe()
{
    const AVCodecParameters *p = stream->codecpar;
    VideoInfo &i = videoInfo;
    // As shown: a quarter turn swaps them.
    i.width = turn.turnedWidth(p->width, p->height);
    i.height = turn.turnedHeight(p->width, p->height);
    i.timeBaseNumerator = stream->time_base.num;
    i.timeBaseDenominator = stream->time_base.den;
    const AVRational rate = av_guess_frame_rate(format, stream, nullptr);
    i.frameRate = rate.num > 0 && rate.den > 0 ? av_q2d(rate) : 0.0;
    if (stream->duration != AV_NOPTS_VALUE && stream->duration > 0)
        i.duration = (double)stream->duration * av_q2d(stream->time_base);
    else if (format->duration != AV_NOPTS_VALUE && format->duration > 0)
        i.duration = (double)format->duration / AV_TIME_BASE;
    if (i.live) {
        i.duration = -1.0;
    } else if (stream->nb_frames > 0) {
        i.frameCount = stream->nb_frames;
        i.frameCountExact = true;
        knownFrames = stream->nb_frames;
    } else if (i.duration > 0 && i.frameRate > 0) {
        i.frameCount = (qint64)(i.duration * i.frameRate + 0.5);
    }
    i.codec = QLatin1String(avcodec_get_name(p->codec_id));
    i.container = QLatin1String(format->iformat->name);
    const AVPixelFormat pixels = static_cast<AVPixelFormat>(p->format);
    const AVPixFmtDescriptor *desc = av_pix_fmt_desc_get(pixels);
    i.pixelFormat = desc ? QLatin1String(desc->name) : QStringLiteral("unknown");
    const bool rgb = desc && (desc->flags & AV_PIX_FMT_FLAG_RGB);
    frameMatrixOf(p, &i.colourMatrix);
    if (rgb)
        i.colourMatrix = QStringLiteral("rgb");
    // Untagged: swscale's default, full for the JPEG-range and grey formats.
    const bool fullByDefault = desc && (QByteArray(desc->name).startsWith("yuvj") || (desc->nb_components == 1));
    if (p->color_range == AVCOL_RANGE_JPEG || (p->color_range == AVCOL_RANGE_UNSPECIFIED && fullByDefault) || rgb)
        i.colourRange = QStringLiteral("full");
    else
        i.colourRange = QStringLiteral("limited");
    const AVCodecDescriptor *codecName = avcodec_descriptor_get(p->codec_id);
    QString text = QStringLiteral("%1 %2x%3 %4")
                       .arg(codecName && codecName->long_name ? QLatin1String(codecName->long_name) : i.codec)
                       .arg(i.width)
                       .arg(i.height)
                       .arg(i.pixelFormat);
    if (!i.turn.isEmpty())
        text += QStringLiteral(" ") + i.turn;
    if (i.frameRate > 0)
        text += QStringLiteral(", %1 fps").arg(i.frameRate, 0, 'g', 6);
    text += QStringLiteral(", %1").arg(QLatin1String(format->iformat->long_name ? format->iformat->long_name
                                                                              : format->iformat->name));
    i.description = text;
}

double FfmpegDecoder::secondsOf(int64_t pts) const
{
    if (pts == AV_NOPTS_VALUE)
        return 0.0;
    const int64_t zero = origin == AV_NOPTS_VALUE ? pts : origin;
    return (double)(pts - zero) * av_q2d(stream->time_base);
}

int64_t FfmpegDecoder::timeOfIndex(qint64 index) const
{
    if (indexed && index >= 0 && index < (qint64)timeStamps.size())
        return timeStamps[(size_t)index];
    return AV_NOPTS_VALUE;
}

double FfmpegDecoder::secondsOfFrame(qint64 index, int64_t pts) const
{
    if (pts != AV_NOPTS_VALUE)
        return secondsOf(pts);
    return videoInfo.frameRate > 0 ? (double)index / videoInfo.frameRate : 0.0;
}

void FfmpegDecoder::noteSpan(QVector<VideoDamage::Span> *spans, qint64 *count, qint64 first, qint64 last,
                             int64_t firstPts, int64_t lastPts)
{
    // Spans stay sorted and apart; frames met again after a seek are
    // named once. Frames are mostly noted in order, at the end.
    VideoDamage::Span span;
    span.first = first;
    span.last = last;
    span.from = secondsOfFrame(first, firstPts);
    span.to = secondsOfFrame(last, lastPts);
    int at = spans->size();
    while (at > 0 && (*spans)[at - 1].first > span.first)
        --at;
    // The frames not named yet.
    qint64 covered = 0;
    for (int j = std::max(0, at - 1); j < spans->size() && (*spans)[j].first <= last; ++j)
        covered += std::max<qint64>(0, std::min(last, (*spans)[j].last) - std::max(first, (*spans)[j].first) + 1);
    *count += last - first + 1 - covered;
    spans->insert(at, span);
    // Merge with the neighbours it touches or overlaps.
    int i = std::max(0, at - 1);
    while (i + 1 < spans->size()) {
        VideoDamage::Span &left = (*spans)[i];
        const VideoDamage::Span &right = (*spans)[i + 1];
        if (right.first > left.last + 1) {
            if (i >= at)
                break;
            ++i;
            continue;
        }
        if (right.last > left.last) {
            left.last = right.last;
            left.to = right.to;
        }
        spans->remove(i + 1);
    }
}

void FfmpegDecoder::noteLost(qint64 index, int64_t pts)
{
    noteSpan(&damageSeen.lost, &damageSeen.lostFrames, index, index, pts, pts);
}

void FfmpegDecoder::notePacket(const AVPacket *p)
{
    if (p->flags & AV_PKT_FLAG_DISCARD)
        return;
    if (p->pts != AV_NOPTS_VALUE) {
        pending.insert(p->pts);
        lowestSent = std::min(lowestSent, p->pts);
    }
}

void FfmpegDecoder::finishStream()
{
    // Packets whose frames never came out, then frames the container
    // counts but whose packets were never read.
    for (const int64_t pts : pending) {
        if (target != AV_NOPTS_VALUE && pts < target)
            continue;
        noteLost(nextIndex, pts);
        ++nextIndex;
    }
    pending.clear();
    if (knownFrames > nextIndex) {
        damageSeen.cutShort = true;
        // One span, however many frames the container claims.
        noteSpan(&damageSeen.lost, &damageSeen.lostFrames, nextIndex, knownFrames - 1, timeOfIndex(nextIndex),
                 timeOfIndex(knownFrames - 1));
        nextIndex = knownFrames;
    }
}

bool FfmpegDecoder::takeFrame(VideoFrame *out, QString *error, bool *failed)
{
    *failed = false;
    const int64_t stored = picture->pts;
    const int64_t pts = stored != AV_NOPTS_VALUE ? stored : picture->best_effort_timestamp;
    if (target != AV_NOPTS_VALUE) {
        if (pts != AV_NOPTS_VALUE && pts < target) {
            const auto it = pending.find(pts);
            if (it != pending.end())
                pending.erase(it);
            return false;
        }
        if (pts != AV_NOPTS_VALUE && pts > target && lowestSent > target && !restartedForTarget) {
            // The key frame found was after the target (some demuxers seek
            // by decoding time): decode from the start instead.
            restartedForTarget = true;
            const int64_t wanted = target;
            const qint64 wantedIndex = nextIndex;
            QString reason;
            if (!positionAt(AV_NOPTS_VALUE, &reason)) {
                *error = reason;
                *failed = true;
                return false;
            }
            target = wanted;
            nextIndex = wantedIndex;
            return false;
        }
        // Packets of frames before the target were decoded for it only.
        while (!pending.empty() && *pending.begin() < target)
            pending.erase(pending.begin());
        target = AV_NOPTS_VALUE;
    }
    if (origin == AV_NOPTS_VALUE && pts != AV_NOPTS_VALUE)
        origin = stream->start_time != AV_NOPTS_VALUE ? stream->start_time : pts;
    if (stored != AV_NOPTS_VALUE) {
        while (!pending.empty() && *pending.begin() < stored) {
            noteLost(nextIndex, *pending.begin());
            ++nextIndex;
            pending.erase(pending.begin());
        }
        const auto it = pending.find(stored);
        if (it != pending.end())
            pending.erase(it);
    }
    const qint64 index = nextIndex++;
    if (index < countTo)
        return false;

    const qint64 pixels = (qint64)picture->width * picture->height;
    if (picture->width <= 0 || picture->height <= 0 || pixels > options.maxFramePixels) {
        noteLost(index, pts);
        return false;
    }
    if (!converter.convert(picture, options.luma, turn, &out->image, error)) {
        *failed = true;
        return false;
    }
    out->index = index;
    out->hasTime = pts != AV_NOPTS_VALUE;
    out->timeStamp = out->hasTime ? pts : 0;
    if (out->hasTime)
        out->time = secondsOf(pts);
    else
        out->time = videoInfo.frameRate > 0 ? (double)index / videoInfo.frameRate : 0.0;
    out->concealed = picture->decode_error_flags != 0 || (picture->flags & AV_FRAME_FLAG_CORRUPT);
    if (out->concealed)
        noteSpan(&damageSeen.concealed, &damageSeen.concealedFrames, index, index, pts, pts);
    return true;
}

VideoRead FfmpegDecoder::decode(VideoFrame *out, QString *error)
{
    FfmpegLogScope scope(&log);
    try {
        if (finished)
            return VideoRead::End;
        for (;;) {
            if (interrupted.load()) {
                *error = QStringLiteral("interrupted");
                return VideoRead::Failed;
            }
            int result = avcodec_receive_frame(codec, picture);
            if (result == 0) {
                decodeErrors = 0;
                bool failed = false;
                const bool taken = takeFrame(out, error, &failed);
                av_frame_unref(picture);
                if (failed)
                    return VideoRead::Failed;
                if (taken)
                    return VideoRead::Frame;
                continue;
            }
            if (result == AVERROR_EOF || (result != AVERROR(EAGAIN) && ++decodeErrors > 64)) {
                // The end, or a decoder that only fails: its frames are lost.
                finishStream();
                finished = true;
                return VideoRead::End;
            }
            if (result != AVERROR(EAGAIN))
                continue;  // a frame failed; what follows may still decode
            if (inputDone) {
                finishStream();
                finished = true;
                return VideoRead::End;
            }
            result = av_read_frame(format, packet);
            if (result == AVERROR_EXIT || interrupted.load()) {
                *error = QStringLiteral("interrupted");
                return VideoRead::Failed;
            }
            if (result == AVERROR(EAGAIN))
                continue;
            if (result < 0) {
                // Damaged data: go on where the demuxer found its feet again,
                // a few times, as long as it moves on.
                const int64_t position = format->pb ? avio_tell(format->pb) : -1;
                if (result != AVERROR_EOF && ++readErrors <= 16 && position != lastErrorPosition
                    && !(format->pb && format->pb->eof_reached)) {
                    lastErrorPosition = position;
                    continue;
                }
                if (result != AVERROR_EOF || (format->pb && format->pb->error < 0))
                    damageSeen.cutShort = true;
                avcodec_send_packet(codec, nullptr);
                inputDone = true;
                continue;
            }
            readErrors = 0;
            if (packet->stream_index != streamIndex) {
                av_packet_unref(packet);
                continue;
            }
            notePacket(packet);
            result = avcodec_send_packet(codec, packet);
            av_packet_unref(packet);
            // A packet the decoder refuses is a lost frame: its time stamp
            // stays pending until a later frame comes out.
            (void)result;
        }
    } catch (const std::bad_alloc &) {
        *error = QStringLiteral("out of memory");
        return VideoRead::Failed;
    }
}

void FfmpegDecoder::restart()
{
    avcodec_flush_buffers(codec);
    pending.clear();
    inputDone = false;
    finished = false;
    readErrors = 0;
    lastErrorPosition = -1;
    decodeErrors = 0;
    target = AV_NOPTS_VALUE;
    lowestSent = std::numeric_limits<int64_t>::max();
    countTo = -1;
}

// The demuxer at the key frame at or before `timeStamp` (the start for
// AV_NOPTS_VALUE), the decoder emptied.
bool FfmpegDecoder::positionAt(int64_t timeStamp, QString *error)
{
    int result = 0;
    if (timeStamp == AV_NOPTS_VALUE) {
        const int64_t start = stream->start_time != AV_NOPTS_VALUE ? stream->start_time : 0;
        result = avformat_seek_file(format, streamIndex, std::numeric_limits<int64_t>::min(), start, start, 0);
        if (result < 0)
            result = avformat_seek_file(format, -1, std::numeric_limits<int64_t>::min(), 0, 0, AVSEEK_FLAG_BYTE);
        nextIndex = 0;
    } else {
        result = avformat_seek_file(format, streamIndex, std::numeric_limits<int64_t>::min(), timeStamp, timeStamp, 0);
    }
    if (result < 0) {
        *error = QStringLiteral("cannot seek (%1)").arg(ffmpegErrorText(result));
        return false;
    }
    restart();
    return true;
}

bool FfmpegDecoder::buildIndex(QString *error)
{
    if (indexed)
        return true;
    if (!positionAt(AV_NOPTS_VALUE, error))
        return false;
    std::vector<int64_t> stamps;
    for (;;) {
        const int result = av_read_frame(format, packet);
        if (result == AVERROR_EXIT || interrupted.load()) {
            *error = QStringLiteral("interrupted");
            return false;
        }
        if (result == AVERROR_EOF)
            break;
        if (result < 0) {
            // Damaged data, as decode() goes past it.
            if (++readErrors > 16)
                break;
            continue;
        }
        if (packet->stream_index == streamIndex && !(packet->flags & AV_PKT_FLAG_DISCARD)) {
            const int64_t pts = packet->pts != AV_NOPTS_VALUE ? packet->pts : packet->dts;
            if (pts == AV_NOPTS_VALUE)
                stampless = true;
            else
                stamps.push_back(pts);
        }
        av_packet_unref(packet);
    }
    std::sort(stamps.begin(), stamps.end());
    timeStamps.swap(stamps);
    indexed = true;
    knownFrames = std::max<qint64>(knownFrames, (qint64)timeStamps.size());
    return positionAt(AV_NOPTS_VALUE, error);
}

bool FfmpegDecoder::seek(qint64 index, QString *error)
{
    FfmpegLogScope scope(&log);
    if (!videoInfo.seekable) {
        *error = QStringLiteral("a live source cannot seek");
        return false;
    }
    // A seek that fails midway leaves the demuxer anywhere: nothing more is
    // read from it rather than frames out of order.
    if (seekTo(index, error))
        return true;
    restart();
    inputDone = finished = true;
    return false;
}

bool FfmpegDecoder::seekTo(qint64 index, QString *error)
{
    try {
        restartedForTarget = false;
        if (index == 0)
            return positionAt(AV_NOPTS_VALUE, error);
        if (!buildIndex(error))
            return false;
        if (stampless) {
            // Nothing to seek by: counted from the start instead.
            if (!positionAt(AV_NOPTS_VALUE, error))
                return false;
            countTo = index;
            return true;
        }
        if (index >= (qint64)timeStamps.size()) {
            // Past the end: nothing more to read.
            restart();
            inputDone = finished = true;
            nextIndex = index;
            return true;
        }
        const int64_t wanted = timeStamps[(size_t)index];
        if (!positionAt(wanted, error))
            return false;
        target = wanted;
        nextIndex = index;
        return true;
    } catch (const std::bad_alloc &) {
        *error = QStringLiteral("out of memory");
        return false;
    }
}

}  // namespace

VideoDecoder *openFfmpegDecoder(const VideoInput &input, const VideoOptions &options, QString *error)
{
    try {
        std::unique_ptr<FfmpegDecoder> decoder(new FfmpegDecoder(options));
        if (!decoder->open(input, error))
            return nullptr;
        return decoder.release();
    } catch (const std::bad_alloc &) {
        *error = QStringLiteral("out of memory");
        return nullptr;
    }
}
