#include "annotation.h"

#include "decodermessages.h"
#include "featurecircles.h"

#include <QImageWriter>
#include <QPainter>
#include <QPen>
#include <QSaveFile>

QImage annotatedPicture(const QImage &frame, const QVector<Feature> &features, const FeatureCircleLook &look)
{
    QImage picture = frame.convertToFormat(QImage::Format_RGB32);
    if (picture.isNull())
        return picture;
    // convertToFormat shares a frame that is already 32-bit: draw on a copy.
    picture.detach();
    if (picture.isNull())
        return picture;
    QPainter painter(&picture);
    QPen pen = painter.pen();
    pen.setColor(kFeatureColour);
    pen.setWidthF(1.0);
    painter.setPen(pen);
    painter.translate(0.5, 0.5);
    drawFeatureCircles(painter, features, look);
    painter.end();
    return picture;
}

bool saveAnnotatedPicture(const QString &path, const QImage &frame, const QVector<Feature> &features,
                          const FeatureCircleLook &look, QString *error)
{
    const QImage picture = annotatedPicture(frame, features, look);
    if (picture.isNull() && !frame.isNull()) {
        *error = QStringLiteral("not enough memory to draw the annotated picture");
        return false;
    }
    // Renamed into place only once whole: an interrupted write leaves no
    // half picture behind.
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly)) {
        *error = file.errorString();
        return false;
    }
    // What libpng says while it writes (a picture read with an incorrect
    // sRGB profile keeps it, and libpng remarks on it) is kept from
    // standard error, as the readers keep what the decoders say; a failed
    // write reports it.
    DecoderMessages said;
    QImageWriter writer(&file, "png");
    if (!writer.write(picture)) {
        *error = writer.errorString();
        const QVector<DecoderMessages::Message> messages = said.take();
        if (!messages.isEmpty())
            *error += QStringLiteral(": ") + messages.first().text;
        return false;
    }
    if (!file.commit()) {
        *error = file.errorString();
        return false;
    }
    return true;
}
