#pragma once

#include "core/image/columnpass.h"
#include "core/image/imagesurface.h"
#include "core/image/maskarray.h"
#include "core/image/pixelsurface.h"

#include <QImage>
#include <QRect>

#include <algorithm>
#include <atomic>
#include <bit>
#include <climits>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <unordered_map>
#include <vector>

namespace ink {

// A set of cells of a picture or a mask, held as the non-zero 64-bit words of
// a bitmap. A picture's set runs in bands of 64 columns, each band row by row
// (bit j of word y of band k is the cell (64k + j, y)), as the passes work
// through the picture; a mask's runs column by column, as the mask is stored
// (bit j of word k of column x is row 64k + j). A pass that changes few cells
// costs a few words.
class CellSet {
public:
    enum class Order { bands, columns };

    CellSet() = default;
    CellSet(qint32 columns, qint32 rows, Order order)
        : m_columns(columns), m_rows(rows), m_order(order) {}

    qint32 columns() const { return m_columns; }
    qint32 rows() const { return m_rows; }
    Order order() const { return m_order; }
    // Words per band (bands order) or per column (columns order).
    qint32 wordsPerLine() const { return m_order == Order::bands ? m_rows : (m_rows + 63) / 64; }
    qint64 count() const;
    bool empty() const { return m_words.empty(); }
    bool contains(qint32 x, qint32 y) const;
    size_t bytes() const { return m_index.capacity() * 4 + m_words.capacity() * 8; }

