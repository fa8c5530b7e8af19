#pragma once

#include "image/colorvalue.h"
#include "image/maskarray.h"
#include "image/pixelsurface.h"

#include <QString>

namespace ink {

// The pixel inspector's arithmetic: the colour split it shows, the
// information line, the cursor's steps and the blink tick's values. The
// window's handlers put these together with its controls.

// A colour value split the inspector's own way. For a colour (0..0xFFFFFF) it
// gives the three channels, as ColorToRGB does; it differs for values with a
// top byte, which it never refuses: green keeps 32 bits and its sign, so -1
// ("no pixel") shows as 255 -65281 255.
struct InspectorRGB {
    qint16 red = 0;
    qint32 green = 0;
    qint16 blue = 0;
};

InspectorRGB inspectorSplit(ColorValue c);

// The information line "x*y   red green blue--True" for the cursor at (x, y).
// Everything up to "--" is built first; then the cursor's cell of `mask` is
// read, which raises error 9 when (x, y) lies outside the mask.
QString pixelInfoLine(qint32 x, qint32 y, const InspectorRGB &rgb, const MaskArray &mask);

// A pointer coordinate as a cursor coordinate: rounded half to even, not
// clamped. Raises error 6 when it does not fit 32 bits.
qint32 cursorFromPointer(float coordinate);

// Moves the cursor one pixel for an arrow key (codes 37 left, 38 up,
// 39 right, 40 down); any other key leaves it. Left and up stop at 0; right
// and down move while the picture's width (height) is strictly greater than
// the cursor, so the cursor reaches x = Width, the mask's last column.
void stepCursor(int keyCode, qint32 &x, qint32 &y, const PixelSurface &picture);

// The blink tick: the colour alternates between 0 and -256 (first tick
// -256) and is painted widened to 32 bits with its sign.
qint16 nextBlinkColor(qint16 blinkColor);
inline ColorValue blinkPaintColor(qint16 blinkColor) {
    return ColorValue(blinkColor);
}

// The tick's button caption: 3 minus the caption read as a number, so "1"
// and "2" alternate. Raises error 13 for a caption that is not a number.
QString flippedCaption(const QString &caption);

}  // namespace ink
