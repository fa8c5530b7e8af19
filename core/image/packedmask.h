#pragma once

#include "core/runtime/runtimeerror.h"

#include <QtGlobal>

#include <span>
#include <vector>

namespace ink {

// A black-and-white mask: Booleans indexed (x, y) with x from 0 to upperX()
// and y from 0 to upperY(), both bounds included. True is black (ink), False
// is white (background). Every access is bounds-checked and raises error 9
// outside the bounds, or on a mask that was never allocated.
//
// Cells are held one bit each, column by column, because every pass walks
// the picture one column at a time, top to bottom: a column is a run of
// 64-bit words, bit j of word k holding row 64 * k + j, so one word
// operation decides 64 rows at once.
//
// Each column's run is framed by one word before it and one after it, so a
// kernel may read the rows just above and below a word without a test. Those
// guard words and the bits past the last row are always zero.
class PackedMask {
public:
    static constexpr int kBits = 64;

    PackedMask() = default;

    // Discards the contents and allocates (0..upperX, 0..upperY), all False,
    // reusing the storage it already has when that is large enough. Negative
    // bounds give an empty mask. Raises error 7 when memory runs out.
    void allocate(qint32 upperX, qint32 upperY);

    bool isAllocated() const { return m_columns > 0 && m_rows > 0; }
    qint32 upperX() const { return m_columns - 1; }
    qint32 upperY() const { return m_rows - 1; }
    // Words that hold rows in each column, guard words not counted.
    qint32 wordsPerColumn() const { return m_words; }

    bool contains(qint64 x, qint64 y) const {
        return x >= 0 && y >= 0 && x < m_columns && y < m_rows;
    }

    // Bounds-checked cell access; raises error 9 outside the bounds.
    bool at(qint64 x, qint64 y) const {
        if (!contains(x, y))
            throw RuntimeError::subscriptOutOfRange();
        return (column(qint32(x))[y / kBits] >> (y % kBits)) & 1;
    }
    void set(qint64 x, qint64 y, bool black) {
        if (!contains(x, y))
            throw RuntimeError::subscriptOutOfRange();
        quint64 &word = column(qint32(x))[y / kBits];
        const quint64 bit = quint64(1) << (y % kBits);
        word = black ? (word | bit) : (word & ~bit);
    }

    // Word 0 of column x; words -1 and wordsPerColumn() are the guards.
    // Raises error 9 for a column outside the bounds.
    const quint64 *column(qint32 x) const {
        if (x < 0 || x >= m_columns)
            throw RuntimeError::subscriptOutOfRange();
        return m_bits.data() + size_t(x) * size_t(m_stride) + 1;
    }
    quint64 *column(qint32 x) {
        if (x < 0 || x >= m_columns)
            throw RuntimeError::subscriptOutOfRange();
        return m_bits.data() + size_t(x) * size_t(m_stride) + 1;
    }

    // The bits of word k that hold rows y0..y1 (none when the range misses it).
    static quint64 rowBits(qint32 k, qint64 y0, qint64 y1) {
        const qint64 first = qint64(k) * kBits;
        const qint64 lo = y0 > first ? y0 : first;
        const qint64 hi = y1 < first + kBits - 1 ? y1 : first + kBits - 1;
        if (lo > hi)
            return 0;
        const int count = int(hi - lo + 1);
        const quint64 run = count == kBits ? ~quint64(0) : ((quint64(1) << count) - 1);
        return run << (lo - first);
    }

    // Copies contents and bounds, reusing the storage. Raises error 7 when
    // memory runs out.
    void assign(const PackedMask &other);

    qint64 countBlack() const;
    // All the words, guards included, for whole-mask comparisons and diffs.
    std::span<const quint64> words() const { return m_bits; }
    std::span<quint64> words() { return m_bits; }

    friend bool operator==(const PackedMask &a, const PackedMask &b) {
        return a.m_columns == b.m_columns && a.m_rows == b.m_rows && a.m_bits == b.m_bits;
    }

private:
    qint32 m_columns = 0;
    qint32 m_rows = 0;
    qint32 m_words = 0;
    qint32 m_stride = 0;  // m_words plus the two guards
    std::vector<quint64> m_bits;
};

// Transposes a 64 x 64 bit matrix in place: bit c of tile[r] and bit r of
// tile[c] trade places. Turns 64 rows of pixels, one bit per column, into 64
// columns, one bit per row, and back.
void transposeBits(quint64 *tile);

}  // namespace ink
