// The one symbol hessian-video.so exports: its table of entry points.

#include "ffmpegdecoder.h"
#include "ffmpegencoder.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavdevice/avdevice.h>
#include <libavformat/avformat.h>
#include <libavutil/avutil.h>
#include <libswscale/swscale.h>
}

namespace {

QString version(const char *name, unsigned number)
{
    return QStringLiteral("%1 %2.%3.%4")
        .arg(QLatin1String(name))
        .arg(AV_VERSION_MAJOR(number))
        .arg(AV_VERSION_MINOR(number))
        .arg(AV_VERSION_MICRO(number));
}

QString libraryVersions()
{
    return QStringList{version("libavformat", avformat_version()), version("libavcodec", avcodec_version()),
                       version("libswscale", swscale_version()), version("libavutil", avutil_version()),
                       version("libavdevice", avdevice_version())}
        .join(QStringLiteral(", "));
}

const VideoModuleTable kTable = {kVideoModuleAbi, &openFfmpegDecoder, &openFfmpegEncoder, &libraryVersions};

}  // namespace

extern "C" __attribute__((visibility("default"))) const VideoModuleTable *hessian_video_module(int abi)
{
    return abi == kVideoModuleAbi ? &kTable : nullptr;
}
