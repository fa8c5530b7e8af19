#pragma once

#include <QtGlobal>

namespace ink {

// A colour value: red + 256 * green + 65536 * blue, each channel 0..255 and
// the top byte 0. Black is 0, white 0xFFFFFF. -1 stands for "no pixel": it is
// what reading outside the picture's drawing surface returns.
using ColorValue = qint32;

constexpr ColorValue kBlack = 0;
constexpr ColorValue kWhite = 0xFFFFFF;
constexpr ColorValue kNoPixel = -1;

struct RGBTriple {
    qint16 R = 0;
    qint16 G = 0;
    qint16 B = 0;

    friend bool operator==(const RGBTriple &, const RGBTriple &) = default;
};

// Splits a colour value into its channels. -1 ("no pixel") gives 0, 0, 0.
// A value with a non-zero top byte is no colour: it raises error 6.
RGBTriple ColorToRGB(ColorValue c);

}  // namespace ink
