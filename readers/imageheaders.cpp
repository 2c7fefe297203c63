#include "imageheaders.h"

#include <QIODevice>
#include <QRegularExpression>

#include <cctype>
#include <climits>

namespace {

quint32 bigEndian32(const QByteArray &bytes, int at)
{
    const uchar *b = reinterpret_cast<const uchar *>(bytes.constData()) + at;
    return (quint32)b[0] << 24 | (quint32)b[1] << 16 | (quint32)b[2] << 8 | b[3];
}

quint32 littleEndian(const QByteArray &bytes, int at, int size)
{
    const uchar *b = reinterpret_cast<const uchar *>(bytes.constData()) + at;
    quint32 value = 0;
    for (int i = size - 1; i >= 0; --i)
        value = value << 8 | b[i];
    return value;
}

} // namespace

QByteArray bytesAt(QIODevice *device, qint64 offset, qint64 count)
{
    const qint64 position = device->pos();
    QByteArray bytes;
    if (device->seek(offset))
        bytes = device->read(count);
    device->seek(position);
    return bytes;
}

int ByteCursor::next()
{
    if (at == block.size()) {
        offset += block.size();
        block = bytesAt(device, offset, 65536);
        at = 0;
        if (block.isEmpty())
            return -1;
    }
    return (uchar)block[at++];
}

bool ByteCursor::skip(int count)
{
    for (int i = 0; i < count; ++i)
        if (next() < 0)
            return false;
    return true;
}

bool ByteCursor::skipSubBlocks()
{
    for (;;) {
        const int length = next();
        if (length <= 0)
            return length == 0;
        if (!skip(length))
            return false;
    }
}

QSize pngHeaderSize(QIODevice *device, qint64 offset)
{
    const QByteArray head = bytesAt(device, offset, 24);
    if (head.size() < 24 || !head.startsWith("\x89PNG\r\n\x1a\n") || head.mid(12, 4) != "IHDR")
        return QSize();
    const quint32 width = bigEndian32(head, 16);
    const quint32 height = bigEndian32(head, 20);
    // PNG allows at most 2^31 - 1 either way; QSize holds no more.
    if (width > 0x7FFFFFFFu || height > 0x7FFFFFFFu)
        return QSize();
    return QSize((int)width, (int)height);
}

namespace {

// A GIF file's signature and logical screen descriptor (width, height,
// flags), and the global colour table; the cursor then stands at the first
// block. Empty when the file does not start so.
QByteArray gifHead(QIODevice *device, ByteCursor *cursor)
{
    const QByteArray head = bytesAt(device, 0, 13);
    if (head.size() < 13 || !(head.startsWith("GIF87a") || head.startsWith("GIF89a")))
        return QByteArray();
    const int flags = (uchar)head[10];
    if (!cursor->skip(flags & 0x80 ? 3 * (2 << (flags & 7)) : 0))
        return QByteArray();
    return head;
}

const QString kCutShort = QStringLiteral("cut short");

} // namespace

QString gifStructureDamage(QIODevice *device)
{
    ByteCursor cursor(device, 13);
    if (gifHead(device, &cursor).isEmpty())
        return kCutShort;
    for (;;) {
        switch (cursor.next()) {
        case 0x3B:  // trailer
            return QString();
        case 0x21:  // extension: a label, then sub-blocks
            if (cursor.next() < 0 || !cursor.skipSubBlocks())
                return kCutShort;
            break;
        case 0x2C: {  // image descriptor, local colour table, LZW code size, sub-blocks
            if (!cursor.skip(8))
                return kCutShort;
            const int flags = cursor.next();
            if (flags < 0 || !cursor.skip(flags & 0x80 ? 3 * (2 << (flags & 7)) : 0) || cursor.next() < 0
                || !cursor.skipSubBlocks())
                return kCutShort;
            break;
        }
        case -1:
            return kCutShort;
        default:
            return QStringLiteral("a block of unknown kind in the GIF data");
        }
    }
}

QString iconDirectoryDamage(QIODevice *device)
{
    const QByteArray head = bytesAt(device, 0, 6);
    const int count = head.size() == 6 ? (int)littleEndian(head, 4, 2) : 0;
    const QByteArray entries = bytesAt(device, 6, 16 * count);
    if (entries.size() < 16 * count)
        return kCutShort;
    const qint64 size = device->size();
    for (int i = 0; i < count; ++i)
        if ((qint64)littleEndian(entries, 16 * i + 12, 4) + littleEndian(entries, 16 * i + 8, 4) > size)
            return kCutShort;
    return QString();
}

