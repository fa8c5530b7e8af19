// Whether a picture file stops before its picture does, per format: the
// readers would otherwise complete it with grey, black or nothing.
//
// Read in this order: Bytes, a bounds-checked view of the file; one check
// per format (JPEG segments, BMP with its RLE streams, GIF sub-blocks, PNG
// and other chunked files, PNM, XBM, JPEG 2000 boxes and codestreams); then
// endsEarly(), which picks the check from the file's first bytes. A check
// only answers "ends early" when the file's own structure says more bytes
// were due; anything else is for the reader to judge.

#include "core/files/truncation.h"

#include <QByteArray>

#include <algorithm>
#include <cctype>
#include <cstring>

namespace ink {

namespace {

// Bounds-checked reads of the file's bytes. Positions are 64-bit so that
// sizes taken from a header never wrap.
class Bytes {
public:
    explicit Bytes(QByteArrayView bytes) : m_bytes(bytes) {}

    qint64 size() const { return m_bytes.size(); }
    // Whether `count` bytes from `at` are in the file.
    bool has(qint64 at, qint64 count) const {
        return at >= 0 && count >= 0 && count <= size() && at <= size() - count;
    }
    bool startsWith(QByteArrayView prefix) const { return m_bytes.startsWith(prefix); }
    quint32 u8(qint64 at) const { return quint8(m_bytes[qsizetype(at)]); }
    quint32 le16(qint64 at) const { return u8(at) | u8(at + 1) << 8; }
    quint32 le32(qint64 at) const { return le16(at) | le16(at + 2) << 16; }
    quint32 be16(qint64 at) const { return u8(at) << 8 | u8(at + 1); }
    quint32 be32(qint64 at) const { return be16(at) << 16 | be16(at + 2); }
    // The position of the next byte `value` from `at`, or -1.
    qint64 find(quint8 value, qint64 at) const {
        if (at >= size())
            return -1;
        const void *hit = std::memchr(m_bytes.data() + at, value, size_t(size() - at));
        return hit ? static_cast<const char *>(hit) - m_bytes.data() : -1;
    }
    QByteArrayView view() const { return m_bytes; }

private:
    QByteArrayView m_bytes;
};

// JPEG: markers and their segments from the start-of-image marker on. A scan's
// segment is followed by entropy-coded data, which ends at the first FF byte
// that is neither a stuffed 00 nor a restart marker. The file is whole once
// the end-of-image marker is reached.
bool jpegEndsEarly(const Bytes &b) {
    qint64 at = 2;
    for (;;) {
        // Bytes before a marker are skipped, as the decoder skips them; fill
        // bytes (FF) may precede the marker's code.
        at = b.find(0xFF, at);
        if (at < 0)
            return true;
        while (b.has(at, 1) && b.u8(at) == 0xFF)
            ++at;
        if (!b.has(at, 1))
            return true;
        const quint32 code = b.u8(at++);
        if (code == 0xD9)
            return false;
        if (code == 0x00 || code == 0x01 || (code >= 0xD0 && code <= 0xD8))
            continue;  // no segment follows
        if (!b.has(at, 2))
            return true;
        const qint64 length = b.be16(at);
        if (length < 2)
            return false;  // broken: its reader refuses it
        if (!b.has(at, length))
            return true;
        at += length;
        if (code != 0xDA)
            continue;
        for (;;) {
            at = b.find(0xFF, at);
            if (at < 0)
                return true;
            qint64 next = at + 1;
            while (b.has(next, 1) && b.u8(next) == 0xFF)
                ++next;
            if (!b.has(next, 1))
                return true;
            const quint32 after = b.u8(next);
            if (after != 0x00 && (after < 0xD0 || after > 0xD7))
                break;  // a marker: the scan's data ends at `at`
            at = next + 1;
        }
    }
}

// Skips the run-length coded pixels of a BMP from `at`; true when the data
// stops before the end-of-bitmap code. `nibbles`: 4-bit pixels.
bool bmpRleEndsEarly(const Bytes &b, qint64 at, bool nibbles) {
    for (;;) {
        if (!b.has(at, 2))
            return true;
        const quint32 count = b.u8(at);
        const quint32 code = b.u8(at + 1);
        at += 2;
        if (count > 0 || code == 0)  // a run, or the end of a line
            continue;
        if (code == 1)  // the end of the bitmap
            return false;
        if (code == 2) {  // a move: two more bytes
            at += 2;
            continue;
        }
        // `code` pixels as they are, padded to an even number of bytes.
        const qint64 bytes = nibbles ? (code + 1) / 2 : code;
        at += (bytes + 1) / 2 * 2;
    }
}

bool bmpEndsEarly(const Bytes &b) {
    if (!b.has(0, 18))
        return true;
    const qint64 offBits = b.le32(10);
    const qint64 headerSize = b.le32(14);
    qint64 width = 0;
    qint64 height = 0;
    quint32 bitCount = 0;
    quint32 compression = 0;
    qint64 colours = 0;
    qint64 colourSize = 4;
    if (headerSize == 12) {  // the oldest header: 16-bit sizes, 3-byte colours
        if (!b.has(14, 12))
            return true;
        width = b.le16(18);
        height = b.le16(20);
        bitCount = b.le16(24);
        colourSize = 3;
    } else if (headerSize >= 40 && headerSize <= 124) {
        if (!b.has(14, headerSize))
            return true;
        width = qint32(b.le32(18));
        height = qint32(b.le32(22));
        bitCount = b.le16(28);
        compression = b.le32(30);
        colours = b.le32(46);
    } else {
        return false;
    }
    if (width <= 0 || bitCount == 0 || bitCount > 32)
        return false;  // its reader refuses it
    if (height < 0)    // rows stored top to bottom
        height = -height;
    if (bitCount <= 8 && colours == 0)
        colours = qint64(1) << bitCount;
    if (bitCount > 8)
        colours = 0;
    // Colour masks that follow the basic header.
    qint64 masks = 0;
    if (headerSize == 40 && compression == 3)
        masks = 12;
    else if (headerSize == 40 && compression == 6)
        masks = 16;
    // The reader starts on the pixels after the header and colours, or
    // further on where the file header says they start.
    qint64 start = 14 + headerSize + masks + colours * colourSize;
    if (offBits > start)
        start = offBits;

    switch (compression) {
        case 0:  // uncompressed
        case 3:  // uncompressed, with colour masks
        case 6: {
            const qint64 stride = (width * bitCount + 31) / 32 * 4;
            if (start > b.size())
                return true;
            return height > (b.size() - start) / stride;
        }
        case 1:
            return bmpRleEndsEarly(b, start, false);
        case 2:
            return bmpRleEndsEarly(b, start, true);
        default:
            return false;
    }
}

// GIF sub-blocks from `at`, each a length byte and as many bytes, up to an
// empty one; returns the position after it, or -1 when the file ends first.
qint64 skipSubBlocks(const Bytes &b, qint64 at) {
    for (;;) {
        if (!b.has(at, 1))
            return -1;
        const quint32 length = b.u8(at);
        at += 1 + length;
        if (length == 0)
            return at;
    }
}

bool gifEndsEarly(const Bytes &b) {
    if (!b.has(0, 13))
        return true;
    // Logical screen descriptor, then its colour table when it has one.
    qint64 at = 13;
    if (b.u8(10) & 0x80)
        at += 3 << ((b.u8(10) & 7) + 1);
    for (;;) {
        if (!b.has(at, 1))
            return true;
        switch (b.u8(at)) {
            case 0x21:  // an extension: its label, then sub-blocks
                at = skipSubBlocks(b, at + 2);
                if (at < 0)
                    return true;
                break;
            case 0x2C: {  // the first image: descriptor, colour table, code size, data
                if (!b.has(at, 10))
                    return true;
                const quint32 flags = b.u8(at + 9);
                at += 10;
                if (flags & 0x80)
                    at += 3 << ((flags & 7) + 1);
                return skipSubBlocks(b, at + 1) < 0;
            }
            default:  // the trailer with no image before it, or a broken file
                return false;
        }
    }
}

// PNG and MNG: chunks, each a length, a type, the data and a checksum, from
// the signature to the closing chunk `last`.
bool chunksEndEarly(const Bytes &b, QByteArrayView last) {
    qint64 at = 8;
    for (;;) {
        if (!b.has(at, 8))
            return true;
        const qint64 length = b.be32(at);
        if (!b.has(at + 8, length + 4))
            return true;
        if (b.view().sliced(qsizetype(at + 4), 4) == last)
            return false;
        at += 12 + length;
    }
}

// The next number of a PNM header from `at`, past blanks and comments; -1
// when there is none. Leaves `at` on the byte after the number.
qint64 pnmNumber(const Bytes &b, qint64 &at) {
    for (;;) {
        if (!b.has(at, 1))
            return -1;
        const char c = char(b.u8(at));
        if (c == '#') {
            const qint64 end = b.find('\n', at);
            at = end < 0 ? b.size() : end + 1;
        } else if (c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f') {
            ++at;
        } else {
            break;
        }
    }
    qint64 value = -1;
    while (b.has(at, 1) && b.u8(at) >= '0' && b.u8(at) <= '9') {
        value = (value < 0 ? 0 : value * 10) + (b.u8(at) - '0');
        if (value > (qint64(1) << 32))
            return -1;
        ++at;
    }
    return value;
}

bool pnmEndsEarly(const Bytes &b) {
    const quint32 kind = b.u8(1) - '0';
    qint64 at = 2;
    const qint64 width = pnmNumber(b, at);
    const qint64 height = pnmNumber(b, at);
    const qint64 maximum = kind == 4 ? 1 : pnmNumber(b, at);
    if (width < 0 || height < 0 || maximum < 0)
        return !b.has(at, 1);  // a header cut short, or a broken one
    // One blank separates the header from the rows.
    at += 1;
    const qint64 sampleBytes = maximum > 255 ? 2 : 1;
    const qint64 row = kind == 4 ? (width + 7) / 8 : width * sampleBytes * (kind == 6 ? 3 : 1);
    if (at > b.size())
        return true;
    return row > 0 && height > (b.size() - at) / row;
}

// XBM: C source, "#define NAME_width W" and "#define NAME_height H" on the
// first lines that start with '#', then the picture's bytes as "0x" values.
// The number on the line at `at`, which must be such a define; -1 when it is
// not. Lines are read no longer than the reader reads them.
qint64 xbmDefine(const Bytes &b, qint64 at) {
    constexpr qint64 kLineLimit = 300;
    qint64 end = b.find('\n', at);
    if (end < 0 || end - at > kLineLimit)
        end = std::min(b.size(), at + kLineLimit);
    const QByteArrayView line = b.view().sliced(qsizetype(at), qsizetype(end - at));
    if (!line.startsWith("#define"))
        return -1;
    qsizetype i = 7;
    while (i < line.size() && (line[i] == ' ' || line[i] == '\t'))
        ++i;
    while (i < line.size() && (std::isalnum(uchar(line[i])) || line[i] == '_' || line[i] == '.'))
        ++i;
    bool ok = false;
    const int value = line.sliced(i).toByteArray().trimmed().toInt(&ok);
    return ok && value > 0 ? value : -1;
}

bool xbmEndsEarly(const Bytes &b) {
    // The defines must start within the first few kilobytes, as for the reader.
    constexpr qint64 kHeaderLimit = 4096;
    qint64 at = 0;
    while (b.has(at, 1) && b.u8(at) != '#') {
        at = b.find('\n', at);
        if (at < 0 || at >= kHeaderLimit)
            return false;
        ++at;
    }
    if (!b.has(at, 1))
        return false;
    const qint64 width = xbmDefine(b, at);
    const qint64 next = b.find('\n', at);
    if (width < 0)
        return false;
    if (next < 0)
        return true;
    const qint64 height = xbmDefine(b, next + 1);
    if (height < 0)  // no second define, or one cut short
        return b.find('\n', next + 1) < 0;
    const qint64 needed = (width + 7) / 8 * height;
    const QByteArrayView rest = b.view().sliced(qsizetype(next + 1));
    // Each value is "0x" and two hex digits.
    qint64 values = 0;
    for (qsizetype i = rest.indexOf("0x"); i >= 0 && i + 4 <= rest.size() && values < needed;
         i = rest.indexOf("0x", i + 2))
        ++values;
    return values < needed;
}

// A JPEG 2000 codestream from `at` to `end`: the main header's marker
// segments, then tile-parts, each as long as its start-of-tile segment says
// (0 for the last one, which runs to the end), and the end-of-codestream
// marker.
bool codestreamEndsEarly(const Bytes &b, qint64 at, qint64 end) {
    at += 2;  // start of codestream
    for (;;) {
        if (at + 2 > end)
            return true;
        if (b.u8(at) != 0xFF)
            return false;  // broken: its reader refuses it
        const quint32 code = b.u8(at + 1);
        if (code == 0xD9)
            return false;
        if (code == 0x90) {  // start of tile-part
            if (at + 12 > end)
                return true;
            const qint64 length = b.be32(at + 6);
            if (length == 0)
                return !(b.u8(end - 2) == 0xFF && b.u8(end - 1) == 0xD9);
            if (length < 14)
                return false;
            if (length > end - at)
                return true;
            at += length;
            continue;
        }
        if (at + 4 > end)
            return true;
        const qint64 length = b.be16(at + 2);
        if (length < 2)
            return false;
        at += 2 + length;
    }
}

// A JP2 file: boxes, each a length (0: to the end of the file; 1: a 64-bit
// one follows the type) and a type, one of which holds the codestream.
bool jp2EndsEarly(const Bytes &b) {
    qint64 at = 0;
    bool codestream = false;
    for (;;) {
        if (at == b.size())
            return !codestream;
        if (!b.has(at, 8))
            return true;
        for (qint64 i = 4; i < 8; ++i) {
            if (b.u8(at + i) < 0x20 || b.u8(at + i) > 0x7E)
                return false;  // no box: damage, which its reader names
        }
        quint64 length = b.be32(at);
        qint64 header = 8;
        if (length == 1) {
            if (!b.has(at, 16))
                return true;
            length = quint64(b.be32(at + 8)) << 32 | b.be32(at + 12);
            header = 16;
        } else if (length == 0) {
            length = quint64(b.size() - at);
        }
        if (length < quint64(header))
            return false;
        if (length > quint64(b.size() - at))
            return true;
        if (b.view().sliced(qsizetype(at + 4), 4) == "jp2c") {
            if (length < quint64(header) + 2 ||
                codestreamEndsEarly(b, at + header, at + qint64(length)))
                return true;
            codestream = true;
        }
        at += qint64(length);
    }
}

}  // namespace

bool endsEarly(QByteArrayView bytes) {
    const Bytes b(bytes);
    if (b.startsWith("\xFF\xD8"))
        return jpegEndsEarly(b);
    if (b.startsWith("BM"))
        return bmpEndsEarly(b);
    if (b.startsWith("GIF87a") || b.startsWith("GIF89a"))
        return gifEndsEarly(b);
    if (b.startsWith("\x89PNG\r\n\x1A\n"))
        return chunksEndEarly(b, "IEND");
    if (b.startsWith("\x8AMNG\r\n\x1A\n"))
        return chunksEndEarly(b, "MEND");
    if (b.has(0, 3) && b.u8(0) == 'P' && b.u8(1) >= '4' && b.u8(1) <= '6' &&
        QByteArrayView(" \t\r\n#").contains(char(b.u8(2))))
        return pnmEndsEarly(b);
    if (b.startsWith(QByteArrayView("\x00\x00\x00\x0C\x6A\x50\x20\x20\x0D\x0A\x87\x0A", 12)))
        return jp2EndsEarly(b);
    if (b.startsWith("\xFF\x4F\xFF\x51"))
        return codestreamEndsEarly(b, 0, b.size());
    if (b.startsWith("RIFF") && b.has(0, 12) && b.view().sliced(8, 4) == "WEBP")
        return b.size() < 8 + qint64(b.le32(4));
    // A TIFF file, whatever text it holds further on, is no XBM file: its
    // reader follows its offsets itself.
    if (b.startsWith(QByteArrayView("II*\0", 4)) || b.startsWith(QByteArrayView("MM\0*", 4)) ||
        b.startsWith(QByteArrayView("II+\0", 4)) || b.startsWith(QByteArrayView("MM\0+", 4)))
        return false;  // classic TIFF or BigTIFF
    return xbmEndsEarly(b);
}

}  // namespace ink
