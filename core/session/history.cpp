#include "core/session/history.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <new>
#include <typeinfo>

#ifdef __linux__
#include <sys/mman.h>
#endif

#if defined(__x86_64__) && defined(__GNUC__)
#include <immintrin.h>
#endif

namespace ink {

qint64 CellSet::count() const {
    qint64 n = 0;
    for (const quint64 w : m_words)
        n += std::popcount(w);
    return n;
}

bool CellSet::contains(qint32 x, qint32 y) const {
    if (x < 0 || y < 0 || x >= m_columns || y >= m_rows)
        return false;
    const bool bands = m_order == Order::bands;
    const qint32 line = bands ? x / 64 : x, along = bands ? y : y / 64;
    const int bit = bands ? x % 64 : y % 64;
    const quint32 index = quint32(qint64(line) * wordsPerLine() + along);
    const auto it = std::lower_bound(m_index.begin(), m_index.end(), index);
    return it != m_index.end() && *it == index &&
           (m_words[size_t(it - m_index.begin())] >> bit) & 1;
}

size_t PassChanges::bytes() const {
    return sizeof(PassChanges) + pixels.bytes() + planes.capacity() * 8 +
           (oldListed.capacity() + newListed.capacity()) * sizeof(ColorValue) +
           filledCells.bytes() + erasedCells.bytes();
}

namespace {

#if defined(__x86_64__) && defined(__GNUC__)
bool haveAvx2() {
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx2");
}
const bool kAvx2 = haveAvx2();

// The colours of a word's 64 pixels with no listed colour, eight at a time:
// where `high` is set the scan's (`loaded`), else white where `low` is set and
// black where not; -1 for the pixels not in `set`.
__attribute__((target("avx2"))) void wordColorsAvx2(ColorValue *colors, const QRgb *loaded,
                                                    quint64 set, quint64 low, quint64 high) {
    // A scan pixel's bytes blue, green, red, alpha become red, green, blue, 0.
    const __m256i swap = _mm256_setr_epi8(2, 1, 0, -1, 6, 5, 4, -1, 10, 9, 8, -1, 14, 13, 12, -1, 2,
                                          1, 0, -1, 6, 5, 4, -1, 10, 9, 8, -1, 14, 13, 12, -1);
    const __m256i laneBits = _mm256_setr_epi32(1, 2, 4, 8, 16, 32, 64, 128);
    const __m256i white = _mm256_set1_epi32(ink::kWhite);
    const __m256i none = _mm256_set1_epi32(kNoPixel);
    // Lane i set where bit j + i of `bits` is.
#define INK_LANES(bits, j)                                                                         \
    _mm256_cmpeq_epi32(_mm256_and_si256(_mm256_set1_epi32(int(((bits) >> (j)) & 0xFF)), laneBits), \
                       laneBits)
    for (int j = 0; j < 64; j += 8) {
        const __m256i scan = _mm256_shuffle_epi8(
            _mm256_loadu_si256(reinterpret_cast<const __m256i *>(loaded + j)), swap);
        const __m256i painted = _mm256_and_si256(INK_LANES(low, j), white);  // black is 0
        const __m256i color = _mm256_blendv_epi8(painted, scan, INK_LANES(high, j));
        _mm256_storeu_si256(reinterpret_cast<__m256i *>(colors + j),
                            _mm256_blendv_epi8(none, color, INK_LANES(set, j)));
    }
#undef INK_LANES
}
#else
const bool kAvx2 = false;
void wordColorsAvx2(ColorValue *, const QRgb *, quint64, quint64, quint64) {}
#endif

}  // namespace

void PassChanges::apply(PixelSurface &picture, MaskArray &target, const QImage &loaded,
                        bool forward) const {
    const ColorValue *listed = forward ? newListed.data() : oldListed.data();
    const bool rgb32 = loaded.format() == QImage::Format_RGB32;
    const qint64 loadedWidth = rgb32 ? loaded.width() : 0;
    const qint64 loadedHeight = rgb32 ? loaded.height() : 0;
    // Word by word, 64 pixels of a row written in one call.
    ColorValue colors[64];
    const auto applyWord = [&](size_t i) {
        const quint64 set = pixels.word(i);
        const quint64 low = planes[4 * i + (forward ? 2 : 0)];
        const quint64 high = planes[4 * i + (forward ? 3 : 1)];
        const qint32 y = pixels.wordOf(i);
        const qint64 x0 = qint64(pixels.lineOf(i)) * 64;
        const QRgb *loadedRow =
            y < loadedHeight ? reinterpret_cast<const QRgb *>(loaded.constScanLine(y)) : nullptr;
        const int first = std::countr_zero(set), last = 63 - std::countl_zero(set);
        if ((low & high) == 0 && loadedRow && x0 + 64 <= loadedWidth && kAvx2) {
            wordColorsAvx2(colors, loadedRow + x0, set, low, high);
        } else if ((low & high) == 0 && loadedRow && x0 + last < loadedWidth) {
            // No listed colour: each pixel is black, white or the scan's.
            for (int j = first; j <= last; ++j) {
                const QRgb p = loadedRow[x0 + j];
                const ColorValue scan = ImageSurface::colorOf(p);
                const ColorValue painted = (low >> j) & 1 ? ink::kWhite : ink::kBlack;
                const ColorValue color = (high >> j) & 1 ? scan : painted;
                colors[j] = (set >> j) & 1 ? color : kNoPixel;
            }
        } else {
            for (int j = first; j <= last; ++j) {
                colors[j] = kNoPixel;
                if (!((set >> j) & 1))
                    continue;
                const quint32 code = quint32((low >> j) & 1) | quint32(((high >> j) & 1) << 1);
                if (code == kLoaded) {
                    const QRgb p = loadedRow && x0 + j < loadedWidth ? loadedRow[x0 + j] : 0;
                    colors[j] = ImageSurface::colorOf(p);
                } else {
                    colors[j] = code == kBlack   ? ink::kBlack
                                : code == kWhite ? ink::kWhite
                                                 : *listed++;
                }
            }
        }
        picture.PSetRow(x0 + first, y, colors + first, last - first + 1);
    };
    // The record runs down bands of 64 columns. When it covers much of the
    // picture, the picture and the scan are walked row by row instead, a
    // cursor per band, so that the memory streams; the listed colours come in
    // the record's order, so a record with some keeps it.
    const size_t words = pixels.wordCount();
    const qint32 rows = pixels.rows(), bands = (pixels.columns() + 63) / 64;
    if ((forward ? newListed : oldListed).empty() && words * 8 > size_t(rows) * size_t(bands)) {
        std::vector<size_t> next(size_t(bands) + 1, words);
        for (size_t i = words; i-- > 0;)
            next[size_t(pixels.lineOf(i))] = i;
        for (qint32 k = bands; k-- > 0;)
            next[size_t(k)] = std::min(next[size_t(k)], next[size_t(k) + 1]);
        std::vector<size_t> end(next.begin() + 1, next.end());
        for (qint32 y = 0; y < rows; ++y) {
            for (qint32 k = 0; k < bands; ++k) {
                const size_t i = next[size_t(k)];
                if (i < end[size_t(k)] &&
                    pixels.indexOf(i) == quint32(k) * quint32(rows) + quint32(y)) {
                    applyWord(i);
                    next[size_t(k)] = i + 1;
                }
            }
        }
    } else {
        for (size_t i = 0; i < words; ++i)
            applyWord(i);
    }
    // Undone or redone, every recorded cell of the mask flips.
    if (target.upperX() + 1 == filledCells.columns() && target.upperY() + 1 == filledCells.rows()) {
        const auto flip = [&](qint32 x, qint32 y) { target.column(x)[y] ^= 1; };
        filledCells.forEach(flip);
        erasedCells.forEach(flip);
    }
    picture.Refresh();
}

ScanInk scanInkOf(const QImage &loaded) {
    ScanInk ink;
    if (loaded.format() != QImage::Format_RGB32 || loaded.isNull())
        return ink;
    const qint32 columns = loaded.width(), rows = loaded.height();
    const size_t bands = size_t(columns + 63) / 64;
    try {
        ink.black.assign(bands * size_t(rows), 0);
        ink.white.assign(bands * size_t(rows), 0);
    } catch (const std::bad_alloc &) {
        return {};
    }
    ink.columns = columns;
    ink.rows = rows;
    for (qint32 y = 0; y < rows; ++y) {
        const QRgb *row = reinterpret_cast<const QRgb *>(loaded.constScanLine(y));
        for (size_t k = 0; k < bands; ++k) {
            const qint32 n = std::min<qint32>(64, columns - qint32(k * 64));
            quint64 black = 0, white = 0;
            for (qint32 j = 0; j < n; ++j) {
                const quint32 p = row[k * 64 + size_t(j)] & 0xFFFFFF;
                black |= quint64(p == 0) << j;
                white |= quint64(p == 0xFFFFFF) << j;
            }
            ink.black[k * size_t(rows) + size_t(y)] = black;
            ink.white[k * size_t(rows) + size_t(y)] = white;
        }
    }
    return ink;
}

ChangeRecorder::ChangeRecorder(PixelSurface &target, const QImage &loaded, bool asLoaded,
                               Buffers *buffers, const ScanInk *ink)
    : m_target(target),
      m_columns(qint32(target.Width())),
      m_rows(qint32(target.Height())),
      m_rowWords((m_columns + 63) / 64) {
    if (!buffers) {
        m_ownBuffers = std::make_unique<Buffers>();
        buffers = m_ownBuffers.get();
    }
    m_buffers = buffers;
    const auto *pixels = dynamic_cast<const ImageSurface *>(&target);
    if (pixels && !pixels->pixels().isNull() && pixels->pixels().width() == m_columns &&
        pixels->pixels().height() == m_rows) {
        m_pixelBits = pixels->pixels().constBits();
        m_pixelStride = pixels->pixels().bytesPerLine();
        // A plain in-memory picture is written straight; any other keeps its
        // own PSet (the window's keeps its view up to date).
        if (typeid(target) == typeid(ImageSurface))
            m_plain = static_cast<ImageSurface *>(&target);
    }
    if (loaded.format() == QImage::Format_RGB32) {
        m_loadedBits = loaded.constBits();
        m_loadedStride = loaded.bytesPerLine();
        m_loadedWidth = loaded.width();
        m_loadedHeight = loaded.height();
    }
    m_asLoaded = asLoaded && m_pixelBits && m_loadedWidth == m_columns && m_loadedHeight == m_rows;
    if (ink && m_loadedBits && ink->columns == m_loadedWidth && ink->rows == m_loadedHeight &&
        !m_asLoaded)
        m_ink = ink;
    for (Group &group : m_groups) {
        group.rows.assign(size_t(m_rows + 63) / 64, 0);
        group.states.assign(size_t(m_rows), RowState{0, 0});
        group.copied.assign(size_t(m_rows + 63) / 64, 0);
    }
    m_rowBits = m_groups[0].rows.data();
    m_rowStates = m_groups[0].states.data();
    m_copiedBits = m_groups[0].copied.data();
    // Comparing alongside the pass needs the pixels in memory, and a second
    // processor to do it on.
    m_alongside = m_pixelBits && std::thread::hardware_concurrency() > 1;
}

PassChanges::Code ChangeRecorder::code(ColorValue color, qint64 x, qint64 y) const {
    if (x < m_loadedWidth && y < m_loadedHeight) {
        const QRgb p = reinterpret_cast<const QRgb *>(m_loadedBits + y * m_loadedStride)[x];
        if (((p ^ ImageSurface::pixelOf(color)) & 0xFFFFFF) == 0)
            return PassChanges::kLoaded;
    }
    return color == kBlack   ? PassChanges::kBlack
           : color == kWhite ? PassChanges::kWhite
                             : PassChanges::kListed;
}

// The notes, and the dense ones most of all, lie a row apart, each on a page
// of its own with ordinary pages, so they are asked for on 2 MiB pages where
// the system has them; the system also hands the memory out zeroed, and only
// as it is touched.
void *ChangeRecorder::untouchedBytes(size_t bytes) {
#ifdef __linux__
    void *memory = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (memory == MAP_FAILED)
        throw std::bad_alloc();
    madvise(memory, bytes, MADV_HUGEPAGE);
    return memory;
#else
    void *memory = std::calloc(1, bytes);
    if (!memory)
        throw std::bad_alloc();
    return memory;
#endif
}

void ChangeRecorder::releaseBytes(void *memory, size_t bytes) {
#ifdef __linux__
    munmap(memory, bytes);
#else
    Q_UNUSED(bytes);
    std::free(memory);
#endif
}

ChangeRecorder::Written &ChangeRecorder::appendNote(qint32 y, qint32 k) {
    const size_t capacity = size_t(m_rows) * size_t(m_rowWords);
    if (!m_notes) {
        if (m_buffers->noteCount != capacity) {
            m_buffers->notes.reset();
            m_buffers->noteCount = 0;
            m_buffers->notes = untouched<Note>(capacity);
            m_buffers->noteCount = capacity;
        }
        m_notes = m_buffers->notes.get();
    }
    // Each word of each row is noted once at most while the list is kept.
    if (m_noteCount >= capacity)
        throw std::bad_alloc();
    Note &note = m_notes[m_noteCount++];
    note.y = y;
    note.k = k;
    note.word = Written{};  // the memory may hold an earlier pass's notes
    return note.word;
}

void ChangeRecorder::dropNotes() {
    if (m_noteCount * sizeof(Note) > Buffers::kKeptBytes) {
        m_buffers->notes.reset();
        m_buffers->noteCount = 0;
    }
    m_notes = nullptr;
    m_noteCount = 0;
}

void ChangeRecorder::spill() {
    if (!m_sparse)
        return;
    m_sparse = false;
    if (!m_written) {
        m_written = untouched<Written>(size_t(m_rows) * size_t(m_rowWords));
        m_rowsWritten.assign(size_t(m_rows), 0);
    }
    for (size_t i = 0; i < m_noteCount; ++i) {
        const Note &note = m_notes[i];
        m_written[size_t(note.y) * size_t(m_rowWords) + size_t(note.k)] = note.word;
        m_rowsWritten[size_t(note.y)] = 1;
    }
    dropNotes();
}

ChangeRecorder::Written &ChangeRecorder::wordAt(qint64 x, qint64 y) {
    spill();
    m_rowsWritten[size_t(y)] = 1;
    return m_written[size_t(y) * size_t(m_rowWords) + size_t(x / 64)];
}

void ChangeRecorder::recordWrite(qint64 x, qint64 y, ColorValue color) {
    if (x < 0 || y < 0 || x >= m_columns || y >= m_rows)
        return;
    // The group being compared may hold this pixel, and its notes are shared.
    waitIdle();
    if (m_failed)
        return;
    Written &word = wordAt(x, y);
    const quint64 bit = quint64(1) << (x % 64);
    const qint64 at = y * m_columns + x;
    if (!(word.touched & bit)) {
        word.touched |= bit;
        const ColorValue old = m_pixelBits ? current(x, y) : m_target.Point(x, y);
        const PassChanges::Code c = code(old, x, y);
        word.low |= c & 1 ? bit : 0;
        word.high |= c & 2 ? bit : 0;
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
    if ((x >= m_group && x < m_groupEnd) || m_off)
        return;
    handOver();
    if (x < 0 || x >= m_columns)
        return;
    if (m_sparse) {
        // The list keeps a row's words in order while the groups come left
        // to right, each once.
        if (x - x % kGroup <= m_lastGroup) {
            waitIdle();
            spill();
        }
        m_lastGroup = x - x % kGroup;
    }
    Group &group = m_groups[m_filling];
    group.first = m_group = x - x % kGroup;
    group.end = m_groupEnd = std::min<qint64>(m_group + kGroup, m_columns);
    m_groupWidth = quint64(m_groupEnd - m_group);
    group.maskFirst = 0;
    group.maskLast = -1;
    group.whole = false;
    m_rowBits = group.rows.data();
    m_rowStates = group.states.data();
    m_copiedBits = group.copied.data();
}

void ChangeRecorder::writingRows(qint32 y0, qint32 y1) {
    if (m_group == kNoColumn)
        return;  // a column off the picture
    y0 = std::max(y0, 0);
    y1 = std::min(y1, m_rows - 1);
    m_groups[m_filling].whole = true;
    for (qint32 y = y0; y <= y1;) {
        const qint32 end = std::min(y1 + 1, (y / 64 + 1) * 64);  // this word's rows
        const int from = y % 64, count = end - y;
        m_rowBits[size_t(y) / 64] |= (count == 64 ? ~quint64(0) : ((quint64(1) << count) - 1))
                                     << from;
        y = end;
    }
}

void ChangeRecorder::noteAndSet(qint64 x, qint64 y, ColorValue color) {
    if (m_plain && x >= m_group && x < m_groupEnd && y >= 0 && y < m_rows) {
        // A pixel whose old colour is kept already.
        const quint64 bit = quint64(1) << (x - m_group);
        RowState &row = m_rowStates[y];
        if (row.kept & bit) {
            row.painted |= bit;
            m_plain->setOnSurface(x, y, color);
            return;
        }
    }
    if (m_plain && !m_asLoaded && !m_paintsColumns && x >= m_group && x < m_groupEnd && y >= 0 &&
        y < m_rows) {
        if (m_pendingCount == kPending)
            applyPendingNow();
        m_pending[m_pendingCount++] = {x, y, color};
        __builtin_prefetch(m_pixelBits + y * m_pixelStride + x * 4, 1);
        return;
    }
    applyPending();
    if (x >= m_group && x < m_groupEnd && y >= 0 && y < m_rows) {
        const int k = int(x - m_group);
        RowState &row = m_rowStates[y];
        if (!copied(y) && !((row.kept >> k) & 1))
            keep(y, k);
        row.painted |= quint64(1) << k;
    } else {
        recordWrite(x, y, color);
    }
    if (m_plain)
        m_plain->ImageSurface::PSet(x, y, color);
    else
        m_target.PSet(x, y, color);
}

void ChangeRecorder::applyPendingNow() {
    const int count = m_pendingCount;
    m_pendingCount = 0;
    for (int i = 0; i < count; ++i) {
        const auto [x, y, color] = m_pending[i];
        const int k = int(x - m_group);
        RowState &row = m_rowStates[y];
        if (!copied(y) && !((row.kept >> k) & 1)) {
            try {
                keep(y, k);
            } catch (const std::bad_alloc &) {
                // The pixel is painted all the same; the pass is not
                // recorded.
                m_failed = true;
            }
        }
        row.painted |= quint64(1) << k;
        m_plain->setOnSurface(x, y, color);
    }
}

void ChangeRecorder::keep(qint64 y, int k) {
    m_rowBits[size_t(y) / 64] |= quint64(1) << (y % 64);
    RowState &row = m_rowStates[y];
    const qint64 n = m_groupEnd - m_group;
    const quint64 copiedBit = quint64(1) << (y % 64);
    if (m_asLoaded) {
        m_copiedBits[size_t(y) / 64] |= copiedBit;  // the scan as loaded holds the row
        return;
    }
    Group &group = m_groups[m_filling];
    if (!group.copy) {
        const size_t perGroup = size_t(m_rows) * kGroup;
        if (!m_copies) {
            if (m_buffers->copyCount != perGroup * kRing) {
                m_buffers->copies.reset();
                m_buffers->copyCount = 0;
                m_buffers->copies = untouched<QRgb>(perGroup * kRing);
                m_buffers->copyCount = perGroup * kRing;
            }
            m_copies = m_buffers->copies.get();
        }
        group.copy = m_copies + perGroup * size_t(&group - m_groups);
    }
    QRgb *out = group.copy + size_t(y) * kGroup;
    const auto colourAt = [&](qint64 column) {
        if (m_pixelBits)
            return reinterpret_cast<const QRgb *>(m_pixelBits + y * m_pixelStride)[column];
        return ImageSurface::pixelOf(m_target.Point(column, y));
    };
    if ((!m_paintsColumns || m_leaveSame) && std::popcount(row.kept) < kPixelsAlone) {
        // A pass that paints a few pixels here and there costs a few cache
        // lines, not the row's.
        out[k] = colourAt(m_group + k);
        row.kept |= quint64(1) << k;
        return;
    }
    // The row's other pixels at once; those kept already may be painted over
    // since, and keep the colours noted first.
    QRgb earlier[kPixelsAlone];
    int count = 0;
    for (quint64 w = row.kept; w != 0; w &= w - 1)
        earlier[count++] = out[std::countr_zero(w)];
    if (m_pixelBits) {
        std::memcpy(out, m_pixelBits + y * m_pixelStride + m_group * 4, size_t(n) * 4);
    } else {
        for (qint64 column = 0; column < n; ++column)
            out[column] = colourAt(m_group + column);
    }
    count = 0;
    for (quint64 w = row.kept; w != 0; w &= w - 1)
        out[std::countr_zero(w)] = earlier[count++];
    // From now on the row's writes go straight to the picture, unnoted.
    m_copiedBits[size_t(y) / 64] |= copiedBit;
}

void ChangeRecorder::handOver() {
    applyPending();
    if (m_group == kNoColumn)
        return;
    Group &group = m_groups[m_filling];
    m_group = m_groupEnd = kNoColumn;
    m_groupWidth = 0;
    if (!m_alongside) {
        compareGroup(group);
        return;
    }
    {
        // The groups are compared in the order they are handed over. The
        // next one takes the buffers of the one handed over kRing groups
        // ago, once that is done: a comparing thread held up by other
        // programs holds the pass up only when it falls that far behind.
        // A comparing thread that has caught up sleeps; it is woken once two
        // groups wait for it (or by waitIdle()), which halves the wake-ups
        // when groups take it little time.
        std::unique_lock lock(m_lock);
        ++m_handed;
        if (m_handed - m_compared >= 2)
            m_wake.notify_all();
        m_wake.wait(lock, [this] { return m_handed - m_compared < kRing; });
    }
    if (!m_worker.joinable()) {
        m_worker = std::thread([this] {
            std::unique_lock lock(m_lock);
            for (;;) {
                m_wake.wait(lock, [this] { return m_compared < m_handed || m_stop; });
                if (m_stop)
                    return;
                Group &next = m_groups[m_compared % kRing];
                lock.unlock();
                compareGroup(next);
                lock.lock();
                ++m_compared;
                m_wake.notify_all();
            }
        });
    }
    m_filling = int(m_handed % kRing);
}

void ChangeRecorder::waitIdle() {
    if (!m_worker.joinable())
        return;
    std::unique_lock lock(m_lock);
    m_wake.notify_all();
    m_wake.wait(lock, [this] { return m_compared == m_handed; });
}

void ChangeRecorder::prefetchRow(const Group &group, qint32 y) const {
    // Of a row where a few pixels were painted, their cache lines alone.
    const quint64 painted = paintedIn(group, y);
    const quint64 lines = std::popcount(painted) > kPixelsAlone ? ~quint64(0) : painted;
    const auto ask = [&](const uchar *row, qint64 width) {
        for (int k = 0; k < kGroup; k += 16) {
            if (((lines >> k) & 0xFFFF) && group.first + k < width)
                __builtin_prefetch(row + (group.first + k) * 4, 0, 0);  // read once
        }
    };
    if (y < m_loadedHeight && !m_ink)  // with its ink known, the scan is read seldom
        ask(m_loadedBits + y * m_loadedStride, m_loadedWidth);
    if (m_pixelBits && lines != ~quint64(0))  // a few pixels, written a while ago
        ask(m_pixelBits + y * m_pixelStride, m_columns);
    if (!m_sparse && m_written)
        __builtin_prefetch(&m_written[size_t(y) * size_t(m_rowWords) + size_t(group.first / 64)],
                           1);
}

void ChangeRecorder::compareGroup(Group &group) {
    try {
        if (!m_failed) {
            // The rows written, in order.
            std::vector<qint32> &ys = m_rowList;
            ys.clear();
            for (size_t i = 0; i < group.rows.size(); ++i)
                for (quint64 w = group.rows[i]; w != 0; w &= w - 1)
                    ys.push_back(qint32(i * 64) + std::countr_zero(w));
            // The scan as loaded, the picture and the notes are read a row a
            // scanline apart or more, out of the cache's reach: they are asked
            // for some rows ahead.
            constexpr size_t kAhead = 32;
            for (size_t i = 0; i < std::min(kAhead, ys.size()); ++i)
                prefetchRow(group, ys[i]);
            qint64 painted = 0;
            for (size_t i = 0; i < ys.size(); ++i) {
                if (i + kAhead < ys.size())
                    prefetchRow(group, ys[i + kAhead]);
                compareRow(group, ys[i]);
                painted += std::popcount(paintedIn(group, ys[i]) & columnsOf(group));
            }
            // The group's columns of `WorkMask` are final: the pass changes
            // only the column it works on. A pass that paints whole columns
            // may change its mask anywhere in them, painting a pixel its own
            // colour, which is not noted.
            if (group.maskFirst <= group.maskLast &&
                !(m_maskAtPainted && !m_paintsColumns && !group.whole &&
                  compareMaskPainted(group, painted))) {
                for (qint32 x = group.maskFirst; x <= group.maskLast; ++x)
                    compareMaskColumn(x);
            }
        }
    } catch (const std::bad_alloc &) {
        m_failed = true;
    }
    for (size_t i = 0; i < group.rows.size(); ++i) {
        for (quint64 w = group.rows[i]; w != 0; w &= w - 1)
            group.states[i * 64 + size_t(std::countr_zero(w))] = RowState{0, 0};
        group.rows[i] = 0;
        group.copied[i] = 0;
    }
}

namespace {

// Per row of the group, one bit per pixel (bit k for the group's column k):
// the colour as it was equals the colour now, and for each of the two
// whether it is the scan's colour there, black, or white.
struct RowFlags {
    quint64 same, wasLoaded, wasBlack, wasWhite, nowLoaded, nowBlack, nowWhite;
};

constexpr quint32 kRgb = 0xFFFFFF;

// The flags of the pixels of `bits` alone; the others' are left clear.
RowFlags flagsAt(const QRgb *was, const QRgb *now, const QRgb *loaded, quint64 bits) {
    RowFlags f{};
    for (quint64 w = bits; w != 0; w &= w - 1) {
        const int k = std::countr_zero(w);
        const quint32 o = was[k] & kRgb, c = now[k] & kRgb, l = loaded[k] & kRgb;
        const quint64 bit = w & -w;
        f.same |= o == c ? bit : 0;
        f.wasLoaded |= o == l ? bit : 0;
        f.wasBlack |= o == 0 ? bit : 0;
        f.wasWhite |= o == kRgb ? bit : 0;
        f.nowLoaded |= c == l ? bit : 0;
        f.nowBlack |= c == 0 ? bit : 0;
        f.nowWhite |= c == kRgb ? bit : 0;
    }
    return f;
}

// The first n pixels of the row.
RowFlags flagsPlain(const QRgb *was, const QRgb *now, const QRgb *loaded, int n) {
    return flagsAt(was, now, loaded, n == 64 ? ~quint64(0) : (quint64(1) << n) - 1);
}

#if defined(__x86_64__) && defined(__GNUC__)
// The same for 64 pixels, eight at a time. `AsLoaded`: the colours as they
// were are the scan's (`was` is `loaded`), so a pixel was the scan's colour,
// and is the same now when it still is.
template <bool AsLoaded>
__attribute__((target("avx2"))) RowFlags flagsAvx2Of(const QRgb *was, const QRgb *now,
                                                     const QRgb *loaded) {
    const __m256i rgb = _mm256_set1_epi32(int(kRgb));
    const __m256i zero = _mm256_setzero_si256();
    RowFlags f{};
    for (int h = 0; h < 64; h += 8) {
        const __m256i c =
            _mm256_and_si256(_mm256_loadu_si256(reinterpret_cast<const __m256i *>(now + h)), rgb);
        const __m256i l = _mm256_and_si256(
            _mm256_loadu_si256(reinterpret_cast<const __m256i *>(loaded + h)), rgb);
#define INK_BITS(v) (quint64(quint32(_mm256_movemask_ps(_mm256_castsi256_ps(v)))) << h)
        if constexpr (!AsLoaded) {
            const __m256i o = _mm256_and_si256(
                _mm256_loadu_si256(reinterpret_cast<const __m256i *>(was + h)), rgb);
            f.same |= INK_BITS(_mm256_cmpeq_epi32(o, c));
            f.wasLoaded |= INK_BITS(_mm256_cmpeq_epi32(o, l));
            f.wasBlack |= INK_BITS(_mm256_cmpeq_epi32(o, zero));
            f.wasWhite |= INK_BITS(_mm256_cmpeq_epi32(o, rgb));
        }
        f.nowLoaded |= INK_BITS(_mm256_cmpeq_epi32(c, l));
        f.nowBlack |= INK_BITS(_mm256_cmpeq_epi32(c, zero));
        f.nowWhite |= INK_BITS(_mm256_cmpeq_epi32(c, rgb));
#undef INK_BITS
    }
    if constexpr (AsLoaded) {
        f.same = f.nowLoaded;
        f.wasLoaded = ~quint64(0);
    }
    return f;
}
RowFlags flagsAvx2(const QRgb *was, const QRgb *now, const QRgb *loaded, int) {
    return flagsAvx2Of<false>(was, now, loaded);
}
RowFlags flagsAsLoadedAvx2(const QRgb *now, const QRgb *loaded) {
    return flagsAvx2Of<true>(loaded, now, loaded);
}
#else
RowFlags flagsAvx2(const QRgb *was, const QRgb *now, const QRgb *loaded, int n) {
    return flagsPlain(was, now, loaded, n);
}
RowFlags flagsAsLoadedAvx2(const QRgb *now, const QRgb *loaded) {
    return flagsPlain(loaded, now, loaded, 64);
}
#endif

}  // namespace

void ChangeRecorder::compareRow(const Group &group, qint32 y) {
    const qint64 first = group.first;
    const int n = int(group.end - first);
    const int shift = int(first % 64);
    const quint64 all = n == 64 ? ~quint64(0) : (quint64(1) << n) - 1;
    const bool wide = kAvx2 && n == kGroup;
    QRgb nowRow[kGroup], loadedRow[kGroup];
    {
        const QRgb *now = nowRow;
        if (m_pixelBits) {
            now = reinterpret_cast<const QRgb *>(m_pixelBits + y * m_pixelStride) + first;
        } else {
            for (int k = 0; k < n; ++k) {
                nowRow[k] = ImageSurface::pixelOf(m_target.Point(first + k, y));
            }
        }
        // The scan as loaded at these pixels; those past its edges match no
        // colour.
        const QRgb *loaded = loadedRow;
        quint64 inScan = all;
        const QRgb *scanRow =
            y < m_loadedHeight ? reinterpret_cast<const QRgb *>(m_loadedBits + y * m_loadedStride)
                               : nullptr;
        if (scanRow && first + n <= m_loadedWidth) {
            loaded = scanRow + first;
        } else {
            inScan = 0;
            for (int k = 0; k < n; ++k) {
                const bool on = scanRow && first + k < m_loadedWidth;
                loadedRow[k] = on ? scanRow[first + k] : 0;
                inScan |= on ? quint64(1) << k : 0;
            }
        }
        const QRgb *was = m_asLoaded ? loaded : group.copy + size_t(y) * kGroup;
        Written *word = nullptr;
        quint64 noted = 0;
        if (m_written) {
            word = &m_written[size_t(y) * size_t(m_rowWords) + size_t(first / 64)];
            noted = (word->touched >> shift) & all;
        }
        // Only the pixels painted can differ from their colours kept (the
        // others' may not be); those noted before need their colour now.
        const quint64 painted = paintedIn(group, y) & all;
        // `scan` is `loaded`, or `was` standing in for it when the scan's
        // flags come from elsewhere.
        const auto flags = [&](const QRgb *scan) {
            if (!group.whole && std::popcount(painted | noted) <= kPixelsAlone)
                return flagsAt(was, now, scan, painted | noted);  // a few cache lines, not 12
            if (!wide)
                return flagsPlain(was, now, scan, n);
            if (m_asLoaded && inScan == all)
                return flagsAsLoadedAvx2(now, scan);
            return flagsAvx2(was, now, scan, n);
        };
        RowFlags f;
        bool scanKnown = false;
        if (m_ink && inScan == all && first % 64 == 0) {
            // Where every colour is black or white, the scan's ink tells which
            // of them are the scan's colours, and the scan is not read.
            f = flags(was);
            const quint64 need = painted | noted;
            if (((f.wasBlack | f.wasWhite) & painted) == painted &&
                ((f.nowBlack | f.nowWhite) & need) == need) {
                const size_t at = size_t(first / 64) * size_t(m_ink->rows) + size_t(y);
                const quint64 black = m_ink->black[at], white = m_ink->white[at];
                f.wasLoaded = (f.wasBlack & black) | (f.wasWhite & white);
                f.nowLoaded = (f.nowBlack & black) | (f.nowWhite & white);
                scanKnown = true;
            }
        }
        if (!scanKnown)
            f = flags(loaded);
        f.wasLoaded &= inScan;
        f.nowLoaded &= inScan;
        const quint64 changedNow = ~f.same & painted;
        const quint64 touched = changedNow | noted;
        if (!touched)
            return;
        if (m_sparse) {
            word = &appendNote(y, qint32(first / 64));
        } else {
            if (!word)
                word = &wordAt(first, y);
            m_rowsWritten[size_t(y)] = 1;
        }
        // Codes: the scan's colour first, then black, white, listed.
        const quint64 fresh = changedNow & ~noted;
        const quint64 oldLow = ~f.wasLoaded & ~f.wasBlack;
        const quint64 oldHigh = f.wasLoaded | (~f.wasBlack & ~f.wasWhite);
        const quint64 newLow = ~f.nowLoaded & ~f.nowBlack;
        const quint64 newHigh = f.nowLoaded | (~f.nowBlack & ~f.nowWhite);
        for (quint64 w = fresh & oldLow & oldHigh; w != 0; w &= w - 1) {
            const int k = std::countr_zero(w);
            m_oldListed.emplace(qint64(y) * m_columns + first + k, ImageSurface::colorOf(was[k]));
        }
        for (quint64 w = touched & newLow & newHigh; w != 0; w &= w - 1) {
            const int k = std::countr_zero(w);
            m_newListed[qint64(y) * m_columns + first + k] = ImageSurface::colorOf(now[k]);
        }
        const quint64 t = quint64(touched) << shift;
        word->touched |= t;
        word->low |= quint64(oldLow & fresh) << shift;
        word->high |= quint64(oldHigh & fresh) << shift;
        word->newLow = (word->newLow & ~t) | (quint64(newLow & touched) << shift);
        word->newHigh = (word->newHigh & ~t) | (quint64(newHigh & touched) << shift);
    }
}

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

// Cells y0 .. y0 + count - 1 of a mask column as bits.
quint64 packCells(const quint8 *cells, int count) {
    quint64 bits = 0;
    int j = 0;
#if defined(__x86_64__) && defined(__GNUC__)
    for (; j + 16 <= count; j += 16) {
        const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i *>(cells + j));
        const __m128i set = _mm_cmpgt_epi8(v, _mm_setzero_si128());
        bits |= quint64(quint32(_mm_movemask_epi8(set))) << j;
    }
#endif
    for (; j + 8 <= count; j += 8)
        bits |= packBytes(cells + j) << j;
    for (; j < count; ++j)
        bits |= quint64(cells[j] != 0) << j;
    return bits;
}

// Compares one column of two masks, 64 cells at a time, and appends the words
// of cells filled and erased.
void compareColumn(const quint8 *a, const quint8 *b, qint32 x, qint32 rows, CellSet &filled,
                   CellSet &erased) {
    for (qint32 band = 0; band * 64 < rows; ++band) {
        const qint32 y0 = band * 64;
        const int count = std::min(64, rows - y0);
        if (std::memcmp(a + y0, b + y0, size_t(count)) == 0)
            continue;
        const quint64 was = packCells(a + y0, count), is = packCells(b + y0, count);
        if (is & ~was)
            filled.append(x, band, is & ~was);
        if (was & ~is)
            erased.append(x, band, was & ~is);
    }
}

}  // namespace

