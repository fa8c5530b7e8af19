#pragma once

// The clean-up rules said as plainly as they can be, one cell at a time, on
// the mask as it stood before the pass. The tests and the fuzzer check the
// passes (per-pixel and packed) against these; they share no code with them.

#include "core/image/packedmask.h"

#include <utility>
#include <vector>

namespace ink::reference {

inline bool black(const PackedMask &m, qint64 x, qint64 y) {
    return m.at(x, y);
}

// bouchtrou's single templates at a white (x, y): four black neighbours, or a
// one-pixel notch in the left or right side of a vertical stroke.
inline bool holeFilled(const PackedMask &m, qint64 x, qint64 y) {
    if (black(m, x, y))
        return false;
    const bool single =
        black(m, x, y - 1) && black(m, x, y + 1) && black(m, x - 1, y) && black(m, x + 1, y);
    bool stroke = true;  // the column above and below, and the cells beside
    for (int dy : {-2, -1, 1, 2})
        stroke = stroke && black(m, x, y + dy);
    bool left = stroke, right = stroke;
    for (int dy : {-1, 0, 1}) {
        left = left && black(m, x + 1, y + dy) && !black(m, x - 1, y + dy);
        right = right && black(m, x - 1, y + dy) && !black(m, x + 1, y + dy);
    }
    return single || left || right;
}

// bouchtrou's crack: (x, y) and (x, y + 1) white, two black rows three wide
// above and below. Both cells are filled.
inline bool gapAt(const PackedMask &m, qint64 x, qint64 y) {
    if (black(m, x, y) || black(m, x, y + 1))
        return false;
    for (int dx : {-1, 0, 1})
        for (int dy : {-2, -1, 2, 3})
            if (!black(m, x + dx, y + dy))
                return false;
    return true;
}

// affine: black ink needs more ink within two pixels both up or down and
// left or right.
inline bool spurErased(const PackedMask &m, qint64 x, qint64 y) {
    if (!black(m, x, y))
        return false;
    const bool vertical =
        black(m, x, y - 2) || black(m, x, y - 1) || black(m, x, y + 1) || black(m, x, y + 2);
    const bool horizontal =
        black(m, x - 2, y) || black(m, x - 1, y) || black(m, x + 1, y) || black(m, x + 2, y);
    return !vertical || !horizontal;
}

// taches on a w x h picture: whether (x, y) belongs to a black region
// (corners join) or a white one (corners do not) of at most n pixels of the
// picture, the white one not reaching its edge. Each region is labelled
// whole; cells outside the picture belong to none.
class Specks {
public:
    Specks(const PackedMask &m, qint32 w, qint32 h, qint64 n) : m_h(h), m_label(size_t(w) * h, -1) {
        std::vector<std::pair<qint32, qint32>> cells;
        for (qint32 x = 0; x < w; ++x) {
            for (qint32 y = 0; y < h; ++y) {
                if (m_label[at(x, y)] >= 0)
                    continue;
                const bool ink = black(m, x, y);
                const int label = int(m_small.size());
                bool edge = false;
                cells.assign(1, {x, y});
                m_label[at(x, y)] = label;
                for (size_t i = 0; i < cells.size(); ++i) {
                    const auto [cx, cy] = cells[i];
                    edge = edge || cx == 0 || cy == 0 || cx == w - 1 || cy == h - 1;
                    for (int dx = -1; dx <= 1; ++dx)
                        for (int dy = -1; dy <= 1; ++dy) {
                            const qint32 nx = cx + dx, ny = cy + dy;
                            if ((!ink && dx != 0 && dy != 0) || nx < 0 || ny < 0 || nx >= w ||
                                ny >= h || black(m, nx, ny) != ink || m_label[at(nx, ny)] >= 0)
                                continue;
                            m_label[at(nx, ny)] = label;
                            cells.emplace_back(nx, ny);
                        }
                }
                m_small.push_back(qint64(cells.size()) <= n && (ink || !edge));
            }
        }
    }
    bool flipped(qint32 x, qint32 y) const { return m_small[size_t(m_label[at(x, y)])]; }

private:
    size_t at(qint32 x, qint32 y) const { return size_t(x) * m_h + y; }
    qint32 m_h;
    std::vector<int> m_label;
    std::vector<bool> m_small;
};

}  // namespace ink::reference
