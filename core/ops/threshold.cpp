#include "core/ops/threshold.h"

#include "core/ops/paper.h"

namespace ink {

void ThresholdPass::processColumn(Module1 &module, PixelSurface &picture, qint32 x, qint32 y0,
                                  qint32 y1) {
    if (y1 < y0)
        return;
    const Thresholds t = m_source.thresholds();
    for (qint64 y = y0; y <= y1; ++y) {
        RGBTriple rgb = ColorToRGB(picture.Point(x, y));
        if (t.paper) {
            const PaperEstimate &p = *t.paper;
            const int px = int(x), py = int(y);
            rgb.R = qint16(evenedValue(rgb.R, p.at(0, px, py), p.brightest[0]));
            rgb.G = qint16(evenedValue(rgb.G, p.at(1, px, py), p.brightest[1]));
            rgb.B = qint16(evenedValue(rgb.B, p.at(2, px, py), p.brightest[2]));
        }
        const bool white = rgb.G > t.green || rgb.B > t.blue || rgb.R > t.red;
        picture.PSet(x, y, white ? kWhite : kBlack);
        module.WorkMask.set(x, y, !white);
    }
}

}  // namespace ink
