#include "core/files/bmpcodec.h"

#include "core/files/pngcodec.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdlib>

namespace ink {

namespace {

quint32 le16(const uchar *p) {
    return quint32(p[0]) | quint32(p[1]) << 8;
}

quint32 le32(const uchar *p) {
    return le16(p) | le16(p + 2) << 16;
}

struct Header {
    qint64 width = 0;
    qint64 height = 0;  // negative: rows top to bottom
    int bits = 0;
    quint32 compression = 0;
    qint64 colours = 0;
    qint64 colourSize = 4;  // bytes a colour table entry
    qint64 tableAt = 0;
    qint64 pixelsAt = 0;
    int dpmX = 0;
    int dpmY = 0;
};

// The header, or false when there is none this reader or Qt's can use.
bool readHeader(QByteArrayView bytes, Header *h) {
    const auto *b = reinterpret_cast<const uchar *>(bytes.data());
    const qint64 size = bytes.size();
    if (size < 26 || b[0] != 'B' || b[1] != 'M')
        return false;
    const qint64 headerSize = le32(b + 14);
    if (headerSize == 12) {  // the oldest header: 16-bit sizes, 3-byte colours
        h->width = le16(b + 18);
        h->height = le16(b + 20);
        h->bits = int(le16(b + 24));
        h->colourSize = 3;
    } else if (headerSize >= 40 && headerSize <= 124 && size >= 14 + headerSize) {
        h->width = qint32(le32(b + 18));
        h->height = qint32(le32(b + 22));
        h->bits = int(le16(b + 28));
        h->compression = le32(b + 30);
        h->dpmX = int(qint32(le32(b + 38)));
        h->dpmY = int(qint32(le32(b + 42)));
        h->colours = le32(b + 46);
    } else {
        return false;
    }
    if (h->bits <= 8 && h->colours == 0)
        h->colours = qint64(1) << h->bits;
    h->tableAt = 14 + headerSize;
    h->pixelsAt = std::max<qint64>(le32(b + 10), h->tableAt + h->colours * h->colourSize);
    return h->width > 0 && h->height != 0 && h->height != qint64(INT32_MIN);
}

}  // namespace

bool bmpBeyondQt(QByteArrayView bytes) {
    Header h;
    return readHeader(bytes, &h) && h.width * std::abs(h.height) > kQtBmpPixelLimit;
}

QString readBmp(QByteArrayView bytes, QImage *picture,
                const std::function<void(QSize)> &checkSize) {
    Header h;
    if (!readHeader(bytes, &h))
        return QStringLiteral("not a BMP file it reads");
    const bool paletted = h.bits == 1 || h.bits == 4 || h.bits == 8;
    if (h.compression != 0)
        return h.compression == 1 || h.compression == 2
                   ? QStringLiteral("run-length coded")
                   : QStringLiteral("compressed (method %1)").arg(h.compression);
    if (!(paletted || h.bits == 24 || h.bits == 32))
        return QStringLiteral("of %1 bits a pixel").arg(h.bits);
    if (paletted && h.colours > (qint64(1) << h.bits))
        return QStringLiteral("a colour table longer than its pixels can name");
    const qint64 height = std::abs(h.height);
    const qint64 stride = (h.width * h.bits + 31) / 32 * 4;
    const auto *b = reinterpret_cast<const uchar *>(bytes.data());
    if (h.width > INT32_MAX / 4 || height > INT32_MAX ||
        h.tableAt + h.colours * h.colourSize > bytes.size() || h.pixelsAt > bytes.size() ||
        height > (bytes.size() - h.pixelsAt) / stride)
        return QStringLiteral("the file ends early");
    std::array<QRgb, 256> table;  // indexes past the table are black
    table.fill(qRgb(0, 0, 0));
    for (qint64 i = 0; i < (paletted ? h.colours : 0); ++i) {
        const uchar *c = b + h.tableAt + i * h.colourSize;
        table[size_t(i)] = qRgb(c[2], c[1], c[0]);
    }
    const QSize dimensions(int(h.width), int(height));
    checkSize(dimensions);
    uchar *bits = reusePicture(picture, dimensions);
    const size_t outStride = size_t(picture->bytesPerLine());
    const size_t width = size_t(h.width);
    for (qint64 y = 0; y < height; ++y) {
        const uchar *row = b + h.pixelsAt + (h.height > 0 ? height - 1 - y : y) * stride;
        QRgb *out = reinterpret_cast<QRgb *>(bits + size_t(y) * outStride);
        switch (h.bits) {
            case 24:
                for (size_t x = 0; x < width; ++x)
                    out[x] = qRgb(row[3 * x + 2], row[3 * x + 1], row[3 * x]);
                break;
            case 32:
                for (size_t x = 0; x < width; ++x)
                    out[x] = qRgb(row[4 * x + 2], row[4 * x + 1], row[4 * x]);
                break;
            case 8:
                for (size_t x = 0; x < width; ++x)
                    out[x] = table[row[x]];
                break;
            default: {
                const int depth = h.bits;
                const size_t perByte = size_t(8 / depth);
                const int mask = (1 << depth) - 1;
                for (size_t x = 0; x < width; ++x) {
                    const int shift = 8 - depth * (int(x % perByte) + 1);
                    out[x] = table[size_t((row[x / perByte] >> shift) & mask)];
                }
                break;
            }
        }
    }
    if (h.dpmX > 0)
        picture->setDotsPerMeterX(h.dpmX);
    if (h.dpmY > 0)
        picture->setDotsPerMeterY(h.dpmY);
    return {};
}

}  // namespace ink
