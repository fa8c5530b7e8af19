#pragma once

#include "core/image/packedmask.h"
#include "core/image/pixelsurface.h"

#include <QImage>

namespace ink {

// An in-memory picture for the batch tool's whole-column kernels. It holds
// the loaded image unchanged, and records what the passes paint in two bit
// layers laid out like the packed masks: `painted` (the pixel was painted
// black or white) and `black` (the colour it was painted). Painting a column
// is then a few word operations instead of one store per pixel across the
// image's rows; image() applies the layers when the picture is wanted whole.
//
// Seen through Point and PSet it behaves as ImageSurface does: a pixel keeps
// the colour last painted there, or else the loaded image's colour, and the
// area outside the image reads as no pixel. Colours other than black and
// white go straight into the image.
class PaintedSurface : public PixelSurface {
public:
    PaintedSurface() = default;

    // Replaces the whole picture and clears both layers. The image is
    // converted to 32-bit RGB as ImageSurface does; the layers' storage is
    // reused from the last picture. Raises error 7 when memory runs out.
    void setImage(QImage image);

    ColorValue Point(qint64 x, qint64 y) const override;
    void PSet(qint64 x, qint64 y, ColorValue color) override;
    void Refresh() override {}
    float Width() const override { return float(m_width); }
    float Height() const override { return float(m_height); }

    qint32 width() const { return m_width; }
    qint32 height() const { return m_height; }
    bool onSurface(qint64 x, qint64 y) const {
        return x >= 0 && y >= 0 && x < m_width && y < m_height;
    }

    // The loaded image, without what was painted, and its rows.
    const QImage &original() const { return m_image; }
    const QRgb *originalRow(qint32 y) const {
        return reinterpret_cast<const QRgb *>(m_image.constScanLine(y));
    }

    // The paint layers, one cell per pixel (0..width()-1, 0..height()-1).
    PackedMask &painted() { return m_painted; }
    PackedMask &black() { return m_black; }
    const PackedMask &painted() const { return m_painted; }
    const PackedMask &black() const { return m_black; }

    // The picture as it stands, everything painted included.
    QImage image() const;
    // The same, made by applying the layers to the loaded image in place; the
    // surface is left empty. Avoids a copy of the whole picture.
    QImage takeImage();

private:
    void applyLayers(QImage &target) const;

    QImage m_image;
    qint32 m_width = 0;
    qint32 m_height = 0;
    PackedMask m_painted;
    PackedMask m_black;
};

}  // namespace ink
