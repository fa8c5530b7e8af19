#pragma once

// How bright the paper is under each part of a scan, channel by channel, and
// NB's local rule built on it.
//
// A page lit unevenly (a gutter shadow, a photographed sheet, page curl) has
// darker paper on one side: one threshold turns that side black. Local NB
// compares each channel as it would read on the brightest paper of the page:
// the value v under paper p is "evened" to v * P / p, P the brightest paper,
// and NB's rule is then applied to the evened values. On evenly lit paper
// p = P and nothing changes; in a shadow the same box numbers mean the same.
//
// The estimate: the picture is cut into blocks of about 1/25 of its short
// side; in each block, per channel, the value that 90 % of the block's pixels
// do not exceed stands for its paper (ink rarely covers a tenth of a block).
// A 3 x 3 median over the blocks drops blocks that are mostly ink. The value
// is then interpolated between block centres and kept per cell of 8 x 8
// pixels, so that a pass can look it up cheaply and the kernels can compare
// each cell against limits of its own.

#include <QImage>

#include <algorithm>
#include <array>
#include <vector>

namespace ink {

struct PaperEstimate {
    static constexpr int kCell = 8;

    int width = 0;  // the picture's size
    int height = 0;
    int cellsX = 0;  // ceil(width / kCell)
    int cellsY = 0;
    std::array<int, 3> brightest{255, 255, 255};  // P: red, green, blue
    // Per cell, row by row of cells: red, green, blue, each 1..255.
    std::vector<quint8> cells;

    bool isNull() const { return cells.empty(); }
    // The paper of `channel` (0 red, 1 green, 2 blue) at pixel (x, y); outside
    // the picture, that of the nearest cell.
    int at(int channel, int x, int y) const {
        const int cx = std::clamp(x / kCell, 0, cellsX - 1);
        const int cy = std::clamp(y / kCell, 0, cellsY - 1);
        return cells[(size_t(cy) * size_t(cellsX) + size_t(cx)) * 3 + size_t(channel)];
    }
};

// The paper of `picture`, from its pixels. A null picture gives a null
// estimate.
PaperEstimate estimatePaper(const QImage &picture);

// v (0..255) under paper `paper` as it would read under the brightest paper
// `brightest`: round(v * brightest / paper), at most 255.
inline int evenedValue(int v, int paper, int brightest) {
    const int e = (2 * v * brightest + paper) / (2 * paper);
    return e < 255 ? e : 255;
}

// The picture with every channel evened: what local NB compares, and what
// the histograms show with the local rule on.
QImage evenedPicture(const QImage &picture, const PaperEstimate &paper);

}  // namespace ink
