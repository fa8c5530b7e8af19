#pragma once

// The picture the passes work on, in both programs.
//
// A Sheet is the scan as loaded, never written, plus what the passes painted
// over it: two bit-planes laid out like the packed masks, `painted` (the pixel
// was painted black or white) and `black` (the colour it was painted, the ink
// plane), and a small map for the rare pixel painted another colour. Every
// pass paints only pure black or white, so a pass costs two bits a pixel and
// the scan can be shared with Compare and the history without a copy.
//
// Seen through Point and PSet it behaves as a plain persistent picture: a
// pixel keeps the colour last painted there, or else the scan's colour, and
// the area outside the picture reads as no pixel. Only the red, green and
// blue bytes of a colour reach the picture.
//
// Read in this order: the PixelSurface side (Point, PSet), the planes the
// kernels write directly, then image()/takeImage(), which compose the whole
// picture for writing it out, and composeRow(), which composes a stretch of a
// row for the window's view.

#include "core/image/packedmask.h"
#include "core/image/pixelsurface.h"

#include <QImage>

#include <unordered_map>

namespace ink {

class Sheet : public PixelSurface {
public:
    Sheet() = default;
    explicit Sheet(QImage scan) { setImage(std::move(scan)); }

    // Replaces the whole picture and clears the planes and the map. The scan
    // is converted to 32-bit RGB unless it is already. Raises error 7 when
    // memory runs out, and then leaves the sheet as it was.
    void setImage(QImage scan);

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

    // The scan as loaded, without anything painted, and its rows.
    const QImage &original() const { return m_scan; }
    const QRgb *originalRow(qint32 y) const {
        return reinterpret_cast<const QRgb *>(m_scan.constScanLine(y));
    }

    // The planes, one cell per pixel (0..width()-1, 0..height()-1). A kernel
    // that paints sets both bits; a painted pixel is never in the map.
    PackedMask &painted() { return m_painted; }
    PackedMask &black() { return m_black; }
    const PackedMask &painted() const { return m_painted; }
    const PackedMask &black() const { return m_black; }

    // Pixels painted a colour other than black or white, by y * width + x.
    using OtherColours = std::unordered_map<qint64, ColorValue>;
    const OtherColours &others() const { return m_others; }
    OtherColours &others() { return m_others; }

    // The picture as it stands, everything painted included (32-bit RGB).
    QImage image() const;
    // The same, made by painting over the scan in place; the sheet is left
    // empty. Avoids a copy of the whole picture when nothing else holds it.
    QImage takeImage();
    // Pixels x0..x0 + count - 1 of row y as they stand, as 32-bit RGB.
    void composeRow(qint32 y, qint32 x0, qint32 count, QRgb *out) const;

    static QRgb pixelOf(ColorValue color) {
        return 0xFF000000u | (quint32(color & 0xFF) << 16) | (quint32(color) & 0xFF00) |
               ((quint32(color) >> 16) & 0xFF);
    }
    static ColorValue colorOf(QRgb p) { return qRed(p) | (qGreen(p) << 8) | (qBlue(p) << 16); }

private:
    void paintOver(QImage &target) const;

    QImage m_scan;
    qint32 m_width = 0;
    qint32 m_height = 0;
    PackedMask m_painted;
    PackedMask m_black;
    OtherColours m_others;
};

}  // namespace ink
