#include "core/ops/kernels.h"

#include "core/runtime/cpufeatures.h"

#include "core/ops/holefill.h"
#include "core/ops/paper.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <utility>

// The word loops below are left to the compiler's vectoriser. The image scan
// compares four bytes of a pixel at once and gathers one bit per pixel, which
// the vectoriser does not find: it is written with SSE2 (every x86-64 has it)
// and AVX2, chosen once at run time with the forms of the other loops;
// elsewhere it falls back to plain code.
#if defined(__x86_64__) && defined(__GNUC__)
#include <immintrin.h>
#define INK_X86_64 1
#endif

namespace ink {

namespace {

constexpr int kBits = PackedMask::kBits;
constexpr quint64 kAll = ~quint64(0);

// Row y + dy of each row y of word k of a column, the rows past the word
// taken from its neighbours: dy < 0 reads above, dy > 0 below.
template <int dy>
inline quint64 shifted(const quint64 *w, qint32 k) {
    static_assert(dy > -kBits && dy < kBits);
    if constexpr (dy < 0)
        return (w[k] << -dy) | (w[k - 1] >> (kBits + dy));
    else if constexpr (dy > 0)
        return (w[k] >> dy) | (w[k + 1] << (kBits - dy));
    else
        return w[k];
}

// dst = src on rows y0..y1, unchanged elsewhere.
void mergeRows(quint64 *dst, const quint64 *src, qint64 y0, qint64 y1) {
    const qint32 k0 = qint32(y0 / kBits);
    const qint32 k1 = qint32(y1 / kBits);
    for (qint32 k : {k0, k1}) {
        const quint64 r = PackedMask::rowBits(k, y0, y1);
        dst[k] = (dst[k] & ~r) | (src[k] & r);
    }
    if (k1 > k0 + 1)
        std::memcpy(dst + k0 + 1, src + k0 + 1, size_t(k1 - k0 - 1) * sizeof(quint64));
}

// Keeps, of words k0..k1 of `bits`, only the rows y0..y1.
void clipRows(quint64 *bits, qint64 y0, qint64 y1) {
    const qint32 k0 = qint32(y0 / kBits);
    const qint32 k1 = qint32(y1 / kBits);
    bits[k0] &= PackedMask::rowBits(k0, y0, y1);
    bits[k1] &= PackedMask::rowBits(k1, y0, y1);
}

}  // namespace

namespace {

[[gnu::always_inline]] inline void paintRowsInline(Sheet &picture, qint32 x, const quint64 *changes,
                                                   qint32 k0, qint32 k1, bool black) {
    if (x >= picture.width())
        return;
    const qint32 words = picture.painted().wordsPerColumn();
    const qint32 last = std::min(k1, words - 1);
    quint64 *painted = picture.painted().column(x);
    quint64 *colour = picture.black().column(x);
    // Only the picture's last word can hold rows past its bottom edge.
    const quint64 lastRows = PackedMask::rowBits(words - 1, 0, picture.height() - 1);
    for (qint32 k = k0; k <= last; ++k) {
        const quint64 c = changes[k] & (k == words - 1 ? lastRows : kAll);
        painted[k] |= c;
        colour[k] = black ? (colour[k] | c) : (colour[k] & ~c);
    }
}

}  // namespace

void paintRows(Sheet &picture, qint32 x, const quint64 *changes, qint32 k0, qint32 k1, bool black) {
    paintRowsInline(picture, x, changes, k0, k1, black);
}

namespace {

int thresholdLimit(double t) {
    if (!(t < 255))  // 255 and more, or not a number: no channel exceeds it
        return 255;
    if (t < 0)
        return -1;
    return int(std::floor(t));
}

// Limits packed like a pixel: blue in the lowest byte, then green, red, and
// 255 for the unused top byte. A pixel is black when no byte of it exceeds
// the limit's byte, that is when the saturating difference is zero.
quint32 packedLimits(int red, int green, int blue) {
    return quint32(blue) | (quint32(green) << 8) | (quint32(red) << 16) | 0xFF000000u;
}

// Pixel i is black when no byte of it exceeds limits[i], or limits[0] for
// every pixel where the limits are one for the whole row (kEach false).
template <bool kEach>
quint64 classifyTail(const QRgb *p, int n, const quint32 *limits) {
    quint64 w = 0;
    for (int i = 0; i < n; ++i) {
        const quint32 l = limits[kEach ? i : 0];
        const bool black = (p[i] & 0xFF) <= (l & 0xFF) &&
                           ((p[i] >> 8) & 0xFF) <= ((l >> 8) & 0xFF) &&
                           ((p[i] >> 16) & 0xFF) <= ((l >> 16) & 0xFF);
        w |= quint64(black) << i;
    }
    return w;
}

// Classifies `count` pixels of an image row, 64 per word of `words` (bit i of
// word g is pixel 64 * g + i). skip[g] leaves word g at 0 unread. `limits`
// holds one packed limit for the row, or with kEach one for each pixel.
using ClassifyRow = void (*)(const QRgb *, qint32, const quint8 *, const quint32 *, quint64 *);

template <bool kEach>
void classifyRowPlain(const QRgb *pixels, qint32 count, const quint8 *skip, const quint32 *limits,
                      quint64 *words) {
    for (qint32 g = 0; g * kBits < count; ++g)
        words[g] = skip[g]
                       ? 0
                       : classifyTail<kEach>(pixels + g * kBits, std::min(kBits, count - g * kBits),
                                             limits + (kEach ? g * kBits : 0));
}

#ifdef INK_X86_64
template <bool kEach>
void classifyRowSse2(const QRgb *pixels, qint32 count, const quint8 *skip, const quint32 *limits,
                     quint64 *words) {
    const __m128i one = _mm_set1_epi32(int(limits[0]));
    const __m128i zero = _mm_setzero_si128();
    const qint32 full = count / kBits;
    for (qint32 g = 0; g < full; ++g) {
        if (skip[g]) {
            words[g] = 0;
            continue;
        }
        const QRgb *p = pixels + g * kBits;
        quint64 w = 0;
        for (int i = 0; i < kBits; i += 4) {
            const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i *>(p + i));
            const __m128i limit =
                kEach ? _mm_loadu_si128(reinterpret_cast<const __m128i *>(limits + g * kBits + i))
                      : one;
            const __m128i black = _mm_cmpeq_epi32(_mm_subs_epu8(v, limit), zero);
            w |= quint64(_mm_movemask_ps(_mm_castsi128_ps(black))) << i;
        }
        words[g] = w;
    }
    if (full * kBits < count)
        words[full] = skip[full] ? 0
                                 : classifyTail<kEach>(pixels + full * kBits, count - full * kBits,
                                                       limits + (kEach ? full * kBits : 0));
}

template <bool kEach>
__attribute__((target("avx2"))) void classifyRowAvx2(const QRgb *pixels, qint32 count,
                                                     const quint8 *skip, const quint32 *limits,
                                                     quint64 *words) {
    const __m256i one = _mm256_set1_epi32(int(limits[0]));
    const __m256i zero = _mm256_setzero_si256();
    const qint32 full = count / kBits;
    for (qint32 g = 0; g < full; ++g) {
        if (skip[g]) {
            words[g] = 0;
            continue;
        }
        const QRgb *p = pixels + g * kBits;
        quint64 w = 0;
        for (int i = 0; i < kBits; i += 8) {
            const __m256i v = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(p + i));
            const __m256i limit =
                kEach
                    ? _mm256_loadu_si256(reinterpret_cast<const __m256i *>(limits + g * kBits + i))
                    : one;
            const __m256i black = _mm256_cmpeq_epi32(_mm256_subs_epu8(v, limit), zero);
            w |= quint64(quint32(_mm256_movemask_ps(_mm256_castsi256_ps(black)))) << i;
        }
        words[g] = w;
    }
    if (full * kBits < count)
        words[full] = skip[full] ? 0
                                 : classifyTail<kEach>(pixels + full * kBits, count - full * kBits,
                                                       limits + (kEach ? full * kBits : 0));
}

