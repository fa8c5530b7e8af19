#include "core/ops/spurremoval.h"

namespace ink {

void SpurRemovalPass::processColumn(Module1 &module, PixelSurface &picture, qint32 x, qint32 y0,
                                    qint32 y1) {
    if (y1 < y0)
        return;
    const PackedMask &mask = module.Mask;
    auto erase = [&](qint64 y) {
        module.WorkMask.set(x, y, false);
        picture.PSet(x, y, kWhite);
    };

    for (qint64 y = y0; y <= y1; ++y) {
        if (!mask.at(x, y))
            continue;
        // All eight cells are read before the decision: no short-circuit, so a
        // mask too small raises error 9 whatever the cells hold.
        const int vertical = int(mask.at(x, y - 2)) | int(mask.at(x, y - 1)) |
                             int(mask.at(x, y + 1)) | int(mask.at(x, y + 2));
        const int horizontal = int(mask.at(x - 2, y)) | int(mask.at(x - 1, y)) |
                               int(mask.at(x + 1, y)) | int(mask.at(x + 2, y));
        if (!vertical || !horizontal)
            erase(y);
    }
}

}  // namespace ink
