#include "ops/kernels.h"

#include <algorithm>
#include <cmath>
#include <cstring>

// The word loops below are left to the compiler's vectoriser. The image scan
// compares four bytes of a pixel at once and gathers one bit per pixel, which
// the vectoriser does not find: it is written with SSE2 (every x86-64 has it)
// and with AVX2, chosen once at run time; elsewhere it falls back to plain code.
#if defined(__x86_64__) && defined(__GNUC__)
#include <immintrin.h>
#define INK_X86_64 1
#endif

namespace ink {

namespace {

constexpr int kBits = PackedMask::kBits;
constexpr quint64 kAll = ~quint64(0);

// Rows y - 1, y - 2 (above) and y + 1, y + 2, y + 3 (below) of each row y of
// word `w`, taking the missing rows from the neighbouring words.
inline quint64 up1(const quint64 *w, qint32 k) {
    return (w[k] << 1) | (w[k - 1] >> 63);
}
inline quint64 up2(const quint64 *w, qint32 k) {
    return (w[k] << 2) | (w[k - 1] >> 62);
}
inline quint64 down1(const quint64 *w, qint32 k) {
    return (w[k] >> 1) | (w[k + 1] << 63);
}
inline quint64 down2(const quint64 *w, qint32 k) {
    return (w[k] >> 2) | (w[k + 1] << 62);
}
inline quint64 down3(const quint64 *w, qint32 k) {
    return (w[k] >> 3) | (w[k + 1] << 61);
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

// Paints the rows set in words k0..k1 of `changes` in column x: black or
// white in the paint layers, on the picture's own rows only.
void paintRows(PaintedSurface &picture, qint32 x, const quint64 *changes, qint32 k0, qint32 k1,
               bool black) {
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

quint64 classifyTail(const QRgb *p, int n, quint32 limits) {
    quint64 w = 0;
    for (int i = 0; i < n; ++i) {
        const bool black = (p[i] & 0xFF) <= (limits & 0xFF) &&
                           ((p[i] >> 8) & 0xFF) <= ((limits >> 8) & 0xFF) &&
                           ((p[i] >> 16) & 0xFF) <= ((limits >> 16) & 0xFF);
        w |= quint64(black) << i;
    }
    return w;
}

// Classifies `count` pixels of an image row, 64 per word of `words` (bit i of
// word g is pixel 64 * g + i). skip[g] leaves word g at 0 unread.
using ClassifyRow = void (*)(const QRgb *, qint32, const quint8 *, quint32, quint64 *);

void classifyRowPlain(const QRgb *pixels, qint32 count, const quint8 *skip, quint32 limits,
                      quint64 *words) {
    for (qint32 g = 0; g * kBits < count; ++g)
        words[g] =
            skip[g] ? 0
                    : classifyTail(pixels + g * kBits, std::min(kBits, count - g * kBits), limits);
}

#ifdef INK_X86_64
void classifyRowSse2(const QRgb *pixels, qint32 count, const quint8 *skip, quint32 limits,
                     quint64 *words) {
    const __m128i limit = _mm_set1_epi32(int(limits));
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
            const __m128i black = _mm_cmpeq_epi32(_mm_subs_epu8(v, limit), zero);
            w |= quint64(_mm_movemask_ps(_mm_castsi128_ps(black))) << i;
        }
        words[g] = w;
    }
    if (full * kBits < count)
        words[full] =
            skip[full] ? 0 : classifyTail(pixels + full * kBits, count - full * kBits, limits);
}

__attribute__((target("avx2"))) void classifyRowAvx2(const QRgb *pixels, qint32 count,
                                                     const quint8 *skip, quint32 limits,
                                                     quint64 *words) {
    const __m256i limit = _mm256_set1_epi32(int(limits));
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
            const __m256i black = _mm256_cmpeq_epi32(_mm256_subs_epu8(v, limit), zero);
            w |= quint64(quint32(_mm256_movemask_ps(_mm256_castsi256_ps(black)))) << i;
        }
        words[g] = w;
    }
    if (full * kBits < count)
        words[full] =
            skip[full] ? 0 : classifyTail(pixels + full * kBits, count - full * kBits, limits);
}
#endif

struct ScanForm {
    const char *name;
    ClassifyRow function;
};

std::vector<ScanForm> scanForms() {
    std::vector<ScanForm> forms;
#ifdef INK_X86_64
    __builtin_cpu_init();
    if (__builtin_cpu_supports("avx2"))
        forms.push_back({"avx2", classifyRowAvx2});
    forms.push_back({"sse2", classifyRowSse2});
#endif
    forms.push_back({"plain", classifyRowPlain});
    return forms;
}

ClassifyRow classifyRow = scanForms().front().function;

}  // namespace

QStringList imageScanForms() {
    QStringList names;
    for (const ScanForm &form : scanForms())
        names << QLatin1String(form.name);
    return names;
}

void useImageScanForm(const QString &name) {
    for (const ScanForm &form : scanForms()) {
        if (name == QLatin1String(form.name))
            classifyRow = form.function;
    }
}

