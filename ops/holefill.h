#pragma once

#include "image/columnpass.h"

#include <array>
#include <string_view>
#include <vector>

namespace ink {

// A hole-filling template: cells around the pixel under test (x, y), each
// with the value `Mask` must hold there, and the cells filled on a match.
// Written as rows of text, columns dx = -1, 0, +1, rows from dy = topRow down:
//   'B'  must be black
//   'W'  must be white
//   'F'  must be white, and is filled when the template matches
//   '.'  not read
struct HoleTemplate {
    std::string_view name;
    int topRow;
    std::vector<std::string_view> rows;
};

// A white pixel whose four direct neighbours are black.
extern const HoleTemplate SingleHole;
// A one-pixel notch in the left edge of a vertical stroke.
extern const HoleTemplate LeftNotch;
// A one-pixel notch in the right edge of a vertical stroke.
extern const HoleTemplate RightNotch;
// A white gap two pixels high in a vertical stroke at least three pixels wide.
// The cells beside the gap are not read, so a crack across the whole stroke is
// bridged too.
extern const HoleTemplate VerticalGap;

// bouchtrou: fills small white defects inside black strokes.
//
// Tests pixels with 3 <= x <= W - 4 and 3 <= y <= H - 4. For a pixel white in
// `Mask`, SingleHole, LeftNotch and RightNotch are tried in that order; then,
// when (x, y) and (x, y + 1) are both white, VerticalGap. Every decision is
// taken on `Mask` as it stood before the pass, so a fill never helps another
// fill in the same pass and the scanning order does not matter. Filled pixels
// are set in `WorkMask` and painted black at once. The templates exclude one
// another, so no pixel is filled twice.
class HoleFillPass : public ColumnOperation {
public:
    HoleFillPass();

    // Columns 3..W-4, rows 3..H-4; also the range of the packed form.
    static constexpr PassRange kRange{3, 4.0f, 3, 4.0f};
    PassRange range() const override { return kRange; }
    void processColumn(Module1 &module, PixelSurface &picture, qint32 x, qint32 y0,
                       qint32 y1) override;

    struct Cell {
        int dx;
        int dy;
        bool black;
    };
    struct Compiled {
        std::vector<Cell> required;
        std::vector<Cell> filled;
        int minDy = 0;
        int maxDy = 0;
    };

private:
    std::array<Compiled, 3> m_singles;  // SingleHole, LeftNotch, RightNotch
    Compiled m_gap;
};

}  // namespace ink
