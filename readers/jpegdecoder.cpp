#include "jpegdecoder.h"

#include "detectionpaths.h"
#include "hessiandetector.h"
#include "intensitystretch.h"
#include "parallelbands.h"

#include <QColorSpace>

#include <algorithm>
#include <atomic>
#include <csetjmp>
#include <cstdio>  // jpeglib.h needs FILE
#include <cstdlib>
#include <cstring>
#include <mutex>

extern "C" {
#include <jpeglib.h>
}

namespace {

// libjpeg reports through these. Any warning means that the file is not
// plain, as any error does: the decoding stops there, and Qt's reader, which
// says what is wrong, decodes the file from the start.
struct ErrorTrap {
    jpeg_error_mgr manager;  // first: libjpeg hands back &manager
    std::jmp_buf escape;
};

extern "C" void leaveOnError(j_common_ptr info)
{
    std::longjmp(reinterpret_cast<ErrorTrap *>(info->err)->escape, 1);
}

extern "C" void leaveOnWarning(j_common_ptr info, int level)
{
    if (level < 0)
        std::longjmp(reinterpret_cast<ErrorTrap *>(info->err)->escape, 1);
}

extern "C" void sayNothing(j_common_ptr)
{
}

// The whole file is in memory. Asked for more, libjpeg has read to the end
// of a file that is cut short: Qt's reader would hand it a made-up end
// marker and report the file damaged.
extern "C" void startSource(j_decompress_ptr)
{
}

extern "C" boolean ranOutOfData(j_decompress_ptr info)
{
    leaveOnError(reinterpret_cast<j_common_ptr>(info));
    return FALSE;
}

extern "C" void skipData(j_decompress_ptr info, long count)
{
    jpeg_source_mgr *source = info->src;
    if (count <= 0)
        return;
    if ((unsigned long)count > source->bytes_in_buffer)
        ranOutOfData(info);
    source->next_input_byte += count;
    source->bytes_in_buffer -= (size_t)count;
}

extern "C" void endSource(j_decompress_ptr)
{
}

// One decompressor over the file. Zero-filled, so that it can be destroyed
// whatever point its set-up reached.
struct Decompression {
    jpeg_decompress_struct info;
    ErrorTrap trap;
    jpeg_source_mgr source;
};

// The rows of one call of jpeg_read_scanlines, at most: a grey or colour
// picture is upsampled in groups of up to 2 rows, and 16 keep a few
// groups' rows in the cache for the conversion to grey.
const unsigned kChunkRows = 16;

// Where decoded rows go.
struct RowTarget {
    bool colour;               // the file's rows are 32-bit BGRX, else grey bytes
    bool toGrey;               // colour rows are brought to grey levels in `image`
    unsigned char *image;      // the picture's rows
    size_t bytesPerLine;
    unsigned char *chunk;      // toGrey: kChunkRows colour rows
    HessianRunConfig config;   // of the conversion to grey, on this thread
};

// What Qt's reader keeps of the markers before the picture.
struct HeaderMarkers {
    QByteArray exif;
    QByteArray icc;
    QStringList texts;  // key, value, key, value, ...
};

// Opens the file and reads its header, as Qt's reader does (it keeps
// comments, EXIF data and colour profiles). False on any complaint.
bool readHeader(Decompression *d, const unsigned char *data, size_t size)
{
    d->info.err = jpeg_std_error(&d->trap.manager);
    d->trap.manager.error_exit = leaveOnError;
    d->trap.manager.emit_message = leaveOnWarning;
    d->trap.manager.output_message = sayNothing;
    if (setjmp(d->trap.escape))
        return false;
    jpeg_create_decompress(&d->info);
    d->source.next_input_byte = data;
    d->source.bytes_in_buffer = size;
    d->source.init_source = startSource;
    d->source.fill_input_buffer = ranOutOfData;
    d->source.skip_input_data = skipData;
    d->source.resync_to_restart = jpeg_resync_to_restart;
    d->source.term_source = endSource;
    d->info.src = &d->source;
    jpeg_save_markers(&d->info, JPEG_COM, 0xFFFF);
    jpeg_save_markers(&d->info, JPEG_APP0 + 1, 0xFFFF);
    jpeg_save_markers(&d->info, JPEG_APP0 + 2, 0xFFFF);
    if (jpeg_read_header(&d->info, TRUE) != JPEG_HEADER_OK)
        return false;
    jpeg_calc_output_dimensions(&d->info);
    return true;
}

// Grey samples, or colours that libjpeg converts to RGB itself. CMYK and
// YCCK pictures are left to Qt's reader, which inverts Adobe's inks.
bool plainSamples(const jpeg_decompress_struct &info)
{
    if (info.data_precision != 8)
        return false;
    if (info.num_components == 1)
        return info.jpeg_color_space == JCS_GRAYSCALE && info.out_color_space == JCS_GRAYSCALE;
    return info.num_components == 3 && (info.jpeg_color_space == JCS_YCbCr || info.jpeg_color_space == JCS_RGB)
           && info.out_color_space == JCS_RGB;
}

HeaderMarkers readMarkers(const jpeg_decompress_struct &info)
{
    HeaderMarkers markers;
    for (jpeg_saved_marker_ptr marker = info.marker_list; marker; marker = marker->next) {
        const char *bytes = reinterpret_cast<const char *>(marker->data);
        const int length = (int)marker->data_length;
        if (marker->marker == JPEG_COM) {
            // "Key: value", or the whole comment as a description.
            const QString text = QString::fromUtf8(bytes, length);
            const int colon = text.indexOf(QLatin1String(": "));
            if (colon == -1 || text.indexOf(QLatin1Char(' ')) < colon)
                markers.texts << QStringLiteral("Description") << text;
            else
                markers.texts << text.left(colon) << text.mid(colon + 2);
        } else if (marker->marker == JPEG_APP0 + 1) {
            markers.exif.append(bytes, length);
        } else if (marker->marker == JPEG_APP0 + 2) {
            if (length > 128 + 4 + 14 && std::memcmp(bytes, "ICC_PROFILE", 12) == 0)
                markers.icc.append(bytes + 14, length - 14);
        }
    }
    return markers;
}

void freeBuffer(void *buffer)
{
    std::free(buffer);
}

// A picture in a buffer of the frame allocator (huge pages where the system
// has them: a frame's 4 KiB pages cost more to map than to decode).
QImage frameImage(uint32_t width, uint32_t height, QImage::Format format, size_t bytesPerLine)
{
    void *buffer = allocateFrameBuffer(bytesPerLine * height);
    if (!buffer)
        return QImage();
    QImage image(static_cast<uchar *>(buffer), (int)width, (int)height, (qsizetype)bytesPerLine, format, freeBuffer,
                 buffer);
    if (image.isNull())
        std::free(buffer);
    return image;
}

// The lowest and the highest level of the rows a thread decoded.
struct Levels {
    unsigned char lowest = 255;
    unsigned char highest = 0;
};

// The rows of a picture shared by two threads: one decodes from the top,
// the other reads the compressed data from the start without decoding the
// pixels (libjpeg can only read it in order) up to a later row, and decodes
// from there to the bottom. Reading ahead is quicker than decoding, so the
// second thread aims at the row where both have as many rows left, looks
// again once there (the first has moved on meanwhile), and takes over when
// the two differ by little. Each look ahead costs libjpeg a part of a row
// of blocks decoded, so it looks a few times, not at every row.
struct RowShare {
    std::mutex mutex;
    uint32_t height = 0;
    uint32_t claimed = 0;      // rows the top thread has taken
    uint32_t split = 0;        // where the top thread stops: height until the bottom thread takes over
    uint32_t fixedSplit = 0;   // a split asked for, or 0
    std::atomic<bool> failed{false};
};

// The next rows for the top thread from row y: at most `count`, none past
// the split.
uint32_t claimTopRows(RowShare *share, uint32_t y, uint32_t count)
{
    std::lock_guard<std::mutex> lock(share->mutex);
    const uint32_t taken = y < share->split ? std::min(count, share->split - y) : 0;
    share->claimed = y + taken;
    return taken;
}

enum class BottomStep { Skip, Take, Done };

// What the bottom thread, having read ahead to `row`, does next: reads
// `*rows` rows further ahead, takes the rows from `row` on, or leaves
// them all to the top thread. `step`: the rows of a row of blocks.
BottomStep nextBottomStep(RowShare *share, uint32_t row, uint32_t step, uint32_t *rows)
{
    std::lock_guard<std::mutex> lock(share->mutex);
    const uint32_t height = share->height, claimed = share->claimed;
    if (share->fixedSplit) {
        *rows = share->fixedSplit > row ? share->fixedSplit - row : 0;
        return row < share->fixedSplit ? BottomStep::Skip
               : row == share->fixedSplit ? BottomStep::Take
                                          : BottomStep::Done;
    }
    if (claimed >= height || row + step >= height)
        return BottomStep::Done;
    const uint64_t bottomLeft = height - row;
    const uint64_t topLeft = row > claimed ? row - claimed : 0;
    if (row >= claimed && bottomLeft <= topLeft + 2 * (uint64_t)step) {
        share->split = row;
        return BottomStep::Take;
    }
    // Where both would have as many rows left, on a row of blocks.
    const uint32_t balance = (uint32_t)(((uint64_t)height + claimed + 1) / 2);
    const uint32_t target = std::max(row + step, (balance + step - 1) / step * step);
    if (target >= height)
        return BottomStep::Done;
    *rows = target - row;
    return BottomStep::Skip;
}

// Asks for the target's layout and starts decompressing.
void startRows(Decompression *d, const RowTarget &target)
{
    // Qt's reader takes RGB and widens it to 0xffRRGGBB; libjpeg writes the
    // same bytes when asked for BGRX (its fourth byte is 0xff).
    if (target.colour)
        d->info.out_color_space = JCS_EXT_BGRX;
    jpeg_start_decompress(&d->info);
}

// Decodes `count` rows from row y into the target. Called under the
// caller's setjmp: libjpeg's complaints jump back there.
void readRows(Decompression *d, uint32_t y, uint32_t count, const RowTarget &target, Levels *levels)
{
    const uint32_t width = d->info.output_width;
    JSAMPROW rows[kChunkRows];
    for (uint32_t i = 0; i < count; ++i)
        rows[i] = target.toGrey ? target.chunk + (size_t)i * width * 4
                                : target.image + (size_t)(y + i) * target.bytesPerLine;
    for (uint32_t done = 0; done < count;) {
        const JDIMENSION read = jpeg_read_scanlines(&d->info, rows + done, count - done);
        if (read == 0)
            leaveOnError(reinterpret_cast<j_common_ptr>(&d->info));
        done += read;
    }
    for (uint32_t i = 0; i < count; ++i) {
        if (target.colour)
            colourLevelsAdd(reinterpret_cast<const uint32_t *>(rows[i]), width, &levels->lowest, &levels->highest);
        else
            greyLevelsAdd(rows[i], width, &levels->lowest, &levels->highest);
    }
    if (target.toGrey
        && convertRgb32ToGreyWith(reinterpret_cast<const uint32_t *>(target.chunk), width, width, count,
                                  target.image + (size_t)y * target.bytesPerLine, target.config)
               != HESSIAN_OK)
        leaveOnError(reinterpret_cast<j_common_ptr>(&d->info));
}

// The top thread: rows from the top to the split; the whole file when that
// is the end. False on any complaint.
bool decodeFromTop(Decompression *d, RowShare *share, const RowTarget &target, Levels *levels)
{
    if (setjmp(d->trap.escape)) {
        share->failed = true;
        return false;
    }
    startRows(d, target);
    for (;;) {
        if (share->failed)
            return false;
        const uint32_t y = d->info.output_scanline;
        const uint32_t count = claimTopRows(share, y, kChunkRows);
        if (count == 0)
            break;
        readRows(d, y, count, target, levels);
    }
    if (d->info.output_scanline == d->info.output_height)
        jpeg_finish_decompress(&d->info);
    return true;
}

// The bottom thread: reads ahead a row of blocks at a time until it takes
// the rows from there to the end, or leaves them all to the top thread.
bool decodeToBottom(Decompression *d, RowShare *share, const RowTarget &target, Levels *levels)
{
    if (setjmp(d->trap.escape)) {
        share->failed = true;
        return false;
    }
    startRows(d, target);
    // The rows of one row of blocks: libjpeg reads ahead whole ones.
    const uint32_t step = (uint32_t)(d->info.max_v_samp_factor * d->info.min_DCT_scaled_size);
    for (;;) {
        if (share->failed)
            return false;
        uint32_t rows = 0;
        const BottomStep next = nextBottomStep(share, d->info.output_scanline, step, &rows);
        if (next == BottomStep::Done)
            return true;
        if (next == BottomStep::Take)
            break;
        if (jpeg_skip_scanlines(&d->info, rows) != rows)
            leaveOnError(reinterpret_cast<j_common_ptr>(&d->info));
    }
    while (d->info.output_scanline < d->info.output_height) {
        if (share->failed)
            return false;
        const uint32_t y = d->info.output_scanline;
        readRows(d, y, std::min(kChunkRows, d->info.output_height - y), target, levels);
    }
    jpeg_finish_decompress(&d->info);
    return true;
}

// Pictures smaller than this are decoded by one thread: a second one would
// cost more to start than it saves.
const uint64_t kSplitPixels = uint64_t(1) << 18;

// Reads as QDataStream reads a QBuffer: a read that finds too few bytes
// takes what there is, gives 0 and marks the stream, and later reads read on.
class ExifStream
{
public:
    explicit ExifStream(const QByteArray &bytes) : bytes(bytes) {}