// GCC 12 takes the placeholder the AVX-512 shift and shuffle intrinsics pass
// for their unused merge source for a read of an uninitialised value.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wuninitialized"
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"

// One step of transposeBits on words j = 4, 2 or 1 apart, lanes of one
// register: each pair brought side by side by a permutation, `low` marking
// the first word of each pair.
template <int j>
__attribute__((target("avx512f"))) inline void transposeLanes(__m512i *r, quint64 bits) {
    constexpr __mmask8 low = j == 4 ? 0x0F : (j == 2 ? 0x33 : 0x55);
    const __m512i mask = _mm512_set1_epi64(qint64(bits));
    for (int q = 0; q < 8; ++q) {
        __m512i &x = r[q];
        __m512i y;
        if constexpr (j == 4)
            y = _mm512_shuffle_i64x2(x, x, 0x4E);
        else if constexpr (j == 2)
            y = _mm512_permutex_epi64(x, 0x4E);
        else
            y = _mm512_permutex_epi64(x, 0xB1);
        const __m512i first = _mm512_mask_blend_epi64(low, y, x);   // low lanes: x
        const __m512i second = _mm512_mask_blend_epi64(low, x, y);  // low lanes: y
        const __m512i t =
            _mm512_and_si512(_mm512_xor_si512(_mm512_srli_epi64(first, j), second), mask);
        x = _mm512_mask_xor_epi64(x, low, x, _mm512_slli_epi64(t, j));
        x = _mm512_mask_xor_epi64(x, __mmask8(~low), x, t);
    }
}

