// The programs' own PNG reader and writer (Qt's remain for what these leave).
//
// Read in this order: the byte helpers and the per-thread scratch buffers;
// writing (rows filtered with Up, deflated by libdeflate or, for a painted
// picture, by the row coder of rowdeflate.cpp); reading (the header, the
// row filters undone, pixels laid on white), then the public functions at
// the end. Invariants: a file with anything amiss is left to Qt's reader
// (readPng() returns false) rather than half decoded; scratch buffers are
// per thread and released after each call unless keepCodecBuffers() holds
// them for the batch tool's next file.

#include "core/files/pngcodec.h"

#include "core/runtime/cpufeatures.h"

#include "core/files/rowdeflate.h"

#include <QColorSpace>
#include <QIODevice>

#include <libdeflate.h>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif
#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#endif

#include <algorithm>
#include <array>
#include <cstring>
#include <memory>
#include <new>
#include <vector>

namespace ink {

namespace {

constexpr uchar kSignature[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
// libpng's default limit on either side; Qt's reader refuses larger files.
constexpr quint32 kMaxSide = 1000000;
// Bytes of deflated rows per IDAT chunk.
constexpr size_t kIdatChunk = size_t(1) << 20;

constexpr quint32 chunkName(const char (&n)[5]) {
    return quint32(uchar(n[0])) << 24 | quint32(uchar(n[1])) << 16 | quint32(uchar(n[2])) << 8 |
           quint32(uchar(n[3]));
}

quint32 bigEndian32(const uchar *p) {
    return quint32(p[0]) << 24 | quint32(p[1]) << 16 | quint32(p[2]) << 8 | quint32(p[3]);
}

void putBigEndian32(uchar *p, quint32 v) {
    p[0] = uchar(v >> 24);
    p[1] = uchar(v >> 16);
    p[2] = uchar(v >> 8);
    p[3] = uchar(v);
}

// A working buffer that grows to the largest file seen. In the batch tool it
// is kept between the files of a thread, so that every file does not fault
// fresh pages in; elsewhere it is given back after each file.
thread_local bool t_keepBuffers = false;

struct Scratch {
    std::unique_ptr<uchar[]> data;
    size_t size = 0;

    uchar *reserve(size_t bytes) {
        if (bytes > size) {
            data.reset();
            size = 0;
            data.reset(new (std::nothrow) uchar[bytes]);
            if (!data)
                return nullptr;
            size = bytes;
        }
        return data.get();
    }
    void done() {
        if (!t_keepBuffers) {
            data.reset();
            size = 0;
        }
    }
};

thread_local Scratch t_rows;      // filtered rows being deflated, or inflated rows
thread_local Scratch t_deflated;  // the deflated rows, or IDAT data gathered

// Gives the scratch buffers back when the work of one file is over.
struct ScratchDone {
    ~ScratchDone() {
        t_rows.done();
        t_deflated.done();
    }
};

// ---------------------------------------------------------------- writing

// PNG's filter type Up: each byte less the byte above it. Every row written
// gets it.
constexpr uchar kUpFilter = 2;

// Row `row` filtered with Up from `previous` (none for the first row):
// the filter type byte, then the bytes.
void upFilterRow(const uchar *row, const uchar *previous, size_t bytes, uchar *out) {
    out[0] = kUpFilter;
    ++out;
    if (!previous) {
        std::memcpy(out, row, bytes);
        return;
    }
    for (size_t i = 0; i < bytes; ++i)
        out[i] = uchar(row[i] - previous[i]);
}

class ChunkWriter {
public:
    explicit ChunkWriter(QIODevice *device) : m_device(device) {}

    void write(quint32 name, const uchar *data, size_t length) {
        uchar head[8];
        putBigEndian32(head, quint32(length));
        putBigEndian32(head + 4, name);
        quint32 crc = libdeflate_crc32(0, head + 4, 4);
        if (length > 0)  // a null buffer would start the checksum afresh
            crc = libdeflate_crc32(crc, data, length);
        uchar tail[4];
        putBigEndian32(tail, crc);
        m_device->write(reinterpret_cast<const char *>(head), 8);
        if (length > 0)
            m_device->write(reinterpret_cast<const char *>(data), qint64(length));
        m_device->write(reinterpret_cast<const char *>(tail), 4);
    }

private:
    QIODevice *m_device;
};

struct CompressorDeleter {
    void operator()(libdeflate_compressor *c) const { libdeflate_free_compressor(c); }
};

// One compressor per thread and level: each holds about a megabyte of tables.
libdeflate_compressor *compressorFor(int level) {
    thread_local std::array<std::unique_ptr<libdeflate_compressor, CompressorDeleter>, 13> t_made;
    level = std::clamp(level, 0, 12);
    auto &made = t_made[size_t(level)];
    if (!made)
        made.reset(libdeflate_alloc_compressor(level));
    return made.get();
}

// ---------------------------------------------------------------- reading

struct Header {
    quint32 width = 0;
    quint32 height = 0;
    int depth = 0;
    int colourType = 0;
    int channels = 0;
};

// Sample channels of each colour type, or 0 for a type that does not exist.
int channelsOf(int colourType) {
    switch (colourType) {
        case 0:
            return 1;
        case 2:
            return 3;
        case 3:
            return 1;
        case 4:
            return 2;
        case 6:
            return 4;
        default:
            return 0;
    }
}

bool depthAllowed(int colourType, int depth) {
    switch (colourType) {
        case 0:
            return depth == 1 || depth == 2 || depth == 4 || depth == 8 || depth == 16;
        case 3:
            return depth == 1 || depth == 2 || depth == 4 || depth == 8;
        default:
            return depth == 8 || depth == 16;
    }
}

constexpr int onWhite(int c, int a) {
    return (c * a + 255 * (255 - a) + 127) / 255;
}

QRgb laidOnWhite(int r, int g, int b, int a) {
    return a == 255 ? qRgb(r, g, b) : qRgb(onWhite(r, a), onWhite(g, a), onWhite(b, a));
}

bool isLetter(uchar c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
}

#if defined(__SSE2__)
// The Paeth filter undone for pixels of 3 or 4 bytes, a pixel at a time with
// the bytes side by side in 16-bit lanes: the same predictor as the plain
// loop, ties going to a, then b, then c. Reads up to one byte past the end of
// both rows (the buffers have room).
// `bpp` is a constant so that storing a pixel is a plain move, not a call.
template <size_t bpp>
void unpaethPixels(uchar *row, const uchar *previous, size_t bytes) {
    const __m128i zero = _mm_setzero_si128();
    const auto load = [&zero](const uchar *p) {
        int v;
        std::memcpy(&v, p, 4);
        return _mm_unpacklo_epi8(_mm_cvtsi32_si128(v), zero);
    };
    const auto absolute = [&zero](__m128i v) { return _mm_max_epi16(v, _mm_sub_epi16(zero, v)); };
    const auto choose = [](__m128i mask, __m128i yes, __m128i no) {
        return _mm_or_si128(_mm_and_si128(mask, yes), _mm_andnot_si128(mask, no));
    };
    __m128i a = zero;
    __m128i c = zero;
    for (size_t i = 0; i + bpp <= bytes; i += bpp) {
        const __m128i b = load(previous + i);
        const __m128i x = load(row + i);
        const __m128i bc = _mm_sub_epi16(b, c);
        const __m128i ac = _mm_sub_epi16(a, c);
        const __m128i pa = absolute(bc);
        const __m128i pb = absolute(ac);
        const __m128i pc = absolute(_mm_add_epi16(bc, ac));
        const __m128i smallest = _mm_min_epi16(pc, _mm_min_epi16(pa, pb));
        const __m128i nearest =
            choose(_mm_cmpeq_epi16(smallest, pa), a, choose(_mm_cmpeq_epi16(smallest, pb), b, c));
        a = _mm_and_si128(_mm_add_epi16(x, nearest), _mm_set1_epi16(0xFF));
        const int v = _mm_cvtsi128_si32(_mm_packus_epi16(a, a));
        std::memcpy(row + i, &v, bpp);
        c = b;
    }
}
#endif

// Undoes the row filter of `row` in place, from the unfiltered `previous`
// row (zeros for the first). False for a filter type that does not exist.
// The first `bpp` bytes have no left neighbour; the loops after them none of
// the checks a byte-by-byte formulation would make.
bool unfilterRow(int type, uchar *row, const uchar *previous, size_t bytes, int bpp) {
    const size_t step = std::min(size_t(bpp), bytes);
    switch (type) {
        case 0:
            return true;
        case 1:
            for (size_t i = step; i < bytes; ++i)
                row[i] = uchar(row[i] + row[i - step]);
            return true;
        case 2:
            for (size_t i = 0; i < bytes; ++i)
                row[i] = uchar(row[i] + previous[i]);
            return true;
        case 3:
            for (size_t i = 0; i < step; ++i)
                row[i] = uchar(row[i] + (previous[i] >> 1));
            for (size_t i = step; i < bytes; ++i)
                row[i] = uchar(row[i] + ((row[i - step] + previous[i]) >> 1));
            return true;
        case 4:
#if defined(__SSE2__)
            if ((bpp == 3 || bpp == 4) && bytes % size_t(bpp) == 0) {
                if (bpp == 3)
                    unpaethPixels<3>(row, previous, bytes);
                else
                    unpaethPixels<4>(row, previous, bytes);
                return true;
            }
#endif
            for (size_t i = 0; i < step; ++i)
                row[i] = uchar(row[i] + previous[i]);  // the predictor of a = c = 0 is b
            for (size_t i = step; i < bytes; ++i) {
                const int a = row[i - step];
                const int b = previous[i];
                const int c = previous[i - step];
                const int pa = std::abs(b - c);
                const int pb = std::abs(a - c);
                const int pc = std::abs(a + b - 2 * c);
                const int predictor = (pa <= pb && pa <= pc) ? a : (pb <= pc ? b : c);
                row[i] = uchar(row[i] + predictor);
            }
            return true;
        default:
            return false;
    }
}

}  // namespace

void keepCodecBuffers(bool keep) {
    t_keepBuffers = keep;
    if (!keep) {
        t_rows.done();
        t_deflated.done();
    }
}

bool codecBuffersKept() {
    return t_keepBuffers;
}

bool isPng(QByteArrayView bytes) {
    return bytes.size() >= 8 && std::memcmp(bytes.data(), kSignature, 8) == 0;
}

bool pngWrites(const QImage &image) {
    if (image.isNull() || !image.textKeys().isEmpty() || image.colorSpace().isValid())
        return false;
    if (image.format() == QImage::Format_RGB32)
        return true;
    return image.format() == QImage::Format_Mono && image.colorCount() == 2;
}

namespace {

// The file's chunks around `deflated`, the zlib stream of its rows.
void writeChunks(const QImage &image, QIODevice *device, const uchar *deflated,
                 size_t deflatedSize) {
    const bool mono = image.format() == QImage::Format_Mono;
    device->write(reinterpret_cast<const char *>(kSignature), sizeof kSignature);
    ChunkWriter chunks(device);
    uchar header[13];
    putBigEndian32(header, quint32(image.width()));
    putBigEndian32(header + 4, quint32(image.height()));
    header[8] = mono ? 1 : 8;
    header[9] = mono ? 3 : 2;
    header[10] = header[11] = header[12] = 0;
    chunks.write(chunkName("IHDR"), header, sizeof header);
    if (mono) {
        uchar palette[6];
        for (int i = 0; i < 2; ++i) {
            const QRgb c = image.color(i);
            palette[3 * i] = uchar(qRed(c));
            palette[3 * i + 1] = uchar(qGreen(c));
            palette[3 * i + 2] = uchar(qBlue(c));
        }
        chunks.write(chunkName("PLTE"), palette, sizeof palette);
    }
    if (image.dotsPerMeterX() > 0 || image.dotsPerMeterY() > 0) {
        uchar resolution[9];
        putBigEndian32(resolution, quint32(image.dotsPerMeterX()));
        putBigEndian32(resolution + 4, quint32(image.dotsPerMeterY()));
        resolution[8] = 1;  // per metre
        chunks.write(chunkName("pHYs"), resolution, sizeof resolution);
    }
    for (size_t at = 0; at < deflatedSize; at += kIdatChunk)
        chunks.write(chunkName("IDAT"), deflated + at, std::min(kIdatChunk, deflatedSize - at));
    chunks.write(chunkName("IEND"), nullptr, 0);
}

// A row of 32-bit pixels as 8-bit RGB filtered with Up from the row above
// (none for the first row): the filter type byte, then 3 bytes a pixel.
void upFilteredPlain(const QRgb *row, const QRgb *above, size_t width, uchar *out) {
    out[0] = kUpFilter;
    for (size_t x = 0; x < width; ++x) {
        const QRgb up = above ? above[x] : 0;
        out[1 + 3 * x] = uchar(qRed(row[x]) - qRed(up));
        out[2 + 3 * x] = uchar(qGreen(row[x]) - qGreen(up));
        out[3 + 3 * x] = uchar(qBlue(row[x]) - qBlue(up));
    }
}

#if defined(__x86_64__) || defined(__i386__)
// The same, four pixels at a time: the bytes subtracted in place, then
// shuffled into RGB order. Writes up to 4 bytes past the row's end.
__attribute__((target("ssse3"))) void upFilteredSsse3(const QRgb *row, const QRgb *above,
                                                      size_t width, uchar *out) {
    const __m128i order = _mm_setr_epi8(2, 1, 0, 6, 5, 4, 10, 9, 8, 14, 13, 12, -1, -1, -1, -1);
    out[0] = kUpFilter;
    size_t x = 0;
    for (; x + 4 <= width; x += 4) {
        __m128i pixels = _mm_loadu_si128(reinterpret_cast<const __m128i *>(row + x));
        if (above)
            pixels =
                _mm_sub_epi8(pixels, _mm_loadu_si128(reinterpret_cast<const __m128i *>(above + x)));
        _mm_storeu_si128(reinterpret_cast<__m128i *>(out + 1 + 3 * x),
                         _mm_shuffle_epi8(pixels, order));
    }
    const uchar kept = out[3 * x];  // the plain form writes its type byte there
    upFilteredPlain(row + x, above ? above + x : nullptr, width - x, out + 3 * x);
    out[3 * x] = kept;
}
#endif

void upFiltered(const QRgb *row, const QRgb *above, size_t width, uchar *out) {
#if defined(__x86_64__) || defined(__i386__)
    if (cpuFeatures().ssse3)
        return upFilteredSsse3(row, above, width, out);
#endif
    upFilteredPlain(row, above, width, out);
}

// Writes a 32-bit picture with its rows filtered with Up and compressed by
// the row coder, a row at a time. False, having written nothing, when the
// coder gave up. Throws std::bad_alloc when memory runs out.
bool writeRowCoded(const QImage &image, QIODevice *device) {
    const size_t width = size_t(image.width());
    RowDeflater coder(3 * width + 1);
    std::vector<uchar> filtered(3 * width + 1 + 4);  // room for a 4-byte write past it
    for (int y = 0; y < image.height(); ++y) {
        upFiltered(reinterpret_cast<const QRgb *>(image.constScanLine(y)),
                   y > 0 ? reinterpret_cast<const QRgb *>(image.constScanLine(y - 1)) : nullptr,
                   width, filtered.data());
        if (!coder.addRow(filtered.data()))
            return false;
    }
    const std::vector<uchar> &stream = coder.finish();
    writeChunks(image, device, stream.data(), stream.size());
    return true;
}

// Writes `image`; its filtered rows go to `inPlace` when given (the image's
// own pixels, for writePngConsuming) or to a working buffer.
bool encodePng(const QImage &image, uchar *inPlace, QIODevice *device, QString *error) {
    const ScratchDone scratchDone;
    const bool mono = image.format() == QImage::Format_Mono;
    const size_t width = size_t(image.width());
    const size_t height = size_t(image.height());
    const size_t rowBytes = mono ? (width + 7) / 8 : 3 * width;
    // A picture written with the defaults first goes to the row coder, which
    // compresses a painted picture's runs several times faster than
    // libdeflate, to about the same size; it gives up early on a picture of
    // other content, which then goes to libdeflate.
    if (!mono) {
        try {
            if (writeRowCoded(image, device))
                return true;
        } catch (const std::bad_alloc &) {
            *error = QStringLiteral("Out of memory");
            return false;
        }
    }
    const int level = mono ? 3 : 6;
    const size_t filteredSize = height * (rowBytes + 1);
    libdeflate_compressor *compressor = compressorFor(level);
    // Filtered in place, row y's bytes end where the image's row y + 1
    // starts (3 w + 1 <= 4 w): a row is converted before it is overwritten,
    // and the row above is kept in `rgb`.
    uchar *filtered = inPlace ? inPlace : t_rows.reserve(filteredSize);
    if (!compressor || !filtered) {
        *error = QStringLiteral("Out of memory");
        return false;
    }
    const size_t bound = libdeflate_zlib_compress_bound(compressor, filteredSize);
    uchar *deflated = t_deflated.reserve(bound);
    std::vector<uchar> rgb;
    if (!deflated) {
        *error = QStringLiteral("Out of memory");
        return false;
    }
    if (!mono)
        rgb.resize(2 * rowBytes);
    for (size_t y = 0; y < height; ++y) {
        const uchar *line = image.constScanLine(int(y));
        const uchar *row = line;
        const uchar *previous = y > 0 ? image.constScanLine(int(y - 1)) : nullptr;
        if (!mono) {
            uchar *out = rgb.data() + (y % 2) * rowBytes;
            const QRgb *pixels = reinterpret_cast<const QRgb *>(line);
            for (size_t x = 0; x < width; ++x) {
                out[3 * x] = uchar(qRed(pixels[x]));
                out[3 * x + 1] = uchar(qGreen(pixels[x]));
                out[3 * x + 2] = uchar(qBlue(pixels[x]));
            }
            row = out;
            previous = y > 0 ? rgb.data() + ((y + 1) % 2) * rowBytes : nullptr;
        }
        upFilterRow(row, previous, rowBytes, filtered + y * (rowBytes + 1));
    }
    const size_t deflatedSize =
        libdeflate_zlib_compress(compressor, filtered, filteredSize, deflated, bound);
    if (deflatedSize == 0) {
        *error = QStringLiteral("Could not compress the picture");
        return false;
    }

    writeChunks(image, device, deflated, deflatedSize);
    return true;
}

}  // namespace

bool writePng(const QImage &image, QIODevice *device, QString *error) {
    return encodePng(image, nullptr, device, error);
}

bool writePngConsuming(QImage &image, QIODevice *device, QString *error) {
    if (image.format() != QImage::Format_RGB32)
        return writePng(image, device, error);
    uchar *bits = image.bits();
    if (!bits) {
        *error = QStringLiteral("Out of memory");
        return false;
    }
    return encodePng(image, bits, device, error);
}

uchar *reusePicture(QImage *picture, QSize size) {
    if (picture->size() != size || picture->format() != QImage::Format_RGB32 ||
        !picture->textKeys().isEmpty() || picture->colorSpace().isValid()) {
        *picture = QImage(size, QImage::Format_RGB32);
    } else {
        // The resolution of a fresh picture, for a file that gives none.
        static const QImage fresh(1, 1, QImage::Format_RGB32);
        picture->setDotsPerMeterX(fresh.dotsPerMeterX());
        picture->setDotsPerMeterY(fresh.dotsPerMeterY());
    }
    uchar *bits = picture->isNull() ? nullptr : picture->bits();
    if (!bits) {
        *picture = QImage();
        throw std::bad_alloc();
    }
    return bits;
}

size_t pngRoomBeforeRows(QByteArrayView head, QSize *size) {
    *size = QSize();
    if (head.size() < kPngHeadBytes || !isPng(head))
        return 0;
    const uchar *chunk = reinterpret_cast<const uchar *>(head.data()) + 8;
    const uchar *data = chunk + 8;
    if (bigEndian32(chunk) != 13 || bigEndian32(chunk + 4) != chunkName("IHDR"))
        return 0;
    const quint32 width = bigEndian32(data);
    const quint32 height = bigEndian32(data + 4);
    const int depth = data[8];
    const int channels = channelsOf(data[9]);
    if (width == 0 || height == 0 || width > kMaxSide || height > kMaxSide || channels == 0 ||
        depth == 16 || !depthAllowed(data[9], depth) || data[10] != 0 || data[11] != 0 ||
        data[12] != 0)
        return 0;
    // As readPng() places them: the rows inflated at the end of the 32-bit
    // picture's buffer when each fits in a row of it.
    const size_t rowBytes = (size_t(width) * size_t(depth * channels) + 7) / 8;
    const size_t stride = 4 * size_t(width);
    if (rowBytes + 1 > stride)
        return 0;
    *size = QSize(int(width), int(height));
    return size_t(height) * (stride - rowBytes - 1);
}

bool readPng(QByteArrayView bytes, QImage *picture, const std::function<void(QSize)> &checkSize) {
    const ScratchDone scratchDone;
    if (!isPng(bytes))
        return false;
    const uchar *const begin = reinterpret_cast<const uchar *>(bytes.data());
    const size_t total = size_t(bytes.size());

    Header header;
    bool haveHeader = false;
    bool havePalette = false;
    bool haveTransparency = false;
    bool haveResolution = false;
    bool idatEnded = false;
    int paletteSize = 0;
    std::array<QRgb, 256> palette{};
    std::array<int, 256> paletteAlpha;
    paletteAlpha.fill(255);
    int keyGrey = -1;                       // tRNS of a grey picture, or -1
    std::array<int, 3> keyRgb{-1, -1, -1};  // tRNS of an RGB picture
    quint32 dpmX = 0;
    quint32 dpmY = 0;
    // The IDAT chunks' data: where the only one is, or gathered.
    const uchar *idat = nullptr;
    size_t idatSize = 0;
    int idatCount = 0;
    std::vector<std::pair<size_t, size_t>> idatParts;  // offset, length

    size_t at = 8;
    for (;;) {
        if (total - at < 12)
            return false;  // no IEND
        const quint32 length = bigEndian32(begin + at);
        const quint32 name = bigEndian32(begin + at + 4);
        if (length > 0x7FFFFFFFu || total - at - 12 < length)
            return false;
        for (int i = 4; i < 8; ++i) {
            if (!isLetter(begin[at + size_t(i)]))
                return false;
        }
        const uchar *data = begin + at + 8;
        const bool critical = (name & 0x20000000u) == 0;
        const bool crcGood =
            libdeflate_crc32(0, begin + at + 4, size_t(length) + 4) == bigEndian32(data + length);
        at += size_t(length) + 12;
        // Nothing may come before the header, not even a damaged chunk that
        // would be skipped after it: libpng refuses the file.
        if (!haveHeader && name != chunkName("IHDR"))
            return false;
        if (!crcGood) {
            if (critical)
                return false;
            continue;  // a damaged ancillary chunk is skipped, as libpng does
        }
        if (idatCount > 0 && name != chunkName("IDAT"))
            idatEnded = true;
        switch (name) {
            case chunkName("IHDR"): {
                if (haveHeader || length != 13)
                    return false;
                header.width = bigEndian32(data);
                header.height = bigEndian32(data + 4);
                header.depth = data[8];
                header.colourType = data[9];
                header.channels = channelsOf(header.colourType);
                if (header.width == 0 || header.height == 0 || header.width > kMaxSide ||
                    header.height > kMaxSide || header.channels == 0 ||
                    !depthAllowed(header.colourType, header.depth) || data[10] != 0 ||
                    data[11] != 0 || data[12] != 0 || header.depth == 16)
                    return false;  // 16 bits and interlacing (data[12]) are Qt's
                haveHeader = true;
                break;
            }
            case chunkName("PLTE"):
                if (havePalette || idatCount > 0 || haveTransparency || length == 0 ||
                    length % 3 != 0)
                    return false;
                if (header.colourType == 3) {
                    paletteSize = int(length / 3);
                    if (paletteSize > (1 << header.depth))
                        return false;
                    for (int i = 0; i < paletteSize; ++i)
                        palette[size_t(i)] = qRgb(data[3 * i], data[3 * i + 1], data[3 * i + 2]);
                } else if (header.colourType == 0 || header.colourType == 4) {
                    return false;
                }
                havePalette = true;  // a suggested palette of a true-colour picture is not used
                break;
            case chunkName("tRNS"):
                if (haveTransparency || idatCount > 0)
                    return false;
                if (header.colourType == 3) {
                    if (!havePalette || length == 0 || int(length) > paletteSize)
                        return false;
                    for (quint32 i = 0; i < length; ++i)
                        paletteAlpha[i] = data[i];
                } else if (header.colourType == 0 && header.depth == 8 && length == 2) {
                    if (data[0] != 0)
                        return false;
                    keyGrey = data[1];
                } else if (header.colourType == 2 && length == 6) {
                    for (int c = 0; c < 3; ++c) {
                        if (data[2 * c] != 0)
                            return false;
                        keyRgb[size_t(c)] = data[2 * c + 1];
                    }
                } else {
                    return false;
                }
                haveTransparency = true;
                break;
            case chunkName("pHYs"):
                if (!haveResolution && idatCount == 0 && length == 9) {
                    haveResolution = true;
                    if (data[8] == 1) {
                        dpmX = bigEndian32(data);
                        dpmY = bigEndian32(data + 4);
                    }
                }
                break;
            case chunkName("IDAT"):
                if (idatEnded)
                    return false;
                if (header.colourType == 3 && !havePalette)
                    return false;
                ++idatCount;
                if (idatCount == 1)
                    idat = data;
                idatParts.emplace_back(size_t(data - begin), size_t(length));
                idatSize += length;
                break;
            case chunkName("IEND"):
                if (length != 0)
                    return false;
                break;
            // Chunks Qt's reader keeps with the picture (text, colour space,
            // orientation), or that make an animation: left to it.
            case chunkName("tEXt"):
            case chunkName("zTXt"):
            case chunkName("iTXt"):
            case chunkName("iCCP"):
            case chunkName("sRGB"):
            case chunkName("gAMA"):
            case chunkName("cHRM"):
            case chunkName("cICP"):
            case chunkName("eXIf"):
            case chunkName("acTL"):
            case chunkName("fcTL"):
            case chunkName("fdAT"):
                return false;
            default:
                if (critical)
                    return false;
                break;  // other ancillary chunks say nothing about the pixels
        }
        if (name == chunkName("IEND"))
            break;
    }
    if (idatCount == 0)
        return false;

    const size_t width = header.width;
    const size_t height = header.height;
    checkSize(QSize(int(width), int(height)));
    const int bitsPerPixel = header.depth * header.channels;
    const int bpp = std::max(1, bitsPerPixel / 8);
    const size_t rowBytes = (width * size_t(bitsPerPixel) + 7) / 8;
    const size_t inflatedSize = height * (rowBytes + 1);

    uchar *bits = reusePicture(picture, QSize(int(width), int(height)));
    const size_t pictureBytes = size_t(picture->sizeInBytes());
    const size_t stride = size_t(picture->bytesPerLine());

    // The inflated rows go to the end of the picture's own buffer when they
    // fit there: each output row then ends before the next input row starts.
    // Otherwise (4 or more bytes a pixel) to a working buffer.
    uchar *inflated;
    if (inflatedSize <= pictureBytes && rowBytes + 1 <= stride)
        inflated = bits + (pictureBytes - inflatedSize);
    else
        inflated = t_rows.reserve(inflatedSize);
    // The IDAT chunks' data, when there are several, gathered in one piece:
    // at the start of the picture's buffer when it fits before the inflated
    // rows (it is read before any row is written), else in a working buffer.
    // The file itself may be there: each part then moves towards the start.
    if (idatCount > 1) {
        const bool inPicture = inflated == bits + (pictureBytes - inflatedSize) &&
                               idatSize <= pictureBytes - inflatedSize;
        uchar *gathered = inPicture ? bits : t_deflated.reserve(idatSize);
        if (gathered) {
            size_t to = 0;
            for (const auto &[offset, length] : idatParts) {
                std::memmove(gathered + to, begin + offset, length);
                to += length;
            }
        }
        idat = gathered;
    }
    if (!inflated || !idat) {
        *picture = QImage();
        throw std::bad_alloc();
    }
    thread_local std::unique_ptr<libdeflate_decompressor, void (*)(libdeflate_decompressor *)>
        t_decompressor(libdeflate_alloc_decompressor(), libdeflate_free_decompressor);
    if (!t_decompressor) {
        *picture = QImage();
        throw std::bad_alloc();
    }
    size_t produced = 0;
    if (libdeflate_zlib_decompress(t_decompressor.get(), idat, idatSize, inflated, inflatedSize,
                                   &produced) != LIBDEFLATE_SUCCESS ||
        produced != inflatedSize) {
        *picture = QImage();
        return false;
    }

    // The colours of the palette, or of each grey level, laid on white.
    std::array<QRgb, 256> lookup{};
    const int levels = 1 << std::min(header.depth, 8);
    if (header.colourType == 3) {
        for (int i = 0; i < paletteSize; ++i) {
            const QRgb c = palette[size_t(i)];
            lookup[size_t(i)] = laidOnWhite(qRed(c), qGreen(c), qBlue(c), paletteAlpha[size_t(i)]);
        }
    } else if (header.colourType == 0) {
        for (int v = 0; v < levels; ++v) {
            const int g = v * 255 / (levels - 1);
            lookup[size_t(v)] = v == keyGrey ? qRgb(255, 255, 255) : qRgb(g, g, g);
        }
    }
    const int validEntries = header.colourType == 3 ? paletteSize : levels;

    // The rows are unfiltered where they were inflated, one row ahead of the
    // conversion: row y + 1 needs row y unfiltered, and row y's pixels are
    // then written over it, from the left (each output row ends before the
    // next inflated row begins, and a pixel is read before the output reaches
    // it). The last row is unfiltered in a copy, since the filters may read a
    // few bytes past a row's end; the first has a row of zeros above it.
    std::vector<uchar> spare(2 * rowBytes + 4);
    const uchar *zeros = spare.data();
    uchar *lastRow = spare.data() + rowBytes;
    const auto unfiltered = [&](size_t y) {
        return y + 1 == height ? lastRow : inflated + y * (rowBytes + 1) + 1;
    };
    const auto unfilter = [&](size_t y) {
        const uchar *source = inflated + y * (rowBytes + 1);
        uchar *row = unfiltered(y);
        if (y + 1 == height)
            std::memcpy(row, source + 1, rowBytes);
        return unfilterRow(source[0], row, y > 0 ? unfiltered(y - 1) : zeros, rowBytes, bpp);
    };
    if (!unfilter(0)) {
        *picture = QImage();
        return false;
    }
    for (size_t y = 0; y < height; ++y) {
        if (y + 1 < height && !unfilter(y + 1)) {
            *picture = QImage();
            return false;
        }
        const uchar *row = unfiltered(y);
        QRgb *out = reinterpret_cast<QRgb *>(bits + y * stride);
        switch (header.colourType) {
            case 2:
                if (keyRgb[0] < 0) {
                    for (size_t x = 0; x < width; ++x)
                        out[x] = qRgb(row[3 * x], row[3 * x + 1], row[3 * x + 2]);
                } else {
                    for (size_t x = 0; x < width; ++x) {
                        const uchar *p = row + 3 * x;
                        out[x] = p[0] == keyRgb[0] && p[1] == keyRgb[1] && p[2] == keyRgb[2]
                                     ? qRgb(255, 255, 255)
                                     : qRgb(p[0], p[1], p[2]);
                    }
                }
                break;
            case 6:
                for (size_t x = 0; x < width; ++x) {
                    const uchar *p = row + 4 * x;
                    out[x] = laidOnWhite(p[0], p[1], p[2], p[3]);
                }
                break;
            case 4:
                for (size_t x = 0; x < width; ++x)
                    out[x] = laidOnWhite(row[2 * x], row[2 * x], row[2 * x], row[2 * x + 1]);
                break;
            default:  // grey or palette, 1 to 8 bits
                if (header.depth == 8) {
                    for (size_t x = 0; x < width; ++x) {
                        if (row[x] >= validEntries) {
                            *picture = QImage();
                            return false;  // an index past the palette: Qt's to judge
                        }
                        out[x] = lookup[row[x]];
                    }
                } else {
                    const int depth = header.depth;
                    const int perByte = 8 / depth;
                    const int mask = (1 << depth) - 1;
                    for (size_t x = 0; x < width; ++x) {
                        const int shift = 8 - depth * (int(x % size_t(perByte)) + 1);
                        const int v = (row[x / size_t(perByte)] >> shift) & mask;
                        if (v >= validEntries) {
                            *picture = QImage();
                            return false;
                        }
                        out[x] = lookup[size_t(v)];
                    }
                }
                break;
        }
    }
    if (dpmX != 0)
        picture->setDotsPerMeterX(int(dpmX));
    if (dpmY != 0)
        picture->setDotsPerMeterY(int(dpmY));
    return true;
}

}  // namespace ink
