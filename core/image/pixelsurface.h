#pragma once

#include "core/image/colorvalue.h"

namespace ink {

// The picture as the passes and the inspector see it: one pixel at a time,
// in image pixel coordinates ((0, 0) top left, x to the right, y down).
//
// The window's picture box implements it, and so does an in-memory surface
// used by the tests and the batch tool.
class PixelSurface {
public:
    virtual ~PixelSurface() = default;

    // Colour value of pixel (x, y), or -1 outside the drawing surface.
    virtual ColorValue Point(qint64 x, qint64 y) const = 0;
    // Sets pixel (x, y); outside the drawing surface it has no effect.
    virtual void PSet(qint64 x, qint64 y, ColorValue color) = 0;
    // Sets pixels (x, y) .. (x + count - 1, y) to colors[0 .. count - 1], as
    // PSet would one after the other; a colour of -1 leaves its pixel as it
    // is. Surfaces that can write a row in one go do so.
    virtual void PSetRow(qint64 x, qint64 y, const ColorValue *colors, qint64 count) {
        for (qint64 i = 0; i < count; ++i)
            if (colors[i] != kNoPixel)
                PSet(x + i, y, colors[i]);
    }
    // Brings what is on screen up to date with the pixels written so far.
    virtual void Refresh() = 0;
    // The picture area's size in pixels, as single-precision values.
    virtual float Width() const = 0;
    virtual float Height() const = 0;
};

}  // namespace ink
