#pragma once

#include "core/image/columnpass.h"
#include "core/ops/passsettings.h"

#include <vector>

namespace ink {

// taches: removes black specks and fills white pinholes.
//
// A black blob is a set of black cells of `Mask` connected through their
// eight neighbours (a diagonal pair is one blob); a white hole a set of white
// cells connected through their four direct neighbours only (white cells that
// touch at a corner are apart, since the black cells across that corner join
// there). Every blob of at most N cells is painted white and every hole of at
// most N cells black, N being the speck size read when the pass starts; with
// N below 1 nothing changes.
//
// The pass works on the picture's own pixels: columns 0..W-1 and rows
// 0..H-1. Cells outside the picture (column W and row H of the masks, which
// NB makes black, and any further cells of a larger mask) count neither as
// black nor as white: they join nothing and are never changed. So a speck
// at the picture's edge is measured by its pixels on the picture and removed
// like any other, while a white region that reaches the picture's edge is
// the paper around the drawing, not a hole, and is never filled however
// small. A mask that does not cover the picture's pixels raises error 9 at
// the first column, before anything is painted.
//
// Every decision is taken on `Mask` as it stood before the pass: a blob
// removed does not merge two holes, a hole filled does not join two blobs,
// and the scanning order does not matter. Each column then sets its changed
// cells in `WorkMask` and paints them at once, so a cancelled pass keeps its
// finished columns, and the copy-back follows as for every pass.
class DespecklePass : public ColumnOperation {
public:
    explicit DespecklePass(SettingsSource &source) : m_source(source) {}

    // Columns 0..W-1, rows 0..H-1; also the range of the packed form.
    static constexpr PassRange kRange{0, 1.0f, 0, 1.0f};
    PassRange range() const override { return kRange; }
    void passStart(Module1 &module) override;
    void processColumn(Module1 &module, PixelSurface &picture, qint32 x, qint32 y0,
                       qint32 y1) override;

private:
    // Decides the cell (x, y) and every cell of its blob or hole the fill
    // reaches, by a fill over `mask` that stops once it knows the answer.
    void decide(const PackedMask &mask, qint32 x, qint32 y);

    SettingsSource &m_source;
    qint32 m_speckSize = 0;
    // What is known of each pixel of the picture, column by column; made for
    // the picture at the first column.
    enum State : quint8 { Unknown, Filling, Kept, Changed };
    std::vector<quint8> m_state;
    qint32 m_width = -1;
    qint32 m_height = -1;
    std::vector<qint64> m_fill;  // the cells of the fill under way
};

}  // namespace ink
