#ifndef FFMPEGDECODER_H
#define FFMPEGDECODER_H

#include "videomodule.h"

// A source decoded by FFmpeg (the module's side of VideoSource). Null with
// the reason in `error` when the input cannot be opened.
VideoDecoder *openFfmpegDecoder(const VideoInput &input, const VideoOptions &options, QString *error);

#endif // FFMPEGDECODER_H
