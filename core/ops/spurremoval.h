#pragma once

#include "core/image/columnpass.h"

namespace ink {

// affine: erases thin black structures (dots, one-pixel lines, spurs).
//
// A black pixel survives only with both vertical support (ink in `Mask` at
// (x, y - 2), (x, y - 1), (x, y + 1) or (x, y + 2)) and horizontal support
// (ink at (x - 2, y), (x - 1, y), (x + 1, y) or (x + 2, y)); diagonal
// neighbours play no part. Every other black pixel is cleared in `WorkMask`
// and painted white at once. Tests pixels with 3 <= x <= W - 2 and
// 3 <= y <= H - 2, all decisions on `Mask` as it stood before the pass, so a
// structure thinned by this pass is erased only by a further run.
class SpurRemovalPass : public ColumnOperation {
public:
    // Columns 3..W-2, rows 3..H-2; also the range of the packed form.
    static constexpr PassRange kRange{3, 2.0f, 3, 2.0f};
    PassRange range() const override { return kRange; }
    void processColumn(Module1 &module, PixelSurface &picture, qint32 x, qint32 y0,
                       qint32 y1) override;
};

}  // namespace ink
