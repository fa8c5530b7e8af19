#include "core/ops/despeckle.h"

#include "core/runtime/convert.h"

#include <algorithm>

namespace ink {

void DespecklePass::passStart(Module1 &module) {
    m_speckSize = m_source.speckSize();
    ColumnOperation::passStart(module);
    m_state.clear();
    m_width = m_height = -1;
}

void DespecklePass::decide(const PackedMask &mask, qint32 x, qint32 y) {
    const qint32 w = m_width, h = m_height;
    const bool black = mask.at(x, y);
    auto state = [&](qint32 cx, qint32 cy) -> quint8 & {
        return m_state[size_t(cx) * size_t(h) + size_t(cy)];
    };
    // Kept once the fill meets a cell decided before (a fill that reached
    // all of its region decided every cell of it, so that region is large or
    // paper), goes past N cells, or, for white, reaches the picture's edge.
    bool kept = m_speckSize < 1;
    m_fill.assign(1, qint64(x) * h + y);
    state(x, y) = Filling;
    for (size_t i = 0; i < m_fill.size() && !kept; ++i) {
        const qint32 cx = qint32(m_fill[i] / h), cy = qint32(m_fill[i] % h);
        if (!black && (cx == 0 || cy == 0 || cx == w - 1 || cy == h - 1)) {
            kept = true;
            break;
        }
        for (int dx = -1; dx <= 1 && !kept; ++dx) {
            for (int dy = -1; dy <= 1; ++dy) {
                if ((dx == 0 && dy == 0) || (!black && dx != 0 && dy != 0))
                    continue;
                const qint32 nx = cx + dx, ny = cy + dy;
                if (nx < 0 || ny < 0 || nx >= w || ny >= h || mask.at(nx, ny) != black)
                    continue;
                quint8 &s = state(nx, ny);
                if (s == Filling)
                    continue;
                if (s != Unknown || qint64(m_fill.size()) >= m_speckSize) {
                    kept = true;
                    break;
                }
                s = Filling;
                m_fill.push_back(qint64(nx) * h + ny);
            }
        }
    }
    for (const qint64 cell : m_fill)
        m_state[size_t(cell)] = kept ? Kept : Changed;
}

void DespecklePass::processColumn(Module1 &module, PixelSurface &picture, qint32 x, qint32 y0,
                                  qint32 y1) {
    if (y1 < y0)
        return;
    const qint32 w = roundToInt32(picture.Width());
    const qint32 h = roundToInt32(picture.Height());
    if (w < 1 || h < 1 || x < 0 || x >= w)
        return;
    if (!module.Mask.contains(w - 1, h - 1))
        throw RuntimeError::subscriptOutOfRange();
    if (w != m_width || h != m_height) {
        allocating([&] { m_state.assign(size_t(w) * size_t(h), Unknown); });
        m_width = w;
        m_height = h;
    }
    for (qint32 y = std::max(y0, 0); y <= std::min(y1, h - 1); ++y) {
        const size_t at = size_t(x) * size_t(h) + size_t(y);
        if (m_state[at] == Unknown)
            decide(module.Mask, x, y);
        if (m_state[at] != Changed)
            continue;
        const bool black = module.Mask.at(x, y);
        module.WorkMask.set(x, y, !black);
        picture.PSet(x, y, black ? kWhite : kBlack);
    }
}

}  // namespace ink