QString declaredLengthDamage(QIODevice *device, const QByteArray &format)
{
    qint64 declared = 0;
    if (format == "bmp") {
        const QByteArray head = bytesAt(device, 0, 6);
        if (head.size() == 6)
            declared = littleEndian(head, 2, 4);
    } else if (format == "webp") {
        const QByteArray head = bytesAt(device, 0, 8);
        if (head.size() == 8 && head.startsWith("RIFF"))
            declared = 8 + (qint64)littleEndian(head, 4, 4);
    }
    return declared > device->size() ? kCutShort : QString();
}

QSize bmpHeaderSize(QIODevice *device)
{
    // File header (14 bytes), then the info header's size: 12 for OS/2's
    // 16-bit sizes, more for 32-bit ones.
    const QByteArray head = bytesAt(device, 0, 26);
    if (head.size() < 22 || !head.startsWith("BM"))
        return QSize();
    qint64 width, height;
    if (littleEndian(head, 14, 4) == 12) {
        width = littleEndian(head, 18, 2);
        height = littleEndian(head, 20, 2);
    } else {
        if (head.size() < 26)
            return QSize();
        width = (qint32)littleEndian(head, 18, 4);
        height = qAbs((qint64)(qint32)littleEndian(head, 22, 4));
    }
    if (width <= 0 || height <= 0 || height > INT_MAX)
        return QSize();
    return QSize((int)width, (int)height);
}

bool pnmHeaderNumber(const QByteArray &head, int *at, qint64 *value)
{
    int i = *at;
    while (i < head.size() && (head[i] == '#' || isspace((uchar)head[i]))) {
        if (head[i] == '#')
            while (i < head.size() && head[i] != '\n' && head[i] != '\r')
                ++i;
        else
            ++i;
    }
    if (i == head.size() || !isdigit((uchar)head[i]))
        return false;
    *value = 0;
    while (i < head.size() && isdigit((uchar)head[i]) && *value < INT_MAX)
        *value = *value * 10 + (head[i++] - '0');
    *at = i;
    return true;
}

QSize pnmHeaderSize(QIODevice *device)
{
    const QByteArray head = bytesAt(device, 0, 1024);
    if (head.size() < 3 || head[0] != 'P' || head[1] < '1' || head[1] > '6')
        return QSize();
    qint64 values[2] = {0, 0};
    int at = 2;
    for (qint64 &value : values)
        if (!pnmHeaderNumber(head, &at, &value) || value > INT_MAX
            || (at < head.size() && isdigit((uchar)head[at])))
            return QSize();
    if (values[0] <= 0 || values[1] <= 0)
        return QSize();
    return QSize((int)values[0], (int)values[1]);
}

QString pnmTextDamage(QIODevice *device)
{
    const QByteArray head = bytesAt(device, 0, 1024);
    if (head.size() < 3 || head[0] != 'P' || head[1] < '1' || head[1] > '3')
        return QString();
    const bool bitmap = head[1] == '1';
    qint64 values[3] = {0, 0, 1};
    int at = 2;
    for (int i = 0; i < (bitmap ? 2 : 3); ++i)
        if (!pnmHeaderNumber(head, &at, &values[i]))
            return QString();  // the reader says what is wrong with the header
    const qint64 wanted = values[0] * values[1] * (head[1] == '3' ? 3 : 1);  // each at most INT_MAX
    ByteCursor cursor(device, at);
    qint64 found = 0;
    bool inNumber = false;
    for (int c = cursor.next(); c >= 0 && found < wanted; c = cursor.next()) {
        if (c == '#' && !inNumber) {
            while (c >= 0 && c != '\n' && c != '\r')
                c = cursor.next();
            continue;
        }
        const bool digit = isdigit(c);
        // A bitmap's samples are single digits, written with or without
        // space between them.
        if (digit && (bitmap || !inNumber))
            ++found;
        inNumber = digit && !bitmap;
    }
    return found < wanted ? kCutShort : QString();
}

