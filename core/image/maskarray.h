#pragma once

#include "core/platform/runtimeerror.h"

#include <QtGlobal>

#include <vector>

namespace ink {

// A black-and-white mask: Booleans indexed (x, y) with x from 0 to upperX()
// and y from 0 to upperY(), both bounds included. True is black (ink),
// False is white (background). Every access is bounds-checked and raises
// error 9 outside the bounds, or on a mask that was never allocated.
//
// Cells are stored column by column, because every pass walks the picture
// one column at a time, top to bottom.
class MaskArray {
public:
    MaskArray() = default;

    // Discards the contents and allocates (0..upperX, 0..upperY), all False.
    // Negative bounds give an empty (unallocated) mask. Raises error 7 when
    // the memory cannot hold it; the old contents are then kept.
    void allocate(qint32 upperX, qint32 upperY);

    bool isAllocated() const { return m_columns > 0 && m_rows > 0; }
    qint32 upperX() const { return m_columns - 1; }
    qint32 upperY() const { return m_rows - 1; }

    bool contains(qint64 x, qint64 y) const {
        return x >= 0 && y >= 0 && x < m_columns && y < m_rows;
    }

    bool at(qint64 x, qint64 y) const {
        if (!contains(x, y))
            throw RuntimeError::subscriptOutOfRange();
        return m_cells[size_t(x) * size_t(m_rows) + size_t(y)] != 0;
    }

    void set(qint64 x, qint64 y, bool black) {
        if (!contains(x, y))
            throw RuntimeError::subscriptOutOfRange();
        m_cells[size_t(x) * size_t(m_rows) + size_t(y)] = black ? 1 : 0;
    }

    // Column x as a contiguous run of upperY() + 1 cells (0 or 1), for code
    // that has already checked its whole row range against the bounds.
    const quint8 *column(qint32 x) const {
        if (!contains(x, 0))
            throw RuntimeError::subscriptOutOfRange();
        return m_cells.data() + size_t(x) * size_t(m_rows);
    }
    quint8 *column(qint32 x) {
        if (!contains(x, 0))
            throw RuntimeError::subscriptOutOfRange();
        return m_cells.data() + size_t(x) * size_t(m_rows);
    }

    qint64 countBlack() const;

    // Copies contents and bounds; used for the pass start and the copy-back.
    // Raises error 7 when the memory cannot hold the copy.
    void assign(const MaskArray &other);

    friend bool operator==(const MaskArray &a, const MaskArray &b) {
        return a.m_columns == b.m_columns && a.m_rows == b.m_rows && a.m_cells == b.m_cells;
    }

private:
    qint32 m_columns = 0;
    qint32 m_rows = 0;
    std::vector<quint8> m_cells;
};

}  // namespace ink
