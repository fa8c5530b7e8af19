// Reading and writing picture files. The loader's own rules: files cut short
// are recognised at every length, whole files load the same into a fresh or a
// reused buffer, and transparency is laid on white paper. The PNG decoder and
// encoder, and the JPEG decoder, against Qt's reader: files of every colour
// type and bit depth the decoder takes, every row filter, every width from 1
// to 300, must give Qt's pixels; damaged files and the kinds left to Qt must
// get Qt's verdict; JPEG files of every sampling and size from 1 to 40 Qt's
// pixels and resolution; what the encoder writes must read back, through Qt,
// as the image it was given, with its resolution; the row coder's streams
// inflate to the rows it was given, with zlib and with libdeflate, whatever
// the rows hold. Which file names take which format, what the batch tool's
// options make of them, and the mask as a 1-bit picture from either kind of
// mask, read back from the files written. The archival outputs: masks as
// Group 4 TIFF and as PBM, pictures as compressed TIFF, read back equal, kept
// small, refused where a format cannot hold the content, and written whole or
// not at all when the disk fills.

#include "batch/options.h"
#include "core/files/bmpcodec.h"
#include "core/files/imagefiles.h"
#include "core/files/jp2codec.h"
#include "core/files/jpegcodec.h"
#include "core/files/loadpicture.h"
#include "core/files/pngcodec.h"
#include "core/files/rowdeflate.h"
#include "core/files/tiffwriter.h"
#include "core/files/truncation.h"
#include "core/image/packedmask.h"
#include "core/runtime/runtimeerror.h"
#include "picturefiles.h"
#include "samplegen.h"
#include "support.h"

#include <QBuffer>
#include <QDir>
#include <QImageWriter>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QTest>

#include <libdeflate.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <jpeglib.h>
#include <sys/resource.h>

using namespace ink;
using namespace ink::test;

namespace {

struct Kind {
    int colourType;
    int depth;
};

int channelsOf(int colourType) {
    return colourType == 2 ? 3 : colourType == 4 ? 2 : colourType == 6 ? 4 : 1;
}

// `image` as libjpeg writes it, in colour with the luma component's sampling
// factors `sampling` (0x22: chroma halved both ways), with a JFIF header.
QByteArray jpegSampled(const QImage &image, int sampling) {
    jpeg_compress_struct info;
    jpeg_error_mgr errors;
    info.err = jpeg_std_error(&errors);
    jpeg_create_compress(&info);
    unsigned char *out = nullptr;
    unsigned long size = 0;
    jpeg_mem_dest(&info, &out, &size);
    info.image_width = JDIMENSION(image.width());
    info.image_height = JDIMENSION(image.height());
    info.input_components = 3;
    info.in_color_space = JCS_RGB;
    jpeg_set_defaults(&info);
    info.comp_info[0].h_samp_factor = sampling >> 4;
    info.comp_info[0].v_samp_factor = sampling & 15;
    jpeg_start_compress(&info, TRUE);
    const QImage rgb = image.convertToFormat(QImage::Format_RGB888);
    while (info.next_scanline < info.image_height) {
        JSAMPROW row = const_cast<uchar *>(rgb.constScanLine(int(info.next_scanline)));
        jpeg_write_scanlines(&info, &row, 1);
    }
    jpeg_finish_compress(&info);
    jpeg_destroy_compress(&info);
    const QByteArray bytes(reinterpret_cast<const char *>(out), qsizetype(size));
    std::free(out);
    return bytes;
}

// Filters one row as an encoder would, with the plain formulas.
QByteArray filtered(int type, const QByteArray &row, const QByteArray &above, int bpp) {
    QByteArray out(row.size(), '\0');
    for (int i = 0; i < row.size(); ++i) {
        const int a = i >= bpp ? uchar(row[i - bpp]) : 0;
        const int b = uchar(above[i]);
        const int c = i >= bpp ? uchar(above[i - bpp]) : 0;
        int predictor = 0;
        if (type == 1)
            predictor = a;
        else if (type == 2)
            predictor = b;
        else if (type == 3)
            predictor = (a + b) / 2;
        else if (type == 4) {
            const int p = a + b - c;
            const int pa = qAbs(p - a), pb = qAbs(p - b), pc = qAbs(p - c);
            predictor = pa <= pb && pa <= pc ? a : pb <= pc ? b : c;
        }
        out[i] = char(uchar(row[i]) - predictor);
    }
    return out;
}

struct PngParts {
    QByteArray header;  // IHDR's data
    QByteArray palette;
    QByteArray transparency;
    QByteArray rows;  // filtered, before deflating
};

// The file: `before` (whole chunks) after the header, then the stream `idat`
// (the rows deflated when null) in IDAT chunks of `piece` bytes.
QByteArray assemble(const PngParts &parts, const QByteArray &before = {},
                    const QByteArray &idat = {}, qsizetype piece = 1 << 30) {
    QByteArray out = QByteArray("\x89PNG\r\n\x1A\n", 8) + pngChunk("IHDR", parts.header) + before;
    if (!parts.palette.isEmpty())
        out += pngChunk("PLTE", parts.palette);
    if (!parts.transparency.isEmpty())
        out += pngChunk("tRNS", parts.transparency);
    // qCompress gives the length in four bytes, then a zlib stream.
    const QByteArray stream = idat.isNull() ? qCompress(parts.rows).mid(4) : idat;
    for (qsizetype at = 0; at < stream.size(); at += piece)
        out += pngChunk("IDAT", stream.mid(at, piece));
    return out + pngChunk("IEND", {});
}

// The same file with its stream in IDAT chunks of `piece` bytes, after a
// private chunk of `padding` bytes (none for -1).
QByteArray assembleSplit(const PngParts &parts, qsizetype piece, qsizetype padding = -1) {
    return assemble(parts, padding < 0 ? QByteArray() : pngChunk("prIV", QByteArray(padding, 'p')),
                    {}, piece);
}

// A picture of random samples, rows filtered by turns with every filter type
// (from `firstFilter`), a palette of `paletteSize` entries and, with
// `transparent`, a tRNS chunk for the colour types that take one.
PngParts randomPng(Kind kind, int width, int height, int firstFilter, bool transparent,
                   QRandomGenerator &random) {
    const int channels = channelsOf(kind.colourType);
    const int bits = channels * kind.depth;
    const int rowBytes = (width * bits + 7) / 8;
    const int bpp = std::max(1, bits / 8);
    const int levels = 1 << kind.depth;
    const int paletteSize = kind.colourType == 3 ? 1 + int(random.bounded(levels)) : 0;
    PngParts parts;
    parts.header = be32(quint32(width)) + be32(quint32(height));
    parts.header += char(kind.depth);
    parts.header += char(kind.colourType);
    parts.header += QByteArray(3, '\0');
    for (int i = 0; i < 3 * paletteSize; ++i)
        parts.palette += char(random.bounded(256));
    if (transparent && kind.colourType == 3) {
        for (int i = 0; i < 1 + int(random.bounded(paletteSize)); ++i)
            parts.transparency += char(i % 3 == 0 ? 255 : random.bounded(256));
    }
    // Few sample values, so that the tRNS key colour and runs both occur.
    const auto sample = [&] { return char(random.bounded(4) * 85); };
    if (transparent && kind.colourType == 0 && kind.depth == 8)
        parts.transparency = QByteArray(1, '\0') + char(85);
    if (transparent && kind.colourType == 2)
        parts.transparency = QByteArray::fromHex("000000aa0055");
    QByteArray above(rowBytes, '\0');
    for (int y = 0; y < height; ++y) {
        QByteArray row(rowBytes, '\0');
        if (kind.colourType == 3 || kind.depth < 8) {
            const int count = kind.colourType == 3 ? paletteSize : levels;
            for (int x = 0; x < width; ++x) {
                const int v = int(random.bounded(count));
                const int shift = 8 - kind.depth * (x % (8 / kind.depth) + 1);
                row[x * kind.depth / 8] = char(uchar(row[x * kind.depth / 8]) | (v << shift));
            }
        } else {
            for (int i = 0; i < rowBytes; ++i)
                row[i] = sample();
        }
        const int filter = (firstFilter + y) % 5;
        parts.rows += char(filter) + filtered(filter, row, above, bpp);
        above = row;
    }
    return parts;
}

// Qt's verdict on `bytes`, as the programs read pictures before the decoder:
// the picture laid on white paper as 32-bit RGB, or a null image.
QImage qtReads(const QByteArray &bytes) {
    QImage image = QImage::fromData(bytes, "png");
    if (image.isNull())
        return image;
    layOnWhitePaper(image);
    return image.convertToFormat(QImage::Format_RGB32);
}

// LoadPicture's verdict on the same bytes in a file, as 32-bit RGB.
QImage loads(const QByteArray &bytes) {
    static QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("p.png"));
    if (!writeFile(path, bytes, QIODevice::Truncate))
        return QImage();
    try {
        return LoadPicture(path).convertToFormat(QImage::Format_RGB32);
    } catch (const RuntimeError &) {
        return QImage();
    }
}

