#pragma once

// The chain nb,bouchtrou,affine written with Leptonica, for bench_batch: its
// 1-bit rasters (32-bit words, the leftmost pixel in the top bit, rows one
// after another), its rasterops for the copies and merges, and for the hole
// templates and the support test the destination word accumulation that its
// code generator writes for a structuring element: one loop over the words
// of the raster per element, each word the AND (hit-or-miss) or OR (dilation)
// of the source words at the elements' offsets, shifted into place. Debian's
// package leaves out the text the generator fills in, so the same loops are
// made here, at compile time, from our own templates. Both forms of NB that
// the library offers are timed, and the faster kept.
//
// The mask is a (W + 1) x (H + 1) raster, with the passes' cells and ranges,
// inside a white border of 32 pixels on every side, so the loops read past
// the cells without tests, as the library's generated code does.

#include "core/ops/holefill.h"

#include <QImage>

#include <leptonica/allheaders.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <utility>

namespace lepchain {

constexpr int kBorder = 32;

// One cell of a structuring element: the pixel at (x + dx, y + dy).
struct Element {
    int dx;
    int dy;
};

// Word j of row `line`, shifted so that each pixel x reads pixel x + dx.
template <int dx>
inline l_uint32 at(const l_uint32 *line, int j) {
    if constexpr (dx > 0)
        return (line[j] << dx) | (line[j + 1] >> (32 - dx));
    else if constexpr (dx < 0)
        return (line[j] >> -dx) | (line[j - 1] << (32 + dx));
    else
        return line[j];
}

// The cells of hole template T with the given letters, as a list known at
// compile time.
template <const ink::HoleTemplate &T, char... letters>
struct Cells {
    static constexpr int count() {
        int n = 0;
        for (int dy = T.topRow; dy <= T.bottomRow(); ++dy)
            for (int dx = -1; dx <= 1; ++dx)
                n += ((T.at(dx, dy) == letters) || ...);
        return n;
    }
    static constexpr std::array<Element, std::max(count(), 1)> list() {
        std::array<Element, std::max(count(), 1)> cells{};
        int n = 0;
        for (int dy = T.topRow; dy <= T.bottomRow(); ++dy)
            for (int dx = -1; dx <= 1; ++dx)
                if (((T.at(dx, dy) == letters) || ...))
                    cells[size_t(n++)] = {dx, dy};
        return cells;
    }
};

// Hit-or-miss with template T over rows and words of the bordered raster:
// black on 'B' cells, white on 'W' and 'F' cells.
template <const ink::HoleTemplate &T>
void hitMiss(PIX *dst, PIX *src) {
    using Hits = Cells<T, 'B'>;
    using Misses = Cells<T, 'W', 'F'>;
    constexpr auto hits = Hits::list();
    constexpr auto misses = Misses::list();
    const int wpl = pixGetWpl(src);
    const int h = int(pixGetHeight(src));
    const l_uint32 *s = pixGetData(src);
    l_uint32 *d = pixGetData(dst);
    for (int y = kBorder; y < h - kBorder; ++y) {
        const l_uint32 *line = s + size_t(y) * size_t(wpl);
        l_uint32 *out = d + size_t(y) * size_t(wpl);
        for (int j = 1; j < wpl - 1; ++j) {
            out[j] = [&]<size_t... i, size_t... o>(std::index_sequence<i...>,
                                                   std::index_sequence<o...>) {
                return (... & at<hits[i].dx>(line + hits[i].dy * wpl, j)) &
                       ~(... | at<misses[o].dx>(line + misses[o].dy * wpl, j));
            }
            (std::make_index_sequence<size_t(Hits::count())>(),
             std::make_index_sequence<size_t(Misses::count())>());
        }
    }
}

// Dilation by the elements listed (symmetric, so no reflection needed).
template <const auto &elements>
void dilate(PIX *dst, PIX *src) {
    const int wpl = pixGetWpl(src);
    const int h = int(pixGetHeight(src));
    const l_uint32 *s = pixGetData(src);
    l_uint32 *d = pixGetData(dst);
    for (int y = kBorder; y < h - kBorder; ++y) {
        const l_uint32 *line = s + size_t(y) * size_t(wpl);
        l_uint32 *out = d + size_t(y) * size_t(wpl);
        for (int j = 1; j < wpl - 1; ++j)
            out[j] = [&]<size_t... i>(std::index_sequence<i...>) {
                return (... | at<elements[i].dx>(line + elements[i].dy * wpl, j));
            }
        (std::make_index_sequence<elements.size()>());
    }
}

// affine's support: ink one or two cells above or below, and one or two
// cells left or right.
inline constexpr std::array<Element, 4> kVertical{{{0, -2}, {0, -1}, {0, 1}, {0, 2}}};
inline constexpr std::array<Element, 4> kHorizontal{{{-2, 0}, {-1, 0}, {1, 0}, {2, 0}}};

// The scan as Leptonica holds a colour picture: red in the top byte.
inline PIX *colourPix(const QImage &scan) {
    const QImage rgb = scan.convertToFormat(QImage::Format_RGB32);
    PIX *pix = pixCreate(rgb.width(), rgb.height(), 32);
    for (int y = 0; y < rgb.height(); ++y) {
        const auto *in = reinterpret_cast<const QRgb *>(rgb.constScanLine(y));
        l_uint32 *out = pixGetData(pix) + size_t(y) * size_t(pixGetWpl(pix));
        for (int x = 0; x < rgb.width(); ++x)
            composeRGBPixel(qRed(in[x]), qGreen(in[x]), qBlue(in[x]), out + x);
    }
    return pix;
}

class Chain {
public:
    // `band`: NB by pixGenerateMaskByBand32, else by the largest channel
    // (pixConvertRGBToGrayMinMax) and pixThresholdToBinary.
    Chain(const QImage &scan, int limit) : Chain(colourPix(scan), limit) {}
    // Takes `picture`, a 32-bit colour PIX.
    Chain(PIX *picture, int limit)
        : m_w(int(pixGetWidth(picture))),
          m_h(int(pixGetHeight(picture))),
          m_limit(limit),
          m_picture(picture) {
        m_mask = pixCreate(m_w + 1 + 2 * kBorder, m_h + 1 + 2 * kBorder, 1);
        for (PIX *&p : m_temp)
            p = pixCreate(m_w + 1 + 2 * kBorder, m_h + 1 + 2 * kBorder, 1);
    }
    ~Chain() {
        pixDestroy(&m_picture);
        pixDestroy(&m_mask);
        for (PIX *&p : m_temp)
            pixDestroy(&p);
    }
    Chain(const Chain &) = delete;
    Chain &operator=(const Chain &) = delete;

