#include "core/ops/threshold.h"

namespace ink {

void ThresholdPass::processColumn(Module1 &module, PixelSurface &picture, qint32 x, qint32 y0,
                                  qint32 y1) {
    if (y1 < y0)
        return;
    const Thresholds t = m_source.thresholds();
    for (qint64 y = y0; y <= y1; ++y) {
        const RGBTriple rgb = ColorToRGB(picture.Point(x, y));
        const bool white = rgb.G > t.green || rgb.B > t.blue || rgb.R > t.red;
        picture.PSet(x, y, white ? kWhite : kBlack);
        module.WorkMask.set(x, y, !white);
    }
}

}  // namespace ink
