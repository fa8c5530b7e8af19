#include "core/inspector/inspector.h"

#include "core/runtime/convert.h"

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

QString pixelInfoLine(qint32 x, qint32 y, const InspectorRGB &rgb, const PackedMask &mask) {
    QString line = integerText(x) + QLatin1Char('*') + integerText(y) + QStringLiteral("   ") +
                   integerText(rgb.red) + QLatin1Char(' ') + integerText(rgb.green) +
                   QLatin1Char(' ') + integerText(rgb.blue) + QStringLiteral("--");
    line += booleanText(mask.at(x, y));
    return line;
}

qint32 cursorFromPointer(float coordinate) {
    return roundToInt32(double(coordinate));
}

int classicKeyCode(int qtKey, Qt::KeyboardModifiers modifiers) {
    if (qtKey >= Qt::Key_A && qtKey <= Qt::Key_Z)
        return 65 + (qtKey - Qt::Key_A);
    if (qtKey >= Qt::Key_F1 && qtKey <= Qt::Key_F24)
        return 112 + (qtKey - Qt::Key_F1);
    const bool keypad = modifiers & Qt::KeypadModifier;
    if (qtKey >= Qt::Key_0 && qtKey <= Qt::Key_9)
        return (keypad ? 96 : 48) + (qtKey - Qt::Key_0);
    if (keypad) {
        switch (qtKey) {
            case Qt::Key_Asterisk:
                return 106;
            case Qt::Key_Plus:
                return 107;
            case Qt::Key_Minus:
                return 109;
            case Qt::Key_Period:
            case Qt::Key_Comma:  // the decimal key in some layouts
                return 110;
            case Qt::Key_Slash:
                return 111;
            default:
                break;  // the keypad's arrows, Home, Enter... as on the main keys
        }
    }
    switch (qtKey) {
        case Qt::Key_Backspace:
            return 8;
        case Qt::Key_Tab:
        case Qt::Key_Backtab:  // Shift+Tab
            return 9;
        case Qt::Key_Clear:  // keypad 5 without Num Lock
            return 12;
        case Qt::Key_Return:
        case Qt::Key_Enter:
            return 13;
        case Qt::Key_Shift:
            return 16;
        case Qt::Key_Control:
            return 17;
        case Qt::Key_Alt:
            return 18;
        case Qt::Key_Pause:
            return 19;
        case Qt::Key_CapsLock:
            return 20;
        case Qt::Key_Escape:
            return 27;
        case Qt::Key_Space:
            return 32;
        case Qt::Key_PageUp:
            return 33;
        case Qt::Key_PageDown:
            return 34;
        case Qt::Key_End:
            return 35;
        case Qt::Key_Home:
            return 36;
        case Qt::Key_Left:
            return KeyLeft;
        case Qt::Key_Up:
            return KeyUp;
        case Qt::Key_Right:
            return KeyRight;
        case Qt::Key_Down:
            return KeyDown;
        case Qt::Key_Insert:
            return 45;
        case Qt::Key_Delete:
            return 46;
        case Qt::Key_NumLock:
            return 144;
        case Qt::Key_ScrollLock:
            return 145;
        case Qt::Key_Semicolon:
            return 186;
        case Qt::Key_Equal:
            return 187;
        case Qt::Key_Comma:
            return 188;
        case Qt::Key_Minus:
            return 189;
        case Qt::Key_Period:
            return 190;
        case Qt::Key_Slash:
            return 191;
        case Qt::Key_QuoteLeft:
            return 192;
        case Qt::Key_BracketLeft:
            return 219;
        case Qt::Key_Backslash:
            return 220;
        case Qt::Key_BracketRight:
            return 221;
        case Qt::Key_Apostrophe:
            return 222;
        default:
            return 0;
    }
}

void stepCursor(int keyCode, qint32 &x, qint32 &y, const PixelSurface &picture) {
    switch (keyCode) {
        case KeyLeft:
            if (x > 0)
                --x;
            break;
        case KeyUp:
            if (y > 0)
                --y;
            break;
        case KeyRight:
            if (double(picture.Width()) > double(x))
                x = checkedAdd(x, 1);
            break;
        case KeyDown:
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