QSize gifCanvasSize(QIODevice *device)
{
    ByteCursor cursor(device, 13);
    const QByteArray head = gifHead(device, &cursor);
    if (head.isEmpty())
        return QSize();
    const int screenWidth = (int)littleEndian(head, 6, 2);
    const int screenHeight = (int)littleEndian(head, 8, 2);

    // Extensions up to the first image descriptor.
    for (;;) {
        const int introducer = cursor.next();
        if (introducer == 0x21) {  // extension: a label, then sub-blocks
            if (cursor.next() < 0 || !cursor.skipSubBlocks())
                return QSize();
        } else if (introducer == 0x2C) {  // image descriptor
            int field[4];
            for (int &value : field) {
                const int low = cursor.next();
                const int high = cursor.next();
                if (high < 0)
                    return QSize();
                value = low | high << 8;
            }
            const int left = field[0], top = field[1], width = field[2], height = field[3];
            // Qt ignores a screen larger than ten times both the picture and
            // 16384, which 16 bits cannot give.
            return QSize(screenWidth > 0 ? screenWidth : left + width, screenHeight > 0 ? screenHeight : top + height);
        } else {
            return QSize();  // the trailer, the end, or not GIF: no picture
        }
    }
}

IconPicture firstIconPicture(QIODevice *device)
{
    // Directory header (reserved, type, count), then the first 16-byte
    // entry: width, height (0 meaning "see the picture"), colours, reserved,
    // planes, bits, bytes in the resource, offset of the resource.
    IconPicture picture;
    const QByteArray directory = bytesAt(device, 0, 22);
    if (directory.size() < 22 || littleEndian(directory, 4, 2) == 0)
        return picture;
    const int entryWidth = (uchar)directory[6];
    const int entryHeight = (uchar)directory[7];
    const qint64 length = littleEndian(directory, 14, 4);
    const qint64 offset = littleEndian(directory, 18, 4);

    // Qt's reader decodes a PNG stream whole, whatever the entry says.
    if (bytesAt(device, offset, 8) == "\x89PNG\r\n\x1a\n") {
        picture.size = pngHeaderSize(device, offset);
        picture.pngOffset = offset;
        picture.pngLength = length;
        return picture;
    }
    // A bitmap: its info header gives the width, and twice the height (the
    // picture and its mask); the entry's sizes count unless they are 0.
    const QByteArray info = bytesAt(device, offset, 12);
    if (info.size() < 12)
        return picture;
    const qint64 width = entryWidth ? entryWidth : (qint32)littleEndian(info, 4, 4);
    const qint64 height = entryHeight ? entryHeight : (qint32)littleEndian(info, 8, 4) / 2;
    if (width > 0 && height > 0)
        picture.size = QSize((int)width, (int)height);
    return picture;
}

QSize xbmDefinedSize(QIODevice *device)
{
    // Qt reads lines of at most 299 bytes, skips those before the first
    // that starts with '#' within the first 4 KiB, and takes that line and
    // the next as the two definitions, each without its last character.
    const int maxLine = 299;
    const QByteArray head = bytesAt(device, 0, 4096 + 2 * maxLine);
    int at = 0;
    auto nextLine = [&]() {
        const int newline = head.indexOf('\n', at);
        const int end = newline < 0 || newline - at >= maxLine ? qMin(at + maxLine, head.size()) : newline + 1;
        const QByteArray line = head.mid(at, end - at);
        at = end;
        return line;
    };
    QByteArray line;
    for (int total = 0; !line.startsWith('#');) {
        line = nextLine();
        total += line.size();
        if (line.isEmpty() || line.size() >= maxLine - 1 || total >= 4096)
            return QSize();
    }

    static const QRegularExpression definition(QStringLiteral("^#define[ \t]+[a-zA-Z0-9._]+[ \t]+(?=[0-9])"));
    int values[2];
    for (int i = 0; i < 2; ++i) {
        if (i == 1)
            line = nextLine();
        if (line.isEmpty())
            return QSize();
        const QString text = QString::fromLatin1(line.left(line.size() - 1));
        const QRegularExpressionMatch match = definition.match(text);
        if (!match.hasMatch())
            return QSize();
        values[i] = text.mid(match.capturedLength()).trimmed().toInt();
        if (values[i] <= 0 || values[i] > 32767)
            return QSize();
    }
    return QSize(values[0], values[1]);
}