// transposeBits on a tile held in eight registers: the halves, quarters and
// eighths of the tile are whole registers apart, the smaller blocks lanes of
// one register, brought side by side by a permutation. It took a fifth of
// NB's time in the word loop.
__attribute__((target("avx512f"))) void transposeTileAvx512(const quint64 *in, quint64 *out) {
    __m512i r[8];
    for (int q = 0; q < 8; ++q)
        r[q] = _mm512_loadu_si512(in + 8 * q);
    quint64 m = 0x00000000FFFFFFFFull;
    // Words j apart, j = 32, 16, 8: registers j / 8 apart.
    for (int j = 32; j >= 8; j >>= 1, m ^= (m << j)) {
        const __m512i mask = _mm512_set1_epi64(qint64(m));
        const __m128i shift = _mm_cvtsi32_si128(j);
        for (int q = 0; q < 8; ++q) {
            if (q & (j / 8))
                continue;
            __m512i &a = r[q];
            __m512i &b = r[q + j / 8];
            const __m512i t =
                _mm512_and_si512(_mm512_xor_si512(_mm512_srl_epi64(a, shift), b), mask);
            a = _mm512_xor_si512(a, _mm512_sll_epi64(t, shift));
            b = _mm512_xor_si512(b, t);
        }
    }
    // Words 4, 2 and 1 apart: lanes of one register.
    transposeLanes<4>(r, m);
    m ^= (m << 2);
    transposeLanes<2>(r, m);
    m ^= (m << 1);
    transposeLanes<1>(r, m);
    for (int q = 0; q < 8; ++q)
        _mm512_storeu_si512(out + 8 * q, r[q]);
}
#pragma GCC diagnostic pop
#endif

void transposeTilePlain(const quint64 *in, quint64 *out) {
    std::memcpy(out, in, kBits * sizeof(quint64));
    transposeBits(out);
}

using TransposeTile = void (*)(const quint64 *, quint64 *);

struct ScanForm {
    const char *name;
    ClassifyRow function;      // one limit for the row
    ClassifyRow eachFunction;  // a limit for each pixel
    TransposeTile transpose = transposeTilePlain;
    // The instruction set bouchtrou's and affine's columns are built for
    // with this form: 0 the base one, 1 AVX2, 2 AVX-512.
    int columnLoops = 0;
};

std::vector<ScanForm> scanForms() {
    std::vector<ScanForm> forms;
#ifdef INK_X86_64
    // AVX-512: the scan stays AVX2's. It is bound by memory, and scans in
    // 512-bit registers, or in 256-bit ones with mask-register compares, took
    // 5 to 15 % longer over the 7000 x 5000 sample; the tile transpose and the
    // column loops gain from the wider registers.
    if (cpuFeatures().avx512)
        forms.push_back(
            {"avx512", classifyRowAvx2<false>, classifyRowAvx2<true>, transposeTileAvx512, 2});
    if (cpuFeatures().avx2)
        forms.push_back(
            {"avx2", classifyRowAvx2<false>, classifyRowAvx2<true>, transposeTilePlain, 1});
    forms.push_back({"sse2", classifyRowSse2<false>, classifyRowSse2<true>});
#endif
    forms.push_back({"plain", classifyRowPlain<false>, classifyRowPlain<true>});
    return forms;
}

ClassifyRow classifyRow = scanForms().front().function;
ClassifyRow classifyRowEach = scanForms().front().eachFunction;
TransposeTile transposeTile = scanForms().front().transpose;
int columnLoops = scanForms().front().columnLoops;

}  // namespace

QStringList imageScanForms() {
    QStringList names;
    for (const ScanForm &form : scanForms())
        names << QLatin1String(form.name);
    return names;
}

void useImageScanForm(const QString &name) {
    for (const ScanForm &form : scanForms()) {
        if (name == QLatin1String(form.name)) {
            classifyRow = form.function;
            classifyRowEach = form.eachFunction;
            transposeTile = form.transpose;
            columnLoops = form.columnLoops;
        }
    }
}

void KernelOperation::passStart(KernelModel &model) {
    m_changed.clear();
    m_copied.reset();
    const PackedMask &mask = model.Mask;
    if (m_columnsCopy && mask.isAllocated() && mask.upperX() == model.WorkMask.upperX() &&
        mask.upperY() == model.WorkMask.upperY()) {
        m_copied = allocating(
            [&] { return std::make_shared<std::vector<quint8>>(size_t(mask.upperX()) + 1, 0); });
        m_copiedRows = mask.upperY();
        return;
    }
    copyMask(model.WorkMask, model.Mask, crew());
}

