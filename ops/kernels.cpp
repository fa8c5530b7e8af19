#include "ops/kernels.h"

#include <algorithm>
#include <cmath>
#include <cstring>

// The loops below are written for the compiler's vectoriser. Where wider
// registers pay (the image scan), a function is built twice, for AVX2 and for
// the x86-64 baseline, and the loader picks the one the processor runs.
#if defined(__x86_64__) && defined(__GNUC__) && !defined(__clang__)
#define INK_VECTOR_CLONES __attribute__((target_clones("avx2", "default")))
#else
#define INK_VECTOR_CLONES
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
    const qint32 last = std::min(k1, picture.painted().wordsPerColumn() - 1);
    quint64 *painted = picture.painted().column(x);
    quint64 *colour = picture.black().column(x);
    for (qint32 k = k0; k <= last; ++k) {
        const quint64 c = changes[k] & PackedMask::rowBits(k, 0, picture.height() - 1);
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

// Packs eight 0/1 bytes into eight bits, the first byte in the lowest bit.
inline quint64 packBytes(const quint8 *bytes) {
    quint64 v;
    std::memcpy(&v, bytes, 8);
    return (v * 0x0102040810204080ull) >> 56;
}

// Classifies `count` pixels of an image row, 64 per word of `words` (bit i of
// word g is pixel 64 * g + i): 1 when each channel is at most its limit.
// `skip[g]` leaves word g at 0 without reading its pixels.
INK_VECTOR_CLONES
void classifyRow(const QRgb *pixels, qint32 count, const bool *skip, quint32 red, quint32 green,
                 quint32 blue, quint64 *words) {
    alignas(64) quint8 black[kBits];
    for (qint32 g = 0; g * kBits < count; ++g) {
        if (skip[g]) {
            words[g] = 0;
            continue;
        }
        const QRgb *p = pixels + g * kBits;
        const int n = std::min(kBits, count - g * kBits);
        if (n == kBits) {
            for (int i = 0; i < kBits; ++i) {
                const quint32 v = p[i];
                black[i] = quint8(((v >> 16) & 0xFF) <= red) & quint8(((v >> 8) & 0xFF) <= green) &
                           quint8((v & 0xFF) <= blue);
            }
        } else {
            std::memset(black, 0, sizeof black);
            for (int i = 0; i < n; ++i) {
                const quint32 v = p[i];
                black[i] = quint8(((v >> 16) & 0xFF) <= red) & quint8(((v >> 8) & 0xFF) <= green) &
                           quint8((v & 0xFF) <= blue);
            }
        }
        quint64 w = 0;
        for (int b = 0; b < kBits / 8; ++b)
            w |= packBytes(black + 8 * b) << (8 * b);
        words[g] = w;
    }
}

}  // namespace

void KernelModel::load(QImage image) {
    picture.setImage(std::move(image));
    Mask.allocate(picture.width(), picture.height());
    WorkMask.allocate(picture.width(), picture.height());
}

void KernelOperation::passStart(Module1 &) {
    m_model.WorkMask.assign(m_model.Mask);
}

void KernelOperation::copyBack(Module1 &) {
    m_model.Mask.assign(m_model.WorkMask);
}

// --- NB ---------------------------------------------------------------------

ThresholdKernel::ThresholdKernel(KernelModel &model, Thresholds thresholds)
    : KernelOperation(model),
      m_redLimit(thresholdLimit(thresholds.red)),
      m_greenLimit(thresholdLimit(thresholds.green)),
      m_blueLimit(thresholdLimit(thresholds.blue)),
      m_zeroIsBlack(m_redLimit >= 0 && m_greenLimit >= 0 && m_blueLimit >= 0),
      m_whiteIsBlack(m_redLimit == 255 && m_greenLimit == 255 && m_blueLimit == 255) {}

void ThresholdKernel::passStart(Module1 &module) {
    KernelOperation::passStart(module);
    m_bandFirst = 0;
    m_bandLast = -1;
}

