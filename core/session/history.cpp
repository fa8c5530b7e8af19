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
    const bool byRows = m_order == Order::rows;
    const qint32 line = byRows ? y : x, along = byRows ? x : y;
    const quint32 index = quint32(qint64(line) * wordsPerLine() + along / 64);
    const auto it = std::lower_bound(m_index.begin(), m_index.end(), index);
    return it != m_index.end() && *it == index &&
           (m_words[size_t(it - m_index.begin())] >> (along % 64)) & 1;
}

size_t PassChanges::bytes() const {
    return sizeof(PassChanges) + pixels.bytes() + planes.capacity() * 8 +
           (oldListed.capacity() + newListed.capacity()) * sizeof(ColorValue) +
           filledCells.bytes() + erasedCells.bytes();
}

void PassChanges::apply(PixelSurface &picture, MaskArray &target, const QImage &loaded,
                        bool forward) const {
    const ColorValue *listed = forward ? newListed.data() : oldListed.data();
    const bool rgb32 = loaded.format() == QImage::Format_RGB32;
    const qint64 loadedWidth = rgb32 ? loaded.width() : 0;
    const qint64 loadedHeight = rgb32 ? loaded.height() : 0;
    // Word by word along the rows, 64 pixels at a time written in one call:
    // the picture and the scan as loaded are walked along their scanlines.
    ColorValue colors[64];
    const size_t words = pixels.wordCount();
    for (size_t i = 0; i < words; ++i) {
        const quint64 set = pixels.word(i);
        const quint64 low = planes[4 * i + (forward ? 2 : 0)];
        const quint64 high = planes[4 * i + (forward ? 3 : 1)];
        const qint32 y = pixels.lineOf(i);
        const qint64 x0 = qint64(pixels.wordOf(i)) * 64;
        const QRgb *loadedRow =
            y < loadedHeight ? reinterpret_cast<const QRgb *>(loaded.constScanLine(y)) : nullptr;
        const int first = std::countr_zero(set), last = 63 - std::countl_zero(set);
        if ((low & high) == 0 && loadedRow && x0 + last < loadedWidth) {
            // No listed colour: each pixel is black, white or the scan's.
            for (int j = first; j <= last; ++j) {
                const QRgb p = loadedRow[x0 + j];
                const ColorValue scan = qRed(p) | (qGreen(p) << 8) | (qBlue(p) << 16);
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
                    colors[j] = qRed(p) | (qGreen(p) << 8) | (qBlue(p) << 16);
                } else {
                    colors[j] = code == kBlack   ? ink::kBlack
                                : code == kWhite ? ink::kWhite
                                                 : *listed++;
                }
            }
        }
        picture.PSetRow(x0 + first, y, colors + first, last - first + 1);
    }
    // Undone or redone, every recorded cell of the mask flips.
    if (target.upperX() + 1 == filledCells.columns() && target.upperY() + 1 == filledCells.rows()) {
        const auto flip = [&](qint32 x, qint32 y) { target.column(x)[y] ^= 1; };
        filledCells.forEach(flip);
        erasedCells.forEach(flip);
    }
    picture.Refresh();
}

ChangeRecorder::ChangeRecorder(PixelSurface &target, const QImage &loaded, bool asLoaded)
    : m_target(target),
      m_columns(qint32(target.Width())),
      m_rows(qint32(target.Height())),
      m_rowWords((m_columns + 63) / 64) {
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
    for (Group &group : m_groups)
        group.rows.assign(size_t(m_rows + 63) / 64, 0);
    m_rowBits = m_groups[0].rows.data();
    // Comparing alongside the pass needs the pixels in memory, and a second
    // processor to do it on.
    m_alongside = m_pixelBits && std::thread::hardware_concurrency() > 1;
}

PassChanges::Code ChangeRecorder::code(ColorValue color, qint64 x, qint64 y) const {
    if (x < m_loadedWidth && y < m_loadedHeight) {
        const QRgb p = reinterpret_cast<const QRgb *>(m_loadedBits + y * m_loadedStride)[x];
        if ((p & 0xFFFFFF) == ((color & 0xFF) << 16 | (color & 0xFF00) | ((color >> 16) & 0xFF)))
            return PassChanges::kLoaded;
    }
    return color == kBlack   ? PassChanges::kBlack
           : color == kWhite ? PassChanges::kWhite
                             : PassChanges::kListed;
}

