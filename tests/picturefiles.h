#pragma once

// Picture files built byte by byte, for the formats and variants Qt cannot
// write: GIF, run-length BMP, MNG, headers that claim more than they hold,
// and JPEG 2000 files made by OpenJPEG's own tools.

#include <QBuffer>
#include <QByteArray>
#include <QFile>
#include <QImage>
#include <QImageWriter>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QtEndian>

#include <algorithm>
#include <iterator>

namespace ink::test {

inline QByteArray encoded(const QImage &image, const char *format, bool progressive = false) {
    QBuffer buffer;
    buffer.open(QIODevice::WriteOnly);
    QImageWriter writer(&buffer, format);
    writer.setProgressiveScanWrite(progressive);
    writer.write(image);
    return buffer.data();
}

inline void appendLe(QByteArray &out, quint32 value, int bytes) {
    for (int i = 0; i < bytes; ++i)
        out.append(char((value >> (8 * i)) & 0xFF));
}

inline QByteArray be32(quint32 value) {
    const quint32 big = qToBigEndian(value);
    return QByteArray(reinterpret_cast<const char *>(&big), 4);
}

// A BMP file header and 40-byte header, then `colours` grey palette entries.
inline QByteArray bmpHeader(qint32 width, qint32 height, int bitCount, int compression, int colours,
                            int dataSize) {
    QByteArray out("BM");
    const int offBits = 14 + 40 + 4 * colours;
    appendLe(out, offBits + dataSize, 4);
    appendLe(out, 0, 4);
    appendLe(out, offBits, 4);
    appendLe(out, 40, 4);
    appendLe(out, quint32(width), 4);
    appendLe(out, quint32(height), 4);
    appendLe(out, 1, 2);
    appendLe(out, bitCount, 2);
    appendLe(out, compression, 4);
    appendLe(out, dataSize, 4);
    appendLe(out, 2835, 4);
    appendLe(out, 2835, 4);
    appendLe(out, colours, 4);
    appendLe(out, 0, 4);
    for (int i = 0; i < colours; ++i)
        appendLe(out, 0x010101u * quint32(i * 255 / std::max(1, colours - 1)), 4);
    return out;
}

// A run-length coded BMP (8 or 4 bits a pixel) of width x height with four
// grey levels: runs of up to five pixels, one literal run of three pixels on
// every line (odd, so it is padded), and the end-of-bitmap code.
inline QByteArray bmpRle(int width, int height, bool nibbles) {
    QByteArray data;
    for (int y = 0; y < height; ++y) {
        int x = 0;
        if (width >= 3) {
            data.append('\0');
            data.append(char(3));
            if (nibbles) {
                data.append(char(0x12));
                data.append(char(0x30));
            } else {
                data.append("\x01\x02\x03\x00", 4);
            }
            x = 3;
        }
        for (; x < width; x += 5) {
            const int level = (x + y) & 3;
            data.append(char(std::min(5, width - x)));
            data.append(char(nibbles ? level * 0x11 : level));
        }
        data.append("\0\0", 2);
    }
    data.append("\0\x01", 2);
    return bmpHeader(width, height, nibbles ? 4 : 8, nibbles ? 2 : 1, 4, int(data.size())) + data;
}

// A GIF of an 8-bit palette image: its colours in the global table, or in the
// image's own table when `localTable`; a graphic control extension making
// colour `transparent` transparent when it is not -1. The data is coded with
// 9-bit codes only, a clear code every 250 pixels.
inline QByteArray gifFile(const QImage &indexed, int transparent = -1, bool localTable = false) {
    QByteArray out("GIF89a");
    appendLe(out, indexed.width(), 2);
    appendLe(out, indexed.height(), 2);
    QByteArray table;
    for (int i = 0; i < 256; ++i) {
        const QRgb c = i < indexed.colorCount() ? indexed.color(i) : 0;
        table.append(char(qRed(c)));
        table.append(char(qGreen(c)));
        table.append(char(qBlue(c)));
    }
    out.append(char(localTable ? 0x07 : 0xF7));
    out.append("\0\0", 2);
    if (!localTable)
        out += table;
    if (transparent >= 0)
        out.append(QByteArray("\x21\xF9\x04\x01\0\0", 6) + char(transparent) + '\0');
    out.append(',');
    appendLe(out, 0, 4);
    appendLe(out, indexed.width(), 2);
    appendLe(out, indexed.height(), 2);
    out.append(char(localTable ? 0x87 : 0x00));
    if (localTable)
        out += table;
    out.append(char(8));
    QByteArray data;
    quint32 bits = 0;
    int count = 0;
    const auto put = [&](int code) {
        bits |= quint32(code) << count;
        for (count += 9; count >= 8; count -= 8, bits >>= 8)
            data.append(char(bits & 0xFF));
    };
    put(256);
    int sinceClear = 0;
    for (int y = 0; y < indexed.height(); ++y) {
        for (int x = 0; x < indexed.width(); ++x, ++sinceClear) {
            if (sinceClear == 250) {
                put(256);
                sinceClear = 0;
            }
            put(indexed.pixelIndex(x, y));
        }
    }
    put(257);
    if (count > 0)
        data.append(char(bits & 0xFF));
    for (qsizetype i = 0; i < data.size(); i += 255) {
        const qsizetype length = std::min<qsizetype>(255, data.size() - i);
        out.append(char(length));
        out.append(data.mid(i, length));
    }
    out.append('\0');
    out.append(';');
    return out;
}

// An uncompressed 8-bit grey TIFF of width x height, levels rising along each
// row, with a private tag (65000) no reader knows.
inline QByteArray tiffWithPrivateTag(int width, int height) {
    const quint32 entries[][4] = {{256, 3, 1, quint32(width)},
                                  {257, 3, 1, quint32(height)},
                                  {258, 3, 1, 8},
                                  {259, 3, 1, 1},
                                  {262, 3, 1, 1},
                                  {273, 4, 1, 0},
                                  {277, 3, 1, 1},
                                  {278, 3, 1, quint32(height)},
                                  {279, 4, 1, quint32(width * height)},
                                  {65000, 3, 1, 7}};
    const int count = int(std::size(entries));
    const quint32 pixels = 8 + 2 + 12 * quint32(count) + 4;
    QByteArray out("II*\0", 4);
    appendLe(out, 8, 4);
    appendLe(out, quint32(count), 2);
    for (const auto &e : entries) {
        appendLe(out, e[0], 2);
        appendLe(out, e[1], 2);
        appendLe(out, e[2], 4);
        appendLe(out, e[0] == 273 ? pixels : e[3], 4);  // SHORT values fill 4 bytes, low first
    }
    appendLe(out, 0, 4);
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x)
            out.append(char(x * 255 / std::max(1, width - 1)));
    return out;
}

