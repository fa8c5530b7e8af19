#include "core/image/imagesurface.h"

#include "core/platform/runtimeerror.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

#ifdef __linux__
#include <sys/mman.h>
#endif

namespace ink {

// Passes walk the picture a column at a time, so consecutive pixels lie a
// whole row apart. On a large scan every pixel is then on a page of its own,
// and with ordinary 4 KiB pages the address translation misses on nearly every
// read. Holding the pixels in memory that asks for 2 MiB pages keeps a whole
// column's pages translatable at once.
QImage onLargePages(const QImage &image) {
#ifdef __linux__
    constexpr size_t kLargePage = size_t(2) << 20;
    const size_t bytes = size_t(image.sizeInBytes());
    if (bytes < 4 * kLargePage)
        return image;
    const size_t rounded = (bytes + kLargePage - 1) / kLargePage * kLargePage;
    void *memory = nullptr;
    if (posix_memalign(&memory, kLargePage, rounded) != 0)
        return image;
    madvise(memory, rounded, MADV_HUGEPAGE);
    std::memcpy(memory, image.constBits(), bytes);
    return QImage(
        static_cast<uchar *>(memory), image.width(), image.height(), image.bytesPerLine(),
        image.format(), [](void *p) { std::free(p); }, memory);
#else
    return image;
#endif
}

void ImageSurface::setImage(const QImage &image) {
    QImage converted;
    if (!image.isNull()) {
        converted = onLargePages(image.convertToFormat(QImage::Format_RGB32));
        if (converted.isNull())
            throw RuntimeError::outOfMemory();
    }
    m_image = std::move(converted);
    // bits() detaches once here, so later writes go straight to our own copy.
    m_bits = m_image.isNull() ? nullptr : m_image.bits();
    m_bytesPerLine = m_image.bytesPerLine();
    m_width = m_image.width();
    m_height = m_image.height();
}

void ImageSurface::PSetRow(qint64 x, qint64 y, const ColorValue *colors, qint64 count) {
    if (y < 0 || y >= m_height)
        return;
    const qint64 from = std::max<qint64>(0, -x), to = std::min<qint64>(count, m_width - x);
    QRgb *row = &pixelAt(0, y);
    for (qint64 i = from; i < to; ++i)
        if (colors[i] != kNoPixel)
            row[x + i] = pixelOf(colors[i]);
}

}  // namespace ink