QByteArray written(const QImage &image) {
    QBuffer buffer;
    buffer.open(QIODevice::WriteOnly);
    QString error;
    if (!writePng(image, &buffer, &error))
        return {};
    return buffer.data();
}

// Rows for the row coder, `count` of `length` bytes. "painted": the filtered
// rows of a black-and-white drawing, zeros but for a few shapes of 01 and FF
// runs, stamped from a small set at random places, so that runs, shapes
// found again and literals all occur; "three bytes": 00, 01 and FF at
// random, short runs everywhere; "random": any byte; "skewed": byte k
// Fibonacci(k + 1) times in every 4180, which makes Huffman codes longer than
// deflate allows unless they are limited; "sparse": long runs of 00
// across rows, a lone byte now and then.
QByteArray coderRows(const QString &kind, int length, int count, QRandomGenerator &random) {
    QByteArray rows(qsizetype(length) * count, '\0');
    uchar *bytes = reinterpret_cast<uchar *>(rows.data());
    const qsizetype total = rows.size();
    if (kind == QLatin1String("painted")) {
        QList<QByteArray> shapes;
        for (int s = 0; s < 6; ++s) {
            QByteArray shape;
            for (int r = 0; r < 1 + s % 3; ++r) {
                shape += QByteArray(3 * (1 + int(random.bounded(4))), r % 2 ? '\xFF' : '\x01');
                shape += QByteArray(3 * int(random.bounded(6)), '\0');
            }
            shapes << shape;
        }
        for (int y = 0; y < count; ++y) {
            uchar *row = bytes + qsizetype(y) * length;
            row[0] = 2;
            for (int k = 0; k < 1 + length / 40; ++k) {
                const QByteArray &shape = shapes[int(random.bounded(int(shapes.size())))];
                const int at = 1 + int(random.bounded(std::max(1, length - 1)));
                const int n = std::min(int(shape.size()), length - at);
                if (n > 0)
                    std::memcpy(row + at, shape.constData(), size_t(n));
            }
        }
    } else if (kind == QLatin1String("three bytes")) {
        for (qsizetype i = 0; i < total; ++i)
            bytes[i] = "\x00\x01\xFF"[random.bounded(3)];
    } else if (kind == QLatin1String("random")) {
        for (qsizetype i = 0; i < total; ++i)
            bytes[i] = uchar(random.bounded(256));
    } else if (kind == QLatin1String("skewed")) {
        // Byte k (0..16) Fibonacci(k + 1) times in each 4180 bytes, shuffled.
        QByteArray pool;
        for (int k = 0, a = 1, b = 1; k < 17; ++k, b = a + b, a = b - a)
            pool += QByteArray(a, char(k));
        for (qsizetype at = 0; at < total; at += pool.size()) {
            for (qsizetype i = pool.size() - 1; i > 0; --i)
                std::swap(pool[i], pool[qsizetype(random.bounded(quint32(i + 1)))]);
            std::memcpy(bytes + at, pool.constData(), size_t(std::min(pool.size(), total - at)));
        }
    } else {  // sparse
        for (qsizetype i = 0; i < total; ++i)
            bytes[i] = random.bounded(500) == 0 ? uchar(1 + random.bounded(255)) : 0;
    }
    return rows;
}

// The row coder's stream of `rows`, never giving up.
QByteArray rowCoded(const QByteArray &rows, int length) {
    RowDeflater coder(size_t(length), false);
    for (qsizetype at = 0; at < rows.size(); at += length)
        coder.addRow(reinterpret_cast<const uchar *>(rows.constData()) + at);
    const std::vector<uchar> &stream = coder.finish();
    return QByteArray(reinterpret_cast<const char *>(stream.data()), qsizetype(stream.size()));
}

// A drawing as the passes leave it: black strokes on white, but for the
// scan's own colours in rows 0 and 1 and column 0.
QImage paintedPicture(int width, int height, QRandomGenerator &random) {
    QImage image(width, height, QImage::Format_RGB32);
    image.fill(Qt::white);
    for (int k = 0; k < 1 + width * height / 60; ++k) {
        const int x = int(random.bounded(width));
        const int y = int(random.bounded(height));
        const int w = 1 + int(random.bounded(std::min(width, 12)));
        const int h = 1 + int(random.bounded(std::min(height, 12)));
        for (int j = y; j < std::min(height, y + h); ++j)
            for (int i = x; i < std::min(width, x + w); ++i)
                image.setPixel(i, j, qRgb(0, 0, 0));
    }
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            if (y < 2 || x == 0)
                image.setPixel(x, y, 0xFF000000u | random.bounded(0x1000000u));
        }
    }
    return image;
}

// Strokes, a gradient and odd sizes, so that every row and pad byte matters.
QImage scan(int w, int h) {
    QImage image(w, h, QImage::Format_RGB32);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x)
            image.setPixel(x, y, x % 6 < 2 ? qRgb(10, 20, 30) : qRgb(4 * x, 200, 5 * y));
    return image;
}

QByteArray withHeight(QByteArray bmp, qint32 height) {
    QByteArray field;
    appendLe(field, quint32(height), 4);
    return bmp.replace(22, 4, field);
}

// A random mask of `width` x `height` as the 1-bit picture the writers get.
QImage randomMaskImage(int width, int height, Rng &rng) {
    QImage picture(width, height, QImage::Format_RGB32);
    picture.setDotsPerMeterX(11811);
    picture.setDotsPerMeterY(11811);
    return maskImage(randomMask(width, height, rng, 1 + rng.below(99)), picture);
}

// The image as black and white pixels, whatever its format.
QImage blackAndWhite(const QImage &image) {
    return image.convertToFormat(QImage::Format_RGB32);
}

QByteArray encoded(bool (*write)(const QImage &, QIODevice *, QString *), const QImage &image) {
    QBuffer buffer;
    buffer.open(QIODevice::ReadWrite);
    QString error;
    return write(image, &buffer, &error) ? buffer.data() : QByteArray();
}

}  // namespace

Q_DECLARE_METATYPE(Kind)

class TestCodecs : public QObject {
    Q_OBJECT

    QTemporaryDir m_dir;

    QString saved(const QByteArray &bytes, const QString &name) {
        const QString path = m_dir.filePath(name);
        return writeFile(path, bytes) ? path : QString();
    }

    // A fresh empty folder for each test row.
    QString freshFolder() {
        const QString path = m_dir.filePath(QString::number(++m_folders));
        QDir().mkpath(path);
        return path;
    }
    static QStringList filesIn(const QString &folder) {
        return QDir(folder).entryList(QDir::Files | QDir::Hidden);
    }
    int m_folders = 0;

private slots:
    void initTestCase() {
        qInstallMessageHandler([](QtMsgType, const QMessageLogContext &, const QString &) {});
    }

    // Every width from 1 to 300, each row's filter differing from the one
    // above, with and without transparency: the decoder's pixels are Qt's,
    // read fresh and into a picture reused from the previous width's.
    void decodesAsQt_data() {
        QTest::addColumn<Kind>("kind");
        const Kind kinds[] = {{0, 1}, {0, 2}, {0, 4}, {0, 8}, {2, 8}, {3, 1},
                              {3, 2}, {3, 4}, {3, 8}, {4, 8}, {6, 8}};
        for (const Kind kind : kinds)
            QTest::addRow("type %d, %d bits", kind.colourType, kind.depth) << kind;
    }
    void decodesAsQt() {
        QFETCH(Kind, kind);
        QRandomGenerator random(quint32(kind.colourType * 16 + kind.depth));
        QImage reused;
        for (int width = 1; width <= 300; ++width) {
            const int height = 2 + width % 5;
            for (const bool transparent : {false, true}) {
                const QByteArray png =
                    assemble(randomPng(kind, width, height, width % 5, transparent, random));
                const QImage expected = qtReads(png);
                QVERIFY2(!expected.isNull(), qPrintable(QString::number(width)));
                QImage fresh;
                QVERIFY(readPng(png, &fresh, [](QSize) {}));
                QVERIFY2(fresh == expected, qPrintable(QStringLiteral("width %1").arg(width)));
                reused.fill(0x5A);
                QVERIFY(readPng(png, &reused, [](QSize) {}));
                QCOMPARE(reused, expected);
                // Read from the picture's own buffer, where the file fits
                // before the inflated rows, its stream in one chunk or in
                // many gathered where they lie.
                const QByteArray split = assembleSplit(
                    randomPng(kind, width, height, width % 5, transparent, random), 5);
                for (const QByteArray &file : {png, split}) {
                    QSize size;
                    if (pngRoomBeforeRows(file, &size) < size_t(file.size()))
                        continue;
                    QCOMPARE(size, QSize(width, height));
                    const QImage wanted = qtReads(file);
                    uchar *bits = reusePicture(&reused, size);
                    std::memcpy(bits, file.constData(), size_t(file.size()));
                    QVERIFY(readPng(QByteArrayView(bits, file.size()), &reused, [](QSize) {}));
                    QVERIFY2(reused == wanted,
                             qPrintable(QStringLiteral("in place, width %1").arg(width)));
                }
            }
        }
    }