void ChangeRecorder::recordMaskColumn(const MaskArray &before, const MaskArray &after, qint32 x) {
    if (!m_maskColumnsUsable || m_off)
        return;
    if (x <= m_lastMaskColumn || before.upperX() != after.upperX() ||
        before.upperY() != after.upperY() || !before.contains(x, 0) ||
        (m_maskBefore && (m_maskBefore != &before || m_maskAfter != &after))) {
        m_maskColumnsUsable = false;
        return;
    }
    if (!m_maskBefore) {
        m_maskBefore = &before;
        m_maskAfter = &after;
        m_columnFilled = CellSet(before.upperX() + 1, before.upperY() + 1, CellSet::Order::columns);
        m_columnErased = m_columnFilled;
    }
    m_lastMaskColumn = x;
    if (x >= m_group && x < m_groupEnd) {
        // Compared with the rest of the group.
        Group &group = m_groups[m_filling];
        if (group.maskLast < 0)
            group.maskFirst = x;
        group.maskLast = x;
        return;
    }
    waitIdle();
    compareMaskColumn(x);
}

void ChangeRecorder::compareMaskColumn(qint32 x) {
    const quint8 *a = m_maskBefore->column(x);
    const quint8 *b = m_maskAfter->column(x);
    const qint32 rows = m_maskBefore->upperY() + 1;
    if (std::memcmp(a, b, size_t(rows)) != 0)
        compareColumn(a, b, x, rows, m_columnFilled, m_columnErased);
}

