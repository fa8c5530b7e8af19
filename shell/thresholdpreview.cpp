#include "shell/thresholdpreview.h"

#include "core/image/sheet.h"

#include <bit>

namespace ink {

ThresholdPreview::ThresholdPreview(QImage scan, Thresholds thresholds)
    : m_scan(std::move(scan)), m_thresholds(std::move(thresholds)) {
    if (m_scan.format() != QImage::Format_RGB32 && m_scan.format() != QImage::Format_ARGB32)
        m_scan = m_scan.convertToFormat(QImage::Format_RGB32);
    m_tilesX = (m_scan.width() + kTile - 1) / kTile;
    m_tilesY = (m_scan.height() + kTile - 1) / kTile;
    m_wordsPerRow = (m_scan.width() + 63) / 64;
    m_bits.assign(size_t(m_wordsPerRow) * size_t(m_scan.height()), 0);
    m_made.assign(size_t(m_tilesX) * size_t(m_tilesY), 0);
}

void ThresholdPreview::makeTile(int tx, int ty) {
    // NB visits columns 1.. and rows 2..; the pixels it reads are those of
    // the sheet, here the scan as loaded.
    const int x0 = std::max(tx * kTile, 1), x1 = std::min((tx + 1) * kTile, m_scan.width());
    const int y0 = std::max(ty * kTile, 2), y1 = std::min((ty + 1) * kTile, m_scan.height());
    for (int y = y0; y < y1; ++y) {
        const QRgb *line = reinterpret_cast<const QRgb *>(m_scan.constScanLine(y));
        quint64 *row = m_bits.data() + size_t(y) * size_t(m_wordsPerRow);
        for (int x = x0; x < x1; ++x) {
            if (thresholdInk(ColorToRGB(Sheet::colorOf(line[x])), m_thresholds, x, y))
                row[x / 64] |= quint64(1) << (x % 64);
        }
    }
    m_made[size_t(ty) * size_t(m_tilesX) + size_t(tx)] = 1;
}

bool ThresholdPreview::make(const QRect &area, QDeadlineTimer deadline) {
    const QRect a = area & QRect(QPoint(0, 0), m_scan.size());
    if (a.isEmpty())
        return true;
    for (int ty = a.top() / kTile; ty <= a.bottom() / kTile; ++ty)
        for (int tx = a.left() / kTile; tx <= a.right() / kTile; ++tx) {
            if (tileMade(tx, ty))
                continue;
            if (deadline.hasExpired())
                return false;
            makeTile(tx, ty);
        }
    return true;
}

bool ThresholdPreview::made(const QRect &area) const {
    const QRect a = area & QRect(QPoint(0, 0), m_scan.size());
    for (int ty = a.top() / kTile; !a.isEmpty() && ty <= a.bottom() / kTile; ++ty)
        for (int tx = a.left() / kTile; tx <= a.right() / kTile; ++tx)
            if (!tileMade(tx, ty))
                return false;
    return true;
}

namespace {

// The set bits of `row` in columns left..right.
int rangeCount(const quint64 *row, int left, int right) {
    const int k0 = left / 64, k1 = right / 64;
    const quint64 first = ~quint64(0) << (left % 64);
    const quint64 last = ~quint64(0) >> (63 - right % 64);
    if (k0 == k1)
        return std::popcount(row[k0] & first & last);
    int count = std::popcount(row[k0] & first) + std::popcount(row[k1] & last);
    for (int k = k0 + 1; k < k1; ++k)
        count += std::popcount(row[k]);
    return count;
}

}  // namespace

void ThresholdPreview::addRowCounts(int y, int x0, int n, int blocks, quint32 *counts) const {
    if (y < 0 || y >= m_scan.height())
        return;
    const quint64 *row = m_bits.data() + size_t(y) * size_t(m_wordsPerRow);
    for (int i = 0; i < blocks; ++i) {
        const int left = std::max((x0 + i) * n, 0), right = std::min(left + n, m_scan.width()) - 1;
        if (left > right)
            break;
        counts[i] += quint32(rangeCount(row, left, right));
    }
}

}  // namespace ink