void KernelOperation::passStart(KernelModel &model) {
    model.WorkMask.assign(model.Mask);
    m_changed.clear();
}

void KernelOperation::copyBack(KernelModel &model) {
    if (!m_changesOnly) {
        model.Mask.assign(model.WorkMask);
        return;
    }
    // Both masks were equal at the pass start; only these columns moved apart.
    const size_t bytes = size_t(model.WorkMask.wordsPerColumn()) * sizeof(quint64);
    for (const qint32 x : m_changed)
        std::memcpy(model.Mask.column(x), model.WorkMask.column(x), bytes);
}

// --- NB ---------------------------------------------------------------------

ThresholdKernel::ThresholdKernel(Thresholds thresholds)
    : KernelOperation(false),
      m_redLimit(thresholdLimit(thresholds.red)),
      m_greenLimit(thresholdLimit(thresholds.green)),
      m_blueLimit(thresholdLimit(thresholds.blue)),
      m_zeroIsBlack(m_redLimit >= 0 && m_greenLimit >= 0 && m_blueLimit >= 0),
      m_whiteIsBlack(m_redLimit == 255 && m_greenLimit == 255 && m_blueLimit == 255),
      m_limits(m_zeroIsBlack ? packedLimits(m_redLimit, m_greenLimit, m_blueLimit) : 0) {}

void ThresholdKernel::passStart(KernelModel &model) {
    KernelOperation::passStart(model);
    m_bandFirst = 0;
    m_bandLast = -1;
}

void ThresholdKernel::classifyBand(KernelModel &model, qint32 x0, qint32 x1) {
    const PaintedSurface &picture = model.picture;
    const qint32 words = model.WorkMask.wordsPerColumn();
    const qint32 layerWords = picture.painted().wordsPerColumn();
    const qint32 columns = x1 - x0 + 1;
    const qint32 groups = (columns + kBits - 1) / kBits;
    KernelModel::Scratch &scratch = model.scratch;
    scratch.band.resize(size_t(groups) * size_t(words) * kBits);
    m_bandFirst = x0;
    m_bandLast = x1;

    // A tile of 64 x 64 pixels that were all painted needs no image pixel.
    scratch.skip.assign(size_t(words) * size_t(groups), 1);
    for (qint32 c = x0; c <= x1; ++c) {
        const quint64 *painted = picture.painted().column(c);
        const qint32 g = (c - x0) / kBits;
        for (qint32 k = 0; k < layerWords; ++k) {
            const quint64 onRows =
                k + 1 < layerWords ? kAll : PackedMask::rowBits(k, 0, picture.height() - 1);
            if (~painted[k] & onRows)
                scratch.skip[size_t(k) * groups + g] = 0;
        }
    }

    // Rows are read 64 at a time, each across the whole band; the 64 x 64 bit
    // tiles so gathered are turned into column words.
    scratch.rowWords.resize(size_t(groups) * kBits);
    quint64 tile[kBits];
    for (qint32 k = 0; k < layerWords; ++k) {
        const qint32 y0 = k * kBits;
        const int rows = std::min(kBits, picture.height() - y0);
        const quint8 *skip = scratch.skip.data() + size_t(k) * groups;
        for (int j = 0; j < rows; ++j)
            classifyRow(picture.originalRow(y0 + j) + x0, columns, skip, m_limits,
                        scratch.rowWords.data() + size_t(j) * groups);
        for (qint32 g = 0; g < groups; ++g) {
            if (skip[g]) {
                std::memset(bandTile(model, g, k), 0, sizeof tile);
                continue;
            }
            for (int j = 0; j < kBits; ++j)
                tile[j] = j < rows ? scratch.rowWords[size_t(j) * groups + g] : 0;
            transposeBits(tile);
            std::memcpy(bandTile(model, g, k), tile, sizeof tile);
        }
    }
}