bool ChangeRecorder::compareMaskPainted(const Group &group, qint64 paintedCount) {
    const qint32 maskRows = m_maskBefore->upperY() + 1;
    const qint64 cells = qint64(group.maskLast - group.maskFirst + 1) * maskRows;
    // A column compared whole is read in runs; cells one by one cost a cache
    // line each, so that pays only while they are few.
    if (paintedCount * 16 > cells)
        return false;
    const auto differ = [&](qint32 x, qint32 y) {
        return (m_maskBefore->column(x)[y] != 0) != (m_maskAfter->column(x)[y] != 0);
    };
    // The cells that changed, by column and then row, as the sets keep them.
    std::vector<std::pair<qint32, qint32>> changed;
    const qint32 onPicture = std::min(m_rows, maskRows);
    // The rows written, as compareGroup listed them; their cells lie a column
    // apart, and are asked for some rows ahead.
    const std::vector<qint32> &ys = m_rowList;
    constexpr size_t kAhead = 16;
    const auto ask = [&](qint32 y) {
        if (y >= onPicture)
            return;
        for (quint64 p = paintedIn(group, y) & columnsOf(group); p != 0; p &= p - 1) {
            const qint32 x = qint32(group.first) + std::countr_zero(p);
            if (x >= group.maskFirst && x <= group.maskLast) {
                __builtin_prefetch(m_maskBefore->column(x) + y, 0, 0);
                __builtin_prefetch(m_maskAfter->column(x) + y, 0, 0);
            }
        }
    };
    for (size_t i = 0; i < std::min(kAhead, ys.size()); ++i)
        ask(ys[i]);
    for (size_t i = 0; i < ys.size(); ++i) {
        if (i + kAhead < ys.size())
            ask(ys[i + kAhead]);
        const qint32 y = ys[i];
        if (y >= onPicture)
            break;
        for (quint64 p = paintedIn(group, y) & columnsOf(group); p != 0; p &= p - 1) {
            const qint32 x = qint32(group.first) + std::countr_zero(p);
            if (x >= group.maskFirst && x <= group.maskLast && differ(x, y))
                changed.emplace_back(x, y);
        }
    }
    // The masks' rows past the picture are painted nowhere: compared whole.
    for (qint32 x = group.maskFirst; x <= group.maskLast; ++x) {
        for (qint32 y = onPicture; y < maskRows; ++y) {
            if (differ(x, y))
                changed.emplace_back(x, y);
        }
    }
    std::sort(changed.begin(), changed.end());
    for (size_t i = 0; i < changed.size();) {
        const auto [x, y] = changed[i];
        const qint32 band = y / 64;
        quint64 filled = 0, erased = 0;
        for (; i < changed.size() && changed[i].first == x && changed[i].second / 64 == band; ++i) {
            const quint64 bit = quint64(1) << (changed[i].second % 64);
            if (m_maskAfter->column(x)[changed[i].second])
                filled |= bit;
            else
                erased |= bit;
        }
        if (filled)
            m_columnFilled.append(x, band, filled);
        if (erased)
            m_columnErased.append(x, band, erased);
    }
    return true;
}

