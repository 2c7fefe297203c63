#include "ffmpeglog.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/error.h>
#include <libavutil/log.h>
}

#include <cstdio>

namespace {

thread_local FfmpegLog *tLog = nullptr;

// The log a context names: codec and format contexts carry their owner's
// log in `opaque` (frame-threaded decoders copy it to their workers).
FfmpegLog *logOf(void *context)
{
    if (!context)
        return nullptr;
    const AVClass *kind = *static_cast<const AVClass *const *>(context);
    if (kind == avcodec_get_class())
        return static_cast<FfmpegLog *>(static_cast<AVCodecContext *>(context)->opaque);
    if (kind == avformat_get_class())
        return static_cast<FfmpegLog *>(static_cast<AVFormatContext *>(context)->opaque);
    return nullptr;
}

void route(void *context, int level, const char *format, va_list arguments)
{
    if (level > AV_LOG_WARNING)
        return;
    FfmpegLog *log = logOf(context);
    if (!log)
        log = tLog;
    if (!log)
        return;
    char text[1024];
    va_list copy;
    va_copy(copy, arguments);
    std::vsnprintf(text, sizeof text, format, copy);
    va_end(copy);
    const char *component = nullptr;
    if (context) {
        const AVClass *kind = *static_cast<const AVClass *const *>(context);
        if (kind && kind->item_name)
            component = kind->item_name(context);
    }
    log->add(level, component, text);
}

}  // namespace

FfmpegLog::FfmpegLog()
{
    static const bool installed = [] {
        av_log_set_callback(&route);
        return true;
    }();
    (void)installed;
}

QStringList FfmpegLog::lines() const
{
    std::lock_guard<std::mutex> lock(mutex);
    QStringList all = kept;
    if (omitted > 0)
        all << QStringLiteral("(%1 more messages)").arg(omitted);
    return all;
}

int FfmpegLog::errors() const
{
    std::lock_guard<std::mutex> lock(mutex);
    return errorCount;
}

void FfmpegLog::add(int level, const char *component, const char *text)
{
    std::lock_guard<std::mutex> lock(mutex);
    if (level <= AV_LOG_ERROR && partial.isEmpty())
        ++errorCount;
    if (partial.isEmpty() && component)
        partial = QByteArray("[") + component + "] ";
    partial += text;
    // A message sent in pieces ends with a newline; one that never does is
    // cut where it grows long.
    if (!partial.endsWith('\n') && partial.size() < 2048)
        return;
    const QString line = QString::fromUtf8(partial).trimmed();
    partial.clear();
    if (kept.size() < kMaxLines)
        kept << line;
    else
        ++omitted;
}

QString ffmpegErrorText(int code)
{
    char text[AV_ERROR_MAX_STRING_SIZE] = {};
    av_strerror(code, text, sizeof text);
    return QString::fromUtf8(text);
}

FfmpegLogScope::FfmpegLogScope(FfmpegLog *log) : outer(tLog)
{
    tLog = log;
}

FfmpegLogScope::~FfmpegLogScope()
{
    tLog = outer;
}