    void useBand(bool band) { m_band = band; }
    void reset() { pixClearAll(m_mask); }
    bool at(int x, int y) const {
        l_uint32 v = 0;
        pixGetPixel(m_mask, x + kBorder, y + kBorder, &v);
        return v != 0;
    }

    // Columns 1..W, rows 2..H; column W and row H lie past the picture, where
    // no pixel reads as (0, 0, 0), black.
    void threshold() {
        PIX *black = nullptr;
        if (m_band) {
            // Each channel within [0, limit]: the band's middle and its reach
            // either way (a reach of 0 below would make it read the fractions).
            const int middle = m_limit / 2;
            l_uint32 reference = 0;
            composeRGBPixel(middle, middle, middle, &reference);
            black =
                pixGenerateMaskByBand32(m_picture, reference, middle, m_limit - middle, 0.0, 0.0);
        } else {
            PIX *largest = pixConvertRGBToGrayMinMax(m_picture, L_CHOOSE_MAX);
            black = pixThresholdToBinary(largest, m_limit + 1);
            pixDestroy(&largest);
        }
        pixRasterop(m_mask, kBorder + 1, kBorder + 2, m_w - 1, m_h - 2, PIX_SRC, black, 1, 2);
        pixDestroy(&black);
        pixRasterop(m_mask, kBorder + m_w, kBorder + 2, 1, m_h - 1, PIX_SET, nullptr, 0, 0);
        pixRasterop(m_mask, kBorder + 1, kBorder + m_h, m_w, 1, PIX_SET, nullptr, 0, 0);
    }

