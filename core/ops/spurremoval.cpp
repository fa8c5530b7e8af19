#include "core/ops/spurremoval.h"

namespace ink {

void SpurRemovalPass::processColumn(Module1 &module, PixelSurface &picture, qint32 x, qint32 y0,
                                    qint32 y1) {
    if (y1 < y0)
        return;
    const MaskArray &mask = module.Mask;
    auto erase = [&](qint64 y) {
        module.WorkMask.set(x, y, false);
        picture.PSet(x, y, kWhite);
    };

    // The support cells of the column's pixels lie in columns x - 2 .. x + 2,
    // rows y0 - 2 .. y1 + 2. When all of them are inside the mask no read can
    // fail, and they are read straight from the column runs.
    const bool inside = mask.contains(qint64(x) - 2, qint64(y0) - 2) &&
                        mask.contains(qint64(x) + 2, qint64(y1) + 2);
    if (inside) {
        const quint8 *left2 = mask.column(x - 2);
        const quint8 *left1 = mask.column(x - 1);
        const quint8 *here = mask.column(x);
        const quint8 *right1 = mask.column(x + 1);
        const quint8 *right2 = mask.column(x + 2);
        for (qint64 y = y0; y <= y1; ++y) {
            if (!here[y])
                continue;
            const bool vertical = here[y - 2] | here[y - 1] | here[y + 1] | here[y + 2];
            const bool horizontal = left2[y] | left1[y] | right1[y] | right2[y];
            if (!vertical || !horizontal)
                erase(y);
        }
        return;
    }

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