// A PNG chunk with its checksum.
inline QByteArray pngChunk(const char *type, const QByteArray &data) {
    const QByteArray body = QByteArray(type) + data;
    quint32 crc = 0xFFFFFFFFu;
    for (const char c : body) {
        crc ^= quint8(c);
        for (int bit = 0; bit < 8; ++bit)
            crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
    }
    return be32(quint32(data.size())) + body + be32(~crc);
}

// A PNG whose header claims width x height pixels while its data holds 8 x 8.
inline QByteArray pngClaiming(quint32 width, quint32 height) {
    const QByteArray png = encoded(QImage(8, 8, QImage::Format_RGB32), "PNG");
    // then depth, colour type, compression, filter, interlace
    const QByteArray header = be32(width) + be32(height) + png.mid(24, 5);
    return png.left(8) + pngChunk("IHDR", header) + png.mid(33);
}

// A single-picture MNG: its header, then the picture's PNG chunks.
inline QByteArray mngFile(const QImage &image) {
    QByteArray header;
    for (const quint32 v : {quint32(image.width()), quint32(image.height()), 1u, 1u, 1u, 0u, 1u})
        header += be32(v);
    return QByteArray("\x8AMNG\r\n\x1A\n", 8) + pngChunk("MHDR", header) +
           encoded(image, "PNG").mid(8) + pngChunk("MEND", {});
}

// `image` as PNM, grey (8 or 16 bits, from Format_Grayscale8 or 16) or RGB:
// the input opj_compress takes. Qt writes no 16-bit PGM.
inline QByteArray pnmFile(const QImage &image) {
    if (image.format() != QImage::Format_Grayscale16)
        return encoded(image, image.format() == QImage::Format_Grayscale8 ? "PGM" : "PPM");
    QByteArray out = "P5\n" + QByteArray::number(image.width()) + ' ' +
                     QByteArray::number(image.height()) + "\n65535\n";
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x) {
            const quint16 v = reinterpret_cast<const quint16 *>(image.constScanLine(y))[x];
            out.append(char(v >> 8)).append(char(v & 0xFF));
        }
    return out;
}

// True when OpenJPEG's command-line tools are installed.
inline bool haveOpenJpegTools() {
    return !QStandardPaths::findExecutable(QStringLiteral("opj_compress")).isEmpty() &&
           !QStandardPaths::findExecutable(QStringLiteral("opj_decompress")).isEmpty();
}

