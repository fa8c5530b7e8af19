#include "core/session/history.h"

#include <utility>

namespace ink {

namespace {

template <typename Word>
WordDiff diffOf(std::span<const quint64> before, std::span<const quint64> after, Word word) {
    WordDiff diff;
    const size_t n = std::min(before.size(), after.size());
    diff.index.reserve(n / 16);
    diff.words.reserve(n / 16);
    for (size_t i = 0; i < n; ++i) {
        if (const quint64 w = word(before[i], after[i])) {
            diff.index.push_back(quint32(i));
            diff.words.push_back(w);
        }
    }
    // A pass that changed most words (NB on a fresh scan) is kept whole,
    // without the index, which would take half as much again.
    if (diff.words.size() > n / 2) {
        std::vector<quint64> whole(n, 0);
        for (size_t i = 0; i < diff.words.size(); ++i)
            whole[diff.index[i]] = diff.words[i];
        diff.words = std::move(whole);
        diff.index = {};
    } else {
        diff.index.shrink_to_fit();
        diff.words.shrink_to_fit();
    }
    return diff;
}

}  // namespace

WordDiff WordDiff::between(std::span<const quint64> before, std::span<const quint64> after) {
    return diffOf(before, after, [](quint64 a, quint64 b) { return a ^ b; });
}

WordDiff WordDiff::gained(std::span<const quint64> before, std::span<const quint64> after) {
    return diffOf(before, after, [](quint64 a, quint64 b) { return b & ~a; });
}

void WordDiff::applyTo(std::span<quint64> bits) const {
    if (dense()) {
        for (size_t i = 0; i < words.size() && i < bits.size(); ++i)
            bits[i] ^= words[i];
        return;
    }
    for (size_t i = 0; i < words.size(); ++i) {
        if (index[i] < bits.size())
            bits[index[i]] ^= words[i];
    }
}

qint64 WordDiff::count() const {
    qint64 n = 0;
    for (const quint64 w : words)
        n += std::popcount(w);
    return n;
}

size_t PassChanges::bytes() const {
    const size_t others = (othersBefore.size() + othersAfter.size()) * 32;
    return sizeof(*this) + painted.bytes() + black.bytes() + filled.bytes() + erased.bytes() +
           others;
}

void PassChanges::apply(Module1 &model, bool forward) const {
    Sheet &sheet = model.picture;
    painted.applyTo(sheet.painted().words());
    black.applyTo(sheet.black().words());
    filled.applyTo(model.Mask.words());
    erased.applyTo(model.Mask.words());
    if (othersChanged)
        sheet.others() = forward ? othersAfter : othersBefore;
}

bool PassChanges::contains(const WordDiff &cells, qint32 x, qint32 y) const {
    bool found = false;
    forEachIn(cells, QRect(x, y, 1, 1), [&found](qint32, qint32) { found = true; });
    return found;
}

PassStart::PassStart(const Module1 &model)
    : m_painted(model.picture.painted()),
      m_black(model.picture.black()),
      m_mask(model.Mask),
      m_others(model.picture.others()) {}

void PassStart::retake(const Module1 &model) {
    m_painted.assign(model.picture.painted());
    m_black.assign(model.picture.black());
    m_mask.assign(model.Mask);
    m_others = model.picture.others();
}

std::shared_ptr<PassChanges> PassStart::finish(const Module1 &model) const {
    auto changes = std::make_shared<PassChanges>();
    const Sheet &sheet = model.picture;
    changes->painted = WordDiff::between(m_painted.words(), sheet.painted().words());
    changes->black = WordDiff::between(m_black.words(), sheet.black().words());
    changes->filled = WordDiff::gained(m_mask.words(), model.Mask.words());
    changes->erased = WordDiff::gained(model.Mask.words(), m_mask.words());
    changes->filledCount = changes->filled.count();
    changes->erasedCount = changes->erased.count();
    if (m_others != sheet.others()) {
        changes->othersChanged = true;
        changes->othersBefore = m_others;
        changes->othersAfter = sheet.others();
    }
    changes->maskStride = model.Mask.wordsPerColumn() + 2;
    const quint32 stride = quint32(sheet.painted().wordsPerColumn() + 2);
    for (const WordDiff *plane : {&changes->painted, &changes->black}) {
        if (plane->empty())
            continue;
        const qint32 first = plane->dense() ? 0 : qint32(plane->index.front() / stride);
        const qint32 last =
            plane->dense() ? sheet.width() - 1 : qint32(plane->index.back() / stride);
        changes->firstColumn =
            changes->lastColumn < 0 ? first : std::min(changes->firstColumn, first);
        changes->lastColumn = std::max(changes->lastColumn, last);
    }
    if (changes->othersChanged) {
        changes->firstColumn = 0;
        changes->lastColumn = sheet.width() - 1;
    }
    return changes;
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
