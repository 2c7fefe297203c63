#ifndef FRAMELOADING_H
#define FRAMELOADING_H

#include <QImage>
#include <QString>

// Reads an image file the way the window opens one: the format is detected
// from the content by the installed Qt image plug-ins. On success `frame`
// holds the picture in QImage::Format_RGB32, the layout the detection job
// reads; on failure `frame` is left alone and `error` says why.
bool loadFrame(const QString &fileName, QImage *frame, QString *error);

// The frame brought to QImage::Format_RGB32 (shared, not copied, when it is
// already in that layout). A null result for a non-null frame means the
// conversion ran out of memory.
QImage toDetectionLayout(const QImage &image);

#endif // FRAMELOADING_H