// `count` zeroed notes. The group's notes lie a row apart, each on a page of
// its own with ordinary pages, so they are asked for on 2 MiB pages where the
// system has them; the system also hands the memory out zeroed, and only as
// it is touched.
ChangeRecorder::WrittenArray ChangeRecorder::zeroedWords(size_t count) {
    const size_t bytes = std::max<size_t>(count, 1) * sizeof(Written);
#ifdef __linux__
    void *memory = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (memory == MAP_FAILED)
        throw std::bad_alloc();
    madvise(memory, bytes, MADV_HUGEPAGE);
    return {static_cast<Written *>(memory), [bytes](Written *p) { munmap(p, bytes); }};
#else
    auto *memory = static_cast<Written *>(std::calloc(1, bytes));
    if (!memory)
        throw std::bad_alloc();
    return {memory, [](Written *p) { std::free(p); }};
#endif
}

ChangeRecorder::Written &ChangeRecorder::wordAt(qint64 x, qint64 y) {
    if (!m_written) {
        m_written = zeroedWords(size_t(m_rows) * size_t(m_rowWords));
        m_rowsWritten.assign(size_t(m_rows), 0);
    }
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
    Group &group = m_groups[m_filling];
    group.first = m_group = x - x % kGroup;
    group.end = m_groupEnd = std::min<qint64>(m_group + kGroup, m_columns);
    group.maskFirst = 0;
    group.maskLast = -1;
    m_rowBits = group.rows.data();
}

void ChangeRecorder::noteAndSet(qint64 x, qint64 y, ColorValue color) {
    if (x >= m_group && x < m_groupEnd && y >= 0 && y < m_rows) {
        if (!((m_rowBits[size_t(y) / 64] >> (y % 64)) & 1))
            startRow(y);
    } else {
        recordWrite(x, y, color);
    }
    if (m_plain)
        m_plain->ImageSurface::PSet(x, y, color);
    else
        m_target.PSet(x, y, color);
}

void ChangeRecorder::startRow(qint64 y) {
    m_rowBits[size_t(y) / 64] |= quint64(1) << (y % 64);
    if (m_asLoaded)
        return;  // the scan as loaded holds the row as it was
    Group &group = m_groups[m_filling];
    if (group.copy.empty())
        group.copy.assign(size_t(m_rows) * kGroup, 0);
    QRgb *out = group.copy.data() + size_t(y) * kGroup;
    const qint64 n = m_groupEnd - m_group;
    if (m_pixelBits) {
        std::memcpy(out, m_pixelBits + y * m_pixelStride + m_group * 4, size_t(n) * 4);
    } else {
        for (qint64 k = 0; k < n; ++k) {
            const ColorValue c = m_target.Point(m_group + k, y);
            out[k] = qRgb(c & 0xFF, (c >> 8) & 0xFF, (c >> 16) & 0xFF);
        }
    }
}

void ChangeRecorder::handOver() {
    if (m_group == kNoColumn)
        return;
    Group &group = m_groups[m_filling];
    m_group = m_groupEnd = kNoColumn;
    if (!m_alongside) {
        compareGroup(group);
        return;
    }
    // The other group was handed over before this one: once it is done, its
    // buffers take the next group.
    waitIdle();
    {
        std::lock_guard lock(m_lock);
        m_pending = &group;
    }
    if (!m_worker.joinable()) {
        m_worker = std::thread([this] {
            std::unique_lock lock(m_lock);
            for (;;) {
                m_wake.wait(lock, [this] { return m_pending || m_stop; });
                if (!m_pending)
                    return;
                Group *next = m_pending;
                lock.unlock();
                compareGroup(*next);
                lock.lock();
                m_pending = nullptr;
                m_wake.notify_all();
            }
        });
    } else {
        m_wake.notify_all();
    }
    m_filling ^= 1;
}

void ChangeRecorder::waitIdle() {
    if (!m_worker.joinable())
        return;
    std::unique_lock lock(m_lock);
    m_wake.wait(lock, [this] { return !m_pending; });
}

