#ifndef FRAMETURN_H
#define FRAMETURN_H

#include <QString>

#include <cstddef>
#include <cstdint>

// How a video's frames are turned to be shown as its display matrix says:
// first rows become columns (transpose), then the result is read right to
// left (mirror) and bottom to top (flip). The eight ways cover every
// multiple of 90 degrees, mirrored or not; each moves pixels without
// computing any.
struct FrameTurn {
    bool transpose = false;
    bool mirror = false;
    bool flip = false;

    bool none() const { return !transpose && !mirror && !flip; }
    // The size of a turned frame of `width` x `height`.
    int turnedWidth(int width, int height) const { return transpose ? height : width; }
    int turnedHeight(int width, int height) const { return transpose ? width : height; }
    // "rotated 90° clockwise", "flipped upside down", ...; empty for none.
    QString text() const;
};

// The turn FFmpeg's program applies to a stream with this display matrix
// (nine 16.16 and 2.30 fixed-point numbers, as av_display_rotation_get
// reads them; null: none): a multiple of 90 degrees, with the flips the
// matrix holds. False for any other angle, which is left as stored, with
// the angle (clockwise, NaN when the matrix names none) in `degrees`.
bool displayMatrixTurn(const int32_t *matrix, FrameTurn *turn, double *degrees);

// A plane of `width` x `height` pixels of `pixelBytes` bytes each (1 to 8),
// rows `fromStride` bytes apart, turned into `to`, whose rows are
// `toStride` bytes apart and hold turn.turnedWidth() pixels.
void turnPlane(const uint8_t *from, ptrdiff_t fromStride, int width, int height, int pixelBytes,
               const FrameTurn &turn, uint8_t *to, ptrdiff_t toStride);

#endif // FRAMETURN_H
