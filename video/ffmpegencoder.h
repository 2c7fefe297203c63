#ifndef FFMPEGENCODER_H
#define FFMPEGENCODER_H

#include "videomodule.h"

// A video file written by FFmpeg (the module's side of VideoWriter). Null
// with the reason in `error` when it cannot be.
VideoEncoder *openFfmpegEncoder(const QString &path, const VideoWriterOptions &options, QString *error);

#endif // FFMPEGENCODER_H
