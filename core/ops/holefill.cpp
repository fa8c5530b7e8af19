#include "core/ops/holefill.h"

#include <algorithm>

namespace ink {

namespace {

using Compiled = HoleFillPass::Compiled;

Compiled compile(const HoleTemplate &t) {
    Compiled c;
    for (int dy = t.topRow; dy <= t.bottomRow(); ++dy) {
        for (int dx = -1; dx <= 1; ++dx) {
            const HoleFillPass::Cell cell{dx, dy, t.at(dx, dy) == 'B'};
            switch (t.at(dx, dy)) {
                case 'B':
                case 'W':
                    c.required.push_back(cell);
                    break;
                case 'F':
                    c.required.push_back(cell);
                    c.filled.push_back(cell);
                    break;
                default:
                    break;
            }
        }
    }
    return c;
}

// Reads every cell of the template through bounds-checked access, so a mask
// too small for the picture raises error 9 whatever the cells hold.
bool matchesChecked(const MaskArray &mask, qint64 x, qint64 y, const Compiled &t) {
    bool match = true;
    for (const auto &cell : t.required)
        match &= mask.at(x + cell.dx, y + cell.dy) == cell.black;
    return match;
}

// The same on three column runs already known to hold every cell read.
bool matchesInside(const quint8 *const columns[3], qint64 y, const Compiled &t) {
    for (const auto &cell : t.required) {
        if ((columns[cell.dx + 1][y + cell.dy] != 0) != cell.black)
            return false;
    }
    return true;
}

}  // namespace

HoleFillPass::HoleFillPass()
    : m_singles{compile(SingleHole), compile(LeftNotch), compile(RightNotch)},
      m_gap(compile(VerticalGap)) {}

void HoleFillPass::processColumn(Module1 &module, PixelSurface &picture, qint32 x, qint32 y0,
                                 qint32 y1) {
    if (y1 < y0)
        return;
    const MaskArray &mask = module.Mask;
    auto fill = [&](const Compiled &t, qint64 y) {
        for (const auto &cell : t.filled) {
            module.WorkMask.set(x, y + cell.dy, true);
            picture.PSet(x, y + cell.dy, kBlack);
        }
    };

    // Every template reads rows y - 2 .. y + 3 of columns x - 1 .. x + 1. When
    // the whole column's reach lies inside the mask, no read can fail, and the
    // cells are read straight from the column runs.
    const bool inside = mask.contains(qint64(x) - 1, qint64(y0) + kHoleFillReachAbove) &&
                        mask.contains(qint64(x) + 1, qint64(y1) + kHoleFillReachBelow);
    if (inside) {
        const quint8 *const columns[3] = {mask.column(x - 1), mask.column(x), mask.column(x + 1)};
        const quint8 *here = columns[1];
        for (qint64 y = y0; y <= y1; ++y) {
            if (here[y])
                continue;
            for (const Compiled &t : m_singles) {
                if (matchesInside(columns, y, t))
                    fill(t, y);
            }
            if (!here[y + 1] && matchesInside(columns, y, m_gap))
                fill(m_gap, y);
        }
        return;
    }

    for (qint64 y = y0; y <= y1; ++y) {
        if (mask.at(x, y))
            continue;
        for (const Compiled &t : m_singles) {
            if (matchesChecked(mask, x, y, t))
                fill(t, y);
        }
        if (!mask.at(x, y + 1) && matchesChecked(mask, x, y, m_gap))
            fill(m_gap, y);
    }
}

}  // namespace ink
