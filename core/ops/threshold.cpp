#include "core/ops/threshold.h"

#include "core/ops/paper.h"

namespace ink {

bool thresholdInk(RGBTriple rgb, const Thresholds &t, qint32 x, qint32 y) {
    if (t.paper) {
        const PaperEstimate &p = *t.paper;
        rgb.R = qint16(evenedValue(rgb.R, p.at(0, x, y), p.brightest[0]));
        rgb.G = qint16(evenedValue(rgb.G, p.at(1, x, y), p.brightest[1]));
        rgb.B = qint16(evenedValue(rgb.B, p.at(2, x, y), p.brightest[2]));
    }
    return !(rgb.G > t.green || rgb.B > t.blue || rgb.R > t.red);
}

void ThresholdPass::processColumn(Module1 &module, PixelSurface &picture, qint32 x, qint32 y0,
                                  qint32 y1) {
    if (y1 < y0)
        return;
    const Thresholds t = m_source.thresholds();
    for (qint64 y = y0; y <= y1; ++y) {
        const bool black = thresholdInk(ColorToRGB(picture.Point(x, y)), t, x, qint32(y));
        picture.PSet(x, y, black ? kBlack : kWhite);
        module.WorkMask.set(x, y, black);
    }
}

}  // namespace ink
