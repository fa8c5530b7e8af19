#include "core/image/maskarray.h"

#include <algorithm>
#include <limits>

namespace ink {

void MaskArray::allocate(qint32 upperX, qint32 upperY) {
    if (upperX < 0 || upperY < 0) {
        m_columns = m_rows = 0;
        m_cells.clear();
        return;
    }
    const qint64 columns = qint64(upperX) + 1;
    const qint64 rows = qint64(upperY) + 1;
    if (columns > std::numeric_limits<qint32>::max() || rows > std::numeric_limits<qint32>::max())
        throw RuntimeError::outOfMemory();
    allocating([&] {
        std::vector<quint8> cells(size_t(columns * rows), 0);
        m_cells.swap(cells);
    });
    m_columns = qint32(columns);
    m_rows = qint32(rows);
}

qint64 MaskArray::countBlack() const {
    return std::count(m_cells.begin(), m_cells.end(), quint8(1));
}

void MaskArray::assign(const MaskArray &other) {
    if (this == &other)
        return;
    allocating([&] { m_cells = other.m_cells; });
    m_columns = other.m_columns;
    m_rows = other.m_rows;
}

}  // namespace ink
