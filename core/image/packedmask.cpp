#include "core/image/packedmask.h"

#include <algorithm>
#include <bit>
#include <limits>

namespace ink {

void PackedMask::allocate(qint32 upperX, qint32 upperY) {
    if (upperX < 0 || upperY < 0) {
        m_columns = m_rows = m_words = m_stride = 0;
        m_bits.clear();
        return;
    }
    const qint64 columns = qint64(upperX) + 1;
    const qint64 rows = qint64(upperY) + 1;
    const qint64 words = (rows + kBits - 1) / kBits;
    if (columns > std::numeric_limits<qint32>::max() || rows > std::numeric_limits<qint32>::max())
        throw RuntimeError::outOfMemory();
    // assign() keeps the capacity, so a mask of the same size or smaller than
    // the last one touches no fresh memory.
    allocating([&] { m_bits.assign(size_t(columns) * size_t(words + 2), 0); });
    m_columns = qint32(columns);
    m_rows = qint32(rows);
    m_words = qint32(words);
    m_stride = qint32(words + 2);
}

void PackedMask::assign(const PackedMask &other) {
    if (this == &other)
        return;
    allocating([&] { m_bits.assign(other.m_bits.begin(), other.m_bits.end()); });
    m_columns = other.m_columns;
    m_rows = other.m_rows;
    m_words = other.m_words;
    m_stride = other.m_stride;
}

qint64 PackedMask::countBlack() const {
    qint64 count = 0;
    for (const quint64 word : m_bits)
        count += std::popcount(word);
    return count;
}

void transposeBits(quint64 *tile) {
    // Swap the off-diagonal blocks of halves, then of quarters, and so on down
    // to single bits; each inner loop runs over a contiguous block of words.
    quint64 m = 0x00000000FFFFFFFFull;
    for (int j = 32; j != 0; j >>= 1, m ^= (m << j)) {
        for (int base = 0; base < 64; base += 2 * j) {
            for (int i = base; i < base + j; ++i) {
                const quint64 t = ((tile[i] >> j) ^ tile[i + j]) & m;
                tile[i] ^= t << j;
                tile[i + j] ^= t;
            }
        }
    }
}

}  // namespace ink
