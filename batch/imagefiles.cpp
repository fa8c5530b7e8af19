#include "batch/imagefiles.h"

#include "batch/options.h"

#include <QImageWriter>
#include <QSaveFile>

#include <algorithm>
#include <array>

namespace ink {

bool writeImageFile(const QImage &image, const QString &path, QString *error) {
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly)) {
        *error = file.errorString();
        return false;
    }
    QImageWriter writer(&file, imageFormatFor(path));
    if (!writer.write(image)) {
        *error = writer.errorString();
        file.cancelWriting();
        return false;
    }
    // The writer's last bytes may still be buffered: a disk that fills up
    // shows only here, and commit() would not notice it.
    if (!file.flush()) {
        *error = file.errorString();
        file.cancelWriting();
        return false;
    }
    if (!file.commit()) {
        *error = file.errorString();
        return false;
    }
    return true;
}

namespace {

// The byte with its bits in the opposite order.
constexpr std::array<uchar, 256> kReversed = [] {
    std::array<uchar, 256> table{};
    for (int b = 0; b < 256; ++b) {
        int r = 0;
        for (int i = 0; i < 8; ++i)
            r |= ((b >> i) & 1) << (7 - i);
        table[size_t(b)] = uchar(r);
    }
    return table;
}();

}  // namespace

QImage maskImage(const PackedMask &mask, const QImage &picture) {
    constexpr int kBits = PackedMask::kBits;
    const int width = picture.width();
    const int height = picture.height();
    // Built in the format the writers take as it is: converting would leave
    // the bits past a line's last pixel undefined, and the files different.
    QImage image(width, height, QImage::Format_Mono);
    if (image.isNull())
        return image;
    // The resolution of a new image would otherwise depend on the screen.
    image.setDotsPerMeterX(picture.dotsPerMeterX());
    image.setDotsPerMeterY(picture.dotsPerMeterY());
    image.setColorTable({qRgb(255, 255, 255), qRgb(0, 0, 0)});
    image.fill(0);
    // 64 x 64 cells at a time: column words turned into row words, each row
    // word being 64 pixels of a line, the first in the lowest bit; a line's
    // bytes hold their first pixel in the highest bit.
    quint64 tile[kBits];
    for (int k = 0; k * kBits < height; ++k) {
        const int rows = std::min(kBits, height - k * kBits);
        for (int x0 = 0; x0 < width; x0 += kBits) {
            const int columns = std::min(kBits, width - x0);
            for (int i = 0; i < kBits; ++i)
                tile[i] = i < columns ? mask.column(x0 + i)[k] : 0;
            transposeBits(tile);
            const size_t bytes = size_t(columns + 7) / 8;
            for (int j = 0; j < rows; ++j) {
                const quint64 row =
                    tile[j] & (columns == kBits ? ~quint64(0) : (quint64(1) << columns) - 1);
                uchar *line = image.scanLine(k * kBits + j) + x0 / 8;
                for (size_t b = 0; b < bytes; ++b)
                    line[b] = kReversed[(row >> (8 * b)) & 0xFF];
            }
        }
    }
    return image;
}

}  // namespace ink