    bool littleEndian = false;
    bool ok = true;
    qint64 position = 0;

    qint64 size() const { return bytes.size(); }
    bool seek(qint64 to)
    {
        if (to < 0 || to > size())
            return false;
        position = to;
        return true;
    }
    bool take(unsigned char *out, qint64 count)
    {
        const qint64 available = std::min(count, size() - position);
        std::memcpy(out, bytes.constData() + position, (size_t)available);
        position += available;
        if (available != count)
            ok = false;
        return available == count;
    }
    quint32 number(int count)
    {
        unsigned char raw[4];
        if (!take(raw, count))
            return 0;
        quint32 value = 0;
        for (int i = 0; i < count; ++i)
            value = littleEndian ? value | (quint32)raw[i] << (8 * i) : value << 8 | raw[i];
        return value;
    }
    quint16 read16() { return (quint16)number(2); }
    quint32 read32() { return number(4); }

private:
    const QByteArray &bytes;
};

// Qt's reading of the EXIF orientation: -1 where the data cannot be read, 0
// where it says nothing, else the orientation.
int readExifOrientation(const QByteArray &exif)
{
    const qint64 headerStart = 6;  // "Exif\0\0"
    const int maxIfdCount = 10;
    ExifStream stream(exif);
    unsigned char prefix[6];
    if (!stream.take(prefix, 6) || std::memcmp(prefix, "Exif\0\0", 6) != 0)
        return -1;
    const quint16 order = stream.read16();
    if (order == 0x4949)
        stream.littleEndian = true;
    else if (order != 0x4d4d)
        return -1;
    if (stream.read16() != 0x2a)
        return -1;
    quint32 offset = stream.read32();
    for (int n = 0; n < maxIfdCount; ++n) {
        const qint64 bytesToSkip = (qint64)offset - (stream.position - headerStart);
        if (bytesToSkip < 0 || (qint64)offset + headerStart >= stream.size())
            return -1;  // going backwards, or past the end
        if (bytesToSkip != 0 && !stream.seek((qint64)offset + headerStart))
            return -1;
        for (quint16 entries = stream.read16(); entries > 0 && stream.ok; --entries) {
            const quint16 tag = stream.read16();
            const quint16 type = stream.read16();
            const quint32 components = stream.read32();
            const quint16 value = stream.read16();
            stream.read16();
            if (tag == 0x0112) {
                if (components != 1 || type != 3 || value < 1 || value > 8)
                    return -1;
                return value;
            }
        }
        offset = stream.read32();
        if (!stream.ok)
            return -1;
        if (offset == 0)
            return 0;
    }
    return -1;
}

} // namespace