namespace {

// The columns the pass's columns did not copy, copied.
void copyTheRest(KernelModel &model, std::vector<quint8> &copied) {
    const size_t stride = size_t(model.Mask.wordsPerColumn()) + 2;
    for (qint32 x = 0; x <= model.Mask.upperX(); ++x)
        if (!copied[size_t(x)])
            std::memcpy(model.WorkMask.column(x) - 1, model.Mask.column(x) - 1,
                        stride * sizeof(quint64));
    std::fill(copied.begin(), copied.end(), 1);
}

}  // namespace

void KernelOperation::passFailed(KernelModel &model) {
    if (copying(model))
        copyTheRest(model, *m_copied);
}

void KernelOperation::joinWorker(PackedOperation &worker) {
    const auto &changed = static_cast<KernelOperation &>(worker).m_changed;
    m_changed.insert(m_changed.end(), changed.begin(), changed.end());
}

void KernelOperation::copyBack(KernelModel &model) {
    if (!m_changesOnly) {
        copyMask(model.Mask, model.WorkMask, crew());
        return;
    }
    // Both masks were equal at the pass start; only these columns moved apart.
    copyColumns(model.Mask, model.WorkMask, m_changed, crew());
    if (copying(model))
        copyTheRest(model, *m_copied);
}

// --- NB ---------------------------------------------------------------------

ThresholdKernel::ThresholdKernel(Thresholds thresholds)
    : KernelOperation(false),
      m_redLimit(thresholdLimit(thresholds.red)),
      m_greenLimit(thresholdLimit(thresholds.green)),
      m_blueLimit(thresholdLimit(thresholds.blue)),
      m_zeroIsBlack(m_redLimit >= 0 && m_greenLimit >= 0 && m_blueLimit >= 0),
      m_whiteIsBlack(m_redLimit == 255 && m_greenLimit == 255 && m_blueLimit == 255),
      m_limits(m_zeroIsBlack ? packedLimits(m_redLimit, m_greenLimit, m_blueLimit) : 0),
      m_paper(thresholds.paper) {
    if (!m_paper || !m_zeroIsBlack)
        return;
    // Under paper p, the largest value whose evened value is within the
    // channel's limit: the cell's own limit, from the rule itself.
    const int limits[3] = {m_redLimit, m_greenLimit, m_blueLimit};
    for (int c = 0; c < 3; ++c)
        for (int p = 1; p < 256; ++p) {
            int v = 0;
            while (v < 255 && evenedValue(v + 1, p, m_paper->brightest[size_t(c)]) <= limits[c])
                ++v;
            m_cellLimits[size_t(c)][size_t(p)] = quint8(v);
        }
}

void ThresholdKernel::localLimits(qint32 y, qint32 x0, qint32 columns,
                                  std::vector<quint32> &row) const {
    const PaperEstimate &paper = *m_paper;
    row.resize(size_t(columns) + kBits);
    const int cy = std::min(int(y) / PaperEstimate::kCell, paper.cellsY - 1);
    const quint8 *cells = paper.cells.data() + size_t(cy) * size_t(paper.cellsX) * 3;
    for (qint32 i = 0; i < columns; ++i) {
        const quint8 *cell = cells + size_t((x0 + i) / PaperEstimate::kCell) * 3;
        row[size_t(i)] = packedLimits(m_cellLimits[0][cell[0]], m_cellLimits[1][cell[1]],
                                      m_cellLimits[2][cell[2]]);
    }
}

void ThresholdKernel::passStart(KernelModel &model) {
    KernelOperation::passStart(model);
    m_bandFirst = 0;
    m_bandLast = -1;
    m_classifyLast = std::numeric_limits<qint32>::max();
    m_ahead = std::make_shared<Ahead>();
}

qint32 ThresholdKernel::aheadParts(KernelModel &model) {
    const Sheet &picture = model.picture;
    const qint32 layerWords = picture.painted().wordsPerColumn();
    const qint32 groups = (picture.width() + kBits - 1) / kBits;
    Ahead &ahead = *m_ahead;
    switch (ahead.round++) {
        case 0: {
            // A mask shorter than the picture: the columns raise error 9 before
            // they read anything, and nothing is classified for them.
            if (!m_zeroIsBlack || picture.width() <= 0 || picture.height() <= 0 ||
                model.WorkMask.wordsPerColumn() < layerWords)
                return 0;
            KernelModel::Scratch &own = scratch(model);
            own.band.resize(size_t(groups) * size_t(model.WorkMask.wordsPerColumn()) * kBits);
            own.skip.resize(size_t(layerWords) * size_t(groups));
            ahead.tiles = own.band.data();
            ahead.skip = own.skip.data();
            ahead.last = picture.width() - 1;
            // First the all-painted tiles, in bands of columns, each column read
            // whole.
            return (groups + kAheadGroups - 1) / kAheadGroups;
        }
        case 1:
            // Then the image, in strips of rows.
            return ahead.tiles ? (layerWords + kAheadTileRows - 1) / kAheadTileRows : 0;
        default:
            return 0;
    }
}

