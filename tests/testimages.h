#ifndef TESTIMAGES_H
#define TESTIMAGES_H

// Pictures with blobs, and image files that lie about themselves, made in
// memory by the tests; feature lists as text, for comparing and for
// readable failures.

#include <QBuffer>
#include <QByteArray>
#include <QFile>
#include <QImage>
#include <QImageWriter>
#include <QStringList>

#include "localmaxima.h"

#include <cmath>

// "(x, y) (x, y) ...", in list order.
inline QString featureList(const QVector<Feature> &features)
{
    QStringList points;
    for (const Feature &f : features)
        points << QString("(%1, %2)").arg(f.x).arg(f.y);
    return points.join(' ');
}

// Light and dark soft blobs of several sizes on a gradient, in colour, so
// that a misread channel or a lost bit changes the features.
inline QImage blobPicture(int width, int height)
{
    QImage picture(width, height, QImage::Format_RGB32);
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x) {
            double v = 40 + 0.3 * x + 0.2 * y;
            for (int b = 0; b < 9; ++b) {
                const double cx = (b * 47 + 20) % width, cy = (b * 29 + 15) % height, s = 2 + b % 4;
                v += (b % 3 ? 150 : -60) * std::exp(-((x - cx) * (x - cx) + (y - cy) * (y - cy)) / (2 * s * s));
            }
            const int g = qBound(0, (int)v, 255);
            picture.setPixel(x, y, qRgb(g, (g * 3) % 256, 255 - g));
        }
    return picture;
}

// A 64 x 48 grey frame of flat discs on a fine texture, bright and dark,
// centred off the pixel grid, in integer arithmetic only: the same bytes as
// tools/oracle/spot_frame.py writes for the oracle.
inline QImage spotFrame()
{
    const int discs[4][4] = {{83, 61, 150, 60}, {170, 90, 260, -45}, {130, 150, 90, 70}, {205, 141, 400, 35}};
    QImage frame(64, 48, QImage::Format_Grayscale8);
    for (int y = 0; y < 48; ++y)
        for (int x = 0; x < 64; ++x) {
            int v = 90 + (x * 7 + y * 3) % 11;
            for (const auto &d : discs) {
                const int dx = 4 * x + 2 - d[0], dy = 4 * y + 2 - d[1];
                if (dx * dx + dy * dy <= d[2])
                    v += d[3];
                if (dx * dx + dy * dy <= d[2] / 4)
                    v += d[3] / 2;
            }
            frame.scanLine(y)[x] = (uchar)v;
        }
    return frame;
}

inline QByteArray encoded(const QImage &image, const char *format)
{
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    QImageWriter writer(&buffer, format);
    if (!writer.write(image))
        qFatal("cannot encode %s: %s", format, qPrintable(writer.errorString()));
    return bytes;
}

// Writes `bytes` as the whole of the file at `path`.
inline bool writeFile(const QString &path, const QByteArray &bytes)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size();
}

inline quint32 crc32(const QByteArray &data)
{
    quint32 crc = 0xFFFFFFFFu;
    for (char c : data) {
        crc ^= (quint8)c;
        for (int bit = 0; bit < 8; ++bit)
            crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
    }
    return ~crc;
}

inline void putBigEndian(QByteArray &bytes, int at, quint32 value, int size)
{
    for (int i = 0; i < size; ++i)
        bytes[at + i] = (char)(value >> (8 * (size - 1 - i)));
}

inline void putLittleEndian(QByteArray &bytes, int at, quint32 value, int size)
{
    for (int i = 0; i < size; ++i)
        bytes[at + i] = (char)(value >> (8 * i));
}

// Rewrites the IHDR chunk's size and keeps its CRC valid, so that only the
// claim is wrong.
inline QByteArray pngClaiming(quint32 width, quint32 height)
{
    QByteArray png = encoded(QImage(8, 8, QImage::Format_RGB32), "png");
    const int ihdr = png.indexOf("IHDR");
    putBigEndian(png, ihdr + 4, width, 4);
    putBigEndian(png, ihdr + 8, height, 4);
    putBigEndian(png, ihdr + 17, crc32(png.mid(ihdr, 17)), 4);
    return png;
}

inline QByteArray jpegClaiming(quint16 width, quint16 height)
{
    QImage image(16, 16, QImage::Format_RGB32);
    image.fill(Qt::gray);
    QByteArray jpeg = encoded(image, "jpg");
    const int sof = jpeg.indexOf("\xFF\xC0");
    putBigEndian(jpeg, sof + 5, height, 2);
    putBigEndian(jpeg, sof + 7, width, 2);
    return jpeg;
}

inline QByteArray bmpClaiming(quint32 width, quint32 height)
{
    QByteArray bmp = encoded(QImage(4, 4, QImage::Format_RGB32), "bmp");
    putLittleEndian(bmp, 18, width, 4);
    putLittleEndian(bmp, 22, height, 4);
    return bmp;
}

#endif // TESTIMAGES_H