    // Damaged files and the kinds the decoder leaves to Qt: the same verdict
    // as Qt's reader, and the same pixels when it loads them.
    void verdictsAsQt_data() {
        QTest::addColumn<QByteArray>("png");
        QTest::addColumn<bool>("decoded");  // by the decoder, not left to Qt
        QRandomGenerator random(7);
        const PngParts rgb = randomPng({2, 8}, 37, 11, 0, false, random);
        const QByteArray good = assemble(rgb);
        const auto row = [](const char *tag, const QByteArray &png, bool decoded) {
            QTest::newRow(tag) << png << decoded;
        };
        row("whole", good, true);
        // The stream split over many IDAT chunks, as Qt's writer and libpng
        // split it, gathered before the rows are inflated.
        row("IDAT in chunks of 7 bytes", assembleSplit(rgb, 7), true);
        const auto flipped = [&good](const char *name, int offset) {
            QByteArray png = good;
            const int at = int(png.indexOf(name)) + offset;
            png[at] = char(png[at] ^ 0x10);
            return png;
        };
        row("IDAT checksum wrong", flipped("IDAT", 4 + int(qCompress(rgb.rows).size()) - 4), false);
        row("IDAT data damaged", flipped("IDAT", 30), false);
        row("IHDR checksum wrong", flipped("IHDR", 17), false);
        const QByteArray pHYs = pngChunk("pHYs", be32(11811) + be32(11811) + char(1));
        row("with a resolution", assemble(rgb, pHYs), true);
        QByteArray badPhys = pHYs;
        badPhys[badPhys.size() - 1] = char(badPhys[badPhys.size() - 1] ^ 1);
        row("resolution with a wrong checksum, skipped", assemble(rgb, badPhys), true);
        // Before the header even a damaged chunk makes libpng refuse the file.
        QByteArray beforeHeader = good;
        beforeHeader.insert(8, badPhys);
        row("damaged resolution before the header", beforeHeader, false);
        row("unknown ancillary chunk", assemble(rgb, pngChunk("prIV", "anything")), true);
        row("unknown critical chunk", assemble(rgb, pngChunk("CRIT", "anything")), false);
        row("text", assemble(rgb, pngChunk("tEXt", QByteArray("Title\0plan", 10))), false);
        row("gamma", assemble(rgb, pngChunk("gAMA", be32(45455))), false);
        const QByteArray rows = rgb.rows;
        row("too little data", assemble(rgb, {}, qCompress(rows.chopped(5)).mid(4)), false);
        row("too much data", assemble(rgb, {}, qCompress(rows + QByteArray(40, '\0')).mid(4)),
            false);
        QByteArray badFilter = rows;
        badFilter[(37 * 3 + 1) * 4] = 5;
        row("filter type 5", assemble(rgb, {}, qCompress(badFilter).mid(4)), false);
        PngParts interlaced = rgb;
        interlaced.header[12] = 1;
        row("interlaced", assemble(interlaced), false);
        QImage deep(9, 5, QImage::Format_RGBA64);
        deep.fill(QColor(10, 200, 30, 128));
        row("16 bits", encoded(deep, "png"), false);
        PngParts indexed = randomPng({3, 8}, 20, 4, 1, false, random);
        indexed.palette = indexed.palette.left(3);  // index 0 only
        indexed.rows = QByteArray(4 * 21, '\0');
        indexed.rows[5] = char(3);
        row("palette index past its end", assemble(indexed), false);
        PngParts wide = rgb;
        wide.header.replace(0, 4, be32(1000001));
        row("wider than libpng takes", assemble(wide), false);
    }
    void verdictsAsQt() {
        QFETCH(QByteArray, png);
        QFETCH(bool, decoded);
        const QImage expected = qtReads(png);
        QCOMPARE(loads(png), expected);
        QCOMPARE(loads(png).dotsPerMeterX(), expected.dotsPerMeterX());
        QImage picture;
        QCOMPARE(readPng(png, &picture, [](QSize) {}), decoded);
    }

    // The encoder's files read back through Qt as the images given, at every
    // width from 1 to 300 (the mask's bit packing and the last partial
    // byte), with the resolution; filtering a picture in its own buffer gives
    // the same bytes. Painted pictures, which the encoder gives to the row
    // coder, at heights from 1 to 97.
    void encodesForQt_data() {
        QTest::addColumn<QString>("kind");
        for (const char *kind : {"mask", "picture", "painted"})
            QTest::newRow(kind) << QString::fromLatin1(kind);
    }
    void encodesForQt() {
        QFETCH(QString, kind);
        const QImage::Format format = kind == "mask" ? QImage::Format_Mono : QImage::Format_RGB32;
        QRandomGenerator random(3);
        for (int width = 1; width <= 300; ++width) {
            QImage image = kind == "painted" ? paintedPicture(width, 1 + (width * 13) % 97, random)
                                             : QImage(width, 1 + width % 7, format);
            if (kind == "mask") {
                image.setColorTable({qRgb(255, 255, 255), qRgb(0, 0, 0)});
                image.fill(0);
                for (int y = 0; y < image.height(); ++y)
                    for (int x = 0; x < width; ++x)
                        image.setPixel(x, y, random.bounded(2));
            } else if (kind == "picture") {
                for (int y = 0; y < image.height(); ++y)
                    for (int x = 0; x < width; ++x)
                        image.setPixel(x, y, 0xFF000000 | random.bounded(0x1000000u));
            }
            image.setDotsPerMeterX(11811 + width);
            image.setDotsPerMeterY(3780);
            QVERIFY(pngWrites(image));
            const QByteArray png = written(image);
            QImage read = QImage::fromData(png, "png");
            QCOMPARE(read.format(),
                     format == QImage::Format_Mono ? QImage::Format_Mono : QImage::Format_RGB32);
            QCOMPARE(read.convertToFormat(QImage::Format_RGB32),
                     image.convertToFormat(QImage::Format_RGB32));
            QCOMPARE(read.dotsPerMeterX(), 11811 + width);
            QCOMPARE(read.dotsPerMeterY(), 3780);
            // Rows filtered in the picture's own buffer: the same file.
            {
                QImage consumed = image.copy();
                QBuffer buffer;
                buffer.open(QIODevice::WriteOnly);
                QString error;
                QVERIFY(writePngConsuming(consumed, &buffer, &error));
                QCOMPARE(buffer.data(), written(image));
                QCOMPARE(consumed.size(), image.size());
            }
        }
    }

    // JPEG files as Qt writes them (colour with chroma halved both ways, grey,
    // progressive) at every size from 1 x 1 to 40 x 40 by steps, and as
    // libjpeg writes other samplings, with resolutions patched in: Qt's pixels
    // and resolution.
    void jpegAsQt_data() {
        QTest::addColumn<QImage::Format>("format");
        QTest::addColumn<bool>("progressive");
        QTest::addColumn<int>("sampling");  // the luma component's factors, 0x22 as written
        QTest::addColumn<int>("unit");      // JFIF density unit
        QTest::addColumn<int>("density");
        QTest::newRow("colour") << QImage::Format_RGB32 << false << 0x22 << 1 << 300;
        QTest::newRow("grey") << QImage::Format_Grayscale8 << false << 0x11 << 1 << 72;
        QTest::newRow("progressive") << QImage::Format_RGB32 << true << 0x22 << 1 << 96;
        QTest::newRow("4:4:4") << QImage::Format_RGB32 << false << 0x11 << 1 << 301;
        QTest::newRow("4:2:2") << QImage::Format_RGB32 << false << 0x21 << 2 << 118;
        QTest::newRow("4:4:0") << QImage::Format_RGB32 << false << 0x12 << 0 << 1;
    }
    void jpegAsQt() {
        QFETCH(QImage::Format, format);
        QFETCH(bool, progressive);
        QFETCH(int, sampling);
        QFETCH(int, unit);
        QFETCH(int, density);
        QRandomGenerator random(5);
        QImage reused;
        for (int width = 1; width <= 40; width += 1 + width / 8) {
            for (int height = 1; height <= 40; height += 3 + height / 4) {
                QImage image(width, height, QImage::Format_RGB32);
                for (int y = 0; y < height; ++y)
                    for (int x = 0; x < width; ++x)
                        image.setPixel(x, y, 0xFF000000 | random.bounded(0x1000000u));
                QByteArray jpeg = format == QImage::Format_RGB32 && sampling != 0x22
                                      ? jpegSampled(image, sampling)
                                      : encoded(image.convertToFormat(format), "jpeg", progressive);
                QCOMPARE(jpeg.mid(6, 5), QByteArray("JFIF\0", 5));
                jpeg[13] = char(unit);
                jpeg[14] = char(density >> 8);
                jpeg[15] = char(density);
                jpeg[16] = char(density >> 8);
                jpeg[17] = char(density);
                if (format == QImage::Format_RGB32) {
                    // The start of frame's first component: id, factors, table.
                    const qsizetype frame = jpeg.indexOf(progressive ? "\xFF\xC2" : "\xFF\xC0");
                    QVERIFY(frame > 0);
                    QCOMPARE(int(uchar(jpeg[frame + 11])), sampling);
                }
                const QImage expected =
                    QImage::fromData(jpeg, "jpeg").convertToFormat(QImage::Format_RGB32);
                QVERIFY(!expected.isNull());
                reused.fill(0x5A);
                QVERIFY(readJpeg(jpeg, &reused, [](QSize) {}));
                QVERIFY2(reused == expected,
                         qPrintable(QStringLiteral("%1 x %2").arg(width).arg(height)));
                QCOMPARE(reused.dotsPerMeterX(), expected.dotsPerMeterX());
                QCOMPARE(reused.dotsPerMeterY(), expected.dotsPerMeterY());
            }
        }
    }