    // Adds word `k` of band or column `line`; words come in the set's order.
    void append(qint32 line, qint32 k, quint64 word) {
        m_index.push_back(quint32(qint64(line) * wordsPerLine() + k));
        m_words.push_back(word);
    }
    // Room for `words` words, then word `i` of the set's order put in place.
    void resize(size_t words) {
        m_index.resize(words);
        m_words.resize(words);
    }
    void place(size_t i, qint32 line, qint32 k, quint64 word) {
        m_index[i] = quint32(qint64(line) * wordsPerLine() + k);
        m_words[i] = word;
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
    // i-th, and its band or column and its place along it.
    size_t wordCount() const { return m_words.size(); }
    quint64 word(size_t i) const { return m_words[i]; }
    qint32 lineOf(size_t i) const { return qint32(m_index[i] / quint32(wordsPerLine())); }
    quint32 indexOf(size_t i) const { return m_index[i]; }  // line * wordsPerLine() + place
    qint32 wordOf(size_t i) const { return qint32(m_index[i] % quint32(wordsPerLine())); }

    // Calls f(x, y) for every cell, in the set's order.
    template <typename F>
    void forEach(F &&f) const {
        for (size_t i = 0; i < m_words.size(); ++i)
            visit(i, f, QRect(0, 0, m_columns, m_rows));
    }
    // The same for the cells inside `area`.
    template <typename F>
    void forEachIn(const QRect &area, F &&f) const;

private:
    // Calls f for the cells of word i that lie in `area`.
    template <typename F>
    void visit(size_t i, F &f, const QRect &area) const {
        const qint32 line = lineOf(i), along = wordOf(i);
        for (quint64 w = m_words[i]; w != 0; w &= w - 1) {
            const qint32 bit = std::countr_zero(w);
            const qint32 x = m_order == Order::bands ? line * 64 + bit : line;
            const qint32 y = m_order == Order::bands ? along : along * 64 + bit;
            if (area.contains(x, y))
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
    std::vector<quint32> m_index;  // line * wordsPerLine() + word, ascending
    std::vector<quint64> m_words;
};

// What one pass changed: the picture's pixels, with their colours before and
// after, and the cells of `Mask` it flipped. Enough to take the pass back and
// to do it again, and to show what it did.
//
// A colour is kept as a two-bit code: the scan's colour as loaded at that
// pixel, black, white, or another colour listed in full (the first that
// applies). The passes paint only black and white, and NB paints over the
// scan as loaded, so even NB on a whole sheet costs half a byte per pixel it
// changed, plus the bitmap.
struct PassChanges {
    enum Code : quint8 { kBlack = 0, kWhite = 1, kLoaded = 2, kListed = 3 };

    CellSet pixels;  // in bands order
    // Per word of `pixels`, four bit planes over its changed pixels: the low
    // and the high bit of each one's code before the pass, then after it.
    std::vector<quint64> planes;
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

// Where the scan as loaded is pure black and where pure white, a bit a pixel,
// in bands of 64 columns, each row by row (word k * rows + y holds columns
// 64k .. 64k + 63 of row y): enough to tell whether a black or white pixel
// has the scan's colour without reading the scan.
struct ScanInk {
    qint32 columns = 0, rows = 0;
    std::vector<quint64> black, white;
};
// Empty when memory runs out: recording then reads the scan instead.
ScanInk scanInkOf(const QImage &loaded);

// Watches a pass: a picture that passes its reads and writes on to the real
// one, and the pass's `Mask` and `WorkMask`; finish() then gives what the pass
// changed.
//
// The pass works on one column at a time, and the recorder on a group of 64
// columns: the first few pixels the pass paints in a row of the group have
// their colours kept one by one, and then the rest of the row is copied (a
// picture still as loaded needs no copy: the scan as loaded is what it was).
// When the pass leaves the group, the pixels painted in each row written are
// compared with the picture, 64 at once where there are many, and so are the
// group's columns of both masks, or only their cells at the pixels painted
// when the pass changes nothing else; on a machine with more than one
// processor this is done on a thread of its own while the pass goes on with
// the next group. Writes outside the group are noted one by one, once that
// thread is done.
class ChangeRecorder : public PixelSurface {
public:
    // Memory recorders work in, kept from one pass to the next.
    class Buffers;

    // `asLoaded`: the picture is, pixel for pixel, the scan as loaded, as it
    // is before the first pass after loading. `buffers`: those of the
    // passes before, if any. `ink`: that of `loaded`, if known.
    ChangeRecorder(PixelSurface &target, const QImage &loaded, bool asLoaded = false,
                   Buffers *buffers = nullptr, const ScanInk *ink = nullptr);
    ~ChangeRecorder() override;
    ChangeRecorder(const ChangeRecorder &) = delete;
    ChangeRecorder &operator=(const ChangeRecorder &) = delete;

    ColorValue Point(qint64 x, qint64 y) const override {
        if (m_pendingCount)  // the pass reads what it wrote
            const_cast<ChangeRecorder *>(this)->applyPendingNow();
        if (m_pixelBits)
            return x >= 0 && y >= 0 && x < m_columns && y < m_rows ? current(x, y) : kNoPixel;
        return m_target.Point(x, y);
    }
    void PSet(qint64 x, qint64 y, ColorValue color) override {
        // Runs for every pixel a pass paints. A pixel of the group painted
        // its own colour, when the pass reads each pixel first, is left
        // alone; a write into a row of the group copied whole goes straight
        // to a plain picture. Neither has anything else to do (nor registers
        // to save for the rest).
        if (quint64(x - m_group) < m_groupWidth && quint64(y) < quint64(m_rows)) {
            if (m_leaveSame && pixelAt(x, y) == ImageSurface::pixelOf(color))
                return;
            if (m_plain && ((m_copiedBits[quint64(y) / 64] >> (quint64(y) % 64)) & 1)) {
                m_plain->setOnSurface(x, y, color);  // the group lies on the picture
                return;
            }
        }
        noteAndSet(x, y, color);
    }
    void Refresh() override {
        applyPending();
        m_target.Refresh();
    }
    float Width() const override { return m_target.Width(); }
    float Height() const override { return m_target.Height(); }

    // The pass works on column x next.
    void beginColumn(qint32 x);
    // The pass is done with its column: every pixel it painted is on the
    // picture.
    void endColumn() { applyPending(); }
    // Whether a pass that paints every pixel of its column's rows may write
    // straight to the picture, its rows then noted with writingRows(): the
    // picture is the scan as loaded, so those rows need no copy.
    bool takesWholeColumns() const { return m_asLoaded && !m_off; }
    void writingRows(qint32 y0, qint32 y1);
    // The pass changes `WorkMask` only at pixels it paints (see
    // ColumnOperation::paintsWhatItChanges): where it painted few pixels,
    // only those cells of the masks are compared.
    void setMaskChangesPainted(bool painted) { m_maskAtPainted = painted; }
    // The pass paints every pixel of its column (see
    // ColumnOperation::paintsItsColumn). Such a pass (NB) reads each pixel
    // just before it paints it, so on a picture in memory the colour before
    // is at hand: a pixel painted its own colour is left as it is, and the
    // others are kept as for any pass. Otherwise a row is copied whole at
    // its first write.
    void setPaintsColumns(bool columns) {
        m_paintsColumns = columns;
        m_leaveSame = columns && m_pixelBits && !m_asLoaded;
    }
    PixelSurface &target() { return m_target; }

    // `Mask` and `WorkMask` compared after column x, for a pass that changes
    // `WorkMask` in the column it works on only; held until the copy-back
    // keeps them (commitMaskColumns). A column out of order, or masks of
    // other bounds, leave it to recordMask().
    void recordMaskColumn(const MaskArray &before, const MaskArray &after, qint32 x);
    bool maskColumnsUsable() const { return m_maskColumnsUsable; }
    // Waits until all the columns worked on are compared.
    void settle();
    void commitMaskColumns();
    // The cells where `after` differs from `before`, both of the same bounds.
    void recordMask(const MaskArray &before, const MaskArray &after);
    // What changed: pixels whose colour is now what it was before are left out.
    // Raises std::bad_alloc when memory ran out while recording.
    std::shared_ptr<PassChanges> finish();
    // Stops recording at once, before the picture, the scan as loaded or the
    // masks are replaced while the pass runs; what was recorded is dropped.
    void abandon();

private:
    // Per word of 64 pixels of a row: the pixels noted, and the two planes of
    // the code of each one's colour before the pass and of the colour it has
    // now (which the picture keeps, so the end of the pass need not read it
    // back).
    struct Written {
        quint64 touched, low, high, newLow, newHigh;
    };

    static constexpr qint32 kGroup = 64;
    static constexpr qint64 kNoColumn = -(qint64(1) << 62);

    // Memory handed out zeroed and only as it is touched.
    template <typename T>
    using Untouched = std::unique_ptr<T[], std::function<void(T *)>>;
    template <typename T>
    static Untouched<T> untouched(size_t count) {
        void *memory = untouchedBytes(std::max<size_t>(count, 1) * sizeof(T));
        return {static_cast<T *>(memory),
                [bytes = std::max<size_t>(count, 1) * sizeof(T)](T *p) { releaseBytes(p, bytes); }};
    }
    static void *untouchedBytes(size_t bytes);
    static void releaseBytes(void *memory, size_t bytes);

    // Per row of a group, bit k for the group's column k: the pixels whose
    // colour before the pass is kept, and those painted, while the row is
    // not copied whole.
    struct RowState {
        quint64 kept, painted;
    };
    // A row's first few pixels painted have their old colours kept one by
    // one; then the rest of the row is copied at once (at the first, for a
    // pass that paints whole columns).
    static constexpr int kPixelsAlone = 4;

    // One group of columns: the rows written, their pixels painted and
    // their colours before, and the columns of the masks to compare.
    struct Group {
        qint64 first = kNoColumn, end = kNoColumn;
        std::vector<quint64> rows;     // a bit a row
        std::vector<RowState> states;  // a row each; only `rows` not clear
        // A bit a row: every pixel's colour before is kept (the row copied
        // whole, or the scan as loaded), and any may have been painted.
        std::vector<quint64> copied;
        // The pass painted every pixel of the rows written, straight to the
        // picture: `states` stays clear.
        bool whole = false;
        QRgb *copy = nullptr;  // 64 pixels a row, those kept
        qint32 maskFirst = 0, maskLast = -1;
    };

    // A note of one row's word, as the comparing keeps it while every group
    // is compared once and nothing is written outside the group: appended
    // group after group, so that its cost follows what the pass changed.
    struct Note {
        qint32 y, k;
        Written word;
    };

    // Keeps the colour of pixel k of row y of the group before it is
    // painted.
    void keep(qint64 y, int k);
    // Puts the writes held back on the picture, their old colours kept.
    void applyPending() {
        if (m_pendingCount)
            applyPendingNow();
    }
    void applyPendingNow();
    // From notes in a list to notes kept in place, a word per 64 pixels of
    // every row: for writes outside the group, and groups out of order.
    void spill();
    Written &appendNote(qint32 y, qint32 k);
    // The list of notes is done with.
    void dropNotes();
    // Whether a word's pixels changed: their codes differ, or both are listed
    // and the colours do. Keeps only those in `touched`.
    void settleWord(qint32 y, qint32 k, Written &word) const;
    // Puts a changed word in the record as its word `i`, its listed colours
    // aside.
    static void placeWord(PassChanges &changes, size_t i, qint32 y, qint32 k, const Written &word);
    // The record's listed colours, in the order of its pixels.
    void appendListed(PassChanges &changes) const;
    // PSet's other cases: notes what the write changes, then writes.
    void noteAndSet(qint64 x, qint64 y, ColorValue color);
    // Hands the current group over to be compared, and waits until done.
    void handOver();
    void waitIdle();
    void compareGroup(Group &group);
    void compareRow(const Group &group, qint32 y);
    // Whether row y of the group being written is copied whole.
    bool copied(qint64 y) const { return (m_copiedBits[size_t(y) / 64] >> (y % 64)) & 1; }
    // The group's columns as bits.
    static quint64 columnsOf(const Group &group) {
        const qint64 n = group.end - group.first;
        return n >= 64 ? ~quint64(0) : (quint64(1) << n) - 1;
    }
    // The pixels of row y of the group that may have been painted.
    static quint64 paintedIn(const Group &group, qint32 y) {
        if (group.whole || ((group.copied[size_t(y) / 64] >> (y % 64)) & 1))
            return ~quint64(0);
        return group.states[size_t(y)].painted;
    }
    // Asks for the memory that comparing row y will read.
    void prefetchRow(const Group &group, qint32 y) const;
    void compareMaskColumn(qint32 x);
    // The group's columns of the masks, at the pixels it painted and in the
    // masks' rows past the picture; false, with nothing compared, when it
    // painted too many pixels for that to pay.
    bool compareMaskPainted(const Group &group, qint64 paintedCount);
    // Notes one write outside the current group.
    void recordWrite(qint64 x, qint64 y, ColorValue color);
    Written &wordAt(qint64 x, qint64 y);
    PassChanges::Code code(ColorValue color, qint64 x, qint64 y) const;

    // The picture's current colour at a pixel on it, as stored and as a
    // colour value.
    QRgb pixelAt(qint64 x, qint64 y) const {
        return reinterpret_cast<const QRgb *>(m_pixelBits + y * m_pixelStride)[x];
    }
    ColorValue current(qint64 x, qint64 y) const { return ImageSurface::colorOf(pixelAt(x, y)); }

    PixelSurface &m_target;
    // The target when it is a plain in-memory picture, written without a call.
    ImageSurface *m_plain = nullptr;
    // Its pixels, when it keeps them in memory, read without a call.
    const uchar *m_pixelBits = nullptr;
    qsizetype m_pixelStride = 0;
    const uchar *m_loadedBits = nullptr;  // the scan as loaded, in 32-bit RGB
    const ScanInk *m_ink = nullptr;       // its black and white, when known
    qsizetype m_loadedStride = 0;
    qint64 m_loadedWidth = 0, m_loadedHeight = 0;
    bool m_asLoaded = false;
    bool m_off = false;  // abandoned
    qint32 m_columns, m_rows, m_rowWords;

    // The notes as a list, while m_sparse: at most one per word of a row,
    // appended in the order of the groups (left to right) and of the rows.
    bool m_sparse = true;
    std::unique_ptr<Buffers> m_ownBuffers;  // when not given any
    Buffers *m_buffers;
    Note *m_notes = nullptr;  // in m_buffers
    size_t m_noteCount = 0;
    qint64 m_lastGroup = kNoColumn;  // the group begun last, while m_sparse
    // Otherwise dense, m_rowWords words a row; allocated untouched, and read
    // back only in rows marked in m_rowsWritten.
    Untouched<Written> m_written;
    std::vector<quint8> m_rowsWritten;

    // The group being written, and those handed over before it, compared
    // meanwhile.
    static constexpr qint64 kRing = 4;
    Group m_groups[kRing];
    // The groups' copies, in one piece that large pages can hold, in
    // m_buffers.
    QRgb *m_copies = nullptr;
    int m_filling = 0;
    qint64 m_group = kNoColumn, m_groupEnd = kNoColumn;  // the one being written
    quint64 m_groupWidth = 0;                            // m_groupEnd - m_group
    quint64 *m_rowBits = nullptr;                        // its rows written
    RowState *m_rowStates = nullptr;                     // and their pixels
    quint64 *m_copiedBits = nullptr;                     // and those copied whole

    // The thread that compares groups, started with the first one.
    std::thread m_worker;
    std::mutex m_lock;
    std::condition_variable m_wake;
    qint64 m_handed = 0, m_compared = 0;  // groups so far
    bool m_stop = false;
    std::atomic<bool> m_failed = false;  // memory ran out
    std::vector<qint32> m_rowList;       // the rows of the group compared

    // Writes into the group whose old colour is not kept yet, held back a
    // little while the pixel is fetched from memory: reading it at once
    // would hold the pass up, where a write alone does not.
    struct Pending {
        qint64 x, y;
        ColorValue color;
    };
    static constexpr int kPending = 8;
    Pending m_pending[kPending];
    int m_pendingCount = 0;
    bool m_alongside = false;

    const MaskArray *m_maskBefore = nullptr;
    const MaskArray *m_maskAfter = nullptr;
    std::unordered_map<qint64, ColorValue> m_oldListed;  // by y * columns + x
    std::unordered_map<qint64, ColorValue> m_newListed;

    CellSet m_filled, m_erased, m_columnFilled, m_columnErased;
    qint32 m_lastMaskColumn = -1;
    bool m_maskColumnsUsable = true;
    bool m_maskAtPainted = false;
    bool m_paintsColumns = false;
    bool m_leaveSame = false;  // writes of a pixel's own colour are dropped
};

// The recorder's list of notes and its groups' copies. The system hands
// memory out a page at a time, cleared, as it is first touched: for a pass
// that changes few pixels that cost more than the recording. Kept for the
// next pass, unless the last one filled a large part of them.
class ChangeRecorder::Buffers {
public:
    Buffers() = default;

private:
    friend class ChangeRecorder;
    static constexpr size_t kKeptBytes = size_t(16) << 20;
    Untouched<Note> notes;
    size_t noteCount = 0;
    Untouched<QRgb> copies;
    size_t copyCount = 0;
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
        if (m_whole) {
            // Every row written is compared; the writes themselves need no
            // watching.
            m_recorder.writingRows(y0, y1);
            m_inner.processColumn(module, m_recorder.target(), x, y0, y1);
        } else {
            m_inner.processColumn(module, m_recorder, x, y0, y1);
            m_recorder.endColumn();
        }
        if (m_byColumn)
            m_recorder.recordMaskColumn(module.Mask, module.WorkMask, x);
    }
    void passStart(Module1 &module) override {
        m_inner.passStart(module);
        m_byColumn = m_inner.changesOnlyItsColumn();
        m_whole = m_inner.paintsItsColumn() && m_recorder.takesWholeColumns();
        m_recorder.setMaskChangesPainted(m_inner.paintsWhatItChanges());
        m_recorder.setPaintsColumns(m_inner.paintsItsColumn());
    }
    void copyBack(Module1 &module) override;
    bool changesOnlyItsColumn() const override { return m_inner.changesOnlyItsColumn(); }
    bool paintsItsColumn() const override { return m_inner.paintsItsColumn(); }
    bool paintsWhatItChanges() const override { return m_inner.paintsWhatItChanges(); }

private:
    ColumnOperation &m_inner;
    ChangeRecorder &m_recorder;
    bool m_byColumn = false;
    bool m_whole = false;  // the pass paints whole columns, written straight
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
    // Whether the passes still in effect, all of them kept since the history
    // started, left the picture as it was then.
    bool pictureAsLoaded() const;
    void setBudget(size_t bytes);

private:
    void trim();

    std::deque<std::shared_ptr<const PassChanges>> m_undo;   // oldest first
    std::vector<std::shared_ptr<const PassChanges>> m_redo;  // next to redo last
    size_t m_bytes = 0;
    size_t m_budget = kDefaultBudget;
    bool m_droppedUndo = false;  // entries of passes still in effect were dropped
};

// "1,234 filled, 5,678 erased", grouped with commas whatever the locale.
QString changeCountsText(qint64 filled, qint64 erased);

template <typename F>
void CellSet::forEachIn(const QRect &area, F &&f) const {
    const QRect r = area & QRect(0, 0, m_columns, m_rows);
    if (r.isEmpty())
        return;
    // One run of words per band, or per column, of the area.
    const bool bands = m_order == Order::bands;
    const qint32 first = bands ? r.left() / 64 : r.left(),
                 last = bands ? r.right() / 64 : r.right();
    const qint32 from = bands ? r.top() : r.top() / 64, to = bands ? r.bottom() : r.bottom() / 64;
    const quint32 per = quint32(wordsPerLine());
    for (qint32 line = first; line <= last; ++line) {
        const auto [begin, end] =
            wordsBetween(quint32(line) * per + quint32(from), quint32(line) * per + quint32(to));
        for (size_t i = begin; i < end; ++i)
            visit(i, f, r);
    }
}

}  // namespace ink
