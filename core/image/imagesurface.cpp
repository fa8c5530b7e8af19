#include "core/image/imagesurface.h"

#include "core/platform/runtimeerror.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

#ifdef __linux__
#include <sys/mman.h>
#endif

#if defined(__x86_64__) && defined(__GNUC__)
#include <immintrin.h>
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

namespace {

#if defined(__x86_64__) && defined(__GNUC__)
// Eight colours at a time: the red and blue bytes swapped, opaque, and those
// of -1 left out of the store.
__attribute__((target("avx2"))) qint64 setRowAvx2(QRgb *row, const ColorValue *colors,
                                                  qint64 count) {
    const __m256i swap = _mm256_setr_epi8(2, 1, 0, -1, 6, 5, 4, -1, 10, 9, 8, -1, 14, 13, 12, -1, 2,
                                          1, 0, -1, 6, 5, 4, -1, 10, 9, 8, -1, 14, 13, 12, -1);
    const __m256i opaque = _mm256_set1_epi32(int(0xFF000000u));
    const __m256i none = _mm256_set1_epi32(kNoPixel);
    qint64 i = 0;
    for (; i + 8 <= count; i += 8) {
        const __m256i c = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(colors + i));
        const __m256i keep = _mm256_andnot_si256(_mm256_cmpeq_epi32(c, none), none);
        const __m256i pixels = _mm256_or_si256(_mm256_shuffle_epi8(c, swap), opaque);
        _mm256_maskstore_epi32(reinterpret_cast<int *>(row + i), keep, pixels);
    }
    return i;
}

bool haveAvx2() {
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx2");
}
const bool kAvx2 = haveAvx2();
#endif

}  // namespace

void ImageSurface::PSetRow(qint64 x, qint64 y, const ColorValue *colors, qint64 count) {
    if (y < 0 || y >= m_height)
        return;
    qint64 from = std::max<qint64>(0, -x);
    const qint64 to = std::min<qint64>(count, m_width - x);
    QRgb *row = &pixelAt(0, y);
#if defined(__x86_64__) && defined(__GNUC__)
    if (kAvx2 && to > from)
        from += setRowAvx2(row + x + from, colors + from, to - from);
#endif
    for (qint64 i = from; i < to; ++i)
        if (colors[i] != kNoPixel)
            row[x + i] = pixelOf(colors[i]);
}

}  // namespace ink
