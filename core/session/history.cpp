#include "core/session/history.h"

#include <algorithm>
#include <array>
#include <cstring>

namespace ink {

namespace {

// Eight cells of a mask, each byte 0 or 1, as eight bits, the first lowest.
quint64 packBytes(const quint8 *cells) {
    quint64 v;
    std::memcpy(&v, cells, 8);
    v |= v >> 7;
    v |= v >> 14;
    v |= v >> 28;
    return v & 0xFF;
}

// Bit i of a byte moved to bit 4i: eight one-bit fields spread into nibbles.
constexpr auto kSpread = [] {
    std::array<quint64, 256> table{};
    for (int v = 0; v < 256; ++v)
        for (int i = 0; i < 8; ++i)
            table[size_t(v)] |= quint64((v >> i) & 1) << (4 * i);
    return table;
}();

}  // namespace

qint64 CellSet::count() const {
    qint64 n = 0;
    for (const quint64 w : m_words)
        n += std::popcount(w);
    return n;
}

bool CellSet::contains(qint32 x, qint32 y) const {
    if (x < 0 || y < 0 || x >= m_columns || y >= m_rows)
        return false;
    const quint32 index = indexOf(y / 64, x);
    const auto it = std::lower_bound(m_index.begin(), m_index.end(), index);
    return it != m_index.end() && *it == index &&
           (m_words[size_t(it - m_index.begin())] >> (y % 64)) & 1;
}

size_t PassChanges::bytes() const {
    return sizeof(PassChanges) + pixels.bytes() + codes.capacity() +
           (oldListed.capacity() + newListed.capacity()) * sizeof(ColorValue) +
           filledCells.bytes() + erasedCells.bytes();
}

void PassChanges::apply(PixelSurface &picture, MaskArray &target, const QImage &loaded,
                        bool forward) const {
    const ColorValue *listed = forward ? newListed.data() : oldListed.data();
    const int shift = forward ? 2 : 0;
    const bool rgb32 = loaded.format() == QImage::Format_RGB32;
    const uchar *loadedBits = rgb32 ? loaded.constBits() : nullptr;
    const qsizetype stride = loaded.bytesPerLine();
    const auto colorOf = [&](quint32 code, qint32 x, qint32 y) -> ColorValue {
        if (code == kLoaded) {
            const QRgb p = reinterpret_cast<const QRgb *>(loadedBits + y * stride)[x];
            return qRed(p) | (qGreen(p) << 8) | (qBlue(p) << 16);
        }
        return code == kBlack ? ink::kBlack : code == kWhite ? ink::kWhite : *listed++;
    };
    // Band by band, the codes of the band's pixels are first spread into two
    // bit planes per word (the low and the high bit of each code). A band
    // with many changes and no listed colour, as NB leaves most of a sheet,
    // is then written row by row, left to right, so that the picture and the
    // scan as loaded are walked along their scanlines; reading 64 rows at
    // once, one word per column, leaves the memory waiting. Other bands are
    // written word by word, in the record's order, as the listed colours are.
    std::vector<quint64> set, low, high;
    std::vector<qint32> xs;
    const size_t words = pixels.wordCount();
    qint64 at = 0;  // the next code
    for (size_t first = 0; first < words;) {
        const qint32 band = pixels.bandOf(first);
        size_t end = first + 1;
        while (end < words && pixels.bandOf(end) == band)
            ++end;
        const size_t n = end - first;
        set.resize(n);
        low.resize(n);
        high.resize(n);
        xs.resize(n);
        qint64 cells = 0;
        bool anyListed = false;
        for (size_t k = 0; k < n; ++k) {
            const quint64 word = pixels.word(first + k);
            set[k] = word;
            xs[k] = pixels.columnOf(first + k);
            quint64 lo = 0, hi = 0;
            if (word == ~quint64(0) && !(at & 1)) {
                // 64 codes in 32 whole bytes: two pixels a byte.
                const quint8 *bytes = codes.data() + size_t(at >> 1);
                for (int b = 0; b < 32; ++b) {
                    const quint32 pair = quint32(bytes[b]) >> shift;
                    lo |= quint64((pair & 1) | ((pair >> 3) & 2)) << (2 * b);
                    hi |= quint64(((pair >> 1) & 1) | ((pair >> 4) & 2)) << (2 * b);
                }
                at += 64;
                cells += 64;
            } else {
                for (quint64 w = word; w != 0; w &= w - 1) {
                    const quint32 code = (codes[size_t(at >> 1)] >> ((at & 1) * 4 + shift)) & 3;
                    ++at;
                    const quint64 bit = w & -w;
                    lo |= code & 1 ? bit : 0;
                    hi |= code & 2 ? bit : 0;
                    ++cells;
                }
            }
            anyListed |= (lo & hi & word) != 0;
            low[k] = lo;
            high[k] = hi;
        }
        if (!anyListed && cells >= qint64(n) * 8) {
            const qint32 y0 = band * 64, y1 = std::min(y0 + 64, pixels.rows());
            for (qint32 y = y0; y < y1; ++y) {
                const int j = y - y0;
                const QRgb *loadedRow =
                    loadedBits ? reinterpret_cast<const QRgb *>(loadedBits + y * stride) : nullptr;
                for (size_t k = 0; k < n; ++k) {
                    if (!((set[k] >> j) & 1))
                        continue;
                    const qint32 x = xs[k];
                    ColorValue color;
                    if ((high[k] >> j) & 1) {
                        const QRgb p = loadedRow[x];
                        color = qRed(p) | (qGreen(p) << 8) | (qBlue(p) << 16);
                    } else {
                        color = (low[k] >> j) & 1 ? ink::kWhite : ink::kBlack;
                    }
                    picture.PSet(x, y, color);
                }
            }
        } else {
            for (size_t k = 0; k < n; ++k) {
                const qint32 x = xs[k];
                for (quint64 w = set[k]; w != 0; w &= w - 1) {
                    const int j = std::countr_zero(w);
                    const quint32 code =
                        quint32((low[k] >> j) & 1) | quint32(((high[k] >> j) & 1) << 1);
                    picture.PSet(x, band * 64 + j, colorOf(code, x, band * 64 + j));
                }
            }
        }
        first = end;
    }
    // Undone or redone, every recorded cell of the mask flips.
    if (target.upperX() + 1 == filledCells.columns() && target.upperY() + 1 == filledCells.rows()) {
        const auto flip = [&](qint32 x, qint32 y) { target.column(x)[y] ^= 1; };
        filledCells.forEach(flip);
        erasedCells.forEach(flip);
    }
    picture.Refresh();
}

ChangeRecorder::ChangeRecorder(PixelSurface &target, const QImage &loaded)
    : m_target(target),
      m_loaded(loaded),
      m_columns(qint32(target.Width())),
      m_rows(qint32(target.Height())) {
    m_pixels = dynamic_cast<const ImageSurface *>(&target);
    if (m_pixels && !m_pixels->pixels().isNull() && m_pixels->pixels().width() == m_columns &&
        m_pixels->pixels().height() == m_rows) {
        m_pixelBits = m_pixels->pixels().constBits();
        m_pixelStride = m_pixels->pixels().bytesPerLine();
    } else {
        m_pixels = nullptr;
    }
    if (loaded.format() == QImage::Format_RGB32) {
        m_loadedBits = loaded.constBits();
        m_loadedStride = loaded.bytesPerLine();
        m_loadedWidth = loaded.width();
        m_loadedHeight = loaded.height();
    }
}

ChangeRecorder::Written &ChangeRecorder::wordAt(qint64 x, qint64 y) {
    if (m_written.empty())
        m_written.assign(size_t((m_rows + 63) / 64) * size_t(m_columns), Written{});
    return m_written[size_t(y / 64) * size_t(m_columns) + size_t(x)];
}

void ChangeRecorder::recordWrite(qint64 x, qint64 y, ColorValue color) {
    if (x < 0 || y < 0 || x >= m_columns || y >= m_rows)
        return;
    flushGroup();
    Written &word = wordAt(x, y);
    const quint64 bit = quint64(1) << (y % 64);
    const qint64 at = y * m_columns + x;
    if (!(word.touched & bit)) {
        word.touched |= bit;
        const ColorValue old = current(x, y);
        const PassChanges::Code c = code(old, x, y);
        if (c & 1)
            word.low |= bit;
        if (c & 2)
            word.high |= bit;
        if (c == PassChanges::kListed)
            m_oldListed.emplace(at, old);
    }
    // Only the red, green and blue bytes reach the picture.
    const ColorValue now = color & 0xFFFFFF;
    const PassChanges::Code c = code(now, x, y);
    word.newLow = (word.newLow & ~bit) | (c & 1 ? bit : 0);
    word.newHigh = (word.newHigh & ~bit) | (c & 2 ? bit : 0);
    if (c == PassChanges::kListed)
        m_newListed[at] = now;
}

void ChangeRecorder::beginColumn(qint32 x) {
    m_column = kNoColumn;
    if (x < 0 || x >= m_columns) {
        flushGroup();
        return;
    }
    const qint64 group = x - x % kGroup;
    if (group != m_group) {
        flushGroup();
        m_group = group;
    }
    if (m_groupOld.empty()) {
        m_groupTouched.assign(size_t(kGroup) * size_t((m_rows + 63) / 64), 0);
        m_groupOld.assign(size_t(kGroup) * size_t(m_rows), 0);
        m_groupNew.assign(size_t(kGroup) * size_t(m_rows), 0);
    }
    const size_t k = size_t(x - group);
    m_columnTouched = m_groupTouched.data() + k * size_t((m_rows + 63) / 64);
    m_columnOld = m_groupOld.data() + k * size_t(m_rows);
    m_columnNew = m_groupNew.data() + k * size_t(m_rows);
    m_column = x;
}

void ChangeRecorder::endColumn() {
    m_column = kNoColumn;
}

void ChangeRecorder::flushGroup() {
    if (!m_groupPending)
        return;
    m_groupPending = false;
    // Each pixel written is compared once with its colour before its first
    // write; one that ends as it was is left out, as finish() would. A pixel
    // already noted keeps its colour before the pass. The passes paint black
    // and white in no predictable order, so those two are told apart without
    // a branch.
    const size_t bands = size_t((m_rows + 63) / 64);
    for (size_t band = 0; band < bands; ++band) {
        for (qint64 k = 0; k < kGroup && m_group + k < m_columns; ++k) {
            const qint64 x = m_group + k;
            const quint64 touched = m_groupTouched[size_t(k) * bands + band];
            if (!touched)
                continue;
            m_groupTouched[size_t(k) * bands + band] = 0;
            const ColorValue *oldColors = m_groupOld.data() + size_t(k) * size_t(m_rows);
            const ColorValue *newColors = m_groupNew.data() + size_t(k) * size_t(m_rows);
            const quint64 noted =
                m_written.empty() ? 0 : m_written[band * size_t(m_columns) + size_t(x)].touched;
            const bool loadedColumn = x < m_loadedWidth;
            quint64 changed = 0, low = 0, high = 0, newLow = 0, newHigh = 0;
            for (quint64 w = touched; w != 0; w &= w - 1) {
                const int j = std::countr_zero(w);
                const quint64 bit = quint64(1) << j;
                const qint64 y = qint64(band) * 64 + j;
                const ColorValue old = oldColors[y];
                const ColorValue now = newColors[y];
                changed |= old != now || (noted & bit) ? bit : 0;
                newLow |= now == kWhite ? bit : 0;
                if (now != kWhite && now != kBlack) {
                    const PassChanges::Code c = code(now, x, y);
                    newLow |= c & 1 ? bit : 0;
                    newHigh |= c & 2 ? bit : 0;
                    if (c == PassChanges::kListed && (old != now || (noted & bit)))
                        m_newListed[y * m_columns + x] = now;
                }
                if (noted & bit)
                    continue;
                low |= old == kWhite ? bit : 0;
                if (old != kWhite && old != kBlack) {
                    if (loadedColumn && y < m_loadedHeight && loadedAt(x, y) == old) {
                        high |= bit;
                    } else {
                        low |= bit;
                        high |= bit;
                        if (old != now)
                            m_oldListed.emplace(y * m_columns + x, old);
                    }
                }
            }
            if (!changed)
                continue;
            Written &word = wordAt(x, qint64(band) * 64);
            word.touched |= changed;
            word.low |= low & changed & ~noted;
            word.high |= high & changed & ~noted;
            word.newLow = (word.newLow & ~changed) | (newLow & changed);
            word.newHigh = (word.newHigh & ~changed) | (newHigh & changed);
        }
    }
}

void ChangeRecorder::recordMask(const MaskArray &before, const MaskArray &after) {
    if (before.upperX() != after.upperX() || before.upperY() != after.upperY() ||
        !before.isAllocated())
        return;
    const qint32 columns = before.upperX() + 1, rows = before.upperY() + 1;
    m_filled = CellSet(columns, rows, CellSet::Order::columns);
    m_erased = CellSet(columns, rows, CellSet::Order::columns);
    for (qint32 x = 0; x < columns; ++x) {
        const quint8 *a = before.column(x);
        const quint8 *b = after.column(x);
        for (qint32 band = 0; band * 64 < rows; ++band) {
            const qint32 y0 = band * 64;
            const int count = std::min(64, rows - y0);
            quint64 was = 0, is = 0;
            int j = 0;
            for (; j + 8 <= count; j += 8) {
                was |= packBytes(a + y0 + j) << j;
                is |= packBytes(b + y0 + j) << j;
            }
            for (; j < count; ++j) {
                was |= quint64(a[y0 + j] != 0) << j;
                is |= quint64(b[y0 + j] != 0) << j;
            }
            if (is & ~was)
                m_filled.append(band, x, is & ~was);
            if (was & ~is)
                m_erased.append(band, x, was & ~is);
        }
    }
}

std::shared_ptr<PassChanges> ChangeRecorder::finish() {
    // A column cut short by an error still counts what it painted.
    m_column = kNoColumn;
    flushGroup();
    auto changes = std::make_shared<PassChanges>();
    changes->pixels = CellSet(m_columns, m_rows, CellSet::Order::bands);
    // First which pixels changed, to size the record once: codes are taken
    // black, white, loaded, listed in that order, so a pixel changed when its
    // codes differ, or when both are listed and the colours do.
    qint64 total = 0;
    size_t words = 0;
    for (size_t i = 0; i < m_written.size(); ++i) {
        Written &word = m_written[i];
        if (!word.touched)
            continue;
        quint64 changed = word.touched & ((word.low ^ word.newLow) | (word.high ^ word.newHigh));
        for (quint64 w = word.touched & word.low & word.high & word.newLow & word.newHigh; w != 0;
             w &= w - 1) {
            const qint64 band = qint64(i / size_t(m_columns)), x = qint64(i % size_t(m_columns));
            const qint64 at = (band * 64 + std::countr_zero(w)) * m_columns + x;
            if (m_oldListed.at(at) != m_newListed.at(at))
                changed |= w & -w;
        }
        word.touched = changed;
        total += std::popcount(changed);
        words += changed != 0;
    }
    changes->pixels.reserve(words);
    changes->codes.resize(size_t((total + 1) / 2));
    // Then their codes, sixteen to a 64-bit word as they are gathered.
    quint8 *out = changes->codes.data();
    quint64 pending = 0;
    int held = 0;
    const auto flush = [&] {
        for (int k = 0; k < 8; ++k)
            *out++ = quint8(pending >> (8 * k));
    };
    const auto put = [&](quint64 nibble) {
        pending |= nibble << (4 * held);
        if (++held == 16) {
            flush();
            pending = 0;
            held = 0;
        }
    };
    // Eight codes at once, the first lowest.
    const auto putEight = [&](quint64 nibbles) {
        pending |= nibbles << (4 * held);
        held += 8;
        if (held >= 16) {
            flush();
            held -= 16;
            pending = nibbles >> (4 * (8 - held));
        }
    };
    for (size_t i = 0; i < m_written.size(); ++i) {
        const Written &word = m_written[i];
        const quint64 changed = word.touched;
        if (!changed)
            continue;
        const qint32 band = qint32(i / size_t(m_columns)), x = qint32(i % size_t(m_columns));
        // Eight changed pixels in a row without a listed colour, as NB
        // leaves most of a sheet, go in one step; others one by one.
        for (int j0 = 0; j0 < 64; j0 += 8) {
            const quint64 eight = (changed >> j0) & 0xFF;
            if (eight == 0)
                continue;
            const quint64 lo = (word.low >> j0) & 0xFF, hi = (word.high >> j0) & 0xFF;
            const quint64 newLo = (word.newLow >> j0) & 0xFF, newHi = (word.newHigh >> j0) & 0xFF;
            if (eight == 0xFF && ((lo & hi) | (newLo & newHi)) == 0) {
                putEight(kSpread[lo] | (kSpread[hi] << 1) | (kSpread[newLo] << 2) |
                         (kSpread[newHi] << 3));
                continue;
            }
            for (quint64 w = eight << j0; w != 0; w &= w - 1) {
                const int j = std::countr_zero(w);
                const quint64 nibble = ((word.low >> j) & 1) | (((word.high >> j) & 1) << 1) |
                                       (((word.newLow >> j) & 1) << 2) |
                                       (((word.newHigh >> j) & 1) << 3);
                put(nibble);
                if ((nibble & 3) == PassChanges::kListed || (nibble >> 2) == PassChanges::kListed) {
                    const qint64 at = (qint64(band) * 64 + j) * m_columns + x;
                    if ((nibble & 3) == PassChanges::kListed)
                        changes->oldListed.push_back(m_oldListed.at(at));
                    if ((nibble >> 2) == PassChanges::kListed)
                        changes->newListed.push_back(m_newListed.at(at));
                }
            }
        }
        changes->pixels.append(band, x, changed);
    }
    for (int k = 0; k < (held + 1) / 2; ++k)
        *out++ = quint8(pending >> (8 * k));
    changes->filledCells = std::move(m_filled);
    changes->erasedCells = std::move(m_erased);
    changes->filledCells.shrink();
    changes->erasedCells.shrink();
    changes->filled = changes->filledCells.count();
    changes->erased = changes->erasedCells.count();
    m_written = {};
    m_group = kNoColumn;
    m_groupTouched = {};
    m_groupOld = {};
    m_groupNew = {};
    m_oldListed.clear();
    m_newListed.clear();
    return changes;
}

void RecordingOperation::copyBack(Module1 &module) {
    // `WorkMask` is about to become `Mask`: what differs between them is what
    // the pass changed.
    m_recorder.recordMask(module.Mask, module.WorkMask);
    m_inner.copyBack(module);
}

void History::clear() {
    m_undo.clear();
    m_redo.clear();
    m_bytes = 0;
}

void History::push(std::shared_ptr<const PassChanges> changes) {
    for (const auto &entry : m_redo)
        m_bytes -= entry->bytes();
    m_redo.clear();
    m_bytes += changes->bytes();
    m_undo.push_back(std::move(changes));
    trim();
}

std::shared_ptr<const PassChanges> History::undo() {
    if (m_undo.empty())
        return nullptr;
    m_redo.push_back(m_undo.back());
    m_undo.pop_back();
    return m_redo.back();
}

std::shared_ptr<const PassChanges> History::redo() {
    if (m_redo.empty())
        return nullptr;
    m_undo.push_back(m_redo.back());
    m_redo.pop_back();
    return m_undo.back();
}

void History::setBudget(size_t bytes) {
    m_budget = bytes;
    trim();
}

void History::trim() {
    // Redo entries lie ahead of the current state and go first, the farthest
    // first; then the oldest passes.
    while (m_bytes > m_budget && !m_redo.empty()) {
        m_bytes -= m_redo.front()->bytes();
        m_redo.erase(m_redo.begin());
    }
    while (m_bytes > m_budget && !m_undo.empty()) {
        m_bytes -= m_undo.front()->bytes();
        m_undo.pop_front();
    }
}

QString changeCountsText(qint64 filled, qint64 erased) {
    const auto grouped = [](qint64 value) {
        QString digits = QString::number(value < 0 ? -value : value);
        for (qsizetype i = digits.size() - 3; i > 0; i -= 3)
            digits.insert(i, QLatin1Char(','));
        return value < 0 ? QLatin1Char('-') + digits : digits;
    };
    return QStringLiteral("%1 filled, %2 erased").arg(grouped(filled), grouped(erased));
}

}  // namespace ink