void ThresholdKernel::classifyBand(qint32 x0, qint32 x1) {
    const PaintedSurface &picture = m_model.picture;
    const qint32 words = m_model.WorkMask.wordsPerColumn();
    const qint32 columns = x1 - x0 + 1;
    m_band.assign(size_t(columns) * size_t(words), 0);
    m_bandFirst = x0;
    m_bandLast = x1;
    // With a limit below 0 nothing is black, not even a missing pixel.
    if (!m_zeroIsBlack)
        return;

    // Off the picture (a column or row past its edge) a pixel reads as
    // (0, 0, 0), which is black here.
    const qint32 onPicture = std::clamp(picture.width() - x0, 0, columns);
    std::fill(m_band.begin() + qsizetype(onPicture) * words, m_band.end(), kAll);
    if (onPicture == 0)
        return;

    const qint32 groups = (onPicture + kBits - 1) / kBits;
    std::vector<quint64> rowWords(size_t(groups) * kBits);
    bool skip[(kBandColumns + kBits - 1) / kBits];
    quint64 tile[kBits];
    const quint64 paintedBlack = m_zeroIsBlack ? kAll : 0;
    const quint64 paintedWhite = m_whiteIsBlack ? kAll : 0;

    for (qint32 k = 0; k < words; ++k) {
        const qint32 y0 = k * kBits;
        const int rows = std::clamp(picture.height() - y0, 0, kBits);
        const quint64 onRows = rows == 0 ? 0 : PackedMask::rowBits(k, y0, y0 + rows - 1);

        // A tile whose pixels were all painted needs no image pixel.
        for (qint32 g = 0; g < groups; ++g) {
            quint64 unpainted = 0;
            const qint32 c0 = x0 + g * kBits;
            const int n = std::min(kBits, onPicture - g * kBits);
            for (int i = 0; i < n && rows > 0; ++i)
                unpainted |= ~picture.painted().column(c0 + i)[k] & onRows;
            skip[g] = unpainted == 0;
        }
        for (int j = 0; j < rows; ++j)
            classifyRow(picture.originalRow(y0 + j) + x0, onPicture, skip, quint32(m_redLimit),
                        quint32(m_greenLimit), quint32(m_blueLimit),
                        rowWords.data() + size_t(j) * groups);

        for (qint32 g = 0; g < groups; ++g) {
            for (int j = 0; j < kBits; ++j)
                tile[j] = j < rows ? rowWords[size_t(j) * groups + g] : 0;
            transposeBits(tile);
            const qint32 c0 = x0 + g * kBits;
            const int n = std::min(kBits, onPicture - g * kBits);
            for (int i = 0; i < n; ++i) {
                quint64 p = 0;
                quint64 b = 0;
                if (rows > 0) {
                    p = picture.painted().column(c0 + i)[k];
                    b = picture.black().column(c0 + i)[k];
                }
                const quint64 current =
                    (tile[i] & ~p) | (p & ((b & paintedBlack) | (~b & paintedWhite)));
                m_band[size_t(c0 + i - x0) * words + k] = (current & onRows) | ~onRows;
            }
        }
    }
}

void ThresholdKernel::processColumn(Module1 &, PixelSurface &, qint32 x, qint32 y0, qint32 y1) {
    if (y1 < y0)
        return;
    PackedMask &work = m_model.WorkMask;
    if (!work.contains(x, y0) || !work.contains(x, y1))
        throw RuntimeError::subscriptOutOfRange();
    if (x < m_bandFirst || x > m_bandLast)
        classifyBand(x, std::min(x + kBandColumns - 1, work.upperX()));
    const quint64 *black = m_band.data() + size_t(x - m_bandFirst) * work.wordsPerColumn();
    mergeRows(work.column(x), black, y0, y1);

    // Every visited pixel on the picture is painted, in the colour just decided.
    PaintedSurface &picture = m_model.picture;
    const qint64 lastRow = std::min<qint64>(y1, picture.height() - 1);
    if (x < picture.width() && lastRow >= y0) {
        quint64 *painted = picture.painted().column(x);
        const qint32 k0 = y0 / kBits;
        const qint32 k1 = qint32(lastRow / kBits);
        for (qint32 k = k0; k <= k1; ++k)
            painted[k] |= PackedMask::rowBits(k, y0, lastRow);
        mergeRows(picture.black().column(x), black, y0, lastRow);
    }
}

// --- bouchtrou ----------------------------------------------------------------

void HoleFillKernel::processColumn(Module1 &, PixelSurface &, qint32 x, qint32 y0, qint32 y1) {
    if (y1 < y0)
        return;
    const PackedMask &mask = m_model.Mask;
    if (!mask.contains(qint64(x) - 1, qint64(y0) - 2) ||
        !mask.contains(qint64(x) + 1, qint64(y1) + 3))
        throw RuntimeError::subscriptOutOfRange();

    const quint64 *l = mask.column(x - 1);
    const quint64 *m = mask.column(x);
    const quint64 *r = mask.column(x + 1);
    // Fills reach one row below the last row tested (a gap's lower half).
    const qint32 k0 = y0 / kBits;
    const qint32 k1 = (y1 + 1) / kBits;
    m_gaps.assign(size_t(mask.wordsPerColumn()) + 2, 0);
    quint64 *gaps = m_gaps.data() + 1;
    m_fills.assign(size_t(mask.wordsPerColumn()) + 2, 0);
    quint64 *fills = m_fills.data() + 1;

    for (qint32 k = k0; k <= k1; ++k) {
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
    quint64 *work = m_model.WorkMask.column(x);
    for (qint32 k = k0; k <= k1; ++k) {
        fills[k] |= gaps[k] | (gaps[k] << 1) | (gaps[k - 1] >> 63);
        work[k] |= fills[k];
    }
    paintRows(m_model.picture, x, fills, k0, k1, true);
}

// --- affine -------------------------------------------------------------------

void SpurRemovalKernel::processColumn(Module1 &, PixelSurface &, qint32 x, qint32 y0, qint32 y1) {
    if (y1 < y0)
        return;
    const PackedMask &mask = m_model.Mask;
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
    m_erased.assign(size_t(mask.wordsPerColumn()), 0);
    quint64 *erased = m_erased.data();

    for (qint32 k = k0; k <= k1; ++k) {
        const quint64 vertical = up2(m, k) | up1(m, k) | down1(m, k) | down2(m, k);
        const quint64 horizontal = l2[k] | l1[k] | r1[k] | r2[k];
        erased[k] = m[k] & ~(vertical & horizontal);
    }
    clipRows(erased, y0, y1);

    quint64 *work = m_model.WorkMask.column(x);
    for (qint32 k = k0; k <= k1; ++k)
        work[k] &= ~erased[k];
    paintRows(m_model.picture, x, erased, k0, k1, false);
}

}  // namespace ink