void ChangeRecorder::compareGroup(Group &group) {
    try {
        if (!m_failed) {
            // The scan as loaded and the notes are read a row a scanline
            // apart, out of the cache's reach: they are asked for some rows
            // ahead.
            constexpr qint32 kAhead = 32;
            for (size_t i = 0; i < group.rows.size(); ++i) {
                for (quint64 w = group.rows[i]; w != 0; w &= w - 1) {
                    const qint32 y = qint32(i * 64) + std::countr_zero(w);
                    const qint32 ahead = y + kAhead;
                    if (ahead < m_loadedHeight && group.first < m_loadedWidth) {
                        const uchar *scan = m_loadedBits + ahead * m_loadedStride + group.first * 4;
                        for (int line = 0; line < kGroup * 4; line += 64)
                            __builtin_prefetch(scan + line);
                    }
                    if (m_written && ahead < m_rows)
                        __builtin_prefetch(&m_written[size_t(ahead) * size_t(m_rowWords) +
                                                      size_t(group.first / 64)],
                                           1);
                    compareRow(group, y);
                }
            }
            // The group's columns of `WorkMask` are final: the pass changes
            // only the column it works on.
            for (qint32 x = group.maskFirst; x <= group.maskLast; ++x)
                compareMaskColumn(x);
        }
    } catch (const std::bad_alloc &) {
        m_failed = true;
    }
    std::fill(group.rows.begin(), group.rows.end(), 0);
}