void ThresholdKernel::doAhead(KernelModel &model, qint32 part) {
    const Ahead &ahead = *m_ahead;
    const qint32 groups = (ahead.last + kBits) / kBits;
    const qint32 layerWords = model.picture.painted().wordsPerColumn();
    if (ahead.round == 1) {
        const qint32 x0 = part * kAheadGroups * kBits;
        const qint32 x1 = std::min(x0 + kAheadGroups * kBits - 1, ahead.last);
        findPainted(model, 0, x0, x1, 0, layerWords - 1, ahead.skip, groups);
        return;
    }
    const qint32 k0 = part * kAheadTileRows;
    const qint32 k1 = std::min(k0 + kAheadTileRows, layerWords) - 1;
    classify(model, 0, ahead.last, k0, k1, ahead.skip + size_t(k0) * size_t(groups), ahead.tiles);
}

std::unique_ptr<PackedOperation> ThresholdKernel::bandWorker(KernelModel::Scratch &scratch) {
    return workerOf(*this, scratch);
}

void ThresholdKernel::startBand(qint32 first, qint32 last) {
    Q_UNUSED(first);
    m_classifyLast = last;
    m_bandFirst = 0;
    m_bandLast = -1;
    if (m_ahead && m_ahead->tiles) {
        m_tiles = m_ahead->tiles;
        m_bandLast = m_ahead->last;
    }
}

void ThresholdKernel::classifyBand(KernelModel &model, qint32 x0, qint32 x1) {
    const qint32 columns = x1 - x0 + 1;
    const qint32 groups = (columns + kBits - 1) / kBits;
    std::vector<quint64> &band = scratch(model).band;
    band.resize(size_t(groups) * size_t(model.WorkMask.wordsPerColumn()) * kBits);
    m_tiles = band.data();
    m_bandFirst = x0;
    m_bandLast = x1;
    const qint32 layerWords = model.picture.painted().wordsPerColumn();
    KernelModel::Scratch &own = scratch(model);
    own.skip.resize(size_t(layerWords) * size_t(groups));
    findPainted(model, x0, x0, x1, 0, layerWords - 1, own.skip.data(), groups);
    classify(model, x0, x1, 0, layerWords - 1, own.skip.data(), m_tiles);
}

void ThresholdKernel::findPainted(const KernelModel &model, qint32 first, qint32 x0, qint32 x1,
                                  qint32 k0, qint32 k1, quint8 *skip, qint32 groups) {
    // A tile of 64 x 64 pixels that were all painted needs no image pixel.
    // Each flag is written once: the threads' groups of columns share cache
    // lines of `skip`.
    const Sheet &picture = model.picture;
    const qint32 layerWords = picture.painted().wordsPerColumn();
    const quint64 lastRows = PackedMask::rowBits(layerWords - 1, 0, picture.height() - 1);
    std::vector<quint64> unpainted(size_t(k1 - k0 + 1));
    for (qint32 c = x0; c <= x1;) {
        const qint32 g = (c - first) / kBits;
        const qint32 end = std::min(x1, first + (g + 1) * kBits - 1);
        std::fill(unpainted.begin(), unpainted.end(), 0);
        for (; c <= end; ++c) {
            const quint64 *painted = picture.painted().column(c);
            for (qint32 k = k0; k <= k1; ++k)
                unpainted[size_t(k - k0)] |= ~painted[k];
        }
        for (qint32 k = k0; k <= k1; ++k)
            skip[size_t(k - k0) * size_t(groups) + size_t(g)] =
                (unpainted[size_t(k - k0)] & (k + 1 < layerWords ? kAll : lastRows)) == 0;
    }
}

void ThresholdKernel::classify(KernelModel &model, qint32 x0, qint32 x1, qint32 k0, qint32 k1,
                               const quint8 *skips, quint64 *tiles) const {
    const Sheet &picture = model.picture;
    const qint32 columns = x1 - x0 + 1;
    const qint32 groups = (columns + kBits - 1) / kBits;
    KernelModel::Scratch &scratch = this->scratch(model);

    // Rows are read 64 at a time, each across the whole band; the 64 x 64 bit
    // tiles so gathered are turned into column words.
    scratch.rowWords.resize(size_t(groups) * kBits);
    quint64 tile[kBits];
    for (qint32 k = k0; k <= k1; ++k) {
        const qint32 y0 = k * kBits;
        const int rows = std::min(kBits, picture.height() - y0);
        const quint8 *skip = skips + size_t(k - k0) * size_t(groups);
        for (int j = 0; j < rows; ++j) {
            quint64 *out = scratch.rowWords.data() + size_t(j) * groups;
            if (!m_paper) {
                classifyRow(picture.originalRow(y0 + j) + x0, columns, skip, &m_limits, out);
                continue;
            }
            if ((y0 + j) % PaperEstimate::kCell == 0 || j == 0)
                localLimits(y0 + j, x0, columns, scratch.limits);
            classifyRowEach(picture.originalRow(y0 + j) + x0, columns, skip, scratch.limits.data(),
                            out);
        }
        for (qint32 g = 0; g < groups; ++g) {
            quint64 *out = tileAt(tiles, model, g, k);
            if (skip[g]) {
                std::memset(out, 0, sizeof tile);
                continue;
            }
            for (int j = 0; j < kBits; ++j)
                tile[j] = j < rows ? scratch.rowWords[size_t(j) * groups + g] : 0;
            transposeTile(tile, out);
        }
    }
}

