#include "frameturn.h"

extern "C" {
#include <libavutil/display.h>
}

#include <algorithm>
#include <cmath>
#include <cstring>

namespace {

// Output pixels in tiles, so that the rows a transposed tile reads stay in
// the cache while it is written.
const int kTile = 32;

template <int Bytes>
void turnPixels(const uint8_t *start, ptrdiff_t dx, ptrdiff_t dy, int width, int height, uint8_t *to,
                ptrdiff_t toStride, int bytes)
{
    const size_t size = Bytes > 0 ? (size_t)Bytes : (size_t)bytes;
    for (int y0 = 0; y0 < height; y0 += kTile) {
        const int y1 = std::min(height, y0 + kTile);
        for (int x0 = 0; x0 < width; x0 += kTile) {
            const int x1 = std::min(width, x0 + kTile);
            for (int y = y0; y < y1; ++y) {
                const uint8_t *source = start + (ptrdiff_t)y * dy + (ptrdiff_t)x0 * dx;
                uint8_t *target = to + (ptrdiff_t)y * toStride + (ptrdiff_t)x0 * (ptrdiff_t)size;
                for (int x = x0; x < x1; ++x, source += dx, target += size)
                    std::memcpy(target, source, size);
            }
        }
    }
}

}  // namespace

QString FrameTurn::text() const
{
    if (!transpose) {
        if (mirror && flip)
            return QStringLiteral("rotated 180°");
        if (mirror)
            return QStringLiteral("mirrored");
        return flip ? QStringLiteral("flipped upside down") : QString();
    }
    if (mirror && !flip)
        return QStringLiteral("rotated 90° clockwise");
    if (flip && !mirror)
        return QStringLiteral("rotated 90° counterclockwise");
    return mirror ? QStringLiteral("rotated 90° clockwise and flipped upside down")
                  : QStringLiteral("rotated 90° counterclockwise and flipped upside down");
}

bool displayMatrixTurn(const int32_t *matrix, FrameTurn *turn, double *degrees)
{
    *turn = FrameTurn();
    *degrees = 0.0;
    if (!matrix)
        return true;
    // The angle as FFmpeg's program rounds it: whole degrees clockwise,
    // from -0.9 to below 359.1.
    const double counterclockwise = av_display_rotation_get(matrix);
    if (!std::isfinite(counterclockwise)) {
        *degrees = std::nan("");
        return false;
    }
    double theta = -std::round(counterclockwise);
    theta -= 360.0 * std::floor(theta / 360.0 + 0.9 / 360.0);
    *degrees = theta;
    // Which quarter turn, and the flips its matrix adds, as that program
    // picks its filters: transpose=clock, cclock_flip, cclock, clock_flip,
    // hflip and vflip.
    if (std::fabs(theta - 90.0) < 1.0) {
        turn->transpose = true;
        turn->mirror = !(matrix[3] > 0);
    } else if (std::fabs(theta - 180.0) < 1.0) {
        turn->mirror = matrix[0] < 0;
        turn->flip = matrix[4] < 0;
    } else if (std::fabs(theta - 270.0) < 1.0) {
        turn->transpose = true;
        turn->mirror = matrix[3] < 0;
        turn->flip = true;
    } else if (std::fabs(theta) < 1.0) {
        turn->flip = matrix[4] < 0;
    } else {
        return false;
    }
    return true;
}

void turnPlane(const uint8_t *from, ptrdiff_t fromStride, int width, int height, int pixelBytes,
               const FrameTurn &turn, uint8_t *to, ptrdiff_t toStride)
{
    const int outWidth = turn.turnedWidth(width, height);
    const int outHeight = turn.turnedHeight(width, height);
    const ptrdiff_t step = pixelBytes;
    // Output pixel (x, y) is read at start + x * dx + y * dy.
    ptrdiff_t dx, dy, startX, startY;
    if (!turn.transpose) {
        dx = turn.mirror ? -step : step;
        dy = turn.flip ? -fromStride : fromStride;
        startX = turn.mirror ? outWidth - 1 : 0;
        startY = turn.flip ? outHeight - 1 : 0;
    } else {
        dx = turn.mirror ? -fromStride : fromStride;
        dy = turn.flip ? -step : step;
        startY = turn.mirror ? outWidth - 1 : 0;
        startX = turn.flip ? outHeight - 1 : 0;
    }
    const uint8_t *start = from + startY * fromStride + startX * step;
    switch (pixelBytes) {
    case 1:
        turnPixels<1>(start, dx, dy, outWidth, outHeight, to, toStride, 1);
        break;
    case 2:
        turnPixels<2>(start, dx, dy, outWidth, outHeight, to, toStride, 2);
        break;
    case 4:
        turnPixels<4>(start, dx, dy, outWidth, outHeight, to, toStride, 4);
        break;
    default:
        turnPixels<0>(start, dx, dy, outWidth, outHeight, to, toStride, pixelBytes);
        break;
    }
}