void ChangeRecorder::settle() {
    handOver();
    waitIdle();
}

void ChangeRecorder::commitMaskColumns() {
    m_filled = std::move(m_columnFilled);
    m_erased = std::move(m_columnErased);
}

void ChangeRecorder::recordMask(const MaskArray &before, const MaskArray &after) {
    if (before.upperX() != after.upperX() || before.upperY() != after.upperY() ||
        !before.isAllocated())
        return;
    const qint32 columns = before.upperX() + 1, rows = before.upperY() + 1;
    m_filled = CellSet(columns, rows, CellSet::Order::columns);
    m_erased = CellSet(columns, rows, CellSet::Order::columns);
    for (qint32 x = 0; x < columns; ++x)
        compareColumn(before.column(x), after.column(x), x, rows, m_filled, m_erased);
}

ChangeRecorder::~ChangeRecorder() {
    if (m_worker.joinable()) {
        {
            std::lock_guard lock(m_lock);
            m_stop = true;
        }
        m_wake.notify_all();
        m_worker.join();
    }
}

void ChangeRecorder::abandon() {
    applyPending();
    waitIdle();
    m_off = true;
    m_group = m_groupEnd = kNoColumn;
    m_groupWidth = 0;
    // Nothing is noted any more, and the pixels are read through the picture.
    m_columns = m_rows = 0;
    m_pixelBits = nullptr;
    m_loadedBits = nullptr;
    m_loadedWidth = m_loadedHeight = 0;
    m_maskColumnsUsable = false;
    dropNotes();
}