    // JPEG files with what Qt keeps or acts on are left to it.
    void jpegLeftToQt_data() {
        QTest::addColumn<QByteArray>("segment");  // put after the JFIF header
        QTest::newRow("EXIF orientation") << QByteArray::fromHex(
            "ffe10022457869660000"
            "4d4d002a00000008000101120003000000010006000000000000");
        QTest::newRow("comment") << QByteArray::fromHex("fffe0007706c616e00");
        QTest::newRow("Adobe") << QByteArray::fromHex("ffee000e41646f626500640000000000");
    }
    void jpegLeftToQt() {
        QFETCH(QByteArray, segment);
        const QByteArray plain = encoded(solidImage(17, 9, 0xDC8C1E), "jpeg");
        QByteArray jpeg = plain;
        jpeg.insert(20, segment);  // after SOI and the 18-byte JFIF segment
        QImage picture;
        QVERIFY(!readJpeg(jpeg, &picture, [](QSize) {}));
        QVERIFY(readJpeg(plain, &picture, [](QSize) {}));
    }

    // BMP files too large for Qt's reader are decoded by ours: on the files
    // Qt does read, it must give Qt's pixels and resolution. Random rows,
    // their padding included; rows stored top to bottom when the height is
    // negative; a colour table shorter than its pixels could name.
    void bmpAsQt_data() {
        QTest::addColumn<int>("bits");
        QTest::addColumn<int>("width");
        QTest::addColumn<int>("height");
        QTest::addColumn<int>("colours");
        for (const int bits : {1, 4, 8, 24, 32})
            for (const int width : {1, 5, 13})
                QTest::addRow("%d bits, %d wide", bits, width)
                    << bits << width << 7 << (bits <= 8 ? 1 << bits : 0);
        QTest::newRow("top to bottom") << 24 << 6 << -5 << 0;
        QTest::newRow("short table") << 8 << 9 << 4 << 16;
    }
    void bmpAsQt() {
        QFETCH(int, bits);
        QFETCH(int, width);
        QFETCH(int, height);
        QFETCH(int, colours);
        QRandomGenerator random(uint(bits * 100 + width));
        const int stride = (width * bits + 31) / 32 * 4;
        QByteArray data(stride * std::abs(height), '\0');
        for (char &c : data)
            c = char(random.bounded(256));
        QByteArray bmp = test::bmpHeader(width, height, bits, 0, colours, int(data.size())) + data;
        QImage picture(3, 3, QImage::Format_RGB32);
        picture.fill(0x5A);
        QVERIFY(!bmpBeyondQt(bmp));
        QCOMPARE(readBmp(bmp, &picture, [](QSize) {}), QString());
        const QImage qt = QImage::fromData(bmp, "bmp").convertToFormat(QImage::Format_RGB32);
        QVERIFY(!qt.isNull());
        QCOMPARE(picture, qt);
        QCOMPARE(picture.dotsPerMeterX(), qt.dotsPerMeterX());
    }

    // The batch tool keeps its buffers (the file's bytes, the picture, the
    // rows) from one file to the next: every file must still read as alone,
    // whatever came before it, its resolution included.
    void reusedBuffersReadAsFresh() {
        QTemporaryDir dir;
        QRandomGenerator random(11);
        QList<QString> files;
        const auto add = [&](const QByteArray &bytes, const char *suffix) {
            files << dir.filePath(QStringLiteral("f%1.%2").arg(files.size()).arg(suffix));
            QVERIFY(writeFile(files.last(), bytes));
        };
        add(assemble(randomPng({2, 8}, 300, 200, 0, false, random),
                     pngChunk("pHYs", be32(11811) + be32(5906) + char(1))),
            "png");
        add(assemble(randomPng({2, 8}, 300, 200, 1, false, random)), "png");  // no resolution
        add(assemble(randomPng({6, 8}, 300, 200, 2, false, random)), "png");
        add(assemble(randomPng({3, 4}, 29, 3, 3, true, random)), "png");
        add(encoded(solidImage(300, 200, 0x5A1EC8), "jpeg"), "jpg");
        add(assemble(randomPng({0, 8}, 300, 200, 4, false, random)), "png");
        QImage reused;
        keepCodecBuffers(true);
        for (int round = 0; round < 2; ++round) {
            for (const QString &file : files) {
                LoadPicture(file, &reused);
                keepCodecBuffers(false);
                const QImage alone = LoadPicture(file);
                keepCodecBuffers(true);
                QCOMPARE(reused.convertToFormat(QImage::Format_RGB32),
                         alone.convertToFormat(QImage::Format_RGB32));
                QCOMPARE(reused.dotsPerMeterX(), alone.dotsPerMeterX());
                QCOMPARE(reused.dotsPerMeterY(), alone.dotsPerMeterY());
            }
        }
        keepCodecBuffers(false);
    }