void ThresholdKernel::processColumn(KernelModel &model, qint32 x, qint32 y0, qint32 y1) {
    if (y1 < y0)
        return;
    PackedMask &work = model.WorkMask;
    if (!work.contains(x, y0) || !work.contains(x, y1))
        throw RuntimeError::subscriptOutOfRange();
    Sheet &picture = model.picture;
    const qint32 k0 = y0 / kBits;
    const qint32 k1 = y1 / kBits;
    scratch(model).column.resize(size_t(work.wordsPerColumn()));
    quint64 *black = scratch(model).column.data();

    if (!m_zeroIsBlack) {
        // A limit below 0: nothing is black, not even a missing pixel.
        std::fill(black + k0, black + k1 + 1, 0);
    } else if (x >= picture.width()) {
        std::fill(black + k0, black + k1 + 1, kAll);  // no pixel reads as (0, 0, 0)
    } else {
        if (x < m_bandFirst || x > m_bandLast)
            classifyBand(model, x,
                         std::min({x + kBandColumns - 1, picture.width() - 1, m_classifyLast}));
        // The loaded image's pixels, or the colour painted over them. The
        // band's words of column x are one per tile, kBits words apart.
        const qint32 c = x - m_bandFirst;
        const quint64 *image = tileAt(m_tiles, model, c / kBits, 0) + c % kBits;
        const quint64 *painted = picture.painted().column(x);
        const quint64 *colour = picture.black().column(x);
        const quint64 paintedBlack = kAll;  // (0, 0, 0) is black here
        const quint64 paintedWhite = m_whiteIsBlack ? kAll : 0;
        const qint32 layerWords = picture.painted().wordsPerColumn();
        const qint32 last = std::min(k1, layerWords - 1);
        for (qint32 k = k0; k <= last; ++k)
            black[k] = (image[size_t(k) * kBits] & ~painted[k]) |
                       (painted[k] & ((colour[k] & paintedBlack) | (~colour[k] & paintedWhite)));
        // Rows past the picture's last row are no pixel, so black.
        if (last >= k0 && last == layerWords - 1)
            black[last] |= ~PackedMask::rowBits(last, 0, picture.height() - 1);
        std::fill(black + std::max(k0, last + 1), black + k1 + 1, kAll);
    }
    mergeRows(work.column(x), black, y0, y1);

    // Every visited pixel on the picture is painted, in the colour just decided.
    const qint64 lastRow = std::min<qint64>(y1, picture.height() - 1);
    if (x < picture.width() && lastRow >= y0) {
        quint64 *painted = picture.painted().column(x);
        for (qint32 k = k0; k <= qint32(lastRow / kBits); ++k)
            painted[k] |= PackedMask::rowBits(k, y0, lastRow);
        mergeRows(picture.black().column(x), black, y0, lastRow);
    }
}

// --- bouchtrou ----------------------------------------------------------------

namespace {

// Columns x - 1, x and x + 1 of the mask, by dx.
struct Neighbourhood {
    const quint64 *columns[3];

