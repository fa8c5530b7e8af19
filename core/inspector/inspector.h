#pragma once

#include "core/image/colorvalue.h"
#include "core/image/packedmask.h"
#include "core/image/pixelsurface.h"

#include <qnamespace.h>
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
QString pixelInfoLine(qint32 x, qint32 y, const InspectorRGB &rgb, const PackedMask &mask);

// A pointer coordinate as a cursor coordinate: rounded half to even, not
// clamped. Raises error 6 when it does not fit 32 bits.
qint32 cursorFromPointer(float coordinate);

// The classic key codes the key-down handler receives for the arrows.
enum ArrowKey : int { KeyLeft = 37, KeyUp = 38, KeyRight = 39, KeyDown = 40 };

// A Qt key as the classic key code the key-down handler expects: letters
// 65-90, digits 48-57 (96-105 on the keypad), F1-F24 112-135, the keypad's
// * + - . / 106-111, the punctuation keys ; = , - . / ` 186-192 and [ \ ] '
// 219-222, and the editing, lock and modifier keys their usual codes. A key
// with no classic code (a shifted symbol such as "%", a dead key, a letter
// outside A-Z) gives 0, so only the four arrow keys ever give 37-40.
int classicKeyCode(int qtKey, Qt::KeyboardModifiers modifiers);

// Moves the cursor one pixel for an arrow key (KeyLeft, KeyUp, KeyRight,
// KeyDown); any other key leaves it. Left and up stop at 0; right
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
