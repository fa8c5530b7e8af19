#pragma once

#include "core/image/columnpass.h"

#include <algorithm>
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
// The per-pixel pass compiles the rows into cell lists when it is made; the
// batch tool's kernel turns them into word operations at compile time.
struct HoleTemplate {
    static constexpr int kMaxRows = 6;

    int topRow;
    int rowCount;
    std::array<std::string_view, kMaxRows> rows;

    template <typename... Rows>
    constexpr HoleTemplate(int top, Rows... text)
        : topRow(top), rowCount(int(sizeof...(Rows))), rows{text...} {}

    constexpr int bottomRow() const { return topRow + rowCount - 1; }

    // The cell at (dx, dy) from the pixel under test; '.' outside the rows.
    constexpr char at(int dx, int dy) const {
        if (dx < -1 || dx > 1 || dy < topRow || dy > bottomRow())
            return '.';
        return rows[size_t(dy - topRow)][size_t(dx + 1)];
    }

    // Every row three cells wide, each cell one of the four letters.
    constexpr bool wellFormed() const {
        if (rowCount < 1 || rowCount > kMaxRows)
            return false;
        for (int row = 0; row < rowCount; ++row) {
            if (rows[size_t(row)].size() != 3)
                return false;
            for (const char c : rows[size_t(row)])
                if (c != 'B' && c != 'W' && c != 'F' && c != '.')
                    return false;
        }
        return true;
    }
};

// A white pixel whose four direct neighbours are black.
inline constexpr HoleTemplate SingleHole{-1,
                                         ".B.",  //
                                         "BFB",  //
                                         ".B."};

// A one-pixel notch in the left edge of a vertical stroke.
inline constexpr HoleTemplate LeftNotch{-2,
                                        ".B.",  //
                                        "WBB",  //
                                        "WFB",  //
                                        "WBB",  //
                                        ".B."};

// A one-pixel notch in the right edge of a vertical stroke.
inline constexpr HoleTemplate RightNotch{-2,
                                         ".B.",  //
                                         "BBW",  //
                                         "BFW",  //
                                         "BBW",  //
                                         ".B."};

// A white gap two pixels high in a vertical stroke at least three pixels wide.
// The cells beside the gap are not read, so a crack across the whole stroke is
// bridged too.
inline constexpr HoleTemplate VerticalGap{-2,
                                          "BBB",  //
                                          "BBB",  //
                                          ".F.",  //
                                          ".F.",  //
                                          "BBB",  //
                                          "BBB"};

static_assert(SingleHole.wellFormed() && LeftNotch.wellFormed() && RightNotch.wellFormed() &&
              VerticalGap.wellFormed());

// The rows the four templates read, from the pixel under test: y - 2 .. y + 3.
inline constexpr int kHoleFillReachAbove =
    std::min({SingleHole.topRow, LeftNotch.topRow, RightNotch.topRow, VerticalGap.topRow});
inline constexpr int kHoleFillReachBelow =
    std::max({SingleHole.bottomRow(), LeftNotch.bottomRow(), RightNotch.bottomRow(),
              VerticalGap.bottomRow()});

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
    };

private:
    std::array<Compiled, 3> m_singles;  // SingleHole, LeftNotch, RightNotch
    Compiled m_gap;
};

}  // namespace ink
