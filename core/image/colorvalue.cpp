#include "core/image/colorvalue.h"

#include "core/runtime/convert.h"

#include <cmath>

namespace ink {

RGBTriple ColorToRGB(ColorValue c) {
    if (c == kNoPixel)
        return {};
    if ((c & ~0xFFFFFF) == 0) {
        // A colour value: the three bytes as they are. This is what the
        // general arithmetic below gives for it, without its cost per pixel.
        return {qint16(c & 0xFF), qint16((c >> 8) & 0xFF), qint16((c >> 16) & 0xFF)};
    }
    RGBTriple t;
    const qint32 blue = (c & 0xFF0000) / 65536;
    t.B = qint16(blue);
    // Clearing blue and red and dividing with the sign kept: for a colour value
    // this is the green byte; for anything with a top byte it leaves 16 bits.
    const qint32 withoutBlue = checkedSub(c, checkedMul(65536, blue));
    const double green = std::floor(double(qint32(withoutBlue & qint32(0xFFFFFF00))) / 256.0);
    t.G = roundToInt16(green);
    t.R = qint16(c & 0xFF);
    return t;
}

}  // namespace ink
