#pragma once

#include "core/image/pixelsurface.h"

#include <QImage>

namespace ink {

// A copy of a large `image` held on 2 MiB memory pages, for pictures read a
// column at a time; a small one, or one that cannot be placed so, unchanged.
QImage onLargePages(const QImage &image);

// A persistent in-memory picture: what is written with PSet stays and is read
// back by Point until the picture is replaced. The picture area has exactly
// the image's size, so Width() and Height() are the image's size in pixels.
//
// Pixels are held as 32-bit RGB; a colour value's top byte is ignored when
// painting, so only its red, green and blue bytes reach the picture.
class ImageSurface : public PixelSurface {
public:
    ImageSurface() = default;
    explicit ImageSurface(const QImage &image) { setImage(image); }

    // Replaces the whole picture, everything painted into it included.
    // The image is converted to 32-bit RGB; raises error 7 when memory runs out.
    void setImage(const QImage &image);
    // A snapshot of the picture as it is now. PSet writes straight into the
    // pixels, so the snapshot is a copy of its own.
    QImage image() const { return m_image.copy(); }
    // The pixels themselves, for drawing them; they change as PSet writes.
    const QImage &pixels() const { return m_image; }

    ColorValue Point(qint64 x, qint64 y) const override {
        if (!onSurface(x, y))
            return kNoPixel;
        return colorOf(pixelAt(x, y));
    }

    void PSet(qint64 x, qint64 y, ColorValue color) override {
        if (!onSurface(x, y))
            return;
        pixelAt(x, y) = pixelOf(color);
    }

    // PSet of a pixel known to lie on the picture.
    void setOnSurface(qint64 x, qint64 y, ColorValue color) { pixelAt(x, y) = pixelOf(color); }

    void PSetRow(qint64 x, qint64 y, const ColorValue *colors, qint64 count) override;

    void Refresh() override {}
    float Width() const override { return float(m_width); }
    float Height() const override { return float(m_height); }

    bool onSurface(qint64 x, qint64 y) const {
        return x >= 0 && y >= 0 && x < m_width && y < m_height;
    }

    // A pixel's colour value, and a colour as a pixel holds it.
    static ColorValue colorOf(QRgb p) { return qRed(p) | (qGreen(p) << 8) | (qBlue(p) << 16); }
    static QRgb pixelOf(ColorValue color) {
        return 0xFF000000u | (quint32(color & 0xFF) << 16) | (quint32(color) & 0xFF00) |
               ((quint32(color) >> 16) & 0xFF);
    }

private:
    QRgb &pixelAt(qint64 x, qint64 y) const {
        return reinterpret_cast<QRgb *>(m_bits + y * m_bytesPerLine)[x];
    }

    QImage m_image;
    uchar *m_bits = nullptr;
    qsizetype m_bytesPerLine = 0;
    qint64 m_width = 0;
    qint64 m_height = 0;
};

}  // namespace ink
