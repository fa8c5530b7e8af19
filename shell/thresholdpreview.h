#pragma once

#include "core/ops/threshold.h"

#include <QDeadlineTimer>
#include <QImage>
#include <QRect>

#include <vector>

namespace ink {

// What NB would make of the scan as loaded with some thresholds, worked out
// without a pass: nothing is painted and no mask is touched. Each pixel is
// decided by NB's own rule (thresholdInk()), over the columns and rows NB
// visits; the others are never ink.
//
// The answer is made in tiles of kTile x kTile pixels as they are asked for,
// so that the part in sight of a large sheet comes first and the rest only
// when it is shown.
class ThresholdPreview {
public:
    static constexpr int kTile = 256;

    ThresholdPreview(QImage scan, Thresholds thresholds);

    const Thresholds &thresholds() const { return m_thresholds; }
    QSize size() const { return m_scan.size(); }

    // Makes the tiles `area` touches until `deadline` passes; true once all of
    // them are made.
    bool make(const QRect &area, QDeadlineTimer deadline = QDeadlineTimer(QDeadlineTimer::Forever));
    bool made(const QRect &area) const;
    // Whether NB would make pixel (x, y) ink; its tile must be made. Outside
    // the picture, false.
    bool ink(int x, int y) const {
        if (x < 0 || y < 0 || x >= m_scan.width() || y >= m_scan.height())
            return false;
        return (m_bits[size_t(y) * size_t(m_wordsPerRow) + size_t(x / 64)] >> (x % 64)) & 1;
    }
    bool madeAt(int x, int y) const { return tileMade(x / kTile, y / kTile); }
    // Adds to counts[i], for i < blocks, the ink pixels of row y in columns
    // (x0 + i) * n .. (x0 + i) * n + n - 1 within the picture (none in tiles
    // not made yet).
    void addRowCounts(int y, int x0, int n, int blocks, quint32 *counts) const;

private:
    void makeTile(int tx, int ty);
    bool tileMade(int tx, int ty) const {
        return m_made[size_t(ty) * size_t(m_tilesX) + size_t(tx)];
    }

    QImage m_scan;
    Thresholds m_thresholds;
    int m_tilesX = 0;
    int m_tilesY = 0;
    qsizetype m_wordsPerRow = 0;
    std::vector<quint64> m_bits;  // row by row, bit x % 64 of word x / 64: ink
    std::vector<quint8> m_made;   // per tile, row by row of tiles
};

}  // namespace ink
