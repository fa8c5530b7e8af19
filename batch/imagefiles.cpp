#include "batch/imagefiles.h"

#include "batch/options.h"
#include "platform/loadpicture.h"

#include <QImageReader>
#include <QImageWriter>
#include <QSaveFile>

#include <algorithm>
#include <new>

namespace ink {

bool readImageFile(const QString &path, QImage *image, QString *error) {
    QImageReader::setAllocationLimit(kPictureAllocationLimitMB);
    QImageReader reader(path);
    bool ok = false;
    try {
        ok = reader.read(image);
    } catch (const std::bad_alloc &) {
        *error = QStringLiteral("out of memory");
        return false;
    }
    if (!ok || image->isNull()) {
        *error = reader.errorString();
        if (error->isEmpty())
            *error = QStringLiteral("Invalid picture");
        return false;
    }
    return true;
}

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
    if (!file.commit()) {
        *error = file.errorString();
        return false;
    }
    return true;
}

QImage maskImage(const PackedMask &mask, int width, int height) {
    constexpr int kBits = PackedMask::kBits;
    QImage image(width, height, QImage::Format_MonoLSB);
    if (image.isNull())
        return image;
    image.setColorTable({qRgb(255, 255, 255), qRgb(0, 0, 0)});
    image.fill(0);
    // 64 x 64 cells at a time: column words turned into row words, each row
    // word being 64 pixels of a line, lowest bit first.
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
                    line[b] = uchar(row >> (8 * b));
            }
        }
    }
    return image;
}

}  // namespace ink
