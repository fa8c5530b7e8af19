#include "core/ops/paper.h"

#include <cmath>
#include <memory>

namespace ink {

namespace {

// Blocks of the estimate: about 1/25 of the short side, at least 8 pixels.
int blockSize(int width, int height) {
    return std::max(8, std::min(width, height) / 25);
}

// The value that 90 % of the `n` pixels counted in `h` do not exceed.
int highValue(const std::uint32_t *h, std::uint32_t n) {
    const std::uint64_t wanted = (std::uint64_t(n) * 9 + 9) / 10;  // ceil(0.9 n)
    std::uint64_t seen = 0;
    for (int v = 0; v < 256; ++v) {
        seen += h[v];
        if (seen >= wanted)
            return v;
    }
    return 255;
}

// The median of the 3 x 3 blocks around each block, the edges repeated.
std::vector<float> median3x3(const std::vector<float> &grid, int gw, int gh) {
    std::vector<float> out(grid.size());
    for (int j = 0; j < gh; ++j)
        for (int i = 0; i < gw; ++i) {
            float v[9];
            int n = 0;
            for (int dj = -1; dj <= 1; ++dj)
                for (int di = -1; di <= 1; ++di)
                    v[n++] = grid[size_t(std::clamp(j + dj, 0, gh - 1)) * size_t(gw) +
                                  size_t(std::clamp(i + di, 0, gw - 1))];
            std::nth_element(v, v + 4, v + 9);
            out[size_t(j) * size_t(gw) + size_t(i)] = v[4];
        }
    return out;
}

}  // namespace

PaperEstimate estimatePaper(const QImage &picture) {
    PaperEstimate paper;
    if (picture.isNull())
        return paper;
    const int width = picture.width();
    const int height = picture.height();
    const int b = blockSize(width, height);
    const int gw = (width + b - 1) / b;
    const int gh = (height + b - 1) / b;

    // One row of blocks at a time: their histograms, then their 90 % values.
    std::vector<float> grid[3];
    for (auto &g : grid)
        g.resize(size_t(gw) * size_t(gh));
    std::vector<std::uint32_t> counts(size_t(gw) * 3 * 256);
    const bool direct = picture.format() == QImage::Format_RGB32;
    for (int j = 0; j < gh; ++j) {
        std::fill(counts.begin(), counts.end(), 0u);
        const int y0 = j * b;
        const int rows = std::min(b, height - y0);
        QImage band;
        if (!direct)
            band = picture.copy(0, y0, width, rows).convertToFormat(QImage::Format_RGB32);
        for (int r = 0; r < rows; ++r) {
            const QRgb *row = reinterpret_cast<const QRgb *>(direct ? picture.constScanLine(y0 + r)
                                                                    : band.constScanLine(r));
            for (int x = 0; x < width; ++x) {
                std::uint32_t *h = counts.data() + size_t(x / b) * 3 * 256;
                const QRgb p = row[x];
                ++h[qRed(p)];
                ++h[256 + qGreen(p)];
                ++h[512 + qBlue(p)];
            }
        }
        for (int i = 0; i < gw; ++i) {
            const std::uint32_t n = std::uint32_t(std::min(b, width - i * b) * rows);
            for (int c = 0; c < 3; ++c)
                grid[c][size_t(j) * size_t(gw) + size_t(i)] =
                    float(highValue(counts.data() + (size_t(i) * 3 + size_t(c)) * 256, n));
        }
    }

    paper.width = width;
    paper.height = height;
    paper.cellsX = (width + PaperEstimate::kCell - 1) / PaperEstimate::kCell;
    paper.cellsY = (height + PaperEstimate::kCell - 1) / PaperEstimate::kCell;
    paper.cells.resize(size_t(paper.cellsX) * size_t(paper.cellsY) * 3);
    for (int c = 0; c < 3; ++c) {
        const std::vector<float> g = median3x3(grid[c], gw, gh);
        const float brightest = *std::max_element(g.begin(), g.end());
        paper.brightest[size_t(c)] = std::max(1, int(std::lround(brightest)));
        // Bilinear between block centres, at each cell's centre.
        const auto at = [&](int i, int j) { return g[size_t(j) * size_t(gw) + size_t(i)]; };
        for (int cy = 0; cy < paper.cellsY; ++cy) {
            const int y =
                std::min(cy * PaperEstimate::kCell + PaperEstimate::kCell / 2, height - 1);
            const float fy = (float(y) + 0.5f) / float(b) - 0.5f;
            const int j0 = std::clamp(int(std::floor(fy)), 0, gh - 1);
            const int j1 = std::min(j0 + 1, gh - 1);
            const float wy = std::clamp(fy - float(j0), 0.0f, 1.0f);
            for (int cx = 0; cx < paper.cellsX; ++cx) {
                const int x =
                    std::min(cx * PaperEstimate::kCell + PaperEstimate::kCell / 2, width - 1);
                const float fx = (float(x) + 0.5f) / float(b) - 0.5f;
                const int i0 = std::clamp(int(std::floor(fx)), 0, gw - 1);
                const int i1 = std::min(i0 + 1, gw - 1);
                const float wx = std::clamp(fx - float(i0), 0.0f, 1.0f);
                const float top = at(i0, j0) * (1 - wx) + at(i1, j0) * wx;
                const float bottom = at(i0, j1) * (1 - wx) + at(i1, j1) * wx;
                const int v = int(std::lround(top * (1 - wy) + bottom * wy));
                paper.cells[(size_t(cy) * size_t(paper.cellsX) + size_t(cx)) * 3 + size_t(c)] =
                    quint8(std::clamp(v, 1, paper.brightest[size_t(c)]));
            }
        }
    }
    return paper;
}

QImage evenedPicture(const QImage &picture, const PaperEstimate &paper) {
    QImage out = picture.convertToFormat(QImage::Format_RGB32);
    if (paper.isNull() || out.isNull())
        return out;
    const auto &P = paper.brightest;
    for (int y = 0; y < out.height(); ++y) {
        QRgb *row = reinterpret_cast<QRgb *>(out.scanLine(y));
        for (int x = 0; x < out.width(); ++x) {
            const QRgb p = row[x];
            row[x] = qRgb(evenedValue(qRed(p), paper.at(0, x, y), P[0]),
                          evenedValue(qGreen(p), paper.at(1, x, y), P[1]),
                          evenedValue(qBlue(p), paper.at(2, x, y), P[2]));
        }
    }
    return out;
}

}  // namespace ink