    template <int dx>
    const quint64 *column() const {
        return columns[dx + 1];
    }
};

// Cell `i` of template T, taken column by column, the middle one first:
// column dx = 0, +1, -1 for i / rowCount, row dy = topRow + i % rowCount.
// The cells are folded from the first on, so templates that begin alike (the
// notches' and the gap's middle columns) share the first steps, and the
// compiler works them out once. The order also decides how many values the
// loop keeps at once; this one keeps the loop as short as written by hand.
template <const HoleTemplate &T, int i>
struct CellAt {
    static constexpr int dx = (i / T.rowCount == 0) ? 0 : (i / T.rowCount == 1 ? 1 : -1);
    static constexpr int dy = T.topRow + i % T.rowCount;
    static constexpr char value = T.at(dx, dy);
};

// The neighbour's rows for cell i when it must be black ('B'); all rows,
// which the match leaves as they are, for any other cell.
template <const HoleTemplate &T, int i>
inline quint64 mustBeBlack(const Neighbourhood &n, qint32 k) {
    using C = CellAt<T, i>;
    if constexpr (C::value == 'B')
        return shifted<C::dy>(n.column<C::dx>(), k);
    else
        return kAll;
}

// The neighbour's rows for cell i when it must be white ('W', 'F'), none of
// which may be black; no rows for any other cell, nor for the pixel under
// test itself, which the caller tests once for all the templates.
template <const HoleTemplate &T, int i>
inline quint64 mustBeWhite(const Neighbourhood &n, qint32 k) {
    using C = CellAt<T, i>;
    if constexpr ((C::value == 'W' || C::value == 'F') && (C::dx != 0 || C::dy != 0))
        return shifted<C::dy>(n.column<C::dx>(), k);
    else
        return 0;
}

// The rows y of word k where template T matches at (x, y), given a white
// pixel under test: every 'B' cell black and every other 'W' and 'F' cell
// white.
template <const HoleTemplate &T>
inline quint64 matchWord(const Neighbourhood &n, qint32 k) {
    return [&]<int... i>(std::integer_sequence<int, i...>) {
        return (... & mustBeBlack<T, i>(n, k)) & ~(... | mustBeWhite<T, i>(n, k));
    }
    (std::make_integer_sequence<int, T.rowCount * 3>());
}

// The rows of word k that row `row` of template T fills: a match at row y
// fills row y + dy when the cell (0, dy) is 'F'.
template <const HoleTemplate &T, int row>
inline quint64 fillCellWord(const quint64 *matches, qint32 k) {
    constexpr int dy = T.topRow + row;
    if constexpr (T.at(0, dy) == 'F')
        return shifted<-dy>(matches, k);
    else
        return 0;
}

// The rows of word k that the matches of T fill, taken across the words'
// edges. T fills only in column x (checked below).
template <const HoleTemplate &T>
inline quint64 fillWord(const quint64 *matches, qint32 k) {
    return [&]<int... row>(std::integer_sequence<int, row...>) {
        return (fillCellWord<T, row>(matches, k) | ...);
    }
    (std::make_integer_sequence<int, T.rowCount>());
}

// Whether the 'F' cells of t are exactly (0, 0) .. (0, lastRow).
constexpr bool fillsColumnDown(const HoleTemplate &t, int lastRow) {
    for (int dy = t.topRow; dy <= t.bottomRow(); ++dy)
        for (int dx = -1; dx <= 1; ++dx)
            if ((t.at(dx, dy) == 'F') != (dx == 0 && dy >= 0 && dy <= lastRow))
                return false;
    return true;
}

// The pass tries SingleHole, LeftNotch and RightNotch at a white pixel, and
// each fills just that pixel, so their matches are their fills. It tries
// VerticalGap where the pixel below is white too, and a gap fills both, one
// row further down than the rows tested. Each template asks for the white
// pixels it fills, so testing them again changes nothing.
static_assert(fillsColumnDown(SingleHole, 0) && fillsColumnDown(LeftNotch, 0) &&
              fillsColumnDown(RightNotch, 0) && fillsColumnDown(VerticalGap, 1));

// bouchtrou on column x, the reach checked: fills `WorkMask` and paints;
// whether anything was filled.
[[gnu::always_inline]] inline bool holeFillColumn(const PackedMask &mask, PackedMask &workMask,
                                                  Sheet &picture, KernelModel::Scratch &buffers,
                                                  qint32 x, qint32 y0, qint32 y1) {
    const Neighbourhood n{{mask.column(x - 1), mask.column(x), mask.column(x + 1)}};
    // Rows y0..y1 are tested, in words k0..kt; fills reach one row further
    // (a gap's lower half), so words k0..k1.
    const qint32 k0 = y0 / kBits;
    const qint32 kt = y1 / kBits;
    const qint32 k1 = (y1 + 1) / kBits;
    // The pixels filled and the gaps found, all zero outside the rows tested,
    // with a zero word before each.
    buffers.column.assign(size_t(mask.wordsPerColumn()) + 2, 0);
    buffers.more.assign(size_t(mask.wordsPerColumn()) + 2, 0);
    quint64 *fills = buffers.column.data() + 1;
    quint64 *gaps = buffers.more.data() + 1;

    for (qint32 k = k0; k <= kt; ++k) {
        // Both words are worked out before either is stored, as a store might
        // alias the mask for all the compiler knows.
        const quint64 white = ~n.column<0>()[k];
        const quint64 singles = white & (matchWord<SingleHole>(n, k) | matchWord<LeftNotch>(n, k) |
                                         matchWord<RightNotch>(n, k));
        const quint64 gap = white & matchWord<VerticalGap>(n, k);
        fills[k] = singles;
        gaps[k] = gap;
    }
    clipRows(fills, y0, y1);
    clipRows(gaps, y0, y1);

    // A gap found at row y fills y and y + 1.
    quint64 any = 0;
    for (qint32 k = k0; k <= k1; ++k) {
        fills[k] |= fillWord<VerticalGap>(gaps, k);
        any |= fills[k];
    }
    if (any == 0)
        return false;
    quint64 *work = workMask.column(x);
    for (qint32 k = k0; k <= k1; ++k)
        work[k] |= fills[k];
    paintRowsInline(picture, x, fills, k0, k1, true);
    return true;
}

// affine on column x, the reach checked: erases in `WorkMask` and paints;
// whether anything was erased.
[[gnu::always_inline]] inline bool spurRemovalColumn(const PackedMask &mask, PackedMask &workMask,
                                                     Sheet &picture, KernelModel::Scratch &buffers,
                                                     qint32 x, qint32 y0, qint32 y1) {
    const quint64 *l2 = mask.column(x - 2);
    const quint64 *l1 = mask.column(x - 1);
    const quint64 *m = mask.column(x);
    const quint64 *r1 = mask.column(x + 1);
    const quint64 *r2 = mask.column(x + 2);
    const qint32 k0 = y0 / kBits;
    const qint32 k1 = y1 / kBits;
    buffers.column.assign(size_t(mask.wordsPerColumn()), 0);
    quint64 *erased = buffers.column.data();

    for (qint32 k = k0; k <= k1; ++k) {
        const quint64 vertical =
            shifted<-2>(m, k) | shifted<-1>(m, k) | shifted<1>(m, k) | shifted<2>(m, k);
        const quint64 horizontal = l2[k] | l1[k] | r1[k] | r2[k];
        erased[k] = m[k] & ~(vertical & horizontal);
    }
    clipRows(erased, y0, y1);

    quint64 any = 0;
    for (qint32 k = k0; k <= k1; ++k)
        any |= erased[k];
    if (any == 0)
        return false;
    quint64 *work = workMask.column(x);
    for (qint32 k = k0; k <= k1; ++k)
        work[k] &= ~erased[k];
    paintRowsInline(picture, x, erased, k0, k1, false);
    return true;
}

// bouchtrou's and affine's columns are built for several instruction sets,
// the one used picked with the image scan form: the compiler's vectoriser
// does their word loops with wider registers where it may.
#define INK_COLUMN_LOOPS(suffix, target)                                                          \
    target bool holeFillColumn##suffix(const PackedMask &mask, PackedMask &work, Sheet &picture,  \
                                       KernelModel::Scratch &s, qint32 x, qint32 y0, qint32 y1) { \
        return holeFillColumn(mask, work, picture, s, x, y0, y1);                                 \
    }                                                                                             \
    target bool spurRemovalColumn##suffix(const PackedMask &mask, PackedMask &work,               \
                                          Sheet &picture, KernelModel::Scratch &s, qint32 x,      \
                                          qint32 y0, qint32 y1) {                                 \
        return spurRemovalColumn(mask, work, picture, s, x, y0, y1);                              \
    }