void ChangeRecorder::settleWord(qint32 y, qint32 k, Written &word) const {
    quint64 changed = word.touched & ((word.low ^ word.newLow) | (word.high ^ word.newHigh));
    for (quint64 w = word.touched & word.low & word.high & word.newLow & word.newHigh; w != 0;
         w &= w - 1) {
        const qint64 at = qint64(y) * m_columns + k * 64 + std::countr_zero(w);
        if (m_oldListed.at(at) != m_newListed.at(at))
            changed |= w & -w;
    }
    word.touched = changed;
}

void ChangeRecorder::placeWord(PassChanges &changes, size_t i, qint32 y, qint32 k,
                               const Written &word) {
    const quint64 changed = word.touched;
    changes.pixels.place(i, k, y, changed);
    quint64 *planes = changes.planes.data() + 4 * i;
    planes[0] = word.low & changed;
    planes[1] = word.high & changed;
    planes[2] = word.newLow & changed;
    planes[3] = word.newHigh & changed;
}

void ChangeRecorder::appendListed(PassChanges &changes) const {
    if (m_oldListed.empty() && m_newListed.empty())
        return;
    for (size_t i = 0; i < changes.pixels.wordCount(); ++i) {
        const quint64 *planes = changes.planes.data() + 4 * i;
        const quint64 oldListed = planes[0] & planes[1], newListed = planes[2] & planes[3];
        const qint64 base =
            qint64(changes.pixels.wordOf(i)) * m_columns + qint64(changes.pixels.lineOf(i)) * 64;
        for (quint64 w = oldListed | newListed; w != 0; w &= w - 1) {
            const quint64 bit = w & -w;
            const qint64 at = base + std::countr_zero(w);
            if (oldListed & bit)
                changes.oldListed.push_back(m_oldListed.at(at));
            if (newListed & bit)
                changes.newListed.push_back(m_newListed.at(at));
        }
    }
}

