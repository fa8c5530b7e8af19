#include "image/imagesurface.h"

#include "platform/runtimeerror.h"

namespace ink {

void ImageSurface::setImage(const QImage &image) {
    QImage converted;
    if (!image.isNull()) {
        converted = image.convertToFormat(QImage::Format_RGB32);
        if (converted.isNull())
            throw RuntimeError::outOfMemory();
    }
    m_image = converted;
    // bits() detaches once here, so later writes go straight to our own copy.
    m_bits = m_image.isNull() ? nullptr : m_image.bits();
    m_bytesPerLine = m_image.bytesPerLine();
    m_width = m_image.width();
    m_height = m_image.height();
}

}  // namespace ink
