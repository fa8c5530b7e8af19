#include "core/ops/kernels.h"

#include <algorithm>
#include <bit>

namespace ink {

namespace {

constexpr int kBits = PackedMask::kBits;

}  // namespace

// The runs of the picture's columns, one after another: column x's are
// first[x] .. first[x + 1] - 1, from row 0 down, black and white in turn.
struct DespeckleKernel::Regions {
    qint32 width = 0;
    qint32 height = 0;
    std::vector<qint32> first;       // per column, and one past the last
    std::vector<quint8> blackFirst;  // per column: whether its first run is black
    std::vector<qint32> start;       // per run: its first row
    std::vector<quint8> changed;     // per run: flipped by the pass

    qint32 end(qint32 x, qint32 r) const {  // one past the run's last row
        return r + 1 < first[size_t(x) + 1] ? start[size_t(r) + 1] : height;
    }
    bool black(qint32 x, qint32 r) const {
        return (blackFirst[size_t(x)] ^ (r - first[size_t(x)])) & 1;
    }
};

void DespeckleKernel::passStart(KernelModel &model) {
    KernelOperation::passStart(model);
    m_regions.reset();
    const qint32 w = model.picture.width();
    const qint32 h = model.picture.height();
    if (w < 1 || h < 1)
        return;
    const PackedMask &mask = model.Mask;
    if (!mask.contains(w - 1, h - 1))
        throw RuntimeError::subscriptOutOfRange();

    auto regions = allocating([] { return std::make_shared<Regions>(); });
    Regions &g = *regions;
    g.width = w;
    g.height = h;
    const qint32 words = (h + kBits - 1) / kBits;
    const quint64 lastRows = PackedMask::rowBits(words - 1, 0, h - 1);

    // The runs: a run starts at row 0 and wherever a cell differs from the
    // one above it.
    allocating([&] {
        g.first.resize(size_t(w) + 1);
        g.blackFirst.resize(size_t(w));
        g.start.clear();
        g.start.reserve(size_t(w) * 8);
        for (qint32 x = 0; x < w; ++x) {
            const quint64 *c = mask.column(x);
            g.first[size_t(x)] = qint32(g.start.size());
            g.blackFirst[size_t(x)] = quint8(c[0] & 1);
            g.start.push_back(0);
            for (qint32 k = 0; k < words; ++k) {
                quint64 d = c[k] ^ ((c[k] << 1) | (k > 0 ? c[k - 1] >> (kBits - 1) : c[0] & 1));
                if (k == words - 1)
                    d &= lastRows;
                while (d) {
                    g.start.push_back(k * kBits + std::countr_zero(d));
                    d &= d - 1;
                }
            }
        }
        g.first[size_t(w)] = qint32(g.start.size());
    });
    const qint32 runs = qint32(g.start.size());

    // The regions: runs of neighbouring columns that share a row and a colour
    // are joined; so are black runs that meet at a corner, which happens where
    // both columns change colour between the same two rows. Each region's
    // root is its first run, so following the links only ever goes back.
    std::vector<qint32> parent;
    allocating([&] { parent.resize(size_t(runs)); });
    for (qint32 r = 0; r < runs; ++r)
        parent[size_t(r)] = r;
    const auto find = [&](qint32 r) {
        while (parent[size_t(r)] != r) {
            parent[size_t(r)] = parent[size_t(parent[size_t(r)])];
            r = parent[size_t(r)];
        }
        return r;
    };
    const auto join = [&](qint32 a, qint32 b) {
        a = find(a);
        b = find(b);
        if (a < b)
            parent[size_t(b)] = a;
        else if (b < a)
            parent[size_t(a)] = b;
    };
    for (qint32 x = 0; x + 1 < w; ++x) {
        qint32 i = g.first[size_t(x)], j = g.first[size_t(x) + 1];
        const qint32 iEnd = g.first[size_t(x) + 1], jEnd = g.first[size_t(x) + 2];
        // Runs i and j overlap; both columns' colours alternate, so the two
        // runs have the same colour on every step or on none.
        bool inStep = g.blackFirst[size_t(x)] == g.blackFirst[size_t(x) + 1];
        for (;;) {
            if (inStep)
                join(i, j);
            const qint32 a = g.end(x, i), b = g.end(x + 1, j);
            if (a < b) {
                ++i;
                inStep = !inStep;
            } else if (b < a) {
                ++j;
                inStep = !inStep;
            } else {
                if (i + 1 >= iEnd || j + 1 >= jEnd)
                    break;
                // Both change colour below row a - 1: when the runs differ,
                // the black one meets the other column's next run, black too,
                // at a corner.
                if (!inStep)
                    g.black(x, i) ? join(i, j + 1) : join(i + 1, j);
                ++i;
                ++j;
            }
        }
    }

    // Each region's size, and whether it is white paper reaching the
    // picture's edge; with roots first, one pass in order finds every root.
    constexpr qint64 kPaper = qint64(1) << 40;
    std::vector<qint64> size;
    allocating([&] {
        size.assign(size_t(runs), 0);
        g.changed.resize(size_t(runs));
    });
    for (qint32 x = 0; x < w; ++x) {
        const qint32 r0 = g.first[size_t(x)], r1 = g.first[size_t(x) + 1];
        for (qint32 r = r0; r < r1; ++r) {
            const qint32 root = parent[size_t(parent[size_t(r)])];
            parent[size_t(r)] = root;
            const bool edge = x == 0 || x == w - 1 || r == r0 || r == r1 - 1;
            size[size_t(root)] +=
                (g.end(x, r) - g.start[size_t(r)]) + (edge && !g.black(x, r) ? kPaper : 0);
        }
    }
    for (qint32 r = 0; r < runs; ++r)
        g.changed[size_t(r)] = size[size_t(parent[size_t(r)])] <= m_speckSize;
    m_regions = std::move(regions);
}

void DespeckleKernel::processColumn(KernelModel &model, qint32 x, qint32 y0, qint32 y1) {
    if (!m_regions || x < 0 || x >= m_regions->width)
        return;
    const Regions &g = *m_regions;
    y0 = std::max(y0, 0);
    y1 = std::min(y1, g.height - 1);
    if (y1 < y0)
        return;
    const qint32 k0 = y0 / kBits, k1 = y1 / kBits;
    KernelModel::Scratch &buffers = scratch(model);
    buffers.column.assign(size_t(k1) + 1, 0);
    quint64 *flips = buffers.column.data();
    bool any = false;
    for (qint32 r = g.first[size_t(x)]; r < g.first[size_t(x) + 1]; ++r) {
        if (!g.changed[size_t(r)])
            continue;
        const qint64 a = std::max(g.start[size_t(r)], y0), b = std::min(g.end(x, r) - 1, y1);
        for (qint32 k = qint32(a / kBits); k <= qint32(b / kBits); ++k)
            flips[k] |= PackedMask::rowBits(k, a, b);
        any |= a <= b;
    }
    if (!any)
        return;
    const quint64 *was = model.Mask.column(x);
    quint64 *work = model.WorkMask.column(x);
    buffers.more.assign(size_t(k1) + 1, 0);
    quint64 *filled = buffers.more.data();
    for (qint32 k = k0; k <= k1; ++k) {
        filled[k] = flips[k] & ~was[k];
        flips[k] &= was[k];  // now the cells erased
        work[k] ^= filled[k] | flips[k];
    }
    m_changed.push_back(x);
    paintRows(model.picture, x, flips, k0, k1, false);
    paintRows(model.picture, x, filled, k0, k1, true);
}

}  // namespace ink