namespace {

// Per row of the group, one bit per pixel (bit k for the group's column k):
// the colour as it was equals the colour now, and for each of the two
// whether it is the scan's colour there, black, or white.
struct RowFlags {
    quint64 same, wasLoaded, wasBlack, wasWhite, nowLoaded, nowBlack, nowWhite;
};

constexpr quint32 kRgb = 0xFFFFFF;

RowFlags flagsPlain(const QRgb *was, const QRgb *now, const QRgb *loaded, int n) {
    RowFlags f{};
    for (int k = 0; k < n; ++k) {
        const quint32 o = was[k] & kRgb, c = now[k] & kRgb, l = loaded[k] & kRgb;
        const quint64 bit = quint64(1) << k;
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

#if defined(__x86_64__) && defined(__GNUC__)
// The same for 64 pixels, eight at a time.
__attribute__((target("avx2"))) RowFlags flagsAvx2(const QRgb *was, const QRgb *now,
                                                   const QRgb *loaded, int) {
    const __m256i rgb = _mm256_set1_epi32(int(kRgb));
    const __m256i zero = _mm256_setzero_si256();
    RowFlags f{};
    for (int h = 0; h < 64; h += 8) {
        const __m256i o =
            _mm256_and_si256(_mm256_loadu_si256(reinterpret_cast<const __m256i *>(was + h)), rgb);
        const __m256i c =
            _mm256_and_si256(_mm256_loadu_si256(reinterpret_cast<const __m256i *>(now + h)), rgb);
        const __m256i l = _mm256_and_si256(
            _mm256_loadu_si256(reinterpret_cast<const __m256i *>(loaded + h)), rgb);
#define INK_BITS(v) (quint64(quint32(_mm256_movemask_ps(_mm256_castsi256_ps(v)))) << h)
        f.same |= INK_BITS(_mm256_cmpeq_epi32(o, c));
        f.wasLoaded |= INK_BITS(_mm256_cmpeq_epi32(o, l));
        f.wasBlack |= INK_BITS(_mm256_cmpeq_epi32(o, zero));
        f.wasWhite |= INK_BITS(_mm256_cmpeq_epi32(o, rgb));
        f.nowLoaded |= INK_BITS(_mm256_cmpeq_epi32(c, l));
        f.nowBlack |= INK_BITS(_mm256_cmpeq_epi32(c, zero));
        f.nowWhite |= INK_BITS(_mm256_cmpeq_epi32(c, rgb));
#undef INK_BITS
    }
    return f;
}

bool haveAvx2() {
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx2");
}
const bool kAvx2 = haveAvx2();
#else
const bool kAvx2 = false;
RowFlags flagsAvx2(const QRgb *was, const QRgb *now, const QRgb *loaded, int n) {
    return flagsPlain(was, now, loaded, n);
}
#endif

ColorValue colorOf(QRgb p) {
    return qRed(p) | (qGreen(p) << 8) | (qBlue(p) << 16);
}

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
                const ColorValue c = m_target.Point(first + k, y);
                nowRow[k] = qRgb(c & 0xFF, (c >> 8) & 0xFF, (c >> 16) & 0xFF);
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
        const QRgb *was = m_asLoaded ? loaded : group.copy.data() + size_t(y) * kGroup;
        RowFlags f = wide ? flagsAvx2(was, now, loaded, n) : flagsPlain(was, now, loaded, n);
        f.wasLoaded &= inScan;
        f.nowLoaded &= inScan;
        const quint64 changedNow = ~f.same & all;
        Written *word = nullptr;
        quint64 noted = 0;
        if (m_written) {
            word = &m_written[size_t(y) * size_t(m_rowWords) + size_t(first / 64)];
            noted = (word->touched >> shift) & all;
        }
        const quint64 touched = changedNow | noted;
        if (!touched)
            return;
        if (!word)
            word = &wordAt(first, y);
        m_rowsWritten[size_t(y)] = 1;
        // Codes: the scan's colour first, then black, white, listed.
        const quint64 fresh = changedNow & ~noted;
        const quint64 oldLow = ~f.wasLoaded & ~f.wasBlack;
        const quint64 oldHigh = f.wasLoaded | (~f.wasBlack & ~f.wasWhite);
        const quint64 newLow = ~f.nowLoaded & ~f.nowBlack;
        const quint64 newHigh = f.nowLoaded | (~f.nowBlack & ~f.nowWhite);
        for (quint64 w = fresh & oldLow & oldHigh; w != 0; w &= w - 1) {
            const int k = std::countr_zero(w);
            m_oldListed.emplace(qint64(y) * m_columns + first + k, colorOf(was[k]));
        }
        for (quint64 w = touched & newLow & newHigh; w != 0; w &= w - 1) {
            const int k = std::countr_zero(w);
            m_newListed[qint64(y) * m_columns + first + k] = colorOf(now[k]);
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
    waitIdle();
    m_off = true;
    m_group = m_groupEnd = kNoColumn;
    // Nothing is noted any more, and the pixels are read through the picture.
    m_columns = m_rows = 0;
    m_pixelBits = nullptr;
    m_loadedBits = nullptr;
    m_loadedWidth = m_loadedHeight = 0;
    m_maskColumnsUsable = false;
}

std::shared_ptr<PassChanges> ChangeRecorder::finish() {
    // A group cut short by an error still counts what it painted.
    handOver();
    waitIdle();
    if (m_failed)
        throw std::bad_alloc();
    auto changes = std::make_shared<PassChanges>();
    changes->pixels = CellSet(m_columns, m_rows, CellSet::Order::rows);
    // First which pixels changed, to size the record once: a pixel changed
    // when its codes differ, or when both are listed and the colours do.
    size_t words = 0;
    for (qint32 y = 0; m_written && y < m_rows; ++y) {
        if (!m_rowsWritten[size_t(y)])
            continue;
        Written *row = &m_written[size_t(y) * size_t(m_rowWords)];
        for (qint32 k = 0; k < m_rowWords; ++k) {
            Written &word = row[k];
            if (!word.touched)
                continue;
            quint64 changed =
                word.touched & ((word.low ^ word.newLow) | (word.high ^ word.newHigh));
            for (quint64 w = word.touched & word.low & word.high & word.newLow & word.newHigh;
                 w != 0; w &= w - 1) {
                const qint64 at = qint64(y) * m_columns + k * 64 + std::countr_zero(w);
                if (m_oldListed.at(at) != m_newListed.at(at))
                    changed |= w & -w;
            }
            word.touched = changed;
            words += changed != 0;
        }
    }
    changes->pixels.reserve(words);
    changes->planes.reserve(4 * words);
    for (qint32 y = 0; m_written && y < m_rows; ++y) {
        if (!m_rowsWritten[size_t(y)])
            continue;
        const Written *row = &m_written[size_t(y) * size_t(m_rowWords)];
        for (qint32 k = 0; k < m_rowWords; ++k) {
            const Written &word = row[k];
            const quint64 changed = word.touched;
            if (!changed)
                continue;
            changes->pixels.append(y, k, changed);
            changes->planes.insert(changes->planes.end(),
                                   {word.low & changed, word.high & changed, word.newLow & changed,
                                    word.newHigh & changed});
            // The listed colours, in the order of the pixels.
            for (quint64 w = changed & ((word.low & word.high) | (word.newLow & word.newHigh));
                 w != 0; w &= w - 1) {
                const quint64 bit = w & -w;
                const qint64 at = qint64(y) * m_columns + k * 64 + std::countr_zero(w);
                if (word.low & word.high & bit)
                    changes->oldListed.push_back(m_oldListed.at(at));
                if (word.newLow & word.newHigh & bit)
                    changes->newListed.push_back(m_newListed.at(at));
            }
        }
    }
    changes->filledCells = std::move(m_filled);
    changes->erasedCells = std::move(m_erased);
    changes->filledCells.shrink();
    changes->erasedCells.shrink();
    changes->filled = changes->filledCells.count();
    changes->erased = changes->erasedCells.count();
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
