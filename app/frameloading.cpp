#include "frameloading.h"

#include <QImageReader>

QImage toDetectionLayout(const QImage &image)
{
    if (image.format() == QImage::Format_RGB32)
        return image;
    return image.convertToFormat(QImage::Format_RGB32);
}

bool loadFrame(const QString &fileName, QImage *frame, QString *error)
{
    QImageReader reader(fileName);
    QImage image;
    if (!reader.read(&image)) {
        *error = reader.errorString();
        return false;
    }
    QImage converted = toDetectionLayout(image);
    if (converted.isNull()) {
        *error = QStringLiteral("Not enough memory to convert the image");
        return false;
    }
    *frame = converted;
    return true;
}
