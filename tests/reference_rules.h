#pragma once

// The clean-up rules said as plainly as they can be, one cell at a time, on
// the mask as it stood before the pass. The tests and the fuzzer check the
// passes (per-pixel and packed) against these; they share no code with them.

#include "core/image/maskarray.h"

namespace ink::reference {

inline bool black(const MaskArray &m, qint64 x, qint64 y) {
    return m.at(x, y);
}

// bouchtrou's single templates at a white (x, y): four black neighbours, or a
// one-pixel notch in the left or right side of a vertical stroke.
inline bool holeFilled(const MaskArray &m, qint64 x, qint64 y) {
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
inline bool gapAt(const MaskArray &m, qint64 x, qint64 y) {
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
inline bool spurErased(const MaskArray &m, qint64 x, qint64 y) {
    if (!black(m, x, y))
        return false;
    const bool vertical =
        black(m, x, y - 2) || black(m, x, y - 1) || black(m, x, y + 1) || black(m, x, y + 2);
    const bool horizontal =
        black(m, x - 2, y) || black(m, x - 1, y) || black(m, x + 1, y) || black(m, x + 2, y);
    return !vertical || !horizontal;
}

}  // namespace ink::reference
