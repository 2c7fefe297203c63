#include "videowriter.h"

#include "videomodule.h"

class VideoModuleWriter
{
public:
    explicit VideoModuleWriter(VideoEncoder *encoder) : encoder(encoder) {}
    std::unique_ptr<VideoEncoder> encoder;
    bool finished = false;
};

VideoWriter::VideoWriter(std::unique_ptr<VideoModuleWriter> writer) : d(std::move(writer)) {}

VideoWriter::~VideoWriter()
{
    if (!d->finished) {
        QString ignored;
        d->encoder->finish(&ignored);
    }
}

std::unique_ptr<VideoWriter> VideoWriter::open(const QString &path, const VideoWriterOptions &options,
                                               QString *error)
{
    const VideoModuleTable *module = videoModule(error);
    if (!module)
        return nullptr;
    VideoEncoder *encoder = module->openEncoder(path, options, error);
    if (!encoder)
        return nullptr;
    return std::unique_ptr<VideoWriter>(new VideoWriter(std::make_unique<VideoModuleWriter>(encoder)));
}

bool VideoWriter::write(const QImage &frame, qint64 timeStamp, QString *error)
{
    if (d->finished) {
        *error = QStringLiteral("the video is already finished");
        return false;
    }
    return d->encoder->write(frame, timeStamp, error);
}

bool VideoWriter::finish(QString *error)
{
    if (d->finished)
        return true;
    d->finished = true;
    return d->encoder->finish(error);
}