INK_COLUMN_LOOPS(Plain, )
#ifdef INK_X86_64
INK_COLUMN_LOOPS(Avx2, __attribute__((target("avx2"))))
INK_COLUMN_LOOPS(Avx512, __attribute__((target("avx512f,avx512bw"))))
#endif
#undef INK_COLUMN_LOOPS

#ifdef INK_X86_64
#define INK_PICK(name, ...)                         \
    (columnLoops == 2   ? name##Avx512(__VA_ARGS__) \
     : columnLoops == 1 ? name##Avx2(__VA_ARGS__)   \
                        : name##Plain(__VA_ARGS__))
#else
#define INK_PICK(name, ...) name##Plain(__VA_ARGS__)
#endif
}  // namespace

void HoleFillKernel::processColumn(KernelModel &model, qint32 x, qint32 y0, qint32 y1) {
    if (y1 < y0)
        return;
    const PackedMask &mask = model.Mask;
    if (!mask.contains(qint64(x) - 1, qint64(y0) + kHoleFillReachAbove) ||
        !mask.contains(qint64(x) + 1, qint64(y1) + kHoleFillReachBelow))
        throw RuntimeError::subscriptOutOfRange();

    copyColumn(model, x);
    if (INK_PICK(holeFillColumn, mask, model.WorkMask, model.picture, scratch(model), x, y0, y1))
        m_changed.push_back(x);
}

// --- affine -------------------------------------------------------------------

void SpurRemovalKernel::processColumn(KernelModel &model, qint32 x, qint32 y0, qint32 y1) {
    if (y1 < y0)
        return;
    const PackedMask &mask = model.Mask;
    if (!mask.contains(qint64(x) - 2, qint64(y0) - 2) ||
        !mask.contains(qint64(x) + 2, qint64(y1) + 2))
        throw RuntimeError::subscriptOutOfRange();

    copyColumn(model, x);
    if (INK_PICK(spurRemovalColumn, mask, model.WorkMask, model.picture, scratch(model), x, y0, y1))
        m_changed.push_back(x);
}

#undef INK_PICK

}  // namespace ink
