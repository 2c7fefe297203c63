#include "frameloading.h"

#include <QFileInfo>
#include <QImageReader>

namespace {

QString tooLargeMessage(qint64 width, qint64 height)
{
    return QStringLiteral("the image is too large: %1 x %2 pixels, the limit is %3 pixels (256 megapixels)")
        .arg(width)
        .arg(height)
        .arg(kMaxFramePixels);
}

bool exceedsLimit(qint64 width, qint64 height)
{
    return width * height > kMaxFramePixels;
}

// Drawings, not pictures: Qt's SVG reader follows references to other
// files (one that refers to itself recurses until the stack overflows) and
// needs a GUI application to draw text (the command-line tool would crash).
// Qt may pick a reader by the file name as well as by the content, so both
// are checked.
bool isVectorDrawing(QImageReader &reader)
{
    const QString suffix = QFileInfo(reader.fileName()).suffix().toLower();
    const QByteArray format = reader.format();
    return suffix == QLatin1String("svg") || suffix == QLatin1String("svgz") || format == "svg"
           || format == "svgz";
}

bool readFrame(QImageReader &reader, QImage *frame, QString *error)
{
    if (isVectorDrawing(reader)) {
        *error = QStringLiteral("vector drawings (SVG) are not read; export the picture to a raster format");
        return false;
    }

    // Shown and searched upright, as image viewers show photographs.
    reader.setAutoTransform(true);

    // The header's claim, checked before anything is decoded: a few hundred
    // bytes may claim billions of pixels.
    const QSize claimed = reader.size();
    if (!claimed.isValid()) {
        // Nothing to check: such a decoder allocates whatever the file says
        // (Qt's MNG reader took 16 GiB for 100 bytes claiming 65535 x 65535).
        // Unreadable files end here too.
        if (reader.error() != QImageReader::UnknownError)
            *error = reader.errorString();  // no such file, no reader for it, ...
        else if (!reader.canRead())
            *error = QStringLiteral("the image header cannot be read; the file is damaged or cut short");
        else
            *error = QStringLiteral("the picture's size cannot be read before decoding it, so the size limit cannot be checked");
        return false;
    }
    if (exceedsLimit(claimed.width(), claimed.height())) {
        *error = tooLargeMessage(claimed.width(), claimed.height());
        return false;
    }

    QImage image;
    if (!reader.read(&image)) {
        *error = reader.errorString();
        return false;
    }
    // For a header that claimed less than the picture holds.
    if (exceedsLimit(image.width(), image.height())) {
        *error = tooLargeMessage(image.width(), image.height());
        return false;
    }
    QImage converted = toDetectionLayout(image);
    if (converted.isNull()) {
        *error = QStringLiteral("not enough memory to convert the image");
        return false;
    }
    *frame = converted;
    return true;
}

} // namespace

QImage toDetectionLayout(const QImage &image)
{
    // 8-bit grey is the detector's input already: no conversion either way.
    if (image.format() == QImage::Format_RGB32 || image.format() == QImage::Format_Grayscale8)
        return image;
    return image.convertToFormat(QImage::Format_RGB32);
}

bool loadFrame(const QString &fileName, QImage *frame, QString *error)
{
    QImageReader reader(fileName);
    return readFrame(reader, frame, error);
}

bool loadFrame(QIODevice *device, QImage *frame, QString *error)
{
    QImageReader reader(device);
    return readFrame(reader, frame, error);
}
