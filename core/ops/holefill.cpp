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
bool matchesChecked(const PackedMask &mask, qint64 x, qint64 y, const Compiled &t) {
    bool match = true;
    for (const auto &cell : t.required)
        match &= mask.at(x + cell.dx, y + cell.dy) == cell.black;
    return match;
}

}  // namespace

HoleFillPass::HoleFillPass()
    : m_singles{compile(SingleHole), compile(LeftNotch), compile(RightNotch)},
      m_gap(compile(VerticalGap)) {}

void HoleFillPass::processColumn(Module1 &module, PixelSurface &picture, qint32 x, qint32 y0,
                                 qint32 y1) {
    if (y1 < y0)
        return;
    const PackedMask &mask = module.Mask;
    auto fill = [&](const Compiled &t, qint64 y) {
        for (const auto &cell : t.filled) {
            module.WorkMask.set(x, y + cell.dy, true);
            picture.PSet(x, y + cell.dy, kBlack);
        }
    };

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