void ThresholdKernel::processColumn(KernelModel &model, qint32 x, qint32 y0, qint32 y1) {
    if (y1 < y0)
        return;
    PackedMask &work = model.WorkMask;
    if (!work.contains(x, y0) || !work.contains(x, y1))
        throw RuntimeError::subscriptOutOfRange();
    PaintedSurface &picture = model.picture;
    const qint32 k0 = y0 / kBits;
    const qint32 k1 = y1 / kBits;
    model.scratch.column.resize(size_t(work.wordsPerColumn()));
    quint64 *black = model.scratch.column.data();

    if (!m_zeroIsBlack) {
        // A limit below 0: nothing is black, not even a missing pixel.
        std::fill(black + k0, black + k1 + 1, 0);
    } else if (x >= picture.width()) {
        std::fill(black + k0, black + k1 + 1, kAll);  // no pixel reads as (0, 0, 0)
    } else {
        if (x < m_bandFirst || x > m_bandLast)
            classifyBand(model, x, std::min(x + kBandColumns - 1, picture.width() - 1));
        // The loaded image's pixels, or the colour painted over them. The
        // band's words of column x are one per tile, kBits words apart.
        const qint32 c = x - m_bandFirst;
        const quint64 *image = bandTile(model, c / kBits, 0) + c % kBits;
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

void HoleFillKernel::processColumn(KernelModel &model, qint32 x, qint32 y0, qint32 y1) {
    if (y1 < y0)
        return;
    const PackedMask &mask = model.Mask;
    if (!mask.contains(qint64(x) - 1, qint64(y0) - 2) ||
        !mask.contains(qint64(x) + 1, qint64(y1) + 3))
        throw RuntimeError::subscriptOutOfRange();

    const quint64 *l = mask.column(x - 1);
    const quint64 *m = mask.column(x);
    const quint64 *r = mask.column(x + 1);
    // Rows y0..y1 are tested, in words k0..kt; fills reach one row further
    // (a gap's lower half), so words k0..k1.
    const qint32 k0 = y0 / kBits;
    const qint32 kt = y1 / kBits;
    const qint32 k1 = (y1 + 1) / kBits;
    // The pixels filled and the gaps found, all zero outside the rows tested,
    // with a zero word before each.
    model.scratch.column.assign(size_t(mask.wordsPerColumn()) + 2, 0);
    model.scratch.more.assign(size_t(mask.wordsPerColumn()) + 2, 0);
    quint64 *fills = model.scratch.column.data() + 1;
    quint64 *gaps = model.scratch.more.data() + 1;

    for (qint32 k = k0; k <= kt; ++k) {
        const quint64 white = ~m[k];
        // The stroke above and below: rows y - 2, y - 1, y + 1, y + 2.
        const quint64 column = up2(m, k) & up1(m, k) & down1(m, k) & down2(m, k);
        const quint64 singleHole = white & up1(m, k) & down1(m, k) & l[k] & r[k];
        const quint64 leftNotch =
            white & column & up1(r, k) & r[k] & down1(r, k) & ~up1(l, k) & ~l[k] & ~down1(l, k);
        const quint64 rightNotch =
            white & column & up1(l, k) & l[k] & down1(l, k) & ~up1(r, k) & ~r[k] & ~down1(r, k);
        const quint64 sides = up2(l, k) & up1(l, k) & down2(l, k) & down3(l, k) & up2(r, k) &
                              up1(r, k) & down2(r, k) & down3(r, k);
        const quint64 gap =
            white & ~down1(m, k) & up2(m, k) & up1(m, k) & down2(m, k) & down3(m, k) & sides;
        fills[k] = singleHole | leftNotch | rightNotch;
        gaps[k] = gap;
    }
    clipRows(fills, y0, y1);
    clipRows(gaps, y0, y1);

    // A gap found at row y fills y and y + 1.
    quint64 any = 0;
    for (qint32 k = k0; k <= k1; ++k) {
        fills[k] |= gaps[k] | (gaps[k] << 1) | (gaps[k - 1] >> 63);
        any |= fills[k];
    }
    if (any == 0)
        return;
    quint64 *work = model.WorkMask.column(x);
    for (qint32 k = k0; k <= k1; ++k)
        work[k] |= fills[k];
    m_changed.push_back(x);
    paintRows(model.picture, x, fills, k0, k1, true);
}

// --- affine -------------------------------------------------------------------

void SpurRemovalKernel::processColumn(KernelModel &model, qint32 x, qint32 y0, qint32 y1) {
    if (y1 < y0)
        return;
    const PackedMask &mask = model.Mask;
    if (!mask.contains(qint64(x) - 2, qint64(y0) - 2) ||
        !mask.contains(qint64(x) + 2, qint64(y1) + 2))
        throw RuntimeError::subscriptOutOfRange();

    const quint64 *l2 = mask.column(x - 2);
    const quint64 *l1 = mask.column(x - 1);
    const quint64 *m = mask.column(x);
    const quint64 *r1 = mask.column(x + 1);
    const quint64 *r2 = mask.column(x + 2);
    const qint32 k0 = y0 / kBits;
    const qint32 k1 = y1 / kBits;
    model.scratch.column.assign(size_t(mask.wordsPerColumn()), 0);
    quint64 *erased = model.scratch.column.data();

    for (qint32 k = k0; k <= k1; ++k) {
        const quint64 vertical = up2(m, k) | up1(m, k) | down1(m, k) | down2(m, k);
        const quint64 horizontal = l2[k] | l1[k] | r1[k] | r2[k];
        erased[k] = m[k] & ~(vertical & horizontal);
    }
    clipRows(erased, y0, y1);

    quint64 any = 0;
    for (qint32 k = k0; k <= k1; ++k)
        any |= erased[k];
    if (any == 0)
        return;
    quint64 *work = model.WorkMask.column(x);
    for (qint32 k = k0; k <= k1; ++k)
        work[k] &= ~erased[k];
    m_changed.push_back(x);
    paintRows(model.picture, x, erased, k0, k1, false);
}

}  // namespace ink
