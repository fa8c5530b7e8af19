#pragma once

#include "core/image/columnpass.h"
#include "core/image/imagesurface.h"
#include "core/image/maskarray.h"
#include "core/image/pixelsurface.h"

#include <QImage>
#include <QRect>

#include <algorithm>
#include <bit>
#include <climits>
#include <cstddef>
#include <deque>
#include <memory>
#include <unordered_map>
#include <vector>

namespace ink {

// A set of cells of a picture or a mask, held as the non-zero 64-bit words of
// a bitmap; bit j of a word of band k is row 64k + j. A picture's set runs
// band by band (inside a band one word per column, left to right), so that
// visiting its cells walks the picture's rows 64 at a time and keeps them in
// the cache; a mask's runs column by column, as the mask is stored. A pass
// that changes few cells costs a few words.
class CellSet {
public:
    enum class Order { bands, columns };

    CellSet() = default;
    CellSet(qint32 columns, qint32 rows, Order order)
        : m_columns(columns), m_rows(rows), m_order(order) {}

    qint32 columns() const { return m_columns; }
    qint32 rows() const { return m_rows; }
    qint32 bands() const { return (m_rows + 63) / 64; }
    qint64 count() const;
    bool empty() const { return m_words.empty(); }
    bool contains(qint32 x, qint32 y) const;
    size_t bytes() const { return m_index.capacity() * 4 + m_words.capacity() * 8; }

    // Adds the word of band `band`, column `x`; words come in the set's order.
    void append(qint32 band, qint32 x, quint64 word) {
        m_index.push_back(indexOf(band, x));
        m_words.push_back(word);
    }
    void reserve(size_t words) {
        m_index.reserve(words);
        m_words.reserve(words);
    }
    void shrink() {
        m_index.shrink_to_fit();
        m_words.shrink_to_fit();
    }

    // The words one by one, in the set's order: the number of them, the
    // i-th, and its band and column.
    size_t wordCount() const { return m_words.size(); }
    quint64 word(size_t i) const { return m_words[i]; }
    qint32 bandOf(size_t i) const {
        return qint32(m_order == Order::bands ? m_index[i] / quint32(m_columns)
                                              : m_index[i] % quint32(bands()));
    }
    qint32 columnOf(size_t i) const {
        return qint32(m_order == Order::bands ? m_index[i] % quint32(m_columns)
                                              : m_index[i] / quint32(bands()));
    }

    // Calls f(x, y) for every cell, in the set's order.
    template <typename F>
    void forEach(F &&f) const {
        for (size_t i = 0; i < m_words.size(); ++i)
            visit(i, f);
    }
    // The same for the cells inside `area`.
    template <typename F>
    void forEachIn(const QRect &area, F &&f) const;

private:
    quint32 indexOf(qint32 band, qint32 x) const {
        return m_order == Order::bands ? quint32(qint64(band) * m_columns + x)
                                       : quint32(qint64(x) * bands() + band);
    }
    template <typename F>
    void visit(size_t i, F &f, qint32 top = 0, qint32 bottom = INT_MAX) const {
        const quint32 index = m_index[i];
        const quint32 major = m_order == Order::bands ? quint32(m_columns) : quint32(bands());
        const qint32 band = qint32(m_order == Order::bands ? index / major : index % major);
        const qint32 x = qint32(m_order == Order::bands ? index % major : index / major);
        for (quint64 w = m_words[i]; w != 0; w &= w - 1) {
            const qint32 y = band * 64 + std::countr_zero(w);
            if (y >= top && y <= bottom)
                f(x, y);
        }
    }
    std::pair<size_t, size_t> wordsBetween(quint32 first, quint32 last) const {
        const auto from = std::lower_bound(m_index.begin(), m_index.end(), first);
        const auto to = std::upper_bound(from, m_index.end(), last);
        return {size_t(from - m_index.begin()), size_t(to - m_index.begin())};
    }