    // With the buffers kept, a PNG file that fits in the picture's buffer
    // before the inflated rows is read there: at the edge of that room and
    // past it, and when damaged, cut short or left to Qt, it loads as it
    // does on its own, with the same pixels or the same error.
    void loadsInPictureAsAlone_data() {
        QTest::addColumn<QByteArray>("png");
        QRandomGenerator random(5);
        // Flat rows, which deflate to a few bytes: the file's size is the
        // padding's.
        PngParts flat = randomPng({2, 8}, 64, 16, 2, false, random);
        flat.rows = QByteArray(flat.rows.size(), '\0');
        QSize size;
        const qsizetype room = qsizetype(pngRoomBeforeRows(assembleSplit(flat, 9), &size));
        // The stream last, in one chunk, where the rows would overwrite it
        // first; or in chunks gathered at the start.
        for (const qsizetype piece : {qsizetype(1) << 20, qsizetype(9)}) {
            const qsizetype bare = assembleSplit(flat, piece, 0).size();
            QVERIFY(room > bare);
            for (const qsizetype over : {-1, 0, 1})
                QTest::addRow("RGB, IDAT of %lld, room %+lld", qlonglong(piece), qlonglong(over))
                    << assembleSplit(flat, piece, room + over - bare);
        }
        const PngParts grey = randomPng({0, 8}, 50, 20, 0, false, random);
        const QByteArray good = assembleSplit(grey, 11);
        QByteArray damaged = good;
        damaged[damaged.indexOf("IDAT") + 6] = char(damaged[damaged.indexOf("IDAT") + 6] ^ 0x10);
        QTest::newRow("grey") << good;
        QTest::newRow("grey, IDAT damaged") << damaged;
        QTest::newRow("grey, cut short") << good.chopped(20);
        QTest::newRow("grey, with text")
            << assemble(grey, pngChunk("tEXt", QByteArray("Title\0plan", 10)));
    }
    void loadsInPictureAsAlone() {
        QFETCH(QByteArray, png);
        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("p.png"));
        QVERIFY(writeFile(path, png));
        const auto load = [&path](QImage *picture) {
            try {
                LoadPicture(path, picture);
                return QString();
            } catch (const RuntimeError &e) {
                return e.description();
            }
        };
        QImage alone;
        const QString aloneError = load(&alone);
        // Into a picture of the size already, its pixels not the file's.
        QSize size;
        const size_t room = pngRoomBeforeRows(png, &size);
        QImage reused(size.isValid() ? size : QSize(3, 3), QImage::Format_RGB32);
        reused.fill(0x5A5A5A);
        keepCodecBuffers(true);
        const QString reusedError = load(&reused);
        keepCodecBuffers(false);
        QCOMPARE(reusedError, aloneError);
        if (aloneError.isEmpty()) {
            QCOMPARE(reused.convertToFormat(QImage::Format_RGB32),
                     alone.convertToFormat(QImage::Format_RGB32));
            QCOMPARE(reused.dotsPerMeterX(), alone.dotsPerMeterX());
        }
        // Decoded from the room itself, a file that fits is not overwritten
        // by the rows inflated from it.
        QImage copied;
        if (size_t(png.size()) <= room && readPng(png, &copied, [](QSize) {})) {
            uchar *bits = reusePicture(&reused, size);
            std::memcpy(bits, png.constData(), size_t(png.size()));
            QVERIFY(readPng(QByteArrayView(bits, png.size()), &reused, [](QSize) {}));
            QCOMPARE(reused, copied);
        }
    }

    // The row coder's stream inflates, with zlib (Qt's qUncompress) and with
    // libdeflate, to the rows given: every row length from 1 to 300 with a
    // few rows, and long streams that fill the 32 KB window many times over,
    // for every kind of rows.
    void rowCoderRoundTrips_data() {
        QTest::addColumn<QString>("kind");
        for (const char *kind : {"painted", "three bytes", "random", "skewed", "sparse"})
            QTest::newRow(kind) << QString::fromLatin1(kind);
    }
    void rowCoderRoundTrips() {
        QFETCH(QString, kind);
        QRandomGenerator random(11);
        std::vector<std::pair<int, int>> sizes;  // row length, rows
        for (int length = 1; length <= 300; ++length)
            sizes.emplace_back(length, 1 + (length * 5) % 11);
        sizes.emplace_back(997, 230);
        sizes.emplace_back(4180, 6);
        sizes.emplace_back(7441, 40);
        sizes.emplace_back(40000, 3);  // rows longer than the window
        libdeflate_decompressor *inflater = libdeflate_alloc_decompressor();
        for (const auto &[length, count] : sizes) {
            const QByteArray rows = coderRows(kind, length, count, random);
            const QByteArray stream = rowCoded(rows, length);
            QCOMPARE(qUncompress(be32(quint32(rows.size())) + stream), rows);
            QByteArray inflated(rows.size(), '\0');
            size_t produced = 0;
            QCOMPARE(
                libdeflate_zlib_decompress(inflater, stream.constData(), size_t(stream.size()),
                                           inflated.data(), size_t(inflated.size()), &produced),
                LIBDEFLATE_SUCCESS);
            QCOMPARE(qsizetype(produced), rows.size());
            QCOMPARE(inflated, rows);
        }
        libdeflate_free_decompressor(inflater);
    }

    // Code lengths within the limit, every code complete (the lengths' sum
    // of 2^-length exactly 1) and never a longer code for a more frequent
    // symbol: frequencies that make an unlimited Huffman code far deeper
    // than deflate allows, and ones that do not.
    void codeLengthsLimited_data() {
        QTest::addColumn<QList<quint32>>("frequencies");
        QTest::addColumn<int>("limit");
        QList<quint32> fibonacci{1, 1};
        while (fibonacci.size() < 30)
            fibonacci << fibonacci[fibonacci.size() - 1] + fibonacci[fibonacci.size() - 2];
        QTest::newRow("Fibonacci, 15 bits") << fibonacci << 15;
        QTest::newRow("Fibonacci, 7 bits") << fibonacci.mid(0, 19) << 7;
        QList<quint32> skewed(286, 1);
        skewed[40] = 1000000;
        QTest::newRow("one common, many rare") << skewed << 15;
        QTest::newRow("all equal") << QList<quint32>(286, 7) << 15;
        QTest::newRow("two") << QList<quint32>{0, 5, 0, 1} << 15;
        QTest::newRow("with unused") << QList<quint32>{0, 3, 0, 0, 9, 1, 0, 2, 2} << 7;
    }
    void codeLengthsLimited() {
        QFETCH(QList<quint32>, frequencies);
        QFETCH(int, limit);
        std::vector<uchar> lengths(size_t(frequencies.size()));
        codeLengths(frequencies.constData(), int(frequencies.size()), limit, lengths.data());
        quint64 kraft = 0;  // in units of 2^-limit
        for (qsizetype s = 0; s < frequencies.size(); ++s) {
            QCOMPARE(lengths[size_t(s)] == 0, frequencies[s] == 0);
            QVERIFY(lengths[size_t(s)] <= limit);
            if (lengths[size_t(s)] > 0)
                kraft += quint64(1) << (limit - lengths[size_t(s)]);
            for (qsizetype t = 0; t < frequencies.size(); ++t) {
                if (frequencies[t] > frequencies[s] && frequencies[s] > 0)
                    QVERIFY(lengths[size_t(t)] <= lengths[size_t(s)]);
            }
        }
        QCOMPARE(kraft, quint64(1) << limit);
    }

    // What the encoder would lose goes to Qt's writer, which keeps it.
    void keepsWhatItCannotWriteForQt() {
        QImage image(5, 4, QImage::Format_RGB32);
        image.fill(qRgb(1, 2, 3));
        QVERIFY(pngWrites(image));
        image.setText(QStringLiteral("Title"), QStringLiteral("plan"));
        QVERIFY(!pngWrites(image));
        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("t.png"));
        QString error;
        QVERIFY2(writeImageFile(image, path, &error), qPrintable(error));
        QCOMPARE(QImage(path).text(QStringLiteral("Title")), QStringLiteral("plan"));
        QVERIFY(!pngWrites(image.convertToFormat(QImage::Format_ARGB32)));
    }

    // JPEG 2000 files made by opj_compress load, under a name without an
    // extension, with opj_decompress's pixels (16-bit samples scaled as Qt
    // scales them) and the resolution of a JP2 file's resolution box.
    void jpeg2000AsOpenJpeg_data() {
        QTest::addColumn<QByteArray>("file");
        QTest::addColumn<int>("dotsPerMeter");  // 0: a fresh picture's
        if (!haveOpenJpegTools())
            QSKIP("opj_compress and opj_decompress are not installed (libopenjp2-tools)");
        QRandomGenerator random(2000);
        QImage rgb(67, 45, QImage::Format_RGB32);
        QImage grey(53, 41, QImage::Format_Grayscale8);
        QImage deep(33, 37, QImage::Format_Grayscale16);
        for (QImage *image : {&rgb, &grey, &deep})
            for (int y = 0; y < image->height(); ++y)
                random.fillRange(reinterpret_cast<quint32 *>(image->scanLine(y)),
                                 image->bytesPerLine() / 4);
        const QByteArray jp2 = jpeg2000File(rgb);
        QTest::newRow("RGB, 8 bits") << jp2 << 0;
        QTest::newRow("grey, 8 bits") << jpeg2000File(grey) << 0;
        QTest::newRow("grey, 16 bits") << jpeg2000File(deep) << 0;
        QTest::newRow("codestream, tiles, lossy")
            << jpeg2000File(rgb, "j2k", {"-t", "32,16", "-n", "3", "-r", "8"}) << 0;
        // 4:2:0 YCbCr samples, raw: opj_compress marks the JP2 file sYCC; the
        // codestream says nothing of its colours.
        QByteArray ycc(40 * 30 * 3 / 2, Qt::Uninitialized);
        random.fillRange(reinterpret_cast<quint32 *>(ycc.data()), ycc.size() / 4);
        for (const char *name : {"out.jp2", "out.j2k"})
            QTest::addRow("YCbCr 4:2:0, %s", name)
                << openJpegTool(QStringLiteral("opj_compress"), ycc, QStringLiteral("in.raw"),
                                QString::fromLatin1(name),
                                {"-F", "40,30,3,8,u@1x1:2x2:2x2", "-n", "3"})
                << 0;
        QTest::newRow("capture resolution") << withJp2Resolution(jp2, "resc", 11811, 1, 0) << 11811;
        QTest::newRow("display resolution, a power of ten")
            << withJp2Resolution(jp2, "resd", 3937, 10, 1) << 3937;
    }
    void jpeg2000AsOpenJpeg() {
        QFETCH(QByteArray, file);
        QFETCH(int, dotsPerMeter);
        QVERIFY(!file.isEmpty());
        const QImage expected = openJpegPixels(file);
        QVERIFY(!expected.isNull());
        QTemporaryDir dir;
        QVERIFY(writeFile(dir.filePath(QStringLiteral("master")), file));
        QImage picture;
        try {
            picture = LoadPicture(dir.filePath(QStringLiteral("master")));
        } catch (const RuntimeError &e) {
            QFAIL(qPrintable(e.description()));
        }
        QCOMPARE(picture, expected);
        const int fresh = QImage(1, 1, QImage::Format_RGB32).dotsPerMeterX();
        QCOMPARE(picture.dotsPerMeterX(), dotsPerMeter ? dotsPerMeter : fresh);
        QCOMPARE(picture.dotsPerMeterY(), dotsPerMeter ? dotsPerMeter : fresh);
    }

    void wholeFile_data() {
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<QString>("name");
        QTest::addColumn<int>("from");   // shorter files are not recognisable
        QTest::addColumn<int>("spare");  // trailing bytes the picture does not need
        const QImage picture = scan(37, 23);
        const QImage palette = picture.convertToFormat(QImage::Format_Indexed8);
        const auto row = [](const char *tag, const QByteArray &bytes, const char *name, int from,
                            int spare = 0) {
            QTest::newRow(tag) << bytes << QString::fromLatin1(name) << from << spare;
        };
        row("png", encoded(picture, "PNG"), "a.png", 8);
        row("jpeg", encoded(picture, "JPEG"), "a.jpg", 2);
        row("jpeg, progressive", encoded(picture, "JPEG", true), "a.jpg", 2);
        row("bmp, 24-bit", encoded(picture.convertToFormat(QImage::Format_RGB888), "BMP"), "a.bmp",
            2);
        row("bmp, 1-bit", encoded(picture.convertToFormat(QImage::Format_Mono), "BMP"), "a.bmp", 2);
        row("bmp, top-down", withHeight(encoded(picture, "BMP"), -23), "a.bmp", 2);
        row("bmp, rle8", bmpRle(37, 23, false), "a.bmp", 2);
        row("bmp, rle4", bmpRle(37, 23, true), "a.bmp", 2);
        row("gif", gifFile(palette), "a.gif", 6, 1);
        row("gif, transparency and own table", gifFile(palette, 3, true), "a.gif", 6, 1);
        row("pbm, raw", encoded(picture.convertToFormat(QImage::Format_Mono), "PBM"), "a.pbm", 3);
        row("pgm, raw", encoded(picture, "PGM"), "a.pgm", 3);
        row("pgm, raw 16-bit",
            QByteArray("P5 # two bytes a sample\n3 2\n65535\n") + QByteArray(12, '\x7F'), "a.pgm",
            3);
        row("ppm, raw", encoded(picture, "PPM"), "a.ppm", 3);
        row("webp", encoded(picture, "WEBP"), "a.webp", 12);
        row("mng", mngFile(picture), "a.mng", 8);
        const QByteArray xbm = encoded(picture.convertToFormat(QImage::Format_Mono), "XBM");
        row("xbm", xbm, "a.xbm", int(xbm.indexOf('\n')) + 1,
            int(xbm.size() - xbm.lastIndexOf("0x") - 4));
    }
    // Whole, with bytes added after it, it loads, and the same into a buffer
    // of the picture's size and format full of other pixels; cut anywhere
    // before its last needed byte, it is recognised as cut.
    void wholeFile() {
        QFETCH(QByteArray, bytes);
        QFETCH(QString, name);
        QFETCH(int, from);
        QFETCH(int, spare);
        QVERIFY(!endsEarly(bytes));
        QVERIFY(!endsEarly(bytes + QByteArray("\0\xFF\xD9;trailing", 13)));
        for (qsizetype cut = from; cut < bytes.size() - spare; ++cut) {
            if (!endsEarly(bytes.left(cut)))
                QFAIL(qPrintable(QStringLiteral("taken as whole when cut at %1").arg(cut)));
        }

        const QString path = saved(bytes, name);
        QVERIFY(!path.isEmpty());
        const QImage picture = LoadPicture(path);
        QVERIFY(!picture.hasAlphaChannel());
        QImage reused(picture.size(), picture.format());
        reused.fill(0x5A);
        LoadPicture(path, &reused);
        QCOMPARE(reused, picture);
    }

    void verdict_data() {
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<bool>("cut");
        const auto row = [](const char *tag, const QByteArray &bytes, bool cut) {
            QTest::newRow(tag) << bytes << cut;
        };
        const QByteArray soi("\xFF\xD8", 2);
        const QByteArray scan("\xFF\xDA\x00\x02", 4);
        const QByteArray eoi("\xFF\xD9", 2);
        row("jpeg: stuffed FF00 and restart markers in a scan",
            soi + scan + "\x12\xFF\x00\x34" + "\xFF\xD0\x56\xFF\xD7\x78" + eoi, false);
        row("jpeg: the scan's data stops after a restart marker", soi + scan + "\x12\xFF\xD0\x56",
            true);
        row("jpeg: D9 after a stuffed FF is data", soi + scan + QByteArray("\xFF\x00\xD9", 3),
            true);
        row("jpeg: fill bytes before the end marker", soi + scan + "\x12\xFF\xFF\xFF\xD9", false);
        row("jpeg: end marker inside a segment",
            soi + QByteArray("\xFF\xE1\x00\x06\xFF\xD9\xFF\xD9", 8), true);
        row("jpeg: two scans", soi + scan + "\x11" + scan + "\x22" + eoi, false);
        row("jpeg: second scan cut", soi + scan + "\x11" + scan.left(3), true);
        row("bmp: 154 bytes claiming 16384 x 16384",
            bmpHeader(16384, 16384, 32, 0, 0, 0) + QByteArray(100, '\0'), true);
        row("bmp: rows start beyond the end",
            withHeight(bmpHeader(1, 1, 32, 0, 0, 4), 1).replace(10, 4, "\x00\x10\x00\x00", 4) +
                QByteArray(4, '\0'),
            true);
        row("bmp: rle move", bmpHeader(4, 4, 8, 1, 2, 6) + QByteArray("\0\x02\x01\x01\0\x01", 6),
            false);
        row("bmp: rle cut inside a move", bmpHeader(4, 4, 8, 1, 2, 3) + QByteArray("\0\x02\x01", 3),
            true);
        row("bmp: rle without its end code",
            bmpHeader(4, 1, 8, 1, 2, 4) + QByteArray("\x04\x01\0\0", 4), true);
        row("gif: a trailer and no image", QByteArray("GIF89a\1\0\1\0\0\0\0;", 14), false);
        row("pgm: header cut", "P5\n3 ", true);
        row("pgm: maximum 255, one byte short", QByteArray("P5\n2 2\n255\n") + "abc", true);
        row("xbm: defines and no values", "#define a_width 8\n#define a_height 2\nstatic", true);
        row("xbm: comment before the defines",
            "/* a */\n#define a_width 8\n#define a_height 1\n"
            "static char a_bits[] = { 0x01 };\n",
            false);
        row("tiff holding an xbm's text", QByteArray("II*\0\x08\0\0\0#define a_width 8\n", 26),
            false);
        row("bigtiff holding an xbm's text", QByteArray("II+\0\x08\0\0\0\n#define a_width 8\n", 27),
            false);
        const QByteArray siz("\xFF\x4F\xFF\x51\x00\x04xy", 8);
        const QByteArray lastPart("\xFF\x90\x00\x0A\x00\x00\x00\x00\x00\x00\x00\x01\xFF\x93", 14);
        row("j2k: last tile-part to its end marker", siz + lastPart + "data\xFF\xD9", false);
        row("j2k: last tile-part cut", siz + lastPart + "da", true);
        row("j2k: tile-part longer than the file",
            siz + QByteArray(lastPart).replace(6, 4, "\x00\x00\x01\x00") + "data\xFF\xD9", true);
        const QByteArray signature("\x00\x00\x00\x0C\x6A\x50\x20\x20\x0D\x0A\x87\x0A", 12);
        const QByteArray ftyp(
            "\x00\x00\x00\x14"
            "ftypjp2 \x00\x00\x00\x00jp2 ",
            20);
        row("jp2: no codestream box", signature + ftyp, true);
        row("jp2: codestream box to the end of the file",
            signature + ftyp + QByteArray("\x00\x00\x00\x00jp2c", 8) + siz + lastPart + "\xFF\xD9",
            false);
        row("something else", "not a picture", false);
    }
    void verdict() {
        QFETCH(QByteArray, bytes);
        QFETCH(bool, cut);
        QCOMPARE(endsEarly(bytes), cut);
    }

    void refusedCut() {
        // Into a buffer that holds a whole picture of the same size and format,
        // a cut file is refused rather than finished with that picture's pixels.
        const QByteArray whole = encoded(scan(40, 30), "BMP");
        QImage buffer = LoadPicture(saved(whole, QStringLiteral("whole.bmp")));
        const QString cut = saved(whole.left(whole.size() / 2), QStringLiteral("cut.bmp"));
        try {
            LoadPicture(cut, &buffer);
            QFAIL("a cut file was read");
        } catch (const RuntimeError &error) {
            QCOMPARE(error.number(), 481);
            QCOMPARE(error.description(), QStringLiteral("Invalid picture (the file ends early)"));
        }
    }

    void layOnWhitePaper_data() {
        QTest::addColumn<QImage>("image");
        QTest::addColumn<QList<QRgb>>("expected");  // the first row's pixels
        const auto argb = [](std::initializer_list<QRgb> pixels, QImage::Format format) {
            QImage image(int(pixels.size()), 1, QImage::Format_ARGB32);
            int x = 0;
            for (const QRgb p : pixels)
                image.setPixel(x++, 0, p);
            return image.convertToFormat(format);
        };
        QTest::newRow("opaque, translucent and transparent")
            << argb({qRgba(12, 34, 56, 255), qRgba(0, 0, 0, 0), qRgba(0, 0, 0, 128),
                     qRgba(200, 100, 0, 51)},
                    QImage::Format_ARGB32)
            << QList<QRgb>{qRgb(12, 34, 56), qRgb(255, 255, 255), qRgb(127, 127, 127),
                           qRgb(244, 224, 204)};
        QTest::newRow("premultiplied")
            << argb({qRgba(0, 0, 0, 0), qRgba(9, 8, 7, 255)}, QImage::Format_ARGB32_Premultiplied)
            << QList<QRgb>{qRgb(255, 255, 255), qRgb(9, 8, 7)};
        QImage palette(2, 1, QImage::Format_Indexed8);
        palette.setColorTable({qRgba(0, 0, 0, 0), qRgb(1, 2, 3)});
        palette.setPixel(0, 0, 0);
        palette.setPixel(1, 0, 1);
        QTest::newRow("palette with a transparent colour")
            << palette << QList<QRgb>{qRgb(255, 255, 255), qRgb(1, 2, 3)};
        QImage deep(1, 1, QImage::Format_RGBA64);
        deep.setPixelColor(0, 0, QColor::fromRgba64(0x1234, 0x5678, 0x9ABC, 0xFFFF));
        QTest::newRow("16-bit, opaque") << deep << QList<QRgb>{qRgb(0x12, 0x56, 0x9A)};
        QTest::newRow("no alpha channel")
            << argb({qRgb(1, 2, 3)}, QImage::Format_RGB888) << QList<QRgb>{qRgb(1, 2, 3)};
    }
    void layOnWhitePaper() {
        QFETCH(QImage, image);
        QFETCH(QList<QRgb>, expected);
        const bool opaque = !image.hasAlphaChannel();
        const QImage before = image;
        ink::layOnWhitePaper(image);
        if (opaque) {
            QCOMPARE(image.constBits(), before.constBits());  // left as it is, not copied
            return;
        }
        QCOMPARE(image.format(), QImage::Format_RGB32);
        for (int x = 0; x < expected.size(); ++x)
            QCOMPARE(image.pixel(x, 0), expected[x]);
    }

    // Random masks of every width from 1 to 300 (every partial byte, one
    // 64-pixel word and several) at heights around a word's edge: Group 4
    // (through Qt's TIFF reader, which is libtiff's) and PBM read back equal
    // to the mask, black as black.
    void maskRoundTrip_data() {
        QTest::addColumn<int>("height");
        for (const int height : {1, 2, 63, 64, 65})
            QTest::addRow("height %d", height) << height;
    }
    void maskRoundTrip() {
        QFETCH(int, height);
        Rng rng{quint64(height) * 7919};
        for (int width = 1; width <= 300; ++width) {
            const QImage mask = randomMaskImage(width, height, rng);
            const QImage expected = blackAndWhite(mask);
            const QString where = QStringLiteral("%1 x %2").arg(width).arg(height);

            const QByteArray tiff = encoded(writeTiff, mask);
            QVERIFY2(blackAndWhite(QImage::fromData(tiff, "TIFF")) == expected, qPrintable(where));
            const QByteArray pbm = encoded(writePbm, mask);
            const QByteArray header =
                "P4\n" + QByteArray::number(width) + ' ' + QByteArray::number(height) + '\n';
            QVERIFY(pbm.startsWith(header));
            QCOMPARE(pbm.size(), header.size() + (width + 7) / 8 * height);
            QVERIFY2(blackAndWhite(QImage::fromData(pbm, "PBM")) == expected, qPrintable(where));
        }
    }

    // A mask whose colour table is the other way round (0 = black, as Qt's
    // own conversion to 1 bit makes it) is written with the same pixels.
    void invertedColourTable() {
        Rng rng{5};
        const QImage mask = randomMaskImage(77, 9, rng);
        QImage inverted = mask.copy();
        inverted.invertPixels();
        inverted.setColorTable({qRgb(0, 0, 0), qRgb(255, 255, 255)});
        QCOMPARE(blackAndWhite(inverted), blackAndWhite(mask));
        QCOMPARE(blackAndWhite(QImage::fromData(encoded(writeTiff, inverted), "TIFF")),
                 blackAndWhite(mask));
        QCOMPARE(encoded(writePbm, inverted), encoded(writePbm, mask));
    }

    // The resolution read back by Qt is the picture's: whole dots per inch
    // stored as such, anything else as dots per centimetre.
    void resolutionKept_data() {
        QTest::addColumn<int>("x");
        QTest::addColumn<int>("y");
        QTest::newRow("300 dpi") << 11811 << 11811;
        QTest::newRow("600 x 300 dpi") << 23622 << 11811;
        QTest::newRow("72 dpi") << 2835 << 2835;
        QTest::newRow("not whole inches") << 1000 << 12345;
    }
    void resolutionKept() {
        QFETCH(int, x);
        QFETCH(int, y);
        Rng rng{1};
        QImage mask = randomMaskImage(40, 30, rng);
        mask.setDotsPerMeterX(x);
        mask.setDotsPerMeterY(y);
        QImage picture = blackAndWhite(mask);
        picture.setDotsPerMeterX(x);
        picture.setDotsPerMeterY(y);
        for (const QImage &image : {mask, picture}) {
            const QString path = m_dir.filePath(QStringLiteral("dpi.tif"));
            QString error;
            QVERIFY2(writeImageFile(image, path, &error), qPrintable(error));
            const QImage read(path);
            QCOMPARE(read.dotsPerMeterX(), x);
            QCOMPARE(read.dotsPerMeterY(), y);
            QCOMPARE(blackAndWhite(read), picture);
        }
    }

    // An A4 page at 300 dpi: its Group 4 mask under a tenth of the 1-bit
    // TIFF it replaces, and the painted picture (black and white in RGB)
    // under a twentieth of its raw size, read back equal.
    void a4Sizes() {
        const QImage scan = makeSampleScan(2480, 3508, 1);
        PackedMask cells;
        cells.allocate(scan.width(), scan.height());
        for (int y = 0; y < scan.height(); ++y) {
            const QRgb *row = reinterpret_cast<const QRgb *>(scan.constScanLine(y));
            for (int x = 0; x < scan.width(); ++x)
                cells.set(x, y,
                          qRed(row[x]) <= 180 && qGreen(row[x]) <= 180 && qBlue(row[x]) <= 180);
        }
        const QImage mask = maskImage(cells, scan);
        const qint64 uncompressed = qint64(scan.height()) * ((scan.width() + 7) / 8);
        const QByteArray g4 = encoded(writeTiff, mask);
        QVERIFY2(g4.size() * 10 < uncompressed, qPrintable(QString::number(g4.size())));
        const QImage painted = blackAndWhite(mask);
        const QByteArray picture = encoded(writeTiff, painted);
        QVERIFY2(picture.size() * 20 < qint64(scan.width()) * scan.height() * 3,
                 qPrintable(QString::number(picture.size())));
        QCOMPARE(blackAndWhite(QImage::fromData(picture, "TIFF")), painted);
    }

    // Forced to BigTIFF, as a page past 4 GB is written: a mask and a
    // picture, with their resolution, load back equal.
    void bigTiffReadBack() {
        Rng rng{17};
        const QImage mask = randomMaskImage(301, 97, rng);
        QImage picture = noiseImage(67, 45, 17);
        picture.setDotsPerMeterX(11811);
        picture.setDotsPerMeterY(11811);
        const QString folder = freshFolder();
        setBigTiffBound(0);
        for (const QImage &image : {mask, picture}) {
            const QString path = folder + QStringLiteral("/big.tif");
            QString error;
            QVERIFY2(writeImageFile(image, path, &error), qPrintable(error));
            QCOMPARE(contents(path).left(4), QByteArray("II+\0", 4));
            const QImage read = LoadPicture(path);
            QCOMPARE(blackAndWhite(read), blackAndWhite(image));
            QCOMPARE(read.dotsPerMeterX(), 11811);
        }
        setBigTiffBound(-1);
        QCOMPARE(encoded(writeTiff, mask).left(4), QByteArray("II*\0", 4));
    }

    // The painted picture to PBM is refused with the formats that can hold
    // it, and nothing is written.
    void pictureToPbmRefused() {
        const QImage picture(8, 8, QImage::Format_RGB32);
        const QString folder = freshFolder();
        QString error;
        QVERIFY(!writeImageFile(picture, folder + QStringLiteral("/p.pbm"), &error));
        QCOMPARE(error, QStringLiteral("PBM cannot hold the painted picture: write .png, .tif "
                                       "or .tiff"));
        QCOMPARE(filesIn(folder), QStringList());
    }

    // A disk that fills during the write: the cause is the system's, and no
    // file, temporary or final, is left behind.
    void diskFull_data() {
        QTest::addColumn<QString>("name");
        QTest::addColumn<bool>("isMask");
        QTest::newRow("Group 4 mask") << "m.tif" << true;
        QTest::newRow("PBM mask") << "m.pbm" << true;
        QTest::newRow("TIFF picture") << "p.tiff" << false;
    }
    void diskFull() {
        QFETCH(QString, name);
        QFETCH(bool, isMask);
        Rng rng{9};
        const QImage mask = randomMaskImage(600, 400, rng);  // noise: far over the limit
        const QImage image = isMask ? mask : blackAndWhite(mask);
        rlimit previous;
        getrlimit(RLIMIT_FSIZE, &previous);
        const auto oldHandler = signal(SIGXFSZ, SIG_IGN);
        rlimit limit = previous;
        limit.rlim_cur = 4096;
        setrlimit(RLIMIT_FSIZE, &limit);
        const QString folder = freshFolder();
        QString error;
        const bool written = writeImageFile(image, folder + QLatin1Char('/') + name, &error);
        setrlimit(RLIMIT_FSIZE, &previous);
        signal(SIGXFSZ, oldHandler);
        QVERIFY(!written);
        QCOMPARE(error, qt_error_string(EFBIG));
        QCOMPARE(filesIn(folder), QStringList());
    }

    // The format of a file name, the size it can hold and the message when
    // it cannot.
    void formatOfName_data() {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QByteArray>("format");
        QTest::addColumn<QSize>("size");
        QTest::addColumn<QString>("problem");
        const QSize largest(1000000, 1000000);
        QTest::newRow("png at the limit") << "a.png" << QByteArray("png") << largest << "";
        QTest::newRow("png too wide")
            << "A.PNG" << QByteArray("png") << QSize(1000001, 1)
            << "PNG cannot hold a picture 1000001 pixels wide: write TIFF";
        QTest::newRow("png too high")
            << "d.x/a.Png" << QByteArray("png") << QSize(1, 1000001)
            << "PNG cannot hold a picture 1000001 pixels high: write TIFF";
        QTest::newRow("tif") << "b.TIF" << QByteArray("tiff") << QSize(2000000, 1) << "";
        QTest::newRow("tiff") << "b.tiff" << QByteArray("tiff") << QSize(1, 2000000) << "";
        QTest::newRow("jpeg") << "c.jpg" << QByteArray() << QSize(2000000, 1) << "";
        QTest::newRow("folder named .png") << "d.png/e" << QByteArray() << largest << "";
        QTest::newRow("compressed png") << "e.png.gz" << QByteArray() << largest << "";
    }
    void formatOfName() {
        QFETCH(QString, name);
        QFETCH(QByteArray, format);
        QFETCH(QSize, size);
        QFETCH(QString, problem);
        QCOMPARE(imageFormatFor(name), format);
        QCOMPARE(imageSizeProblem(size, name), problem);
    }

    // The batch tool's outputs: the formats -o and --mask accept, and the
    // names given in --output-dir and --mask-dir.
    void batchOutputs_data() {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<QString>("error");
        QTest::addColumn<QString>("picture");
        QTest::addColumn<QString>("mask");
        const auto refused = [](const char *name, const char *extensions = ".png, .tif or .tiff") {
            return QStringLiteral("%1: the output must be a %2 file").arg(name, extensions);
        };
        const auto row = [](const char *tag, const QStringList &arguments, const QString &error,
                            const char *picture = "", const char *mask = "") {
            QTest::newRow(tag) << arguments << error << QString::fromUtf8(picture)
                               << QString::fromUtf8(mask);
        };
        row("-o jpeg", {"-o", "o.jpg", "in.png"}, refused("o.jpg"));
        row("--mask bmp", {"--mask", "m.bmp", "in.png"},
            refused("m.bmp", ".png, .tif, .tiff or .pbm"));
        row("-o pbm", {"-o", "o.pbm", "in.png"},
            "o.pbm: PBM cannot hold the painted picture: write .png, .tif or .tiff");
        row("--mask pbm", {"--mask", "m.PBM", "in.png"}, "", "", "m.PBM");
        row("pbm input", {"--output-dir", "p", "--mask-dir", "m", "in.pbm"}, "", "p/in.png",
            "m/in.pbm");
        row("no extension", {"-o", "o", "in.png"}, refused("o"));
        row("-o and --mask", {"-o", "o.TIFF", "--mask", "m.Png", "in.png"}, "", "o.TIFF", "m.Png");
        const QStringList dirs{"--output-dir", "p", "--mask-dir", "m"};
        row("jpeg input", dirs + QStringList{"in.jpg"}, "", "p/in.png", "m/in.png");
        row("tif input", dirs + QStringList{"in.TIF"}, "", "p/in.TIF", "m/in.TIF");
        row("tiff input", dirs + QStringList{"in.tiff"}, "", "p/in.tiff", "m/in.tiff");
        row("png input, upper case", dirs + QStringList{"in.PNG"}, "", "p/in.png", "m/in.png");
        row("dotted name", dirs + QStringList{"d/a.b.c.bmp"}, "", "p/a.b.c.png", "m/a.b.c.png");
        row("input with no extension", dirs + QStringList{"d/scan"}, "", "p/scan.png",
            "m/scan.png");
    }
    void batchOutputs() {
        QFETCH(QStringList, arguments);
        QFETCH(QString, error);
        QFETCH(QString, picture);
        QFETCH(QString, mask);
        const ParsedArguments parsed =
            parseBatchArguments(QStringList{"inkmask-batch"} + arguments, 1);
        QCOMPARE(parsed.error, error);
        if (!error.isEmpty())
            return;
        QCOMPARE(parsed.options.pictureFor(0), picture);
        QCOMPARE(parsed.options.maskFor(0), mask);
    }

    // Random masks of every width from 1 to 100 (every partial byte and
    // 64-pixel word of a line, one word and more) give the same image
    // from both kinds of mask, black exactly where the mask is True; the
    // cells in the extra row and column are not drawn. Some are written to
    // files of each format and read back.
    void maskFromEitherKind_data() {
        QTest::addColumn<int>("height");
        for (const int height : {1, 9, 64, 65, 130})
            QTest::addRow("height %d", height) << height;
    }
    void maskFromEitherKind() {
        QFETCH(int, height);
        Rng rng{quint64(height)};
        for (int width = 1; width <= 100; ++width) {
            QImage picture(width, height, QImage::Format_RGB32);
            picture.setDotsPerMeterX(11811);
            picture.setDotsPerMeterY(5906);
            const int density = 1 + rng.below(99);  // sparse to dense
            const PackedMask cells = randomMask(width, height, rng, density);
            PackedMask packed;
            packed.assign(cells);

            QImage expected(width, height, QImage::Format_RGB32);
            for (int y = 0; y < height; ++y)
                for (int x = 0; x < width; ++x)
                    expected.setPixel(x, y, cells.at(x, y) ? qRgb(0, 0, 0) : qRgb(255, 255, 255));

            const QImage image = maskImage(cells, picture);
            const QString where = QStringLiteral("%1 x %2").arg(width).arg(height);
            QCOMPARE(image.format(), QImage::Format_Mono);
            QCOMPARE(image.dotsPerMeterX(), 11811);
            QCOMPARE(image.dotsPerMeterY(), 5906);
            // Byte for byte, pad bits included: they reach the files written.
            const QImage fromPacked = maskImage(packed, picture);
            QVERIFY2(fromPacked == image, qPrintable(where));
            for (int y = 0; y < height; ++y)
                QVERIFY2(std::memcmp(fromPacked.constScanLine(y), image.constScanLine(y),
                                     size_t(width + 7) / 8) == 0,
                         qPrintable(where));
            QList<QImage> readBack{image};
            if (width % 25 == 0 || width == 1 || width == 63) {
                for (const char *suffix : {".png", ".tif"}) {
                    const QString path = m_dir.filePath(
                        QStringLiteral("m%1x%2").arg(width).arg(height) + QLatin1String(suffix));
                    QString error;
                    QVERIFY2(writeImageFile(image, path, &error), qPrintable(error));
                    readBack << QImage(path);
                }
            }
            for (const QImage &read : readBack)
                QVERIFY2(read.convertToFormat(QImage::Format_RGB32) == expected, qPrintable(where));
        }
    }

    // A mask that does not reach the picture's last row or column is an
    // error, never a read past its end.
    void maskSmallerThanPicture() {
        const QImage picture(70, 70, QImage::Format_RGB32);
        for (const QSize upper : {QSize(68, 70), QSize(70, 68)}) {
            PackedMask cells;
            cells.allocate(upper.width(), upper.height());
            PackedMask packed;
            packed.assign(cells);
            QVERIFY_THROWS_EXCEPTION(RuntimeError, maskImage(cells, picture));
            QVERIFY_THROWS_EXCEPTION(RuntimeError, maskImage(packed, picture));
        }
    }
};

QTEST_GUILESS_MAIN(TestCodecs)
#include "test_codecs.moc"
