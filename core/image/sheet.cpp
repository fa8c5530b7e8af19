#include "core/image/sheet.h"

#include "core/runtime/runtimeerror.h"

#include <algorithm>
#include <array>
#include <cstring>

namespace ink {

namespace {

constexpr QRgb kBlackPixel = 0xFF000000u;
constexpr QRgb kWhitePixel = 0xFFFFFFFFu;

}  // namespace

void Sheet::setImage(QImage scan) {
    // An image already in 32-bit RGB is taken over as it is: nothing is ever
    // written into it, so it stays shared with whoever else holds it.
    if (!scan.isNull() && scan.format() != QImage::Format_RGB32) {
        scan = scan.convertToFormat(QImage::Format_RGB32);
        if (scan.isNull())
            throw RuntimeError::outOfMemory();
    }
    // Allocated before anything is replaced: out of memory, the sheet stays
    // as it was.
    PackedMask painted, black;
    painted.allocate(scan.width() - 1, scan.height() - 1);
    black.allocate(scan.width() - 1, scan.height() - 1);
    m_painted = std::move(painted);
    m_black = std::move(black);
    m_scan = std::move(scan);
    m_width = m_scan.width();
    m_height = m_scan.height();
    m_others.clear();
}

ColorValue Sheet::Point(qint64 x, qint64 y) const {
    if (!onSurface(x, y))
        return kNoPixel;
    if (m_painted.at(x, y))
        return m_black.at(x, y) ? kBlack : kWhite;
    if (!m_others.empty()) {
        const auto other = m_others.find(y * m_width + x);
        if (other != m_others.end())
            return other->second;
    }
    return colorOf(originalRow(qint32(y))[x]);
}

void Sheet::PSet(qint64 x, qint64 y, ColorValue color) {
    if (!onSurface(x, y))
        return;
    const ColorValue rgb = color & 0xFFFFFF;
    if (rgb == kBlack || rgb == kWhite) {
        m_painted.set(x, y, true);
        m_black.set(x, y, rgb == kBlack);
        if (!m_others.empty())
            m_others.erase(y * m_width + x);
        return;
    }
    m_painted.set(x, y, false);
    m_black.set(x, y, false);
    m_others[y * m_width + x] = rgb;
}

void Sheet::paintOver(QImage &target) const {
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
    // A pixel a kernel painted over since keeps its entry; the plane wins.
    for (const auto &[index, color] : m_others)
        if (!m_painted.at(index % m_width, index / m_width))
            reinterpret_cast<QRgb *>(bits + index / m_width * bytesPerLine)[index % m_width] =
                pixelOf(color);
}

QImage Sheet::image() const {
    QImage copy = m_scan.copy();
    if (!m_scan.isNull() && copy.isNull())
        throw RuntimeError::outOfMemory();
    paintOver(copy);
    return copy;
}

QImage Sheet::takeImage() {
    if (!m_scan.isNull() && m_scan.bits() == nullptr)
        throw RuntimeError::outOfMemory();
    paintOver(m_scan);
    QImage result = std::move(m_scan);
    m_scan = QImage();
    m_width = m_height = 0;
    m_painted.allocate(-1, -1);
    m_black.allocate(-1, -1);
    m_others.clear();
    return result;
}

void Sheet::composeRow(qint32 y, qint32 x0, qint32 count, QRgb *out) const {
    if (count <= 0)
        return;
    const QRgb *scan = originalRow(y) + x0;
    // Row y's bit in each column's word k; columns lie a stride apart.
    const size_t k = size_t(y / PackedMask::kBits);
    const int bit = y % PackedMask::kBits;
    const size_t stride = size_t(m_painted.wordsPerColumn()) + 2;
    const quint64 *painted = m_painted.column(x0) + k;
    const quint64 *black = m_black.column(x0) + k;
    (void)m_painted.column(x0 + count - 1);  // the last column is on the sheet
    for (qint32 i = 0; i < count; ++i) {
        const size_t at = size_t(i) * stride;
        if ((painted[at] >> bit) & 1)
            out[i] = (black[at] >> bit) & 1 ? kBlackPixel : kWhitePixel;
        else
            out[i] = scan[i];
    }
    if (m_others.empty())
        return;
    for (qint32 i = 0; i < count; ++i) {
        const auto other = m_others.find(qint64(y) * m_width + x0 + i);
        if (other != m_others.end() && !m_painted.at(x0 + i, y))
            out[i] = pixelOf(other->second);
    }
}

}  // namespace ink
