#include "inspector/inspector.h"

#include "platform/convert.h"

namespace ink {

InspectorRGB inspectorSplit(ColorValue c) {
    InspectorRGB rgb;
    rgb.blue = qint16((c & 0xFF0000) >> 16);
    // Clears blue, then red, and divides by 256 with the sign kept. Subtracting
    // the blue bits cannot overflow, and the division is exact because the low
    // byte is already clear.
    const qint32 withoutBlue = c - 65536 * rgb.blue;
    rgb.green = qint32(withoutBlue & qint32(0xFFFFFF00)) / 256;
    rgb.red = qint16(c & 0xFF);
    return rgb;
}

QString pixelInfoLine(qint32 x, qint32 y, const InspectorRGB &rgb, const MaskArray &mask) {
    QString line = integerText(x) + QLatin1Char('*') + integerText(y) + QStringLiteral("   ") +
                   integerText(rgb.red) + QLatin1Char(' ') + integerText(rgb.green) +
                   QLatin1Char(' ') + integerText(rgb.blue) + QStringLiteral("--");
    line += booleanText(mask.at(x, y));
    return line;
}

qint32 cursorFromPointer(float coordinate) {
    return roundToInt32(double(coordinate));
}

void stepCursor(int keyCode, qint32 &x, qint32 &y, const PixelSurface &picture) {
    switch (keyCode) {
        case 37:
            if (x > 0)
                --x;
            break;
        case 38:
            if (y > 0)
                --y;
            break;
        case 39:
            if (double(picture.Width()) > double(x))
                x = checkedAdd(x, 1);
            break;
        case 40:
            if (double(picture.Height()) > double(y))
                y = checkedAdd(y, 1);
            break;
        default:
            break;
    }
}

qint16 nextBlinkColor(qint16 blinkColor) {
    return qint16(blinkColor ^ qint16(0xFF00));
}

QString flippedCaption(const QString &caption) {
    return doubleText(3 - textToDouble(caption, QStringLiteral("clign")));
}

}  // namespace ink
