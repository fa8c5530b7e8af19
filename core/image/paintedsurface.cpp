#include "core/image/paintedsurface.h"

#include "core/platform/runtimeerror.h"

#include <algorithm>
#include <array>
#include <cstring>

namespace ink {

namespace {

constexpr QRgb kBlackPixel = 0xFF000000u;
constexpr QRgb kWhitePixel = 0xFFFFFFFFu;

}  // namespace

void PaintedSurface::setImage(QImage image) {
    // Converted as ImageSurface converts, so both read the same pixels. An
    // image already in 32-bit RGB is taken over as it is: black and white
    // never reach it, so it is copied only if another colour is painted.
    if (!image.isNull() && image.format() != QImage::Format_RGB32) {
        image = image.convertToFormat(QImage::Format_RGB32);
        if (image.isNull())
            throw RuntimeError::outOfMemory();
    }
    m_image = std::move(image);
    m_width = m_image.width();
    m_height = m_image.height();
    m_painted.allocate(m_width - 1, m_height - 1);
    m_black.allocate(m_width - 1, m_height - 1);
}

ColorValue PaintedSurface::Point(qint64 x, qint64 y) const {
    if (!onSurface(x, y))
        return kNoPixel;
    if (m_painted.at(x, y))
        return m_black.at(x, y) ? kBlack : kWhite;
    const QRgb p = originalRow(qint32(y))[x];
    return qRed(p) | (qGreen(p) << 8) | (qBlue(p) << 16);
}

void PaintedSurface::PSet(qint64 x, qint64 y, ColorValue color) {
    if (!onSurface(x, y))
        return;
    // Only the red, green and blue bytes reach the picture.
    const ColorValue rgb = color & 0xFFFFFF;
    if (rgb == kBlack || rgb == kWhite) {
        m_painted.set(x, y, true);
        m_black.set(x, y, rgb == kBlack);
        return;
    }
    m_painted.set(x, y, false);
    uchar *row = m_image.scanLine(qint32(y));
    if (row == nullptr)  // the copy of a shared image failed
        throw RuntimeError::outOfMemory();
    reinterpret_cast<QRgb *>(row)[x] =
        0xFF000000u | (quint32(rgb & 0xFF) << 16) | (quint32(rgb) & 0xFF00) | (quint32(rgb) >> 16);
}

void PaintedSurface::applyLayers(QImage &target) const {
    constexpr int kBits = PackedMask::kBits;
    // Four painted pixels from four bits of the colour layer, lowest bit first.
    struct Quad {
        QRgb pixels[4];
    };
    static const auto quads = [] {
        std::array<Quad, 16> q{};
        for (int n = 0; n < 16; ++n)
            for (int i = 0; i < 4; ++i)
                q[size_t(n)].pixels[i] = (n >> i) & 1 ? kBlackPixel : kWhitePixel;
        return q;
    }();

    uchar *bits = target.bits();
    const qsizetype bytesPerLine = target.bytesPerLine();
    quint64 painted[kBits];
    quint64 black[kBits];
    for (qint32 k = 0; k < m_painted.wordsPerColumn(); ++k) {
        const qint32 y0 = k * kBits;
        const int rows = std::min(kBits, m_height - y0);
        for (qint32 x0 = 0; x0 < m_width; x0 += kBits) {
            const int columns = std::min(kBits, m_width - x0);
            quint64 any = 0;
            for (int i = 0; i < columns; ++i) {
                painted[i] = m_painted.column(x0 + i)[k];
                black[i] = m_black.column(x0 + i)[k];
                any |= painted[i];
            }
            if (any == 0)
                continue;
            std::fill(painted + columns, painted + kBits, 0);
            std::fill(black + columns, black + kBits, 0);
            transposeBits(painted);
            transposeBits(black);
            for (int j = 0; j < rows; ++j) {
                const quint64 p = painted[j];
                if (p == 0)
                    continue;
                const quint64 b = black[j];
                QRgb *row = reinterpret_cast<QRgb *>(bits + (y0 + j) * bytesPerLine) + x0;
                if (p == ~quint64(0)) {
                    // The common case: a run of 64 pixels all painted.
                    for (int q = 0; q < kBits / 4; ++q)
                        std::memcpy(row + 4 * q, &quads[(b >> (4 * q)) & 15], sizeof(Quad));
                    continue;
                }
                for (int i = 0; i < columns; ++i) {
                    if ((p >> i) & 1)
                        row[i] = (b >> i) & 1 ? kBlackPixel : kWhitePixel;
                }
            }
        }
    }
}

QImage PaintedSurface::image() const {
    QImage copy = m_image.copy();
    if (!m_image.isNull() && copy.isNull())
        throw RuntimeError::outOfMemory();
    applyLayers(copy);
    return copy;
}

QImage PaintedSurface::takeImage() {
    if (!m_image.isNull() && m_image.bits() == nullptr)
        throw RuntimeError::outOfMemory();
    applyLayers(m_image);
    QImage result = std::move(m_image);
    m_image = QImage();
    m_width = m_height = 0;
    m_painted.allocate(-1, -1);
    m_black.allocate(-1, -1);
    return result;
}

}  // namespace ink
