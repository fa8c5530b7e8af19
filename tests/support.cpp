#include "support.h"

namespace ink::test {

MaskArray maskFromRows(const QStringList &rows) {
    MaskArray mask;
    const qint32 width = rows.isEmpty() ? 0 : qint32(rows.first().size());
    mask.allocate(width - 1, qint32(rows.size()) - 1);
    for (qint32 y = 0; y < rows.size(); ++y) {
        for (qint32 x = 0; x < width; ++x) {
            const QChar c = rows[y].at(x);
            mask.set(x, y, c == QLatin1Char('X') || c == QLatin1Char('#'));
        }
    }
    return mask;
}

QStringList rowsFromMask(const MaskArray &mask) {
    QStringList rows;
    for (qint32 y = 0; y <= mask.upperY(); ++y) {
        QString row;
        for (qint32 x = 0; x <= mask.upperX(); ++x)
            row += mask.at(x, y) ? QLatin1Char('X') : QLatin1Char('.');
        rows << row;
    }
    return rows;
}

QImage solidImage(int w, int h, ColorValue color) {
    QImage image(w, h, QImage::Format_RGB32);
    image.fill(QColor(color & 0xFF, (color >> 8) & 0xFF, (color >> 16) & 0xFF));
    return image;
}

QImage imageFromMask(const MaskArray &mask) {
    ImageSurface surface(solidImage(mask.upperX(), mask.upperY(), kWhite));
    for (qint32 x = 0; x < mask.upperX(); ++x)
        for (qint32 y = 0; y < mask.upperY(); ++y)
            surface.PSet(x, y, mask.at(x, y) ? kBlack : kWhite);
    return surface.image();
}

quint64 Rng::next() {
    // splitmix64
    quint64 z = (m_state += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
}

}  // namespace ink::test