    qint32 m_columns = 0;
    qint32 m_rows = 0;
    Order m_order = Order::bands;
    std::vector<quint32> m_index;  // in the set's order, ascending
    std::vector<quint64> m_words;
};

// What one pass changed: the picture's pixels, with their colours before and
// after, and the cells of `Mask` it flipped. Enough to take the pass back and
// to do it again, and to show what it did.
//
// A colour is kept as a two-bit code: black, white, the scan's colour as
// loaded at that pixel, or another colour listed in full. The passes paint
// only black and white, and NB paints over the scan as loaded, so even NB on a
// whole sheet costs half a byte per pixel it changed, plus the bitmap.
struct PassChanges {
    enum Code : quint8 { kBlack = 0, kWhite = 1, kLoaded = 2, kListed = 3 };

    CellSet pixels;
    std::vector<quint8> codes;  // per changed pixel: old code, then new code << 2; two a byte
    std::vector<ColorValue> oldListed, newListed;  // the kListed colours, in order
    // The cells of `Mask` the pass flipped: from white to black (filled) and
    // from black to white (erased), and how many of each.
    CellSet filledCells, erasedCells;
    qint64 filled = 0;
    qint64 erased = 0;

    size_t bytes() const;
    // Puts the picture and `Mask` back as they were before the pass
    // (`forward` false) or after it (true). `loaded` is the scan as loaded.
    void apply(PixelSurface &picture, MaskArray &mask, const QImage &loaded, bool forward) const;
};

// Watches a pass: a picture that passes its reads and writes on to the real
// one and notes the colour of each pixel before the pass first writes it, and
// the operation's copy-back, where it compares `Mask` with `WorkMask`. finish()
// then gives what the pass changed.
class ChangeRecorder : public PixelSurface {
    struct Written {
        quint64 touched, low, high, newLow, newHigh;
    };

public:
    ChangeRecorder(PixelSurface &target, const QImage &loaded);

    ColorValue Point(qint64 x, qint64 y) const override {
        if (m_pixels)
            return x >= 0 && y >= 0 && x < m_columns && y < m_rows ? current(x, y) : kNoPixel;
        return m_target.Point(x, y);
    }
    void PSet(qint64 x, qint64 y, ColorValue color) override {
        if (x == m_column && y >= 0 && y < m_rows) {
            m_groupPending = true;
            quint64 &word = m_columnTouched[size_t(y) / 64];
            const quint64 bit = quint64(1) << (y % 64);
            if (!(word & bit)) {
                word |= bit;
                m_columnOld[size_t(y)] = current(x, y);
            }
            // Only the red, green and blue bytes reach the picture.
            m_columnNew[size_t(y)] = color & 0xFFFFFF;
        } else {
            recordWrite(x, y, color);
        }
        m_target.PSet(x, y, color);
    }
    void Refresh() override { m_target.Refresh(); }
    float Width() const override { return m_target.Width(); }
    float Height() const override { return m_target.Height(); }

    // The pass works on column x until endColumn(): writes to it are noted
    // cheaply (each pixel's colour before its first write and the last colour
    // written) and compared in one go for 16 columns at a time, band by band,
    // so that the scan as loaded is read while its memory is at hand.
    void beginColumn(qint32 x);
    void endColumn();

    // The cells where `after` differs from `before`, both of the same bounds.
    void recordMask(const MaskArray &before, const MaskArray &after);
    // What changed: pixels whose colour is now what it was before are left out.
    std::shared_ptr<PassChanges> finish();

private:
    // Notes one write outside the current column, pixel by pixel.
    void recordWrite(qint64 x, qint64 y, ColorValue color);
    Written &wordAt(qint64 x, qint64 y);

    // The picture's current colour at a pixel on it.
    ColorValue current(qint64 x, qint64 y) const {
        if (!m_pixels)
            return m_target.Point(x, y);
        const QRgb p = reinterpret_cast<const QRgb *>(m_pixelBits + y * m_pixelStride)[x];
        return qRed(p) | (qGreen(p) << 8) | (qBlue(p) << 16);
    }