    // Pixels 3..W-4 x 3..H-4 tested; a gap also fills the row below.
    void holeFill() {
        hitMiss<ink::SingleHole>(m_temp[0], m_mask);
        hitMiss<ink::LeftNotch>(m_temp[1], m_mask);
        hitMiss<ink::RightNotch>(m_temp[2], m_mask);
        hitMiss<ink::VerticalGap>(m_temp[3], m_mask);
        pixOr(m_temp[0], m_temp[0], m_temp[1]);
        pixOr(m_temp[0], m_temp[0], m_temp[2]);
        pixOr(m_temp[0], m_temp[0], m_temp[3]);
        const int x = kBorder + 3, y = kBorder + 3;
        pixRasterop(m_mask, x, y, m_w - 6, m_h - 6, PIX_SRC | PIX_DST, m_temp[0], x, y);
        pixRasterop(m_mask, x, y + 1, m_w - 6, m_h - 6, PIX_SRC | PIX_DST, m_temp[3], x, y);
    }

    // Pixels 3..W-2 x 3..H-2.
    void spurRemoval() {
        dilate<kVertical>(m_temp[0], m_mask);
        dilate<kHorizontal>(m_temp[1], m_mask);
        pixAnd(m_temp[0], m_temp[0], m_temp[1]);
        const int x = kBorder + 3, y = kBorder + 3;
        pixRasterop(m_mask, x, y, m_w - 4, m_h - 4, PIX_SRC & PIX_DST, m_temp[0], x, y);
    }

    // The picture with the passes' paint: black or white by the mask on the
    // cells NB visits on the picture, the scan's pixels elsewhere. `inPlace`
    // paints the chain's own copy (for a job that is done with it).
    PIX *paintedPix(bool inPlace = false) {
        PIX *picture = inPlace ? pixClone(m_picture) : pixCopy(nullptr, m_picture);
        pixRasterop(picture, 1, 2, m_w - 1, m_h - 2, PIX_SET, nullptr, 0, 0);
        BOX *box = boxCreate(kBorder + 1, kBorder + 2, m_w - 1, m_h - 2);
        PIX *ink = pixClipRectangle(m_mask, box, nullptr);
        pixPaintThroughMask(picture, ink, 1, 2, 0);
        pixDestroy(&ink);
        boxDestroy(&box);
        return picture;
    }
    // The mask over the picture's own cells, 1 for ink.
    PIX *maskPix() const {
        BOX *box = boxCreate(kBorder, kBorder, m_w, m_h);
        PIX *mask = pixClipRectangle(m_mask, box, nullptr);
        boxDestroy(&box);
        return mask;
    }

    QImage painted() {
        PIX *picture = paintedPix();
        QImage image(m_w, m_h, QImage::Format_RGB32);
        for (int y = 0; y < m_h; ++y) {
            const l_uint32 *in = pixGetData(picture) + size_t(y) * size_t(pixGetWpl(picture));
            auto *out = reinterpret_cast<QRgb *>(image.scanLine(y));
            for (int x = 0; x < m_w; ++x) {
                l_int32 r, g, b;
                extractRGBValues(in[x], &r, &g, &b);
                out[x] = qRgb(r, g, b);
            }
        }
        pixDestroy(&picture);
        return image;
    }

private:
    int m_w, m_h, m_limit;
    bool m_band = true;
    PIX *m_picture = nullptr;
    PIX *m_mask = nullptr;
    PIX *m_temp[4] = {};
};

}  // namespace lepchain
