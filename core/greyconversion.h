#ifndef GREYCONVERSION_H
#define GREYCONVERSION_H

#include <cstddef>
#include <cstdint>

// The detector's input from a colour picture: the grey level of every pixel
// of a frame of 32-bit pixels 0xXXRRGGBB (QImage::Format_RGB32; the top byte
// is not read), rows `pixelsPerLine` pixels apart, written to `grey` (width
// x height bytes, stride width). Each level is
// (B * 0.114 + G * 0.587) + R * 0.299 in float, truncated toward zero, so a
// grey pixel v gives exactly v. Runs the vector code on all cores unless the
// reference is forced (see detectionpaths.h). Returns 0.
int convertRgb32ToGrey(const uint32_t *pixels, size_t pixelsPerLine, uint32_t width,
                       uint32_t height, unsigned char *grey);

#endif // GREYCONVERSION_H