// Runs one of OpenJPEG's tools; its output file's bytes, empty when it fails.
inline QByteArray openJpegTool(const QString &tool, const QByteArray &input,
                               const QString &inputName, const QString &outputName,
                               const QStringList &options) {
    QTemporaryDir dir;
    QFile in(dir.filePath(inputName));
    if (!in.open(QIODevice::WriteOnly) || in.write(input) != input.size())
        return {};
    in.close();
    QProcess process;
    process.start(tool, QStringList{"-i", in.fileName(), "-o", dir.filePath(outputName)} + options);
    if (!process.waitForFinished(120000) || process.exitCode() != 0)
        return {};
    QFile out(dir.filePath(outputName));
    return out.open(QIODevice::ReadOnly) ? out.readAll() : QByteArray();
}

// opj_compress's file of `image` (lossless, as .jp2 or a bare .j2k
// codestream), with its further `options`; empty without the tool. Fewer
// resolutions than its default 6 for a picture less than 32 pixels across,
// which it refuses otherwise.
inline QByteArray jpeg2000File(const QImage &image, const char *suffix = "jp2",
                               const QStringList &options = {}) {
    const bool grey =
        image.format() == QImage::Format_Grayscale8 || image.format() == QImage::Format_Grayscale16;
    int resolutions = 1;
    while (resolutions < 6 && std::min(image.width(), image.height()) >> resolutions > 0)
        ++resolutions;
    QStringList all = options;
    if (!all.contains(QStringLiteral("-n")))
        all << QStringLiteral("-n") << QString::number(resolutions);
    return openJpegTool(QStringLiteral("opj_compress"), pnmFile(image),
                        grey ? QStringLiteral("in.pgm") : QStringLiteral("in.ppm"),
                        QStringLiteral("out.") + suffix, all);
}

// opj_decompress's pixels for a JPEG 2000 file, as 32-bit RGB through Qt's
// PNG reader (which, like every reader but its PNM one, rounds 16-bit
// samples); null without the tool or when it refuses the file.
inline QImage openJpegPixels(const QByteArray &file, const QStringList &options = {}) {
    const bool jp2 = file.startsWith(QByteArray("\x00\x00\x00\x0C", 4));
    const QByteArray png = openJpegTool(QStringLiteral("opj_decompress"), file,
                                        jp2 ? QStringLiteral("in.jp2") : QStringLiteral("in.j2k"),
                                        QStringLiteral("out.png"), QStringList{"-quiet"} + options);
    return QImage::fromData(png, "PNG").convertToFormat(QImage::Format_RGB32);
}

// A JP2 file's box of `type` with `contents`.
inline QByteArray jp2Box(const char *type, const QByteArray &contents) {
    return be32(quint32(8 + contents.size())) + QByteArray(type, 4) + contents;
}

// `jp2` with a resolution box of `type` ("resc", capture, or "resd",
// display) at the end of its header box: numerator / denominator x
// 10^exponent points per metre each way.
inline QByteArray withJp2Resolution(QByteArray jp2, const char *type, quint16 numerator,
                                    quint16 denominator, qint8 exponent) {
    QByteArray fields;
    for (int i = 0; i < 2; ++i) {
        fields.append(char(numerator >> 8)).append(char(numerator & 0xFF));
        fields.append(char(denominator >> 8)).append(char(denominator & 0xFF));
    }
    fields.append(char(exponent)).append(char(exponent));
    const QByteArray res = jp2Box("res ", jp2Box(type, fields));
    const qsizetype header = jp2.indexOf("jp2h") - 4;
    const quint32 length = quint32(uchar(jp2[header])) << 24 |
                           quint32(uchar(jp2[header + 1])) << 16 |
                           quint32(uchar(jp2[header + 2])) << 8 | quint32(uchar(jp2[header + 3]));
    jp2.insert(header + qsizetype(length), res);
    return jp2.replace(header, 4, be32(length + quint32(res.size())));
}

// `jp2`, a one-tile JP2 file, claiming width x height pixels in its image
// header box and its codestream's size segment, its data unchanged.
inline QByteArray jp2Claiming(QByteArray jp2, quint32 width, quint32 height) {
    const auto put = [&jp2](qsizetype at, quint32 value) { jp2.replace(at, 4, be32(value)); };
    const qsizetype header = jp2.indexOf("ihdr") + 4;
    put(header, height);
    put(header + 4, width);
    const qsizetype size = jp2.indexOf("\xFF\x4F\xFF\x51") + 4;
    for (const qsizetype field : {4, 20})  // the image's size, then the tile's
        put(size + field, width), put(size + field + 4, height);
    return jp2;
}

}  // namespace ink::test
