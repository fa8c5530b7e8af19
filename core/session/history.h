#pragma once

// Undo and redo of whole passes, as differences of bitmaps.
//
// A pass changes only the sheet's two planes, its rare other colours, and
// `Mask`. At the pass's start the planes and `Mask` are kept (PassStart);
// at its end, whatever ended it, the words that differ are stored as their
// XOR (PassChanges). Taking the pass back and doing it again apply the same
// XOR, so one record serves both directions.
//
// Read in this order: WordDiff, PassChanges, PassStart, History.

#include "core/image/module1.h"

#include <QRect>
#include <QString>

#include <algorithm>
#include <bit>
#include <deque>
#include <memory>
#include <span>
#include <vector>

namespace ink {

// The non-zero words of a XOR of two bitmaps of the same layout, by their
// place among the bitmap's words, ascending; or, when most words differ,
// every word of the XOR in order and no index (dense()).
struct WordDiff {
    std::vector<quint32> index;
    std::vector<quint64> words;

    bool dense() const { return index.empty() && !words.empty(); }

    // The words where `before` and `after` differ, as their XOR.
    static WordDiff between(std::span<const quint64> before, std::span<const quint64> after);
    // The bits set in `after` and not in `before`.
    static WordDiff gained(std::span<const quint64> before, std::span<const quint64> after);
    void applyTo(std::span<quint64> bits) const;
    bool empty() const { return words.empty(); }
    qint64 count() const;
    size_t bytes() const { return index.capacity() * 4 + words.capacity() * 8; }
};

// What one pass changed, enough to take it back, do it again and show it.
struct PassChanges {
    WordDiff painted, black;                        // the sheet's planes
    WordDiff filled, erased;                        // cells of `Mask` made black, made white
    Sheet::OtherColours othersBefore, othersAfter;  // when the pass changed them
    bool othersChanged = false;
    qint64 filledCount = 0, erasedCount = 0;
    qint32 maskStride = 0;  // words per column of `Mask`, guards included
    // The picture's columns the pass painted something different in.
    qint32 firstColumn = 0, lastColumn = -1;

    size_t bytes() const;
    // Puts the sheet and `Mask` as they were before the pass (`forward`
    // false) or after it (true).
    void apply(Module1 &model, bool forward) const;
    // Calls f(x, y) for each cell of `cells` (filled or erased) in `area`.
    template <typename F>
    void forEachIn(const WordDiff &cells, const QRect &area, F &&f) const;
    bool contains(const WordDiff &cells, qint32 x, qint32 y) const;
};

// The state a pass starts from, kept until it ends.
class PassStart {
public:
    // Raises error 7 when the copies do not fit in memory.
    explicit PassStart(const Module1 &model);
    // The same for another pass, in the memory already held.
    void retake(const Module1 &model);
    // What the pass changed, from the start to `model` as it now stands.
    std::shared_ptr<PassChanges> finish(const Module1 &model) const;

private:
    PackedMask m_painted, m_black, m_mask;
    Sheet::OtherColours m_others;
};

// The passes that can be taken back and done again. Entries hold what each
// pass changed; the oldest are dropped when all of them together exceed the
// budget.
class History {
public:
    static constexpr size_t kDefaultBudget = size_t(512) << 20;

    void clear();
    // A new pass: what could be done again is forgotten.
    void push(std::shared_ptr<const PassChanges> changes);
    // The entry to take back (moved to the redo side), or null.
    std::shared_ptr<const PassChanges> undo();
    // The entry to do again (moved back to the undo side), or null.
    std::shared_ptr<const PassChanges> redo();

    // The last pass still in effect, or null.
    std::shared_ptr<const PassChanges> last() const {
        return m_undo.empty() ? nullptr : m_undo.back();
    }
    int undoCount() const { return int(m_undo.size()); }
    size_t bytes() const { return m_bytes; }
    void setBudget(size_t bytes);

private:
    void trim();

    std::deque<std::shared_ptr<const PassChanges>> m_undo;   // oldest first
    std::vector<std::shared_ptr<const PassChanges>> m_redo;  // next to redo last
    size_t m_bytes = 0;
    size_t m_budget = kDefaultBudget;
};

// "1,234 filled, 5,678 erased", grouped with commas whatever the locale.
QString changeCountsText(qint64 filled, qint64 erased);

template <typename F>
void PassChanges::forEachIn(const WordDiff &cells, const QRect &area, F &&f) const {
    if (area.isEmpty() || maskStride == 0)
        return;
    // Column x's words are x * stride + 1 .. x * stride + stride - 2.
    const auto &index = cells.index;
    if (cells.dense()) {
        for (qint32 x = area.left(); x <= area.right(); ++x) {
            const size_t base = size_t(x) * size_t(maskStride) + 1;
            for (qint32 k = area.top() / 64; k <= area.bottom() / 64; ++k) {
                if (base + size_t(k) >= cells.words.size())
                    break;
                for (quint64 w = cells.words[base + size_t(k)]; w != 0; w &= w - 1) {
                    const qint32 y = k * 64 + std::countr_zero(w);
                    if (y >= area.top() && y <= area.bottom())
                        f(x, y);
                }
            }
        }
        return;
    }
    for (qint32 x = area.left(); x <= area.right(); ++x) {
        const quint32 base = quint32(x) * quint32(maskStride) + 1;
        auto it = std::lower_bound(index.begin(), index.end(), base + quint32(area.top() / 64));
        const quint32 end = base + quint32(area.bottom() / 64);
        for (; it != index.end() && *it <= end; ++it) {
            const qint32 y0 = qint32(*it - base) * 64;
            for (quint64 w = cells.words[size_t(it - index.begin())]; w != 0; w &= w - 1) {
                const qint32 y = y0 + std::countr_zero(w);
                if (y >= area.top() && y <= area.bottom())
                    f(x, y);
            }
        }
    }
}

}  // namespace ink
