// The picture loader's own rules: files cut short are recognised at every
// length, whole files load the same into a fresh or a reused buffer, and
// transparency is laid on white paper.

#include "core/files/loadpicture.h"
#include "core/files/truncation.h"
#include "core/runtime/runtimeerror.h"
#include "picturefiles.h"
#include "support.h"

#include <QFile>
#include <QTemporaryDir>
#include <QTest>

using namespace ink;
using namespace ink::test;

namespace {

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

}  // namespace

class TestLoadPicture : public QObject {
    Q_OBJECT

private:
    QTemporaryDir m_dir;

    QString saved(const QByteArray &bytes, const QString &name) {
        const QString path = m_dir.filePath(name);
        return writeFile(path, bytes) ? path : QString();
    }

private Q_SLOTS:
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
};

QTEST_MAIN(TestLoadPicture)
#include "test_loadpicture.moc"
