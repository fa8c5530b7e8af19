#include "core/session/history.h"

#include <algorithm>

namespace ink {

namespace {

ColorValue loadedColor(const QImage &loaded, qint64 x, qint64 y) {
    const QRgb p = reinterpret_cast<const QRgb *>(loaded.constScanLine(int(y)))[x];
    return qRed(p) | (qGreen(p) << 8) | (qBlue(p) << 16);
}

bool onLoaded(const QImage &loaded, qint64 x, qint64 y) {
    return x >= 0 && y >= 0 && x < loaded.width() && y < loaded.height();
}

// The colour a code stands for at (x, y); kListed takes the next listed one.
ColorValue decode(quint8 code, const QImage &loaded, qint64 x, qint64 y,
                  const ColorValue *&listed) {
    switch (code) {
        case PassChanges::kBlack:
            return kBlack;
        case PassChanges::kWhite:
            return kWhite;
        case PassChanges::kLoaded:
            return loadedColor(loaded, x, y);
        default:
            return *listed++;
    }
}

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
    const quint32 index = quint32(qint64(y / 64) * m_columns + x);
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
    qint64 i = 0;
    pixels.forEach([&](qint32 x, qint32 y) {
        const quint8 code = (codes[size_t(i >> 1)] >> ((i & 1) * 4 + shift)) & 3;
        picture.PSet(x, y, decode(code, loaded, x, y, listed));
        ++i;
    });
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
      m_rows(qint32(target.Height())) {}

PassChanges::Code ChangeRecorder::codeOf(ColorValue color, const QImage &loaded, qint64 x,
                                         qint64 y) {
    if (color == kBlack)
        return PassChanges::kBlack;
    if (color == kWhite)
        return PassChanges::kWhite;
    if (onLoaded(loaded, x, y) && loadedColor(loaded, x, y) == color)
        return PassChanges::kLoaded;
    return PassChanges::kListed;
}

void ChangeRecorder::PSet(qint64 x, qint64 y, ColorValue color) {
    if (x >= 0 && y >= 0 && x < m_columns && y < m_rows) {
        if (m_touched.empty()) {
            const size_t words = size_t((m_rows + 63) / 64) * size_t(m_columns);
            m_touched.assign(words, 0);
            m_oldLow.assign(words, 0);
            m_oldHigh.assign(words, 0);
        }
        const size_t word = size_t(y / 64) * size_t(m_columns) + size_t(x);
        const quint64 bit = quint64(1) << (y % 64);
        if (!(m_touched[word] & bit)) {
            m_touched[word] |= bit;
            const ColorValue old = m_target.Point(x, y);
            const PassChanges::Code code = codeOf(old, m_loaded, x, y);
            if (code & 1)
                m_oldLow[word] |= bit;
            if (code & 2)
                m_oldHigh[word] |= bit;
            if (code == PassChanges::kListed)
                m_oldListed.emplace(y * m_columns + x, old);
        }
    }
    m_target.PSet(x, y, color);
}

void ChangeRecorder::recordMask(const MaskArray &before, const MaskArray &after) {
    if (before.upperX() != after.upperX() || before.upperY() != after.upperY() ||
        !before.isAllocated())
        return;
    const qint32 columns = before.upperX() + 1, rows = before.upperY() + 1;
    m_filled = CellSet(columns, rows);
    m_erased = CellSet(columns, rows);
    for (qint32 band = 0; band * 64 < rows; ++band) {
        const int count = std::min(64, rows - band * 64);
        for (qint32 x = 0; x < columns; ++x) {
            const quint8 *a = before.column(x) + band * 64;
            const quint8 *b = after.column(x) + band * 64;
            quint64 differ = 0, black = 0;
            for (int j = 0; j < count; ++j) {
                differ |= quint64(a[j] != b[j]) << j;
                black |= quint64(b[j] != 0) << j;
            }
            if (differ & black)
                m_filled.append(band, x, differ & black);
            if (differ & ~black)
                m_erased.append(band, x, differ & ~black);
        }
    }
}

std::shared_ptr<PassChanges> ChangeRecorder::finish() {
    auto changes = std::make_shared<PassChanges>();
    changes->pixels = CellSet(m_columns, m_rows);
    qint64 n = 0;
    for (qint32 band = 0; !m_touched.empty() && band * 64 < m_rows; ++band) {
        for (qint32 x = 0; x < m_columns; ++x) {
            const size_t word = size_t(band) * size_t(m_columns) + size_t(x);
            quint64 changed = 0;
            for (quint64 w = m_touched[word]; w != 0; w &= w - 1) {
                const int j = std::countr_zero(w);
                const qint64 y = qint64(band) * 64 + j;
                const quint8 oldCode =
                    quint8(((m_oldLow[word] >> j) & 1) | (((m_oldHigh[word] >> j) & 1) << 1));
                const ColorValue old = oldCode == PassChanges::kListed
                                           ? m_oldListed.at(y * m_columns + x)
                                       : oldCode == PassChanges::kLoaded
                                           ? loadedColor(m_loaded, x, y)
                                           : (oldCode == PassChanges::kBlack ? kBlack : kWhite);
                const ColorValue now = m_target.Point(x, y);
                if (now == old)
                    continue;
                changed |= quint64(1) << j;
                const PassChanges::Code newCode = codeOf(now, m_loaded, x, y);
                if (n % 2 == 0)
                    changes->codes.push_back(0);
                changes->codes.back() |= quint8((oldCode | (newCode << 2)) << ((n % 2) * 4));
                ++n;
                if (oldCode == PassChanges::kListed)
                    changes->oldListed.push_back(old);
                if (newCode == PassChanges::kListed)
                    changes->newListed.push_back(now);
            }
            if (changed)
                changes->pixels.append(band, x, changed);
        }
    }
    changes->pixels.shrink();
    changes->codes.shrink_to_fit();
    changes->filledCells = std::move(m_filled);
    changes->erasedCells = std::move(m_erased);
    changes->filledCells.shrink();
    changes->erasedCells.shrink();
    changes->filled = changes->filledCells.count();
    changes->erased = changes->erasedCells.count();
    m_touched = {};
    m_oldLow = {};
    m_oldHigh = {};
    m_oldListed.clear();
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