std::shared_ptr<PassChanges> ChangeRecorder::finish() {
    // A group cut short by an error still counts what it painted.
    handOver();
    waitIdle();
    if (m_failed)
        throw std::bad_alloc();
    auto changes = std::make_shared<PassChanges>();
    changes->pixels = CellSet(m_columns, m_rows, CellSet::Order::bands);
    if (m_sparse) {
        // The list runs group after group, each row by row, as the record
        // does. Every word noted changed: a pixel is noted where its colour
        // differs from the one before the pass, and a different colour has a
        // different code, or both are listed.
        changes->pixels.resize(m_noteCount);
        changes->planes.resize(4 * m_noteCount);
        for (size_t i = 0; i < m_noteCount; ++i)
            placeWord(*changes, i, m_notes[i].y, m_notes[i].k, m_notes[i].word);
    } else {
        // First which pixels changed, to size the record once.
        size_t words = 0;
        for (qint32 y = 0; m_written && y < m_rows; ++y) {
            if (!m_rowsWritten[size_t(y)])
                continue;
            Written *row = &m_written[size_t(y) * size_t(m_rowWords)];
            for (qint32 k = 0; k < m_rowWords; ++k) {
                if (row[k].touched) {
                    settleWord(y, k, row[k]);
                    words += row[k].touched != 0;
                }
            }
        }
        changes->pixels.resize(words);
        changes->planes.resize(4 * words);
        size_t i = 0;
        for (qint32 k = 0; m_written && k < m_rowWords; ++k) {
            for (qint32 y = 0; y < m_rows; ++y) {
                const Written &word = m_written[size_t(y) * size_t(m_rowWords) + size_t(k)];
                if (m_rowsWritten[size_t(y)] && word.touched)
                    placeWord(*changes, i++, y, k, word);
            }
        }
    }
    appendListed(*changes);
    changes->filledCells = std::move(m_filled);
    changes->erasedCells = std::move(m_erased);
    changes->filledCells.shrink();
    changes->erasedCells.shrink();
    changes->filled = changes->filledCells.count();
    changes->erased = changes->erasedCells.count();
    dropNotes();
    if (m_buffers->copyCount * sizeof(QRgb) > Buffers::kKeptBytes) {
        m_buffers->copies.reset();
        m_buffers->copyCount = 0;
    }
    m_written.reset();
    m_rowsWritten = {};
    m_oldListed.clear();
    m_newListed.clear();
    return changes;
}

void RecordingOperation::copyBack(Module1 &module) {
    // `WorkMask` is about to become `Mask`: what differs between them is what
    // the pass changed, gathered column by column as it went when it could be.
    // Everything handed over is compared before the copy-back changes `Mask`.
    m_recorder.settle();
    if (m_byColumn && m_recorder.maskColumnsUsable())
        m_recorder.commitMaskColumns();
    else
        m_recorder.recordMask(module.Mask, module.WorkMask);
    m_inner.copyBack(module);
}

void History::clear() {
    m_undo.clear();
    m_redo.clear();
    m_bytes = 0;
    m_droppedUndo = false;
}

bool History::pictureAsLoaded() const {
    if (m_droppedUndo)
        return false;
    return std::all_of(m_undo.begin(), m_undo.end(),
                       [](const auto &entry) { return entry->pixels.empty(); });
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
        m_droppedUndo = true;
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