    PixelSurface &m_target;
    // The same picture when it is an in-memory one, read without a call.
    const ImageSurface *m_pixels = nullptr;
    const uchar *m_pixelBits = nullptr;
    qsizetype m_pixelStride = 0;
    const QImage &m_loaded;
    qint32 m_columns, m_rows;
    // Dense while the pass runs, laid out as a picture's CellSet: per word
    // the pixels written, and the two bits of the code of each one's colour
    // before the pass and of the colour last written (which the picture keeps,
    // so the end of the pass need not read it back).
    std::vector<Written> m_written;
    // Takes the noted writes of the current group of columns into
    // m_written. Safe at any time: a pixel written again afterwards is one
    // already noted, or one still as it was before the pass.
    void flushGroup();

    static constexpr qint64 kNoColumn = -(qint64(1) << 62);
    static constexpr qint32 kGroup = 16;
    qint64 m_column = kNoColumn;  // the column being worked on
    qint64 m_group = kNoColumn;   // the first column of its group
    // Per column of the group: per band the rows written, and per row the
    // colour before the first write and the last colour written.
    std::vector<quint64> m_groupTouched;
    std::vector<ColorValue> m_groupOld, m_groupNew;
    bool m_groupPending = false;
    quint64 *m_columnTouched = nullptr;
    ColorValue *m_columnOld = nullptr, *m_columnNew = nullptr;
    const uchar *m_loadedBits = nullptr;
    qsizetype m_loadedStride = 0;
    qint64 m_loadedWidth = 0, m_loadedHeight = 0;
    ColorValue loadedAt(qint64 x, qint64 y) const {
        const QRgb p = reinterpret_cast<const QRgb *>(m_loadedBits + y * m_loadedStride)[x];
        return qRed(p) | (qGreen(p) << 8) | (qBlue(p) << 16);
    }
    PassChanges::Code code(ColorValue color, qint64 x, qint64 y) const {
        if (color == kBlack)
            return PassChanges::kBlack;
        if (color == kWhite)
            return PassChanges::kWhite;
        if (x < m_loadedWidth && y < m_loadedHeight && loadedAt(x, y) == color)
            return PassChanges::kLoaded;
        return PassChanges::kListed;
    }
    std::unordered_map<qint64, ColorValue> m_oldListed;  // by y * columns + x
    std::unordered_map<qint64, ColorValue> m_newListed;
    CellSet m_filled, m_erased;
};

// A column operation whose copy-back tells a ChangeRecorder what it changed
// in `Mask`, and whose picture is the recorder.
class RecordingOperation : public ColumnOperation {
public:
    RecordingOperation(ColumnOperation &inner, ChangeRecorder &recorder)
        : m_inner(inner), m_recorder(recorder) {}
    PassRange range() const override { return m_inner.range(); }
    void processColumn(Module1 &module, PixelSurface &, qint32 x, qint32 y0, qint32 y1) override {
        m_recorder.beginColumn(x);
        m_inner.processColumn(module, m_recorder, x, y0, y1);
        m_recorder.endColumn();
    }
    void passStart(Module1 &module) override { m_inner.passStart(module); }
    void copyBack(Module1 &module) override;

private:
    ColumnOperation &m_inner;
    ChangeRecorder &m_recorder;
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
    int redoCount() const { return int(m_redo.size()); }
    size_t bytes() const { return m_bytes; }
    size_t budget() const { return m_budget; }
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
void CellSet::forEachIn(const QRect &area, F &&f) const {
    const QRect r = area & QRect(0, 0, m_columns, m_rows);
    if (r.isEmpty())
        return;
    const qint32 b0 = r.top() / 64, b1 = r.bottom() / 64;
    // One run of words per band, or per column, of the area.
    const bool bandsFirst = m_order == Order::bands;
    for (qint32 outer = bandsFirst ? b0 : r.left(); outer <= (bandsFirst ? b1 : r.right());
         ++outer) {
        const auto [from, to] =
            bandsFirst ? wordsBetween(indexOf(outer, r.left()), indexOf(outer, r.right()))
                       : wordsBetween(indexOf(b0, outer), indexOf(b1, outer));
        for (size_t i = from; i < to; ++i)
            visit(i, f, r.top(), r.bottom());
    }
}

}  // namespace ink
