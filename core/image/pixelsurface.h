#pragma once

#include "core/image/colorvalue.h"

namespace ink {

// The picture as the passes and the inspector see it: one pixel at a time,
// in image pixel coordinates ((0, 0) top left, x to the right, y down).
//
// The sheet implements it (both programs hold their picture as one); so may
// a test's own surface.
class PixelSurface {
public:
    virtual ~PixelSurface() = default;

    // Colour value of pixel (x, y), or -1 outside the drawing surface.
    virtual ColorValue Point(qint64 x, qint64 y) const = 0;
    // Sets pixel (x, y); outside the drawing surface it has no effect.
    virtual void PSet(qint64 x, qint64 y, ColorValue color) = 0;
    // Brings what is on screen up to date with the pixels written so far.
    virtual void Refresh() = 0;
    // The picture area's size in pixels, as single-precision values.
    virtual float Width() const = 0;
    virtual float Height() const = 0;
};

}  // namespace ink