int exifOrientation(const QByteArray &app1)
{
    if (app1.isEmpty())
        return 1;
    const int orientation = readExifOrientation(app1);
    return orientation > 0 ? orientation : 1;
}

bool decodePlainJpeg(const unsigned char *data, size_t size, JpegTarget target, qint64 maxPixels,
                     DecodedJpeg *decoded, unsigned threads, uint32_t splitRow)
{
    if (size < 2 || data[0] != 0xff || data[1] != 0xd8)
        return false;
    Decompression d;
    std::memset(&d, 0, sizeof d);
    bool ok = readHeader(&d, data, size) && plainSamples(d.info);
    const uint32_t width = ok ? d.info.output_width : 0, height = ok ? d.info.output_height : 0;
    ok = ok && width > 0 && height > 0 && (qint64)height <= maxPixels / width;
    DecodedJpeg result;
    // What Qt's reader keeps: the markers before the picture.
    const HeaderMarkers markers = ok ? readMarkers(d.info) : HeaderMarkers();
    RowTarget rows = {};
    unsigned char *chunk = nullptr;
    if (ok) {
        rows.colour = d.info.num_components == 3;
        rows.toGrey = rows.colour && target == JpegTarget::Grey;
        const bool grey = !rows.colour || target == JpegTarget::Grey;
        // Qt's frames start each row on 4 bytes; the detector reads grey
        // rows without padding in place.
        rows.bytesPerLine = !grey ? (size_t)width * 4
                            : target == JpegTarget::Grey ? (size_t)width
                                                         : ((size_t)width + 3) & ~(size_t)3;
        result.image = frameImage(width, height, grey ? QImage::Format_Grayscale8 : QImage::Format_RGB32,
                                  rows.bytesPerLine);
        if (rows.toGrey)
            chunk = static_cast<unsigned char *>(std::malloc((size_t)width * 4 * kChunkRows));
        ok = !result.image.isNull() && (!rows.toGrey || chunk);
    }
    Levels top, bottom;
    if (ok) {
        rows.image = result.image.bits();
        rows.chunk = chunk;
        rows.config = defaultRunConfig();
        rows.config.threads = 1;
        RowShare share;
        share.height = share.split = height;
        share.fixedSplit = splitRow < height ? splitRow : 0;
        if (share.fixedSplit)
            share.split = share.fixedSplit;
        const unsigned wanted = threads ? threads : machineThreads();
        const bool split = share.fixedSplit
                           || (wanted > 1 && (uint64_t)width * height >= kSplitPixels && !jpeg_has_multiple_scans(&d.info));
        if (!split) {
            ok = decodeFromTop(&d, &share, rows, &top);
        } else {
            // The bottom thread's own decompressor and conversion chunk.
            Decompression second;
            std::memset(&second, 0, sizeof second);
            RowTarget bottomRows = rows;
            bottomRows.chunk = rows.toGrey ? static_cast<unsigned char *>(std::malloc((size_t)width * 4 * kChunkRows))
                                           : nullptr;
            ok = (!rows.toGrey || bottomRows.chunk) && readHeader(&second, data, size);
            if (ok)
                ok = runInBands(2, 2, 0, 2, [&](unsigned, unsigned band, uint32_t, uint32_t) {
                    const bool done = band == 0 ? decodeFromTop(&d, &share, rows, &top)
                                                : decodeToBottom(&second, &share, bottomRows, &bottom);
                    return done ? 0 : 1;
                }) == 0;
            std::free(bottomRows.chunk);
            jpeg_destroy_decompress(&second.info);
        }
    }
    if (ok) {
        result.orientation = exifOrientation(markers.exif);
        result.lowest = std::min({top.lowest, bottom.lowest, std::max(top.highest, bottom.highest)});
        result.highest = std::max(top.highest, bottom.highest);
        if (target == JpegTarget::Frame) {
            if (d.info.density_unit == 1) {
                result.image.setDotsPerMeterX(int(100. * d.info.X_density / 2.54));
                result.image.setDotsPerMeterY(int(100. * d.info.Y_density / 2.54));
            } else if (d.info.density_unit == 2) {
                result.image.setDotsPerMeterX(int(100. * d.info.X_density));
                result.image.setDotsPerMeterY(int(100. * d.info.Y_density));
            }
            for (int i = 0; i + 1 < markers.texts.size(); i += 2)
                result.image.setText(markers.texts[i], markers.texts[i + 1]);
            if (!markers.icc.isEmpty())
                result.image.setColorSpace(QColorSpace::fromIccProfile(markers.icc));
        }
    }
    std::free(chunk);
    jpeg_destroy_decompress(&d.info);
    if (ok)
        *decoded = result;
    return ok;
}
